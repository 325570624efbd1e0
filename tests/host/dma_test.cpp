// DMA memory for a bus master: map registers, shared memory, and device
// transfers by bus address.
#include <algorithm>
#include <cstring>

#include "host/bus.h"
#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

namespace {

NDIS_HANDLE const kMiniport = reinterpret_cast<NDIS_HANDLE>(0x2000);

class SharedMemoryTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        ASSERT_EQ(NdisMAllocateMapRegisters(kMiniport, 0, TRUE, 1, 36384), NDIS_STATUS_SUCCESS);
    }
    void TearDown() override {
        if (LedgerHolds(Resource::MapRegisters, kMiniport)) NdisMFreeMapRegisters(kMiniport);
        HostTest::TearDown();
    }
    struct Block {
        PVOID va = nullptr;
        NDIS_PHYSICAL_ADDRESS pa{};
        ULONG length = 0;
    };
    Block Allocate(ULONG length) {
        Block b;
        b.length = length;
        NdisMAllocateSharedMemory(kMiniport, length, TRUE, &b.va, &b.pa);
        return b;
    }
    void Free(const Block& b) { NdisMFreeSharedMemory(kMiniport, b.length, TRUE, b.va, b.pa); }
};

}  // namespace

TEST_F(SharedMemoryTest, BlocksAreUnzeroedPageAlignedBelow4GAndApart) {
    Block a = Allocate(24 * 1516), b = Allocate(100);
    ASSERT_NE(a.va, nullptr);
    ASSERT_NE(b.va, nullptr);
    auto* bytes = static_cast<uint8_t*>(a.va);
    EXPECT_NE(std::count(bytes, bytes + a.length, 0), static_cast<long>(a.length));
    for (auto& blk : {a, b}) {
        EXPECT_EQ(blk.pa.HighPart, 0);
        EXPECT_GE(blk.pa.LowPart, 0x10000000u);
        EXPECT_EQ(blk.pa.LowPart % 4096, 0u);
    }
    // A device that runs past the end of one block does not land in the next.
    uint64_t endOfA = (a.pa.LowPart + a.length + 4095) / 4096 * 4096;
    EXPECT_GE(b.pa.LowPart, endOfA + 4096);
    std::optional<LedgerEntry> e = LedgerFind(Resource::SharedMemory, a.va);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->owner, kMiniport);
    EXPECT_EQ(e->size, a.length);
    Free(b);
    Free(a);
}

TEST_F(SharedMemoryTest, DeviceTransfersReachLiveSharedMemoryOnly) {
    Block a = Allocate(64);
    uint64_t bus = a.pa.LowPart;
    const char frame[] = "frame";
    EXPECT_TRUE(DmaWrite(bus + 10, frame, sizeof frame));
    EXPECT_EQ(memcmp(static_cast<uint8_t*>(a.va) + 10, frame, sizeof frame), 0);
    memcpy(a.va, "desc", 4);
    char got[4];
    EXPECT_TRUE(DmaRead(bus, got, 4));
    EXPECT_EQ(memcmp(got, "desc", 4), 0);

    std::vector<std::string> v = CaptureViolations([&] {
        EXPECT_FALSE(DmaRead(bus + 60, got, 8));      // runs past the end
        EXPECT_FALSE(DmaWrite(bus - 4, frame, 4));    // before the start
        EXPECT_FALSE(DmaRead(0x00001000, got, 4));    // nowhere
    });
    ASSERT_EQ(v.size(), 3u);
    char expected[64];
    snprintf(expected, sizeof expected, "bus address 0x%llx", static_cast<unsigned long long>(bus + 60));
    EXPECT_TRUE(AnyContains({v[0]}, expected));
    EXPECT_TRUE(AnyContains({v[1]}, "DMA write of 4 bytes"));
    Free(a);
    v = CaptureViolations([&] { EXPECT_FALSE(DmaWrite(bus, frame, 4)); });
    EXPECT_TRUE(AnyContains(v, "not inside shared memory the driver allocated and has not freed"));
}

TEST_F(SharedMemoryTest, FreeMustGiveBackWhatWasAllocated) {
    Block a = Allocate(128), b = Allocate(128);
    NDIS_PHYSICAL_ADDRESS wrong = a.pa;
    wrong.LowPart += 4096;
    auto v = CaptureViolations([&] {
        NdisMFreeSharedMemory(kMiniport, 64, FALSE, a.va, wrong);
        NdisMFreeSharedMemory(kMiniport, 128, TRUE, a.va, a.pa);
        NdisMFreeSharedMemory(kMiniport, 128, TRUE, static_cast<uint8_t*>(b.va) + 8, b.pa);
    });
    ASSERT_EQ(v.size(), 5u);
    EXPECT_TRUE(AnyContains({v[0]}, "length 64, but 128 bytes were allocated"));
    EXPECT_TRUE(AnyContains({v[1]}, "Cached FALSE, but it was allocated cached"));
    EXPECT_TRUE(AnyContains({v[2]}, "but it was allocated at"));
    EXPECT_TRUE(AnyContains({v[3]}, "freed twice?"));
    EXPECT_TRUE(AnyContains({v[4]}, "not shared memory from NdisMAllocateSharedMemory"));
    EXPECT_EQ(LedgerCount(Resource::SharedMemory), 1u);
    Free(b);
}

