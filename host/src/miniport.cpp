// The miniport block: an adapter's life from MiniportInitialize to
// MiniportHalt, what NDIS keeps of it (handle, context, attributes, shutdown
// handler), and the checks made when the adapter starts and stops (see
// host/miniport.h). The registry of adapters by handle is in
// miniport_registry.cpp, the calls under way in miniport_calls.cpp, the
// upper edge in upper_edge_*.cpp.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "host/verifier.h"
#include "internal.h"
#include "internal_devices.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

// Resources a driver acquires through calls that name no adapter (pool
// memory, packets, buffers) belong to the adapter whose initialization made
// them. The driver allocates nothing on its data path, so whatever appeared
// in the ledger during MiniportInitialize is that adapter's.
void AdoptResources(NDIS_HANDLE handle, uint64_t watermark) {
    LedgerAdoptSince(watermark, handle);
}

// "2 held: packet x16, packet pool of 16 descriptors", or "" when the
// adapter holds nothing.
std::string HeldBy(NDIS_HANDLE handle) {
    if (LedgerCountOwnedBy(handle) == 0) return "";  // the usual answer, with no copy
    std::map<std::string, int> groups;
    size_t n = 0;
    for (auto& e : LedgerEntries()) {
        if (e.owner != handle) continue;
        std::string name = ResourceName(e.kind);
        if (!e.what.empty()) name += " " + e.what;
        groups[name]++;
        ++n;
    }
    if (!n) return "";
    std::string s = std::to_string(n) + " held:";
    const char* sep = " ";
    for (auto& g : groups) {
        s += sep + g.first + (g.second > 1 ? " x" + std::to_string(g.second) : "");
        sep = ", ";
    }
    return s;
}

// After the leaks of a halted or failed adapter have been reported: its
// devices stop firing into memory the driver has freed, and a shutdown
// handler it left is dropped (NDIS would not call it any more). Memory,
// packets and buffers stay in the ledger for the test to free.
void DropLeftovers(MiniportState& s) {
    ForgetMiniportDevices(&s);
    bool shutdownHandler;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        shutdownHandler = s.shutdownHandler != nullptr;
        s.shutdownHandler = nullptr;
    }
    if (shutdownHandler) LedgerRemove(Resource::ShutdownHandler, &s);
}

}  // namespace
}  // namespace internal

using internal::MiniportState;
using internal::Phase;

namespace {

std::shared_ptr<MiniportState> NewState(const std::shared_ptr<internal::DriverState>& driver,
                                        ParameterStore* parameters) {
    auto state = std::make_shared<MiniportState>();
    // The handle is the state's address and must be the block's.
    if (static_cast<void*>(&state->block) != static_cast<void*>(state.get())) {
        FatalViolation("the miniport block does not begin the adapter's state");
    }
    state->driver = driver;
    state->parameters = parameters;
    return state;
}

const NDIS30_MINIPORT_CHARACTERISTICS& V30(const MiniportState& s) {
    return s.handlers.Ndis40Chars.Ndis30Chars;
}

}  // namespace

// ---------------------------------------------------------------------------
// Set up
// ---------------------------------------------------------------------------
Miniport::Miniport(Driver& driver)
    : driver_(driver.state_), parameters_(std::make_unique<ParameterStore>()) {
    state_ = NewState(driver_, parameters_.get());
}

Miniport::~Miniport() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->callbacks = {};
}

ParameterStore& Miniport::Parameters() { return *parameters_; }

void Miniport::SetMedia(std::vector<NDIS_MEDIUM> media) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->media = std::move(media);
}

