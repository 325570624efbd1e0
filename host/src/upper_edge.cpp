// The upper edge: what the protocols bound to an adapter see of it. They send
// packets and get them back completed, are lent received packets and give
// them back, hear status indications, and make information requests one at
// a time (see host/miniport.h).
#include <algorithm>
#include <cstring>
#include <set>

#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {

namespace {
// Completed sends kept, so that a second completion of one of them is named
// as such. Older ones are retired and kept for reuse, up to kSpareSends.
constexpr size_t kRecentSends = 64;
constexpr size_t kSpareSends = 256;
}  // namespace

SendRecord::~SendRecord() {
    for (auto* b : buffers) DeleteProtocolBuffer(b);
    if (packet) DeleteProtocolPacket(packet);
}

void OnChosenProcessor(int processor, const std::function<void()>& fn) {
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

bool PacketLentToProtocol(PNDIS_PACKET packet) {
    for (auto& state : AllAdapters()) {
        std::lock_guard<std::mutex> lock(state->mu);
        if (state->lentBy.count(packet)) return true;
    }
    return false;
}

// True the first time the guard after the buffer is found written. Caller
// holds the adapter's mu.
bool NewOverrun(RequestRecord& r) {
    if (r.overrunReported) return false;
    for (size_t i = r.length; i < r.buffer.size(); ++i) {
        if (r.buffer[i] != kRequestGuardByte) {
            r.overrunReported = true;
            return true;
        }
    }
    return false;
}

void ReportOverrun(bool query, NDIS_OID oid, ULONG length) {
    Violation("the %s handler for OID 0x%08X wrote past the end of its %u-byte information "
              "buffer", query ? "query" : "set", oid, length);
}

RequestResult ResultOf(const RequestRecord& r) {
    RequestResult result;
    result.issued = true;
    result.pended = r.pended;
    result.completed = r.completed && !r.inHandler;
    result.status = result.completed ? r.status : NDIS_STATUS_PENDING;
    result.bytesDone = r.bytesDone;
    result.bytesNeeded = r.bytesNeeded;
    result.buffer.assign(r.buffer.begin(), r.buffer.begin() + r.length);
    return result;
}

namespace {

KIRQL AtLeastCurrent(KIRQL irql) { return irql < CurrentIrql() ? CurrentIrql() : irql; }

// ---------------------------------------------------------------------------
// Send
// ---------------------------------------------------------------------------
bool CutsFit(const OutgoingFrame& f) {
    if (f.noBuffer) return f.bytes.empty() && f.splitAt.empty();
    size_t previous = 0;
    for (size_t cut : f.splitAt) {
        if (cut < previous || cut > f.bytes.size()) return false;
        previous = cut;
    }
    return true;
}

// The protocol's packet for a frame, one buffer per piece: `spare`, a
// retired send, made fresh when it has as many buffers, else a new one.
std::unique_ptr<SendRecord> BuildSend(const OutgoingFrame& f, std::unique_ptr<SendRecord> spare) {
    size_t pieces = f.noBuffer ? 0 : f.splitAt.size() + 1;
    std::unique_ptr<SendRecord> r;
    bool reused = spare && spare->buffers.size() == pieces;
    if (reused) {
        r = std::move(spare);
        ReviveProtocolPacket(r->packet);
    } else {
        r = std::make_unique<SendRecord>();
        r->packet = NewProtocolPacket();
    }
    r->frame.assign(f.bytes.begin(), f.bytes.end());
    r->wire.assign(f.bytes.begin(), f.bytes.end());
    r->wire.reserve(r->wire.size() + 1);  // never a null address, even for no bytes
    size_t start = 0;
    for (size_t i = 0; i < pieces; ++i) {
        size_t cut = i < f.splitAt.size() ? f.splitAt[i] : r->wire.size();
        auto length = static_cast<UINT>(cut - start);
        if (reused) {
            ReviveProtocolBuffer(r->buffers[i], r->wire.data() + start, length);
        } else {
            r->buffers.push_back(NewProtocolBuffer(r->wire.data() + start, length));
        }
        ChainProtocolBuffer(r->packet, r->buffers[i]);
        start = cut;
    }
    CountProtocolPacket(r->packet);
    return r;
}

// Keeps a completed send among the recent ones; the oldest is retired for
// reuse (the caller holds the lock).
void KeepCompleted(MiniportState& s, std::unique_ptr<SendRecord> record) {
    s.completedSends.push_back(std::move(record));
    if (s.completedSends.size() <= kRecentSends) return;
    std::unique_ptr<SendRecord> oldest = std::move(s.completedSends.front());
    s.completedSends.pop_front();
    std::lock_guard<std::mutex> lock(s.spareMu);
    if (s.spareSends.size() >= kSpareSends) return;
    RetireProtocolPacket(oldest->packet, oldest->buffers);
    s.spareSends.push_back(std::move(oldest));
}

void CompleteSend(const std::shared_ptr<MiniportState>& state, PNDIS_PACKET packet,
                  NDIS_STATUS status, const char* function) {
    if (status == NDIS_STATUS_PENDING) {
        Violation("%s(%p): NDIS_STATUS_PENDING is not a completion status", function,
                  static_cast<void*>(packet));
        return;
    }
    // The completion is built in storage kept per thread, whose frame
    // buffer serves send after send; a completion made from inside another's
    // callback gets storage of its own.
    thread_local SendCompletion kept{};
    thread_local bool keptInUse = false;
    SendCompletion own{};
    bool useKept = !keptInUse;
    SendCompletion& completion = useKept ? kept : own;
    std::function<void(const SendCompletion&)> callback;
    const char* problem = nullptr;
    bool written = false;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        auto it = state->sending.find(packet);
        if (it == state->sending.end()) {
            bool recent = std::any_of(state->completedSends.begin(), state->completedSends.end(),
                                      [&](const std::unique_ptr<SendRecord>& r) {
                                          return r->packet == packet;
                                      });
            problem = recent ? "the send has been completed already"
                             : "not a packet sent to this adapter";
        } else {
            std::unique_ptr<SendRecord> record = std::move(it->second);
            state->sending.erase(it);
            written = record->wire != record->frame;
            completion.id = record->id;
            completion.packet = packet;
            completion.frame.assign(record->frame.begin(), record->frame.end());
            completion.status = status;
            completion.time = Now();
            completion.processor = CurrentProcessor();
            if (state->recording) state->completions.push_back(completion);
            KeepCompleted(*state, std::move(record));
            callback = state->callbacks.sendComplete;
        }
    }
    if (problem) {
        Violation("%s(%p): %s", function, static_cast<void*>(packet), problem);
        return;
    }
    if (written) {
        Violation("%s(%p): the miniport wrote into the data of a packet it was sent", function,
                  static_cast<void*>(packet));
    }
    if (!callback) return;
    keptInUse = keptInUse || useKept;
    callback(completion);
    if (useKept) keptInUse = false;
}

// ---------------------------------------------------------------------------
// Receive
// ---------------------------------------------------------------------------
// Why `packet` cannot be returned (the caller holds the lock).
const char* NotLent(const MiniportState& s, PNDIS_PACKET packet) {
    auto it = s.lastIndicatedStatus.find(packet);
    if (it == s.lastIndicatedStatus.end()) return "the packet was never indicated";
    if (it->second == NDIS_STATUS_RESOURCES) {
        return "the packet was indicated with NDIS_STATUS_RESOURCES: it belonged to the "
               "miniport again when the indication returned, and is never returned";
    }
    return "the packet has been returned already";
}

// Gives one lent packet back through MiniportReturnPacket. A packet no
// longer lent is refused with a violation when `strict` (the test asked for
// it), and skipped otherwise (another path returned it meanwhile).
// Once MiniportHalt has been called the miniport gets nothing back: halt
// had every packet back before it called it.
void ReturnOne(const std::shared_ptr<MiniportState>& state, PNDIS_PACKET packet, bool strict) {
    const char* problem = nullptr;
    NDIS_HANDLE context = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        bool halted = state->phase == Phase::Halting || state->phase == Phase::Halted;
        if (halted && state->lentBy.count(packet)) {
            problem = "the adapter has been halted with the packet still lent; MiniportReturnPacket "
                      "is not called once MiniportHalt has been";
            strict = true;
        } else if (halted) {
            problem = "the adapter has been halted: MiniportReturnPacket is not called once "
                      "MiniportHalt has been";
        } else if (!state->lentBy.erase(packet)) {
            problem = NotLent(*state, packet);
        } else {
            state->lent.erase(std::find(state->lent.begin(), state->lent.end(), packet));
            context = state->context;
            BeginCall(*state, Call::Return);
        }
    }
    if (problem) {
        if (strict) Violation("returning %p: %s", static_cast<void*>(packet), problem);
        return;
    }
    W_RETURN_PACKET_HANDLER handler = state->handlers.Ndis40Chars.ReturnPacketHandler;
    if (!handler) {
        Violation("returning %p: the driver registered no MiniportReturnPacket",
                  static_cast<void*>(packet));
    } else {
        RunAtIrql(AtLeastCurrent(DISPATCH_LEVEL), "MiniportReturnPacket",
                  [&] { handler(context, packet); });
    }
    EndCall(*state, Call::Return);
}

