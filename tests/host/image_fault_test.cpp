// What image code does that faults in user space, emulated: loads and stores
// on a device window (the encodings the compiler emits, every width, both
// directions, read-modify-write), cr8 as the IRQL, the kernel's shared data
// page; image code running into special pool's guard pages, reported as for
// the driver built from source; and a fault that is none of these, named by
// image offset and symbol.
#include <cstring>

#include "../../host/src/internal_image.h"
#include "host/bus.h"
#include "host/image.h"
#include "tests/host/test_image.h"
#include "tests/support/host_test.h"
#include "tests/support/logging_device.h"

using testing_support::AnyContains;
using testing_support::CaptureViolations;
using testing_support::LoggingDevice;

namespace {

constexpr uint64_t kBase = 0xFEB00000;
NDIS_HANDLE const kMiniport = reinterpret_cast<NDIS_HANDLE>(0x1000);

// What the compiler makes of register access in driver code.
template <typename T>
__attribute__((noinline)) T Load(volatile T* p) {
    return *p;
}
template <typename T>
__attribute__((noinline)) void Store(volatile T* p, T v) {
    *p = v;
}
__attribute__((noinline)) void SetBits(volatile uint8_t* p, uint8_t bits) { *p |= bits; }
__attribute__((noinline)) void ClearBits(volatile uint8_t* p, uint8_t bits) { *p &= ~bits; }
__attribute__((noinline)) bool BitSet(volatile uint8_t* p) { return (*p & 0x40) != 0; }
__attribute__((noinline)) int SignedByte(volatile int8_t* p) { return *p; }
__attribute__((noinline)) void StoreConstant(volatile uint8_t* p) { p[7] = 0xCC; }
__attribute__((noinline)) void StoreConstant32(volatile uint32_t* p) { p[1] = 0x80000001u; }
// Loads and a store at any address (C++ would not let an unaligned one be
// written), as kernel code makes them.
uint32_t LoadAnywhere(volatile uint8_t* p) {
    uint32_t value;
    asm volatile("movl (%1), %0" : "=r"(value) : "r"(p) : "memory");
    return value;
}
uint64_t Load64Anywhere(uintptr_t p) {
    uint64_t value;
    asm volatile("movq (%1), %0" : "=r"(value) : "r"(p) : "memory");
    return value;
}
void Store64Anywhere(uintptr_t p, uint64_t value) {
    asm volatile("movq %1, (%0)" : : "r"(p), "r"(value) : "memory");
}

class ImageFaultTest : public HostTest {
protected:
    LoggingDevice card;
    volatile uint8_t* window = nullptr;

