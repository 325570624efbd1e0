// The host machine's clock, executor and processors (see host/world.h).
#include "host/world.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/config.h"
#include "host/diagnostics.h"
#include "host/verifier.h"
#include "internal.h"
#include "internal_pool.h"

namespace host {
namespace {

struct Work {
    WorkId id;
    WorkFn fn;
    const char* what;
    bool background;  // periodic work of NDIS's own: it signals no driver wait
};

using WorkKey = std::pair<Nanoseconds, uint64_t>;  // (due time, order queued)

// Work that was due when it was queued, kept in the order of its keys.
struct DueWork {
    WorkKey key;
    Work work;
};

// What one thread of the host is doing: which processor it runs on (or last
// ran on), at which IRQL, holding how many spin locks.
struct ThreadContext {
    unsigned processor = 0;
    bool holdsProcessor = false;  // concurrent mode: owns that processor
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
};
thread_local ThreadContext tls;
// Whether this thread is one of the concurrent executor's workers.
thread_local bool executorWorker = false;

// The longest an idle worker sleeps before it looks at the queue again, even
// unwoken: work queued by a worker for itself is not announced (see
// ScheduleAt), so a worker whose work item blocks must not leave it waiting
// for ever.
constexpr Nanoseconds kIdlePoll = kMillisecond;

struct World {
    WorldOptions options;

    std::mutex mu;  // guards everything below
    std::condition_variable workCv;      // new work, or stopping
    std::condition_variable progressCv;  // a piece of work finished
    // The work queued, in two parts that together are one order by
    // WorkKey: `due` holds work that was due when it was queued and whose
    // key is not below the last key there (almost all of it: deferred
    // routines, deliveries, the card's and line's work for now), so that
    // its keys ascend and its front is its earliest; it costs no tree node
    // and no index entry per item. `queue` holds the rest, by key, with
    // `index` to find it by id. The next work to run is the earlier of the
    // two fronts: the order is the one a single queue by key would give.
    std::deque<DueWork> due;
    std::map<WorkKey, Work> queue;
    std::unordered_map<WorkId, WorkKey> index;
    uint64_t nextSeq = 0;
    WorkId nextId = 1;
    size_t background = 0;  // queued work that is background work
    Nanoseconds virtualNow = 0;
    std::chrono::steady_clock::time_point realStart;
    bool stopping = false;
    std::vector<std::thread> workers;
    unsigned idleWorkers = 0;     // workers waiting on workCv
    unsigned progressWaiters = 0; // RunUntil callers waiting on progressCv