// An indication the upper edge has taken: its frames, the protocol that
// hears them (none while halt unbinds the protocols) and when it gives the
// packets back.
struct Indication {
    std::vector<ReceivedFrame> frames;
    std::function<void(const ReceivedFrame&)> callback;
    ReturnPolicy policy;
};

// Records the indicated packets and lends out those not marked
// NDIS_STATUS_RESOURCES; reads each status now, as NDIS does. The adapter's
// state is checked again under the lock, in the same critical section that
// counts the indication as under way: halt, which waits for indications under
// way before it calls MiniportHalt, then either sees this one or refuses it.
// False (after a violation) when MiniportHalt has been called meanwhile;
// otherwise the caller ends the call.
bool TakeIndication(MiniportState& s, PPNDIS_PACKET packets, UINT count, Indication* taken) {
    std::vector<ReceivedFrame>& frames = taken->frames;
    std::set<PNDIS_PACKET> seen;
    std::unique_lock<std::mutex> lock(s.mu);
    Phase phase = s.phase;
    if (phase != Phase::Running && phase != Phase::Unbinding) {
        lock.unlock();
        Violation("NdisMIndicateReceivePacket(%p): MiniportHalt has been called: the protocols "
                  "are unbound", static_cast<void*>(&s));
        return false;
    }
    BeginCall(s, Call::Indication);
    if (phase == Phase::Running) taken->callback = s.callbacks.receive;
    taken->policy = s.returnPolicy;
    uint64_t indication = ++s.indications;
    if (s.packetFilter == 0) {
        s.warnings.push_back("NdisMIndicateReceivePacket: " + std::to_string(count) +
                             " packet(s) indicated before a packet filter was set");
    }
    for (UINT i = 0; i < count; ++i) {
        PNDIS_PACKET p = packets[i];
        const char* problem = nullptr;
        if (!IsPoolPacket(p)) problem = "not a live packet from NdisAllocatePacket";
        else if (s.lentBy.count(p)) problem = "indicated again while the protocol still holds it";
        else if (!seen.insert(p).second) problem = "appears twice in the array";
        if (problem) {
            Violation("NdisMIndicateReceivePacket: packet %p: %s", static_cast<void*>(p), problem);
            continue;
        }
        ReceivedFrame f{};
        ReadIndicatedPacket(p, "NdisMIndicateReceivePacket", &f.bytes);
        f.status = NDIS_GET_PACKET_STATUS(p);
        f.headerSize = NDIS_GET_PACKET_HEADER_SIZE(p);
        f.processor = CurrentProcessor();
        f.time = Now();
        f.packet = p;
        f.indication = indication;
        if (s.recording) s.received.push_back(f);
        s.lastIndicatedStatus[p] = f.status;
        if (f.status != NDIS_STATUS_RESOURCES) {
            s.lent.push_back(p);
            s.lentBy[p] = indication;
        }
        frames.push_back(std::move(f));
    }
    return true;
}

