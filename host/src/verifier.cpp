// The verifier's ledger, fault injection and violation reporting.
#include "host/verifier.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "internal.h"

namespace host {
namespace {

struct Faults {
    unsigned failAt = 0;  // attempt number that fails; 0 none
    bool failAll = false;
    uint64_t attempts = 0;
};

// The ledger is ordered by kind, then address: what a kind holds, or holds
// within an address range, is a range of it, found in O(log n). A halt that
// frees n blocks then costs O(n log n), not O(n^2).
using LedgerKey = std::pair<int, uintptr_t>;

LedgerKey KeyOf(Resource kind, const void* key) {
    return {static_cast<int>(kind), reinterpret_cast<uintptr_t>(key)};
}

// The ledger's tree nodes, kept for the next entry when an entry goes (up
// to kKept of them): a run adds and removes pool blocks, packets and
// buffers by the thousand, and a node each would be a heap block each time.
// Only the ledger allocates with it, and only under its lock held
// exclusively (lookups allocate nothing).
template <typename T>
struct RecycledNodes {
    using value_type = T;
    static constexpr size_t kKept = 4096;
    RecycledNodes() = default;
    template <typename U>
    RecycledNodes(const RecycledNodes<U>&) {}  // NOLINT: as std::allocator converts
    T* allocate(size_t n) {
        if (n == 1 && list().head) {
            Free* node = list().head;
            list().head = node->next;
            --list().count;
            return reinterpret_cast<T*>(node);
        }
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, size_t n) {
        if (n == 1 && list().count < kKept) {
            auto* node = reinterpret_cast<Free*>(p);
            node->next = list().head;
            list().head = node;
            ++list().count;
            return;
        }
        std::allocator<T>().deallocate(p, n);
    }
    bool operator==(const RecycledNodes&) const { return true; }
    bool operator!=(const RecycledNodes&) const { return false; }

private:
    static_assert(sizeof(T) >= sizeof(void*), "a node holds the free list's link");
    struct Free {
        Free* next;
    };
    struct List {
        Free* head = nullptr;
        size_t count = 0;
    };
    static List& list() {
        static List kept;
        return kept;
    }
};

struct Verifier {
    // Shared by lookups (every spin lock acquisition asks the ledger),
    // exclusive for changes.
    host::internal::ReadMostlyMutex mu;
    std::map<LedgerKey, LedgerEntry, std::less<LedgerKey>,
             RecycledNodes<std::pair<const LedgerKey, LedgerEntry>>>
        ledger;
    size_t counts[static_cast<int>(Resource::Count)] = {};
    uint64_t serial = 0;
    Faults faults[static_cast<int>(Resource::Count)];
    std::vector<std::string> violations;
    ViolationHandler handler;
    // Per kind, moves on (under the exclusive lock) whenever an entry of the
    // kind goes; never reset. What a thread found held stays held while the
    // count has not moved (see LedgerHolds).
    std::atomic<uint64_t> removals[static_cast<int>(Resource::Count)] = {};
};

// Entries a thread found held, with the kind's removal count it saw then.
struct HeldSeen {
    int kind = -1;
    uintptr_t key = 0;
    uint64_t removals = 0;
};
constexpr unsigned kHeldSeen = 8;
thread_local HeldSeen heldSeen[kHeldSeen];
thread_local unsigned heldSeenNext = 0;

// Caller holds the lock exclusively, having removed an entry of `kind`.
void Removed(Verifier& v, int kind) { v.removals[kind].fetch_add(1, std::memory_order_release); }

Verifier& V() {
    static Verifier* v = new Verifier();
    return *v;
}

std::string Format(const char* format, va_list args) {
    char buffer[1024];
    vsnprintf(buffer, sizeof buffer, format, args);
    return buffer;
}

std::string TagText(uint32_t tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

void Report(const std::string& message) {
    ViolationHandler handler;
    {
        Verifier& v = V();
        std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
        v.violations.push_back(message);
        handler = v.handler;
    }
    if (handler) {
        handler(message);
    } else {
        fprintf(stderr, "zr48 host verifier: %s\n", message.c_str());
        abort();
    }
}

}  // namespace

const char* ResourceName(Resource kind) {
    switch (kind) {
    case Resource::PoolMemory: return "pool memory";
    case Resource::SpinLock: return "spin lock";
    case Resource::Configuration: return "configuration handle";
    case Resource::PciConfig: return "PCI configuration read";
    case Resource::IoSpace: return "mapped I/O space";
    case Resource::MapRegisters: return "map registers";
    case Resource::SharedMemory: return "shared memory";
    case Resource::Interrupt: return "interrupt";
    case Resource::Timer: return "armed timer";
    case Resource::TimerRoutine: return "running timer routine";
    case Resource::File: return "open file";
    case Resource::FileMapping: return "file mapping";
    case Resource::ShutdownHandler: return "shutdown handler";
    case Resource::PacketPool: return "packet pool";
    case Resource::BufferPool: return "buffer pool";
    case Resource::Packet: return "packet";
    case Resource::Buffer: return "buffer";
    case Resource::Count: break;
    }
    return "?";
}

void LedgerAdd(Resource kind, const void* key, size_t size, uint32_t tag, const void* owner,
               std::string what) {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    auto inserted = v.ledger.insert_or_assign(
        KeyOf(kind, key), LedgerEntry{kind, key, size, tag, owner, std::move(what), ++v.serial});
    if (inserted.second) ++v.counts[static_cast<int>(kind)];
}

bool LedgerRemove(Resource kind, const void* key) {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    if (v.ledger.erase(KeyOf(kind, key)) == 0) return false;
    --v.counts[static_cast<int>(kind)];
    Removed(v, static_cast<int>(kind));
    return true;
}

std::optional<LedgerEntry> LedgerTake(Resource kind, const void* key) {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    auto it = v.ledger.find(KeyOf(kind, key));
    if (it == v.ledger.end()) return std::nullopt;
    LedgerEntry entry = std::move(it->second);
    v.ledger.erase(it);
    --v.counts[static_cast<int>(kind)];
    Removed(v, static_cast<int>(kind));
    return entry;
}

// Asked on every spin lock acquisition. An entry found held stays held until
// an entry of its kind is removed: while the kind's removal count is the one
// seen when it was found, the answer stands without a look at the ledger.
bool LedgerHolds(Resource kind, const void* key) {
    Verifier& v = V();
    auto k = static_cast<int>(kind);
    auto a = reinterpret_cast<uintptr_t>(key);
    uint64_t removals = v.removals[k].load(std::memory_order_acquire);
    for (const HeldSeen& seen : heldSeen) {
        if (seen.key == a && seen.kind == k && seen.removals == removals) return true;
    }
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    if (v.ledger.count(KeyOf(kind, key)) == 0) return false;
    // Removals change only under the exclusive lock: the count read now is
    // the one this answer holds for.
    heldSeen[heldSeenNext++ % kHeldSeen] = {k, a, v.removals[k].load(std::memory_order_relaxed)};
    return true;
}

std::optional<LedgerEntry> LedgerFind(Resource kind, const void* key) {
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    auto it = v.ledger.find(KeyOf(kind, key));
    if (it == v.ledger.end()) return std::nullopt;
    return it->second;
}

std::optional<LedgerEntry> LedgerFindContaining(Resource kind, const void* address) {
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    auto it = v.ledger.upper_bound(KeyOf(kind, address));
    if (it == v.ledger.begin()) return std::nullopt;
    --it;
    if (it->first.first != static_cast<int>(kind)) return std::nullopt;
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    if (a - it->first.second >= (it->second.size ? it->second.size : 1)) return std::nullopt;
    return it->second;
}

void LedgerSetOwner(Resource kind, const void* key, const void* owner) {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    auto it = v.ledger.find(KeyOf(kind, key));
    if (it != v.ledger.end()) it->second.owner = owner;
}

uint64_t LedgerLatestSerial() {
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    return v.serial;
}

std::vector<LedgerEntry> LedgerEntries() {
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    std::vector<LedgerEntry> out;
    for (auto& e : v.ledger) out.push_back(e.second);
    return out;
}

std::vector<LedgerEntry> LedgerEntriesOf(Resource kind) {
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    std::vector<LedgerEntry> out;
    for (auto it = v.ledger.lower_bound(KeyOf(kind, nullptr));
         it != v.ledger.end() && it->first.first == static_cast<int>(kind); ++it) {
        out.push_back(it->second);
    }
    return out;
}

size_t LedgerCount(Resource kind) {
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    return v.counts[static_cast<int>(kind)];
}

size_t LedgerSize() {
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    return v.ledger.size();
}

void LedgerAdoptSince(uint64_t serial, const void* owner) {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    if (v.serial <= serial) return;  // nothing made since
    for (auto& e : v.ledger) {
        if (e.second.serial > serial && !e.second.owner) e.second.owner = owner;
    }
}

size_t LedgerCountOwnedBy(const void* owner) {
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    size_t n = 0;
    for (auto& e : v.ledger) n += e.second.owner == owner;
    return n;
}

std::vector<LedgerEntry> LedgerEntriesWithin(const void* begin, size_t length, Resource except) {
    auto b = reinterpret_cast<uintptr_t>(begin);
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    std::vector<LedgerEntry> out;
    for (int kind = 0; kind < static_cast<int>(Resource::Count); ++kind) {
        if (v.counts[kind] == 0 || kind == static_cast<int>(except)) continue;
        for (auto it = v.ledger.lower_bound({kind, b});
             it != v.ledger.end() && it->first.first == kind && it->first.second - b < length;
             ++it) {
            out.push_back(it->second);
        }
    }
    return out;
}

std::string LedgerReport() {
    auto entries = LedgerEntries();
    if (entries.empty()) return "nothing held";
    // Group by kind, tag and size so that a leak of many buffers reads as one line.
    std::map<std::tuple<int, uint32_t, size_t, std::string>, int> groups;
    for (auto& e : entries) groups[{static_cast<int>(e.kind), e.tag, e.size, e.what}]++;
    std::string s = std::to_string(entries.size()) + " held:";
    for (auto& g : groups) {
        auto kind = static_cast<Resource>(std::get<0>(g.first));
        s += "\n  ";
        s += ResourceName(kind);
        if (kind == Resource::PoolMemory) s += " tag '" + TagText(std::get<1>(g.first)) + "'";
        if (std::get<2>(g.first)) s += " (" + std::to_string(std::get<2>(g.first)) + " bytes)";
        if (!std::get<3>(g.first).empty()) s += " " + std::get<3>(g.first);
        if (g.second > 1) s += " x" + std::to_string(g.second);
    }
    return s;
}

void FailNth(Resource kind, unsigned n) {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    Faults& f = v.faults[static_cast<int>(kind)];
    f.failAt = n == 0 ? 0 : static_cast<unsigned>(f.attempts) + n;
}

void FailAll(Resource kind, bool on) {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    v.faults[static_cast<int>(kind)].failAll = on;
}

void ClearFaults() {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    for (auto& f : v.faults) {
        f.failAt = 0;
        f.failAll = false;
    }
}

bool ShouldFail(Resource kind) {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    Faults& f = v.faults[static_cast<int>(kind)];
    ++f.attempts;
    if (f.failAll) return true;
    if (f.failAt != 0 && f.attempts == f.failAt) {
        f.failAt = 0;
        return true;
    }
    return false;
}

uint64_t Attempts(Resource kind) {
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    return v.faults[static_cast<int>(kind)].attempts;
}

void SetViolationHandler(ViolationHandler handler) {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    v.handler = std::move(handler);
}

void Violation(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = Format(format, args);
    va_end(args);
    Report(message);
}

void FatalViolation(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = Format(format, args);
    va_end(args);
    fprintf(stderr, "zr48 host verifier (fatal): %s\n", message.c_str());
    fflush(stderr);
    abort();
}

std::vector<std::string> Violations() {
    ReportSpecialPoolFaults();
    Verifier& v = V();
    std::shared_lock<host::internal::ReadMostlyMutex> lock(v.mu);
    return v.violations;
}

void ClearViolations() {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    v.violations.clear();
}

void ResetVerifier() {
    Verifier& v = V();
    std::lock_guard<host::internal::ReadMostlyMutex> lock(v.mu);
    v.ledger.clear();
    for (int kind = 0; kind < static_cast<int>(Resource::Count); ++kind) Removed(v, kind);
    for (auto& n : v.counts) n = 0;
    v.serial = 0;
    for (auto& f : v.faults) f = Faults{};
    v.violations.clear();
}

}  // namespace host
