// The host machine that the driver runs on: its clock, the executor that
// decides when things happen, and its processors with their IRQL.
//
// Two modes:
// - Deterministic (the default): one thread, virtual time. Nothing happens
//   until the test moves the clock (Advance, RunUntil) or the driver blocks in
//   NdisWaitEvent; then whatever is due runs, in time order, and every run of a
//   test is the same run.
// - Concurrent: the executor runs due work on one real thread per emulated
//   processor, against the real clock. A thread that raises its IRQL to
//   DISPATCH_LEVEL takes one of the processors for as long as it stays there,
//   so at most `processors` contexts run at DISPATCH_LEVEL or above at once,
//   each on a processor of its own, and a thread at PASSIVE_LEVEL may come
//   back on another processor, as on a real multiprocessor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "common/inplace_function.h"

#include "ndis.h"

namespace host {

// A callable passed down for the length of a call and not kept: a pointer to
// the caller's callable and a function that calls it, so that passing a
// lambda that captures more than a pointer or two makes no heap block, as a
// std::function would. It must not outlive the callable it was made from.
template <typename Signature>
class FunctionRef;
template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
public:
    template <typename F, typename = std::enable_if_t<
                              !std::is_same_v<std::decay_t<F>, FunctionRef> &&
                              std::is_invocable_r_v<R, F&, Args...>>>
    FunctionRef(F&& f)  // NOLINT: converts implicitly, as std::function does
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(
                  std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

// Work queued on the executor (see zr48::InPlaceFunction).
using WorkFn = zr48::InPlaceFunction;

using Nanoseconds = int64_t;
constexpr Nanoseconds kMicrosecond = 1000;
constexpr Nanoseconds kMillisecond = 1000 * kMicrosecond;
constexpr Nanoseconds kSecond = 1000 * kMillisecond;

enum class Mode { Deterministic, Concurrent };

struct WorldOptions {
    Mode mode = Mode::Deterministic;
    unsigned processors = 2;
    unsigned randSeed = 1;  // what rand() gives before the driver seeds it
    // System time at boot, in 100 ns units since 1 January 1601
    // (default: 2026-01-01 00:00:00 UTC).
    int64_t bootSystemTime = 134116992000000000LL;

    // How unforgiving the machine is, as Windows is (each on by default):
    // - specialPool: every pool block, information buffer and piece of a
    //   packet the host hands the driver ends on a page boundary before an
    //   inaccessible page, and freed pool blocks stay inaccessible for a
    //   while, so that an access past the end or after the free faults and
    //   is reported at once (host/src/internal_pool.h). Off: guard bytes
    //   after each block, checked when it is given back. Benchmarks turn it
    //   off: a page and a mapping per block distort what they measure.
    bool specialPool = true;
    // - protocolLocks: the protocol above each adapter takes a spin lock of
    //   its own in its receive, send-completion, request-completion and
    //   status handlers, and holds it while it hands packets to
    //   MiniportSendPackets at DISPATCH_LEVEL, as TCP/IP stacks do; the
    //   lock-order check then sees a driver that calls up into NDIS with a
    //   spin lock held (see host/miniport.h).
    bool protocolLocks = true;
    // - watchdog: NDIS's wake-up timer per running adapter: the hang check
    //   every two seconds and the reset of an adapter whose request has not
    //   completed in time (see host/miniport.h). Tests that call
    //   CheckForHang or Reset themselves at chosen moments may turn it off.
    bool watchdog = true;
};

// Starts a fresh machine: clock at 0, no pending work, empty ledger, no
// violations, processors idle. Stops the threads of a concurrent world first.
void ResetWorld(const WorldOptions& options = {});
// Stops a concurrent world's threads (pending work is dropped).
void StopWorld();
const WorldOptions& Options();
bool IsConcurrent();

// ---------------------------------------------------------------------------
// Clock and executor
// ---------------------------------------------------------------------------
Nanoseconds Now();

using WorkId = uint64_t;
// Queues `work` to run at time `at` (or at once when `at` is not later than
// now) in system context: outside any processor, at no IRQL. Work that runs
// driver code raises the IRQL it needs itself (see RunAtIrql). Equal times run
// in the order queued. `what` names the work in diagnostics.
WorkId ScheduleAt(Nanoseconds at, WorkFn work, const char* what);
WorkId ScheduleAfter(Nanoseconds delay, WorkFn work, const char* what);
// Removes work that has not started; false when it ran, is running or is unknown.
bool Cancel(WorkId id);

// Deterministic mode: run everything due up to now + d in time order, then
// leave the clock at now + d. Concurrent mode: wait d of real time.
void Advance(Nanoseconds d);
// Runs what is due now (and what that queues for now).
void RunPending();
// Runs work until `done` holds or `limit` of (virtual or real) time has gone
// by; returns whether `done` held.
bool RunUntil(FunctionRef<bool()> done, Nanoseconds limit);
// Work queued and not yet run (NDIS's periodic wake-ups included).
size_t PendingWork();
// Time of the earliest queued work, or -1.
Nanoseconds NextWorkTime();

// ---------------------------------------------------------------------------
// Processors and IRQL
// ---------------------------------------------------------------------------
unsigned ProcessorCount();
// The calling context's processor number, as NdisGetCurrentProcessorCounts
// reports it.
unsigned CurrentProcessor();
KIRQL CurrentIrql();

// Runs fn as processor p at PASSIVE_LEVEL (deterministic mode), restoring the
// caller's processor and IRQL afterwards: a context switch on one thread.
void OnProcessor(unsigned p, FunctionRef<void()> fn);
// Runs fn at `irql`, then returns to the caller's IRQL (taking a processor
// for the time, in concurrent mode). Checks that fn returns at `irql` with no
// spin lock of its own still held: a driver handler must leave as it came.
void RunAtIrql(KIRQL irql, const char* handler, FunctionRef<void()> fn);

// Number of spin locks the calling context holds.
int SpinLocksHeld();
// Threads blocked in NdisWaitEvent right now (concurrent mode): lets a test
// see that a thread has reached a wait without sleeping for it.
int ThreadsWaitingOnEvents();

// Binds the calling (non-executor) thread to the host: gives it a processor
// number hint for PASSIVE_LEVEL and a fresh IRQL of PASSIVE_LEVEL.
void AttachThread(unsigned preferredProcessor);

// ---------------------------------------------------------------------------
// Checks shared by the platform's entry points
// ---------------------------------------------------------------------------
// Violation unless the current IRQL is within [low, high].
void RequireIrql(const char* function, KIRQL low, KIRQL high);

}  // namespace host