    void SetUp() override {
        HostTest::SetUp();
        host::AttachMmio(kBase, 4096, &card);
        NDIS_PHYSICAL_ADDRESS physical;
        physical.QuadPart = static_cast<LONGLONG>(kBase);
        PVOID address;
        ASSERT_EQ(NdisMMapIoSpace(&address, kMiniport, physical, 4096), NDIS_STATUS_SUCCESS);
        window = static_cast<volatile uint8_t*>(address);
        host::internal::EmulateOutsideImages(true);
    }
    void TearDown() override {
        host::internal::EmulateOutsideImages(false);
        NdisMUnmapIoSpace(kMiniport, const_cast<uint8_t*>(window), 4096);
        host::DetachMmio(kBase);
        HostTest::TearDown();
    }
    template <typename T>
    volatile T* At(uint32_t offset) {
        return reinterpret_cast<volatile T*>(window + offset);
    }
};

TEST_F(ImageFaultTest, LoadsAndStoresOfRegisterWidthReachTheDevice) {
    card.bytes[0x10] = 0x5A;
    card.bytes[0x20] = 0x78;
    card.bytes[0x21] = 0x56;
    card.bytes[0x22] = 0x34;
    card.bytes[0x23] = 0x12;
    EXPECT_EQ(Load(At<uint8_t>(0x10)), 0x5A);
    EXPECT_EQ(Load(At<uint32_t>(0x20)), 0x12345678u);
    Store(At<uint8_t>(0x11), uint8_t{0xA5});
    Store(At<uint32_t>(0x24), 0xCAFEF00Du);
    StoreConstant(At<uint8_t>(0x30));
    StoreConstant32(At<uint32_t>(0x40));
    EXPECT_EQ(card.log, (std::vector<std::string>{"r8 010 5a", "r32 020 12345678", "w8 011 a5",
                                                  "w32 024 cafef00d", "w8 037 cc",
                                                  "w32 044 80000001"}));
    card.bytes[0x50] = 0x80;
    EXPECT_EQ(SignedByte(At<int8_t>(0x50)), -128);
}

TEST_F(ImageFaultTest, ReadModifyWriteIsOneReadThenOneWrite) {
    card.bytes[1] = 0x21;
    SetBits(At<uint8_t>(1), 0x08);
    EXPECT_EQ(card.bytes[1], 0x29);
    ClearBits(At<uint8_t>(1), 0x01);
    EXPECT_EQ(card.bytes[1], 0x28);
    EXPECT_EQ(card.log, (std::vector<std::string>{"r8 001 21", "w8 001 29", "r8 001 29",
                                                  "w8 001 28"}));
    EXPECT_FALSE(BitSet(At<uint8_t>(1)));
    card.bytes[1] = 0x40;
    EXPECT_TRUE(BitSet(At<uint8_t>(1)));
}

TEST_F(ImageFaultTest, AccessesNoRegisterTakesAreReported) {
    std::vector<std::string> v = CaptureViolations([&] {
        EXPECT_EQ(Load(At<uint16_t>(0x10)), 0xFFFF);   // a bus read nobody answers
        Store(At<uint64_t>(0x18), uint64_t{1});        // dropped
        EXPECT_EQ(LoadAnywhere(window + 0x22), 0xFFFFFFFFu);  // unaligned
    });
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(AnyContains({v[0]}, "2-byte read"));
    EXPECT_TRUE(AnyContains({v[1]}, "8-byte write"));
    EXPECT_TRUE(AnyContains({v[2]}, "4-byte read"));
    EXPECT_TRUE(AnyContains(v, "8-bit and aligned 32-bit accesses only"));
    EXPECT_TRUE(card.log.empty());
}

TEST_F(ImageFaultTest, Cr8IsTheProcessorsIrql) {
    uint64_t irql;
    asm volatile("mov %%cr8, %0" : "=r"(irql));
    EXPECT_EQ(irql, PASSIVE_LEVEL);
    uint64_t dispatch = DISPATCH_LEVEL;
    asm volatile("mov %0, %%cr8" : : "r"(dispatch) : "memory");
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    asm volatile("mov %%cr8, %0" : "=r"(irql));
    EXPECT_EQ(irql, DISPATCH_LEVEL);
    uint64_t passive = PASSIVE_LEVEL;
    asm volatile("mov %0, %%cr8" : : "r"(passive) : "memory");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(ImageFaultTest, TheSharedDataPageHasTheHostsTime) {
    // KeQuerySystemTime's read (at 0x14, not 8-aligned, as on Windows). Read
    // in assembly: the sanitizers' checks would look up a shadow of the
    // kernel's address, which nothing emulates.
    constexpr uintptr_t kSystemTime = 0xFFFFF78000000014ULL;
    auto tickCount = reinterpret_cast<volatile uint8_t*>(0xFFFFF78000000320ULL);
    uint64_t before = Load64Anywhere(kSystemTime);
    EXPECT_EQ(static_cast<int64_t>(before), host::Options().bootSystemTime + host::Now() / 100);
    host::Advance(host::kSecond);
    EXPECT_EQ(Load64Anywhere(kSystemTime) - before, 10000000u);
    EXPECT_EQ(LoadAnywhere(tickCount), static_cast<uint32_t>(host::Now() / 15625000));
    auto v = CaptureViolations([&] { Store64Anywhere(kSystemTime, 0); });
    EXPECT_TRUE(AnyContains(v, "shared data page"));
}

// Image code: the same emulation without the test's switch, and a fault
// that is not emulated named by where it happened.
class ImageCodeTest : public ImageFaultTest {
protected:
    void SetUp() override {
        ImageFaultTest::SetUp();
        host::internal::EmulateOutsideImages(false);
    }
    std::shared_ptr<host::DriverImage> Image(const std::vector<uint8_t>& code) {
        std::string error;
        auto image = host::LoadDriverImage(test_image::BuildImage({}, code), "test.sys", &error);
        EXPECT_NE(image, nullptr) << error;
        return image;
    }
};

using EntryTakingPointer = uint64_t(NTAPI*)(const volatile void*);

TEST_F(ImageCodeTest, ImageCodeReadsTheWindowAndCr8) {
    card.bytes[3] = 0x9C;
    auto image = Image({0x0F, 0xB6, 0x41, 0x03, 0xC3});  // movzbl 0x3(%rcx),%eax; ret
    ASSERT_NE(image, nullptr);
    uint64_t before = host::internal::EmulatedInstructions();
    EXPECT_EQ(reinterpret_cast<EntryTakingPointer>(image->EntryPoint())(window), 0x9Cu);
    EXPECT_EQ(host::internal::EmulatedInstructions() - before, 1u);
    auto irql = Image({0x44, 0x0F, 0x20, 0xC0, 0xC3});  // mov %cr8,%rax; ret
    ASSERT_NE(irql, nullptr);
    host::RunAtIrql(DISPATCH_LEVEL, "test", [&] {
        EXPECT_EQ(reinterpret_cast<EntryTakingPointer>(irql->EntryPoint())(nullptr), 2u);
    });
}

using EntryTakingTwo = uint64_t(NTAPI*)(volatile void*, uint64_t);

// Image code that reads or writes past a pool block or after its free is
// special pool's report, exactly as for the driver built from source, and
// the run goes on; the window beside it stays emulated. The handler that
// decides is one, whichever of special pool and the image was set up first.
TEST_F(ImageCodeTest, ImageCodeRunningIntoSpecialPoolIsReportedAsSpecialPoolReportsIt) {
    ASSERT_TRUE(host::Options().specialPool);
    auto read = Image({0x8B, 0x01, 0xC3});         // mov (%rcx),%eax; ret
    auto write = Image({0x88, 0x11, 0x31, 0xC0, 0xC3});  // mov %dl,(%rcx); xor %eax,%eax; ret
    ASSERT_NE(read, nullptr);
    ASSERT_NE(write, nullptr);
    auto readAt = reinterpret_cast<EntryTakingTwo>(read->EntryPoint());
    auto writeAt = reinterpret_cast<EntryTakingTwo>(write->EntryPoint());
    constexpr ULONG kTag = 'z' | 'r' << 8 | '4' << 16 | '8' << 24;
    for (UINT length : {16u, 61u}) {
        SCOPED_TRACE(length);
        PVOID block = nullptr;
        ASSERT_EQ(NdisAllocateMemoryWithTag(&block, length, kTag), NDIS_STATUS_SUCCESS);
        auto* bytes = static_cast<volatile uint8_t*>(block);
        std::string name = "pool block tag 'zr48' (" + std::to_string(length) + " bytes)";
        bool finished = false;
        auto v = CaptureViolations([&] {
            host::RunAtIrql(DISPATCH_LEVEL, "image routine", [&] {
                readAt(bytes + length, 0);
                finished = true;
            });
        });
        EXPECT_TRUE(finished) << "the access is let through";
        ASSERT_EQ(v.size(), 1u);
        EXPECT_TRUE(AnyContains(v, "special pool: a read at offset " + std::to_string(length) +
                                       ", past the end of " + name))
            << v[0];
        NdisFreeMemory(block, 0, 0);
        // Another block (one that had a fault reported stays quiet).
        ASSERT_EQ(NdisAllocateMemoryWithTag(&block, length, kTag), NDIS_STATUS_SUCCESS);
        bytes = static_cast<volatile uint8_t*>(block);
        NdisFreeMemory(block, 0, 0);
        v = CaptureViolations([&] { writeAt(bytes + 1, 0x5A); });
        ASSERT_EQ(v.size(), 1u);
        EXPECT_TRUE(AnyContains(v, "special pool: a write at offset 1 of " + name +
                                       ", which was freed: a use after free"))
            << v[0];
    }
    card.bytes[0x10] = 0x77;
    EXPECT_EQ(readAt(window + 0x10, 0) & 0xFF, 0x77u);
}

// The same in a process of its own where special pool is set up before any
// image is loaded (the other order from the fixtures above): the image's
// fault still goes to special pool, not to the image's fatal report.
TEST(ImageAndSpecialPool, SpecialPoolSetUpFirstStillTakesTheImagesFault) {
    EXPECT_EXIT(
        {
            host::ResetWorld();
            PVOID block = nullptr;
            constexpr ULONG kTag = 'z' | 'r' << 8 | '4' << 16 | '8' << 24;
            if (NdisAllocateMemoryWithTag(&block, 16, kTag) != NDIS_STATUS_SUCCESS) exit(3);
            std::string error;
            auto image = host::LoadDriverImage(
                test_image::BuildImage({}, {0x8B, 0x01, 0xC3}), "test.sys", &error);
            if (!image) exit(4);
            auto entry = reinterpret_cast<EntryTakingTwo>(image->EntryPoint());
            auto v = CaptureViolations([&] { entry(static_cast<uint8_t*>(block) + 16, 0); });
            for (auto& m : v) fprintf(stderr, "%s\n", m.c_str());
            NdisFreeMemory(block, 0, 0);
            exit(v.size() == 1 ? 0 : 5);
        },
        ::testing::ExitedWithCode(0),
        "special pool: a read at offset 16, past the end of pool block tag 'zr48' \\(16 bytes\\)");
}

TEST_F(ImageCodeTest, AFaultThatIsNotEmulatedNamesTheImageOffsetAndSymbol) {
    auto image = Image({0x90, 0x8B, 0x01, 0xC3});  // nop; mov (%rcx),%eax; ret
    ASSERT_NE(image, nullptr);
    auto entry = reinterpret_cast<EntryTakingPointer>(image->EntryPoint());
    EXPECT_DEATH(entry(reinterpret_cast<void*>(0x10)),
                 "the driver image faulted at test.sys\\+0x1001 \\(DriverEntry\\+0x1\\)");
}

}  // namespace
