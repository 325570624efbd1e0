// The packet verifier's registry: every packet and buffer the driver may be
// handed (a pool's, or a protocol's own), every pool, and whether each is
// live. Shared by packets.cpp (the pools, allocating and freeing, the
// protocols' packets) and packet_contents.cpp (what a driver reads and
// changes of a packet or buffer), with the checks both make.
#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "host/verifier.h"
#include "internal.h"
#include "ndis.h"

namespace host {
namespace internal {

template <typename Pool>
struct Slab;

// A pool of `capacity` blocks. Blocks are made as they are first needed, in
// slabs (below), and kept until the pool goes; a freed one goes back on
// `free`.
template <typename B, typename Self>
struct BlockPool {
    using Block = B;
    UINT capacity = 0;
    UINT inUse = 0;
    size_t made = 0;                 // blocks made so far
    Slab<Self>* growing = nullptr;   // the slab the next new block comes from
    std::deque<B> free;              // freed blocks, oldest first
};

struct PacketPool : BlockPool<PNDIS_PACKET, PacketPool> {
    UINT reservedLength = 0;
    USHORT oobOffset = 0;
    size_t blockSize = 0;
};

struct BufferPool : BlockPool<PNDIS_BUFFER, BufferPool> {};

// What the host knows of a packet or buffer slot. `pool` is null for the
// protocol's own.
template <typename Pool>
struct Descriptor {
    Pool* pool = nullptr;
    // Read under the shared lock: a protocol's packet or buffer changes it
    // under the shared lock too (see SetProtocolPacketLive), so it is read and
    // written atomically (through Allocated and SetAllocated).
    bool allocated = false;
    // A buffer's: the bytes it describes, fixed at allocation (its length can
    // be adjusted down and up again within them).
    UINT mappedLength = 0;
    // The slot holds a packet or buffer the host made and still knows: false
    // for one not handed out yet, and for a protocol's deleted one.
    bool registered = false;
};

template <typename Pool>
inline bool Allocated(const Descriptor<Pool>& d) {
    return __atomic_load_n(&d.allocated, __ATOMIC_ACQUIRE);
}

template <typename Pool>
inline void SetAllocated(Descriptor<Pool>& d, bool allocated) {
    __atomic_store_n(&d.allocated, allocated, __ATOMIC_RELEASE);
}

// Packets and buffers live in slabs: runs of equal slots in memory of the
// host's own, one slab or more per pool and some for the protocols. A slot
// is the packet or buffer, then guard bytes up to the next (slots are a
// power of two apart, so that a slot's number is a shift). Any address the
// driver passes is found, or known to be none of them, by its slab's
// address range and the slot's offset alone: nothing is read at an address
// before it is known to be a slot's.
template <typename Pool>
struct Slab {
    uintptr_t begin = 0;   // the first slot
    uintptr_t end = 0;     // one past the last
    unsigned shift = 0;    // log2 of the bytes from a slot to the next
    size_t blockSize = 0;  // the packet or buffer at the start of each slot
    Pool* pool = nullptr;  // null: the protocols'
    size_t made = 0;       // slots handed out so far, in order
    std::unique_ptr<Descriptor<Pool>[]> slots;
    void* memory = nullptr;
    size_t Count() const { return (end - begin) >> shift; }
    typename Pool::Block At(size_t i) const {
        return reinterpret_cast<typename Pool::Block>(begin + (i << shift));
    }
};

template <typename Pool>
struct Slabs {
    std::vector<Slab<Pool>*> byAddress;  // sorted by begin; owned
    // Moves on whenever a slab goes: a thread's last slab is trusted only
    // within the generation it was found in. Never reset.
    uint64_t generation = 1;
    size_t registered = 0;  // packets or buffers registered now
};

// The slab whose slots span `address`, or null. Caller holds the registry's
// lock, shared or exclusive.
template <typename Pool>
Slab<Pool>* SlabHolding(const Slabs<Pool>& slabs, const void* address) {
    // Most lookups are of the slab a thread found last, or the one before
    // (a pool's and the protocols', in turn): those are looked at first,
    // while no slab has gone since.
    struct LastHits {
        uint64_t generation;
        Slab<Pool>* slab[2];
    };
    thread_local LastHits last{0, {nullptr, nullptr}};
    auto a = reinterpret_cast<uintptr_t>(address);
    if (last.generation == slabs.generation) {
        for (Slab<Pool>* s : last.slab) {
            if (s && a - s->begin < s->end - s->begin) return s;
        }
    } else {
        last = {slabs.generation, {nullptr, nullptr}};
    }
    auto it = std::upper_bound(slabs.byAddress.begin(), slabs.byAddress.end(), a,
                               [](uintptr_t x, const Slab<Pool>* s) { return x < s->begin; });
    if (it == slabs.byAddress.begin()) return nullptr;
    Slab<Pool>* slab = *--it;
    if (a - slab->begin >= slab->end - slab->begin) return nullptr;
    last.slab[1] = last.slab[0];
    last.slab[0] = slab;
    return slab;
}

// The descriptor of the packet or buffer at `address`, or null when it is
// none: outside every slab, not at a slot's start, or a slot not registered.
// Caller holds the registry's lock, shared or exclusive.
template <typename Pool>
Descriptor<Pool>* FindSlot(const Slabs<Pool>& slabs, const void* address) {
    Slab<Pool>* slab = SlabHolding(slabs, address);
    if (!slab) return nullptr;
    uintptr_t offset = reinterpret_cast<uintptr_t>(address) - slab->begin;
    if (offset & ((uintptr_t{1} << slab->shift) - 1)) return nullptr;
    Descriptor<Pool>& d = slab->slots[offset >> slab->shift];
    return d.registered ? &d : nullptr;
}

// The memory a buffer describes, whether or not it is mapped yet.
inline uint8_t* BufferMemory(PNDIS_BUFFER buffer) {
    return static_cast<uint8_t*>(buffer->StartVa) + buffer->ByteOffset;
}

// Describes `length` bytes at `address` in `mdl`, as IoAllocateMdl and
// MmBuildMdlForNonPagedPool do: the page it begins in, the offset into it.
// `flags` MDL_SOURCE_IS_NONPAGED_POOL for the driver's own memory (mapped),
// MDL_PAGES_LOCKED for a protocol's (locked but not mapped until
// MmMapLockedPages).
inline void DescribeMemory(PNDIS_BUFFER mdl, void* address, UINT length, CSHORT flags) {
    constexpr uintptr_t kPage = 4096;
    auto start = reinterpret_cast<uintptr_t>(address);
    *mdl = MDL{};
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->MdlFlags = flags;
    mdl->MappedSystemVa = (flags & MDL_SOURCE_IS_NONPAGED_POOL) ? address : nullptr;
    mdl->StartVa = reinterpret_cast<PVOID>(start & ~(kPage - 1));
    mdl->ByteOffset = static_cast<ULONG>(start & (kPage - 1));
    mdl->ByteCount = length;
}

struct PacketRegistry {
    // Exclusive for changes to the maps and pools; shared for the lookups the
    // data path makes for every frame. A lookup that writes into a packet or
    // buffer writes only what its caller owns at the time (its own packet's
    // counts, the length of its own buffer), as the NDIS macros do.
    ReadMostlyMutex mu;
    std::unordered_map<const void*, std::unique_ptr<PacketPool>> packetPools;
    std::unordered_map<const void*, std::unique_ptr<BufferPool>> bufferPools;
    std::set<const void*> freedPools;  // handles freed, to tell a double free
    Slabs<PacketPool> packets;
    Slabs<BufferPool> buffers;
    // Free slots of the protocols' slabs, for their next packet or buffer.
    std::vector<PNDIS_PACKET> freeProtocolPackets;
    std::vector<PNDIS_BUFFER> freeProtocolBuffers;
};

inline PacketRegistry& Packets() {
    static PacketRegistry* registry = new PacketRegistry();
    return *registry;
}

// The packet's descriptor, with a violation naming `function` when it is
// not a live packet from a pool (the protocol's are refused too).
inline PacketPool* LivePoolPacket(PacketRegistry& r, PNDIS_PACKET packet, const char* function) {
    const Descriptor<PacketPool>* d = FindSlot(r.packets, packet);
    if (!d) {
        Violation("%s(%p): not a packet from NdisAllocatePacket", function,
                  static_cast<void*>(packet));
        return nullptr;
    }
    if (!d->pool) {
        Violation("%s(%p): the packet belongs to the protocol that sent it", function,
                  static_cast<void*>(packet));
        return nullptr;
    }
    if (!Allocated(*d)) {
        Violation("%s(%p): the packet has been freed", function, static_cast<void*>(packet));
        return nullptr;
    }
    return d->pool;
}

// The descriptor of `buffer` when it is a live buffer (a pool's, or the
// protocol's when `protocolAllowed`); otherwise null, after a violation
// naming `function`.
inline const Descriptor<BufferPool>* LiveBufferDescriptor(PacketRegistry& r, PNDIS_BUFFER buffer,
                                                          const char* function,
                                                          bool protocolAllowed) {
    const Descriptor<BufferPool>* d = FindSlot(r.buffers, buffer);
    if (!d) {
        Violation("%s(%p): not a buffer from NdisAllocateBuffer", function,
                  static_cast<void*>(buffer));
        return nullptr;
    }
    if (!d->pool && !protocolAllowed) {
        Violation("%s(%p): the buffer belongs to the protocol that sent it", function,
                  static_cast<void*>(buffer));
        return nullptr;
    }
    if (!Allocated(*d)) {
        Violation("%s(%p): the buffer has been freed", function, static_cast<void*>(buffer));
        return nullptr;
    }
    return d;
}

inline bool LiveBuffer(PacketRegistry& r, PNDIS_BUFFER buffer, const char* function,
                       bool protocolAllowed) {
    return LiveBufferDescriptor(r, buffer, function, protocolAllowed) != nullptr;
}

inline bool LiveAnyPacket(PacketRegistry& r, PNDIS_PACKET packet, const char* function) {
    const Descriptor<PacketPool>* d = FindSlot(r.packets, packet);
    if (d && Allocated(*d)) return true;
    Violation(!d ? "%s(%p): not a packet from NdisAllocatePacket"
                 : "%s(%p): the packet has been freed",
              function, static_cast<void*>(packet));
    return false;
}

// Walks the packet's chain, checking each buffer; calls visit(buffer) for
// each. False (with a violation) on a broken chain.
template <typename Visit>
bool WalkChain(PacketRegistry& r, PNDIS_PACKET packet, const char* function, Visit visit) {
    size_t limit = r.buffers.registered;
    size_t n = 0;
    for (PNDIS_BUFFER b = packet->Private.Head; b; b = b->Next) {
        const Descriptor<BufferPool>* d = LiveBufferDescriptor(r, b, function, true);
        if (!d) return false;
        if (++n > limit) {
            Violation("%s(%p): the packet's buffer chain loops", function,
                      static_cast<void*>(packet));
            return false;
        }
        // A length set in place (the Windows NdisAdjustBufferLength is a
        // store) is checked where the buffer is read.
        UINT mapped = d->mappedLength;
        if (b->ByteCount > mapped) {
            Violation("%s(%p): buffer %p is %u bytes long but describes only %u", function,
                      static_cast<void*>(packet), static_cast<void*>(b), b->ByteCount, mapped);
            return false;
        }
        visit(b);
    }
    return true;
}

}  // namespace internal
}  // namespace host
