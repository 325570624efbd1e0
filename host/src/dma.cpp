// DMA for a bus master: map registers and shared memory.
//
// NDIS creates a bus master's DMA adapter when it allocates the map
// registers, and shared memory comes from that adapter: so allocating shared
// memory before the map registers is a violation, and so is freeing the map
// registers while shared memory is still allocated (the documentation is
// silent on the order; the stricter choice is taken).
//
// Shared memory is one physically contiguous, non-paged block below 4 GB
// for a 32-bit bus master: once a machine has run a while its memory is
// fragmented, and Windows finds a few megabytes of that in one piece, rarely
// more. A request beyond kMostSharedMemory (4 MB) fails as it would there,
// with a null address, however much the host itself could give.
//
// Shared memory is placed in a 32-bit bus address space from 0x10000000 up,
// page-aligned, with an unused page between blocks, so that a device running
// past the end of a block is caught instead of reaching the next one. Bus
// addresses of freed blocks are not handed out again until the space runs
// out, for the same reason. The memory is not zeroed (it comes filled with a
// pattern) and is poisoned when freed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_devices.h"

namespace host {
namespace {

constexpr uint64_t kBusBase = 0x10000000;
constexpr uint64_t kBusEnd = 0x100000000;  // a 32-bit space
constexpr uint64_t kPage = 4096;
constexpr ULONG kMostSharedMemory = 4u << 20;
constexpr uint8_t kFreshByte = 0x5A;
constexpr uint8_t kFreedByte = 0xDD;

struct Block {
    uint8_t* memory;
    ULONG length;
    BOOLEAN cached;
    NDIS_HANDLE owner;
};

// Shared by DMA transfers, which only look blocks up (a block is never freed
// while one copies from it); exclusive for allocation and release.
host::internal::ReadMostlyMutex mu;
std::map<uint64_t, Block> blocks;          // by bus address
std::map<const void*, uint64_t> busOf;     // virtual address -> bus address
std::map<NDIS_HANDLE, ULONG> mapRegisters;  // miniport -> map registers held
uint64_t nextBus = kBusBase;
// Moves on whenever a block goes; changed and read under mu.
uint64_t releases = 1;

// The blocks a thread's transfers reached last (a device goes back and
// forth between its descriptors and a frame's buffer), while no block has
// gone since.
struct LastBlocks {
    uint64_t releases = 0;
    const std::pair<const uint64_t, Block>* block[2] = {};
};
thread_local LastBlocks lastBlocks;

uint64_t RoundUp(uint64_t n) { return (n + kPage - 1) / kPage * kPage; }

void Release(std::map<uint64_t, Block>::iterator it) {
    memset(it->second.memory, kFreedByte, it->second.length);
    free(it->second.memory);
    busOf.erase(it->second.memory);
    blocks.erase(it);
    ++releases;
}

void Forget() {
    std::lock_guard<host::internal::ReadMostlyMutex> lock(mu);
    while (!blocks.empty()) Release(blocks.begin());
    mapRegisters.clear();
    nextBus = kBusBase;
}
const bool registered = (internal::RegisterResetHook(Forget), true);

// A free bus range for `length` bytes plus a guard page, or 0. Caller holds mu.
uint64_t PlaceBlock(ULONG length) {
    uint64_t span = RoundUp(length) + kPage;
    if (nextBus + span <= kBusEnd) {
        uint64_t bus = nextBus;
        nextBus += span;
        return bus;
    }
    // The space ran out: first fit among the gaps freed blocks left.
    uint64_t candidate = kBusBase;
    for (auto& b : blocks) {
        if (candidate + span <= b.first) return candidate;
        candidate = b.first + RoundUp(b.second.length) + kPage;
    }
    return candidate + span <= kBusEnd ? candidate : 0;
}

bool HeldByMiniport(NDIS_HANDLE miniport) {
    for (auto& b : blocks) {
        if (b.second.owner == miniport) return true;
    }
    return false;
}

// Checks a free against what was allocated; reports every difference.
void CheckFree(const Block& b, uint64_t bus, NDIS_HANDLE handle, ULONG length, BOOLEAN cached,
               NDIS_PHYSICAL_ADDRESS physical, const void* address) {
    if (length != b.length) {
        Violation("NdisMFreeSharedMemory(%p): length %u, but %u bytes were allocated", address,
                  length, b.length);
    }
    if (!cached != !b.cached) {
        Violation("NdisMFreeSharedMemory(%p): Cached %s, but it was allocated %s", address,
                  cached ? "TRUE" : "FALSE", b.cached ? "cached" : "not cached");
    }
    if (static_cast<uint64_t>(physical.QuadPart) != bus) {
        Violation("NdisMFreeSharedMemory(%p): physical address 0x%llx, but it was allocated at "
                  "0x%llx",
                  address, static_cast<unsigned long long>(physical.QuadPart),
                  static_cast<unsigned long long>(bus));
    }
    if (handle != b.owner) {
        Violation("NdisMFreeSharedMemory(%p): allocated by miniport %p, freed by %p", address,
                  b.owner, handle);
    }
}

}  // namespace

namespace internal {

bool CopySharedMemory(uint64_t busAddress, void* buffer, size_t length, bool toMemory) {
    std::shared_lock<host::internal::ReadMostlyMutex> lock(mu);
    auto holds = [&](const std::pair<const uint64_t, Block>& b) {
        return RangeHolds(b.first, b.second.length, busAddress, length);
    };
    LastBlocks& last = lastBlocks;
    if (last.releases != releases) last = {releases, {nullptr, nullptr}};
    const std::pair<const uint64_t, Block>* block = nullptr;
    for (auto* b : last.block) {
        if (b && holds(*b)) block = b;
    }
    if (!block) {
        auto it = blocks.upper_bound(busAddress);
        if (it == blocks.begin()) return false;
        --it;
        if (!holds(*it)) return false;
        block = &*it;
        last.block[1] = last.block[0];
        last.block[0] = block;
    }
    uint8_t* memory = block->second.memory + (busAddress - block->first);
    if (toMemory) memcpy(memory, buffer, length); else memcpy(buffer, memory, length);
    return true;
}

void ForgetMiniportDma(NDIS_HANDLE miniport) {
    std::lock_guard<host::internal::ReadMostlyMutex> lock(mu);
    for (auto it = blocks.begin(); it != blocks.end();) {
        auto next = std::next(it);
        if (it->second.owner == miniport) {
            LedgerRemove(Resource::SharedMemory, it->second.memory);
            Release(it);
        }
        it = next;
    }
    if (mapRegisters.erase(miniport)) LedgerRemove(Resource::MapRegisters, miniport);
}

}  // namespace internal
}  // namespace host