    // The emulated processors, one bit each (set: taken). Taken and given
    // back without a lock; cpuMu and cpuCv serve only the contexts that find
    // every processor taken and must sleep.
    std::atomic<uint64_t> cpuBusy{0};
    std::atomic<unsigned> cpuWaiters{0};  // contexts waiting for a processor
    std::mutex cpuMu;                     // guards the two counts below
    std::condition_variable cpuCv;
    unsigned cpuSleepers = 0;   // waiters asleep on cpuCv
    unsigned cpuWakes = 0;      // wake-ups sent and not yet taken by one of them
};

World& W() {
    // Never destroyed: worker threads and late callers may still look at it
    // while the process exits.
    static World* world = new World();
    return *world;
}

// The earliest queued key, or null when nothing is queued. Caller holds w.mu.
const WorkKey* EarliestKey(const World& w) {
    const WorkKey* fromDue = w.due.empty() ? nullptr : &w.due.front().key;
    const WorkKey* fromQueue = w.queue.empty() ? nullptr : &w.queue.begin()->first;
    if (!fromDue) return fromQueue;
    if (!fromQueue) return fromDue;
    return *fromQueue < *fromDue ? fromQueue : fromDue;
}

// The second earliest queued key, or null. Caller holds w.mu.
const WorkKey* SecondKey(const World& w) {
    const WorkKey* candidates[4] = {};
    if (w.due.size() > 0) candidates[0] = &w.due[0].key;
    if (w.due.size() > 1) candidates[1] = &w.due[1].key;
    auto it = w.queue.begin();
    if (it != w.queue.end()) {
        candidates[2] = &it->first;
        if (++it != w.queue.end()) candidates[3] = &it->first;
    }
    const WorkKey* first = nullptr;
    const WorkKey* second = nullptr;
    for (const WorkKey* k : candidates) {
        if (!k) continue;
        if (!first || *k < *first) {
            second = first;
            first = k;
        } else if (!second || *k < *second) {
            second = k;
        }
    }
    return second;
}

size_t QueuedCount(const World& w) { return w.due.size() + w.queue.size(); }

bool PopDue(World& w, Nanoseconds upTo, WorkKey* key, Work* work) {
    const WorkKey* earliest = EarliestKey(w);
    if (!earliest || earliest->first > upTo) return false;
    if (!w.due.empty() && earliest == &w.due.front().key) {
        *key = *earliest;
        *work = std::move(w.due.front().work);
        w.due.pop_front();
    } else {
        auto it = w.queue.begin();
        *key = it->first;
        *work = std::move(it->second);
        w.index.erase(work->id);
        w.queue.erase(it);
    }
    if (work->background) --w.background;
    return true;
}

// Runs one piece of work in system context: no processor, PASSIVE_LEVEL.
void RunWork(Work& work) {
    ThreadContext saved = tls;
    tls = ThreadContext{};
    work.fn();
    internal::ReportGuardFaults();
    if (tls.irql != PASSIVE_LEVEL || tls.spinLocksHeld != 0) {
        Violation("%s left its context at IRQL %d holding %d spin lock(s)", work.what, tls.irql,
                  tls.spinLocksHeld);
    }
    tls = saved;
}

// Deterministic mode: runs the earliest work due no later than `upTo`.
bool RunOneDue(Nanoseconds upTo) {
    World& w = W();
    WorkKey key;
    Work work;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        if (!PopDue(w, upTo, &key, &work)) return false;
        if (key.first > w.virtualNow) w.virtualNow = key.first;
    }
    RunWork(work);
    return true;
}

// Sleeps until the earliest work is due, new work is announced, or the idle
// poll comes round. Caller holds w.mu.
void WaitForWork(World& w, std::unique_lock<std::mutex>& lock) {
    Nanoseconds wait = kIdlePoll;
    if (const WorkKey* earliest = EarliestKey(w)) {
        Nanoseconds due = earliest->first - Now();
        if (due < wait) wait = due;
    }
    ++w.idleWorkers;
    w.workCv.wait_for(lock, std::chrono::nanoseconds(wait));
    --w.idleWorkers;
}

void WorkerLoop(unsigned number) {
    World& w = W();
    tls = ThreadContext{};
    tls.processor = number % w.options.processors;
    executorWorker = true;
    std::unique_lock<std::mutex> lock(w.mu);
    // The clock is read once per run of work found due, not per item: work
    // due at the time last read is due now, and the clock is read again
    // only when nothing is due at that time.
    Nanoseconds now = Now();
    while (!w.stopping) {
        WorkKey key;
        Work work;
        if (!PopDue(w, now, &key, &work)) {
            now = Now();
            if (!PopDue(w, now, &key, &work)) {
                WaitForWork(w, lock);
                now = Now();
                continue;
            }
        }
        lock.unlock();
        RunWork(work);
        lock.lock();
        if (w.progressWaiters) w.progressCv.notify_all();
    }
}

// Whether queueing `key` should wake an idle worker (caller holds w.mu).
// Only work that became the earliest changes what the idle workers wait
// for. A worker that queues work due now, with nothing else due, runs it
// itself when its current item returns: waking another thread for it would
// cost more than the work.
// `now` is the clock as the caller read it just before.
bool ShouldWake(World& w, const WorkKey& key, Nanoseconds now) {
    if (w.idleWorkers == 0 || *EarliestKey(w) != key) return false;
    if (!executorWorker) return true;
    if (key.first > now) return true;
    const WorkKey* second = SecondKey(w);
    return second && second->first <= now;
}

// Takes the calling context's processor, or any free one, when it can
// (true); the processor's bit is then set.
bool TryTakeProcessor(World& w) {
    // Sequentially consistent: with the waiter count raised before it, this
    // load and ReleaseProcessor's (clear the bit, then read the count) form a
    // handshake in which one side always sees the other's write.
    uint64_t busy = w.cpuBusy.load(std::memory_order_seq_cst);
    uint64_t all = w.options.processors >= internal::kMaxProcessors
                       ? ~uint64_t{0}
                       : (uint64_t{1} << w.options.processors) - 1;
    for (;;) {
        uint64_t free = ~busy & all;
        if (!free) return false;
        unsigned p = tls.processor;
        if (!(free & (uint64_t{1} << p))) p = static_cast<unsigned>(__builtin_ctzll(free));
        if (w.cpuBusy.compare_exchange_weak(busy, busy | (uint64_t{1} << p),
                                            std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            tls.processor = p;
            return true;
        }
    }
}

// Rounds a context that finds every processor taken waits busily for one
// before it sleeps: processors are held for moments (a driver handler, a
// spin lock), and sleeping and being woken cost far more.
constexpr int kProcessorSpins = 200;

void AcquireProcessor() {
    World& w = W();
    bool taken = TryTakeProcessor(w);
    for (int i = 0; !taken && i < kProcessorSpins; ++i) {
        internal::CpuRelax();
        taken = TryTakeProcessor(w);
    }
    if (!taken) {
        std::unique_lock<std::mutex> lock(w.cpuMu);
        // Counted before the second look, so that a processor given back
        // after that look finds a waiter to wake.
        w.cpuWaiters.fetch_add(1);
        while (!TryTakeProcessor(w)) {
            ++w.cpuSleepers;
            w.cpuCv.wait(lock);
            --w.cpuSleepers;
            if (w.cpuWakes) --w.cpuWakes;
        }
        w.cpuWaiters.fetch_sub(1);
    }
    tls.holdsProcessor = true;
}

// A processor given back wakes one sleeper, unless every sleeper has a
// wake-up on its way already: a waiter woken and not yet running would
// otherwise be woken again by every processor given back meanwhile.
void ReleaseProcessor() {
    World& w = W();
    w.cpuBusy.fetch_and(~(uint64_t{1} << tls.processor));
    tls.holdsProcessor = false;
    if (w.cpuWaiters.load() == 0) return;
    std::lock_guard<std::mutex> lock(w.cpuMu);
    if (w.cpuSleepers > w.cpuWakes) {
        ++w.cpuWakes;
        w.cpuCv.notify_one();
    }
}

}  // namespace

void StopWorld() {
    World& w = W();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        w.stopping = true;
        workers.swap(w.workers);
    }
    w.workCv.notify_all();
    for (auto& t : workers) {
        if (t.get_id() != std::this_thread::get_id()) t.join(); else t.detach();
    }
    std::lock_guard<std::mutex> lock(w.mu);
    w.due.clear();
    w.queue.clear();
    w.index.clear();
    w.background = 0;
}

