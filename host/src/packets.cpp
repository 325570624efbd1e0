// Packets, buffers and their pools, as NDIS 5 makes them, and the protocols'
// own packets and buffers, registered beside them.
//
// A packet pool has a fixed number of descriptors. Each packet is a block of
// its own: the NDIS_PACKET, then the pool's protocol-reserved bytes after
// ProtocolReserved, then the out-of-band block that Private.NdisPacketOobOffset
// points at. NDIS promises nothing about the reserved areas of a fresh packet,
// so they are filled with a pattern; the out-of-band block is zeroed. A freed
// packet or buffer is poisoned, and its block is reused oldest-first, so that
// a stale pointer is caught as a double free or reads garbage for as long as
// possible.
//
// The packets a protocol sends (send_records.cpp) are made here too
// (NewProtocolPacket), in the same registry: the driver may read them with
// the same calls but never free them or chain into them. What a driver reads
// and changes of a packet or buffer is in packet_contents.cpp.
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
using host::internal::LiveBuffer;
using host::internal::LivePoolPacket;
using host::internal::PacketPool;
using host::internal::PacketRegistry;
using host::internal::Packets;
using host::internal::ReadMostlyMutex;

namespace {

constexpr uint8_t kFreshByte = 0xA5;  // reserved areas of a packet just allocated
constexpr uint8_t kFreedByte = 0xDD;  // a freed packet or buffer
constexpr UINT kProtocolReservedLength = 16;  // what the host's protocol asks for

// What differs between the two kinds of pool, chosen by the pool's type.
auto& PoolsOf(PacketRegistry& r, PacketPool*) { return r.packetPools; }
auto& PoolsOf(PacketRegistry& r, BufferPool*) { return r.bufferPools; }
auto& BlocksOf(PacketRegistry& r, PacketPool*) { return r.packets; }
auto& BlocksOf(PacketRegistry& r, BufferPool*) { return r.buffers; }

PNDIS_PACKET NewPacketBlock(size_t blockSize) {
    void* memory = malloc(blockSize);
    if (!memory) return nullptr;
    return new (memory) NDIS_PACKET;
}

PNDIS_PACKET NewBlock(PacketPool* pool) { return NewPacketBlock(pool->blockSize); }
PNDIS_BUFFER NewBlock(BufferPool*) { return new NDIS_BUFFER(); }
void DeleteBlock(PNDIS_PACKET packet) { free(packet); }
void DeleteBlock(PNDIS_BUFFER buffer) { delete buffer; }

// Forgets every pool. The protocol's packets belong to the upper edge, which
// frees them itself; only their entries go here.
void Forget() {
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
    for (auto& pool : r.packetPools) {
        for (auto* p : pool.second->blocks) DeleteBlock(p);
    }
    for (auto& pool : r.bufferPools) {
        for (auto* b : pool.second->blocks) DeleteBlock(b);
    }
    r.packetPools.clear();
    r.bufferPools.clear();
    r.freedPools.clear();
    r.packets.clear();
    r.buffers.clear();
}
const bool registered = (host::internal::RegisterResetHook(Forget), true);

size_t AlignUp(size_t n, size_t a) { return (n + a - 1) / a * a; }

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
        for (auto* b : pool->blocks) BlocksOf(r, pool.get()).erase(b);
    }
    for (auto* b : pool->blocks) DeleteBlock(b);
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
    if (pool->blocks.size() >= pool->capacity) return nullptr;
    auto b = NewBlock(pool);
    if (!b) return nullptr;
    pool->blocks.push_back(b);
    BlocksOf(r, pool)[b] = {pool, false};
    return b;
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
        r.packets[p].allocated = true;
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
        auto it = r.packets.find(Packet);
        if (it != r.packets.end() && it->second.pool && !it->second.allocated) {
            Violation("NdisFreePacket(%p): freed twice", static_cast<void*>(Packet));
            return;
        }
        PacketPool* pool = LivePoolPacket(r, Packet, "NdisFreePacket");
        if (!pool) return;
        it->second.allocated = false;
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
        r.buffers[b].allocated = true;
        r.buffers[b].mappedLength = Length;
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
        auto it = r.buffers.find(Buffer);
        if (it != r.buffers.end() && it->second.pool && !it->second.allocated) {
            Violation("NdisFreeBuffer(%p): freed twice", static_cast<void*>(Buffer));
            return;
        }
        if (!LiveBuffer(r, Buffer, "NdisFreeBuffer", false)) return;
        BufferPool* pool = it->second.pool;
        it->second.allocated = false;
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

PNDIS_PACKET NewProtocolPacket() {
    USHORT oobOffset;
    size_t blockSize;
    PacketLayout(kProtocolReservedLength, &oobOffset, &blockSize);
    PNDIS_PACKET p = NewPacketBlock(blockSize);
    if (!p) FatalViolation("out of memory for a protocol packet");
    PreparePacket(p, blockSize, oobOffset, nullptr);
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
    r.packets[p] = {nullptr, true, 0};
    return p;
}

void DeleteProtocolPacket(PNDIS_PACKET packet) {
    {
        PacketRegistry& r = Packets();
        std::lock_guard<ReadMostlyMutex> lock(r.mu);
        r.packets.erase(packet);
    }
    DeleteBlock(packet);
}

PNDIS_BUFFER NewProtocolBuffer(void* address, UINT length) {
    // A protocol's memory may lie anywhere: its pages are locked for the
    // send, and mapped into system space only when the driver asks.
    auto* b = new NDIS_BUFFER;
    DescribeMemory(b, address, length, MDL_PAGES_LOCKED);
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
    r.buffers[b] = {nullptr, true, length};
    return b;
}

void RedescribeProtocolBuffer(PNDIS_BUFFER buffer, void* address, UINT length) {
    DescribeMemory(buffer, address, length, MDL_PAGES_LOCKED);
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);  // the entry stays; only its length changes
    auto it = r.buffers.find(buffer);
    if (it != r.buffers.end()) __atomic_store_n(&it->second.mappedLength, length, __ATOMIC_RELAXED);
}

void DeleteProtocolBuffer(PNDIS_BUFFER buffer) {
    {
        PacketRegistry& r = Packets();
        std::lock_guard<ReadMostlyMutex> lock(r.mu);
        r.buffers.erase(buffer);
    }
    delete buffer;
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
    auto p = r.packets.find(packet);
    if (p != r.packets.end()) SetAllocated(p->second, live);
    for (PNDIS_BUFFER b : buffers) {
        auto it = r.buffers.find(b);
        if (it != r.buffers.end()) SetAllocated(it->second, live);
    }
}

bool IsPoolPacket(PNDIS_PACKET packet) {
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);
    auto it = r.packets.find(packet);
    return it != r.packets.end() && it->second.pool && Allocated(it->second);
}

}  // namespace internal
}  // namespace host
