// The kernel loader's part for a driver image: parse a PE32+ file, map its
// sections with their protections, apply its base relocations, bind its
// imports by DLL and name, and name the symbol nearest an address (see
// host/image.h). The file is untrusted: every offset and size is checked
// before it is used, and what the loader does not understand is refused
// with a message that names it.
#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "host/image.h"
#include "internal_image.h"

namespace host {
namespace {

// ---------------------------------------------------------------------------
// The PE format's constants (winnt.h's values)
// ---------------------------------------------------------------------------
constexpr uint16_t kDosMagic = 0x5A4D;               // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;        // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kPe32PlusMagic = 0x020B;
constexpr uint16_t kPe32Magic = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kFileRelocsStripped = 0x0001;

constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kPe32PlusFixedSize = 112;  // the optional header before its directories
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kChecksumOffset = 64;      // within the optional header

enum Directory {
    kExportDirectory = 0,
    kImportDirectory = 1,
    kBaseRelocationDirectory = 5,
    kTlsDirectory = 9,
    kBoundImportDirectory = 11,
    kDelayImportDirectory = 13,
    kClrDirectory = 14,
    kDirectoryCount = 16,
};

constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint32_t kScnUninitialized = 0x00000080;

constexpr uint16_t kRelBasedAbsolute = 0;
constexpr uint16_t kRelBasedDir64 = 10;

constexpr uint64_t kImportByOrdinal = 0x8000000000000000ULL;

constexpr size_t kCoffSymbolSize = 18;
constexpr uint16_t kSymbolTypeFunction = 0x20;
constexpr uint8_t kStorageExternal = 2;
constexpr uint8_t kStorageStatic = 3;

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Demangle(const std::string& name) {
    int status = 0;
    char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (!plain) return name;
    std::string result = plain;
    free(plain);
    return result;
}

struct Section {
    std::string name;
    uint32_t virtualAddress;
    uint32_t virtualSize;  // what the image holds of it (alignment not included)
    uint32_t rawSize;
    uint32_t rawOffset;
    uint32_t characteristics;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

// The headers as the file gives them, checked against the file's length.
struct Headers {
    uint16_t sections = 0;
    uint32_t symbolTable = 0;
    uint32_t symbols = 0;
    uint16_t characteristics = 0;
    uint32_t entryPoint = 0;
    uint64_t imageBase = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t checksum = 0;
    size_t checksumAt = 0;  // file offset of the checksum field
    DataDirectory directories[kDirectoryCount];
    std::vector<Section> sectionTable;
};

}  // namespace

// Builds a DriverImage from a file's bytes; each step fails with the reason.
struct ImageLoader {
    const std::vector<uint8_t>& file;
    std::string name;
    std::string error;
    Headers h;
    uint8_t* image = nullptr;  // the mapping, writable while loading
    std::unique_ptr<DriverImage> result{new DriverImage()};

    bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args, again;
        va_start(args, format);
        va_copy(again, args);
        std::vector<char> text(static_cast<size_t>(vsnprintf(nullptr, 0, format, args)) + 1);
        vsnprintf(text.data(), text.size(), format, again);
        va_end(again);
        va_end(args);
        error = name + ": " + text.data();
        return false;
    }

    bool Truncated(const char* what, uint64_t end) {
        return Fail("truncated: %s ends at byte %llu, the file has %zu", what,
                    static_cast<unsigned long long>(end), file.size());
    }

    void Name(const std::string& n) { result->name_ = n; }

    bool Has(uint64_t offset, uint64_t length) const {
        return offset <= file.size() && length <= file.size() - offset;
    }

    // Whether [rva, rva + length) lies inside the image.
    bool InImage(uint64_t rva, uint64_t length) const {
        return rva <= h.sizeOfImage && length <= h.sizeOfImage - rva;
    }