void ResetWorld(const WorldOptions& options) {
    StopWorld();
    World& w = W();
    {
        std::lock_guard<std::mutex> lock(w.mu);
        w.options = options;
        if (w.options.processors == 0) w.options.processors = 1;
        w.idleWorkers = 0;
        w.progressWaiters = 0;
        w.nextSeq = 0;
        w.nextId = 1;
        w.virtualNow = 0;
        w.realStart = std::chrono::steady_clock::now();
        w.stopping = false;
    }
    if (w.options.processors > internal::kMaxProcessors) {
        FatalViolation("ResetWorld: %u processors; the host emulates at most %u",
                       w.options.processors, internal::kMaxProcessors);
    }
    w.cpuBusy.store(0);
    {
        std::lock_guard<std::mutex> lock(w.cpuMu);
        w.cpuWakes = 0;
    }
    tls = ThreadContext{};
    internal::RunResetHooks();
    ResetVerifier();
    ClearDiagnostics();
    PciReset();
    internal::ResetKernel(options);
    if (options.mode == Mode::Concurrent) {
        std::lock_guard<std::mutex> lock(w.mu);
        unsigned n = w.options.processors < 2 ? 2 : w.options.processors;
        for (unsigned i = 0; i < n; ++i) w.workers.emplace_back(WorkerLoop, i);
    }
}

const WorldOptions& Options() { return W().options; }
bool IsConcurrent() { return W().options.mode == Mode::Concurrent; }

Nanoseconds Now() {
    World& w = W();
    if (w.options.mode == Mode::Concurrent) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now() - w.realStart)
            .count();
    }
    return __atomic_load_n(&w.virtualNow, __ATOMIC_ACQUIRE);
}

namespace {
// `now`: the clock as the caller read it just before (for `at`), or -1 when
// it did not: one look at the clock per item, not three.
WorkId Queue(Nanoseconds at, WorkFn work, const char* what, bool background,
             Nanoseconds now) {
    World& w = W();
    if (now < 0) now = Now();
    bool dueNow = at <= now;
    WorkId id;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        id = w.nextId++;
        WorkKey key{at, w.nextSeq++};
        // The order queued is ascending already; the time is when no work in
        // `due` is due later (work queued for a moment in the past goes by
        // the tree, where its key sorts it).
        if (dueNow && (w.due.empty() || w.due.back().key.first <= at)) {
            w.due.push_back(DueWork{key, Work{id, std::move(work), what, background}});
        } else {
            w.queue.emplace(key, Work{id, std::move(work), what, background});
            w.index.emplace(id, key);
        }
        if (background) ++w.background;
        wake = ShouldWake(w, key, now);
    }
    if (wake) w.workCv.notify_one();
    return id;
}
}  // namespace

