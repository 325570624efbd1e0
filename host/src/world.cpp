// The host machine's clock, executor and processors (see host/world.h).
#include "host/world.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
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

// A queue of due work in one block that serves item after item: a ring
// that doubles when full and never shrinks, so that work passing through
// costs no heap block (a deque takes one per few items). Keeps its items in
// the order pushed; one removed from the middle keeps the others' order.
class DueRing {
public:
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    DueWork& operator[](size_t i) { return items_[(head_ + i) & (items_.size() - 1)]; }
    const DueWork& operator[](size_t i) const {
        return items_[(head_ + i) & (items_.size() - 1)];
    }
    DueWork& front() { return (*this)[0]; }
    const DueWork& front() const { return (*this)[0]; }
    const DueWork& back() const { return (*this)[count_ - 1]; }
    void push_back(DueWork item) {
        if (count_ == items_.size()) Grow();
        (*this)[count_] = std::move(item);
        ++count_;
    }
    void pop_front() {
        front().work.fn = nullptr;  // lets go of what it captured now
        head_ = (head_ + 1) & (items_.size() - 1);
        --count_;
    }
    // Removes the i-th item, moving those behind it up by one.
    void erase(size_t i) {
        for (; i + 1 < count_; ++i) (*this)[i] = std::move((*this)[i + 1]);
        (*this)[count_ - 1].work.fn = nullptr;
        --count_;
    }
    void clear() {
        while (count_) pop_front();
        head_ = 0;
    }

private:
    void Grow() {
        std::vector<DueWork> bigger(items_.empty() ? 16 : items_.size() * 2);
        for (size_t i = 0; i < count_; ++i) bigger[i] = std::move((*this)[i]);
        items_.swap(bigger);
        head_ = 0;
    }

    std::vector<DueWork> items_;  // size a power of two, or 0
    size_t head_ = 0;
    size_t count_ = 0;
};

// Work queued for later, or for a moment already past: a binary heap by key
// over slots that are used again once their work has run or been
// cancelled, so that queueing it costs no heap block once the storage has
// grown to the most work ever waiting at once. Each slot knows its place in
// the heap, so cancelled work leaves at once and never lingers. Keys are
// unique (the order queued is part of each), so the heap gives exactly the
// order a tree by key would.
class DelayedHeap {
public:
    static constexpr unsigned kSlotBits = 24;
    static constexpr WorkId kSlotMask = (WorkId{1} << kSlotBits) - 1;