void ReturnIndication(const std::shared_ptr<MiniportState>& state, uint64_t indication) {
    std::vector<PNDIS_PACKET> packets;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        for (PNDIS_PACKET p : state->lent) {
            if (state->lentBy[p] == indication) packets.push_back(p);
        }
    }
    for (PNDIS_PACKET p : packets) ReturnOne(state, p, false);
}

void ApplyReturnPolicy(const std::shared_ptr<MiniportState>& state,
                       const std::vector<ReceivedFrame>& frames, ReturnPolicy policy) {
    if (frames.empty() || policy.when == ReturnWhen::Hold) return;
    if (policy.when == ReturnWhen::InsideIndication) {
        for (auto& f : frames) {
            if (f.status != NDIS_STATUS_RESOURCES) ReturnOne(state, f.packet, false);
        }
        return;
    }
    std::weak_ptr<MiniportState> weak = state;
    uint64_t indication = frames.front().indication;
    ScheduleAfter(
        0,
        [weak, indication, policy] {
            auto s = weak.lock();
            if (s) OnChosenProcessor(policy.processor, [&] { ReturnIndication(s, indication); });
        },
        "protocol returns received packets");
}

void RecordStatus(const std::shared_ptr<MiniportState>& state, StatusIndication indication) {
    std::function<void(const StatusIndication&)> callback;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        if (state->recording) state->statuses.push_back(indication);
        callback = state->callbacks.status;
    }
    if (callback) callback(indication);
}

