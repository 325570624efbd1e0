// Packets, buffers and their pools, as NDIS 5 makes them, and the protocols'
// own packets and buffers, registered beside them.
//
// A packet pool has a fixed number of descriptors. Each packet is a slot of
// one of the pool's slabs (internal_packets.h): the NDIS_PACKET, then the
// pool's protocol-reserved bytes after ProtocolReserved, then the out-of-band
// block that Private.NdisPacketOobOffset points at, then guard bytes. NDIS promises nothing about the reserved areas of a fresh packet,
// so they are filled with a pattern; the out-of-band block is zeroed. A freed
// packet or buffer is poisoned, and its block is reused oldest-first, so that
// a stale pointer is caught as a double free or reads garbage for as long as
// possible.
//
// The packets a protocol sends (send_records.cpp) are made here too
// (NewProtocolPacket), in the same registry: the driver may read them with
// the same calls but never free them or chain into them. What a driver reads
// and changes of a packet or buffer is in packet_contents.cpp.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_miniport.h"
#include "internal_packets.h"

using host::Resource;
using host::Violation;
using host::internal::BufferPool;
using host::internal::Descriptor;
using host::internal::LiveBuffer;
using host::internal::LivePoolPacket;
using host::internal::PacketPool;
using host::internal::PacketRegistry;
using host::internal::Packets;
using host::internal::ReadMostlyMutex;
using host::internal::Slab;
using host::internal::Slabs;

