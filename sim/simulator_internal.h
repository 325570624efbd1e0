// What the simulator's source files share: the record of one adapter and of
// one line.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "cardmodel/card.h"
#include "sim/simulator.h"

namespace zr48sim {

struct Simulator::Adapter {
    AdapterSettings settings;
    size_t index = 0;
    std::string lineName;  // its line's name (see LineNameOf)
    testbed::Unit* unit = nullptr;
    std::vector<uint8_t> firmware;  // the image NDIS finds as "zr48.bin" for it
    std::atomic<AdapterPhase> phase{AdapterPhase::Created};
    std::atomic<uint32_t> initStatus{0};
    std::atomic<uint32_t> configuredKbps{0};  // the rate its driver configured at start
    std::array<uint8_t, 6> mac{};  // under viewMu: read by the display
    std::function<void(const std::vector<uint8_t>&)> sink;

    // Calls into the miniport (sends, requests, resets, hang checks) pass
    // this gate; halt closes it and waits until none is under way, as NDIS
    // makes no call into an adapter that it is halting.
    // Passing it costs two atomic operations; gateMu and gateCv serve only
    // the halt that waits for the calls under way.
    std::mutex gateMu;
    std::condition_variable gateCv;
    std::atomic<int> active{0};
    std::atomic<bool> open{false};

    // One information request at a time, from whoever asks (the display, the
    // control socket): taken from the issue until the request has completed
    // (see RequestTurn).
    std::mutex requestMu;
    std::condition_variable requestCv;
    bool requestBusy = false;
    // The handler calls that NDIS never overlaps: a request's handler and a
    // reset.
    std::mutex callMu;

    // The protocol's send window: taken and given back with atomic
    // operations; windowMu and windowCv serve only a sender that waits for
    // room.
    std::mutex windowMu;
    std::condition_variable windowCv;
    std::atomic<unsigned> outstanding{0};
    std::atomic<unsigned> windowWaiters{0};

    // The upper edge, counted from its callbacks
    std::atomic<uint64_t> sent{0}, completedOk{0}, completedFailed{0}, received{0};
    std::atomic<uint64_t> bytesSent{0}, bytesReceived{0};
    std::atomic<uint64_t> bytesCompleted{0};  // of sends completed successfully
    std::atomic<uint64_t> connects{0}, disconnects{0}, resets{0};
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> sequence{0};  // generated frames

    // Called after each link change the driver indicates (and after halt),
    // under watchMu, so that whoever sets it may stop it and go.
    std::mutex watchMu;
    std::function<void()> linkWatcher;

    // What the display saw last
    std::mutex viewMu;
    AdapterSnapshot last;        // the driver's counters as last read
    bool firmwareDone = false;
    std::string failure;         // why initialization failed

    // Under the simulator's eventsMu_: the card's last change turned into an
    // event, and the state it left.
    uint64_t seenChange = 0;
    cardmodel::ControllerState controllerSeen = cardmodel::ControllerState::Off;
    cardmodel::LineCondition conditionSeen = cardmodel::LineCondition::Idle;
    uint32_t rateSeen = 0;

    // Under the simulator's samplesMu_
    std::vector<RateSample> samples;
};

// An adapter's turn to make an information request, held while the request
// is issued and until it completes.
class RequestTurn {
public:
    // Waits up to `limit` for the turn (0: takes it only when it is free).
    RequestTurn(Simulator::Adapter& a, host::Nanoseconds limit);
    ~RequestTurn();
    bool Taken() const { return taken_; }

private:
    Simulator::Adapter& adapter_;
    bool taken_ = false;
};

struct Simulator::LinePlace {
    std::string name;
    cardmodel::LineBase* line = nullptr;
    std::vector<size_t> adapters;
};

}  // namespace zr48sim