// ---------------------------------------------------------------------------
// Information requests
// ---------------------------------------------------------------------------
// Remembers what NDIS would set again after an addressing reset, and the
// filter that decides whether a receive comes too early (lock held).
void NoteSetDone(MiniportState& s, const RequestRecord& r) {
    if (r.query || r.status != NDIS_STATUS_SUCCESS) return;
    std::vector<uint8_t> bytes(r.buffer.begin(), r.buffer.begin() + r.length);
    if (r.oid == OID_GEN_CURRENT_PACKET_FILTER && r.length == 4) {
        s.packetFilter = bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                         static_cast<ULONG>(bytes[3]) << 24;
        s.filterSet = bytes;
        s.haveFilterSet = true;
    } else if (r.oid == OID_802_3_MULTICAST_LIST) {
        s.multicastSet = bytes;
        s.haveMulticastSet = true;
    }
}

bool RequestOutstanding(const MiniportState& s) {
    return s.request && (!s.request->completed || s.request->inHandler);
}

void CompleteRequest(NDIS_HANDLE handle, NDIS_STATUS status, bool query, const char* function) {
    RequireIrql(function, PASSIVE_LEVEL, DISPATCH_LEVEL);
    auto state = AdapterFor(handle, function, Use::Completion);
    if (!state) return;
    if (status == NDIS_STATUS_PENDING) {
        Violation("%s: NDIS_STATUS_PENDING is not a completion status", function);
        return;
    }
    const char* problem = nullptr;
    RequestResult result;
    std::function<void(const RequestResult&)> callback;
    bool overrun = false;
    NDIS_OID oid = 0;
    ULONG length = 0;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        RequestRecord* r = state->request.get();
        if (!r || (!r->pended && !r->inHandler)) {
            problem = "no request is pending";
        } else if (r->completions) {
            problem = "the request has been completed already";
        } else if (r->query != query) {
            problem = query ? "the pending request is a set" : "the pending request is a query";
        } else {
            ++r->completions;
            r->completed = true;
            r->status = status;
            overrun = NewOverrun(*r);
            oid = r->oid;
            length = r->length;
            if (!r->inHandler) {  // otherwise the handler's return finishes it
                NoteSetDone(*state, *r);
                result = ResultOf(*r);
                callback = state->callbacks.requestComplete;
            }
        }
    }
    if (problem) {
        Violation("%s(%p): %s", function, handle, problem);
        return;
    }
    if (overrun) ReportOverrun(query, oid, length);
    if (callback) callback(result);
}