namespace {

constexpr uint8_t kFreshByte = 0xA5;  // reserved areas of a packet just allocated
constexpr uint8_t kFreedByte = 0xDD;  // a freed packet or buffer
constexpr UINT kProtocolReservedLength = 16;  // what the host's protocol asks for

// What differs between the two kinds of pool, chosen by the pool's type.
auto& PoolsOf(PacketRegistry& r, PacketPool*) { return r.packetPools; }
auto& PoolsOf(PacketRegistry& r, BufferPool*) { return r.bufferPools; }
auto& SlabsOf(PacketRegistry& r, PacketPool*) { return r.packets; }
auto& SlabsOf(PacketRegistry& r, BufferPool*) { return r.buffers; }
size_t BlockSizeOf(const PacketPool* pool) { return pool->blockSize; }
size_t BlockSizeOf(const BufferPool*) { return sizeof(NDIS_BUFFER); }

size_t AlignUp(size_t n, size_t a) { return (n + a - 1) / a * a; }

// Slots of a slab: each block, then guard bytes (which AddressSanitizer is
// told are out of bounds, as a heap block's end is) up to the next slot.
// A slot not handed out yet, or a protocol's deleted one, is out of bounds
// whole.
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kGuardByte = 0xC9;
constexpr size_t kFirstSlabSlots = 16;     // a pool's first; each next as many as made so far
constexpr size_t kProtocolSlabSlots = 256;  // the protocols' each

// A slab of `count` slots of `blockSize` bytes each for `pool` (null: the
// protocols'), entered in the registry; null when there is no memory. Caller
// holds the registry exclusively.
template <typename Pool>
Slab<Pool>* NewSlab(Slabs<Pool>& slabs, Pool* pool, size_t blockSize, size_t count) {
    unsigned shift = 4;
    while ((size_t{1} << shift) < blockSize + kGuardBytes) ++shift;
    size_t stride = size_t{1} << shift;
    if (count == 0 || count > SIZE_MAX / stride) return nullptr;
    auto slab = std::make_unique<Slab<Pool>>();
    slab->slots.reset(new (std::nothrow) Descriptor<Pool>[count]());
    slab->memory = malloc(stride * count);
    if (!slab->slots || !slab->memory) {
        free(slab->memory);
        return nullptr;
    }
    memset(slab->memory, kGuardByte, stride * count);
    ASAN_POISON_MEMORY_REGION(slab->memory, stride * count);
    slab->begin = reinterpret_cast<uintptr_t>(slab->memory);
    slab->end = slab->begin + stride * count;
    slab->shift = shift;
    slab->blockSize = blockSize;
    slab->pool = pool;
    auto at = std::upper_bound(slabs.byAddress.begin(), slabs.byAddress.end(), slab->begin,
                               [](uintptr_t a, const Slab<Pool>* s) { return a < s->begin; });
    return *slabs.byAddress.insert(at, slab.release());
}

// Frees the slabs that belong to `pool` (every slab when `all`). Caller
// holds the registry exclusively.
template <typename Pool>
void DeleteSlabs(Slabs<Pool>& slabs, const Pool* pool, bool all) {
    auto gone = std::stable_partition(slabs.byAddress.begin(), slabs.byAddress.end(),
                                      [&](const Slab<Pool>* s) { return !all && s->pool != pool; });
    if (gone == slabs.byAddress.end()) return;
    for (auto it = gone; it != slabs.byAddress.end(); ++it) {
        for (size_t i = 0; i < (*it)->Count(); ++i) {
            if ((*it)->slots[i].registered) --slabs.registered;
        }
        ASAN_UNPOISON_MEMORY_REGION((*it)->memory, (*it)->end - (*it)->begin);
        free((*it)->memory);
        delete *it;
    }
    slabs.byAddress.erase(gone, slabs.byAddress.end());
    ++slabs.generation;  // no thread may trust a slab it found before
}

// Registers slot `i` of `slab`, whose block its caller is about to set up.
template <typename Pool>
typename Pool::Block MakeSlot(Slabs<Pool>& slabs, Slab<Pool>* slab, size_t i, bool allocated,
                              UINT mappedLength) {
    slab->slots[i] = {slab->pool, allocated, mappedLength, true};
    ++slabs.registered;
    auto block = slab->At(i);
    ASAN_UNPOISON_MEMORY_REGION(block, slab->blockSize);
    return block;
}

// Forgets every pool and every protocol's packet and buffer.
void Forget() {
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
    DeleteSlabs<PacketPool>(r.packets, nullptr, true);
    DeleteSlabs<BufferPool>(r.buffers, nullptr, true);
    r.packetPools.clear();
    r.bufferPools.clear();
    r.freedPools.clear();
    r.freeProtocolPackets.clear();
    r.freeProtocolBuffers.clear();
}
const bool registered = (host::internal::RegisterResetHook(Forget), true);

// Sets up a packet block as NdisAllocatePacket hands it out.
void PreparePacket(PNDIS_PACKET p, size_t blockSize, USHORT oobOffset, NDIS_HANDLE pool) {
    memset(static_cast<void*>(p), kFreshByte, blockSize);
    p->Private = NDIS_PACKET_PRIVATE{};
    p->Private.Pool = pool;
    p->Private.NdisPacketOobOffset = oobOffset;
    memset(NDIS_PACKET_OOB(p), 0, sizeof(NDIS_PACKET_OOB_DATA));
}

// Layout of a packet with `reservedLength` protocol-reserved bytes; false
// when its out-of-band offset would not fit the 16-bit field.
bool PacketLayout(UINT reservedLength, USHORT* oobOffset, size_t* blockSize) {
    size_t reservedEnd = offsetof(NDIS_PACKET, ProtocolReserved) +
                         (reservedLength ? reservedLength : 1);
    size_t oob = AlignUp(reservedEnd, alignof(NDIS_PACKET_OOB_DATA));
    if (oob > 0xFFFF) return false;
    *oobOffset = static_cast<USHORT>(oob);
    *blockSize = oob + sizeof(NDIS_PACKET_OOB_DATA);
    return true;
}


// Records a new pool of `descriptors` blocks and hands out its handle.
template <typename Pool>
void RegisterPool(std::unique_ptr<Pool> pool, Resource kind, UINT descriptors,
                  PNDIS_HANDLE poolHandle, PNDIS_STATUS status) {
    pool->capacity = descriptors;
    Pool* handle = pool.get();
    {
        PacketRegistry& r = Packets();
        std::lock_guard<ReadMostlyMutex> lock(r.mu);
        r.freedPools.erase(handle);
        PoolsOf(r, handle).emplace(handle, std::move(pool));
    }
    host::LedgerAdd(kind, handle, 0, 0, nullptr,
                    "of " + std::to_string(descriptors) + " descriptors");
    *poolHandle = handle;
    *status = NDIS_STATUS_SUCCESS;
}

// Frees a pool and its blocks, once every block is back. `noun` names the
// pool's blocks in a violation.
template <typename Pool>
void UnregisterPool(NDIS_HANDLE handle, Resource kind, const char* function, const char* noun) {
    PacketRegistry& r = Packets();
    std::unique_ptr<Pool> pool;
    {
        std::lock_guard<ReadMostlyMutex> lock(r.mu);
        auto& pools = PoolsOf(r, static_cast<Pool*>(nullptr));
        auto it = pools.find(handle);
        if (it == pools.end()) {
            if (r.freedPools.count(handle)) {
                Violation("%s(%p): freed twice", function, handle);
            } else {
                Violation("%s(%p): not a %s pool", function, handle, noun);
            }
            return;
        }
        if (it->second->inUse) {
            // The pool stays, so that the blocks still out stay valid.
            Violation("%s(%p): %u %s(s) of the pool are still allocated", function, handle,
                      it->second->inUse, noun);
            return;
        }
        pool = std::move(it->second);
        pools.erase(it);
        r.freedPools.insert(handle);
        DeleteSlabs(SlabsOf(r, pool.get()), pool.get(), false);
    }
    host::LedgerRemove(kind, handle);
}

// The next block of a pool: the oldest freed one, or a new one while the
// pool is below its capacity. Null when the pool is exhausted.
template <typename Pool>
typename Pool::Block TakeBlock(PacketRegistry& r, Pool* pool) {
    if (!pool->free.empty()) {
        auto b = pool->free.front();
        pool->free.pop_front();
        return b;
    }
    if (pool->made >= pool->capacity) return nullptr;
    Slab<Pool>* slab = pool->growing;
    if (!slab || slab->made == slab->Count()) {
        size_t count = std::min<size_t>(pool->capacity - pool->made,
                                        std::max(kFirstSlabSlots, pool->made));
        slab = NewSlab(SlabsOf(r, pool), pool, BlockSizeOf(pool), count);
        if (!slab) return nullptr;
        pool->growing = slab;
    }
    ++pool->made;
    return MakeSlot(SlabsOf(r, pool), slab, slab->made++, false, 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Packet pools and packets
// ---------------------------------------------------------------------------
void NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors,
                            UINT ProtocolReservedLength) {
    host::RequireIrql("NdisAllocatePacketPool", PASSIVE_LEVEL, DISPATCH_LEVEL);
    *PoolHandle = nullptr;
    auto pool = std::make_unique<PacketPool>();
    if (!PacketLayout(ProtocolReservedLength, &pool->oobOffset, &pool->blockSize)) {
        Violation("NdisAllocatePacketPool: %u protocol-reserved bytes is more than a packet holds",
                  ProtocolReservedLength);
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    if (host::ShouldFail(Resource::PacketPool)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    pool->reservedLength = ProtocolReservedLength;
    RegisterPool(std::move(pool), Resource::PacketPool, NumberOfDescriptors, PoolHandle, Status);
}

void NdisFreePacketPool(NDIS_HANDLE PoolHandle) {
    host::RequireIrql("NdisFreePacketPool", PASSIVE_LEVEL, DISPATCH_LEVEL);
    UnregisterPool<PacketPool>(PoolHandle, Resource::PacketPool, "NdisFreePacketPool", "packet");
}

void NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet, NDIS_HANDLE PoolHandle) {
    host::RequireIrql("NdisAllocatePacket", PASSIVE_LEVEL, DISPATCH_LEVEL);
    *Packet = nullptr;
    *Status = NDIS_STATUS_RESOURCES;
    PacketRegistry& r = Packets();
    PNDIS_PACKET p;
    {
        std::lock_guard<ReadMostlyMutex> lock(r.mu);
        auto it = r.packetPools.find(PoolHandle);
        if (it == r.packetPools.end()) {
            Violation("NdisAllocatePacket: %p is not a packet pool", PoolHandle);
            return;
        }
        if (host::ShouldFail(Resource::Packet)) return;
        PacketPool* pool = it->second.get();
        p = TakeBlock(r, pool);
        if (!p) return;  // every descriptor is out
        host::internal::FindSlot(r.packets, p)->allocated = true;
        ++pool->inUse;
        PreparePacket(p, pool->blockSize, pool->oobOffset, PoolHandle);
    }
    host::LedgerAdd(Resource::Packet, p, 0, 0, nullptr, "");
    *Packet = p;
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisFreePacket(PNDIS_PACKET Packet) {
    host::RequireIrql("NdisFreePacket", PASSIVE_LEVEL, DISPATCH_LEVEL);
    if (host::internal::PacketLentToProtocol(Packet)) {
        Violation("NdisFreePacket(%p): the packet was indicated and has not been returned",
                  static_cast<void*>(Packet));
        return;
    }
    PacketRegistry& r = Packets();
    {
        std::lock_guard<ReadMostlyMutex> lock(r.mu);
        Descriptor<PacketPool>* d = host::internal::FindSlot(r.packets, Packet);
        if (d && d->pool && !d->allocated) {
            Violation("NdisFreePacket(%p): freed twice", static_cast<void*>(Packet));
            return;
        }
        PacketPool* pool = LivePoolPacket(r, Packet, "NdisFreePacket");
        if (!pool) return;
        d->allocated = false;
        --pool->inUse;
        memset(static_cast<void*>(Packet), kFreedByte, pool->blockSize);
        pool->free.push_back(Packet);
    }
    host::LedgerRemove(Resource::Packet, Packet);
}

// ---------------------------------------------------------------------------
// Buffer pools and buffers
// ---------------------------------------------------------------------------
void NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                            UINT NumberOfDescriptors) {
    host::RequireIrql("NdisAllocateBufferPool", PASSIVE_LEVEL, DISPATCH_LEVEL);
    *PoolHandle = nullptr;
    if (host::ShouldFail(Resource::BufferPool)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    RegisterPool(std::make_unique<BufferPool>(), Resource::BufferPool, NumberOfDescriptors,
                 PoolHandle, Status);
}

void NdisFreeBufferPool(NDIS_HANDLE PoolHandle) {
    host::RequireIrql("NdisFreeBufferPool", PASSIVE_LEVEL, DISPATCH_LEVEL);
    UnregisterPool<BufferPool>(PoolHandle, Resource::BufferPool, "NdisFreeBufferPool", "buffer");
}

void NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer, NDIS_HANDLE PoolHandle,
                        PVOID VirtualAddress, UINT Length) {
    host::RequireIrql("NdisAllocateBuffer", PASSIVE_LEVEL, DISPATCH_LEVEL);
    *Buffer = nullptr;
    *Status = NDIS_STATUS_FAILURE;
    if (!VirtualAddress && Length) {
        Violation("NdisAllocateBuffer: no address for %u bytes", Length);
        return;
    }
    PacketRegistry& r = Packets();
    PNDIS_BUFFER b;
    {
        std::lock_guard<ReadMostlyMutex> lock(r.mu);
        auto it = r.bufferPools.find(PoolHandle);
        if (it == r.bufferPools.end()) {
            Violation("NdisAllocateBuffer: %p is not a buffer pool", PoolHandle);
            return;
        }
        *Status = NDIS_STATUS_RESOURCES;
        if (host::ShouldFail(Resource::Buffer)) return;
        b = TakeBlock(r, it->second.get());
        if (!b) return;
        Descriptor<BufferPool>* d = host::internal::FindSlot(r.buffers, b);
        d->allocated = true;
        d->mappedLength = Length;
        ++it->second->inUse;
        // The driver's memory is non-paged and mapped: the buffer says so.
        host::internal::DescribeMemory(b, VirtualAddress, Length, MDL_SOURCE_IS_NONPAGED_POOL);
    }
    host::LedgerAdd(Resource::Buffer, b, 0, 0, nullptr, "");
    *Buffer = b;
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisFreeBuffer(PNDIS_BUFFER Buffer) {
    host::RequireIrql("NdisFreeBuffer", PASSIVE_LEVEL, DISPATCH_LEVEL);
    PacketRegistry& r = Packets();
    {
        std::lock_guard<ReadMostlyMutex> lock(r.mu);
        Descriptor<BufferPool>* d = host::internal::FindSlot(r.buffers, Buffer);
        if (d && d->pool && !d->allocated) {
            Violation("NdisFreeBuffer(%p): freed twice", static_cast<void*>(Buffer));
            return;
        }
        if (!LiveBuffer(r, Buffer, "NdisFreeBuffer", false)) return;
        BufferPool* pool = d->pool;
        d->allocated = false;
        --pool->inUse;
        memset(static_cast<void*>(Buffer), kFreedByte, sizeof *Buffer);
        pool->free.push_back(Buffer);
    }
    host::LedgerRemove(Resource::Buffer, Buffer);
}

// ---------------------------------------------------------------------------
// The protocols' packets and buffers
// ---------------------------------------------------------------------------
namespace host {
namespace internal {

// A free slot of the protocols' slabs for a packet or buffer of
// `blockSize` bytes, registered live; caller holds the registry exclusively.
template <typename Pool>
typename Pool::Block NewProtocolSlot(Slabs<Pool>& slabs, std::vector<typename Pool::Block>& free,
                                     size_t blockSize, UINT mappedLength) {
    if (free.empty()) {
        Slab<Pool>* slab = NewSlab<Pool>(slabs, nullptr, blockSize, kProtocolSlabSlots);
        if (!slab) FatalViolation("out of memory for a protocol's packets and buffers");
        for (size_t i = slab->Count(); i-- > 0;) free.push_back(slab->At(i));
        slab->made = slab->Count();
    }
    auto block = free.back();
    free.pop_back();
    Slab<Pool>* slab = SlabHolding(slabs, block);
    return MakeSlot(slabs, slab, (reinterpret_cast<uintptr_t>(block) - slab->begin) >> slab->shift,
                    true, mappedLength);
}

// Gives a protocol's packet or buffer slot back: the address names nothing
// until the slot is taken again.
template <typename Pool>
void DeleteProtocolSlot(Slabs<Pool>& slabs, std::vector<typename Pool::Block>& free,
                        typename Pool::Block block, size_t blockSize) {
    Descriptor<Pool>* d = FindSlot(slabs, block);
    if (!d || d->pool) return;
    *d = Descriptor<Pool>{};
    --slabs.registered;
    memset(static_cast<void*>(block), kFreedByte, blockSize);
    ASAN_POISON_MEMORY_REGION(block, blockSize);
    free.push_back(block);
}

size_t ProtocolPacketSize() {
    USHORT oobOffset;
    size_t blockSize;
    PacketLayout(kProtocolReservedLength, &oobOffset, &blockSize);
    return blockSize;
}

PNDIS_PACKET NewProtocolPacket() {
    USHORT oobOffset;
    size_t blockSize;
    PacketLayout(kProtocolReservedLength, &oobOffset, &blockSize);
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
    PNDIS_PACKET p = NewProtocolSlot(r.packets, r.freeProtocolPackets, blockSize, 0);
    PreparePacket(p, blockSize, oobOffset, nullptr);
    return p;
}

void DeleteProtocolPacket(PNDIS_PACKET packet) {
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
    DeleteProtocolSlot(r.packets, r.freeProtocolPackets, packet, ProtocolPacketSize());
}

PNDIS_BUFFER NewProtocolBuffer(void* address, UINT length) {
    // A protocol's memory may lie anywhere: its pages are locked for the
    // send, and mapped into system space only when the driver asks.
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
    PNDIS_BUFFER b = NewProtocolSlot(r.buffers, r.freeProtocolBuffers, sizeof(NDIS_BUFFER), length);
    DescribeMemory(b, address, length, MDL_PAGES_LOCKED);
    return b;
}

void RedescribeProtocolBuffer(PNDIS_BUFFER buffer, void* address, UINT length) {
    DescribeMemory(buffer, address, length, MDL_PAGES_LOCKED);
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);  // the entry stays; only its length changes
    Descriptor<BufferPool>* d = FindSlot(r.buffers, buffer);
    if (d) __atomic_store_n(&d->mappedLength, length, __ATOMIC_RELAXED);
}

void DeleteProtocolBuffer(PNDIS_BUFFER buffer) {
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
    DeleteProtocolSlot(r.buffers, r.freeProtocolBuffers, buffer, sizeof(NDIS_BUFFER));
}

// A protocol's packet and buffers stay registered while the protocol keeps
// them for a later send (send_records.cpp); meanwhile they count as freed,
// so that a driver still using them is told, as it would be of a packet that
// no longer exists. Only the flags change, under the shared lock: no send
// waits for another.
void SetProtocolPacketLive(PNDIS_PACKET packet, const std::vector<PNDIS_BUFFER>& buffers,
                           bool live) {
    if (live) {
        USHORT oobOffset;
        size_t blockSize;
        PacketLayout(kProtocolReservedLength, &oobOffset, &blockSize);
        PreparePacket(packet, blockSize, oobOffset, nullptr);
    }
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);
    if (Descriptor<PacketPool>* d = FindSlot(r.packets, packet)) SetAllocated(*d, live);
    for (PNDIS_BUFFER b : buffers) {
        if (Descriptor<BufferPool>* d = FindSlot(r.buffers, b)) SetAllocated(*d, live);
    }
}

bool IsPoolPacket(PNDIS_PACKET packet) {
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);
    const Descriptor<PacketPool>* d = FindSlot(r.packets, packet);
    return d && d->pool && Allocated(*d);
}

}  // namespace internal
}  // namespace host