WorkId ScheduleAt(Nanoseconds at, WorkFn work, const char* what) {
    return Queue(at, std::move(work), what, false, -1);
}

WorkId internal::ScheduleBackgroundAt(Nanoseconds at, WorkFn work,
                                      const char* what) {
    return Queue(at, std::move(work), what, true, -1);
}

WorkId ScheduleAfter(Nanoseconds delay, WorkFn work, const char* what) {
    Nanoseconds now = Now();
    return Queue(now + (delay < 0 ? 0 : delay), std::move(work), what, false, now);
}

bool Cancel(WorkId id) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.index.find(id);
    if (it == w.index.end()) {
        // Work due when it was queued is not indexed: it is looked for among
        // the few such items waiting. Removing one keeps the others' order.
        for (auto d = w.due.begin(); d != w.due.end(); ++d) {
            if (d->work.id != id) continue;
            if (d->work.background) --w.background;
            w.due.erase(d);
            return true;
        }
        return false;
    }
    auto queued = w.queue.find(it->second);
    if (queued->second.background) --w.background;
    w.queue.erase(queued);
    w.index.erase(it);
    return true;
}

void Advance(Nanoseconds d) {
    if (IsConcurrent()) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(d));
        return;
    }
    RequireIrql("Advance", PASSIVE_LEVEL, PASSIVE_LEVEL);
    World& w = W();
    Nanoseconds target = Now() + d;
    while (RunOneDue(target)) {
    }
    std::lock_guard<std::mutex> lock(w.mu);
    if (target > w.virtualNow) w.virtualNow = target;
}

void RunPending() { Advance(0); }

bool RunUntil(FunctionRef<bool()> done, Nanoseconds limit) {
    World& w = W();
    Nanoseconds deadline = Now() + limit;
    if (IsConcurrent()) {
        std::unique_lock<std::mutex> lock(w.mu);
        for (;;) {
            lock.unlock();
            bool ok = done();
            lock.lock();
            if (ok) return true;
            Nanoseconds now = Now();
            if (now >= deadline) return false;
            Nanoseconds step = deadline - now < kMillisecond ? deadline - now : kMillisecond;
            ++w.progressWaiters;
            w.progressCv.wait_for(lock, std::chrono::nanoseconds(step));
            --w.progressWaiters;
        }
    }
    RequireIrql("RunUntil", PASSIVE_LEVEL, PASSIVE_LEVEL);
    for (;;) {
        if (done()) return true;
        if (!RunOneDue(deadline)) break;
    }
    std::lock_guard<std::mutex> lock(w.mu);
    if (deadline > w.virtualNow) w.virtualNow = deadline;
    return false;
}

size_t PendingWork() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    return QueuedCount(w);
}

Nanoseconds NextWorkTime() {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    const WorkKey* earliest = EarliestKey(w);
    return earliest ? earliest->first : -1;
}

unsigned ProcessorCount() { return W().options.processors; }
unsigned CurrentProcessor() { return tls.processor; }
KIRQL CurrentIrql() { return tls.irql; }
int SpinLocksHeld() { return tls.spinLocksHeld; }

void OnProcessor(unsigned p, FunctionRef<void()> fn) {
    if (IsConcurrent()) FatalViolation("OnProcessor is for the deterministic mode only");
    if (p >= ProcessorCount()) FatalViolation("OnProcessor(%u): the machine has %u processors", p,
                                              ProcessorCount());
    ThreadContext saved = tls;
    tls = ThreadContext{};
    tls.processor = p;
    fn();
    if (tls.irql != PASSIVE_LEVEL || tls.spinLocksHeld != 0) {
        Violation("code run on processor %u returned at IRQL %d holding %d spin lock(s)", p,
                  tls.irql, tls.spinLocksHeld);
    }
    tls = saved;
}

void RunAtIrql(KIRQL irql, const char* handler, FunctionRef<void()> fn) {
    KIRQL entry = tls.irql;
    int locks = tls.spinLocksHeld;
    if (irql < entry) {
        FatalViolation("%s cannot run at IRQL %d from IRQL %d", handler, irql, entry);
    }
    KfRaiseIrql(irql);
    fn();
    // A fault special pool caught in the handler is named now, on its thread.
    internal::ReportGuardFaults();
    if (tls.irql != irql) {
        Violation("%s returned at IRQL %d; it was called at IRQL %d", handler, tls.irql, irql);
    }
    if (tls.spinLocksHeld != locks) {
        Violation("%s returned holding %d spin lock(s) more than it was called with", handler,
                  tls.spinLocksHeld - locks);
    }
    // Back to the caller's level whatever the handler did.
    if (tls.irql < irql) tls.irql = irql;
    KfLowerIrql(entry);
}

