// The upper edge, sends: the protocols' packets, one per frame, handed to
// MiniportSendPackets (or MiniportSend), held back while the adapter
// resets, and their completions, checked: each once, with a final status,
// and the packet's data as it was sent (see host/miniport.h).
#include <algorithm>
#include <cstring>

#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {

SendRecord::~SendRecord() {
    for (auto* b : buffers) DeleteProtocolBuffer(b);
    if (packet) DeleteProtocolPacket(packet);
}

namespace {

// Completed sends kept, so that a second completion of one of them is named
// as such. Older ones are retired and kept for reuse, up to kSpareSends.
constexpr size_t kRecentSends = 64;
constexpr size_t kSpareSends = 256;

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

}  // namespace
}  // namespace internal

using internal::MiniportState;
using internal::Phase;

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
