// Device windows: mapping, the register accessors' routing to the device
// that owns the address, and the checks on both.
#include <cstring>

#include "host/bus.h"
#include "tests/support/host_test.h"
#include "tests/support/logging_device.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;
using testing_support::LoggingDevice;

namespace {

constexpr uint64_t kBase = 0xFEB00000;
constexpr uint64_t kOtherBase = 0xFEC00000;

NDIS_PHYSICAL_ADDRESS Physical(uint64_t a) {
    NDIS_PHYSICAL_ADDRESS p;
    p.QuadPart = static_cast<LONGLONG>(a);
    return p;
}

NDIS_HANDLE const kMiniport = reinterpret_cast<NDIS_HANDLE>(0x1000);

class WindowTest : public HostTest {
protected:
    LoggingDevice card, other;
    PVOID window = nullptr;

    void SetUp() override {
        HostTest::SetUp();
        AttachMmio(kBase, 4096, &card);
        AttachMmio(kOtherBase, 4096, &other);
    }
    void Map() {
        ASSERT_EQ(NdisMMapIoSpace(&window, kMiniport, Physical(kBase), 4096), NDIS_STATUS_SUCCESS);
    }
    void Unmap() { NdisMUnmapIoSpace(kMiniport, window, 4096); }
    PUCHAR At(size_t offset) { return static_cast<PUCHAR>(window) + offset; }
};

}  // namespace

TEST_F(WindowTest, AccessesReachTheOwningDeviceAtTheirOffsetInOrder) {
    Map();
    NdisWriteRegisterUchar(At(0x803), 0x3B);
    NdisWriteRegisterUlong(reinterpret_cast<PULONG>(At(0x400)), 0x80000123);
    UCHAR b;
    ULONG l;
    NdisReadRegisterUchar(At(0x803), &b);
    NdisReadRegisterUlong(reinterpret_cast<PULONG>(At(0x400)), &l);
    EXPECT_EQ(b, 0x3B);
    EXPECT_EQ(l, 0x80000123u);
    EXPECT_EQ(card.log, (std::vector<std::string>{"w8 803 3b", "w32 400 80000123", "r8 803 3b",
                                                   "r32 400 80000123"}));
    EXPECT_TRUE(other.log.empty());
    EXPECT_EQ(LedgerFind(Resource::IoSpace, window)->owner, kMiniport);
    Unmap();
}

TEST_F(WindowTest, PartOfAWindowMapsAtTheSameOffsetWithinItsPage) {
    PVOID part;
    ASSERT_EQ(NdisMMapIoSpace(&part, kMiniport, Physical(kBase + 0x802), 8), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(part) % 4096, 0x802u);
    NdisWriteRegisterUchar(static_cast<PUCHAR>(part) + 1, 7);
    EXPECT_EQ(card.bytes[0x803], 7);
    NdisMUnmapIoSpace(kMiniport, part, 8);
}

TEST_F(WindowTest, DirectDereferenceOfTheWindowFaults) {
    Map();
    EXPECT_DEATH(
        {
            volatile UCHAR* reg = At(0x800);
            *reg = 1;
        },
        "");
    Unmap();
}

TEST_F(WindowTest, AccessesOutsideAWindowOrMisalignedAreReportedAndReachNoDevice) {
    Map();
    uint8_t plain[8] = {};
    UCHAR b = 0;
    ULONG l = 0;
    auto v = CaptureViolations([&] {
        NdisReadRegisterUchar(plain, &b);
        NdisWriteRegisterUchar(At(4096), 1);
        NdisReadRegisterUlong(reinterpret_cast<PULONG>(At(0x402)), &l);
        NdisWriteRegisterUlong(reinterpret_cast<PULONG>(At(4094)), 1);
    });
    ASSERT_EQ(v.size(), 4u);
    EXPECT_TRUE(AnyContains({v[0]}, "not inside a device window mapped with NdisMMapIoSpace"));
    EXPECT_TRUE(AnyContains({v[1]}, "not inside a device window"));
    EXPECT_TRUE(AnyContains({v[2]}, "must be 4-byte aligned"));
    EXPECT_EQ(b, 0xFF);  // what a bus read nobody answers gives
    EXPECT_EQ(l, 0xFFFFFFFFu);
    EXPECT_TRUE(card.log.empty());
    Unmap();
}

TEST_F(WindowTest, RangesNoDeviceHoldsFailToMap) {
    PVOID p = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(NdisMMapIoSpace(&p, kMiniport, Physical(0xE0000000), 4096),
              NDIS_STATUS_RESOURCE_CONFLICT);
    EXPECT_EQ(p, nullptr);
    // Straddling the end of a window is not inside it either.
    EXPECT_EQ(NdisMMapIoSpace(&p, kMiniport, Physical(kBase + 2048), 4096),
              NDIS_STATUS_RESOURCE_CONFLICT);
    EXPECT_EQ(LedgerSize(), 0u);
}

