// Pool memory with tags. Allocations are not zeroed (they are filled with a
// pattern, so code that relies on zeroed memory fails) and are poisoned when
// freed. In special pool (the default) each block ends on a page boundary
// before an inaccessible page and stays inaccessible for a while once freed,
// so that an access past its end or after its free faults at once
// (internal_pool.h); otherwise it carries guard bytes on both sides, and a
// write past either end is reported when it is freed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_pool.h"

namespace {

constexpr size_t kGuard = 24;  // makes the header 48 bytes: blocks 16-byte aligned, as on x64
constexpr uint8_t kGuardByte = 0xFD;
constexpr uint8_t kFreshByte = 0xA5;
constexpr uint8_t kFreedByte = 0xDD;
constexpr uint64_t kMagic = 0x7a72343870f0f0f0ull;

struct Header {
    uint64_t magic;
    size_t length;
    uint32_t tag;
    uint32_t pad;
    uint8_t guard[kGuard];
};
static_assert(sizeof(Header) % 16 == 0, "a block starts 16-byte aligned, as malloc's do");

// Recently freed blocks, to tell a double free from a foreign pointer.
std::mutex freedMu;
std::unordered_set<const void*> recentlyFreed;

Header* HeaderOf(void* p) { return reinterpret_cast<Header*>(static_cast<uint8_t*>(p) - sizeof(Header)); }

bool GuardsIntact(const Header* h, const uint8_t* user) {
    for (size_t i = 0; i < kGuard; ++i) {
        if (h->guard[i] != kGuardByte || user[h->length + i] != kGuardByte) return false;
    }
    return true;
}

// A block with guard bytes on both sides, its header before it.
uint8_t* AllocateWithGuardBytes(UINT Length, ULONG Tag) {
    auto* raw = static_cast<uint8_t*>(malloc(sizeof(Header) + Length + kGuard));
    if (!raw) return nullptr;
    auto* h = reinterpret_cast<Header*>(raw);
    h->magic = kMagic;
    h->length = Length;
    h->tag = Tag;
    memset(h->guard, kGuardByte, kGuard);
    uint8_t* user = raw + sizeof(Header);
    memset(user, kFreshByte, Length);
    memset(user + Length, kGuardByte, kGuard);
    return user;
}

std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

}  // namespace

NDIS_STATUS NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag) {
    host::RequireIrql("NdisAllocateMemoryWithTag", PASSIVE_LEVEL, DISPATCH_LEVEL);
    if (host::ShouldFail(host::Resource::PoolMemory)) {
        *VirtualAddress = nullptr;
        return NDIS_STATUS_FAILURE;
    }
    uint8_t* user = nullptr;
    if (host::Options().specialPool) {
        char what[64];
        snprintf(what, sizeof what, "pool block tag '%s' (%u bytes)", TagText(Tag).c_str(), Length);
        user = static_cast<uint8_t*>(host::internal::GuardedAllocate(Length, kFreshByte, what));
    }
    // Without special pool, or when the system has no more mappings for it
    // (Windows too serves such a request from the ordinary pool).
    if (!user) user = AllocateWithGuardBytes(Length, Tag);
    if (!user) {
        *VirtualAddress = nullptr;
        return NDIS_STATUS_FAILURE;
    }
    {
        std::lock_guard<std::mutex> lock(freedMu);
        recentlyFreed.erase(user);
    }
    host::LedgerAdd(host::Resource::PoolMemory, user, Length, Tag, nullptr, "");
    *VirtualAddress = user;
    return NDIS_STATUS_SUCCESS;
}

void NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
    host::RequireIrql("NdisFreeMemory", PASSIVE_LEVEL, DISPATCH_LEVEL);
    if (!VirtualAddress) {
        host::Violation("NdisFreeMemory(NULL)");
        return;
    }
    // The ledger entry is taken first, in one step: of two frees of the same
    // block, on two processors at once, only one gets past here.
    bool removed = false;
    bool twice = false;
    size_t length = 0;
    {
        std::lock_guard<std::mutex> lock(freedMu);
        auto entry = host::LedgerTake(host::Resource::PoolMemory, VirtualAddress);
        if (entry) {
            length = entry->size;
            removed = true;
        }
        if (removed) {
            if (recentlyFreed.size() > 4096) recentlyFreed.clear();
            recentlyFreed.insert(VirtualAddress);
        } else {
            twice = recentlyFreed.count(VirtualAddress) != 0;
        }
    }
    if (!removed) {
        host::Violation(twice ? "NdisFreeMemory(%p): freed twice"
                              : "NdisFreeMemory(%p): not memory from NdisAllocateMemoryWithTag",
                        VirtualAddress);
        return;
    }
    auto* user = static_cast<uint8_t*>(VirtualAddress);
    bool special = host::internal::IsGuarded(user);
    // Tagged non-paged memory may be freed with length 0 and flags 0; a
    // length given must be the allocated one.
    if (Length != 0 && Length != length) {
        host::Violation("NdisFreeMemory(%p, %u): the block is %zu bytes long", VirtualAddress,
                        Length, length);
    }
    if (MemoryFlags != 0) host::Violation("NdisFreeMemory(%p): flags %u for non-paged memory",
                                          VirtualAddress, MemoryFlags);
    bool intact = special ? host::internal::GuardedHeadIntact(user)
                          : GuardsIntact(HeaderOf(VirtualAddress), user);
    if (!intact) {
        host::Violation("NdisFreeMemory(%p): a write ran outside the %zu-byte block", VirtualAddress,
                        length);
    }
    // Poisoned before the grace given to a timer routine that is returning
    // on another processor: one that still touches the block reads poison
    // (and trips the lock and event checks) instead of the old contents.
    memset(user, kFreedByte, length);
    host::internal::AwaitReturningTimerRoutines(VirtualAddress, length, nullptr);
    // The block's own entry (and any pool block, which cannot lie inside
    // another) is not asked for: the rest is what may not be freed with it.
    for (auto& inside :
         host::LedgerEntriesWithin(VirtualAddress, length, host::Resource::PoolMemory)) {
        host::Violation("NdisFreeMemory(%p): the block still holds a live %s at %p", VirtualAddress,
                        host::ResourceName(inside.kind), inside.key);
    }
    if (special) {
        host::internal::GuardedFree(user);
        return;
    }
    Header* h = HeaderOf(VirtualAddress);
    h->magic = 0;
    free(h);
}

// NdisMoveMemory is RtlCopyMemory, a plain copy: with overlapping source and
// destination what lands is undefined (the copy may run in any order and
// width). Reported; the copy is made as memmove would make it.
void NdisMoveMemory(PVOID Destination, const void* Source, ULONG Length) {
    auto d = reinterpret_cast<uintptr_t>(Destination), s = reinterpret_cast<uintptr_t>(Source);
    if (Length != 0 && d < s + Length && s < d + Length) {
        host::Violation("NdisMoveMemory(%p, %p, %u): source and destination overlap by %llu "
                        "byte(s); NdisMoveMemory is a plain copy, undefined for overlapping "
                        "memory",
                        Destination, Source, Length,
                        static_cast<unsigned long long>(d < s ? d + Length - s : s + Length - d));
    }
    memmove(Destination, Source, Length);
}

void NdisZeroMemory(PVOID Destination, ULONG Length) { memset(Destination, 0, Length); }

void NdisFillMemory(PVOID Destination, ULONG Length, UCHAR Fill) {
    memset(Destination, Fill, Length);
}
