// NdisOpenFile and friends, over in-memory files and a firmware directory
// (see host/files.h). A file's content is read whole when it is opened, as
// NDIS does; NdisMapFile hands out a read-only copy, so a driver that writes
// into its firmware image faults at once.
#include "host/files.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_devices.h"

namespace host {
namespace {

struct OpenFile {
    std::string name;
    std::vector<uint8_t> bytes;
    void* mapping = nullptr;
    size_t mappingBytes = 0;
};

std::mutex mu;
std::map<std::string, std::vector<uint8_t>> memoryFiles;  // by lower-case name
std::string directory;
std::set<OpenFile*> openFiles;

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

void Unmap(OpenFile* f) {
    munmap(f->mapping, f->mappingBytes);
    f->mapping = nullptr;
}

void CloseAll() {
    for (OpenFile* f : openFiles) {
        if (f->mapping) Unmap(f);
        delete f;
    }
    openFiles.clear();
}

void Forget() {
    std::lock_guard<std::mutex> lock(mu);
    CloseAll();
    memoryFiles.clear();
    directory.clear();
}
const bool registered = (internal::RegisterResetHook(Forget), true);

bool ValidName(PNDIS_STRING s) {
    return s && s->Buffer && s->Length > 0 && (s->Length & 1) == 0 &&
           s->Length <= s->MaximumLength;
}

std::string Narrow(PNDIS_STRING s) {
    std::string n;
    for (USHORT i = 0; i < s->Length / 2; ++i) {
        char16_t c = s->Buffer[i];
        n += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return n;
}

// Looks `name` up in the directory, ignoring case. Caller holds mu.
NDIS_STATUS ReadFromDirectory(const std::string& name, std::vector<uint8_t>* bytes) {
    namespace fs = std::filesystem;
    if (directory.empty() || name.find_first_of("/\\") != std::string::npos || name == "." ||
        name == "..") {
        return NDIS_STATUS_FILE_NOT_FOUND;
    }
    std::error_code ec;
    for (auto& entry : fs::directory_iterator(directory, ec)) {
        if (Lower(entry.path().filename().string()) != Lower(name)) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        if (!in) return NDIS_STATUS_ERROR_READING_FILE;
        bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return in.bad() ? NDIS_STATUS_ERROR_READING_FILE : NDIS_STATUS_SUCCESS;
    }
    return NDIS_STATUS_FILE_NOT_FOUND;
}

// The open file a handle names, or null with a violation. Caller holds mu.
OpenFile* Find(NDIS_HANDLE handle, const char* function) {
    auto* f = static_cast<OpenFile*>(handle);
    if (openFiles.count(f)) return f;
    Violation("%s(%p): not an open file handle (closed already?)", function, handle);
    return nullptr;
}

// A read-only copy of the content, at least one page long. Null on failure.
void* MapReadOnly(OpenFile* f) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t bytes = (f->bytes.size() + page) / page * page;
    void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    if (!f->bytes.empty()) memcpy(m, f->bytes.data(), f->bytes.size());
    mprotect(m, bytes, PROT_READ);
    f->mapping = m;
    f->mappingBytes = bytes;
    return m;
}

}  // namespace

void AddFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mu);
    memoryFiles[Lower(name)] = bytes;
}

void SetFileDirectory(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu);
    directory = path;
}

void ClearFiles() {
    std::lock_guard<std::mutex> lock(mu);
    memoryFiles.clear();
    directory.clear();
}

namespace internal {
void ForgetOpenFiles() {
    std::lock_guard<std::mutex> lock(mu);
    for (OpenFile* f : openFiles) {
        if (f->mapping) LedgerRemove(Resource::FileMapping, f);
        LedgerRemove(Resource::File, f);
    }
    CloseAll();
}
}  // namespace internal
}  // namespace host

using host::Violation;

void NdisOpenFile(PNDIS_STATUS Status, PNDIS_HANDLE FileHandle, PUINT FileLength,
                  PNDIS_STRING FileName, NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress) {
    host::RequireIrql("NdisOpenFile", PASSIVE_LEVEL, PASSIVE_LEVEL);
    (void)HighestAcceptableAddress;  // the copy lives in ordinary memory
    if (!Status || !FileHandle || !FileLength || !host::ValidName(FileName)) {
        Violation("NdisOpenFile: needs Status, FileHandle, FileLength and a well-formed name");
        if (Status) *Status = NDIS_STATUS_FAILURE;
        return;
    }
    if (host::ShouldFail(host::Resource::File)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    std::string name = host::Narrow(FileName);
    auto* f = new host::OpenFile{name, {}, nullptr, 0};
    std::unique_lock<std::mutex> lock(host::mu);
    auto it = host::memoryFiles.find(host::Lower(name));
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    if (it != host::memoryFiles.end()) {
        f->bytes = it->second;
    } else {
        status = host::ReadFromDirectory(name, &f->bytes);
    }
    if (status != NDIS_STATUS_SUCCESS) {
        delete f;
        *Status = status;
        return;
    }
    host::openFiles.insert(f);
    lock.unlock();
    host::LedgerAdd(host::Resource::File, f, f->bytes.size(), 0, nullptr, "\"" + name + "\"");
    *FileHandle = f;
    *FileLength = static_cast<UINT>(f->bytes.size());
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisMapFile(PNDIS_STATUS Status, PVOID* MappedBuffer, NDIS_HANDLE FileHandle) {
    host::RequireIrql("NdisMapFile", PASSIVE_LEVEL, PASSIVE_LEVEL);
    if (!Status || !MappedBuffer) {
        Violation("NdisMapFile(%p): needs Status and MappedBuffer", FileHandle);
        return;
    }
    std::unique_lock<std::mutex> lock(host::mu);
    host::OpenFile* f = host::Find(FileHandle, "NdisMapFile");
    if (!f) {
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    if (f->mapping) {
        Violation("NdisMapFile(\"%s\"): the file is mapped already", f->name.c_str());
        *Status = NDIS_STATUS_ALREADY_MAPPED;
        return;
    }
    lock.unlock();
    if (host::ShouldFail(host::Resource::FileMapping)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    lock.lock();
    void* m = host::MapReadOnly(f);
    if (!m) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    host::LedgerAdd(host::Resource::FileMapping, f, f->bytes.size(), 0, nullptr,
                    "\"" + f->name + "\"");
    *MappedBuffer = m;
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisUnmapFile(NDIS_HANDLE FileHandle) {
    host::RequireIrql("NdisUnmapFile", PASSIVE_LEVEL, PASSIVE_LEVEL);
    std::lock_guard<std::mutex> lock(host::mu);
    host::OpenFile* f = host::Find(FileHandle, "NdisUnmapFile");
    if (!f) return;
    if (!f->mapping) {
        Violation("NdisUnmapFile(\"%s\"): the file is not mapped", f->name.c_str());
        return;
    }
    host::Unmap(f);
    host::LedgerRemove(host::Resource::FileMapping, f);
}

void NdisCloseFile(NDIS_HANDLE FileHandle) {
    host::RequireIrql("NdisCloseFile", PASSIVE_LEVEL, PASSIVE_LEVEL);
    std::lock_guard<std::mutex> lock(host::mu);
    host::OpenFile* f = host::Find(FileHandle, "NdisCloseFile");
    if (!f) return;
    if (f->mapping) {
        Violation("NdisCloseFile(\"%s\"): the file is still mapped; unmap it first",
                  f->name.c_str());
        host::Unmap(f);
        host::LedgerRemove(host::Resource::FileMapping, f);
    }
    host::openFiles.erase(f);
    host::LedgerRemove(host::Resource::File, f);
    delete f;
}
