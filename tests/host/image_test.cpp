// The driver image loader: a small PE32+ image built here is mapped,
// relocated, bound and entered; the same image cut short or changed by hand
// is refused with the reason.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/image.h"

namespace {

// Offsets of the test image (file alignment 0x200, section alignment 0x1000).
constexpr uint32_t kText = 0x1000, kRdata = 0x2000, kIdata = 0x3000, kReloc = 0x4000;
constexpr uint32_t kTextRaw = 0x400, kRdataRaw = 0x600, kIdataRaw = 0xC00, kRelocRaw = 0xE00;
constexpr uint64_t kPreferredBase = 0x10000;
constexpr uint32_t kPe = 0x80;
constexpr uint32_t kOptional = kPe + 24;
constexpr uint32_t kSectionTable = kOptional + 240;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { memcpy(&b[at], &v, 2); }
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) { memcpy(&b[at], &v, 8); }
void PutString(std::vector<uint8_t>& b, size_t at, const char* s) { memcpy(&b[at], s, strlen(s) + 1); }

// The kernel's checksum (see the loader), for images changed on purpose.
uint32_t Checksum(const std::vector<uint8_t>& b) {
    uint64_t sum = 0;
    size_t field = kOptional + 64;
    for (size_t i = 0; i < b.size(); i += 2) {
        if (i == field || i == field + 2) continue;
        sum += b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + b.size());
}
void Reseal(std::vector<uint8_t>& b) { Put32(b, kOptional + 64, Checksum(b)); }

struct ImportSpec {
    std::string dll;
    std::vector<std::string> names;  // "#5" imports by ordinal
};

// A native x64 image whose DriverEntry(x) returns Twice(x) + *pointer, where
// Twice is its first import and pointer a relocated address of 0x1234.
std::vector<uint8_t> BuildImage(const std::vector<ImportSpec>& imports = {{"TEST.SYS", {"Twice"}}}) {
    std::vector<uint8_t> b(0x1000, 0);
    // DOS and PE headers
    Put16(b, 0, 0x5A4D);
    Put32(b, 0x3C, kPe);
    Put32(b, kPe, 0x00004550);
    Put16(b, kPe + 4, 0x8664);
    Put16(b, kPe + 6, 4);               // sections
    Put16(b, kPe + 20, 240);            // optional header size
    Put16(b, kPe + 22, 0x2022);         // executable, large address aware, DLL
    Put16(b, kOptional, 0x20B);
    Put32(b, kOptional + 16, kText);    // entry point
    Put64(b, kOptional + 24, kPreferredBase);
    Put32(b, kOptional + 32, 0x1000);
    Put32(b, kOptional + 36, 0x200);
    Put32(b, kOptional + 56, 0x5000);   // size of image
    Put32(b, kOptional + 60, 0x400);    // size of headers
    Put16(b, kOptional + 68, 1);        // native
    Put32(b, kOptional + 108, 16);
    auto directory = [&](int index, uint32_t rva, uint32_t size) {
        Put32(b, kOptional + 112 + 8 * index, rva);
        Put32(b, kOptional + 116 + 8 * index, size);
    };
    directory(0, kRdata + 0x300, 40);
    directory(1, kRdata + 0x100, 20 * (imports.size() + 1));
    directory(5, kReloc, 12);
    struct SectionSpec {
        const char* name;
        uint32_t rva, raw, size, flags;
    } sections[] = {
        {".text", kText, kTextRaw, 0x200, 0x60000020},     // code, execute, read
        {".rdata", kRdata, kRdataRaw, 0x600, 0x40000040},  // initialized data, read
        {".idata", kIdata, kIdataRaw, 0x200, 0xC0000040},  // read, write
        {".reloc", kReloc, kRelocRaw, 0x200, 0x42000040},  // read, discardable
    };
    for (int i = 0; i < 4; ++i) {
        size_t s = kSectionTable + 40 * i;
        memcpy(&b[s], sections[i].name, strlen(sections[i].name));
        Put32(b, s + 8, sections[i].size);
        Put32(b, s + 12, sections[i].rva);
        Put32(b, s + 16, sections[i].size);
        Put32(b, s + 20, sections[i].raw);
        Put32(b, s + 36, sections[i].flags);
    }
    // .text: sub rsp,0x28; call [rip+IAT0]; mov rcx,[rip+pointer]; add eax,[rcx];
    // add rsp,0x28; ret
    const uint8_t code[] = {0x48, 0x83, 0xEC, 0x28, 0xFF, 0x15, 0, 0, 0, 0, 0x48, 0x8B, 0x0D,
                            0,    0,    0,    0,    0x03, 0x01, 0x48, 0x83, 0xC4, 0x28, 0xC3};
    memcpy(&b[kTextRaw], code, sizeof code);
    Put32(b, kTextRaw + 6, kIdata - (kText + 10));
    Put32(b, kTextRaw + 13, kRdata - (kText + 17));
    // .rdata: the pointer (relocated) and what it points at
    Put64(b, kRdataRaw, kPreferredBase + kRdata + 0x10);
    Put32(b, kRdataRaw + 0x10, 0x1234);
    // Imports: descriptors at +0x100, names from +0x400, lookup tables from
    // +0x180; the import address tables in .idata, one run per DLL.
    uint32_t name = kRdata + 0x400, lookup = kRdata + 0x180, iat = kIdata;
    for (size_t d = 0; d < imports.size(); ++d) {
        size_t desc = kRdataRaw + 0x100 + 20 * d;
        Put32(b, desc, lookup);
        Put32(b, desc + 12, name);
        Put32(b, desc + 16, iat);
        PutString(b, kRdataRaw + (name - kRdata), imports[d].dll.c_str());
        name += 16;
        for (const std::string& n : imports[d].names) {
            uint64_t thunk;
            if (n[0] == '#') {
                thunk = 0x8000000000000000ULL | std::stoul(n.substr(1));
            } else {
                PutString(b, kRdataRaw + (name - kRdata) + 2, n.c_str());
                thunk = name;
                name += 16;
            }
            Put64(b, kRdataRaw + (lookup - kRdata), thunk);
            Put64(b, kIdataRaw + (iat - kIdata), thunk);
            lookup += 8;
            iat += 8;
        }
        lookup += 8;  // zero entry ends each table
        iat += 8;
    }
    // Exports: DriverEntry
    size_t e = kRdataRaw + 0x300;
    Put32(b, e + 12, kRdata + 0x380);
    Put32(b, e + 16, 1);
    Put32(b, e + 20, 1);
    Put32(b, e + 24, 1);
    Put32(b, e + 28, kRdata + 0x340);
    Put32(b, e + 32, kRdata + 0x348);
    Put32(b, e + 36, kRdata + 0x350);
    Put32(b, kRdataRaw + 0x340, kText);
    Put32(b, kRdataRaw + 0x348, kRdata + 0x390);
    PutString(b, kRdataRaw + 0x380, "test.sys");
    PutString(b, kRdataRaw + 0x390, "DriverEntry");
    // .reloc: one 64-bit relocation of the pointer, one padding entry
    Put32(b, kRelocRaw, kRdata);
    Put32(b, kRelocRaw + 4, 12);
    Put16(b, kRelocRaw + 8, 0xA000);
    Reseal(b);
    return b;
}

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