    bool ParseHeaders();
    bool ParseOptionalHeader(size_t at, uint16_t size);
    bool ParseSections(size_t at);
    bool CheckDirectories();
    bool VerifyChecksum();
    bool Map();
    bool Relocate();
    bool Bind(const ImportResolver& resolver);
    bool ReadExports();
    void ReadSymbols();
    bool Protect();
    // A zero-terminated string at `rva` inside the image, or false.
    bool StringAt(uint32_t rva, std::string* out);
};

bool ImageLoader::ParseHeaders() {
    if (!Has(0, 0x40)) return Truncated("the DOS header", 0x40);
    if (Le16(&file[0]) != kDosMagic) return Fail("not a PE image: no \"MZ\" DOS header");
    uint32_t pe = Le32(&file[0x3C]);
    if (!Has(pe, 4 + kCoffHeaderSize)) return Truncated("the PE header", uint64_t{pe} + 24);
    if (Le32(&file[pe]) != kPeSignature) {
        return Fail("not a PE image: no \"PE\" signature at offset %s", Hex(pe).c_str());
    }
    const uint8_t* coff = &file[pe + 4];
    uint16_t machine = Le16(coff);
    if (machine != kMachineAmd64) {
        return Fail("not an x64 image: machine %s%s", Hex(machine).c_str(),
                    machine == kMachineI386 ? " (x86: the host runs x64 images only)" : "");
    }
    h.sections = Le16(coff + 2);
    h.symbolTable = Le32(coff + 8);
    h.symbols = Le32(coff + 12);
    uint16_t optionalSize = Le16(coff + 16);
    h.characteristics = Le16(coff + 18);
    if (!(h.characteristics & kFileExecutable)) {
        return Fail("not an executable image (an object file?): characteristics %s",
                    Hex(h.characteristics).c_str());
    }
    size_t optional = pe + 4 + kCoffHeaderSize;
    if (!ParseOptionalHeader(optional, optionalSize)) return false;
    return ParseSections(optional + optionalSize);
}

bool ImageLoader::ParseOptionalHeader(size_t at, uint16_t size) {
    if (!Has(at, 2)) return Truncated("the optional header", at + 2);
    uint16_t magic = Le16(&file[at]);
    if (magic != kPe32PlusMagic) {
        return Fail("not a PE32+ image: optional header magic %s%s", Hex(magic).c_str(),
                    magic == kPe32Magic ? " (PE32, a 32-bit image)" : "");
    }
    if (size < kPe32PlusFixedSize) {
        return Fail("the optional header is %u bytes, a PE32+ one has at least %zu", size,
                    kPe32PlusFixedSize);
    }
    if (!Has(at, size)) return Truncated("the optional header", uint64_t{at} + size);
    const uint8_t* o = &file[at];
    h.entryPoint = Le32(o + 16);
    h.imageBase = Le64(o + 24);
    h.sectionAlignment = Le32(o + 32);
    h.sizeOfImage = Le32(o + 56);
    h.sizeOfHeaders = Le32(o + 60);
    h.checksum = Le32(o + kChecksumOffset);
    h.checksumAt = at + kChecksumOffset;
    uint16_t subsystem = Le16(o + 68);
    if (subsystem != kSubsystemNative) {
        return Fail("not a native (kernel-mode) image: subsystem %u", subsystem);
    }
    uint32_t count = Le32(o + 108);
    if (count > kDirectoryCount || kPe32PlusFixedSize + 8ull * count > size) {
        return Fail("the optional header claims %u data directories, room for %zu", count,
                    (size - kPe32PlusFixedSize) / 8);
    }
    for (uint32_t i = 0; i < count; ++i) {
        h.directories[i].rva = Le32(o + kPe32PlusFixedSize + 8 * i);
        h.directories[i].size = Le32(o + kPe32PlusFixedSize + 8 * i + 4);
    }
    if (h.sectionAlignment < PageSize() || h.sectionAlignment % PageSize() != 0) {
        return Fail("section alignment %s: the host maps sections at page granularity (%s)",
                    Hex(h.sectionAlignment).c_str(), Hex(PageSize()).c_str());
    }
    if (h.sizeOfImage == 0 || h.sizeOfImage > (256u << 20)) {
        return Fail("image size %s is out of range", Hex(h.sizeOfImage).c_str());
    }
    if (h.sizeOfHeaders > h.sizeOfImage) {
        return Fail("the headers (%s bytes) are larger than the image (%s)",
                    Hex(h.sizeOfHeaders).c_str(), Hex(h.sizeOfImage).c_str());
    }
    return true;
}

bool ImageLoader::ParseSections(size_t at) {
    uint64_t end = at + uint64_t{h.sections} * kSectionHeaderSize;
    if (!Has(at, end - at)) return Truncated("the section table", end);
    if (h.sections == 0) return Fail("the image has no sections");
    if (end > h.sizeOfHeaders) {
        return Fail("the section table ends at %s, past the headers' size %s", Hex(end).c_str(),
                    Hex(h.sizeOfHeaders).c_str());
    }
    uint64_t next = (uint64_t{h.sizeOfHeaders} + h.sectionAlignment - 1) / h.sectionAlignment *
                    h.sectionAlignment;
    for (uint16_t i = 0; i < h.sections; ++i) {
        const uint8_t* s = &file[at + i * kSectionHeaderSize];
        Section section;
        section.name.assign(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), 8));
        section.virtualSize = Le32(s + 8);
        section.virtualAddress = Le32(s + 12);
        section.rawSize = Le32(s + 16);
        section.rawOffset = Le32(s + 20);
        section.characteristics = Le32(s + 36);
        if (section.virtualSize == 0) section.virtualSize = section.rawSize;
        const char* n = section.name.c_str();
        if (section.virtualAddress % h.sectionAlignment != 0) {
            return Fail("section %s at %s is not aligned to %s", n,
                        Hex(section.virtualAddress).c_str(), Hex(h.sectionAlignment).c_str());
        }
        if (section.virtualAddress < next) {
            return Fail("section %s at %s overlaps the headers or the section before it", n,
                        Hex(section.virtualAddress).c_str());
        }
        if (!InImage(section.virtualAddress, section.virtualSize)) {
            return Fail("section %s (%s + %s) lies outside the image (%s bytes)", n,
                        Hex(section.virtualAddress).c_str(), Hex(section.virtualSize).c_str(),
                        Hex(h.sizeOfImage).c_str());
        }
        if (!(section.characteristics & kScnUninitialized) && section.rawSize &&
            !Has(section.rawOffset, section.rawSize)) {
            return Truncated(("section " + section.name).c_str(),
                             uint64_t{section.rawOffset} + section.rawSize);
        }
        if ((section.characteristics & kScnWrite) && (section.characteristics & kScnExecute)) {
            return Fail("section %s is both writable and executable", n);
        }
        next = section.virtualAddress + uint64_t{section.virtualSize};
        next = (next + h.sectionAlignment - 1) / h.sectionAlignment * h.sectionAlignment;
        h.sectionTable.push_back(section);
    }
    return true;
}

