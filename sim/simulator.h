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

#include "cardmodel/line_port.h"
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
    // The driver: this Windows image, or (null) the one testbed::Machine
    // chooses (ZR48_DRIVER_IMAGE's image, else the one linked in).
    std::shared_ptr<host::DriverImage> driverImage;
};

enum class AdapterPhase { Created, Initializing, Running, Failed, Halted };
const char* AdapterPhaseName(AdapterPhase phase);

// Throughput at the upper edge, in kbit/s: bytes of the frames an adapter
// sent (completed successfully) and received.
struct Throughput {
    double txKbps = 0;
    double rxKbps = 0;
};

// What the display shows of one adapter.
struct AdapterSnapshot {
    std::string name;
    AdapterPhase phase = AdapterPhase::Created;
    uint32_t initStatus = 0;        // what MiniportInitialize returned
    size_t firmwareSent = 0;        // image bytes the transceiver accepted so far
    size_t firmwareTotal = 0;
    std::string failure;            // why MiniportInitialize failed, as far as can be seen
    std::string controller;         // transceiver controller state
    std::string line;               // line condition at this end (and why, when it cannot train)
    std::string lineName;           // the line it is on
    bool cut = false;               // the line is cut
    bool connected = false;         // the driver's last connect/disconnect indication (false once halted)
    uint32_t rateKbps = 0;          // trained rate, else the configured one
    bool trained = false;           // rateKbps is the trained rate
    std::string mac;                // the adapter's current address
    // The driver's counters, through the standard OIDs (fresh: read this
    // time; final: read last, just before the halt).
    uint64_t xmitOk = 0, rcvOk = 0, xmitError = 0, rcvError = 0;
    bool countersFresh = false;
    bool countersFinal = false;
    Throughput throughput;          // over the last second
    // The upper edge
    uint64_t sent = 0, completedOk = 0, completedFailed = 0, received = 0;
    uint64_t bytesSent = 0, bytesReceived = 0, outstanding = 0;
    uint64_t connects = 0, disconnects = 0, resets = 0;
    // The card
    uint64_t crcErrors = 0, rxDropped = 0, txDiscarded = 0;
};

struct SimEvent {
    enum class Kind {
        Info,     // anything else
        Adapter,  // an adapter's own life: initialize, reset, halt
        Line,     // the line at an adapter's end, or a transceiver state
        Link,     // the driver indicates connect or disconnect
        Control,  // a line cut, restored, flapped, given loss or errors (source: the line)
        Problem,  // a failure or a verifier violation
    };
    double time;          // seconds since the machine started, when it happened
    std::string adapter;  // or a line name, or empty
    std::string text;
    Kind kind = Kind::Info;
};

// Throughput samples of one adapter: bytes so far at `time`.
struct RateSample {
    double time;
    uint64_t txBytes;
    uint64_t rxBytes;
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
    // What the driver will do with the configuration's special values, and
    // firmware images the card will refuse: said once, also as events.
    const std::vector<std::string>& Notes() const { return notes_; }
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
    // Events are stamped when they happen (the transceiver's and the line's
    // changes with the card's own times) and come in the order of their times.
    std::vector<SimEvent> TakeEvents();                 // since the last call
    std::vector<SimEvent> RecentEvents(size_t count);   // the latest
    std::vector<SimEvent> AllEvents();                  // of the run (the latest 20000)
    void Note(const std::string& who, const std::string& text,
              SimEvent::Kind kind = SimEvent::Kind::Info);
    double Seconds() const;  // since the machine started
    // Throughput over the last second (from the samples taken every 250 ms).
    Throughput CurrentThroughput(size_t adapter);
    // The samples of the run, for a picture of it.
    std::vector<RateSample> Samples(size_t adapter);
    const std::string& LineOf(size_t adapter) const;
    // The rate the adapter's driver configured, in kbit/s (0 before).
    uint32_t ConfiguredRate(size_t adapter);
    // Called (on the indicating thread) after each connect or disconnect the
    // adapter's driver indicates, and after its halt; LinkUp then tells the
    // state. Setting another (or none) waits for a call under way to end.
    void OnLinkChange(size_t adapter, std::function<void()> watcher);

    // ---- The upper edge --------------------------------------------------------
    // One information request, as a protocol makes it: waits while another is
    // outstanding on the adapter, then for a pending one to complete, at most
    // `limit` each.
    RequestOutcome Request(size_t adapter, bool query, uint32_t oid,
                           const std::vector<uint8_t>& buffer, host::Nanoseconds limit);
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
    void ReportErrorLog(Adapter& a, const void* handle, std::string* entries);
    std::string ExplainInitFailure(Adapter& a);
    void Fill(Adapter& a, AdapterSnapshot* s);
    void ReadCounters(Adapter& a, AdapterSnapshot* s);
    void ReadFinalCounters(Adapter& a);
    std::string LineText(Adapter& a, cardmodel::LineCondition condition, uint32_t rateKbps);
    std::string WhyIncompatible(Adapter& a);
    Adapter* FarEnd(Adapter& a);
    void GatherCardChanges();
    void Insert(SimEvent e);
    void ScheduleSample(host::Nanoseconds period);
    void Sample();
    bool Enter(Adapter& a);
    void Leave(Adapter& a);
    bool Admit(Adapter& a, host::Nanoseconds limit);
    bool TakeSlot(Adapter& a);
    unsigned GiveBackSlot(Adapter& a);
    bool SendNow(Adapter& a, const std::vector<uint8_t>& frame);
    void TrafficTick(size_t length, host::Nanoseconds period, uint64_t generation);
    cardmodel::LineBase* FindLine(const std::string& name, std::string* error);
    void AddEvent(const std::string& who, const std::string& text,
                  SimEvent::Kind kind = SimEvent::Kind::Info);

    SimConfig config_;
    SimOptions options_;
    std::vector<std::string> notes_;
    std::unique_ptr<testbed::Machine> machine_;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    std::vector<std::unique_ptr<LinePlace>> lines_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> trafficGeneration_{0};
    std::atomic<bool> traffic_{false};

    mutable std::mutex eventsMu_;   // the events, and each adapter's last seen card change
    std::deque<SimEvent> recent_;   // the latest 100
    std::vector<SimEvent> fresh_;   // not yet taken
    std::deque<SimEvent> all_;      // the run's (the latest 20000)

    std::mutex samplesMu_;          // every adapter's samples
    std::atomic<bool> sampling_{false};
};

}  // namespace zr48sim