// Starts a request unless NDIS would not pass it on now; otherwise null,
// with the status the protocol gets in *refusal.
RequestRecord* OpenRequest(MiniportState& s, bool query, NDIS_OID oid, std::vector<uint8_t> buffer,
                           NDIS_HANDLE* context, NDIS_STATUS* refusal) {
    const char* what = query ? "Miniport::Query" : "Miniport::Set";
    std::unique_lock<std::mutex> lock(s.mu);
    *refusal = NDIS_STATUS_FAILURE;
    if (s.resetting) {
        *refusal = NDIS_STATUS_RESET_IN_PROGRESS;  // what NDIS tells a protocol
        return nullptr;
    }
    if (s.phase != Phase::Running) {
        lock.unlock();
        Violation("%s(OID 0x%08X): the adapter is not running", what, oid);
        return nullptr;
    }
    if (RequestOutstanding(s)) {
        NDIS_OID outstanding = s.request->oid;
        lock.unlock();
        Violation("%s(OID 0x%08X): the request for OID 0x%08X is outstanding; NDIS makes one "
                  "request at a time", what, oid, outstanding);
        return nullptr;
    }
    auto record = std::make_unique<RequestRecord>();
    record->query = query;
    record->oid = oid;
    record->length = static_cast<ULONG>(buffer.size());
    record->buffer = std::move(buffer);
    // Also a real address for 0 bytes.
    record->buffer.insert(record->buffer.end(), kRequestGuard, kRequestGuardByte);
    RequestRecord* r = record.get();
    s.request = std::move(record);
    *context = s.context;
    BeginCall(s, Call::Request);
    return r;
}

// The handler has returned `status` for request `r`; the call ends once
// the record says so, before the protocol hears of it.
RequestResult FinishRequest(const std::shared_ptr<MiniportState>& state, RequestRecord* r,
                            NDIS_STATUS status) {
    bool completedUnpended = false;
    NDIS_OID oid = r->oid;
    bool query = r->query;
    ULONG length = r->length;
    bool overrun;
    RequestResult result;
    std::function<void(const RequestResult&)> callback;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        r->inHandler = false;
        if (status == NDIS_STATUS_PENDING) {
            r->pended = true;
            // A completion from another processor may have come first.
            if (r->completed) callback = state->callbacks.requestComplete;
        } else {
            completedUnpended = r->completions != 0;
            r->completed = true;
            r->status = status;
        }
        if (r->completed) NoteSetDone(*state, *r);
        overrun = NewOverrun(*r);
        result = ResultOf(*r);
    }
    EndCall(*state, Call::Request);
    if (completedUnpended) {
        Violation("the request for OID 0x%08X was completed with NdisM%sInformationComplete "
                  "although its handler did not return NDIS_STATUS_PENDING",
                  oid, query ? "Query" : "Set");
    }
    if (overrun) ReportOverrun(query, oid, length);
    if (callback) callback(result);
    return result;
}

}  // namespace

size_t ReturnLentPackets(const std::shared_ptr<MiniportState>& state, size_t count,
                         int processor) {
    std::vector<PNDIS_PACKET> packets;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        for (PNDIS_PACKET p : state->lent) {
            if (packets.size() == count) break;
            packets.push_back(p);
        }
    }
    OnChosenProcessor(processor, [&] {
        for (PNDIS_PACKET p : packets) ReturnOne(state, p, false);
    });
    return packets.size();
}

}  // namespace internal

using internal::MiniportState;
using internal::Phase;

