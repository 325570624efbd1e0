// Miniport timers, as NDIS 5 has them: one-shot, re-armed by setting them
// again. Setting a pending timer replaces its expiry (the routine runs once,
// at the latest interval); cancelling reports whether it removed a pending
// expiry and does not wait for a routine already running on another
// processor. The routine runs at DISPATCH_LEVEL as
// routine(NULL, FunctionContext, NULL, NULL).
//
// The host keeps nothing for a timer outside its structure except while it is
// armed or its routine runs (NDIS 5 has no call that frees a timer). What an
// expiry needs is copied when the timer is set, so an expiry never reads the
// structure: a driver that frees a block holding an armed timer is reported
// by NdisFreeMemory (the ledger's Timer entry lies inside the block), and the
// expiry does not then read freed memory itself.
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_devices.h"

namespace host {
namespace {

constexpr LONG kInitialized = 0x544d5253;  // "TMRS"

struct Armed {
    uint64_t serial;  // which setting this expiry belongs to
    WorkId work;
    PNDIS_TIMER_FUNCTION function;
    PVOID context;
    NDIS_HANDLE owner;
};

std::mutex mu;
std::map<const void*, Armed> armed;   // by timer address
std::map<const void*, int> running;   // routines running, by timer address
uint64_t nextSerial = 1;

void Forget() {
    std::lock_guard<std::mutex> lock(mu);
    armed.clear();
    running.clear();
    nextSerial = 1;
}
const bool registered = (internal::RegisterResetHook(Forget), true);

bool Initialized(PNDIS_TIMER timer, const char* function) {
    if (!timer) {
        Violation("%s(NULL): no timer", function);
        return false;
    }
    if (timer->HostInitialized != kInitialized) {
        Violation("%s(%p): the timer was never initialized with NdisMInitializeTimer", function,
                  static_cast<void*>(timer));
        return false;
    }
    return true;
}

// Removes a pending expiry; false when there is none. Caller holds mu.
bool Disarm(const void* timer) {
    auto it = armed.find(timer);
    if (it == armed.end()) return false;
    Cancel(it->second.work);  // an expiry already under way finds the entry gone
    armed.erase(it);
    LedgerRemove(Resource::Timer, timer);
    return true;
}

void Expire(const void* timer, uint64_t serial) {
    Armed a;
    {
        std::lock_guard<std::mutex> lock(mu);
        auto it = armed.find(timer);
        if (it == armed.end() || it->second.serial != serial) return;  // replaced or cancelled
        a = it->second;
        armed.erase(it);
        LedgerRemove(Resource::Timer, timer);
        if (running[timer]++ == 0) {
            LedgerAdd(Resource::TimerRoutine, timer, 0, 0, a.owner, "");
        }
    }
    RunAtIrql(DISPATCH_LEVEL, "timer routine",
              [&] { a.function(nullptr, a.context, nullptr, nullptr); });
    std::lock_guard<std::mutex> lock(mu);
    if (--running[timer] == 0) {
        running.erase(timer);
        LedgerRemove(Resource::TimerRoutine, timer);
    }
}

void Arm(PNDIS_TIMER timer, UINT milliseconds) {
    auto* t = reinterpret_cast<PNDIS_MINIPORT_TIMER>(timer);
    std::lock_guard<std::mutex> lock(mu);
    Disarm(timer);
    uint64_t serial = nextSerial++;
    Armed a{serial, 0, t->MiniportTimerFunction, t->MiniportTimerContext, t->Miniport};
    a.work = ScheduleAfter(static_cast<Nanoseconds>(milliseconds) * kMillisecond,
                           [timer, serial] { Expire(timer, serial); }, "timer routine");
    armed[timer] = a;
    char what[32];
    snprintf(what, sizeof what, "(%u ms)", milliseconds);
    LedgerAdd(Resource::Timer, timer, 0, 0, a.owner, what);
}

}  // namespace

namespace internal {

void AwaitReturningTimerRoutines(const void* begin, size_t length, const void* owner) {
    if (!IsConcurrent()) return;
    auto inScope = [&](const LedgerEntry& e) {
        if (length == 0) return e.owner == owner;
        auto k = reinterpret_cast<uintptr_t>(e.key), b = reinterpret_cast<uintptr_t>(begin);
        return k >= b && k < b + length;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    for (;;) {
        bool any = false;
        for (auto& e : LedgerEntriesOf(Resource::TimerRoutine)) any = any || inScope(e);
        if (!any || std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::yield();
    }
}

size_t ArmedTimers(NDIS_HANDLE miniport) {
    std::lock_guard<std::mutex> lock(mu);
    size_t n = 0;
    for (auto& a : armed) n += a.second.owner == miniport;
    return n;
}

void ForgetMiniportTimers(NDIS_HANDLE miniport) {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<const void*> theirs;
    for (auto& a : armed) {
        if (a.second.owner == miniport) theirs.push_back(a.first);
    }
    for (auto* timer : theirs) Disarm(timer);
}

}  // namespace internal
}  // namespace host

void NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
    host::RequireIrql("NdisMInitializeTimer", PASSIVE_LEVEL, PASSIVE_LEVEL);
    if (!Timer || !TimerFunction || !MiniportAdapterHandle) {
        host::Violation("NdisMInitializeTimer(%p, %p, %p): needs a timer, an adapter handle and "
                        "a routine",
                        static_cast<void*>(Timer), MiniportAdapterHandle,
                        reinterpret_cast<void*>(TimerFunction));
        return;
    }
    bool wasArmed;
    {
        std::lock_guard<std::mutex> lock(host::mu);
        wasArmed = Timer->Timer.HostInitialized == host::kInitialized && host::Disarm(Timer);
    }
    if (wasArmed) {
        host::Violation("NdisMInitializeTimer(%p): the timer is armed; its pending expiry is lost",
                        static_cast<void*>(Timer));
    }
    Timer->MiniportTimerFunction = TimerFunction;
    Timer->MiniportTimerContext = FunctionContext;
    Timer->Miniport = MiniportAdapterHandle;
    Timer->Timer.HostInitialized = host::kInitialized;
}

void NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay) {
    host::RequireIrql("NdisSetTimer", PASSIVE_LEVEL, DISPATCH_LEVEL);
    if (host::Initialized(Timer, "NdisSetTimer")) host::Arm(Timer, MillisecondsToDelay);
}

void NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay) {
    host::RequireIrql("NdisMSetTimer", PASSIVE_LEVEL, DISPATCH_LEVEL);
    if (host::Initialized(Timer ? &Timer->Timer : nullptr, "NdisMSetTimer")) {
        host::Arm(&Timer->Timer, MillisecondsToDelay);
    }
}

void NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
    host::RequireIrql("NdisMCancelTimer", PASSIVE_LEVEL, DISPATCH_LEVEL);
    BOOLEAN cancelled = FALSE;
    if (host::Initialized(Timer ? &Timer->Timer : nullptr, "NdisMCancelTimer")) {
        std::lock_guard<std::mutex> lock(host::mu);
        cancelled = host::Disarm(&Timer->Timer) ? TRUE : FALSE;
    }
    if (!TimerCancelled) {
        host::Violation("NdisMCancelTimer(%p): TimerCancelled is NULL", static_cast<void*>(Timer));
        return;
    }
    *TimerCancelled = cancelled;
}
