// The verifier: pool memory checks, the ledger and fault injection.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

constexpr ULONG kTag = 'z' | 'r' << 8 | '4' << 16 | '8' << 24;

class PoolMemoryTest : public HostTest {};

TEST_F(PoolMemoryTest, MemoryIsNotZeroedAndIsListedByTag) {
    PVOID p;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&p, 64, kTag), NDIS_STATUS_SUCCESS);
    auto* bytes = static_cast<uint8_t*>(p);
    EXPECT_NE(std::count(bytes, bytes + 64, 0), 64);
    EXPECT_NE(LedgerReport().find("pool memory tag 'zr48' (64 bytes)"), std::string::npos);
    // x64 pool memory is 16-byte aligned, and drivers rely on it.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    NdisFreeMemory(p, 0, 0);
    EXPECT_EQ(LedgerSize(), 0u);
}

TEST_F(PoolMemoryTest, DoubleAndForeignFreesAreReported) {
    PVOID p;
    NdisAllocateMemoryWithTag(&p, 16, kTag);
    NdisFreeMemory(p, 0, 0);
    int local;
    auto v = CaptureViolations([&] {
        NdisFreeMemory(p, 0, 0);
        NdisFreeMemory(&local, 0, 0);
    });
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NE(v[0].find("freed twice"), std::string::npos);
    EXPECT_NE(v[1].find("not memory from NdisAllocateMemoryWithTag"), std::string::npos);
}

TEST_F(PoolMemoryTest, TwoProcessorsFreeingOneBlockAtOnceFreeItOnce) {
    for (int round = 0; round < 200; ++round) {
        PVOID p;
        ASSERT_EQ(NdisAllocateMemoryWithTag(&p, 32, kTag), NDIS_STATUS_SUCCESS);
        std::atomic<int> ready{0};
        auto v = CaptureViolations([&] {
            auto freeIt = [&] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                NdisFreeMemory(p, 0, 0);
            };
            std::thread a(freeIt);
            std::thread b(freeIt);
            a.join();
            b.join();
        });
        ASSERT_EQ(v.size(), 1u) << "round " << round;
        EXPECT_TRUE(AnyContains(v, "freed twice"));
    }
    EXPECT_EQ(LedgerSize(), 0u);
}

// Without special pool (where a page per block costs too much), guard bytes
// on both sides catch a write outside the block when it is freed.
class GuardBytePoolTest : public HostTest {
protected:
    host::WorldOptions WorldOptions() override { return testing_support::WithoutSpecialPool(); }
};

TEST_F(GuardBytePoolTest, AWriteOutsideTheBlockIsCaughtAtFree) {
    for (int at : {16, -1}) {
        PVOID p;
        NdisAllocateMemoryWithTag(&p, 16, kTag);
        static_cast<uint8_t*>(p)[at] = 0;
        auto v = CaptureViolations([&] { NdisFreeMemory(p, 0, 0); });
        EXPECT_TRUE(AnyContains(v, "a write ran outside the 16-byte block")) << at;
    }
}

// Special pool: a driver routine that reads or writes past the end of a
// block, before its start, or after freeing it faults at that access. The
// fault is named (block, offset, read or write) when the routine returns,
// and the access let through: the run goes on and the test fails with the
// message.
class SpecialPoolTest : public HostTest {
protected:
    // Runs `body` as a driver routine at DISPATCH_LEVEL; the violations it caused.
    static std::vector<std::string> Routine(const std::function<void()>& body) {
        return CaptureViolations([&] { RunAtIrql(DISPATCH_LEVEL, "faulty routine", body); });
    }
    static volatile uint8_t* Allocate(UINT length) {
        PVOID p = nullptr;
        EXPECT_EQ(NdisAllocateMemoryWithTag(&p, length, kTag), NDIS_STATUS_SUCCESS);
        return static_cast<volatile uint8_t*>(p);
    }
    static void Free(volatile uint8_t* p) { NdisFreeMemory(const_cast<uint8_t*>(p), 0, 0); }
};

TEST_F(SpecialPoolTest, AReadOrWriteOneBytePastTheEndFaultsAtTheAccess) {
    for (UINT length : {64u, 13u, 1516u, 4096u, 5000u}) {
        SCOPED_TRACE(length);
        volatile uint8_t* p = Allocate(length);
        // The block ends on the page's last byte; its start is as aligned as
        // its size allows.
        EXPECT_EQ((reinterpret_cast<uintptr_t>(p) + length) % 4096, 0u);
        UINT alignment = length & (~length + 1);  // the size's lowest set bit
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (alignment > 16 ? 16 : alignment), 0u);
        bool finished = false;
        auto v = Routine([&] {
            p[0] = p[length - 1];  // within the block: nothing to say
            uint8_t past = p[length];
            (void)past;
            finished = true;
        });
        ASSERT_EQ(v.size(), 1u);
        std::string block = "pool block tag 'zr48' (" + std::to_string(length) + " bytes)";
        EXPECT_TRUE(AnyContains(v, "special pool: a read at offset " + std::to_string(length) +
                                       ", past the end of " + block))
            << v[0];
        EXPECT_TRUE(finished) << "the access is let through and the routine goes on";
        v = Routine([&] { p[length + 7] = 1; });  // the same block again: said once
        EXPECT_TRUE(v.empty());
        Free(p);
    }
    volatile uint8_t* p = Allocate(32);
    auto v = Routine([&] { p[32] = 0x42; });
    EXPECT_TRUE(AnyContains(v, "special pool: a write at offset 32, past the end of pool block"));
    Free(p);
}

