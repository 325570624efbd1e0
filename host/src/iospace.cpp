// Device windows as the driver maps them, and the register accessors.
//
// NdisMMapIoSpace hands out address space reserved with no access at all, at
// the same offset within its page as the physical address (as the kernel's
// mapping would be), so a driver that dereferences a register directly
// instead of going through the accessors faults at once. The accessors
// translate the address back to the physical one and let the bus route the
// access to the device that owns it.
//
// Mapping a physical range that no attached device window holds fails with
// NDIS_STATUS_RESOURCE_CONFLICT: the range is not the device's to claim.
// An injected failure gives NDIS_STATUS_RESOURCES.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_devices.h"

namespace host {
namespace {

struct Mapping {
    uint64_t physical;
    UINT length;
    void* region;        // the reserved pages
    size_t regionBytes;
    NDIS_HANDLE owner;
};

host::internal::ReadMostlyMutex mu;
std::map<uintptr_t, Mapping> mappings;  // by the address handed to the driver
// Moves on (under mu, exclusively) whenever a mapping goes; never reset.
std::atomic<uint64_t> unmaps{1};

// The window a thread translated through last, as it was then: it still
// stands while no mapping has gone since (`unmaps` unchanged).
struct LastWindow {
    uint64_t unmaps = 0;
    uintptr_t address = 0;
    UINT length = 0;
    uint64_t physical = 0;
};
thread_local LastWindow lastWindow;

// Caller holds mu exclusively and has removed a mapping.
void Unmapped() { unmaps.fetch_add(1, std::memory_order_release); }

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

void Unreserve(const Mapping& m) { munmap(m.region, m.regionBytes); }

void Forget() {
    std::unique_lock<host::internal::ReadMostlyMutex> lock(mu);
    for (auto& m : mappings) Unreserve(m.second);
    mappings.clear();
    Unmapped();
}
const bool registered = (internal::RegisterResetHook(Forget), true);

// Reserves inaccessible address space for [physical, physical + length) and
// returns the address that corresponds to `physical`, or null.
void* Reserve(uint64_t physical, UINT length, Mapping* m) {
    size_t page = PageSize();
    size_t offset = static_cast<size_t>(physical % page);
    size_t bytes = (offset + length + page - 1) / page * page;
    void* region = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
    if (region == MAP_FAILED) return nullptr;
    *m = Mapping{physical, length, region, bytes, nullptr};
    return static_cast<uint8_t*>(region) + offset;
}

// The mapping that holds an access of `width` bytes at `address`, or null.
// Caller holds mu.
const std::pair<const uintptr_t, Mapping>* MappingHolding(uintptr_t address, unsigned width) {
    auto it = mappings.upper_bound(address);
    if (it == mappings.begin()) return nullptr;
    --it;
    return internal::RangeHolds(it->first, it->second.length, address, width) ? &*it : nullptr;
}

// The physical address of a register access of `width` bytes, or false with
// a violation when the access does not lie inside one mapped window.
bool Translate(const volatile void* reg, unsigned width, const char* function,
               uint64_t* physical) {
    auto address = reinterpret_cast<uintptr_t>(reg);
    if (width == 4 && address % 4 != 0) {
        Violation("%s(%p): a 32-bit register access must be 4-byte aligned", function,
                  const_cast<void*>(reg));
        return false;
    }
    // A driver goes on using the window it used last: that one is looked at
    // first, with the same bounds as any.
    const LastWindow& last = lastWindow;
    if (last.unmaps == unmaps.load(std::memory_order_acquire) &&
        internal::RangeHolds(last.address, last.length, address, width)) {
        *physical = last.physical + (address - last.address);
        return true;
    }
    std::shared_lock<host::internal::ReadMostlyMutex> lock(mu);
    if (auto* m = MappingHolding(address, width)) {
        *physical = m->second.physical + (address - m->first);
        // Removals happen only under the exclusive lock: the count read now
        // is the one this mapping stands for.
        lastWindow = {unmaps.load(std::memory_order_relaxed), m->first, m->second.length,
                      m->second.physical};
        return true;
    }
    Violation("%s(%p): not inside a device window mapped with NdisMMapIoSpace", function,
              const_cast<void*>(reg));
    return false;
}

uint32_t ReadRegister(const volatile void* reg, unsigned width, const char* function) {
    uint64_t physical;
    uint32_t value = width == 1 ? 0xFF : 0xFFFFFFFF;  // what a bus read nobody answers gives
    if (!Translate(reg, width, function, &physical)) return value;
    if (!internal::MmioRead(physical, width, &value)) {
        Violation("%s(%p): no device answers at physical address 0x%llx (detached?)", function,
                  const_cast<void*>(reg), static_cast<unsigned long long>(physical));
    }
    return value;
}

void WriteRegister(volatile void* reg, unsigned width, uint32_t value, const char* function) {
    uint64_t physical;
    if (!Translate(reg, width, function, &physical)) return;
    if (!internal::MmioWrite(physical, width, value)) {
        Violation("%s(%p): no device answers at physical address 0x%llx (detached?)", function,
                  const_cast<void*>(reg), static_cast<unsigned long long>(physical));
    }
}

}  // namespace

namespace internal {

bool WindowPhysicalAddress(uintptr_t address, unsigned width, uint64_t* physical) {
    std::shared_lock<host::internal::ReadMostlyMutex> lock(mu);
    auto* m = MappingHolding(address, width);
    if (!m) return false;
    *physical = m->second.physical + (address - m->first);
    return true;
}

void ForgetMiniportWindows(NDIS_HANDLE miniport) {
    std::unique_lock<host::internal::ReadMostlyMutex> lock(mu);
    for (auto it = mappings.begin(); it != mappings.end();) {
        if (it->second.owner != miniport) {
            ++it;
            continue;
        }
        LedgerRemove(Resource::IoSpace, reinterpret_cast<void*>(it->first));
        Unreserve(it->second);
        it = mappings.erase(it);
        Unmapped();
    }
}

}  // namespace internal
}  // namespace host

