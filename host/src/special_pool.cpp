// Special pool (see internal_pool.h): guarded blocks, their quarantine, and
// the fault handler that names the block an access ran into.
//
// Each block has a mapping of its own, as Driver Verifier's "verify end"
// special pool places it: an inaccessible page, the block's pages, readable
// and writable, then another inaccessible page. The block ends on the last
// byte before that page; what precedes it in its first page is filled with
// a pattern checked when the block is given back. A block of n bytes thus
// costs a page and a mapping of its own (a few hundred at a time in a test;
// the system's limit on mappings is 65530, and a block the system refuses
// comes from the ordinary heap instead, as Windows does when special pool
// runs out). A freed block's pages are made inaccessible
// and kept for a while (the quarantine: the last kQuarantineBlocks blocks,
// at most kQuarantineBytes), then unmapped.
//
// A fault in a guarded block is caught by the process's SIGSEGV handler
// (faults.cpp), which asks TakeGuardFault before anything else, whichever
// code made the access (the driver built from source or a driver image). It
// looks the address up (under a spin lock of its own: no allocation, no lock
// that the faulting thread could hold), writes the report into a fixed slot,
// opens the page so that the access goes through when the handler returns,
// and leaves the report to ReportGuardFaults, which the host calls where a
// driver handler or a work item returns.
#include "internal_pool.h"

// Built with AddressSanitizer (gcc says so one way, clang another).
#if defined(__SANITIZE_ADDRESS__)
#define HOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOST_ASAN 1
#endif
#endif
#if defined(HOST_ASAN)
#include <sanitizer/asan_interface.h>
#endif

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_faults.h"

// AddressSanitizer takes SIGSEGV for itself unless told to let a program
// install its own handler; special pool needs it, and hands ASan every fault
// that is not its own.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "allow_user_segv_handler=1"; }
#endif