TEST_F(SharedMemoryTest, FailedAllocationGivesNull) {
    FailNth(Resource::SharedMemory, 1);
    Block a = Allocate(64);
    EXPECT_EQ(a.va, nullptr);
    auto v = CaptureViolations([&] { a = Allocate(0); });
    EXPECT_EQ(a.va, nullptr);
    EXPECT_TRUE(AnyContains(v, "needs a length"));
    EXPECT_EQ(LedgerCount(Resource::SharedMemory), 0u);
}

// One contiguous block below 4 GB for a bus master: up to 4 MB is given, as
// Windows gives it once memory is fragmented; a larger one is refused with a
// null address (and no violation: the driver must cope).
TEST_F(SharedMemoryTest, ABlockLargerThanAContiguousOneWindowsGivesIsRefused) {
    Block most = Allocate(4u << 20);
    ASSERT_NE(most.va, nullptr);
    static_cast<uint8_t*>(most.va)[most.length - 1] = 1;
    Block over = Allocate((4u << 20) + 1);
    EXPECT_EQ(over.va, nullptr);
    EXPECT_EQ(over.pa.QuadPart, 0);
    EXPECT_EQ(LedgerCount(Resource::SharedMemory), 1u);
    Free(most);
}

class MapRegisterTest : public HostTest {};

TEST_F(MapRegisterTest, SharedMemoryNeedsMapRegistersFirstAndGoesBeforeThem) {
    PVOID va = reinterpret_cast<PVOID>(1);
    NDIS_PHYSICAL_ADDRESS pa;
    auto v = CaptureViolations([&] { NdisMAllocateSharedMemory(kMiniport, 64, TRUE, &va, &pa); });
    EXPECT_TRUE(AnyContains(v, "must allocate its map registers before shared memory"));
    EXPECT_EQ(va, nullptr);

    ASSERT_EQ(NdisMAllocateMapRegisters(kMiniport, 0, TRUE, 1, 4096), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(LedgerFind(Resource::MapRegisters, kMiniport)->owner, kMiniport);
    NdisMAllocateSharedMemory(kMiniport, 64, TRUE, &va, &pa);
    v = CaptureViolations([&] {
        EXPECT_EQ(NdisMAllocateMapRegisters(kMiniport, 0, TRUE, 1, 4096), NDIS_STATUS_FAILURE);
        NdisMFreeMapRegisters(kMiniport);
        NdisMFreeMapRegisters(kMiniport);
    });
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(AnyContains({v[0]}, "holds map registers already"));
    EXPECT_TRUE(AnyContains({v[1]}, "free it before the map registers"));
    EXPECT_TRUE(AnyContains({v[2]}, "holds no map registers"));
    NdisMFreeSharedMemory(kMiniport, 64, TRUE, va, pa);
}

TEST_F(MapRegisterTest, BadParametersAndInjectedFailuresAllocateNothing) {
    auto v = CaptureViolations([&] {
        EXPECT_EQ(NdisMAllocateMapRegisters(kMiniport, 0, TRUE, 0, 4096), NDIS_STATUS_FAILURE);
        EXPECT_EQ(NdisMAllocateMapRegisters(nullptr, 0, TRUE, 1, 4096), NDIS_STATUS_FAILURE);
    });
    EXPECT_EQ(v.size(), 2u);
    FailAll(Resource::MapRegisters);
    EXPECT_EQ(NdisMAllocateMapRegisters(kMiniport, 0, TRUE, 1, 4096), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(LedgerSize(), 0u);
}

// Transfers going back and forth between blocks: each reaches its own
// block, within its bounds; a block freed meanwhile is reached no more,
// while the other still is.
TEST_F(SharedMemoryTest, TransfersBetweenBlocksInTurnStayInsideLiveOnes) {
    Block a = Allocate(64), b = Allocate(2048);
    uint64_t busA = a.pa.LowPart, busB = b.pa.LowPart;
    for (uint8_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(DmaWrite(busA + i, &i, 1));
        EXPECT_TRUE(DmaWrite(busB + 2047 - i, &i, 1));
    }
    EXPECT_EQ(static_cast<uint8_t*>(a.va)[2], 2);
    EXPECT_EQ(static_cast<uint8_t*>(b.va)[2045], 2);
    char got[8];
    auto v = CaptureViolations([&] {
        EXPECT_FALSE(DmaRead(busA + 60, got, 5));    // one byte past a's end
        EXPECT_FALSE(DmaRead(busB + 2044, got, 5));  // one byte past b's end
    });
    EXPECT_EQ(v.size(), 2u);
    Free(b);
    v = CaptureViolations([&] { EXPECT_FALSE(DmaRead(busB, got, 1)); });
    EXPECT_TRUE(AnyContains(v, "not inside shared memory the driver allocated and has not freed"));
    EXPECT_TRUE(DmaRead(busA, got, 3));
    EXPECT_EQ(got[1], 1);
    Free(a);
}