// ---------------------------------------------------------------------------
// Send
// ---------------------------------------------------------------------------
std::vector<SendId> Miniport::Send(const std::vector<OutgoingFrame>& frames, SendOptions options) {
    for (auto& f : frames) {
        if (!internal::CutsFit(f)) {
            Violation("Miniport::Send: a frame of %zu bytes cannot be cut at the offsets given "
                      "(ascending, none past the end; no bytes for a packet without buffer)",
                      f.bytes.size());
            return {};
        }
    }
    std::shared_ptr<MiniportState> state = state_;
    std::vector<SendId> ids;
    std::vector<PNDIS_PACKET> packets;
    // The packets are made outside the lock, from retired sends where there
    // are some; they are sent (or given back) under it.
    std::vector<std::unique_ptr<internal::SendRecord>> records(frames.size());
    {
        std::lock_guard<std::mutex> lock(state->spareMu);
        for (auto& r : records) {
            if (state->spareSends.empty()) break;
            r = std::move(state->spareSends.back());
            state->spareSends.pop_back();
        }
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        records[i] = internal::BuildSend(frames[i], std::move(records[i]));
    }
    bool running, resetting;
    NDIS_HANDLE context;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        running = state->phase == Phase::Running;
        resetting = state->resetting;
        context = state->context;
        if (running) {
            for (auto& record : records) {
                record->id = state->nextSendId++;
                PNDIS_PACKET packet = record->packet;
                ids.push_back(record->id);
                packets.push_back(packet);
                // During a reset NDIS holds new sends back until it is over.
                if (resetting) state->deferredSends.push_back(std::move(record));
                else state->sending[packet] = std::move(record);
            }
            if (!resetting) internal::BeginCall(*state, internal::Call::Send);
        }
    }
    if (!running) {
        Violation("Miniport::Send: the adapter is not running");
        return ids;
    }
    // An empty call is passed on too: the handler must cope with it.
    if (!resetting) {
        internal::OnChosenProcessor(options.processor,
                                    [&] { CallSendPackets(packets, options.irql, context); });
        internal::EndCall(*state, internal::Call::Send);
    }
    return ids;
}

void Miniport::CallSendPackets(const std::vector<PNDIS_PACKET>& packets, KIRQL irql,
                               NDIS_HANDLE context) {
    std::shared_ptr<MiniportState> state = state_;
    irql = internal::AtLeastCurrent(irql);
    if (W_SEND_PACKETS_HANDLER sendPackets = state->handlers.Ndis40Chars.SendPacketsHandler) {
        // The array is NDIS's and lives only for the call.
        std::vector<PNDIS_PACKET> array = packets;
        RunAtIrql(irql, "MiniportSendPackets", [&] {
            sendPackets(context, array.empty() ? nullptr : array.data(),
                        static_cast<UINT>(array.size()));
        });
        return;
    }
    W_SEND_HANDLER send = state->handlers.Ndis40Chars.Ndis30Chars.SendHandler;
    for (PNDIS_PACKET p : packets) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        RunAtIrql(irql, "MiniportSend", [&] { status = send(context, p, 0); });
        // A deserialized MiniportSend that does not pend has finished the packet.
        if (status != NDIS_STATUS_PENDING) internal::CompleteSend(state, p, status, "MiniportSend");
    }
}

void Miniport::SendDeferred() {
    std::shared_ptr<MiniportState> state = state_;
    std::vector<PNDIS_PACKET> packets;
    NDIS_HANDLE context;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        for (auto& record : state->deferredSends) {
            PNDIS_PACKET packet = record->packet;
            packets.push_back(packet);
            state->sending[packet] = std::move(record);
        }
        state->deferredSends.clear();
        context = state->context;
        if (packets.empty()) return;
        internal::BeginCall(*state, internal::Call::Send);
    }
    CallSendPackets(packets, DISPATCH_LEVEL, context);
    internal::EndCall(*state, internal::Call::Send);
}

std::vector<SendCompletion> Miniport::Completions() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->completions;
}

size_t Miniport::SendsOutstanding() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->sending.size() + state_->deferredSends.size();
}