bool ImageLoader::CheckDirectories() {
    if (h.directories[kTlsDirectory].size) {
        return Fail("the image has thread-local storage (a TLS directory), which kernel-mode "
                    "images cannot use");
    }
    if (h.directories[kDelayImportDirectory].size) {
        return Fail("the image has delay-load imports, which the kernel's loader does not "
                    "bind");
    }
    if (h.directories[kBoundImportDirectory].size) {
        return Fail("the image has pre-bound imports, which the host does not take");
    }
    if (h.directories[kClrDirectory].size) return Fail("the image is a .NET assembly");
    for (int d : {kExportDirectory, kImportDirectory, kBaseRelocationDirectory}) {
        const DataDirectory& dir = h.directories[d];
        if (dir.size && !InImage(dir.rva, dir.size)) {
            return Fail("data directory %d (%s + %s) lies outside the image", d,
                        Hex(dir.rva).c_str(), Hex(dir.size).c_str());
        }
    }
    bool entryInCode = false;
    for (const Section& s : h.sectionTable) {
        if ((s.characteristics & kScnExecute) && h.entryPoint >= s.virtualAddress &&
            h.entryPoint - s.virtualAddress < s.virtualSize) {
            entryInCode = true;
        }
    }
    if (!entryInCode) {
        return Fail("the entry point %s is not inside an executable section",
                    Hex(h.entryPoint).c_str());
    }
    if (h.characteristics & kFileRelocsStripped) {
        return Fail("the image has no relocations (linked with them stripped): it cannot be "
                    "loaded anywhere but at %s",
                    Hex(h.imageBase).c_str());
    }
    return true;
}

// The checksum the kernel's loader checks: 16-bit words added with the
// carries folded back, the checksum field itself left out, plus the length.
bool ImageLoader::VerifyChecksum() {
    if (h.checksum == 0) return true;  // not set: nothing to check
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        if (i == h.checksumAt || i == h.checksumAt + 2) continue;
        uint32_t word = file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum += file.size();
    if (static_cast<uint32_t>(sum) != h.checksum) {
        return Fail("checksum mismatch: the header says %s, the file sums to %s (the file was "
                    "changed after it was linked)",
                    Hex(h.checksum).c_str(), Hex(static_cast<uint32_t>(sum)).c_str());
    }
    return true;
}

