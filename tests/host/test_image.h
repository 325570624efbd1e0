// Test support: a small native x64 driver image (PE32+) built in memory,
// for the loader's tests to load as it is and cut short or change by hand.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test_image {

// Offsets of the test image (file alignment 0x200, section alignment 0x1000).
constexpr uint32_t kText = 0x1000, kRdata = 0x2000, kIdata = 0x3000, kReloc = 0x4000;
constexpr uint32_t kTextRaw = 0x400, kRdataRaw = 0x600, kIdataRaw = 0xC00, kRelocRaw = 0xE00;
constexpr uint64_t kPreferredBase = 0x10000;
constexpr uint32_t kPe = 0x80;
constexpr uint32_t kOptional = kPe + 24;
constexpr uint32_t kSectionTable = kOptional + 240;

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { memcpy(&b[at], &v, 2); }
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }
inline void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) { memcpy(&b[at], &v, 8); }
inline void PutString(std::vector<uint8_t>& b, size_t at, const char* s) {
    memcpy(&b[at], s, strlen(s) + 1);
}

// The kernel's checksum (see the loader), for images changed on purpose.
inline uint32_t Checksum(const std::vector<uint8_t>& b) {
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
inline void Reseal(std::vector<uint8_t>& b) { Put32(b, kOptional + 64, Checksum(b)); }

struct ImportSpec {
    std::string dll;
    std::vector<std::string> names;  // "#5" imports by ordinal
};

// The code at the entry point unless a test gives its own (below).
inline std::vector<uint8_t> DefaultCode();

// A native x64 image, "test.sys": `code` at its entry point (DriverEntry, its
// one export) in .text; in .rdata a pointer to 0x1234 (relocated) and the
// import tables; the import address tables in .idata.
inline std::vector<uint8_t> BuildImage(
    const std::vector<ImportSpec>& imports = {{"TEST.SYS", {"Twice"}}},
    const std::vector<uint8_t>& code = DefaultCode()) {
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
    memcpy(&b[kTextRaw], code.data(), code.size());
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

// sub rsp,0x28; call [rip+IAT0]; mov rcx,[rip+pointer]; add eax,[rcx];
// add rsp,0x28; ret: DriverEntry(x) returns Twice(x) + 0x1234, Twice being
// the first import.
inline std::vector<uint8_t> DefaultCode() {
    std::vector<uint8_t> code = {0x48, 0x83, 0xEC, 0x28, 0xFF, 0x15, 0, 0, 0, 0, 0x48, 0x8B,
                                 0x0D, 0,    0,    0,    0,    0x03, 0x01, 0x48, 0x83, 0xC4,
                                 0x28, 0xC3};
    Put32(code, 6, kIdata - (kText + 10));
    Put32(code, 13, kRdata - (kText + 17));
    return code;
}

}  // namespace test_image
