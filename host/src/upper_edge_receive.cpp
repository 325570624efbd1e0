// The upper edge, receives: the packets a miniport indicates are read as a
// protocol reads them, lent to the protocols (unless marked
// NDIS_STATUS_RESOURCES) and given back through MiniportReturnPacket when
// the return policy says, or when a test or halt asks (see host/miniport.h).
#include <algorithm>
#include <atomic>

#include "host/verifier.h"
#include "internal.h"
#include "internal_miniport.h"

namespace host {
namespace internal {

namespace {
// Packets lent to the protocols by every adapter together: a packet freed
// while none is lent anywhere (a halt freeing its receive packets) is
// answered without a look at every adapter NDIS has kept.
std::atomic<size_t> lentAnywhere{0};
}  // namespace

bool PacketLentToProtocol(PNDIS_PACKET packet) {
    if (lentAnywhere.load() == 0) return false;
    for (auto& state : AllAdapters()) {
        std::lock_guard<std::mutex> lock(state->mu);
        if (state->lentBy.count(packet)) return true;
    }
    return false;
}

namespace {

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
// had every packet back before it called it; except what it indicates while
// MiniportHalt runs (`heardByNone`), which NDIS hands back at once.
void ReturnOne(const std::shared_ptr<MiniportState>& state, PNDIS_PACKET packet, bool strict,
               bool heardByNone = false) {
    const char* problem = nullptr;
    NDIS_HANDLE context = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mu);
        bool halted = (state->phase == Phase::Halting && !heardByNone) ||
                      state->phase == Phase::Halted;
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
            lentAnywhere -= 1;
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
    bool bound = false;  // a protocol hears it
    bool duringHalt = false;  // made while MiniportHalt runs: heard by none, given back at once
    std::function<void(const ReceivedFrame&)> callback;
    ReturnPolicy policy;
};

// Records the indicated packets and lends out those not marked
// NDIS_STATUS_RESOURCES; reads each status now, as NDIS does. The adapter's
// state is checked again under the lock, in the same critical section that
// counts the indication as under way: halt, which waits for indications under
// way before it calls MiniportHalt, then either sees this one or refuses it.
// A deferred routine may still run, and indicate, while MiniportHalt runs
// on another processor (until the interrupt is deregistered): the protocols
// are unbound by then, so nobody hears it and NDIS gives every packet back
// at once. False (after a violation) when the adapter has been halted;
// otherwise the caller ends the call.
// Whether `packet` is among those taken from this indication already (an
// array is short: a look at each costs less than a set).
bool TakenAlready(const std::vector<ReceivedFrame>& frames, PNDIS_PACKET packet) {
    return std::any_of(frames.begin(), frames.end(),
                       [&](const ReceivedFrame& f) { return f.packet == packet; });
}

bool TakeIndication(MiniportState& s, PPNDIS_PACKET packets, UINT count, Indication* taken) {
    std::vector<ReceivedFrame>& frames = taken->frames;
    std::unique_lock<std::mutex> lock(s.mu);
    Phase phase = s.phase;
    if (phase != Phase::Running && phase != Phase::Unbinding && phase != Phase::Halting) {
        lock.unlock();
        Violation("NdisMIndicateReceivePacket(%p): the adapter has been halted: the protocols "
                  "are unbound", static_cast<void*>(&s));
        return false;
    }
    BeginCall(s, Call::Indication);
    taken->bound = phase == Phase::Running;
    taken->duringHalt = phase == Phase::Halting;
    if (taken->bound) taken->callback = s.callbacks.receive;
    taken->policy = s.returnPolicy;
    uint64_t indication = ++s.indications;
    Nanoseconds now = Now();  // one indication, one moment
    if (s.packetFilter == 0) {
        s.warnings.push_back("NdisMIndicateReceivePacket: " + std::to_string(count) +
                             " packet(s) indicated before a packet filter was set");
    }
    for (UINT i = 0; i < count; ++i) {
        PNDIS_PACKET p = packets[i];
        const char* problem = nullptr;
        if (!IsPoolPacket(p)) problem = "not a live packet from NdisAllocatePacket";
        else if (s.lentBy.count(p)) problem = "indicated again while the protocol still holds it";
        else if (TakenAlready(frames, p)) problem = "appears twice in the array";
        if (problem) {
            Violation("NdisMIndicateReceivePacket: packet %p: %s", static_cast<void*>(p), problem);
            continue;
        }
        ReceivedFrame f{};
        ReadIndicatedPacket(p, "NdisMIndicateReceivePacket", &f.bytes);
        f.status = NDIS_GET_PACKET_STATUS(p);
        f.headerSize = NDIS_GET_PACKET_HEADER_SIZE(p);
        f.processor = CurrentProcessor();
        f.time = now;
        f.packet = p;
        f.indication = indication;
        if (s.recording) s.received.push_back(f);
        s.lastIndicatedStatus[p] = f.status;
        if (f.status != NDIS_STATUS_RESOURCES) {
            s.lent.push_back(p);
            if (s.lentBy.insert_or_assign(p, indication).second) lentAnywhere += 1;
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

}  // namespace host

// ---------------------------------------------------------------------------
// The NDIS calls
// ---------------------------------------------------------------------------
using host::internal::AdapterFor;
using host::internal::Use;

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
    // The protocol's receive handler takes its lock; none hears an
    // indication while halt unbinds the protocols.
    if (taken.bound) host::internal::EnterProtocol(*state);
    if (taken.callback) {
        for (auto& f : taken.frames) taken.callback(f);
    }
    if (taken.duringHalt) {
        for (auto& f : taken.frames) {
            if (f.status != NDIS_STATUS_RESOURCES) {
                host::internal::ReturnOne(state, f.packet, true, true);
            }
        }
    } else {
        host::internal::ApplyReturnPolicy(state, taken.frames, taken.policy);
    }
    host::internal::EndCall(*state, host::internal::Call::Indication);
}