bool ImageLoader::Map() {
    size_t page = PageSize();
    size_t bytes = (h.sizeOfImage + page - 1) / page * page;
    void* mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
    if (mapping == MAP_FAILED) return Fail("cannot reserve %zu bytes for the image", bytes);
    result->mapping_ = mapping;
    result->mappingBytes_ = bytes;
    image = static_cast<uint8_t*>(mapping);
    memcpy(image, file.data(), std::min<size_t>(h.sizeOfHeaders, file.size()));
    for (const Section& s : h.sectionTable) {
        if (s.characteristics & kScnUninitialized) continue;  // zero-filled already
        memcpy(image + s.virtualAddress, file.data() + s.rawOffset,
               std::min(s.rawSize, s.virtualSize));
    }
    result->base_ = reinterpret_cast<uintptr_t>(image);
    result->size_ = h.sizeOfImage;
    result->entry_ = result->base_ + h.entryPoint;
    return true;
}

bool ImageLoader::Relocate() {
    const DataDirectory& dir = h.directories[kBaseRelocationDirectory];
    uint64_t delta = result->base_ - h.imageBase;
    uint32_t at = dir.rva;
    uint32_t end = dir.rva + dir.size;
    while (at < end) {
        if (end - at < 8) return Fail("relocation block at %s is cut short", Hex(at).c_str());
        uint32_t page = Le32(image + at);
        uint32_t blockSize = Le32(image + at + 4);
        if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - at) {
            return Fail("relocation block at %s has size %u", Hex(at).c_str(), blockSize);
        }
        for (uint32_t e = at + 8; e < at + blockSize; e += 2) {
            uint16_t entry = Le16(image + e);
            uint16_t type = entry >> 12;
            uint64_t target = uint64_t{page} + (entry & 0xFFF);
            if (type == kRelBasedAbsolute) continue;  // padding
            if (type != kRelBasedDir64) {
                return Fail("relocation of type %u at %s: an x64 image has only 64-bit ones "
                            "(type 10)",
                            type, Hex(target).c_str());
            }
            if (!InImage(target, 8) || target < h.sizeOfHeaders) {
                return Fail("relocation at %s lies outside the image's sections",
                            Hex(target).c_str());
            }
            uint64_t value;
            memcpy(&value, image + target, 8);
            value += delta;
            memcpy(image + target, &value, 8);
            ++result->relocations_;
        }
        at += blockSize;
    }
    return true;
}

bool ImageLoader::StringAt(uint32_t rva, std::string* out) {
    if (!InImage(rva, 1)) return false;
    const char* s = reinterpret_cast<const char*>(image + rva);
    size_t n = strnlen(s, h.sizeOfImage - rva);
    if (n == h.sizeOfImage - rva) return false;
    out->assign(s, n);
    return true;
}

bool ImageLoader::Bind(const ImportResolver& resolver) {
    const DataDirectory& dir = h.directories[kImportDirectory];
    std::vector<std::string> missing;
    for (uint32_t d = dir.rva; dir.size && d + 20 <= dir.rva + dir.size; d += 20) {
        uint32_t lookup = Le32(image + d);
        uint32_t nameRva = Le32(image + d + 12);
        uint32_t iat = Le32(image + d + 16);
        if (lookup == 0 && nameRva == 0 && iat == 0) break;  // the table's end
        std::string dll;
        if (!StringAt(nameRva, &dll)) {
            return Fail("import descriptor at %s names its DLL outside the image",
                        Hex(d).c_str());
        }
        if (lookup == 0) lookup = iat;
        for (uint32_t i = 0;; ++i) {
            if (!InImage(lookup + 8ull * i, 8) || !InImage(iat + 8ull * i, 8)) {
                return Fail("the import table of %s runs outside the image", dll.c_str());
            }
            uint64_t thunk = Le64(image + lookup + 8 * i);
            if (thunk == 0) break;
            if (thunk & kImportByOrdinal) {
                missing.push_back(dll + "!#" + std::to_string(thunk & 0xFFFF) +
                                  " (by ordinal: the host binds by name)");
                continue;
            }
            std::string symbol;
            if (thunk > 0xFFFFFFFFu || !StringAt(static_cast<uint32_t>(thunk) + 2, &symbol)) {
                return Fail("import %u of %s names its symbol outside the image", i, dll.c_str());
            }
            const void* address = resolver ? resolver(dll, symbol) : nullptr;
            if (!address) {
                missing.push_back(dll + "!" + symbol);
                continue;
            }
            uint64_t value = reinterpret_cast<uintptr_t>(address);
            memcpy(image + iat + 8 * i, &value, 8);
            ++result->imports_;
        }
    }
    if (!missing.empty()) {
        std::string list;
        for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
        return Fail("%zu import%s the host cannot bind: %s", missing.size(),
                    missing.size() == 1 ? "" : "s", list.c_str());
    }
    return true;
}