// ---------------------------------------------------------------------------
// Initialize
// ---------------------------------------------------------------------------
// Checks that the adapter can start and gives it a fresh block when it has
// run (or failed) before.
bool Miniport::StartInitialize() {
    NDIS50_MINIPORT_CHARACTERISTICS handlers;
    {
        std::lock_guard<std::mutex> lock(driver_->mu);
        if (!driver_->registered) {
            Violation("Miniport::Initialize: the driver has no miniport registered");
            return false;
        }
        handlers = driver_->characteristics;
    }
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->phase != Phase::Created) {
        if (state_->phase != Phase::Halted && state_->phase != Phase::Failed) {
            Violation("Miniport::Initialize: the adapter is already initialized");
            return false;
        }
        auto fresh = NewState(driver_, parameters_.get());
        fresh->media = state_->media;
        fresh->returnPolicy = state_->returnPolicy;
        fresh->recording = state_->recording;
        fresh->callbacks = state_->callbacks;
        state_->callbacks = {};
        state_ = fresh;
    }
    state_->handlers = handlers;
    state_->phase = Phase::Initializing;
    // Known before MiniportInitialize is called: an interrupt it connects
    // must find the adapter's ISR.
    internal::RegisterAdapter(state_);
    return true;
}

NDIS_STATUS Miniport::Initialize() {
    RequireIrql("Miniport::Initialize", PASSIVE_LEVEL, PASSIVE_LEVEL);
    if (!StartInitialize()) return NDIS_STATUS_FAILURE;
    std::shared_ptr<MiniportState> state = state_;
    std::vector<NDIS_MEDIUM> media;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        media = state->media;
    }
    uint64_t watermark = LedgerLatestSerial();
    NDIS_STATUS openError = static_cast<NDIS_STATUS>(kUntouched);
    UINT index = kUntouched;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    RunAtIrql(PASSIVE_LEVEL, "MiniportInitialize", [&] {
        status = V30(*state).InitializeHandler(&openError, &index,
                                               media.empty() ? nullptr : media.data(),
                                               static_cast<UINT>(media.size()), state.get(),
                                               parameters_.get());
    });
    {
        std::lock_guard<std::mutex> lock(state->mu);
        state->selectedMedium = index;
    }
    return FinishInitialize(status, watermark);
}

// What NDIS requires of an initialization that succeeded.
static void CheckStarted(MiniportState& s) {
    std::unique_lock<std::mutex> lock(s.mu);
    UINT index = s.selectedMedium;
    size_t media = s.media.size();
    MiniportAttributes attributes = s.attributes;
    lock.unlock();
    if (index >= media) {
        Violation("MiniportInitialize succeeded without selecting a medium of the %zu offered "
                  "(index %u)", media, index);
    }
    if (!attributes.set) {
        Violation("MiniportInitialize succeeded without calling NdisMSetAttributesEx");
    } else if (!(attributes.flags & NDIS_ATTRIBUTE_DESERIALIZE)) {
        Violation("NdisMSetAttributesEx: flags 0x%X lack NDIS_ATTRIBUTE_DESERIALIZE; this "
                  "platform carries deserialized miniports only", attributes.flags);
    }
}

NDIS_STATUS Miniport::FinishInitialize(NDIS_STATUS status, uint64_t watermark) {
    std::shared_ptr<MiniportState> state = state_;
    NDIS_HANDLE handle = state.get();
    internal::AdoptResources(handle, watermark);
    if (status == NDIS_STATUS_PENDING) {
        Violation("MiniportInitialize returned NDIS_STATUS_PENDING: initialization is "
                  "synchronous in NDIS 5");
        status = NDIS_STATUS_FAILURE;
    }
    if (status == NDIS_STATUS_SUCCESS) {
        CheckStarted(*state);
        {
            std::lock_guard<std::mutex> lock(driver_->mu);
            ++driver_->liveAdapters;
        }
        {
            std::lock_guard<std::mutex> lock(state->mu);
            state->phase = Phase::Running;
        }
        internal::StartWatchdog(state);
        return status;
    }
    {
        std::lock_guard<std::mutex> lock(state->mu);
        state->phase = Phase::Failed;
    }
    std::string held = internal::HeldBy(handle);
    if (!held.empty()) {
        Violation("MiniportInitialize failed (0x%08X) and left %s", static_cast<unsigned>(status),
                  held.c_str());
    }
    internal::DropLeftovers(*state);
    return status;
}