TEST_F(SpecialPoolTest, AUseAfterFreeFaultsAtTheAccess) {
    volatile uint8_t* p = Allocate(64);
    Free(p);
    auto v = Routine([&] { (void)p[8]; });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, "special pool: a read at offset 8 of pool block tag 'zr48' (64 "
                               "bytes), which was freed: a use after free"))
        << v[0];
    // Freed blocks stay out of reach for a while: a hundred allocations later
    // a write into the first one still faults.
    volatile uint8_t* first = Allocate(16);
    Free(first);
    for (int i = 0; i < 100; ++i) Free(Allocate(16));
    v = Routine([&] { first[0] = 1; });
    EXPECT_TRUE(AnyContains(v, "a write at offset 0 of pool block tag 'zr48' (16 bytes), which "
                               "was freed"));
}

TEST_F(SpecialPoolTest, AnAccessBeforeTheStartFaultsOrIsCaughtAtFree) {
    volatile uint8_t* p = Allocate(13);
    // Before the block's first page: the page before it is out of reach.
    auto v = Routine([&] { (void)p[-4096]; });
    EXPECT_TRUE(AnyContains(v, "special pool: a read 4096 byte(s) before the start of pool "
                               "block tag 'zr48' (13 bytes)"));
    // Within its first page, before the block: the pattern there is checked
    // when it is freed, as Windows checks it.
    p[-1] = 0;
    v = CaptureViolations([&] { Free(p); });
    EXPECT_TRUE(AnyContains(v, "a write ran outside the 13-byte block"));
}

TEST_F(SpecialPoolTest, AFaultInWorkIsNamedWhenTheWorkReturnsAndAnEmptyBlockHasNoBytes) {
    volatile uint8_t* p = Allocate(0);
    ScheduleAfter(kMillisecond, [&] { (void)p[0]; }, "faulty work");
    auto v = CaptureViolations([&] { Advance(kMillisecond); });
    EXPECT_TRUE(AnyContains(v, "special pool: a read at offset 0, past the end of pool block "
                               "tag 'zr48' (0 bytes)"));
    Free(p);
}

// NdisMoveMemory is a plain copy: overlapping source and destination are
// undefined on Windows, whichever way they overlap.
TEST_F(PoolMemoryTest, AnOverlappingMoveIsAViolation) {
    uint8_t bytes[16] = {};
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(i);
    auto v = CaptureViolations([&] {
        NdisMoveMemory(bytes + 1, bytes, 8);  // forward by one
        NdisMoveMemory(bytes, bytes + 7, 8);  // backward, one byte shared
        NdisMoveMemory(bytes, bytes, 4);      // onto itself
    });
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(AnyContains({v[0]}, "source and destination overlap by 7 byte(s)"));
    EXPECT_TRUE(AnyContains({v[1]}, "overlap by 1 byte(s)"));
    EXPECT_TRUE(AnyContains({v[2]}, "overlap by 4 byte(s)"));
    v = CaptureViolations([&] {
        NdisMoveMemory(bytes + 8, bytes, 8);  // adjacent: fine
        NdisMoveMemory(bytes, bytes + 1, 0);  // nothing to copy
    });
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(bytes[8], bytes[0]);
}

TEST_F(PoolMemoryTest, FreeingMemoryThatHoldsALiveLockIsReported) {
    PVOID p;
    NdisAllocateMemoryWithTag(&p, sizeof(NDIS_SPIN_LOCK) + 8, kTag);
    auto* lock = reinterpret_cast<PNDIS_SPIN_LOCK>(static_cast<uint8_t*>(p) + 8);
    NdisAllocateSpinLock(lock);
    auto v = CaptureViolations([&] { NdisFreeMemory(p, 0, 0); });
    EXPECT_TRUE(AnyContains(v, "still holds a live spin lock"));
    LedgerRemove(Resource::SpinLock, lock);
}

