// The driver image loader: a small PE32+ image built here is mapped,
// relocated, bound and entered; the same image cut short or changed by hand
// is refused with the reason.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/image.h"
#include "tests/host/test_image.h"

namespace {

using namespace test_image;

__attribute__((ms_abi)) int Twice(int x) { return 2 * x; }
__attribute__((ms_abi)) int Other(int x) { return x; }

const void* Resolve(const std::string& dll, const std::string& name) {
    if (dll == "TEST.SYS" && name == "Twice") return reinterpret_cast<const void*>(&Twice);
    if (dll == "TEST.SYS" && name == "Other") return reinterpret_cast<const void*>(&Other);
    return nullptr;
}

std::string Refusal(const std::vector<uint8_t>& file) {
    std::string error;
    auto image = host::LoadDriverImage(file, "test.sys", &error, Resolve);
    EXPECT_EQ(image, nullptr);
    return error;
}

using Entry = __attribute__((ms_abi)) int (*)(int);

TEST(DriverImageLoad, MapsRelocatesBindsAndEnters) {
    std::string error;
    auto image = host::LoadDriverImage(BuildImage(), "test.sys", &error, Resolve);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_NE(image->Base(), kPreferredBase);
    EXPECT_EQ(image->Relocations(), 1u);
    EXPECT_EQ(image->Imports(), 1u);
    EXPECT_EQ(image->Export("DriverEntry"), image->EntryPoint());
    auto entry = reinterpret_cast<Entry>(image->EntryPoint());
    EXPECT_EQ(entry(5), 10 + 0x1234);
    EXPECT_EQ(image->Describe(image->EntryPoint() + 4), "test.sys+0x1004 (DriverEntry+0x4)");
    EXPECT_EQ(host::DescribeImageAddress(image->EntryPoint()), "test.sys+0x1000 (DriverEntry+0x0)");
    EXPECT_TRUE(host::InDriverImage(image->Base() + 0x4FFF));
    EXPECT_FALSE(host::InDriverImage(image->Base() + 0x5000));
}

TEST(DriverImageLoad, SectionsKeepTheirProtections) {
    std::string error;
    auto image = host::LoadDriverImage(BuildImage(), "test.sys", &error, Resolve);
    ASSERT_NE(image, nullptr) << error;
    auto* code = reinterpret_cast<volatile uint8_t*>(image->Base() + kText);
    auto* data = reinterpret_cast<volatile uint8_t*>(image->Base() + kRdata);
    EXPECT_DEATH(code[0] = 0x90, "");
    EXPECT_DEATH(data[0] = 0, "");
    auto* iat = reinterpret_cast<volatile uint64_t*>(image->Base() + kIdata);
    EXPECT_EQ(*iat, reinterpret_cast<uintptr_t>(&Twice));
}

TEST(DriverImageLoad, AnUnsetChecksumIsNotChecked) {
    std::vector<uint8_t> file = BuildImage();
    Put32(file, kOptional + 64, 0);
    std::string error;
    EXPECT_NE(host::LoadDriverImage(file, "test.sys", &error, Resolve), nullptr) << error;
}

TEST(DriverImageRefusal, TruncatedAnywhere) {
    const std::vector<uint8_t> good = BuildImage();
    struct {
        size_t length;
        const char* reason;
    } cuts[] = {
        {0x20, "truncated: the DOS header"},
        {kPe + 10, "truncated: the PE header"},
        {kOptional + 100, "truncated: the optional header"},
        {kSectionTable + 50, "truncated: the section table"},
        {kRdataRaw + 0x10, "truncated: section .rdata"},
        {kIdataRaw + 0x10, "truncated: section .idata"},
        {kRelocRaw + 0x1FF, "truncated: section .reloc"},
    };
    for (auto& cut : cuts) {
        std::vector<uint8_t> file(good.begin(), good.begin() + cut.length);
        EXPECT_NE(Refusal(file).find(cut.reason), std::string::npos)
            << "cut at " << cut.length << ": " << Refusal(file);
    }
}

TEST(DriverImageRefusal, WhatIsNotANativeX64Image) {
    struct {
        size_t at;
        uint16_t value;
        const char* reason;
    } changes[] = {
        {0, 0x1234, "not a PE image: no \"MZ\""},
        {kPe, 0x4550 + 1, "no \"PE\" signature"},
        {kPe + 4, 0x014C, "not an x64 image: machine 0x14c (x86"},
        {kOptional, 0x10B, "not a PE32+ image: optional header magic 0x10b (PE32"},
        {kOptional + 68, 2, "not a native (kernel-mode) image: subsystem 2"},
        {kPe + 22, 0x2020, "not an executable image"},
        {kOptional + 16, kRdata, "entry point 0x2000 is not inside an executable section"},
        {kPe + 22, 0x2023, "no relocations"},
    };
    for (auto& change : changes) {
        std::vector<uint8_t> file = BuildImage();
        Put16(file, change.at, change.value);
        Reseal(file);
        std::string error = Refusal(file);
        EXPECT_NE(error.find(change.reason), std::string::npos) << error;
        EXPECT_EQ(error.rfind("test.sys: ", 0), 0u) << error;
    }
}

TEST(DriverImageRefusal, SectionsAndDirectoriesItCannotTake) {
    struct {
        size_t at;
        uint32_t value;
        const char* reason;
    } changes[] = {
        {kSectionTable + 40 * 2 + 36, 0xE0000040, "section .idata is both writable and executable"},
        {kOptional + 112 + 8 * 9, kRdata + 0x20, "thread-local storage"},
        {kOptional + 112 + 8 * 13, kRdata + 0x20, "delay-load imports"},
        {kSectionTable + 40 + 12, 0x1800, "section .rdata at 0x1800 is not aligned"},
        {kSectionTable + 40 + 12, 0x1000, "overlaps"},
        {kSectionTable + 40 * 3 + 8, 0x2000, "section .reloc (0x4000 + 0x2000) lies outside"},
        {kOptional + 112 + 8 * 5, 0x4FF8, "data directory 5 (0x4ff8 + 0xc) lies outside"},
    };
    for (auto& change : changes) {
        std::vector<uint8_t> file = BuildImage();
        Put32(file, change.at, change.value);
        if (change.at == kOptional + 112 + 8 * 9 || change.at == kOptional + 112 + 8 * 13) {
            Put32(file, change.at + 4, 8);
        }
        Reseal(file);
        std::string error = Refusal(file);
        EXPECT_NE(error.find(change.reason), std::string::npos) << error;
    }
}

TEST(DriverImageRefusal, RelocationsOutsideTheImageOrOfAnotherKind) {
    std::vector<uint8_t> file = BuildImage();
    Put32(file, kRelocRaw, 0x4FF0);  // the 8 bytes would run past the image's end
    Put16(file, kRelocRaw + 8, 0xA00C);
    Reseal(file);
    EXPECT_NE(Refusal(file).find("relocation at 0x4ffc lies outside the image"),
              std::string::npos) << Refusal(file);

    file = BuildImage();
    Put16(file, kRelocRaw + 8, 0x3000);  // HIGHLOW: a 32-bit image's kind
    Reseal(file);
    EXPECT_NE(Refusal(file).find("relocation of type 3 at 0x2000"), std::string::npos)
        << Refusal(file);

    file = BuildImage();
    Put32(file, kRelocRaw + 4, 200);  // the block claims more than the directory holds
    Reseal(file);
    EXPECT_NE(Refusal(file).find("relocation block at 0x4000 has size 200"), std::string::npos)
        << Refusal(file);
}

TEST(DriverImageRefusal, EveryImportItCannotBindIsListed) {
    std::string error = Refusal(BuildImage({{"TEST.SYS", {"Twice", "Missing1", "Other", "#7"}},
                                            {"HAL.dll", {"Missing2"}}}));
    EXPECT_NE(error.find("3 imports the host cannot bind: TEST.SYS!Missing1, TEST.SYS!#7 (by "
                         "ordinal: the host binds by name), HAL.dll!Missing2"),
              std::string::npos)
        << error;
}

TEST(DriverImageRefusal, AByteChangedByHandFailsTheChecksum) {
    std::vector<uint8_t> file = BuildImage();
    file[kTextRaw + 0x18] = 0xCC;  // past the code: a change nothing else would notice
    std::string error = Refusal(file);
    EXPECT_NE(error.find("checksum mismatch"), std::string::npos) << error;
}

TEST(DriverImageRefusal, AFileThatIsNotThere) {
    std::string error;
    EXPECT_EQ(host::LoadDriverImage("/nonexistent/zr48.sys", &error), nullptr);
    EXPECT_EQ(error, "/nonexistent/zr48.sys: cannot open the file");
}

}  // namespace
