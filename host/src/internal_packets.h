// The packet verifier's registry: every packet and buffer the driver may be
// handed (a pool's, or a protocol's own), every pool, and whether each is
// live. Shared by packets.cpp (the pools, allocating and freeing, the
// protocols' packets) and packet_contents.cpp (what a driver reads and
// changes of a packet or buffer), with the checks both make.
#pragma once

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
    // A buffer's: the bytes it describes, fixed at allocation (its length can
    // be adjusted down and up again within them).
    UINT mappedLength = 0;
};

template <typename Pool>
inline bool Allocated(const Descriptor<Pool>& d) {
    return __atomic_load_n(&d.allocated, __ATOMIC_ACQUIRE);
}

template <typename Pool>
inline void SetAllocated(Descriptor<Pool>& d, bool allocated) {
    __atomic_store_n(&d.allocated, allocated, __ATOMIC_RELEASE);
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
    std::unordered_map<PNDIS_PACKET, Descriptor<PacketPool>> packets;
    std::unordered_map<PNDIS_BUFFER, Descriptor<BufferPool>> buffers;
};

inline PacketRegistry& Packets() {
    static PacketRegistry* registry = new PacketRegistry();
    return *registry;
}

// The packet's descriptor, with a violation naming `function` when it is
// not a live packet from a pool (the protocol's are refused too).
inline PacketPool* LivePoolPacket(PacketRegistry& r, PNDIS_PACKET packet, const char* function) {
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

// The descriptor of `buffer` when it is a live buffer (a pool's, or the
// protocol's when `protocolAllowed`); otherwise null, after a violation
// naming `function`.
inline const Descriptor<BufferPool>* LiveBufferDescriptor(PacketRegistry& r, PNDIS_BUFFER buffer,
                                                          const char* function,
                                                          bool protocolAllowed) {
    auto it = r.buffers.find(buffer);
    if (it == r.buffers.end()) {
        Violation("%s(%p): not a buffer from NdisAllocateBuffer", function,
                  static_cast<void*>(buffer));
        return nullptr;
    }
    if (!it->second.pool && !protocolAllowed) {
        Violation("%s(%p): the buffer belongs to the protocol that sent it", function,
                  static_cast<void*>(buffer));
        return nullptr;
    }
    if (!Allocated(it->second)) {
        Violation("%s(%p): the buffer has been freed", function, static_cast<void*>(buffer));
        return nullptr;
    }
    return &it->second;
}

inline bool LiveBuffer(PacketRegistry& r, PNDIS_BUFFER buffer, const char* function,
                       bool protocolAllowed) {
    return LiveBufferDescriptor(r, buffer, function, protocolAllowed) != nullptr;
}

inline bool LiveAnyPacket(PacketRegistry& r, PNDIS_PACKET packet, const char* function) {
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
bool WalkChain(PacketRegistry& r, PNDIS_PACKET packet, const char* function, Visit visit) {
    size_t limit = r.buffers.size();
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