void AttachThread(unsigned preferredProcessor) {
    tls = ThreadContext{};
    tls.processor = preferredProcessor % ProcessorCount();
}

void RequireIrql(const char* function, KIRQL low, KIRQL high) {
    if (tls.irql < low || tls.irql > high) {
        Violation("%s called at IRQL %d; it must be called at IRQL %d..%d", function, tls.irql,
                  low, high);
    }
}

namespace internal {

namespace {
std::mutex hooksMu;
std::vector<void (*)()>& Hooks() {
    static auto* hooks = new std::vector<void (*)()>();
    return *hooks;
}
}  // namespace

void RegisterResetHook(void (*hook)()) {
    std::lock_guard<std::mutex> lock(hooksMu);
    Hooks().push_back(hook);
}

void RunResetHooks() {
    std::vector<void (*)()> hooks;
    {
        std::lock_guard<std::mutex> lock(hooksMu);
        hooks = Hooks();
    }
    for (auto hook : hooks) hook();
}

void NoteSpinLockAcquired() { ++tls.spinLocksHeld; }
void NoteSpinLockReleased() { --tls.spinLocksHeld; }

// In deterministic mode: whether waiting on `signalled` could ever end. Runs
// due work until it is set or time is up; true when it was set.
bool DeterministicWait(const volatile LONG* signalled, Nanoseconds timeout, bool forever) {
    World& w = W();
    Nanoseconds deadline = Now() + timeout;
    for (;;) {
        if (__atomic_load_n(signalled, __ATOMIC_ACQUIRE)) return true;
        if (forever) {
            // NDIS's periodic wake-ups would go on for ever; they signal
            // nothing a driver waits for.
            std::lock_guard<std::mutex> lock(w.mu);
            if (QueuedCount(w) == w.background) {
                FatalViolation("NdisWaitEvent(0) would wait for ever: no work is left that "
                               "could signal the event");
            }
        }
        if (RunOneDue(forever ? INT64_MAX : deadline)) continue;
        if (forever) {
            FatalViolation("NdisWaitEvent(0) would wait for ever: no work is left that could "
                           "signal the event");
        }
        std::lock_guard<std::mutex> lock(w.mu);
        if (deadline > w.virtualNow) w.virtualNow = deadline;
        return false;
    }
}

void AdvanceClockWithoutRunning(Nanoseconds d) {
    World& w = W();
    std::lock_guard<std::mutex> lock(w.mu);
    w.virtualNow += d;
}

}  // namespace internal
}  // namespace host

// ---------------------------------------------------------------------------
// IRQL and processors, as the driver sees them
// ---------------------------------------------------------------------------
using host::tls;

KIRQL KeGetCurrentIrql(void) { return tls.irql; }

KIRQL KfRaiseIrql(KIRQL newIrql) {
    KIRQL old = tls.irql;
    if (newIrql < old) {
        host::Violation("KeRaiseIrql to %d from the higher IRQL %d", newIrql, old);
        return old;
    }
    if (host::IsConcurrent() && old < DISPATCH_LEVEL && newIrql >= DISPATCH_LEVEL &&
        !tls.holdsProcessor) {
        host::AcquireProcessor();
    }
    tls.irql = newIrql;
    return old;
}

void KfLowerIrql(KIRQL newIrql) {
    KIRQL old = tls.irql;
    if (newIrql > old) {
        host::Violation("KeLowerIrql to %d from the lower IRQL %d", newIrql, old);
        return;
    }
    if (newIrql < DISPATCH_LEVEL && tls.spinLocksHeld > 0) {
        host::Violation("IRQL lowered to %d while %d spin lock(s) are held", newIrql,
                        tls.spinLocksHeld);
    }
    tls.irql = newIrql;
    if (tls.holdsProcessor && newIrql < DISPATCH_LEVEL) host::ReleaseProcessor();
}

void NdisGetCurrentProcessorCounts(PULONG pIdleCount, PULONG pKernelAndUser, PULONG pIndex) {
    if (pIdleCount) *pIdleCount = 0;
    if (pKernelAndUser) *pKernelAndUser = 0;
    if (pIndex) *pIndex = tls.processor;
}
