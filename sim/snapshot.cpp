// What the simulator shows: one snapshot per adapter, the events in the order
// they happened, and the throughput samples.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "cardmodel/card.h"
#include "cardmodel/line.h"
#include "ndis.h"
#include "sim/simulator.h"
#include "sim/simulator_internal.h"
#include "testbed/machine.h"

namespace zr48sim {
namespace {

constexpr size_t kRecentEvents = 100;
constexpr size_t kAllEvents = 20000;
constexpr size_t kMaxSamples = 20000;        // per adapter; then every other one goes
constexpr double kThroughputWindow = 1.0;    // seconds

std::string MacText(const std::array<uint8_t, 6>& mac) {
    char text[24];
    snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

// Image bytes the transceiver took in accepted download pieces.
size_t FirmwareAccepted(const cardmodel::Card& card) {
    size_t bytes = 0;
    for (auto& c : card.Commands()) {
        if (c.code == cardmodel::CMD_DOWNLOAD_DATA && c.result == cardmodel::RESULT_SUCCESS) {
            bytes += c.payload.size();
        }
    }
    return bytes;
}

uint64_t Counter(const host::RequestResult& r) {
    uint64_t value = 0;
    for (size_t i = 0; i < r.buffer.size() && i < 8; ++i) {
        value |= static_cast<uint64_t>(r.buffer[i]) << (8 * i);
    }
    return value;
}

const uint32_t kCounterOids[4] = {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR,
                                  OID_GEN_RCV_ERROR};

bool ByTime(const SimEvent& x, const SimEvent& y) { return x.time < y.time; }

double Kbps(uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) * 8 / seconds / 1000 : 0;
}

}  // namespace

std::vector<AdapterSnapshot> Simulator::Snapshot() {
    std::vector<AdapterSnapshot> all;
    if (!machine_) return all;
    all.reserve(adapters_.size());
    for (auto& a : adapters_) {
        AdapterSnapshot s;
        Fill(*a, &s);
        all.push_back(std::move(s));
    }
    return all;
}

void Simulator::Fill(Adapter& a, AdapterSnapshot* s) {
    cardmodel::Card& card = a.unit->Card();
    s->name = a.settings.name;
    s->phase = a.phase;
    s->initStatus = a.initStatus;
    s->firmwareTotal = a.firmware.size();
    s->lineName = a.lineName;
    {
        std::lock_guard<std::mutex> lock(a.viewMu);
        bool done = a.firmwareDone;
        s->firmwareSent = done ? s->firmwareTotal : FirmwareAccepted(card);
        bool started = s->phase != AdapterPhase::Initializing && s->phase != AdapterPhase::Created;
        a.firmwareDone = started && s->firmwareSent == s->firmwareTotal;
        s->failure = a.failure;
        s->mac = MacText(a.mac);
    }
    s->controller = cardmodel::ControllerStateName(card.Controller());
    cardmodel::LineView view = card.LineState();
    s->line = LineText(a, view.condition, view.rateKbps);
    s->trained = view.rateKbps != 0;
    s->rateKbps = view.rateKbps ? view.rateKbps : card.Config().rateKbps.value_or(0);
    for (auto& l : lines_) {
        if (l->name == a.lineName) s->cut = l->line->IsCut();
    }
    s->connected = a.connected;
    s->sent = a.sent, s->completedOk = a.completedOk, s->completedFailed = a.completedFailed;
    s->received = a.received, s->bytesSent = a.bytesSent, s->bytesReceived = a.bytesReceived;
    s->connects = a.connects, s->disconnects = a.disconnects, s->resets = a.resets;
    s->outstanding = a.outstanding.load();
    cardmodel::CardCounters c = card.Counters();
    s->crcErrors = c.rxDroppedDamaged;
    s->rxDropped = c.rxDroppedLineDown + c.rxDroppedDisabled + c.rxDroppedHeld +
                   c.rxDroppedNoBuffer + c.rxDroppedBadLength + c.rxDroppedDmaError +
                   c.rxDroppedInjected;
    s->txDiscarded = c.txDiscardedLineDown + c.txDiscardedHeld;
    // A halted (or failed) adapter passes nothing: its throughput is 0 now,
    // whatever it was in its last second.
    if (s->phase == AdapterPhase::Running) s->throughput = CurrentThroughput(a.index);
    ReadCounters(a, s);
}

// The driver's own counters, as a protocol reads them. Skipped (the last
// values shown again) while another request is outstanding on the adapter.
void Simulator::ReadCounters(Adapter& a, AdapterSnapshot* s) {
    {
        std::lock_guard<std::mutex> lock(a.viewMu);
        s->xmitOk = a.last.xmitOk, s->rcvOk = a.last.rcvOk;
        s->xmitError = a.last.xmitError, s->rcvError = a.last.rcvError;
        s->countersFinal = a.last.countersFinal;
    }
    if (a.phase != AdapterPhase::Running || stopping_) return;
    {
        RequestTurn turn(a, 0);
        if (!turn.Taken() || a.unit->nic->RequestPending()) return;
    }
    uint64_t* fields[4] = {&s->xmitOk, &s->rcvOk, &s->xmitError, &s->rcvError};
    static const std::vector<uint8_t> kCounterBuffer(8, 0);
    for (int i = 0; i < 4; ++i) {
        RequestOutcome r = Request(a.index, true, kCounterOids[i], kCounterBuffer, host::kSecond);
        if (!r.ok || r.result.status != NDIS_STATUS_SUCCESS) return;
        *fields[i] = Counter(r.result);
    }
    s->countersFresh = true;
    std::lock_guard<std::mutex> lock(a.viewMu);
    a.last.xmitOk = s->xmitOk, a.last.rcvOk = s->rcvOk;
    a.last.xmitError = s->xmitError, a.last.rcvError = s->rcvError;
}

// The counters' last values, read just before the halt (the gate closed:
// nobody else calls into the adapter), so that the last view is not stale.
void Simulator::ReadFinalCounters(Adapter& a) {
    host::Miniport& nic = *a.unit->nic;
    if (nic.RequestPending()) return;  // NDIS would pass no second request
    uint64_t values[4];
    for (int i = 0; i < 4; ++i) {
        host::RequestResult r = nic.Query(kCounterOids[i], std::vector<uint8_t>(8, 0));
        if (!r.completed || r.status != NDIS_STATUS_SUCCESS) return;
        values[i] = Counter(r);
    }
    std::lock_guard<std::mutex> lock(a.viewMu);
    a.last.xmitOk = values[0], a.last.rcvOk = values[1];
    a.last.xmitError = values[2], a.last.rcvError = values[3];
    a.last.countersFinal = true;
}

// ---------------------------------------------------------------------------
// Throughput
// ---------------------------------------------------------------------------
void Simulator::ScheduleSample(host::Nanoseconds period) {
    host::ScheduleAfter(
        period,
        [this, period] {
            if (stopping_) return;
            Sample();
            ScheduleSample(period);
        },
        "throughput sample");
}

void Simulator::Sample() {
    double now = Seconds();
    std::lock_guard<std::mutex> lock(samplesMu_);
    for (auto& a : adapters_) {
        std::vector<RateSample>& v = a->samples;
        v.push_back(RateSample{now, a->bytesCompleted.load(), a->bytesReceived.load()});
        if (v.size() > kMaxSamples) {
            // A long run keeps half as many, twice as far apart.
            size_t kept = 0;
            for (size_t i = 0; i < v.size(); i += 2) v[kept++] = v[i];
            v.resize(kept);
        }
    }
}

Throughput Simulator::CurrentThroughput(size_t adapter) {
    Adapter& a = *adapters_.at(adapter);
    double now = Seconds();
    uint64_t tx = a.bytesCompleted.load(), rx = a.bytesReceived.load();
    std::lock_guard<std::mutex> lock(samplesMu_);
    const std::vector<RateSample>& v = a.samples;
    if (v.empty()) return {};
    // The latest sample at least a window old, or the first one.
    const RateSample* from = &v.front();
    for (auto it = v.rbegin(); it != v.rend(); ++it) {
        if (now - it->time >= kThroughputWindow) {
            from = &*it;
            break;
        }
    }
    double dt = now - from->time;
    if (dt < 0.1) return {};
    return Throughput{Kbps(tx - from->txBytes, dt), Kbps(rx - from->rxBytes, dt)};
}

std::vector<RateSample> Simulator::Samples(size_t adapter) {
    std::lock_guard<std::mutex> lock(samplesMu_);
    return adapters_.at(adapter)->samples;
}

const std::string& Simulator::LineOf(size_t adapter) const { return adapters_.at(adapter)->lineName; }

uint32_t Simulator::ConfiguredRate(size_t adapter) { return adapters_.at(adapter)->configuredKbps; }

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------
double Simulator::Seconds() const {
    return static_cast<double>(host::Now()) / host::kSecond;
}

// Under eventsMu_: into every list, in the order of the times.
// An event comes almost always at or after the latest one: it is put at the
// end then, with no search; the last list takes it by move.
void Simulator::Insert(SimEvent e) {
    auto into = [](auto& list, auto&& event) {
        if (list.empty() || !ByTime(event, list.back())) {
            list.push_back(std::forward<decltype(event)>(event));
        } else {
            auto at = std::upper_bound(list.begin(), list.end(), event, ByTime);
            list.insert(at, std::forward<decltype(event)>(event));
        }
    };
    into(recent_, static_cast<const SimEvent&>(e));
    if (recent_.size() > kRecentEvents) recent_.pop_front();
    into(all_, static_cast<const SimEvent&>(e));
    if (all_.size() > kAllEvents) all_.pop_front();
    into(fresh_, std::move(e));
    if (fresh_.size() > 10 * kRecentEvents) fresh_.erase(fresh_.begin());
}

// Stamped under the lock, so that every event taken later has a later time
// than the ones taken before (see GatherCardChanges).
void Simulator::AddEvent(const std::string& who, const std::string& text, SimEvent::Kind kind) {
    std::lock_guard<std::mutex> lock(eventsMu_);
    Insert(SimEvent{Seconds(), who, text, kind});
}

void Simulator::Note(const std::string& who, const std::string& text, SimEvent::Kind kind) {
    AddEvent(who, text, kind);
}

// Under eventsMu_: the cards' changes up to now become events with the
// cards' own times. A change a card makes after this reads a time no
// earlier than now, so it comes after every event taken now.
void Simulator::GatherCardChanges() {
    if (!machine_) return;
    int64_t now = host::Now();
    for (auto& a : adapters_) {
        for (const cardmodel::StateChange& c : a->unit->Card().StateChanges(a->seenChange)) {
            if (c.time > now) break;
            a->seenChange = c.number;
            double at = static_cast<double>(c.time) / host::kSecond;
            if (c.controller != a->controllerSeen) {
                a->controllerSeen = c.controller;
                Insert(SimEvent{at, a->settings.name,
                                std::string("transceiver: ") +
                                    cardmodel::ControllerStateName(c.controller),
                                SimEvent::Kind::Line});
            }
            if (c.condition != a->conditionSeen || c.rateKbps != a->rateSeen) {
                a->conditionSeen = c.condition;
                a->rateSeen = c.rateKbps;
                Insert(SimEvent{at, a->settings.name,
                                "line: " + LineText(*a, c.condition, c.rateKbps),
                                SimEvent::Kind::Line});
            }
        }
    }
}

std::vector<SimEvent> Simulator::TakeEvents() {
    std::lock_guard<std::mutex> lock(eventsMu_);
    GatherCardChanges();
    std::vector<SimEvent> out;
    out.swap(fresh_);
    return out;
}

std::vector<SimEvent> Simulator::RecentEvents(size_t count) {
    std::lock_guard<std::mutex> lock(eventsMu_);
    GatherCardChanges();
    size_t from = recent_.size() > count ? recent_.size() - count : 0;
    return {recent_.begin() + static_cast<long>(from), recent_.end()};
}

std::vector<SimEvent> Simulator::AllEvents() {
    std::lock_guard<std::mutex> lock(eventsMu_);
    GatherCardChanges();
    return {all_.begin(), all_.end()};
}

}  // namespace zr48sim