bool ImageLoader::ReadExports() {
    const DataDirectory& dir = h.directories[kExportDirectory];
    if (dir.size < 40) return true;
    const uint8_t* e = image + dir.rva;
    uint32_t functions = Le32(e + 20);
    uint32_t names = Le32(e + 24);
    uint32_t addresses = Le32(e + 28);
    uint32_t nameTable = Le32(e + 32);
    uint32_t ordinals = Le32(e + 36);
    if (!InImage(addresses, 4ull * functions) || !InImage(nameTable, 4ull * names) ||
        !InImage(ordinals, 2ull * names)) {
        return Fail("the export directory's tables lie outside the image");
    }
    for (uint32_t i = 0; i < names; ++i) {
        uint16_t ordinal = Le16(image + ordinals + 2 * i);
        std::string symbol;
        if (ordinal >= functions || !StringAt(Le32(image + nameTable + 4 * i), &symbol)) {
            return Fail("export %u is malformed", i);
        }
        uint32_t rva = Le32(image + addresses + 4 * ordinal);
        if (!InImage(rva, 1)) return Fail("export %s lies outside the image", symbol.c_str());
        result->exports_.push_back({rva, symbol});
    }
    return true;
}

// The COFF symbol table, when the linker left one: it names every function,
// so a fault is named by the function it is in. Anything odd in it only
// leaves the names out.
void ImageLoader::ReadSymbols() {
    std::vector<DriverImage::Symbol>& symbols = result->symbols_;
    symbols = result->exports_;
    uint64_t tableEnd = h.symbolTable + uint64_t{h.symbols} * kCoffSymbolSize;
    if (h.symbolTable && h.symbols && Has(h.symbolTable, tableEnd - h.symbolTable) &&
        Has(tableEnd, 4)) {
        uint32_t stringsSize = Le32(&file[tableEnd]);
        bool stringsOk = Has(tableEnd, stringsSize);
        for (uint32_t i = 0; i < h.symbols; ++i) {
            const uint8_t* s = &file[h.symbolTable + uint64_t{i} * kCoffSymbolSize];
            uint8_t aux = s[17];
            int16_t section = static_cast<int16_t>(Le16(s + 12));
            uint16_t type = Le16(s + 14);
            uint8_t storage = s[16];
            i += aux;
            if (section <= 0 || section > static_cast<int>(h.sectionTable.size())) continue;
            if (type != kSymbolTypeFunction ||
                (storage != kStorageExternal && storage != kStorageStatic)) {
                continue;
            }
            std::string name;
            if (Le32(s) == 0) {
                uint32_t offset = Le32(s + 4);
                if (!stringsOk || offset >= stringsSize) continue;
                const char* text = reinterpret_cast<const char*>(&file[tableEnd + offset]);
                name.assign(text, strnlen(text, stringsSize - offset));
            } else {
                name.assign(reinterpret_cast<const char*>(s),
                            strnlen(reinterpret_cast<const char*>(s), 8));
            }
            uint32_t rva = h.sectionTable[section - 1].virtualAddress + Le32(s + 8);
            if (InImage(rva, 1)) symbols.push_back({rva, Demangle(name)});
        }
    }
    std::sort(symbols.begin(), symbols.end(),
              [](const DriverImage::Symbol& a, const DriverImage::Symbol& b) {
                  return a.rva < b.rva;
              });
}