// A lock at the very start of the block shares the block's address: the
// block's own entry is passed over, the lock is not.
TEST_F(PoolMemoryTest, ALiveLockAtTheBlocksFirstByteIsReportedToo) {
    PVOID p;
    NdisAllocateMemoryWithTag(&p, sizeof(NDIS_SPIN_LOCK), kTag);
    auto* lock = static_cast<PNDIS_SPIN_LOCK>(p);
    NdisAllocateSpinLock(lock);
    EXPECT_EQ(LedgerEntriesWithin(p, sizeof(NDIS_SPIN_LOCK)).size(), 2u);
    auto inside = LedgerEntriesWithin(p, sizeof(NDIS_SPIN_LOCK), Resource::PoolMemory);
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(inside[0].kind, Resource::SpinLock);
    auto v = CaptureViolations([&] { NdisFreeMemory(p, 0, 0); });
    EXPECT_TRUE(AnyContains(v, "still holds a live spin lock"));
    LedgerRemove(Resource::SpinLock, lock);
}

// What an initialize made belongs to its adapter: entries made after the
// watermark with no owner are adopted, older ones and owned ones are not.
TEST_F(PoolMemoryTest, OnlyUnownedEntriesMadeSinceTheWatermarkAreAdopted) {
    int before, owned, fresh, adapter, other;
    LedgerAdd(Resource::Packet, &before, 0, 0, nullptr, "");
    uint64_t watermark = LedgerLatestSerial();
    LedgerAdoptSince(watermark, &adapter);
    EXPECT_EQ(LedgerCountOwnedBy(&adapter), 0u) << "nothing made since";
    LedgerAdd(Resource::Packet, &owned, 0, 0, &other, "");
    LedgerAdd(Resource::Buffer, &fresh, 0, 0, nullptr, "");
    LedgerAdoptSince(watermark, &adapter);
    EXPECT_EQ(LedgerCountOwnedBy(&adapter), 1u);
    EXPECT_EQ(LedgerFind(Resource::Buffer, &fresh)->owner, &adapter);
    EXPECT_EQ(LedgerFind(Resource::Packet, &owned)->owner, &other);
    EXPECT_EQ(LedgerFind(Resource::Packet, &before)->owner, nullptr);
    EXPECT_EQ(LedgerCountOwnedBy(&other), 1u);
    EXPECT_EQ(LedgerCountOwnedBy(nullptr), 1u);
    for (auto* key : {&before, &owned}) LedgerRemove(Resource::Packet, key);
    LedgerRemove(Resource::Buffer, &fresh);
}

TEST_F(PoolMemoryTest, NthAllocationAndEveryAllocationCanFail) {
    PVOID a, b, c;
    FailNth(Resource::PoolMemory, 2);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&a, 8, kTag), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&b, 8, kTag), NDIS_STATUS_FAILURE);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&c, 8, kTag), NDIS_STATUS_SUCCESS);
    FailAll(Resource::PoolMemory);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&b, 8, kTag), NDIS_STATUS_FAILURE);
    ClearFaults();
    NdisFreeMemory(a, 0, 0);
    NdisFreeMemory(c, 0, 0);
    EXPECT_EQ(Attempts(Resource::PoolMemory), 4u);
}

class SpinLockContractTest : public HostTest {};

// A lock that was allocated when it was last taken may have been freed
// since: taking it again is still refused, while a lock that stays
// allocated is taken whatever other locks come and go.
TEST_F(SpinLockContractTest, AFreedLockIsRefusedHoweverRecentlyItWasTaken) {
    NDIS_SPIN_LOCK kept, other, gone;
    NdisAllocateSpinLock(&kept);
    NdisAllocateSpinLock(&other);
    NdisAllocateSpinLock(&gone);
    for (NDIS_SPIN_LOCK* lock : {&kept, &other, &gone, &kept}) {
        NdisAcquireSpinLock(lock);
        NdisReleaseSpinLock(lock);
    }
    NdisFreeSpinLock(&other);
    NdisAcquireSpinLock(&kept);
    NdisReleaseSpinLock(&kept);
    NdisAllocateSpinLock(&other);  // allocated again where it was
    NdisAcquireSpinLock(&other);
    NdisReleaseSpinLock(&other);
    NdisFreeSpinLock(&gone);
    EXPECT_DEATH(NdisAcquireSpinLock(&gone), "the spin lock was never allocated \\(or was freed\\)");
    NdisFreeSpinLock(&kept);
    NdisFreeSpinLock(&other);
}

TEST_F(SpinLockContractTest, ReleaseByAnotherProcessorOrWhenFreeIsReported) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    auto v = CaptureViolations([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        NdisDprReleaseSpinLock(&lock);
        KeLowerIrql(old);
    });
    EXPECT_TRUE(AnyContains(v, "is not held"));
    NdisFreeSpinLock(&lock);
    v = CaptureViolations([&] { NdisFreeSpinLock(&lock); });
    EXPECT_TRUE(AnyContains(v, "freed twice"));
}