void Miniport::OnSendComplete(std::function<void(const SendCompletion&)> callback) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->callbacks.sendComplete = std::move(callback);
}

// ---------------------------------------------------------------------------
// Receive
// ---------------------------------------------------------------------------
void Miniport::SetReturnPolicy(ReturnPolicy policy) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->returnPolicy = policy;
}

std::vector<ReceivedFrame> Miniport::Received() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->received;
}

std::vector<PNDIS_PACKET> Miniport::HeldPackets() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return {state_->lent.begin(), state_->lent.end()};
}

size_t Miniport::ReturnHeld(size_t count, int processor) {
    return internal::ReturnLentPackets(state_, count, processor);
}

void Miniport::ReturnPacket(PNDIS_PACKET packet, int processor) {
    std::shared_ptr<MiniportState> state = state_;
    internal::OnChosenProcessor(processor, [&] { internal::ReturnOne(state, packet, true); });
}

void Miniport::OnReceive(std::function<void(const ReceivedFrame&)> callback) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->callbacks.receive = std::move(callback);
}

std::vector<std::string> Miniport::Warnings() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->warnings;
}

// ---------------------------------------------------------------------------
// Status
// ---------------------------------------------------------------------------
std::vector<StatusIndication> Miniport::StatusIndications() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->statuses;
}

void Miniport::OnStatus(std::function<void(const StatusIndication&)> callback) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->callbacks.status = std::move(callback);
}

// ---------------------------------------------------------------------------
// Information requests
// ---------------------------------------------------------------------------
RequestResult Miniport::Query(NDIS_OID oid, ULONG bufferLength) {
    return Issue(true, oid, std::vector<uint8_t>(bufferLength, kInformationPattern));
}

RequestResult Miniport::Query(NDIS_OID oid, const std::vector<uint8_t>& contents) {
    return Issue(true, oid, contents);
}

RequestResult Miniport::Set(NDIS_OID oid, const std::vector<uint8_t>& bytes) {
    return Issue(false, oid, bytes);
}

RequestResult Miniport::Issue(bool query, NDIS_OID oid, std::vector<uint8_t> buffer) {
    std::shared_ptr<MiniportState> state = state_;
    RequestResult refused;
    NDIS_HANDLE context = nullptr;
    internal::RequestRecord* r =
        internal::OpenRequest(*state, query, oid, std::move(buffer), &context, &refused.status);
    if (!r) return refused;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    auto& v30 = state->handlers.Ndis40Chars.Ndis30Chars;
    RunAtIrql(internal::AtLeastCurrent(DISPATCH_LEVEL),
              query ? "MiniportQueryInformation" : "MiniportSetInformation", [&] {
                  status = query ? v30.QueryInformationHandler(context, oid, r->buffer.data(),
                                                               r->length, &r->bytesDone,
                                                               &r->bytesNeeded)
                                 : v30.SetInformationHandler(context, oid, r->buffer.data(),
                                                             r->length, &r->bytesDone,
                                                             &r->bytesNeeded);
              });
    return internal::FinishRequest(state, r, status);
}

bool Miniport::RequestPending() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return internal::RequestOutstanding(*state_);
}

RequestResult Miniport::WaitForRequest(Nanoseconds limit) {
    std::shared_ptr<MiniportState> state = state_;
    RunUntil(
        [&] {
            std::lock_guard<std::mutex> lock(state->mu);
            return !internal::RequestOutstanding(*state);
        },
        limit);
    return LastRequest();
}

RequestResult Miniport::LastRequest() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->request ? internal::ResultOf(*state_->request) : RequestResult{};
}

void Miniport::OnRequestComplete(std::function<void(const RequestResult&)> callback) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->callbacks.requestComplete = std::move(callback);
}