bool ImageLoader::Protect() {
    if (mprotect(image, h.sectionTable.front().virtualAddress, PROT_READ) != 0) {
        return Fail("cannot protect the headers");
    }
    for (const Section& s : h.sectionTable) {
        size_t bytes = (s.virtualSize + h.sectionAlignment - 1) / h.sectionAlignment *
                       h.sectionAlignment;
        bytes = std::min<size_t>(bytes, result->mappingBytes_ - s.virtualAddress);
        int protection = PROT_NONE;
        if (s.characteristics & kScnRead) protection |= PROT_READ;
        if (s.characteristics & kScnWrite) protection |= PROT_WRITE;
        if (s.characteristics & kScnExecute) protection |= PROT_READ | PROT_EXEC;
        if (mprotect(image + s.virtualAddress, bytes, protection) != 0) {
            return Fail("cannot set the protection of section %s", s.name.c_str());
        }
        if (s.characteristics & kScnExecute) {
            result->code_.emplace_back(s.virtualAddress, s.virtualAddress + s.virtualSize);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Loaded images, for the fault handler: a fixed table read without locks
// ---------------------------------------------------------------------------
namespace {

constexpr int kImageSlots = 16;
std::atomic<const DriverImage*> loadedImages[kImageSlots];
std::mutex slotsMu;  // serializes adding and removing

void Enter(const DriverImage* image) {
    std::lock_guard<std::mutex> lock(slotsMu);
    for (auto& slot : loadedImages) {
        if (!slot.load()) {
            slot.store(image);
            return;
        }
    }
    // More images than slots: the rest run unnamed in fault reports.
}

void Leave(const DriverImage* image) {
    std::lock_guard<std::mutex> lock(slotsMu);
    for (auto& slot : loadedImages) {
        if (slot.load() == image) slot.store(nullptr);
    }
}

const DriverImage* ImageHolding(uintptr_t address) {
    for (auto& slot : loadedImages) {
        const DriverImage* image = slot.load();
        if (image && image->Contains(address)) return image;
    }
    return nullptr;
}

}  // namespace

DriverImage::~DriverImage() {
    Leave(this);
    if (mapping_) munmap(mapping_, mappingBytes_);
}

uintptr_t DriverImage::Export(const std::string& symbol) const {
    for (const Symbol& e : exports_) {
        if (e.name == symbol) return base_ + e.rva;
    }
    return 0;
}

size_t DriverImage::CodeBytesAt(uintptr_t address, size_t limit) const {
    uintptr_t offset = address - base_;
    for (auto& range : code_) {
        if (offset >= range.first && offset < range.second) {
            return std::min<size_t>(limit, range.second - offset);
        }
    }
    return 0;
}

std::string DriverImage::Describe(uintptr_t address) const {
    uintptr_t offset = address - base_;
    std::string text = name_ + "+" + Hex(offset);
    auto after = std::upper_bound(symbols_.begin(), symbols_.end(), offset,
                                  [](uintptr_t o, const Symbol& s) { return o < s.rva; });
    if (after != symbols_.begin()) {
        const Symbol& s = *std::prev(after);
        text += " (" + s.name + "+" + Hex(offset - s.rva) + ")";
    }
    return text;
}

std::string DescribeImageAddress(uintptr_t address) {
    const DriverImage* image = ImageHolding(address);
    return image ? image->Describe(address) : std::string();
}

bool InDriverImage(uintptr_t address) { return ImageHolding(address) != nullptr; }

namespace internal {
size_t ImageCodeAvailable(uintptr_t address) {
    const DriverImage* image = ImageHolding(address);
    return image ? image->CodeBytesAt(address, 15) : 0;
}
}  // namespace internal

std::shared_ptr<DriverImage> LoadDriverImage(const std::vector<uint8_t>& file,
                                             const std::string& name, std::string* error,
                                             const ImportResolver& resolver) {
    ImageLoader loader{file, name, {}, {}};
    loader.Name(name);
    bool ok = loader.ParseHeaders() && loader.CheckDirectories() && loader.VerifyChecksum() &&
              loader.Map() && loader.Relocate() && loader.Bind(resolver) &&
              loader.ReadExports() && loader.Protect();
    if (!ok) {
        if (error) *error = loader.error;
        return nullptr;
    }
    loader.ReadSymbols();
    std::shared_ptr<DriverImage> image(loader.result.release());
    internal::InstallImageFaultHandler();
    Enter(image.get());
    return image;
}

std::shared_ptr<DriverImage> LoadDriverImage(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot open the file";
        return nullptr;
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    auto image = LoadDriverImage(file, name, error);
    // The image goes by its file name; a refusal names the path given.
    if (!image && error && error->compare(0, name.size() + 1, name + ":") == 0) {
        *error = path + error->substr(name.size());
    }
    return image;
}

}  // namespace host
