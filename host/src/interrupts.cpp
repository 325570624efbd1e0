// Interrupt delivery, as a PCI level-sensitive line and NDIS deliver it.
//
// While a line is asserted and interrupts are registered on its vector, the
// host takes the interrupt: it runs the ISRs chained on the vector at device
// IRQL, in registration order, until one recognizes it (as the kernel's
// chained dispatch does), and, when that ISR asks, queues the interrupt's
// deferred routine once (a deferred routine already queued is not queued
// again) to run at DISPATCH_LEVEL. The line is level-sensitive: if it is
// still asserted after a pass, the ISRs run again at once. Deliveries on one
// vector never overlap, so each ISR runs serialized with itself, as under its
// interrupt spin lock; the deferred routine may run on another processor
// meanwhile. Delivery is executor work queued for "now": in deterministic
// mode it runs when the test advances the clock or the driver waits.
//
// A line that stays asserted through kStormLimit passes is an interrupt
// storm: it is reported and the vector delivers nothing more until every
// interrupt on it has been deregistered.
//
// Only the ISR form (RequestIsr TRUE) on level-sensitive lines is supported;
// a shared vector requires every registration on it to ask for sharing.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/bus.h"
#include "host/interrupts.h"
#include "host/verifier.h"
#include "host/world.h"
#include "internal.h"
#include "internal_devices.h"

