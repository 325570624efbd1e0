// Packets, buffers and their pools, as NDIS 5 makes them.
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
// The upper edge makes the packets a protocol sends through the same
// registry (NewProtocolPacket): the driver may read them with the same calls
// but never free them or chain into them.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <shared_mutex>
#include <unordered_map>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_miniport.h"

using host::Resource;
using host::Violation;

namespace {

constexpr uint8_t kFreshByte = 0xA5;  // reserved areas of a packet just allocated
constexpr uint8_t kFreedByte = 0xDD;  // a freed packet or buffer
constexpr UINT kProtocolReservedLength = 16;  // what the host's protocol asks for
constexpr size_t kPageSize = 4096;

// A pool of `capacity` blocks. Blocks are made as they are first needed and
// kept until the pool goes; a freed one goes back on `free`.
template <typename B>
struct BlockPool {
    using Block = B;
    UINT capacity = 0;
    UINT inUse = 0;
    std::vector<B> blocks;  // every block made so far
    std::deque<B> free;     // freed blocks, oldest first
};

struct PacketPool : BlockPool<PNDIS_PACKET> {
    UINT reservedLength;
    USHORT oobOffset;
    size_t blockSize;
};

struct BufferPool : BlockPool<PNDIS_BUFFER> {};

// What the host knows of a packet or buffer address. `pool` is null for the
// protocol's own.
template <typename Pool>
struct Descriptor {
    Pool* pool;
    // Read under the shared lock: a protocol's packet or buffer changes it
    // under the shared lock too (see SetProtocolPacketLive), so it is read and
    // written atomically (through Allocated and SetAllocated).
    bool allocated;
};

template <typename Pool>
bool Allocated(const Descriptor<Pool>& d) {
    return __atomic_load_n(&d.allocated, __ATOMIC_ACQUIRE);
}

template <typename Pool>
void SetAllocated(Descriptor<Pool>& d, bool allocated) {
    __atomic_store_n(&d.allocated, allocated, __ATOMIC_RELEASE);
}

struct Registry {
    // Exclusive for changes to the maps and pools; shared for the lookups the
    // data path makes for every frame. A lookup that writes into a packet or
    // buffer writes only what its caller owns at the time (its own packet's
    // counts, the length of its own buffer), as the NDIS macros do.
    host::internal::ReadMostlyMutex mu;
    std::unordered_map<const void*, std::unique_ptr<PacketPool>> packetPools;
    std::unordered_map<const void*, std::unique_ptr<BufferPool>> bufferPools;
    std::set<const void*> freedPools;  // handles freed, to tell a double free
    std::unordered_map<PNDIS_PACKET, Descriptor<PacketPool>> packets;
    std::unordered_map<PNDIS_BUFFER, Descriptor<BufferPool>> buffers;
};

Registry& R() {
    static Registry* registry = new Registry();
    return *registry;
}

// What differs between the two kinds of pool, chosen by the pool's type.
auto& PoolsOf(Registry& r, PacketPool*) { return r.packetPools; }
auto& PoolsOf(Registry& r, BufferPool*) { return r.bufferPools; }
auto& BlocksOf(Registry& r, PacketPool*) { return r.packets; }
auto& BlocksOf(Registry& r, BufferPool*) { return r.buffers; }

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
    Registry& r = R();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
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

// The packet's descriptor, with a violation naming `function` when it is
// not a live packet from a pool (the protocol's are refused too).
PacketPool* LivePoolPacket(Registry& r, PNDIS_PACKET packet, const char* function) {
    auto it = r.packets.find(packet);
    if (it == r.packets.end()) {
        Violation("%s(%p): not a packet from NdisAllocatePacket", function,
                  static_cast<void*>(packet));
        return nullptr;
    }
    if (!it->second.pool) {
        Violation("%s(%p): the packet belongs to the protocol that sent it", function,
                  static_cast<void*>(packet));
        return nullptr;
    }
    if (!Allocated(it->second)) {
        Violation("%s(%p): the packet has been freed", function, static_cast<void*>(packet));
        return nullptr;
    }
    return it->second.pool;
}

// True when `buffer` is a live buffer (a pool's, or the protocol's when
// `protocolAllowed`); otherwise a violation naming `function`.
bool LiveBuffer(Registry& r, PNDIS_BUFFER buffer, const char* function, bool protocolAllowed) {
    auto it = r.buffers.find(buffer);
    if (it == r.buffers.end()) {
        Violation("%s(%p): not a buffer from NdisAllocateBuffer", function,
                  static_cast<void*>(buffer));
        return false;
    }
    if (!it->second.pool && !protocolAllowed) {
        Violation("%s(%p): the buffer belongs to the protocol that sent it", function,
                  static_cast<void*>(buffer));
        return false;
    }
    if (!Allocated(it->second)) {
        Violation("%s(%p): the buffer has been freed", function, static_cast<void*>(buffer));
        return false;
    }
    return true;
}

bool LiveAnyPacket(Registry& r, PNDIS_PACKET packet, const char* function) {
    auto it = r.packets.find(packet);
    if (it != r.packets.end() && Allocated(it->second)) return true;
    Violation(it == r.packets.end() ? "%s(%p): not a packet from NdisAllocatePacket"
                                    : "%s(%p): the packet has been freed",
              function, static_cast<void*>(packet));
    return false;
}

// Walks the packet's chain, checking each buffer; calls visit(buffer) for
// each. False (with a violation) on a broken chain.
template <typename Visit>
bool WalkChain(Registry& r, PNDIS_PACKET packet, const char* function, Visit visit) {
    size_t limit = r.buffers.size();
    size_t n = 0;
    for (PNDIS_BUFFER b = packet->Private.Head; b; b = b->Next) {
        if (!LiveBuffer(r, b, function, true)) return false;
        if (++n > limit) {
            Violation("%s(%p): the packet's buffer chain loops", function,
                      static_cast<void*>(packet));
            return false;
        }
        visit(b);
    }
    return true;
}

UINT PagesSpanned(const void* address, UINT length) {
    if (length == 0) return 0;
    auto start = reinterpret_cast<uintptr_t>(address);
    return static_cast<UINT>((start % kPageSize + length + kPageSize - 1) / kPageSize);
}

// Records a new pool of `descriptors` blocks and hands out its handle.
template <typename Pool>
void RegisterPool(std::unique_ptr<Pool> pool, Resource kind, UINT descriptors,
                  PNDIS_HANDLE poolHandle, PNDIS_STATUS status) {
    pool->capacity = descriptors;
    Pool* handle = pool.get();
    {
        Registry& r = R();
        std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
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
    Registry& r = R();
    std::unique_ptr<Pool> pool;
    {
        std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
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
typename Pool::Block TakeBlock(Registry& r, Pool* pool) {
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
    Registry& r = R();
    PNDIS_PACKET p;
    {
        std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
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
    Registry& r = R();
    {
        std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
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
    Registry& r = R();
    PNDIS_BUFFER b;
    {
        std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
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
        ++it->second->inUse;
        *b = NDIS_BUFFER{nullptr, VirtualAddress, Length, Length, PoolHandle};
    }
    host::LedgerAdd(Resource::Buffer, b, 0, 0, nullptr, "");
    *Buffer = b;
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisFreeBuffer(PNDIS_BUFFER Buffer) {
    host::RequireIrql("NdisFreeBuffer", PASSIVE_LEVEL, DISPATCH_LEVEL);
    Registry& r = R();
    {
        std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
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

void NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
    host::RequireIrql("NdisQueryBuffer", PASSIVE_LEVEL, DISPATCH_LEVEL);
    Registry& r = R();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(r.mu);
    if (!LiveBuffer(r, Buffer, "NdisQueryBuffer", true)) return;
    if (VirtualAddress) *VirtualAddress = Buffer->VirtualAddress;
    if (Length) *Length = Buffer->ByteCount;
}

void NdisAdjustBufferLength(PNDIS_BUFFER Buffer, UINT Length) {
    host::RequireIrql("NdisAdjustBufferLength", PASSIVE_LEVEL, DISPATCH_LEVEL);
    Registry& r = R();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(r.mu);
    if (!LiveBuffer(r, Buffer, "NdisAdjustBufferLength", false)) return;
    // A buffer describes memory fixed at allocation: it can be shortened and
    // lengthened again, never past what it maps.
    if (Length > Buffer->HostMappedLength) {
        Violation("NdisAdjustBufferLength(%p, %u): the buffer maps only %u bytes",
                  static_cast<void*>(Buffer), Length, Buffer->HostMappedLength);
        return;
    }
    Buffer->ByteCount = Length;
}

// ---------------------------------------------------------------------------
// Packet contents
// ---------------------------------------------------------------------------
// Counts the packet's chain into its cached counts, as the Windows macro
// does when they are stale. False after a violation.
static bool CountChain(Registry& r, PNDIS_PACKET packet, const char* function, UINT* pages,
                       UINT* count, UINT* total) {
    *pages = *count = *total = 0;
    return WalkChain(r, packet, function, [&](PNDIS_BUFFER b) {
        *pages += PagesSpanned(b->VirtualAddress, b->ByteCount);
        ++*count;
        *total += b->ByteCount;
    });
}

static void CacheCounts(PNDIS_PACKET packet, UINT pages, UINT count, UINT total) {
    packet->Private.PhysicalCount = pages;
    packet->Private.Count = count;
    packet->Private.TotalLength = total;
    packet->Private.ValidCounts = TRUE;
}

void NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount,
                     PNDIS_BUFFER* FirstBuffer, PUINT TotalPacketLength) {
    host::RequireIrql("NdisQueryPacket", PASSIVE_LEVEL, DISPATCH_LEVEL);
    Registry& r = R();
    std::shared_lock<host::internal::ReadMostlyMutex> shared(r.mu);
    if (!LiveAnyPacket(r, Packet, "NdisQueryPacket")) return;
    // As on Windows, the counts are cached until the chain changes: a buffer
    // length adjusted later is not seen until NdisRecalculatePacketCounts.
    // Counting fills the cache, under the exclusive lock.
    std::unique_lock<host::internal::ReadMostlyMutex> exclusive;
    if (!Packet->Private.ValidCounts) {
        shared.unlock();
        exclusive = std::unique_lock<host::internal::ReadMostlyMutex>(r.mu);
        if (!LiveAnyPacket(r, Packet, "NdisQueryPacket")) return;
    }
    if (!Packet->Private.ValidCounts) {
        UINT pages, count, total;
        if (!CountChain(r, Packet, "NdisQueryPacket", &pages, &count, &total)) return;
        CacheCounts(Packet, pages, count, total);
    }
    if (PhysicalBufferCount) *PhysicalBufferCount = Packet->Private.PhysicalCount;
    if (BufferCount) *BufferCount = Packet->Private.Count;
    if (FirstBuffer) *FirstBuffer = Packet->Private.Head;
    if (TotalPacketLength) *TotalPacketLength = Packet->Private.TotalLength;
}

void NdisRecalculatePacketCounts(PNDIS_PACKET Packet) {
    host::RequireIrql("NdisRecalculatePacketCounts", PASSIVE_LEVEL, DISPATCH_LEVEL);
    Registry& r = R();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(r.mu);
    if (!LivePoolPacket(r, Packet, "NdisRecalculatePacketCounts")) return;
    PNDIS_BUFFER last = nullptr;
    if (!WalkChain(r, Packet, "NdisRecalculatePacketCounts", [&](PNDIS_BUFFER b) { last = b; }))
        return;
    Packet->Private.Tail = last;
    Packet->Private.ValidCounts = FALSE;
}

// Checks shared by the two chaining calls; returns the last buffer of the
// chain that starts at `buffer`, or null after a violation.
static PNDIS_BUFFER ChainToAdd(Registry& r, PNDIS_PACKET packet, PNDIS_BUFFER buffer,
                               const char* function) {
    if (!LivePoolPacket(r, packet, function)) return nullptr;
    PNDIS_BUFFER last = nullptr;
    for (PNDIS_BUFFER b = buffer; b; b = b->Next) {
        if (!LiveBuffer(r, b, function, false)) return nullptr;
        for (PNDIS_BUFFER c = packet->Private.Head; c; c = c->Next) {
            if (c == b) {
                Violation("%s(%p, %p): the buffer is already chained to the packet", function,
                          static_cast<void*>(packet), static_cast<void*>(b));
                return nullptr;
            }
        }
        last = b;
    }
    if (!last) Violation("%s(%p, NULL): no buffer", function, static_cast<void*>(packet));
    return last;
}

void NdisChainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer) {
    host::RequireIrql("NdisChainBufferAtFront", PASSIVE_LEVEL, DISPATCH_LEVEL);
    Registry& r = R();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
    PNDIS_BUFFER last = ChainToAdd(r, Packet, Buffer, "NdisChainBufferAtFront");
    if (!last) return;
    if (!Packet->Private.Head) Packet->Private.Tail = last;
    last->Next = Packet->Private.Head;
    Packet->Private.Head = Buffer;
    Packet->Private.ValidCounts = FALSE;
}

void NdisChainBufferAtBack(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer) {
    host::RequireIrql("NdisChainBufferAtBack", PASSIVE_LEVEL, DISPATCH_LEVEL);
    Registry& r = R();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
    PNDIS_BUFFER last = ChainToAdd(r, Packet, Buffer, "NdisChainBufferAtBack");
    if (!last) return;
    if (Packet->Private.Head) {
        Packet->Private.Tail->Next = Buffer;
    } else {
        Packet->Private.Head = Buffer;
    }
    Packet->Private.Tail = last;
    Packet->Private.ValidCounts = FALSE;
}

// ---------------------------------------------------------------------------
// For the upper edge
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
    Registry& r = R();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
    r.packets[p] = {nullptr, true};
    return p;
}

void DeleteProtocolPacket(PNDIS_PACKET packet) {
    {
        Registry& r = R();
        std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
        r.packets.erase(packet);
    }
    DeleteBlock(packet);
}

PNDIS_BUFFER NewProtocolBuffer(void* address, UINT length) {
    auto* b = new NDIS_BUFFER{nullptr, address, length, length, nullptr};
    Registry& r = R();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
    r.buffers[b] = {nullptr, true};
    return b;
}

void DeleteProtocolBuffer(PNDIS_BUFFER buffer) {
    {
        Registry& r = R();
        std::lock_guard<host::internal::ReadMostlyMutex> lock(r.mu);
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
    Registry& r = R();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(r.mu);
    auto p = r.packets.find(packet);
    if (p != r.packets.end()) SetAllocated(p->second, live);
    for (PNDIS_BUFFER b : buffers) {
        auto it = r.buffers.find(b);
        if (it != r.buffers.end()) SetAllocated(it->second, live);
    }
}

// The protocol counts its packet once it is built, before any driver sees
// it: the driver's NdisQueryPacket then finds the counts cached.
void CountProtocolPacket(PNDIS_PACKET packet) {
    UINT pages = 0, count = 0, total = 0;
    for (PNDIS_BUFFER b = packet->Private.Head; b; b = b->Next) {
        pages += PagesSpanned(b->VirtualAddress, b->ByteCount);
        ++count;
        total += b->ByteCount;
    }
    CacheCounts(packet, pages, count, total);
}

bool IsPoolPacket(PNDIS_PACKET packet) {
    Registry& r = R();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(r.mu);
    auto it = r.packets.find(packet);
    return it != r.packets.end() && it->second.pool && Allocated(it->second);
}

bool ReadIndicatedPacket(PNDIS_PACKET packet, const char* function, std::vector<uint8_t>* bytes) {
    Registry& r = R();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(r.mu);
    bytes->clear();
    UINT pages, count, total;
    if (!CountChain(r, packet, function, &pages, &count, &total)) return false;
    // A protocol reads the length from the packet's counts: stale ones give
    // it the previous frame's length.
    if (packet->Private.ValidCounts &&
        (packet->Private.TotalLength != total || packet->Private.Count != count)) {
        Violation("%s(%p): the packet's cached counts (%u bytes in %u buffers) are stale, its "
                  "buffers hold %u bytes in %u; NdisRecalculatePacketCounts is needed after a "
                  "buffer length changes", function, static_cast<void*>(packet),
                  packet->Private.TotalLength, packet->Private.Count, total, count);
    }
    CacheCounts(packet, pages, count, total);
    for (PNDIS_BUFFER b = packet->Private.Head; b; b = b->Next) {
        auto* from = static_cast<const uint8_t*>(b->VirtualAddress);
        if (b->ByteCount) bytes->insert(bytes->end(), from, from + b->ByteCount);
    }
    return true;
}

}  // namespace internal
}  // namespace host