// ---------------------------------------------------------------------------
// Halt, shutdown, hang check, reset
// ---------------------------------------------------------------------------
// What a halted adapter may not leave behind.
static void CheckHalted(MiniportState& s) {
    std::unique_lock<std::mutex> lock(s.mu);
    size_t sends = s.sending.size();
    size_t lent = s.lent.size();
    bool requestPending = s.request && !s.request->completed;
    NDIS_OID oid = s.request ? s.request->oid : 0;
    lock.unlock();
    if (sends) {
        Violation("MiniportHalt returned with %zu send(s) never completed: a deserialized "
                  "miniport completes every packet it accepts", sends);
    }
    if (lent) {
        Violation("MiniportHalt returned with %zu received packet(s) still lent to the "
                  "protocols: NDIS has every one back before it halts the adapter", lent);
    }
    if (requestPending) {
        Violation("MiniportHalt returned with the request for OID 0x%08X still pending", oid);
    }
    internal::AwaitReturningTimerRoutines(nullptr, 0, &s);
    std::string held = internal::HeldBy(&s);
    if (!held.empty()) Violation("MiniportHalt returned and the adapter left %s", held.c_str());
}

void Miniport::Halt() {
    using internal::Call;
    RequireIrql("Miniport::Halt", PASSIVE_LEVEL, PASSIVE_LEVEL);
    std::shared_ptr<MiniportState> state = state_;
    MiniportState& s = *state;
    NDIS_HANDLE context;
    {
        std::unique_lock<std::mutex> lock(s.mu);
        if (const char* inside = internal::CallOnThisThread(
                s, {Call::Send, Call::Request, Call::HangCheck, Call::Reset, Call::Indication,
                    Call::Return})) {
            lock.unlock();
            Violation("Miniport::Halt: called from inside %s on the same thread; NDIS halts "
                      "an adapter only when nothing is under way in it", inside);
            return;
        }
        // NDIS never halts an adapter while it resets it: the halt waits for
        // the reset, its held-back sends and addressing included.
        if (s.phase == Phase::Running) {
            internal::WaitForCalls(s, lock, {Call::Reset}, "Miniport::Halt");
        }
        if (s.phase != Phase::Running) {
            lock.unlock();
            Violation("Miniport::Halt: the adapter is not running");
            return;
        }
        // NDIS unbinds the protocols before it halts an adapter: nothing new
        // is sent or asked for from now on, the calls already in the miniport
        // return, and the protocols give back every packet they hold, those
        // of indications still under way too. Halting is set where `lent` is
        // seen empty with no indication under way, so that none stays lent.
        s.phase = Phase::Unbinding;
        internal::StopWatchdog(s);
        for (;;) {
            if (!internal::WaitForCalls(s, lock,
                                        {Call::Send, Call::Request, Call::HangCheck,
                                         Call::Indication, Call::Return},
                                        "Miniport::Halt")) {
                break;
            }
            if (s.lent.empty()) break;
            lock.unlock();
            internal::ReturnLentPackets(state, SIZE_MAX, -1);
            lock.lock();
        }
        s.phase = Phase::Halting;
        context = s.context;
    }
    RunAtIrql(PASSIVE_LEVEL, "MiniportHalt", [&] { V30(s).HaltHandler(context); });
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.phase = Phase::Halted;
    }
    {
        std::lock_guard<std::mutex> lock(driver_->mu);
        --driver_->liveAdapters;
    }
    CheckHalted(s);
    internal::DropLeftovers(s);
}

bool Miniport::Shutdown(KIRQL irql) {
    ADAPTER_SHUTDOWN_HANDLER handler;
    PVOID context;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        handler = state_->shutdownHandler;
        context = state_->shutdownContext;
    }
    if (!handler) return false;
    if (irql < CurrentIrql()) irql = CurrentIrql();
    RunAtIrql(irql, "MiniportShutdown", [&] { handler(context); });
    return true;
}

namespace internal {

bool CallCheckForHang(const std::shared_ptr<MiniportState>& state, bool* refused) {
    NDIS_HANDLE context;
    W_CHECK_FOR_HANG_HANDLER check = state->handlers.Ndis40Chars.Ndis30Chars.CheckForHangHandler;
    *refused = false;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        if (state->phase != Phase::Running) {
            *refused = true;
            return false;
        }
        // NDIS does not check an adapter it is resetting.
        if (state->resetting || !check) return false;
        context = state->context;
        BeginCall(*state, Call::HangCheck);
    }
    BOOLEAN hung = FALSE;
    RunAtIrql(DISPATCH_LEVEL, "MiniportCheckForHang", [&] { hung = check(context); });
    EndCall(*state, Call::HangCheck);
    return hung != FALSE;
}