using host::Violation;

NDIS_STATUS NdisMAllocateMapRegisters(NDIS_HANDLE MiniportAdapterHandle, UINT DmaChannel,
                                      BOOLEAN Dma32BitAddresses, ULONG PhysicalMapRegistersNeeded,
                                      ULONG MaximumPhysicalMapping) {
    host::RequireIrql("NdisMAllocateMapRegisters", PASSIVE_LEVEL, PASSIVE_LEVEL);
    if (!MiniportAdapterHandle || PhysicalMapRegistersNeeded == 0 || MaximumPhysicalMapping == 0) {
        Violation("NdisMAllocateMapRegisters(%p, channel %u, %u map registers, maximum mapping "
                  "%u): needs an adapter handle, map registers and a mapping size",
                  MiniportAdapterHandle, DmaChannel, PhysicalMapRegistersNeeded,
                  MaximumPhysicalMapping);
        return NDIS_STATUS_FAILURE;
    }
    {
        std::lock_guard<host::internal::ReadMostlyMutex> lock(host::mu);
        if (host::mapRegisters.count(MiniportAdapterHandle)) {
            Violation("NdisMAllocateMapRegisters(%p): the miniport holds map registers already",
                      MiniportAdapterHandle);
            return NDIS_STATUS_FAILURE;
        }
    }
    if (host::ShouldFail(host::Resource::MapRegisters)) return NDIS_STATUS_RESOURCES;
    {
        std::lock_guard<host::internal::ReadMostlyMutex> lock(host::mu);
        host::mapRegisters[MiniportAdapterHandle] = PhysicalMapRegistersNeeded;
    }
    char what[64];
    snprintf(what, sizeof what, "x%u, channel %u, %s addresses", PhysicalMapRegistersNeeded,
             DmaChannel, Dma32BitAddresses ? "32-bit" : "24-bit");
    host::LedgerAdd(host::Resource::MapRegisters, MiniportAdapterHandle, 0, 0,
                    MiniportAdapterHandle, what);
    return NDIS_STATUS_SUCCESS;
}

void NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle) {
    host::RequireIrql("NdisMFreeMapRegisters", PASSIVE_LEVEL, PASSIVE_LEVEL);
    std::lock_guard<host::internal::ReadMostlyMutex> lock(host::mu);
    if (!host::mapRegisters.erase(MiniportAdapterHandle)) {
        Violation("NdisMFreeMapRegisters(%p): the miniport holds no map registers (freed twice?)",
                  MiniportAdapterHandle);
        return;
    }
    if (host::HeldByMiniport(MiniportAdapterHandle)) {
        Violation("NdisMFreeMapRegisters(%p): shared memory is still allocated; free it before "
                  "the map registers",
                  MiniportAdapterHandle);
    }
    host::LedgerRemove(host::Resource::MapRegisters, MiniportAdapterHandle);
}

void NdisMAllocateSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                               PVOID* VirtualAddress, PNDIS_PHYSICAL_ADDRESS PhysicalAddress) {
    host::RequireIrql("NdisMAllocateSharedMemory", PASSIVE_LEVEL, PASSIVE_LEVEL);
    if (!VirtualAddress || !PhysicalAddress || Length == 0) {
        Violation("NdisMAllocateSharedMemory(%p, %u): needs a length and both addresses to fill",
                  MiniportAdapterHandle, Length);
        if (VirtualAddress) *VirtualAddress = nullptr;
        return;
    }
    *VirtualAddress = nullptr;
    PhysicalAddress->QuadPart = 0;
    std::unique_lock<host::internal::ReadMostlyMutex> lock(host::mu);
    if (!host::mapRegisters.count(MiniportAdapterHandle)) {
        lock.unlock();
        Violation("NdisMAllocateSharedMemory(%p): a bus master must allocate its map registers "
                  "before shared memory",
                  MiniportAdapterHandle);
        return;
    }
    lock.unlock();
    if (host::ShouldFail(host::Resource::SharedMemory)) return;
    if (Length > host::kMostSharedMemory) return;  // no contiguous block that large
    lock.lock();
    uint64_t bus = host::PlaceBlock(Length);
    auto* memory = bus ? static_cast<uint8_t*>(aligned_alloc(host::kPage, host::RoundUp(Length)))
                       : nullptr;
    if (!memory) return;
    memset(memory, host::kFreshByte, Length);
    host::blocks[bus] = host::Block{memory, Length, Cached, MiniportAdapterHandle};
    host::busOf[memory] = bus;
    lock.unlock();
    char what[32];
    snprintf(what, sizeof what, "at bus 0x%08llx", static_cast<unsigned long long>(bus));
    host::LedgerAdd(host::Resource::SharedMemory, memory, Length, 0, MiniportAdapterHandle, what);
    *VirtualAddress = memory;
    PhysicalAddress->QuadPart = static_cast<LONGLONG>(bus);
}

void NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                           PVOID VirtualAddress, NDIS_PHYSICAL_ADDRESS PhysicalAddress) {
    host::RequireIrql("NdisMFreeSharedMemory", PASSIVE_LEVEL, PASSIVE_LEVEL);
    std::unique_lock<host::internal::ReadMostlyMutex> lock(host::mu);
    auto found = host::busOf.find(VirtualAddress);
    if (found == host::busOf.end()) {
        lock.unlock();
        Violation("NdisMFreeSharedMemory(%p): not shared memory from NdisMAllocateSharedMemory "
                  "(freed twice?)",
                  VirtualAddress);
        return;
    }
    auto block = host::blocks.find(found->second);
    host::Block b = block->second;
    uint64_t bus = block->first;
    // The block goes anyway: the driver meant to free it, and a second report
    // of it as a leak at halt would only repeat this one.
    host::Release(block);
    lock.unlock();
    host::LedgerRemove(host::Resource::SharedMemory, VirtualAddress);
    host::CheckFree(b, bus, MiniportAdapterHandle, Length, Cached, PhysicalAddress,
                    VirtualAddress);
}
