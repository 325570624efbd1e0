// A Windows kernel-mode driver image (a PE32+ x64 .sys file) loaded into the
// host as the kernel's loader would load it: its sections mapped with their
// own protections, its base relocations applied, every import bound by DLL
// and name to the host's implementation, entered at its entry point with the
// Microsoft x64 calling convention.
//
//     std::string error;
//     auto image = host::LoadDriverImage("build/win-x86_64/zr48.sys", &error);
//     if (!image) die(error);   // "zr48.sys: ... : the reason"
//     host::Driver driver(image);
//
// Anything the loader does not understand is refused with a message that
// names it: a file that is not a native PE32+ image for x64, one cut short,
// a relocation that points outside the image, a section both writable and
// executable, thread-local storage, a checksum that does not match, and the
// complete list of imports the host cannot bind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ndis.h"

namespace host {

class DriverImage;

// What an import of the image is bound to: the address of a host function
// entered with the Microsoft x64 convention, or null when the host has none.
// The DLL name comes as the image spells it (compare without case).
using ImportResolver = std::function<const void*(const std::string& dll, const std::string& name)>;

// The host's own implementations of the kernel's, NDIS's and the HAL's exports.
const void* HostKernelExport(const std::string& dll, const std::string& name);

// Loads the image at `path`, or returns null with the reason in *error.
std::shared_ptr<DriverImage> LoadDriverImage(const std::string& path, std::string* error);
// Loads an image held in memory; `name` names it in messages. The resolver
// binds the imports (default: HostKernelExport).
std::shared_ptr<DriverImage> LoadDriverImage(const std::vector<uint8_t>& file,
                                             const std::string& name, std::string* error,
                                             const ImportResolver& resolver = HostKernelExport);

class DriverImage {
public:
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    const std::string& Name() const { return name_; }
    // Where the image lies in the host's address space.
    uintptr_t Base() const { return base_; }
    size_t Size() const { return size_; }
    bool Contains(uintptr_t address) const { return address - base_ < size_; }
    // The entry point (DriverEntry).
    uintptr_t EntryPoint() const { return entry_; }
    // An exported symbol's address, or 0.
    uintptr_t Export(const std::string& symbol) const;
    // "zr48.sys+0x1c39 (AcquireAdapterLock(AdapterLock*)+0x9)": the image
    // offset and the nearest symbol at or before it (the image's own symbol
    // table when it has one, its exports otherwise).
    std::string Describe(uintptr_t address) const;
    // How many bytes of code can be read at `address`, up to `limit`: 0
    // when it is not inside an executable section.
    size_t CodeBytesAt(uintptr_t address, size_t limit) const;
    // Relocations applied and imports bound at load.
    size_t Relocations() const { return relocations_; }
    size_t Imports() const { return imports_; }

private:
    friend struct ImageLoader;
    DriverImage() = default;

    struct Symbol {
        uint32_t rva;
        std::string name;
    };

    std::string name_;
    void* mapping_ = nullptr;
    size_t mappingBytes_ = 0;
    uintptr_t base_ = 0;
    size_t size_ = 0;
    uintptr_t entry_ = 0;
    size_t relocations_ = 0;
    size_t imports_ = 0;
    std::vector<std::pair<uint32_t, uint32_t>> code_;  // executable sections: [begin, end) rvas
    std::vector<Symbol> exports_;
    std::vector<Symbol> symbols_;  // sorted by rva, exports included
};

// The loaded image that holds `address` described as DriverImage::Describe
// does, or an empty string when no loaded image holds it. Safe to call from
// a fault handler on any thread.
std::string DescribeImageAddress(uintptr_t address);
// Whether some loaded image holds `address` (lock-free).
bool InDriverImage(uintptr_t address);

}  // namespace host