bool ResetAdapter(const std::shared_ptr<MiniportState>& state, bool byWatchdog,
                  const std::string& reason, ResetResult* result, std::string* why) {
    NDIS_HANDLE context;
    {
        std::unique_lock<std::mutex> lock(state->mu);
        if (state->phase != Phase::Running) {
            *why = "the adapter is not running";
            return false;
        }
        if (state->calls[static_cast<int>(Call::Reset)] != 0) {
            // What NdisReset tells a protocol then: NDIS resets the adapter
            // already (for another protocol, or on its own).
            *result = {NDIS_STATUS_RESET_IN_PROGRESS, false};
            *why = "";
            return false;
        }
        if (const char* inside = CallOnThisThread(*state, {Call::Request, Call::HangCheck})) {
            *why = std::string("called from inside ") + inside +
                   " on the same thread; NDIS resets an adapter only when no request or hang "
                   "check is in it";
            return false;
        }
        BeginCall(*state, Call::Reset);
        state->resetting = true;
        context = state->context;
        // From here on requests are refused and the hang check skipped; those
        // already in the miniport return before MiniportReset is called.
        // Sends already in it go on: a deserialized miniport's reset copes.
        WaitForCalls(*state, lock, {Call::Request, Call::HangCheck}, "Miniport::Reset");
    }
    BOOLEAN addressing = 0xA5;  // neither TRUE nor FALSE: the handler must say
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    RunAtIrql(DISPATCH_LEVEL, "MiniportReset", [&] {
        status = state->handlers.Ndis40Chars.Ndis30Chars.ResetHandler(&addressing, context);
    });
    {
        std::lock_guard<std::mutex> lock(state->mu);
        state->resetting = false;
    }
    if (status == NDIS_STATUS_PENDING) {
        Violation("MiniportReset returned NDIS_STATUS_PENDING; this platform offers no "
                  "NdisMResetComplete, so a reset must complete before it returns");
    }
    if (addressing != TRUE && addressing != FALSE) {
        Violation("MiniportReset returned without setting AddressingReset");
    }
    SendDeferred(state);
    if (status == NDIS_STATUS_SUCCESS && addressing == TRUE) ReplayAddressing(state);
    EndCall(*state, Call::Reset);
    *result = {status, addressing == TRUE};
    ResetRecord record{Now(), byWatchdog, reason, status, addressing == TRUE};
    std::function<void(const ResetRecord&)> callback;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        if (state->recording) state->resets.push_back(record);
        callback = state->callbacks.reset;
    }
    if (callback) callback(record);
    return true;
}

void EnterProtocol(MiniportState& s) {
    if (!s.protocolLocks) return;
    AcquireHostSpinLock(&s.protocolLock);
    ReleaseHostSpinLock(&s.protocolLock);
}

MiniportState::MiniportState()
    : protocolLocks(Options().protocolLocks), watchdog(Options().watchdog) {
    // The same entry points a driver linked in calls: an image's indications
    // and completions reach the protocol's lock and the lock-order check too.
    memset(&block, 0, sizeof block);
    block.PacketIndicateHandler = NdisMIndicateReceivePacket;
    block.SendCompleteHandler = NdisMSendComplete;
    block.StatusHandler = NdisMIndicateStatus;
    block.StatusCompleteHandler = NdisMIndicateStatusComplete;
    block.QueryCompleteHandler = NdisMQueryInformationComplete;
    block.SetCompleteHandler = NdisMSetInformationComplete;
    char name[64];
    snprintf(name, sizeof name, "the protocol lock of adapter %p", static_cast<void*>(this));
    InitHostSpinLock(&protocolLock, name);
}

MiniportState::~MiniportState() { DestroyHostSpinLock(&protocolLock); }

}  // namespace internal

