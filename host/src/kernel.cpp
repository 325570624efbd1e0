// Spin locks, events, interlocked operations, time and the C runtime pieces
// of the kernel, as the driver sees them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"

namespace host {
namespace {

std::mutex eventMu;
std::condition_variable eventCv;
int eventWaiters = 0;  // guarded by eventMu
unsigned randState = 1;
std::mutex randMu;

// Lock order. Each processor's spin locks, in the order it took them (only
// the processor itself touches its list, at DISPATCH_LEVEL), and every pair
// ever seen nested: a lock taken while holding one that was elsewhere taken
// while holding it is a cycle, and two processors can deadlock on it.
std::vector<const void*> heldBy[internal::kMaxProcessors];
std::mutex orderMu;
std::map<const void*, std::set<const void*>> takenWhileHolding;  // A -> locks taken under A
std::map<const void*, std::string> lockNames;  // the host's own locks, by address
std::set<std::pair<const void*, const void*>> cyclesReported;  // (taken, held): said once
// Moves on (under orderMu) whenever the pairs seen gain one or lose any;
// never reset.
std::atomic<uint64_t> orderChanges{1};

// Nestings (a lock taken while holding another) a thread has had checked,
// with `orderChanges` as it was then: while it has not moved, checking the
// same nesting again finds what it found then (nothing new to record, and
// any cycle through it reported already), so it is not checked again.
struct NestingChecked {
    uint64_t changes = 0;
    const void* outer = nullptr;
    const void* inner = nullptr;
};
constexpr unsigned kNestingsChecked = 8;
thread_local NestingChecked nestingsChecked[kNestingsChecked];
thread_local unsigned nestingsCheckedNext = 0;

bool NestingsChecked(const std::vector<const void*>& held, const void* lock) {
    uint64_t changes = orderChanges.load(std::memory_order_acquire);
    for (const void* outer : held) {
        if (outer == lock) continue;
        bool found = false;
        for (const NestingChecked& n : nestingsChecked) {
            if (n.inner == lock && n.outer == outer && n.changes == changes) {
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

// Whether `to` was ever taken, directly or through others, while holding `from`.
bool TakenUnder(const void* from, const void* to) {
    std::vector<const void*> pending{from};
    std::set<const void*> seen;
    while (!pending.empty()) {
        const void* lock = pending.back();
        pending.pop_back();
        if (!seen.insert(lock).second) continue;
        auto it = takenWhileHolding.find(lock);
        if (it == takenWhileHolding.end()) continue;
        if (it->second.count(to)) return true;
        pending.insert(pending.end(), it->second.begin(), it->second.end());
    }
    return false;
}

// "spin lock 0x... (the protocol lock of adapter 0x...)", or where in a
// pool block a driver's lock lies. Caller holds orderMu.
std::string DescribeLock(const void* lock) {
    char text[160];
    auto named = lockNames.find(lock);
    if (named != lockNames.end()) {
        snprintf(text, sizeof text, "spin lock %p (%s)", lock, named->second.c_str());
        return text;
    }
    if (auto block = LedgerFindContaining(Resource::PoolMemory, lock)) {
        char tag[5] = {};
        for (int i = 0; i < 4; ++i) {
            char c = static_cast<char>((block->tag >> (8 * i)) & 0xFF);
            tag[i] = c >= 0x20 && c < 0x7F ? c : '?';
        }
        snprintf(text, sizeof text, "spin lock %p (the driver's, at offset %zu of pool block tag '%s')",
                 lock,
                 static_cast<size_t>(reinterpret_cast<uintptr_t>(lock) -
                                     reinterpret_cast<uintptr_t>(block->key)),
                 tag);
        return text;
    }
    snprintf(text, sizeof text, "spin lock %p", lock);
    return text;
}

void CheckLockOrder(const void* lock, unsigned processor, const char* function) {
    const std::vector<const void*>& held = heldBy[processor];
    if (held.empty() || NestingsChecked(held, lock)) return;
    std::vector<std::string> cycles;
    {
        std::lock_guard<std::mutex> guard(orderMu);
        for (const void* outer : held) {
            if (outer == lock) continue;  // reported as a deadlock by the caller
            if (TakenUnder(lock, outer) && cyclesReported.insert({lock, outer}).second) {
                cycles.push_back(std::string(function) + ": " + DescribeLock(lock) +
                                 " taken while holding " + DescribeLock(outer) +
                                 ", which was taken elsewhere while holding it: a lock-order "
                                 "cycle, which deadlocks when two processors meet in it");
            }
            if (takenWhileHolding[outer].insert(lock).second) orderChanges.fetch_add(1);
        }
        uint64_t changes = orderChanges.load(std::memory_order_relaxed);
        for (const void* outer : held) {
            if (outer == lock) continue;
            nestingsChecked[nestingsCheckedNext++ % kNestingsChecked] = {changes, outer, lock};
        }
    }
    for (auto& message : cycles) Violation("%s", message.c_str());
}

void NoteHeld(const void* lock, unsigned processor) { heldBy[processor].push_back(lock); }

void NoteReleased(const void* lock, unsigned processor) {
    if (processor >= internal::kMaxProcessors) return;
    std::vector<const void*>& held = heldBy[processor];
    auto it = std::find(held.rbegin(), held.rend(), lock);
    if (it != held.rend()) held.erase(std::next(it).base());
}

// A freed lock's address may serve another lock next.
void ForgetLockOrder(const void* lock) {
    std::lock_guard<std::mutex> guard(orderMu);
    orderChanges.fetch_add(1);
    lockNames.erase(lock);
    for (auto it = cyclesReported.begin(); it != cyclesReported.end();) {
        it = it->first == lock || it->second == lock ? cyclesReported.erase(it) : std::next(it);
    }
    if (takenWhileHolding.empty()) return;
    takenWhileHolding.erase(lock);
    for (auto& entry : takenWhileHolding) entry.second.erase(lock);
}

void ForgetAllLockOrder() {
    std::lock_guard<std::mutex> guard(orderMu);
    orderChanges.fetch_add(1);
    takenWhileHolding.clear();
    lockNames.clear();
    cyclesReported.clear();
    for (auto& held : heldBy) held.clear();
}
const bool registered = (internal::RegisterResetHook(ForgetAllLockOrder), true);

}  // namespace

std::vector<std::string> LockOrderSeen() {
    std::lock_guard<std::mutex> guard(orderMu);
    std::vector<std::string> pairs;
    for (auto& outer : takenWhileHolding) {
        for (const void* inner : outer.second) {
            pairs.push_back(DescribeLock(outer.first) + " -> " + DescribeLock(inner));
        }
    }
    return pairs;
}

int ThreadsWaitingOnEvents() {
    std::lock_guard<std::mutex> lock(eventMu);
    return eventWaiters;
}

namespace internal {
void ResetKernel(const WorldOptions& options) {
    std::lock_guard<std::mutex> lock(randMu);
    randState = options.randSeed;
}
}  // namespace internal
}  // namespace host

using host::Violation;

// ---------------------------------------------------------------------------
// Spin locks
// ---------------------------------------------------------------------------
// The lock word: 0 free; the holder's processor number shifted up, with the
// low bit set, while held. Any other value is a lock never initialized (or
// overwritten).
namespace {
constexpr KSPIN_LOCK kHeldBit = 1;
constexpr unsigned kOwnerShift = 8;
KSPIN_LOCK HeldBy(unsigned processor) {
    return (static_cast<KSPIN_LOCK>(processor) << kOwnerShift) | kHeldBit;
}
// The holder of a held word, or ~0u when the word is no lock's.
unsigned Holder(KSPIN_LOCK word) {
    if ((word & ((KSPIN_LOCK{1} << kOwnerShift) - 1)) != kHeldBit) return ~0u;
    KSPIN_LOCK owner = word >> kOwnerShift;
    return owner < host::internal::kMaxProcessors ? static_cast<unsigned>(owner) : ~0u;
}
}  // namespace

void NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    SpinLock->SpinLock = 0;
    SpinLock->OldIrql = PASSIVE_LEVEL;
    host::LedgerAdd(host::Resource::SpinLock, SpinLock, sizeof(*SpinLock), 0, nullptr,
                    "spin lock");
}

void NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    if (!host::LedgerRemove(host::Resource::SpinLock, SpinLock)) {
        Violation("NdisFreeSpinLock(%p): not an allocated spin lock (freed twice?)",
                  static_cast<void*>(SpinLock));
        return;
    }
    KSPIN_LOCK word = __atomic_load_n(&SpinLock->SpinLock, __ATOMIC_RELAXED);
    if (word) {
        Violation("NdisFreeSpinLock(%p): the lock is still held by processor %u",
                  static_cast<void*>(SpinLock), Holder(word));
    }
    host::ForgetLockOrder(SpinLock);
}

// Busy-wait rounds between two yields of a waiting thread.
constexpr unsigned kSpinsBeforeYield = 256;

// `allocated`: the lock must have come from NdisAllocateSpinLock (the NDIS
// calls); a kernel spin lock needs only its word set to 0.
static void TakeSpinLock(PKSPIN_LOCK lock, const char* function, bool allocated) {
    if (allocated && !host::LedgerHolds(host::Resource::SpinLock, lock)) {
        host::FatalViolation("%s(%p): the spin lock was never allocated (or was freed)", function,
                             static_cast<void*>(lock));
    }
    unsigned me = host::CurrentProcessor();
    host::CheckLockOrder(lock, me, function);
    unsigned spins = 0;
    for (;;) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, HeldBy(me), false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        unsigned owner = Holder(expected);
        if (owner == ~0u) {
            host::FatalViolation("%s(%p): not an initialized spin lock (its word holds %#llx)",
                                 function, static_cast<void*>(lock),
                                 static_cast<unsigned long long>(expected));
        }
        if (owner == me) {
            host::FatalViolation("%s(%p): processor %u acquires a spin lock it already holds: "
                                 "deadlock",
                                 function, static_cast<void*>(lock), me);
        }
        if (!host::IsConcurrent()) {
            host::FatalViolation("%s(%p): processor %u waits for a spin lock held by processor "
                                 "%u, which cannot run meanwhile: deadlock",
                                 function, static_cast<void*>(lock), me, owner);
        }
        // The holder runs at DISPATCH_LEVEL on a processor of its own and
        // holds the lock for moments: spin a while, as a spin lock does, and
        // give the thread up only when the holder seems not to be running.
        if (++spins % kSpinsBeforeYield == 0) {
            std::this_thread::yield();
        } else {
            host::internal::CpuRelax();
        }
    }
    host::NoteHeld(lock, me);
    host::internal::NoteSpinLockAcquired();
}

static bool DropSpinLock(PKSPIN_LOCK lock, const char* function) {
    KSPIN_LOCK word = __atomic_load_n(lock, __ATOMIC_RELAXED);
    unsigned owner = Holder(word);
    if (owner == ~0u) {
        Violation(word ? "%s(%p): not an initialized spin lock" : "%s(%p): the spin lock is not held",
                  function, static_cast<void*>(lock));
        return false;
    }
    unsigned me = host::CurrentProcessor();
    if (owner != me) {
        Violation("%s(%p): processor %u releases a spin lock held by processor %u", function,
                  static_cast<void*>(lock), me, owner);
    }
    host::NoteReleased(lock, owner);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    host::internal::NoteSpinLockReleased();
    return true;
}

void NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    host::RequireIrql("NdisAcquireSpinLock", PASSIVE_LEVEL, DISPATCH_LEVEL);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    TakeSpinLock(&SpinLock->SpinLock, "NdisAcquireSpinLock", true);
    SpinLock->OldIrql = old;
}

void NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    host::RequireIrql("NdisReleaseSpinLock", DISPATCH_LEVEL, DISPATCH_LEVEL);
    KIRQL old = SpinLock->OldIrql;
    if (DropSpinLock(&SpinLock->SpinLock, "NdisReleaseSpinLock")) KfLowerIrql(old);
}

void NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    host::RequireIrql("NdisDprAcquireSpinLock", DISPATCH_LEVEL, DISPATCH_LEVEL);
    TakeSpinLock(&SpinLock->SpinLock, "NdisDprAcquireSpinLock", true);
}

void NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    host::RequireIrql("NdisDprReleaseSpinLock", DISPATCH_LEVEL, DISPATCH_LEVEL);
    DropSpinLock(&SpinLock->SpinLock, "NdisDprReleaseSpinLock");
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    host::RequireIrql("KeAcquireSpinLockRaiseToDpc", PASSIVE_LEVEL, DISPATCH_LEVEL);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    TakeSpinLock(SpinLock, "KeAcquireSpinLockRaiseToDpc", false);
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    host::RequireIrql("KeReleaseSpinLock", DISPATCH_LEVEL, DISPATCH_LEVEL);
    if (DropSpinLock(SpinLock, "KeReleaseSpinLock")) KfLowerIrql(NewIrql);
}

