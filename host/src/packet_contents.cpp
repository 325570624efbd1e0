// What a driver reads and changes of a packet or buffer it holds, as NDIS 5
// has it: a buffer's address and length, a packet's chain and the counts it
// caches (stale until NdisRecalculatePacketCounts, as on Windows), and how a
// protocol reads a packet indicated to it. Each call checks that the packet
// and its buffers are live, and that the driver changes only its own.
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_miniport.h"
#include "internal_packets.h"

using host::Violation;
using host::internal::LiveAnyPacket;
using host::internal::LiveBuffer;
using host::internal::LivePoolPacket;
using host::internal::PacketRegistry;
using host::internal::Packets;
using host::internal::ReadMostlyMutex;
using host::internal::WalkChain;
using host::internal::BufferMemory;

namespace {

constexpr size_t kPageSize = 4096;

UINT PagesSpanned(const void* address, UINT length) {
    if (length == 0) return 0;
    auto start = reinterpret_cast<uintptr_t>(address);
    return static_cast<UINT>((start % kPageSize + length + kPageSize - 1) / kPageSize);
}

}  // namespace

// ---------------------------------------------------------------------------
// Buffers
// ---------------------------------------------------------------------------
// Maps a live buffer's pages into system space (the host's memory is all
// mapped already: the buffer records the address and says so). Its owner
// holds it, so no other thread changes its members meanwhile.
static PVOID MapBuffer(PNDIS_BUFFER buffer) {
    buffer->MappedSystemVa = BufferMemory(buffer);
    buffer->MdlFlags = static_cast<CSHORT>(buffer->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    return buffer->MappedSystemVa;
}

void NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
    host::RequireIrql("NdisQueryBuffer", PASSIVE_LEVEL, DISPATCH_LEVEL);
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);
    if (!LiveBuffer(r, Buffer, "NdisQueryBuffer", true)) return;
    // As the Windows macro: the mapping when there is one, MmMapLockedPages
    // otherwise.
    if (VirtualAddress) {
        *VirtualAddress = (Buffer->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
                              ? Buffer->MappedSystemVa
                              : MapBuffer(Buffer);
    }
    if (Length) *Length = Buffer->ByteCount;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    host::RequireIrql("MmMapLockedPages", PASSIVE_LEVEL, DISPATCH_LEVEL);
    if (AccessMode != KernelMode) {
        Violation("MmMapLockedPages(%p, %d): a driver maps into system space (KernelMode) only",
                  static_cast<void*>(MemoryDescriptorList), static_cast<int>(AccessMode));
        return nullptr;
    }
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);
    if (!LiveBuffer(r, MemoryDescriptorList, "MmMapLockedPages", true)) return nullptr;
    return MapBuffer(MemoryDescriptorList);
}

void IoFreeMdl(PMDL Mdl) { NdisFreeBuffer(Mdl); }

ULONG NDIS_BUFFER_TO_SPAN_PAGES(PNDIS_BUFFER Buffer) {
    // An empty buffer still takes one map register (as on Windows).
    return Buffer->ByteCount ? PagesSpanned(BufferMemory(Buffer), Buffer->ByteCount) : 1;
}

void NdisAdjustBufferLength(PNDIS_BUFFER Buffer, UINT Length) {
    host::RequireIrql("NdisAdjustBufferLength", PASSIVE_LEVEL, DISPATCH_LEVEL);
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);
    const auto* d = host::internal::LiveBufferDescriptor(r, Buffer, "NdisAdjustBufferLength", false);
    if (!d) return;
    // A buffer describes memory fixed at allocation: it can be shortened and
    // lengthened again, never past what it maps.
    UINT mapped = d->mappedLength;
    if (Length > mapped) {
        Violation("NdisAdjustBufferLength(%p, %u): the buffer maps only %u bytes",
                  static_cast<void*>(Buffer), Length, mapped);
        return;
    }
    Buffer->ByteCount = Length;
}

// ---------------------------------------------------------------------------
// Packet contents
// ---------------------------------------------------------------------------
// Counts the packet's chain into its cached counts, as the Windows macro
// does when they are stale. False after a violation.
static bool CountChain(PacketRegistry& r, PNDIS_PACKET packet, const char* function, UINT* pages,
                       UINT* count, UINT* total) {
    *pages = *count = *total = 0;
    return WalkChain(r, packet, function, [&](PNDIS_BUFFER b) {
        *pages += NDIS_BUFFER_TO_SPAN_PAGES(b);
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
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> shared(r.mu);
    if (!LiveAnyPacket(r, Packet, "NdisQueryPacket")) return;
    // As on Windows, the counts are cached until the chain changes: a buffer
    // length adjusted later is not seen until NdisRecalculatePacketCounts.
    // Counting fills the cache, under the exclusive lock.
    std::unique_lock<ReadMostlyMutex> exclusive;
    if (!Packet->Private.ValidCounts) {
        shared.unlock();
        exclusive = std::unique_lock<ReadMostlyMutex>(r.mu);
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
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);
    if (!LivePoolPacket(r, Packet, "NdisRecalculatePacketCounts")) return;
    PNDIS_BUFFER last = nullptr;
    if (!WalkChain(r, Packet, "NdisRecalculatePacketCounts", [&](PNDIS_BUFFER b) { last = b; }))
        return;
    Packet->Private.Tail = last;
    Packet->Private.ValidCounts = FALSE;
}

// Checks shared by the two chaining calls; returns the last buffer of the
// chain that starts at `buffer`, or null after a violation.
static PNDIS_BUFFER ChainToAdd(PacketRegistry& r, PNDIS_PACKET packet, PNDIS_BUFFER buffer,
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
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
    PNDIS_BUFFER last = ChainToAdd(r, Packet, Buffer, "NdisChainBufferAtFront");
    if (!last) return;
    if (!Packet->Private.Head) Packet->Private.Tail = last;
    last->Next = Packet->Private.Head;
    Packet->Private.Head = Buffer;
    Packet->Private.ValidCounts = FALSE;
}

void NdisChainBufferAtBack(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer) {
    host::RequireIrql("NdisChainBufferAtBack", PASSIVE_LEVEL, DISPATCH_LEVEL);
    PacketRegistry& r = Packets();
    std::lock_guard<ReadMostlyMutex> lock(r.mu);
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

// The protocol counts its packet once it is built, before any driver sees
// it: the driver's NdisQueryPacket then finds the counts cached.
void CountProtocolPacket(PNDIS_PACKET packet) {
    UINT pages = 0, count = 0, total = 0;
    for (PNDIS_BUFFER b = packet->Private.Head; b; b = b->Next) {
        pages += NDIS_BUFFER_TO_SPAN_PAGES(b);
        ++count;
        total += b->ByteCount;
    }
    CacheCounts(packet, pages, count, total);
}

bool ReadIndicatedPacket(PNDIS_PACKET packet, const char* function, std::vector<uint8_t>* bytes) {
    PacketRegistry& r = Packets();
    std::shared_lock<ReadMostlyMutex> lock(r.mu);
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
        const uint8_t* from = host::internal::BufferMemory(b);
        if (b->ByteCount) bytes->insert(bytes->end(), from, from + b->ByteCount);
    }
    return true;
}

}  // namespace internal
}  // namespace host