TEST_F(WindowTest, InjectedFailureMapsNothing) {
    FailNth(Resource::IoSpace, 1);
    PVOID p;
    EXPECT_EQ(NdisMMapIoSpace(&p, kMiniport, Physical(kBase), 4096), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(LedgerCount(Resource::IoSpace), 0u);
    Map();
    Unmap();
}

TEST_F(WindowTest, UnmapMustNameTheMappingExactlyOnce) {
    Map();
    auto v = CaptureViolations([&] {
        NdisMUnmapIoSpace(kMiniport, At(4), 4096);
        NdisMUnmapIoSpace(kMiniport, window, 2048);
        NdisMUnmapIoSpace(kMiniport, window, 4096);
    });
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(AnyContains({v[0]}, "not an address NdisMMapIoSpace returned"));
    EXPECT_TRUE(AnyContains({v[1]}, "was mapped with length 4096"));
    EXPECT_TRUE(AnyContains({v[2]}, "unmapped already"));
    EXPECT_EQ(LedgerCount(Resource::IoSpace), 0u);
}

TEST_F(WindowTest, MappingAbovePassiveLevelIsReported) {
    auto v = CaptureViolations([&] {
        RunAtIrql(DISPATCH_LEVEL, "test", [&] { Map(); });
    });
    EXPECT_TRUE(AnyContains(v, "NdisMMapIoSpace called at IRQL 2"));
    // The accessors work at any level, the ISR's included.
    RunAtIrql(HOST_DEVICE_LEVEL, "test", [&] { NdisWriteRegisterUchar(At(0), 1); });
    Unmap();
}

TEST_F(WindowTest, AccessAfterTheDeviceIsDetachedIsReported) {
    Map();
    DetachMmio(kBase);
    UCHAR b;
    auto v = CaptureViolations([&] { NdisReadRegisterUchar(At(0), &b); });
    EXPECT_TRUE(AnyContains(v, "no device answers at physical address 0xfeb00000"));
    EXPECT_EQ(b, 0xFF);
    Unmap();
}

// The window a driver used last is looked at first: an access through it is
// still held to its bounds, and once the window is unmapped or its device
// detached (and another attached in its place) nothing reaches the old one.
TEST_F(WindowTest, TheWindowUsedLastIsCheckedAsAnyAndForgottenWhenItGoes) {
    Map();
    UCHAR b;
    ULONG l;
    NdisWriteRegisterUchar(At(0xFFF), 1);  // the last byte
    auto v = CaptureViolations([&] {
        NdisReadRegisterUlong(reinterpret_cast<PULONG>(At(0x1000)), &l);  // one past the end
        NdisReadRegisterUchar(At(0) - 1, &b);
    });
    ASSERT_EQ(v.size(), 2u);
    EXPECT_TRUE(AnyContains({v[0]}, "not inside a device window mapped with NdisMMapIoSpace"));
    EXPECT_TRUE(AnyContains({v[1]}, "not inside a device window mapped with NdisMMapIoSpace"));
    PVOID second = nullptr;  // may lie right beside the first
    ASSERT_EQ(NdisMMapIoSpace(&second, kMiniport, Physical(kOtherBase), 4096),
              NDIS_STATUS_SUCCESS);
    auto in = [&](PVOID w, size_t offset) { return static_cast<PUCHAR>(w) + offset; };
    // Alternating between two windows, each access reaches its own device.
    NdisWriteRegisterUchar(in(second, 5), 2);
    NdisWriteRegisterUchar(in(second, 6), 4);
    NdisWriteRegisterUchar(At(5), 3);
    EXPECT_EQ(card.log, (std::vector<std::string>{"w8 fff 1", "w8 005 3"}));
    EXPECT_EQ(other.log, (std::vector<std::string>{"w8 005 2", "w8 006 4"}));

    Unmap();
    v = CaptureViolations([&] { NdisWriteRegisterUchar(At(5), 9); });
    EXPECT_TRUE(AnyContains(v, "not inside a device window mapped with NdisMMapIoSpace"));
    EXPECT_EQ(card.log.size(), 2u);

    // The device behind the second window goes, and another takes its place.
    DetachMmio(kOtherBase);
    v = CaptureViolations([&] { NdisReadRegisterUchar(in(second, 5), &b); });
    EXPECT_TRUE(AnyContains(v, "no device answers at physical address 0xfec00005"));
    LoggingDevice replacement;
    AttachMmio(kOtherBase, 4096, &replacement);
    NdisWriteRegisterUchar(in(second, 7), 5);
    EXPECT_EQ(other.log.size(), 2u);
    EXPECT_EQ(replacement.log, std::vector<std::string>{"w8 007 5"});
    NdisMUnmapIoSpace(kMiniport, second, 4096);
    DetachMmio(kOtherBase);
    AttachMmio(kOtherBase, 4096, &other);  // as the fixture left it
}

// A level-sensitive line is up while any source asserts it; a source counts
// once however often it asserts, and one lowering it lowers only its own.
TEST_F(WindowTest, AnInterruptLineIsUpWhileAnySourceAssertsIt) {
    constexpr unsigned kVector = 9;
    int x = 0, y = 0;
    SetInterruptLine(kVector, &x, true);
    SetInterruptLine(kVector, &x, true);
    SetInterruptLine(kVector, &y, true);
    SetInterruptLine(kVector, &x, false);
    EXPECT_TRUE(InterruptLineAsserted(kVector));
    EXPECT_FALSE(InterruptLineAsserted(kVector + 1));
    SetInterruptLine(kVector, &y, false);
    EXPECT_FALSE(InterruptLineAsserted(kVector));
    SetInterruptLine(kVector, &y, false);  // lowered twice
    SetInterruptLine(kVector, &y, true);
    EXPECT_TRUE(InterruptLineAsserted(kVector));
    SetInterruptLine(kVector, &y, false);
    EXPECT_FALSE(InterruptLineAsserted(kVector));
}
