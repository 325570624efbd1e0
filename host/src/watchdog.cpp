// NDIS's wake-up timer for a running adapter (see host/miniport.h): the hang
// check at every wake-up, and the reset of an adapter that says it hangs or
// whose request has been outstanding at two wake-ups in a row. In the
// deterministic mode a wake-up is work on the virtual clock like any other,
// so runs stay the same run; it is background work, which no driver wait is
// ever satisfied by (see ScheduleBackgroundAt).
#include <cstdio>
#include <mutex>

#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

// The interval NDIS wakes up at: what the miniport asked for in
// NdisMSetAttributesEx, no less than its default of two seconds.
Nanoseconds IntervalOf(UINT seconds) {
    return static_cast<Nanoseconds>(seconds > 2 ? seconds : 2) * kSecond;
}

void WakeUp(const std::weak_ptr<MiniportState>& weak);

// Queues the next wake-up (mu held).
void Schedule(const std::shared_ptr<MiniportState>& state) {
    std::weak_ptr<MiniportState> weak = state;
    state->watchdogWork = ScheduleBackgroundAt(
        Now() + state->watchdogInterval, [weak] { WakeUp(weak); }, "NDIS wake-up timer");
}

// A request NDIS found outstanding at two wake-ups in a row.
struct TimedOut {
    uint64_t serial = 0;  // the request's (RequestRecord::serial); 0: none
    bool query = true;
    NDIS_OID oid = 0;
    Nanoseconds issued = 0;
};

std::string ResetReason(bool hung, const TimedOut& late) {
    if (hung) return "MiniportCheckForHang answered TRUE";
    char text[160];
    snprintf(text, sizeof text,
             "the %s of OID 0x%08X was still outstanding at two wake-ups in a row",
             late.query ? "query" : "set", late.oid);
    return text;
}

// The hang check, and the reset it or a timed-out request asks for.
void Check(const std::shared_ptr<MiniportState>& state, const TimedOut& late) {
    bool refused;
    bool hung = CallCheckForHang(state, &refused);
    if (refused || (!hung && !late.serial)) return;
    ResetResult result;
    std::string why;
    // Refused when halt has begun or a reset is under way: nothing to do.
    if (!ResetAdapter(state, true, ResetReason(hung, late), &result, &why)) return;
    if (!late.serial) return;
    bool stuck;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        // The same request: the record serves every request in turn.
        stuck = state->request && state->request->serial == late.serial &&
                RequestOutstanding(*state);
        if (stuck) state->request->stuckReported = true;
    }
    if (stuck) {
        Violation("request stuck through a reset: the %s of OID 0x%08X, made %.3f s ago, is "
                  "still pending after the MiniportReset that NDIS made because it had not "
                  "completed; nothing else would ever complete it",
                  late.query ? "query" : "set", late.oid,
                  static_cast<double>(Now() - late.issued) / kSecond);
    }
}

void WakeUp(const std::weak_ptr<MiniportState>& weak) {
    std::shared_ptr<MiniportState> state = weak.lock();
    if (!state) return;
    TimedOut late;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        state->watchdogWork = 0;
        if (state->phase != Phase::Running) return;
        // NDIS leaves an adapter alone while it resets it.
        if (!state->resetting && RequestOutstanding(*state)) {
            RequestRecord& r = *state->request;
            bool ignored = (state->attributes.flags & NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT) != 0;
            if (++r.watchdogTicks >= 2 && !r.stuckReported && !ignored) {
                late = {r.serial, r.query, r.oid, r.issued};
            }
        }
    }
    Check(state, late);
    // The next wake-up is queued once this one is over, so that two never
    // overlap; halt, which stops them, finds the adapter no longer running.
    std::lock_guard<std::mutex> lock(state->mu);
    if (state->phase == Phase::Running && state->watchdogWork == 0) Schedule(state);
}

}  // namespace

void StartWatchdog(const std::shared_ptr<MiniportState>& state) {
    std::lock_guard<std::mutex> lock(state->mu);
    if (!state->watchdog || state->watchdogWork != 0) return;
    state->watchdogInterval = IntervalOf(state->attributes.checkForHangSeconds);
    Schedule(state);
}

void StopWatchdog(MiniportState& s) {
    if (s.watchdogWork != 0) Cancel(s.watchdogWork);
    s.watchdogWork = 0;
}

}  // namespace internal
}  // namespace host
