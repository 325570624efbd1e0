// The one registry of miniports, by their NDIS handle: the miniport block
// registers an adapter when it starts initializing it; every NDIS call that
// names an adapter, the verifier's checks of what it may do now, and interrupt
// delivery look it up here. A handle stays known until the world is reset,
// so that a call on a halted adapter is named as such rather than as a
// stranger.
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

// Shared by the lookups every NDIS call and every interrupt makes; exclusive
// for changes.
ReadMostlyMutex registryMu;
std::unordered_map<NDIS_HANDLE, std::shared_ptr<MiniportState>> adapters;
// Moves on when adapters are forgotten (the only time entries go); changed
// and read under registryMu.
uint64_t forgotten = 1;

// The entry a thread found last: an NDIS call or an interrupt mostly names
// the adapter the one before it named.
struct LastAdapter {
    uint64_t forgotten = 0;
    NDIS_HANDLE handle = nullptr;
    const std::shared_ptr<MiniportState>* state = nullptr;
};
thread_local LastAdapter lastAdapter;

void Forget() {
    std::lock_guard<ReadMostlyMutex> lock(registryMu);
    adapters.clear();
    ++forgotten;
}
const bool registered = (RegisterResetHook(Forget), true);

// The adapter registered under `handle`, or null. Caller holds registryMu
// (shared will do).
const std::shared_ptr<MiniportState>* FindLocked(NDIS_HANDLE handle) {
    LastAdapter& last = lastAdapter;
    if (last.forgotten == forgotten && last.handle == handle) return last.state;
    auto it = adapters.find(handle);
    if (it == adapters.end()) return nullptr;
    last = {forgotten, handle, &it->second};
    return &it->second;
}

std::shared_ptr<MiniportState> Find(NDIS_HANDLE handle) {
    std::shared_lock<ReadMostlyMutex> lock(registryMu);
    const std::shared_ptr<MiniportState>* state = FindLocked(handle);
    return state ? *state : nullptr;
}

// Why `use` is not allowed in `phase`, or null.
const char* Refusal(Phase phase, Use use) {
    switch (phase) {
    case Phase::Created: return "the adapter has not been initialized";
    case Phase::Failed: return "the adapter's MiniportInitialize failed";
    case Phase::Halted:
        return "the adapter has been halted: nothing is indicated or completed after halt";
    case Phase::Initializing:
        if (use == Use::Initialization || use == Use::Call) return nullptr;
        return "MiniportInitialize has not returned yet";
    case Phase::Running:
        if (use == Use::Initialization) return "allowed only while MiniportInitialize runs";
        return nullptr;
    case Phase::Unbinding:
        if (use == Use::Initialization) return "allowed only while MiniportInitialize runs";
        return nullptr;
    case Phase::Halting:
        if (use == Use::Initialization) return "allowed only while MiniportInitialize runs";
        return nullptr;
    }
    return "unknown adapter state";
}

}  // namespace

void RegisterAdapter(const std::shared_ptr<MiniportState>& state) {
    std::lock_guard<ReadMostlyMutex> lock(registryMu);
    adapters[state.get()] = state;
}

std::shared_ptr<MiniportState> AdapterFor(NDIS_HANDLE handle, const char* function, Use use) {
    std::shared_ptr<MiniportState> state = Find(handle);
    if (!state) {
        Violation("%s(%p): not a miniport adapter handle", function, handle);
        return nullptr;
    }
    Phase phase = state->phase.load();
    if (const char* refusal = Refusal(phase, use)) {
        Violation("%s(%p): %s", function, handle, refusal);
        return nullptr;
    }
    return state;
}

std::vector<std::shared_ptr<MiniportState>> AllAdapters() {
    std::shared_lock<ReadMostlyMutex> lock(registryMu);
    std::vector<std::shared_ptr<MiniportState>> all;
    for (auto& a : adapters) all.push_back(a.second);
    return all;
}

// An adapter takes interrupts from the moment MiniportInitialize is called
// (it may connect one and see it fire before it returns) until MiniportHalt
// has returned; not after its initialization failed.
bool LookupMiniport(NDIS_HANDLE handle, MiniportHandlers* handlers) {
    // Read under the shared lock, which keeps the adapter's state alive, so
    // that an interrupt costs no reference count written from every processor.
    std::shared_lock<ReadMostlyMutex> lock(registryMu);
    const std::shared_ptr<MiniportState>* entry = FindLocked(handle);
    if (!entry) return false;
    const MiniportState& state = **entry;
    switch (state.phase.load()) {
    case Phase::Initializing:
    case Phase::Running:
    case Phase::Unbinding:
    case Phase::Halting: break;
    case Phase::Created:
    case Phase::Halted:
    case Phase::Failed: return false;
    }
    const NDIS30_MINIPORT_CHARACTERISTICS& v30 = state.handlers.Ndis40Chars.Ndis30Chars;
    *handlers = {state.context.load(), v30.ISRHandler, v30.HandleInterruptHandler};
    return true;
}

}  // namespace internal
}  // namespace host