namespace host {
namespace {

using internal::MiniportHandlers;

constexpr int kStormLimit = 10000;
constexpr BOOLEAN kUnset = 0xCC;  // what the ISR's outputs hold until it sets them

struct Registration {
    PNDIS_MINIPORT_INTERRUPT interrupt;
    NDIS_HANDLE miniport;
    unsigned vector;
    bool connected = true;
    bool forgotten = false;  // dropped by the miniport block: run nothing more
    bool isrRunning = false;
    bool dpcQueued = false;
    WorkId dpcWork = 0;
    int dpcRunning = 0;
    std::atomic<bool> reportedNoHandlers{false};
    // The interrupt's spin lock: held while the ISR runs and while a
    // synchronize routine does (NdisMSynchronizeWithInterrupt).
    std::mutex isrLock;
};
using RegistrationPtr = std::shared_ptr<Registration>;

struct Vector {
    std::vector<RegistrationPtr> registered;
    bool shared = true;
    bool deliveryQueued = false;  // a delivery is queued or running
    InterruptCounts counts;
};

std::mutex mu;
std::condition_variable idle;  // an ISR or deferred routine finished
std::map<unsigned, Vector> vectors;
std::map<PNDIS_MINIPORT_INTERRUPT, RegistrationPtr> byInterrupt;
// The registration whose ISR or deferred routine this thread is running.
thread_local const Registration* runningHere = nullptr;
// Concurrent mode: the deferred routines that the ISRs of the delivery this
// thread is making asked for; the delivery runs them itself when its passes
// are over (see Deliver).
thread_local std::vector<RegistrationPtr>* deferredHere = nullptr;

void Forget() {
    std::lock_guard<std::mutex> lock(mu);
    vectors.clear();
    byInterrupt.clear();
}
const bool registered = (internal::RegisterResetHook(Forget), true);

void Deliver(unsigned vector);
void RunDeferred(const RegistrationPtr& r);

// Queues a delivery unless one is on its way. Caller holds mu.
void ScheduleDelivery(unsigned vector) {
    Vector& v = vectors[vector];
    if (v.deliveryQueued || v.counts.stormed || v.registered.empty()) return;
    v.deliveryQueued = true;
    ScheduleAfter(0, [vector] { Deliver(vector); }, "interrupt delivery");
}

// Queues the deferred routine once. Caller holds mu.
void QueueDeferred(const RegistrationPtr& r) {
    if (r->dpcQueued) return;
    r->dpcQueued = true;
    if (deferredHere) {
        r->dpcWork = 0;  // nothing to cancel: Disconnect waits for it instead
        deferredHere->push_back(r);
        return;
    }
    r->dpcWork = ScheduleAfter(0, [r] { RunDeferred(r); }, "MiniportHandleInterrupt");
}

// The miniport's handlers, when it has the one asked for (`isr` or the
// deferred routine); reported once per registration when it has not.
bool Handlers(Registration* r, MiniportHandlers* h, bool isr) {
    bool found = internal::LookupMiniport(r->miniport, h) &&
                 (isr ? h->isr != nullptr : h->handleInterrupt != nullptr);
    if (!found && !r->reportedNoHandlers.exchange(true)) {
        Violation("interrupt on vector %u: miniport %p has no registered %s", r->vector,
                  r->miniport, isr ? "MiniportIsr" : "MiniportHandleInterrupt");
    }
    return found;
}

// Checks the ISR's two answers; returns whether to queue the deferred routine.
bool CheckIsrAnswers(const Registration& r, BOOLEAN* recognized, BOOLEAN queue) {
    if (*recognized == kUnset || queue == kUnset) {
        Violation("MiniportIsr (vector %u) returned without setting %s", r.vector,
                  *recognized == kUnset ? "InterruptRecognized" : "QueueMiniportHandleInterrupt");
    }
    if (*recognized == kUnset) *recognized = FALSE;
    if (queue == kUnset) queue = FALSE;
    if (queue && !*recognized) {
        Violation("MiniportIsr (vector %u) asked for MiniportHandleInterrupt without recognizing "
                  "the interrupt; NDIS queues nothing then",
                  r.vector);
        return false;
    }
    return queue != FALSE;
}

// Runs one registration's ISR at device level; returns whether it recognized
// the interrupt.
bool RunIsr(const RegistrationPtr& r) {
    {
        std::lock_guard<std::mutex> lock(mu);
        if (!r->connected) return false;
        r->isrRunning = true;
    }
    MiniportHandlers h;
    BOOLEAN recognized = kUnset, queue = kUnset;
    bool found = Handlers(r.get(), &h, true);
    if (found) {
        runningHere = r.get();
        // The interrupt's lock is taken once this thread is the processor's
        // at device level: a synchronize routine holding it keeps its own
        // processor, and the ISR may be waiting for that one.
        RunAtIrql(HOST_DEVICE_LEVEL, "MiniportIsr", [&] {
            std::lock_guard<std::mutex> isrLock(r->isrLock);
            h.isr(&recognized, &queue, h.adapterContext);
        });
        runningHere = nullptr;
    }
    bool queueDpc = found && CheckIsrAnswers(*r, &recognized, queue);
    std::lock_guard<std::mutex> lock(mu);
    r->isrRunning = false;
    if (found) ++vectors[r->vector].counts.isrRuns;
    if (queueDpc) QueueDeferred(r);
    idle.notify_all();
    return found && recognized;
}

void RunDeferred(const RegistrationPtr& r) {
    {
        std::lock_guard<std::mutex> lock(mu);
        r->dpcQueued = false;
        r->dpcWork = 0;
        if (r->forgotten) {
            idle.notify_all();
            return;
        }
        ++r->dpcRunning;
    }
    MiniportHandlers h;
    if (Handlers(r.get(), &h, false)) {
        runningHere = r.get();
        RunAtIrql(DISPATCH_LEVEL, "MiniportHandleInterrupt",
                  [&] { h.handleInterrupt(h.adapterContext); });
        runningHere = nullptr;
    }
    std::lock_guard<std::mutex> lock(mu);
    --r->dpcRunning;
    ++vectors[r->vector].counts.deferredRuns;
    idle.notify_all();
}

enum class Pass { Stop, Run, Storm };

// Decides whether the delivery goes on; hands out the chain to run.
Pass NextPass(unsigned vector, int passes, std::vector<RegistrationPtr>* chain) {
    std::lock_guard<std::mutex> lock(mu);
    Vector& v = vectors[vector];
    // Asked under mu, so that a line raised meanwhile either is seen here
    // or finds no delivery queued and queues one.
    if (v.registered.empty() || !InterruptLineAsserted(vector)) {
        v.deliveryQueued = false;
        return Pass::Stop;
    }
    if (passes >= kStormLimit) {
        v.counts.stormed = true;
        v.deliveryQueued = false;
        return Pass::Storm;
    }
    chain->assign(v.registered.begin(), v.registered.end());
    ++v.counts.delivered;
    return Pass::Run;
}

void DeliverPasses(unsigned vector, std::vector<RegistrationPtr>& chain);

// In concurrent mode a deferred routine that an ISR asks for runs on the
// processor that took the interrupt as soon as the delivery is over, as the
// kernel runs a DPC queued from an ISR when the processor's IRQL drops below
// DISPATCH_LEVEL; queued as separate work it would cost a hand-over between
// threads per interrupt. It runs once however often it was asked for before
// it started; asked for again while it runs, it may run on another processor
// at the same time, as a DPC queued again can. The deterministic mode queues
// it as work, in the order the tests rely on.
// A delivery's lists (the chain of ISRs of a pass, the deferred routines
// asked for) are kept per thread from one delivery to the next, so that a
// delivery allocates nothing. Deliveries do not nest on a thread (an ISR or
// deferred routine never runs executor work); if one did, it would use lists
// of its own.
struct DeliveryLists {
    std::vector<RegistrationPtr> chain;
    std::vector<RegistrationPtr> deferred;
    bool inUse = false;
};
thread_local DeliveryLists listsHere;

class Lists {
public:
    Lists() : lists_(listsHere.inUse ? own_ : listsHere) { lists_.inUse = true; }
    ~Lists() {
        lists_.chain.clear();
        lists_.deferred.clear();
        lists_.inUse = false;
    }
    DeliveryLists& operator*() { return lists_; }

private:
    DeliveryLists own_;
    DeliveryLists& lists_;
};

void Deliver(unsigned vector) {
    Lists lists;
    if (!IsConcurrent()) return DeliverPasses(vector, (*lists).chain);
    std::vector<RegistrationPtr>& deferred = (*lists).deferred;
    deferredHere = &deferred;
    DeliverPasses(vector, (*lists).chain);
    deferredHere = nullptr;
    for (size_t i = 0; i < deferred.size(); ++i) RunDeferred(deferred[i]);
}

void DeliverPasses(unsigned vector, std::vector<RegistrationPtr>& chain) {
    bool recognized = false;
    for (int passes = 0;; ++passes) {
        chain.clear();
        switch (NextPass(vector, passes, &chain)) {
        case Pass::Stop: return;
        case Pass::Storm:
            Violation("interrupt storm on vector %u: the line stayed asserted through %d ISR "
                      "passes (%s); delivery on the vector is stopped",
                      vector, kStormLimit,
                      recognized ? "the ISR recognized it but did not silence the device"
                                 : "no ISR recognized it");
            return;
        case Pass::Run: break;
        }
        recognized = false;
        for (auto& r : chain) {
            if ((recognized = RunIsr(r))) break;
        }
    }
}

bool IsRegistered(PNDIS_MINIPORT_INTERRUPT interrupt) {
    std::lock_guard<std::mutex> lock(mu);
    return byInterrupt.count(interrupt) != 0;
}

// Puts a registration on its vector, unless the vector is taken by an
// interrupt that does not share it (or this one does not). Fills the
// structure as NDIS does, and delivers if the line is asserted already.
bool Connect(PNDIS_MINIPORT_INTERRUPT interrupt, NDIS_HANDLE miniport, unsigned vector,
             BOOLEAN shared) {
    auto r = std::make_shared<Registration>();
    r->interrupt = interrupt;
    r->miniport = miniport;
    r->vector = vector;
    MiniportHandlers h;
    bool known = internal::LookupMiniport(miniport, &h);
    std::lock_guard<std::mutex> lock(mu);
    Vector& v = vectors[vector];
    if (!v.registered.empty() && (!v.shared || !shared)) return false;
    if (v.registered.empty()) v.shared = shared;
    v.registered.push_back(r);
    byInterrupt[interrupt] = r;
    *interrupt = NDIS_MINIPORT_INTERRUPT{r.get(), known ? h.isr : nullptr,
                                         known ? h.handleInterrupt : nullptr, miniport, vector,
                                         shared, TRUE};
    if (InterruptLineAsserted(vector)) ScheduleDelivery(vector);
    return true;
}

// Takes a registration off its vector and waits until none of its ISR and
// deferred routine runs or is queued. A queued deferred routine runs here
// first when `runQueued` (NDIS lets it run before deregistration returns);
// otherwise it is dropped.
void Disconnect(const RegistrationPtr& r, bool runQueued, const char* function) {
    if (runningHere == r.get()) {
        FatalViolation("%s: called from the interrupt's own ISR or deferred routine, it would "
                       "wait for ever",
                       function);
    }
    std::unique_lock<std::mutex> lock(mu);
    r->connected = false;
    r->forgotten = !runQueued;
    Vector& v = vectors[r->vector];
    for (auto it = v.registered.begin(); it != v.registered.end(); ++it) {
        if (*it == r) {
            v.registered.erase(it);
            break;
        }
    }
    if (v.registered.empty()) v.counts.stormed = false;
    if (!IsConcurrent() && r->isrRunning) {
        FatalViolation("%s: the interrupt's ISR is running further up this processor's stack; "
                       "waiting for it would never end",
                       function);
    }
    idle.wait(lock, [&] { return !r->isrRunning; });
    if (r->dpcQueued && Cancel(r->dpcWork)) {
        lock.unlock();
        RunDeferred(r);  // runs the routine, or only unqueues it when forgotten
        lock.lock();
    }
    if (!IsConcurrent() && (r->dpcQueued || r->dpcRunning)) {
        FatalViolation("%s: the interrupt's deferred routine is running further up this "
                       "processor's stack; waiting for it would never end",
                       function);
    }
    idle.wait(lock, [&] { return !r->dpcQueued && r->dpcRunning == 0; });
}

}  // namespace

InterruptCounts InterruptCountsOf(unsigned vector) {
    std::lock_guard<std::mutex> lock(mu);
    auto it = vectors.find(vector);
    return it == vectors.end() ? InterruptCounts{} : it->second.counts;
}

size_t InterruptsRegisteredOn(unsigned vector) {
    std::lock_guard<std::mutex> lock(mu);
    auto it = vectors.find(vector);
    return it == vectors.end() ? 0 : it->second.registered.size();
}

namespace internal {

void InterruptLineRaised(unsigned vector) {
    std::lock_guard<std::mutex> lock(mu);
    ScheduleDelivery(vector);
}

size_t RegisteredInterrupts(NDIS_HANDLE miniport) {
    std::lock_guard<std::mutex> lock(mu);
    size_t n = 0;
    for (auto& e : byInterrupt) n += e.second->miniport == miniport;
    return n;
}

void ForgetMiniportInterrupts(NDIS_HANDLE miniport) {
    std::vector<RegistrationPtr> theirs;
    {
        std::lock_guard<std::mutex> lock(mu);
        for (auto it = byInterrupt.begin(); it != byInterrupt.end();) {
            if (it->second->miniport != miniport) {
                ++it;
                continue;
            }
            theirs.push_back(it->second);
            it = byInterrupt.erase(it);
        }
    }
    for (auto& r : theirs) {
        Disconnect(r, false, "ForgetMiniportDevices");
        LedgerRemove(Resource::Interrupt, r->interrupt);
    }
}

}  // namespace internal
}  // namespace host