// ---------------------------------------------------------------------------
// The host's own spin locks (the protocols' locks)
// ---------------------------------------------------------------------------
namespace host {
namespace internal {
namespace {
thread_local char threadMark;  // its address tells one thread from another
}  // namespace

void InitHostSpinLock(HostSpinLock* lock, const std::string& name) {
    lock->lock = NDIS_SPIN_LOCK{};
    lock->owner.store(nullptr);
    lock->depth = 0;
    std::lock_guard<std::mutex> guard(orderMu);
    lockNames[&lock->lock] = name;
}

void DestroyHostSpinLock(HostSpinLock* lock) { ForgetLockOrder(&lock->lock); }

void AcquireHostSpinLock(HostSpinLock* lock) {
    if (lock->owner.load(std::memory_order_relaxed) == &threadMark) {
        ++lock->depth;  // the holder, called back from below: it knows it holds it
        return;
    }
    KIRQL old = KfRaiseIrql(CurrentIrql() > DISPATCH_LEVEL ? CurrentIrql() : DISPATCH_LEVEL);
    TakeSpinLock(&lock->lock.SpinLock, "a protocol's NdisAcquireSpinLock", false);
    lock->owner.store(&threadMark, std::memory_order_relaxed);
    lock->depth = 1;
    lock->oldIrql = old;
}

void ReleaseHostSpinLock(HostSpinLock* lock) {
    if (--lock->depth > 0) return;
    KIRQL old = lock->oldIrql;
    lock->owner.store(nullptr, std::memory_order_relaxed);
    if (DropSpinLock(&lock->lock.SpinLock, "a protocol's NdisReleaseSpinLock")) KfLowerIrql(old);
}

}  // namespace internal
}  // namespace host

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------
void NdisInitializeEvent(PNDIS_EVENT Event) {
    host::RequireIrql("NdisInitializeEvent", PASSIVE_LEVEL, PASSIVE_LEVEL);
    __atomic_store_n(&Event->Signalled, 0, __ATOMIC_RELEASE);
    Event->HostInitialized = 0x45564e54;  // "EVNT"
}