bool Miniport::CheckForHang() {
    bool refused;
    bool hung = internal::CallCheckForHang(state_, &refused);
    if (refused) Violation("Miniport::CheckForHang: the adapter is not running");
    return hung;
}

ResetResult Miniport::Reset() {
    ResetResult result{NDIS_STATUS_FAILURE, false};
    std::string why;
    if (!internal::ResetAdapter(state_, false, "asked for through the upper edge", &result,
                                &why) &&
        !why.empty()) {
        Violation("Miniport::Reset: %s", why.c_str());
    }
    return result;
}

std::vector<ResetRecord> Miniport::Resets() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->resets;
}

void Miniport::OnReset(std::function<void(const ResetRecord&)> callback) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->callbacks.reset = std::move(callback);
}

// ---------------------------------------------------------------------------
// What NDIS knows of the adapter
// ---------------------------------------------------------------------------
NDIS_HANDLE Miniport::Handle() const { return state_.get(); }

NDIS_HANDLE Miniport::Context() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->context;
}

bool Miniport::Running() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->phase == Phase::Running;
}

UINT Miniport::SelectedMediumIndex() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->selectedMedium;
}

MiniportAttributes Miniport::Attributes() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->attributes;
}

bool Miniport::ShutdownHandlerRegistered() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->shutdownHandler != nullptr;
}

// ---------------------------------------------------------------------------
// What the upper edge records
// ---------------------------------------------------------------------------
void Miniport::SetRecording(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->recording = on;
}

void Miniport::ClearRecords() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->completions.clear();
    state_->received.clear();
    state_->statuses.clear();
    state_->resets.clear();
    state_->warnings.clear();
}

}  // namespace host

// ---------------------------------------------------------------------------
// The NDIS calls
// ---------------------------------------------------------------------------
using host::internal::AdapterFor;
using host::internal::Use;

void NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                          UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                          NDIS_INTERFACE_TYPE AdapterType) {
    host::RequireIrql("NdisMSetAttributesEx", PASSIVE_LEVEL, PASSIVE_LEVEL);
    auto state = AdapterFor(MiniportAdapterHandle, "NdisMSetAttributesEx", Use::Initialization);
    if (!state) return;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        state->context = MiniportAdapterContext;
        state->attributes = {true, CheckForHangTimeInSeconds, AttributeFlags, AdapterType};
    }
}

void NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler) {
    host::RequireIrql("NdisMRegisterAdapterShutdownHandler", PASSIVE_LEVEL, PASSIVE_LEVEL);
    auto state = AdapterFor(MiniportHandle, "NdisMRegisterAdapterShutdownHandler", Use::Call);
    if (!state) return;
    if (!ShutdownHandler) {
        host::Violation("NdisMRegisterAdapterShutdownHandler(%p): no handler", MiniportHandle);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(state->mu);
        if (!state->shutdownHandler) {
            state->shutdownHandler = ShutdownHandler;
            state->shutdownContext = ShutdownContext;
            ShutdownHandler = nullptr;
        }
    }
    if (ShutdownHandler) {
        host::Violation("NdisMRegisterAdapterShutdownHandler(%p): a handler is already "
                        "registered", MiniportHandle);
        return;
    }
    host::LedgerAdd(host::Resource::ShutdownHandler, MiniportHandle, 0, 0, MiniportHandle, "");
}

void NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle) {
    host::RequireIrql("NdisMDeregisterAdapterShutdownHandler", PASSIVE_LEVEL, PASSIVE_LEVEL);
    auto state = AdapterFor(MiniportHandle, "NdisMDeregisterAdapterShutdownHandler", Use::Call);
    if (!state) return;
    bool wasRegistered;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        wasRegistered = state->shutdownHandler != nullptr;
        state->shutdownHandler = nullptr;
        state->shutdownContext = nullptr;
    }
    if (!wasRegistered) {
        host::Violation("NdisMDeregisterAdapterShutdownHandler(%p): no handler is registered",
                        MiniportHandle);
        return;
    }
    host::LedgerRemove(host::Resource::ShutdownHandler, MiniportHandle);
}