using host::Violation;

NDIS_STATUS NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                            NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length) {
    host::RequireIrql("NdisMMapIoSpace", PASSIVE_LEVEL, PASSIVE_LEVEL);
    if (!VirtualAddress || !MiniportAdapterHandle || Length == 0) {
        Violation("NdisMMapIoSpace: needs an address to fill, an adapter handle and a length "
                  "(got %p, %p, %u)",
                  static_cast<void*>(VirtualAddress), MiniportAdapterHandle, Length);
        if (VirtualAddress) *VirtualAddress = nullptr;
        return NDIS_STATUS_FAILURE;
    }
    *VirtualAddress = nullptr;
    if (host::ShouldFail(host::Resource::IoSpace)) return NDIS_STATUS_RESOURCES;
    auto physical = static_cast<uint64_t>(PhysicalAddress.QuadPart);
    if (!host::internal::MmioWindowCovers(physical, Length)) return NDIS_STATUS_RESOURCE_CONFLICT;
    host::Mapping m;
    void* address = host::Reserve(physical, Length, &m);
    if (!address) return NDIS_STATUS_RESOURCES;
    m.owner = MiniportAdapterHandle;
    {
        std::unique_lock<host::internal::ReadMostlyMutex> lock(host::mu);
        host::mappings[reinterpret_cast<uintptr_t>(address)] = m;
    }
    char what[48];
    snprintf(what, sizeof what, "window at 0x%llx", static_cast<unsigned long long>(physical));
    host::LedgerAdd(host::Resource::IoSpace, address, Length, 0, MiniportAdapterHandle, what);
    *VirtualAddress = address;
    return NDIS_STATUS_SUCCESS;
}

void NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID VirtualAddress, UINT Length) {
    host::RequireIrql("NdisMUnmapIoSpace", PASSIVE_LEVEL, PASSIVE_LEVEL);
    host::Mapping m;
    {
        std::unique_lock<host::internal::ReadMostlyMutex> lock(host::mu);
        auto it = host::mappings.find(reinterpret_cast<uintptr_t>(VirtualAddress));
        if (it == host::mappings.end()) {
            Violation("NdisMUnmapIoSpace(%p): not an address NdisMMapIoSpace returned (or "
                      "unmapped already)",
                      VirtualAddress);
            return;
        }
        m = it->second;
        host::mappings.erase(it);
        host::Unmapped();
    }
    // The mapping goes anyway: the driver meant to release it.
    if (Length != m.length) {
        Violation("NdisMUnmapIoSpace(%p, %u): the window was mapped with length %u",
                  VirtualAddress, Length, m.length);
    }
    if (MiniportAdapterHandle != m.owner) {
        Violation("NdisMUnmapIoSpace(%p): mapped by miniport %p, unmapped by %p", VirtualAddress,
                  m.owner, MiniportAdapterHandle);
    }
    host::LedgerRemove(host::Resource::IoSpace, VirtualAddress);
    host::Unreserve(m);
}

void NdisReadRegisterUchar(const volatile UCHAR* Register, PUCHAR Data) {
    *Data = static_cast<UCHAR>(host::ReadRegister(Register, 1, "NdisReadRegisterUchar"));
}

void NdisWriteRegisterUchar(volatile UCHAR* Register, UCHAR Data) {
    host::WriteRegister(Register, 1, Data, "NdisWriteRegisterUchar");
}

void NdisReadRegisterUlong(const volatile ULONG* Register, PULONG Data) {
    *Data = host::ReadRegister(Register, 4, "NdisReadRegisterUlong");
}

void NdisWriteRegisterUlong(volatile ULONG* Register, ULONG Data) {
    host::WriteRegister(Register, 4, Data, "NdisWriteRegisterUlong");
}
