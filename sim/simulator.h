// The simulation: a host machine with the zr48 driver loaded, one card per
// adapter, each driven by its own miniport instance, joined by lines. It is
// what NDIS and the protocols are to the driver: it starts and halts the
// adapters, sends and receives through their upper edge, makes their
// information requests one at a time, calls the hang check every 2 seconds,
// and keeps what a person wants to see (bring-up, line, rate, counters,
// events).
//
// Works in both host modes: concurrent for a live run (real threads, real
// clock), deterministic for tests (virtual time, nothing runs until the test
// moves the clock).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/config.h"
#include "host/miniport.h"
#include "host/world.h"

namespace testbed {
class Machine;
struct Unit;
}  // namespace testbed
namespace cardmodel {
class Card;
class LineBase;
}  // namespace cardmodel

namespace zr48sim {

struct SimOptions {
    host::WorldOptions world;        // mode and processors
    bool unlimitedRate = false;      // cards serialize frames in no time
    unsigned sendWindow = 32;        // sends a protocol keeps outstanding per adapter
    bool hangChecks = true;          // NDIS's watchdog (host::WorldOptions::watchdog)
};

enum class AdapterPhase { Created, Initializing, Running, Failed, Halted };
const char* AdapterPhaseName(AdapterPhase phase);

// What the display shows of one adapter.
struct AdapterSnapshot {
    std::string name;
    AdapterPhase phase = AdapterPhase::Created;
    uint32_t initStatus = 0;        // what MiniportInitialize returned
    size_t firmwareSent = 0;        // image bytes the transceiver accepted so far
    size_t firmwareTotal = 0;
    std::string controller;         // transceiver controller state
    std::string line;               // line condition at this end
    bool cut = false;               // the line is cut
    bool connected = false;         // the driver's last connect/disconnect indication
    uint32_t rateKbps = 0;          // trained rate, else the configured one
    std::string mac;                // the adapter's current address
    // The driver's counters, through the standard OIDs (fresh: read this time).
    uint64_t xmitOk = 0, rcvOk = 0, xmitError = 0, rcvError = 0;
    bool countersFresh = false;
    // The upper edge
    uint64_t sent = 0, completedOk = 0, completedFailed = 0, received = 0;
    uint64_t bytesSent = 0, bytesReceived = 0, outstanding = 0;
    uint64_t connects = 0, disconnects = 0, resets = 0;
    // The card
    uint64_t crcErrors = 0, rxDropped = 0, txDiscarded = 0;
};

struct SimEvent {
    double time;          // seconds since the machine started
    std::string adapter;  // or a line name, or empty
    std::string text;
};

struct RequestOutcome {
    bool ok = false;            // the request reached the miniport and finished
    std::string error;          // why not
    host::RequestResult result;
};

enum class LineAction { Cut, Restore, Flap, Loss, BitErrors };

struct ShutdownReport {
    bool clean = false;
    std::vector<std::string> problems;  // adapters not halted, ledger, violations
};

class RequestTurn;

class Simulator {
public:
    Simulator(SimConfig config, SimOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // A fresh machine: the driver loaded, a card per adapter, the lines.
    bool Build(std::string* error);
    // Initializes every adapter in turn with its firmware image and sets a
    // packet filter; false, with the adapters that failed, when any did.
    bool StartAdapters(std::string* error);

    const SimConfig& Config() const { return config_; }
    size_t AdapterCount() const;
    int FindAdapter(const std::string& name) const;  // -1 when none
    const std::string& AdapterName(size_t adapter) const;
    bool Running(size_t adapter) const;
    bool LinkUp(size_t adapter) const;  // the driver indicated connect last
    bool AllLinksUp() const;
    std::vector<uint8_t> Address(size_t adapter) const;  // its current address
    // The address of the adapter at the far end of its line (its own on loopback).
    std::vector<uint8_t> PeerAddress(size_t adapter) const;
    // The adapter's card, for its fault knobs and inspection.
    cardmodel::Card& CardOf(size_t adapter);

    // ---- What the display shows --------------------------------------------
    std::vector<AdapterSnapshot> Snapshot();
    std::vector<SimEvent> TakeEvents();                 // since the last call
    std::vector<SimEvent> RecentEvents(size_t count);   // the latest
    void Note(const std::string& who, const std::string& text);
    double Seconds() const;  // since the machine started

    // ---- The upper edge --------------------------------------------------------
    // One information request, as a protocol makes it: waits while another is
    // outstanding on the adapter, then for a pending one to complete, at most
    // `limit` each.
    RequestOutcome Request(size_t adapter, bool query, uint32_t oid, std::vector<uint8_t> buffer,
                           host::Nanoseconds limit);
    // MiniportReset through NDIS; false with a reason when it cannot run.
    bool Reset(size_t adapter, std::string* error);
    // A frame sent as a protocol sends it: within the send window. TrySend
    // gives up when the window is full; SendWait waits for room (until the
    // simulator stops or `limit` passes).
    bool TrySend(size_t adapter, const std::vector<uint8_t>& frame);
    bool SendWait(size_t adapter, const std::vector<uint8_t>& frame, host::Nanoseconds limit);
    // Where received frames go (set before StartAdapters); called on the
    // indicating processor, inside the driver's receive indication.
    void OnReceive(size_t adapter, std::function<void(const std::vector<uint8_t>&)> sink);

    // ---- Lines -----------------------------------------------------------------
    // Cut, Restore; Flap with `pattern` in ms; Loss and BitErrors with `value`.
    bool LineControl(const std::string& line, LineAction action, double value,
                     const std::vector<int64_t>& pattern, std::string* error);
    std::vector<std::string> LineNames() const;

    // ---- Generated traffic ----------------------------------------------------
    // Every adapter keeps its send window full of `length`-byte frames for its
    // peer (executor work, every `period`), until StopTraffic.
    void StartTraffic(size_t length, host::Nanoseconds period);
    void StopTraffic();

    // ---- Stopping --------------------------------------------------------------
    // Refuses new requests and sends, halts every running adapter.
    void HaltAll();
    // After HaltAll and once nobody else calls in: stops the machine, checks
    // the verifier's ledger and violations, and takes the cards and lines
    // away.
    ShutdownReport Finish();

private:
    struct Adapter;
    struct LinePlace;
    friend class RequestTurn;

    bool BuildAdapter(const AdapterSettings& settings, std::string* error);
    bool BuildLines(std::string* error);
    void WatchUpperEdge(Adapter& a);
    bool StartAdapter(Adapter& a);
    void ReadAddress(Adapter& a);
    void Fill(Adapter& a, AdapterSnapshot* s);
    void ReadCounters(Adapter& a, AdapterSnapshot* s);
    void NoteLineChange(Adapter& a, const AdapterSnapshot& s);
    bool Enter(Adapter& a);
    void Leave(Adapter& a);
    bool Admit(Adapter& a, host::Nanoseconds limit);
    bool TakeSlot(Adapter& a);
    unsigned GiveBackSlot(Adapter& a);
    bool SendNow(Adapter& a, const std::vector<uint8_t>& frame);
    void TrafficTick(size_t length, host::Nanoseconds period, uint64_t generation);
    cardmodel::LineBase* FindLine(const std::string& name, std::string* error);
    void AddEvent(const std::string& who, const std::string& text);

    SimConfig config_;
    SimOptions options_;
    std::unique_ptr<testbed::Machine> machine_;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    std::vector<std::unique_ptr<LinePlace>> lines_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> trafficGeneration_{0};
    std::atomic<bool> traffic_{false};

    mutable std::mutex eventsMu_;
    std::deque<SimEvent> recent_;   // the latest 100
    std::vector<SimEvent> fresh_;   // not yet taken
};

}  // namespace zr48sim
