// What the simulator shows: one snapshot per adapter, and the events.
#include <cstdio>

#include "testbed/machine.h"
#include "cardmodel/card.h"
#include "cardmodel/line.h"
#include "ndis.h"
#include "sim/simulator.h"
#include "sim/simulator_internal.h"

namespace zr48sim {
namespace {

constexpr size_t kRecentEvents = 100;

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

std::string LineText(const cardmodel::LineView& view) {
    if (view.condition == cardmodel::LineCondition::Up) {
        return "data mode at " + std::to_string(view.rateKbps) + " kbit/s";
    }
    return cardmodel::LineConditionName(view.condition);
}

}  // namespace

std::vector<AdapterSnapshot> Simulator::Snapshot() {
    std::vector<AdapterSnapshot> all;
    if (!machine_) return all;
    for (auto& a : adapters_) {
        AdapterSnapshot s;
        Fill(*a, &s);
        NoteLineChange(*a, s);
        all.push_back(s);
    }
    return all;
}

void Simulator::Fill(Adapter& a, AdapterSnapshot* s) {
    cardmodel::Card& card = a.unit->Card();
    s->name = a.settings.name;
    s->phase = a.phase;
    s->initStatus = a.initStatus;
    s->firmwareTotal = a.firmware.size();
    {
        std::lock_guard<std::mutex> lock(a.viewMu);
        bool done = a.firmwareDone;
        s->firmwareSent = done ? s->firmwareTotal : FirmwareAccepted(card);
        bool started = s->phase != AdapterPhase::Initializing && s->phase != AdapterPhase::Created;
        a.firmwareDone = started && s->firmwareSent == s->firmwareTotal;
    }
    s->controller = cardmodel::ControllerStateName(card.Controller());
    cardmodel::LineView view = card.LineState();
    s->line = LineText(view);
    s->rateKbps = view.rateKbps ? view.rateKbps : card.Config().rateKbps.value_or(0);
    for (auto& l : lines_) {
        if (l->name == a.lineName) s->cut = l->line->IsCut();
    }
    s->connected = a.connected;
    {
        std::lock_guard<std::mutex> lock(a.viewMu);
        s->mac = MacText(a.mac);
    }
    s->sent = a.sent, s->completedOk = a.completedOk, s->completedFailed = a.completedFailed;
    s->received = a.received, s->bytesSent = a.bytesSent, s->bytesReceived = a.bytesReceived;
    s->connects = a.connects, s->disconnects = a.disconnects, s->resets = a.resets;
    {
        s->outstanding = a.outstanding.load();
    }
    cardmodel::CardCounters c = card.Counters();
    s->crcErrors = c.rxDroppedDamaged;
    s->rxDropped = c.rxDroppedLineDown + c.rxDroppedDisabled + c.rxDroppedHeld +
                   c.rxDroppedNoBuffer + c.rxDroppedBadLength + c.rxDroppedDmaError +
                   c.rxDroppedInjected;
    s->txDiscarded = c.txDiscardedLineDown + c.txDiscardedHeld;
    ReadCounters(a, s);
}

// The driver's own counters, as a protocol reads them. Skipped (the last
// values shown again) while another request is outstanding on the adapter.
void Simulator::ReadCounters(Adapter& a, AdapterSnapshot* s) {
    {
        std::lock_guard<std::mutex> lock(a.viewMu);
        s->xmitOk = a.last.xmitOk, s->rcvOk = a.last.rcvOk;
        s->xmitError = a.last.xmitError, s->rcvError = a.last.rcvError;
    }
    if (a.phase != AdapterPhase::Running || stopping_) return;
    {
        RequestTurn turn(a, 0);
        if (!turn.Taken() || a.unit->nic->RequestPending()) return;
    }
    const uint32_t oids[4] = {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR,
                              OID_GEN_RCV_ERROR};
    uint64_t* fields[4] = {&s->xmitOk, &s->rcvOk, &s->xmitError, &s->rcvError};
    for (int i = 0; i < 4; ++i) {
        RequestOutcome r = Request(a.index, true, oids[i], std::vector<uint8_t>(8, 0),
                                   host::kSecond);
        if (!r.ok || r.result.status != NDIS_STATUS_SUCCESS) return;
        *fields[i] = Counter(r.result);
    }
    s->countersFresh = true;
    std::lock_guard<std::mutex> lock(a.viewMu);
    a.last.xmitOk = s->xmitOk, a.last.rcvOk = s->rcvOk;
    a.last.xmitError = s->xmitError, a.last.rcvError = s->rcvError;
}

// Line and controller changes become events, as the display sees them.
void Simulator::NoteLineChange(Adapter& a, const AdapterSnapshot& s) {
    std::string controller, line;
    {
        std::lock_guard<std::mutex> lock(a.viewMu);
        controller = a.last.controller;
        line = a.last.line;
        a.last.controller = s.controller;
        a.last.line = s.line;
    }
    if (controller != s.controller) AddEvent(a.settings.name, "transceiver: " + s.controller);
    if (line != s.line) AddEvent(a.settings.name, "line: " + s.line);
}

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------
double Simulator::Seconds() const {
    return static_cast<double>(host::Now()) / host::kSecond;
}

void Simulator::AddEvent(const std::string& who, const std::string& text) {
    SimEvent e{Seconds(), who, text};
    std::lock_guard<std::mutex> lock(eventsMu_);
    recent_.push_back(e);
    if (recent_.size() > kRecentEvents) recent_.pop_front();
    fresh_.push_back(std::move(e));
    if (fresh_.size() > 10 * kRecentEvents) fresh_.erase(fresh_.begin());
}

void Simulator::Note(const std::string& who, const std::string& text) { AddEvent(who, text); }

std::vector<SimEvent> Simulator::TakeEvents() {
    std::lock_guard<std::mutex> lock(eventsMu_);
    std::vector<SimEvent> out;
    out.swap(fresh_);
    return out;
}

std::vector<SimEvent> Simulator::RecentEvents(size_t count) {
    std::lock_guard<std::mutex> lock(eventsMu_);
    size_t from = recent_.size() > count ? recent_.size() - count : 0;
    return {recent_.begin() + static_cast<long>(from), recent_.end()};
}

}  // namespace zr48sim