    bool empty() const { return heap_.empty(); }
    size_t size() const { return heap_.size(); }
    // The key of the i-th entry of the heap's array (0: the earliest; the
    // second earliest is at 1 or 2).
    const WorkKey* KeyAt(size_t i) const {
        return i < heap_.size() ? &slots_[heap_[i]].key : nullptr;
    }
    // A free slot's number, for the work's id to carry (see TagOf).
    uint32_t Reserve() {
        if (free_.empty()) {
            if (slots_.size() > kSlotMask - 1) {
                FatalViolation("the executor holds more than %u pieces of delayed work",
                               static_cast<unsigned>(kSlotMask - 1));
            }
            slots_.emplace_back();
            free_.push_back(static_cast<uint32_t>(slots_.size() - 1));
        }
        return free_.back();
    }
    // Queues `work` in the slot Reserve gave.
    void Push(uint32_t slot, const WorkKey& key, Work work) {
        free_.pop_back();
        Slot& s = slots_[slot];
        s.key = key;
        s.work = std::move(work);
        s.used = true;
        s.pos = heap_.size();
        heap_.push_back(slot);
        SiftUp(s.pos);
    }
    void PopEarliest(WorkKey* key, Work* work) {
        uint32_t slot = heap_[0];
        *key = slots_[slot].key;
        *work = std::move(slots_[slot].work);
        RemoveAt(0);
    }
    // The slot of the work with `id`, if it is queued here.
    bool Find(WorkId id, uint32_t* slot) const {
        WorkId tag = id & kSlotMask;
        if (tag == 0 || tag > slots_.size()) return false;
        const Slot& s = slots_[tag - 1];
        if (!s.used || s.work.id != id) return false;
        *slot = static_cast<uint32_t>(tag - 1);
        return true;
    }
    Work& WorkIn(uint32_t slot) { return slots_[slot].work; }
    void Remove(uint32_t slot) { RemoveAt(slots_[slot].pos); }
    void clear() {
        for (uint32_t slot : heap_) Release(slot);
        heap_.clear();
    }
    // The tag an id carries for work in `slot`: never 0, the tag of work
    // that is not here.
    static WorkId TagOf(uint32_t slot) { return WorkId{slot} + 1; }

private:
    struct Slot {
        WorkKey key;
        Work work;
        size_t pos = 0;  // in heap_, while used
        bool used = false;
    };
    bool Before(size_t a, size_t b) const { return slots_[heap_[a]].key < slots_[heap_[b]].key; }
    void Place(size_t pos, uint32_t slot) {
        heap_[pos] = slot;
        slots_[slot].pos = pos;
    }
    void Swap(size_t a, size_t b) {
        uint32_t sa = heap_[a];
        Place(a, heap_[b]);
        Place(b, sa);
    }
    void SiftUp(size_t pos) {
        while (pos > 0) {
            size_t parent = (pos - 1) / 2;
            if (!Before(pos, parent)) break;
            Swap(pos, parent);
            pos = parent;
        }
    }
    void SiftDown(size_t pos) {
        for (;;) {
            size_t least = pos;
            size_t left = 2 * pos + 1;
            size_t right = left + 1;
            if (left < heap_.size() && Before(left, least)) least = left;
            if (right < heap_.size() && Before(right, least)) least = right;
            if (least == pos) break;
            Swap(pos, least);
            pos = least;
        }
    }
    void Release(uint32_t slot) {
        slots_[slot].work.fn = nullptr;  // lets go of what it captured now
        slots_[slot].used = false;
        free_.push_back(slot);
    }
    void RemoveAt(size_t pos) {
        uint32_t slot = heap_[pos];
        size_t last = heap_.size() - 1;
        if (pos != last) {
            Place(pos, heap_[last]);
            heap_.pop_back();
            SiftDown(pos);
            SiftUp(pos);
        } else {
            heap_.pop_back();
        }
        Release(slot);
    }

    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;  // slots not in use
    std::vector<uint32_t> heap_;  // slots in use, a binary heap by key
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
    // its keys ascend and its front is its earliest; it is found by id by
    // looking through its few items. `queue` holds the rest, by key, each
    // in a slot that its id names. The next work to run is the earlier of
    // the two fronts: the order is the one a single queue by key would give.
    DueRing due;
    DelayedHeap queue;
    uint64_t nextSeq = 0;
    // Ids count from 1 in their high bits; the low bits name the slot of
    // delayed work (0: work in `due`).
    uint64_t nextId = 1;
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
    const WorkKey* fromQueue = w.queue.KeyAt(0);
    if (!fromDue) return fromQueue;
    if (!fromQueue) return fromDue;
    return *fromQueue < *fromDue ? fromQueue : fromDue;
}

// The second earliest queued key, or null. Caller holds w.mu.
const WorkKey* SecondKey(const World& w) {
    // The heap's second earliest is one of the earliest's two children.
    const WorkKey* candidates[5] = {w.queue.KeyAt(0), w.queue.KeyAt(1), w.queue.KeyAt(2)};
    if (w.due.size() > 0) candidates[3] = &w.due[0].key;
    if (w.due.size() > 1) candidates[4] = &w.due[1].key;
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
        w.queue.PopEarliest(key, work);
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
        uint64_t number = w.nextId++;
        WorkKey key{at, w.nextSeq++};
        // The order queued is ascending already; the time is when no work in
        // `due` is due later (work queued for a moment in the past goes by
        // the heap, where its key sorts it).
        if (dueNow && (w.due.empty() || w.due.back().key.first <= at)) {
            id = number << DelayedHeap::kSlotBits;
            w.due.push_back(DueWork{key, Work{id, std::move(work), what, background}});
        } else {
            uint32_t slot = w.queue.Reserve();
            id = number << DelayedHeap::kSlotBits | DelayedHeap::TagOf(slot);
            w.queue.Push(slot, key, Work{id, std::move(work), what, background});
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
    uint32_t slot;
    if (!w.queue.Find(id, &slot)) {
        // Work due when it was queued has no slot: it is looked for among
        // the few such items waiting. Removing one keeps the others' order.
        if (id == 0 || (id & DelayedHeap::kSlotMask) != 0) return false;
        for (size_t i = 0; i < w.due.size(); ++i) {
            if (w.due[i].work.id != id) continue;
            if (w.due[i].work.background) --w.background;
            w.due.erase(i);
            return true;
        }
        return false;
    }
    if (w.queue.WorkIn(slot).background) --w.background;
    w.queue.Remove(slot);
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
