// The upper edge, sends: the protocols' packets, one per frame, handed to
// MiniportSendPackets (or MiniportSend), held back while the adapter
// resets, and their completions, checked: each once, with a final status,
// and the packet's data as it was sent (see host/miniport.h).
#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {
namespace {

// Files a send as outstanding, in a node a completed send left where there is
// one (caller holds the adapter's mu).
void FileSending(MiniportState& s, std::unique_ptr<SendRecord> record) {
    PNDIS_PACKET packet = record->packet;
    if (s.sendingNodes.empty()) {
        s.sending[packet] = std::move(record);
        return;
    }
    auto node = std::move(s.sendingNodes.back());
    s.sendingNodes.pop_back();
    node.key() = packet;
    node.mapped() = std::move(record);
    auto inserted = s.sending.insert(std::move(node));
    if (!inserted.inserted) inserted.position->second = std::move(inserted.node.mapped());
}

bool CutsFit(const OutgoingFrame& f) {
    if (f.noBuffer) return f.bytes.empty() && f.splitAt.empty();
    size_t previous = 0;
    for (size_t cut : f.splitAt) {
        if (cut < previous || cut > f.bytes.size()) return false;
        previous = cut;
    }
    return true;
}

void CompleteSend(const std::shared_ptr<MiniportState>& state, PNDIS_PACKET packet,
                  NDIS_STATUS status, const char* function) {
    if (status == NDIS_STATUS_PENDING) {
        Violation("%s(%p): NDIS_STATUS_PENDING is not a completion status", function,
                  static_cast<void*>(packet));
        return;
    }
    EnterProtocol(*state);  // its send-complete handler takes its lock
    CompletionSlot slot;
    SendCompletion& completion = slot.completion();
    std::function<void(const SendCompletion&)> callback;
    const char* problem = nullptr;
    bool written = false;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        auto it = state->sending.find(packet);
        if (it == state->sending.end()) {
            problem = CompletedRecently(state->completedSends, packet)
                          ? "the send has been completed already"
                          : "not a packet sent to this adapter";
        } else {
            auto node = state->sending.extract(it);
            std::unique_ptr<SendRecord> record = std::move(node.mapped());
            state->sendingNodes.push_back(std::move(node));
            written = record->Written();
            completion.id = record->id;
            completion.packet = packet;
            // The record's frame is not read again (a retired record takes
            // a new frame before its next send): the completion takes its
            // bytes and leaves it the storage of the previous completion.
            completion.frame.swap(record->frame);
            completion.status = status;
            completion.time = Now();
            completion.processor = CurrentProcessor();
            if (state->recording) state->completions.push_back(completion);
            KeepCompleted(state->completedSends, std::move(record));
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
    if (callback) callback(completion);
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
    ids.reserve(frames.size());
    // The call's packets and records: in place for a few, as most calls send.
    internal::CallArray<PNDIS_PACKET, 16> packets(frames.size());
    internal::CallArray<std::unique_ptr<internal::SendRecord>, 16> records(frames.size());
    // The packets are made outside the lock, from retired sends where there
    // are some; they are sent (or given back) under it.
    internal::NewSends(state->completedSends, frames, records.data());
    bool running, resetting;
    NDIS_HANDLE context;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        running = state->phase == Phase::Running;
        resetting = state->resetting;
        context = state->context;
        if (running) {
            for (size_t i = 0; i < records.size(); ++i) {
                std::unique_ptr<internal::SendRecord>& record = records[i];
                record->id = state->nextSendId++;
                PNDIS_PACKET packet = record->packet;
                ids.push_back(record->id);
                packets[i] = packet;
                // During a reset NDIS holds new sends back until it is over.
                if (resetting) state->deferredSends.push_back(std::move(record));
                else internal::FileSending(*state, std::move(record));
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
        internal::OnChosenProcessor(options.processor, [&] {
            internal::CallSendPackets(state, packets.data(), packets.size(), options.irql,
                                      context);
        });
        internal::EndCall(*state, internal::Call::Send);
    }
    return ids;
}

namespace internal {

void CallSendPackets(const std::shared_ptr<MiniportState>& state, PNDIS_PACKET* packets,
                     size_t count, KIRQL irql, NDIS_HANDLE context) {
    irql = AtLeastCurrent(irql);
    // The protocol holds its own lock while it hands packets down, as a
    // TCP/IP stack does; at PASSIVE_LEVEL it can hold no spin lock.
    bool locked = state->protocolLocks && irql >= DISPATCH_LEVEL;
    if (locked) AcquireHostSpinLock(&state->protocolLock);
    if (W_SEND_PACKETS_HANDLER sendPackets = state->handlers.Ndis40Chars.SendPacketsHandler) {
        // The array is NDIS's and lives only for the call: `packets` is
        // this call's own.
        RunAtIrql(irql, "MiniportSendPackets", [&] {
            sendPackets(context, count == 0 ? nullptr : packets, static_cast<UINT>(count));
        });
    } else {
        W_SEND_HANDLER send = state->handlers.Ndis40Chars.Ndis30Chars.SendHandler;
        for (size_t i = 0; i < count; ++i) {
            PNDIS_PACKET p = packets[i];
            NDIS_STATUS status = NDIS_STATUS_FAILURE;
            RunAtIrql(irql, "MiniportSend", [&] { status = send(context, p, 0); });
            // A deserialized MiniportSend that does not pend has finished the packet.
            if (status != NDIS_STATUS_PENDING) CompleteSend(state, p, status, "MiniportSend");
        }
    }
    if (locked) ReleaseHostSpinLock(&state->protocolLock);
}

void SendDeferred(const std::shared_ptr<MiniportState>& state) {
    std::vector<PNDIS_PACKET> packets;
    NDIS_HANDLE context;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        for (auto& record : state->deferredSends) {
            packets.push_back(record->packet);
            FileSending(*state, std::move(record));
        }
        state->deferredSends.clear();
        context = state->context;
        if (packets.empty()) return;
        BeginCall(*state, Call::Send);
    }
    CallSendPackets(state, packets.data(), packets.size(), DISPATCH_LEVEL, context);
    EndCall(*state, Call::Send);
}

}  // namespace internal

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