static void CheckEvent(PNDIS_EVENT Event, const char* function) {
    if (Event->HostInitialized != 0x45564e54) {
        host::FatalViolation("%s(%p): the event was never initialized", function,
                             static_cast<void*>(Event));
    }
}

void NdisSetEvent(PNDIS_EVENT Event) {
    host::RequireIrql("NdisSetEvent", PASSIVE_LEVEL, DISPATCH_LEVEL);
    CheckEvent(Event, "NdisSetEvent");
    {
        std::lock_guard<std::mutex> lock(host::eventMu);
        __atomic_store_n(&Event->Signalled, 1, __ATOMIC_RELEASE);
    }
    host::eventCv.notify_all();
}

void NdisResetEvent(PNDIS_EVENT Event) {
    host::RequireIrql("NdisResetEvent", PASSIVE_LEVEL, DISPATCH_LEVEL);
    CheckEvent(Event, "NdisResetEvent");
    __atomic_store_n(&Event->Signalled, 0, __ATOMIC_RELEASE);
}

BOOLEAN NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait) {
    host::RequireIrql("NdisWaitEvent", PASSIVE_LEVEL, PASSIVE_LEVEL);
    CheckEvent(Event, "NdisWaitEvent");
    bool forever = MsToWait == 0;
    host::Nanoseconds timeout = static_cast<host::Nanoseconds>(MsToWait) * host::kMillisecond;
    if (!host::IsConcurrent()) {
        return host::internal::DeterministicWait(&Event->Signalled, timeout, forever) ? TRUE
                                                                                      : FALSE;
    }
    std::unique_lock<std::mutex> lock(host::eventMu);
    auto signalled = [&] { return __atomic_load_n(&Event->Signalled, __ATOMIC_ACQUIRE) != 0; };
    ++host::eventWaiters;
    bool set = true;
    if (forever) {
        host::eventCv.wait(lock, signalled);
    } else {
        set = host::eventCv.wait_for(lock, std::chrono::nanoseconds(timeout), signalled);
    }
    --host::eventWaiters;
    return set ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Interlocked operations
// ---------------------------------------------------------------------------
LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
LONGLONG _InterlockedCompareExchange64(LONGLONG volatile* Destination, LONGLONG Exchange,
                                       LONGLONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------
void NdisGetSystemUpTime(PULONG pSystemUpTime) {
    *pSystemUpTime = static_cast<ULONG>(host::Now() / host::kMillisecond);
}

void NdisGetCurrentSystemTime(PLARGE_INTEGER pSystemTime) {
    pSystemTime->QuadPart = host::Options().bootSystemTime + host::Now() / 100;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
    // Windows asks callers to stall for no more than 50 us at a time.
    if (MicroSeconds > 50) {
        Violation("KeStallExecutionProcessor(%u): stalls are limited to 50 microseconds",
                  MicroSeconds);
    }
    host::Nanoseconds d = static_cast<host::Nanoseconds>(MicroSeconds) * host::kMicrosecond;
    if (host::IsConcurrent()) {
        auto end = std::chrono::steady_clock::now() + std::chrono::nanoseconds(d);
        while (std::chrono::steady_clock::now() < end) {
        }
        return;
    }
    // A busy wait: time passes on this processor, nothing else runs here.
    host::internal::AdvanceClockWithoutRunning(d);
}

// ---------------------------------------------------------------------------
// C runtime: the kernel's rand is the Microsoft C runtime's generator.
// ---------------------------------------------------------------------------
extern "C" int zr48_host_rand(void) noexcept {
    std::lock_guard<std::mutex> lock(host::randMu);
    host::randState = host::randState * 214013u + 2531011u;
    return static_cast<int>((host::randState >> 16) & 0x7FFF);
}

extern "C" void zr48_host_srand(unsigned int seed) noexcept {
    std::lock_guard<std::mutex> lock(host::randMu);
    host::randState = seed;
}