// NDIS sets the packet filter and multicast list again after a reset that
// lost the adapter's addressing. One request at a time: a replay that pends
// is waited for before the next.
void Miniport::ReplayAddressing() {
    std::vector<std::pair<NDIS_OID, std::vector<uint8_t>>> sets;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        if (state_->haveFilterSet) {
            sets.push_back({OID_GEN_CURRENT_PACKET_FILTER, state_->filterSet});
        }
        if (state_->haveMulticastSet) {
            sets.push_back({OID_802_3_MULTICAST_LIST, state_->multicastSet});
        }
        if (internal::RequestOutstanding(*state_) && !sets.empty()) {
            state_->warnings.push_back("addressing reset: the packet filter and multicast list "
                                       "were not set again, a request being outstanding");
            return;
        }
    }
    for (auto& set : sets) {
        if (Set(set.first, set.second).pended && !WaitForRequest(10 * kSecond).completed) return;
    }
}

void Miniport::SetRecording(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->recording = on;
}

void Miniport::ClearRecords() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->completions.clear();
    state_->received.clear();
    state_->statuses.clear();
    state_->warnings.clear();
}

}  // namespace host

// ---------------------------------------------------------------------------
// The NDIS calls
// ---------------------------------------------------------------------------
using host::internal::AdapterFor;
using host::internal::Use;

void NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                       NDIS_STATUS Status) {
    host::RequireIrql("NdisMSendComplete", PASSIVE_LEVEL, DISPATCH_LEVEL);
    auto state = AdapterFor(MiniportAdapterHandle, "NdisMSendComplete", Use::Completion);
    if (state) host::internal::CompleteSend(state, Packet, Status, "NdisMSendComplete");
}

void NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle, PPNDIS_PACKET ReceivePackets,
                                UINT NumberOfPackets) {
    // Receive indications are made from the deferred routine or with a spin
    // lock held: NDIS documents this call at DISPATCH_LEVEL only.
    host::RequireIrql("NdisMIndicateReceivePacket", DISPATCH_LEVEL, DISPATCH_LEVEL);
    auto state = AdapterFor(MiniportAdapterHandle, "NdisMIndicateReceivePacket", Use::Indication);
    if (!state) return;
    if (NumberOfPackets && !ReceivePackets) {
        host::Violation("NdisMIndicateReceivePacket: %u packets and no array", NumberOfPackets);
        return;
    }
    host::internal::Indication taken;
    if (!host::internal::TakeIndication(*state, ReceivePackets, NumberOfPackets, &taken)) return;
    if (taken.callback) {
        for (auto& f : taken.frames) taken.callback(f);
    }
    host::internal::ApplyReturnPolicy(state, taken.frames, taken.policy);
    host::internal::EndCall(*state, host::internal::Call::Indication);
}

void NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                         PVOID StatusBuffer, UINT StatusBufferSize) {
    host::RequireIrql("NdisMIndicateStatus", PASSIVE_LEVEL, DISPATCH_LEVEL);
    auto state = AdapterFor(MiniportAdapterHandle, "NdisMIndicateStatus", Use::Call);
    if (!state) return;
    std::vector<uint8_t> buffer;
    if (StatusBufferSize && !StatusBuffer) {
        host::Violation("NdisMIndicateStatus: %u bytes of status buffer at NULL", StatusBufferSize);
    } else if (StatusBufferSize) {
        auto* bytes = static_cast<const uint8_t*>(StatusBuffer);
        buffer.assign(bytes, bytes + StatusBufferSize);
    }
    host::internal::RecordStatus(state, {false, GeneralStatus, buffer, host::Now()});
}

void NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    host::RequireIrql("NdisMIndicateStatusComplete", PASSIVE_LEVEL, DISPATCH_LEVEL);
    auto state = AdapterFor(MiniportAdapterHandle, "NdisMIndicateStatusComplete", Use::Call);
    if (state) host::internal::RecordStatus(state, {true, NDIS_STATUS_SUCCESS, {}, host::Now()});
}

void NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    host::internal::CompleteRequest(MiniportAdapterHandle, Status, true,
                                    "NdisMQueryInformationComplete");
}

void NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    host::internal::CompleteRequest(MiniportAdapterHandle, Status, false,
                                    "NdisMSetInformationComplete");
}