using host::Violation;

NDIS_STATUS NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                   NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                   UINT InterruptLevel, BOOLEAN RequestIsr,
                                   BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode) {
    host::RequireIrql("NdisMRegisterInterrupt", PASSIVE_LEVEL, PASSIVE_LEVEL);
    (void)InterruptLevel;  // a PCI line's level is its vector here
    if (!Interrupt || !MiniportAdapterHandle) {
        Violation("NdisMRegisterInterrupt(%p, %p): needs an interrupt structure and an adapter "
                  "handle",
                  static_cast<void*>(Interrupt), MiniportAdapterHandle);
        return NDIS_STATUS_FAILURE;
    }
    if (!RequestIsr || InterruptMode != NdisInterruptLevelSensitive) {
        Violation("NdisMRegisterInterrupt(vector %u): the host delivers only level-sensitive PCI "
                  "interrupts to an ISR (RequestIsr TRUE, NdisInterruptLevelSensitive)",
                  InterruptVector);
        return NDIS_STATUS_NOT_SUPPORTED;
    }
    if (host::IsRegistered(Interrupt)) {
        Violation("NdisMRegisterInterrupt(%p): the interrupt is registered already",
                  static_cast<void*>(Interrupt));
        return NDIS_STATUS_FAILURE;
    }
    if (host::ShouldFail(host::Resource::Interrupt)) return NDIS_STATUS_RESOURCES;
    if (!host::Connect(Interrupt, MiniportAdapterHandle, InterruptVector, SharedInterrupt)) {
        return NDIS_STATUS_RESOURCE_CONFLICT;  // the line is another's, unshared
    }
    char what[32];
    snprintf(what, sizeof what, "on vector %u", InterruptVector);
    host::LedgerAdd(host::Resource::Interrupt, Interrupt, 0, 0, MiniportAdapterHandle, what);
    return NDIS_STATUS_SUCCESS;
}

void NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
    host::RequireIrql("NdisMDeregisterInterrupt", PASSIVE_LEVEL, PASSIVE_LEVEL);
    host::RegistrationPtr r;
    {
        std::lock_guard<std::mutex> lock(host::mu);
        auto it = host::byInterrupt.find(Interrupt);
        if (it == host::byInterrupt.end()) {
            Violation("NdisMDeregisterInterrupt(%p): the interrupt is not registered "
                      "(deregistered twice?)",
                      static_cast<void*>(Interrupt));
            return;
        }
        r = it->second;
        host::byInterrupt.erase(it);
    }
    host::Disconnect(r, true, "NdisMDeregisterInterrupt");
    host::LedgerRemove(host::Resource::Interrupt, Interrupt);
    Interrupt->HostInterrupt = nullptr;
}

// Runs the routine at device level holding the interrupt's spin lock, so
// that it never overlaps the ISR (on any processor): how a miniport shares
// state with its ISR.
BOOLEAN NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt, PVOID SynchronizeFunction,
                                      PVOID SynchronizeContext) {
    host::RequireIrql("NdisMSynchronizeWithInterrupt", PASSIVE_LEVEL, DISPATCH_LEVEL);
    host::RegistrationPtr r;
    {
        std::lock_guard<std::mutex> lock(host::mu);
        auto it = host::byInterrupt.find(Interrupt);
        if (it != host::byInterrupt.end()) r = it->second;
    }
    if (!r) {
        Violation("NdisMSynchronizeWithInterrupt(%p): the interrupt is not registered",
                  static_cast<void*>(Interrupt));
        return FALSE;
    }
    if (!SynchronizeFunction) {
        Violation("NdisMSynchronizeWithInterrupt(%p): no synchronize routine",
                  static_cast<void*>(Interrupt));
        return FALSE;
    }
    auto routine = reinterpret_cast<BOOLEAN(NTAPI*)(PVOID)>(SynchronizeFunction);
    BOOLEAN result = FALSE;
    host::RunAtIrql(HOST_DEVICE_LEVEL, "the synchronize routine", [&] {
        std::lock_guard<std::mutex> isrLock(r->isrLock);
        result = routine(SynchronizeContext);
    });
    return result;
}
