// The calls NDIS makes into a miniport while it runs: which are under way,
// on which thread, waiting for them to end (halt and reset do), and the
// processor a test chooses to make one on.
#include <chrono>
#include <cstddef>
#include <mutex>
#include <vector>

#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

const char* CallName(Call kind) {
    switch (kind) {
    case Call::Send: return "MiniportSendPackets";
    case Call::Request: return "an information request's handler";
    case Call::HangCheck: return "MiniportCheckForHang";
    case Call::Reset: return "Miniport::Reset";
    case Call::Indication: return "NdisMIndicateReceivePacket";
    case Call::Return: return "MiniportReturnPacket";
    case Call::Count: break;
    }
    return "a call";
}

// The calls this thread is inside, innermost last.
struct CallHere {
    const MiniportState* state;
    Call kind;
};
thread_local std::vector<CallHere> callsHere;

}  // namespace

void BeginCall(MiniportState& s, Call kind) {
    s.calls[static_cast<int>(kind)].fetch_add(1);
    callsHere.push_back({&s, kind});
}

void EndCall(MiniportState& s, Call kind) {
    for (size_t i = callsHere.size(); i-- > 0;) {
        if (callsHere[i].state == &s && callsHere[i].kind == kind) {
            callsHere.erase(callsHere.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    // A waiter counts itself in under mu before it tests the counts: either
    // it sees this decrement, or this sees it and wakes it under mu.
    if (s.calls[static_cast<int>(kind)].fetch_sub(1) == 1 && s.callWaiters.load() > 0) {
        std::lock_guard<std::mutex> lock(s.mu);
        s.callEnded.notify_all();
    }
}

const char* CallOnThisThread(const MiniportState& s, std::initializer_list<Call> kinds) {
    for (size_t i = callsHere.size(); i-- > 0;) {
        if (callsHere[i].state != &s) continue;
        for (Call k : kinds) {
            if (callsHere[i].kind == k) return CallName(k);
        }
    }
    return nullptr;
}

bool WaitForCalls(MiniportState& s, std::unique_lock<std::mutex>& lock,
                  std::initializer_list<Call> kinds, const char* who) {
    auto none = [&] {
        for (Call k : kinds) {
            if (s.calls[static_cast<int>(k)].load() != 0) return false;
        }
        return true;
    };
    if (none()) return true;
    ++s.callWaiters;
    bool ended = s.callEnded.wait_for(lock, std::chrono::seconds(30), none);
    --s.callWaiters;
    if (!ended) {
        Call late = Call::Count;
        for (Call k : kinds) {
            if (s.calls[static_cast<int>(k)].load() != 0) late = k;
        }
        lock.unlock();
        Violation("%s: %s has not returned for 30 s", who, CallName(late));
        lock.lock();
    }
    return ended;
}

void OnChosenProcessor(int processor, FunctionRef<void()> fn) {
    if (processor < 0 || IsConcurrent() || CurrentIrql() != PASSIVE_LEVEL) {
        fn();
        return;
    }
    if (static_cast<unsigned>(processor) >= ProcessorCount()) {
        Violation("processor %d: the machine has %u processors", processor, ProcessorCount());
        fn();
        return;
    }
    OnProcessor(static_cast<unsigned>(processor), fn);
}

}  // namespace internal
}  // namespace host