namespace host {
namespace internal {
namespace {

constexpr uint8_t kHeadByte = 0xFD;
constexpr size_t kQuarantineBlocks = 1024;
constexpr size_t kQuarantineBytes = 16u << 20;

size_t Page() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

size_t RoundUpToPage(size_t n) { return (n + Page() - 1) / Page() * Page(); }

struct Region {
    uintptr_t map = 0;        // the mapping's first byte: the leading guard page
    size_t accessible = 0;    // bytes between the two guard pages
    uintptr_t data = 0;       // the block
    size_t length = 0;
    bool freed = false;
    bool reported = false;    // a fault in it was reported; later ones pass silently
    bool headWritten = false; // a write before the block was found: the head wants its pattern
    char what[112] = {};
};

// The registry, which the fault handler reads too. Never destroyed: a fault
// may come while the process exits.
struct Registry {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    std::map<uintptr_t, Region> regions;  // by mapping start
    // Every page of every region (guard pages included), by page number: a
    // block is found by one hash lookup instead of a walk down the tree of
    // some thousand regions (quarantine included) on every packet check.
    // The entries point into `regions`, whose nodes never move; a region's
    // pages leave the index when it leaves `regions`.
    std::unordered_map<uintptr_t, Region*> byPage;
    std::deque<uintptr_t> quarantine;     // freed blocks, oldest first
    size_t quarantineBytes = 0;
};

Registry& R() {
    static Registry* registry = new Registry();
    return *registry;
}

class Locked {
public:
    Locked() {
        while (R().busy.test_and_set(std::memory_order_acquire)) CpuRelax();
    }
    ~Locked() { R().busy.clear(std::memory_order_release); }
};

// The region holding `address` (in its pages or its guard page), or null.
// Caller holds the registry.
Region* RegionAt(uintptr_t address) {
    auto& byPage = R().byPage;
    auto it = byPage.find(address / Page());
    if (it == byPage.end()) return nullptr;
    Region* r = it->second;
    return address - r->map < r->accessible + 2 * Page() ? r : nullptr;
}

uintptr_t FirstPage(const Region& r) { return r.map + Page(); }
uintptr_t TrailingGuard(const Region& r) { return r.map + Page() + r.accessible; }
size_t Span(const Region& r) { return r.accessible + 2 * Page(); }

// Adds a region and its pages to the registry. Caller holds it.
void AddRegion(const Region& region) {
    Registry& reg = R();
    Region* r = &(reg.regions[region.map] = region);
    for (uintptr_t page = r->map / Page(); page < (r->map + Span(*r)) / Page(); ++page) {
        reg.byPage[page] = r;
    }
}

// Takes a region and its pages out of the registry. Caller holds it.
void EraseRegion(std::map<uintptr_t, Region>::iterator it) {
    Registry& reg = R();
    const Region& r = it->second;
    for (uintptr_t page = r.map / Page(); page < (r.map + Span(r)) / Page(); ++page) {
        auto at = reg.byPage.find(page);
        if (at != reg.byPage.end() && at->second == &r) reg.byPage.erase(at);
    }
    reg.regions.erase(it);
}

void CopyName(Region& r, const char* what) {
    strncpy(r.what, what ? what : "a guarded block", sizeof r.what - 1);
    r.what[sizeof r.what - 1] = '\0';
}

// ---------------------------------------------------------------------------
// Reports made in the signal handler: formatted without allocating, kept in
// fixed slots until ReportGuardFaults passes them on.
// ---------------------------------------------------------------------------
struct Slot {
    std::atomic<int> state{0};  // 0 free, 1 being written, 2 ready
    char text[320];
};
Slot slots[16];
std::atomic<int> ready{0};

class Text {
public:
    explicit Text(char* out, size_t size) : out_(out), size_(size) { out_[0] = '\0'; }
    Text& Add(const char* s) {
        while (*s && used_ + 1 < size_) out_[used_++] = *s++;
        out_[used_] = '\0';
        return *this;
    }
    Text& Number(uintptr_t n) {
        char digits[24];
        int i = 0;
        do digits[i++] = static_cast<char>('0' + n % 10); while ((n /= 10) != 0);
        char s[24];
        for (int k = 0; k < i; ++k) s[k] = digits[i - 1 - k];
        s[i] = '\0';
        return Add(s);
    }
    Text& Hex(uintptr_t n) {
        char s[24] = "0x";
        int i = 2;
        for (int shift = 60; shift >= 0; shift -= 4) {
            unsigned d = (n >> shift) & 0xF;
            if (d || i > 2 || shift == 0) s[i++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        }
        s[i] = '\0';
        return Add(s);
    }

private:
    char* out_;
    size_t size_;
    size_t used_ = 0;
};

void Describe(Text& t, const Region& r, uintptr_t address, bool isWrite) {
    t.Add("special pool: a ").Add(isWrite ? "write" : "read");
    if (address < r.data) {
        t.Add(" ").Number(r.data - address).Add(" byte(s) before the start of ").Add(r.what);
    } else if (r.freed) {
        t.Add(" at offset ").Number(address - r.data).Add(" of ").Add(r.what);
    } else {
        t.Add(" at offset ").Number(address - r.data).Add(", past the end of ").Add(r.what);
    }
    if (r.freed) t.Add(", which was freed: a use after free");
    t.Add(" (address ").Hex(address).Add(")");
}

void Queue(const Region& r, uintptr_t address, bool isWrite) {
    for (Slot& slot : slots) {
        int expected = 0;
        if (!slot.state.compare_exchange_strong(expected, 1)) continue;
        Text t(slot.text, sizeof slot.text);
        Describe(t, r, address, isWrite);
        slot.state.store(2);
        ready.fetch_add(1);
        return;
    }
    // Every slot is taken: say it at once rather than lose it.
    char text[320];
    Text t(text, sizeof text);
    Describe(t, r, address, isWrite);
    t.Add("\n");
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

bool WasWrite(const void* context) {
#if defined(__x86_64__)
    // The page fault's error code: bit 1 is set for a write.
    return (static_cast<const ucontext_t*>(context)->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
    (void)context;
    return false;
#endif
}

// Unmaps the quarantined blocks (a fresh world keeps none).
void EmptyQuarantine() {
    std::vector<std::pair<uintptr_t, size_t>> unmap;
    {
        Locked lock;
        Registry& r = R();
        for (uintptr_t map : r.quarantine) {
            auto it = r.regions.find(map);
            if (it == r.regions.end()) continue;
            unmap.push_back({map, Span(it->second)});
            EraseRegion(it);
        }
        r.quarantine.clear();
        r.quarantineBytes = 0;
    }
    for (auto& m : unmap) munmap(reinterpret_cast<void*>(m.first), m.second);
}
const bool registered = (RegisterResetHook(EmptyQuarantine), true);

bool HeadIntact(uintptr_t from, uintptr_t to) {
    static const std::vector<uint8_t> pattern(4096, kHeadByte);
    while (from < to) {
        size_t n = std::min<size_t>(to - from, pattern.size());
        if (memcmp(reinterpret_cast<const void*>(from), pattern.data(), n) != 0) return false;
        from += n;
    }
    return true;
}

}  // namespace

bool TakeGuardFault(uintptr_t address, const void* context) {
    uintptr_t open = 0;
    {
        Locked lock;
        if (Region* r = RegionAt(address)) {
            if (!r->reported) Queue(*r, address, WasWrite(context));
            r->reported = true;
            open = address / Page() * Page();
        }
    }
    if (!open) return false;
    // The access goes through when the handler returns; the report stands
    // for it and for any later one in this block.
    mprotect(reinterpret_cast<void*>(open), Page(), PROT_READ | PROT_WRITE);
    return true;
}

void* GuardedAllocate(size_t length, uint8_t fill, const char* what) {
    InstallFaultHandler();
    Region r;
    r.accessible = RoundUpToPage(length);
    void* map = mmap(nullptr, Span(r), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                     -1, 0);
    if (map == MAP_FAILED) return nullptr;
    r.map = reinterpret_cast<uintptr_t>(map);
    if (r.accessible != 0 && mprotect(reinterpret_cast<void*>(FirstPage(r)), r.accessible,
                                      PROT_READ | PROT_WRITE) != 0) {
        munmap(map, Span(r));
        return nullptr;
    }
    r.data = TrailingGuard(r) - length;
    r.length = length;
    CopyName(r, what);
    memset(reinterpret_cast<void*>(FirstPage(r)), kHeadByte, r.accessible - length);
    memset(reinterpret_cast<void*>(r.data), fill, length);
    {
        Locked lock;
        AddRegion(r);
    }
    return reinterpret_cast<void*>(r.data);
}

void* GuardedRefit(void* block, size_t length, uint8_t fill, const char* what,
                   const uint8_t* contents) {
    auto data = reinterpret_cast<uintptr_t>(block);
    uintptr_t fresh, old, guard = 0;
    {
        Locked lock;
        Region* r = RegionAt(data);
        if (!r || r->freed || r->data != data || length > r->accessible) return nullptr;
        old = r->data;
        fresh = TrailingGuard(*r) - length;
        r->data = fresh;
        r->length = length;
        if (what) CopyName(*r, what);
        // A fault reported in the block's last life opened a guard page.
        if (r->reported) guard = r->map;
        r->reported = false;
        // A write before the block in its last life, found then, is not
        // this life's: the whole head takes the pattern again.
        if (r->headWritten) old = FirstPage(*r);
        r->headWritten = false;
    }
    if (guard) {
        Locked lock;
        Region* r = RegionAt(guard);
        if (r) {
            mprotect(reinterpret_cast<void*>(r->map), Page(), PROT_NONE);
            mprotect(reinterpret_cast<void*>(TrailingGuard(*r)), Page(), PROT_NONE);
        }
    }
    // What was block and is now before the start takes the pattern again.
    if (fresh > old) memset(reinterpret_cast<void*>(old), kHeadByte, fresh - old);
    if (contents && length) {
        memmove(reinterpret_cast<void*>(fresh), contents, length);
    } else {
        memset(reinterpret_cast<void*>(fresh), fill, length);
    }
    return reinterpret_cast<void*>(fresh);
}

bool GuardedHeadIntact(const void* block) {
    auto data = reinterpret_cast<uintptr_t>(block);
    uintptr_t map;
    {
        Locked lock;
        Region* r = RegionAt(data);
        if (!r) return true;
        map = FirstPage(*r);  // the block starts in its first page
    }
    if (HeadIntact(map, data)) return true;
    Locked lock;
    if (Region* r = RegionAt(data)) r->headWritten = true;
    return false;
}

void GuardedFree(void* block) {
    auto data = reinterpret_cast<uintptr_t>(block);
    uintptr_t map = 0;
    size_t span = 0;
    std::vector<std::pair<uintptr_t, size_t>> unmap;
    {
        Locked lock;
        Registry& reg = R();
        Region* r = RegionAt(data);
        if (!r || r->freed) return;
        r->freed = true;
        map = r->map;
        span = Span(*r);
        reg.quarantine.push_back(map);
        reg.quarantineBytes += span;
        while (reg.quarantine.size() > kQuarantineBlocks ||
               (reg.quarantineBytes > kQuarantineBytes && reg.quarantine.size() > 1)) {
            auto it = reg.regions.find(reg.quarantine.front());
            reg.quarantine.pop_front();
            if (it == reg.regions.end()) continue;
            size_t size = Span(it->second);
            reg.quarantineBytes -= size;
            unmap.push_back({it->first, size});
            EraseRegion(it);
        }
    }
    // The guard pages too: a fault before may have opened one.
    mprotect(reinterpret_cast<void*>(map), span, PROT_NONE);
    for (auto& m : unmap) munmap(reinterpret_cast<void*>(m.first), m.second);
}

bool IsGuarded(const void* address) {
    Locked lock;
    return RegionAt(reinterpret_cast<uintptr_t>(address)) != nullptr;
}

void ReportGuardFaults() {
    if (ready.load(std::memory_order_acquire) == 0) return;
    for (Slot& slot : slots) {
        if (slot.state.load(std::memory_order_acquire) != 2) continue;
        std::string text = slot.text;
        slot.state.store(0);
        ready.fetch_sub(1);
        Violation("%s", text.c_str());
    }
}

// ---------------------------------------------------------------------------
// HostBytes
// ---------------------------------------------------------------------------
HostBytes::~HostBytes() { Free(); }

namespace {
// Storage kept between uses, closed to every access while it is not in use
// (AddressSanitizer builds; nothing otherwise).
void PoisonKept(const std::vector<uint8_t>& storage) {
#if defined(HOST_ASAN)
    if (storage.capacity() != 0) ASAN_POISON_MEMORY_REGION(storage.data(), storage.capacity());
#else
    (void)storage;
#endif
}
void UnpoisonKept(const std::vector<uint8_t>& storage) {
#if defined(HOST_ASAN)
    if (storage.capacity() != 0) ASAN_UNPOISON_MEMORY_REGION(storage.data(), storage.capacity());
#else
    (void)storage;
#endif
}
}  // namespace

void HostBytes::Free() {
    if (guarded_) GuardedFree(data_);
    // In guard-byte mode the storage is kept for the next Assign; until
    // then nothing may touch it (a miniport writing to a buffer it has
    // given back), which AddressSanitizer reports when it is there.
    if (!guarded_ && data_ == plain_.data()) PoisonKept(plain_);
    guarded_ = false;
    data_ = nullptr;
    length_ = 0;
}

bool HostBytes::Assign(const uint8_t* bytes, size_t length, uint8_t fill, const char* what) {
    void* block = nullptr;
    // Whether the block holds `bytes` already: a reused block is refitted
    // with them, not filled first and then copied over.
    bool copied = false;
    if (Options().specialPool) {
        block = guarded_ ? GuardedRefit(data_, length, fill, what, bytes) : nullptr;
        copied = block != nullptr;
        if (!block) {
            Free();
            block = GuardedAllocate(length, fill, what ? what : "a host buffer");
            guarded_ = block != nullptr;
        }
    }
    if (block) {
        data_ = static_cast<uint8_t*>(block);
    } else {  // guard bytes: without special pool, or when it has no room
        Free();
        // The bytes, then the guard bytes after them, each written once, in
        // the storage of the last block.
        UnpoisonKept(plain_);
        if (bytes) {
            plain_.assign(bytes, bytes + length);
        } else {
            plain_.assign(length, fill);
        }
        plain_.insert(plain_.end(), kGuardBytes, kGuardByte);
        data_ = plain_.data();
        copied = true;
    }
    length_ = length;
    if (bytes && length && !copied) memcpy(data_, bytes, length);
    return true;
}

bool HostBytes::Intact() const {
    if (guarded_) return GuardedHeadIntact(data_);
    for (size_t i = length_; i < plain_.size(); ++i) {
        if (plain_[i] != kGuardByte) return false;
    }
    return true;
}

}  // namespace internal

void ReportSpecialPoolFaults() { internal::ReportGuardFaults(); }

}  // namespace host
