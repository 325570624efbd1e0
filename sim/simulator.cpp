#include "sim/simulator.h"

#include <cstdio>

#include "cardmodel/firmware.h"
#include "cardmodel/line.h"
#include "common/stats_block.h"
#include "host/diagnostics.h"
#include "host/verifier.h"
#include "ndis.h"
#include "sim/simulator_internal.h"
#include "testbed/machine.h"

namespace zr48sim {
namespace {

constexpr host::Nanoseconds kSamplePeriod = 250 * host::kMillisecond;
constexpr ULONG kPacketFilter =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string StatusText(uint32_t status) {
    std::string name = zr48stat::StatusName(status);
    return name[0] == '0' ? name : Hex32(status) + " (" + name + ")";
}

}  // namespace

const char* AdapterPhaseName(AdapterPhase phase) {
    switch (phase) {
    case AdapterPhase::Created: return "created";
    case AdapterPhase::Initializing: return "initializing";
    case AdapterPhase::Running: return "running";
    case AdapterPhase::Failed: return "failed";
    case AdapterPhase::Halted: return "halted";
    }
    return "?";
}

Simulator::Simulator(SimConfig config, SimOptions options)
    : config_(std::move(config)), options_(options) {}

Simulator::~Simulator() {
    if (machine_) {
        HaltAll();
        Finish();
    }
}

// ---------------------------------------------------------------------------
// Building the machine
// ---------------------------------------------------------------------------
bool Simulator::Build(std::string* error) {
    if (!ValidateConfig(config_, error)) return false;
    // NDIS's watchdog (the hang check every 2 s, resets) is the host's.
    host::WorldOptions world = options_.world;
    world.watchdog = options_.hangChecks;
    host::ResetWorld(world);
    host::ClearDiagnostics();
    machine_ = options_.driverImage ? std::make_unique<testbed::Machine>(options_.driverImage)
                                    : std::make_unique<testbed::Machine>();
    if (const host::DriverImage* image = machine_->Driver().Image()) {
        char text[160];
        snprintf(text, sizeof text, "the Windows image %s (%zu imports bound, %zu relocations)",
                 image->Name().c_str(), image->Imports(), image->Relocations());
        AddEvent("driver", text);
    }
    notes_ = DriverNotes(config_);
    for (auto& settings : config_.adapters) {
        if (!BuildAdapter(settings, error)) return false;
    }
    for (auto& note : notes_) AddEvent("config", note);
    return BuildLines(error);
}

bool Simulator::BuildAdapter(const AdapterSettings& settings, std::string* error) {
    auto a = std::make_unique<Adapter>();
    a->settings = settings;
    a->index = adapters_.size();
    std::string why;
    if (settings.firmwarePath.empty()) {
        a->firmware = cardmodel::MakeFirmwareImage();
    } else if (!ReadRegularFile(settings.firmwarePath, kMaxFirmwareFile, &a->firmware, &why)) {
        *error = "adapter " + settings.name + ": firmware image " + why;
        return false;
    } else if (!cardmodel::CheckFirmwareImage(a->firmware, &why)) {
        notes_.push_back("adapter " + settings.name + ": firmware image " +
                         settings.firmwarePath + " (" + std::to_string(a->firmware.size()) +
                         " bytes) is not one the card starts (" + why +
                         "): its initialization will fail");
    }
    testbed::AdapterSetup setup;
    setup.card.accessLog = false;  // a long run would keep every register access
    setup.card.unlimitedRate = options_.unlimitedRate;
    setup.integers = settings.integers;
    setup.strings = settings.strings;
    a->unit = &machine_->AddAdapter(setup);
    // The simulator watches through the callbacks; records would only grow.
    a->unit->nic->SetRecording(false);
    a->unit->nic->SetReturnPolicy({host::ReturnWhen::InsideIndication});
    WatchUpperEdge(*a);
    adapters_.push_back(std::move(a));
    return true;
}

static cardmodel::LineOptions LineOptionsOf(const LineSettings& settings) {
    cardmodel::LineOptions options;
    options.propagationDelayNs = settings.delayNs;
    options.frameLossProbability = settings.loss;
    options.bitErrorProbability = settings.bitErrors;
    options.seed = settings.seed;
    return options;
}

bool Simulator::BuildLines(std::string* error) {
    for (auto& a : adapters_) {
        const std::string& name = a->lineName = LineNameOf(config_, a->index);
        bool known = false;
        for (auto& l : lines_) known = known || l->name == name;
        if (known) continue;
        LineSettings settings;
        settings.name = name;
        if (const LineSettings* given = config_.FindLine(name)) settings = *given;
        auto place = std::make_unique<LinePlace>();
        place->name = name;
        if (a->settings.line == kLoopbackLine) {
            // Each card on "loopback" has a far end of its own.
            place->adapters = {a->index};
            cardmodel::LoopbackOptions options;
            options.line = LineOptionsOf(settings);
            options.echo = true;
            options.unlimitedRate = options_.unlimitedRate;
            place->line = &machine_->Loopback(*a->unit, options);
        } else if ((place->adapters = config_.AdaptersOn(name)).size() == 2) {
            place->line = &machine_->Connect(*adapters_[place->adapters[0]]->unit,
                                           *adapters_[place->adapters[1]]->unit,
                                           LineOptionsOf(settings));
        } else {
            *error = "line " + name + " does not join two adapters";
            return false;
        }
        lines_.push_back(std::move(place));
    }
    return true;
}

// The protocol's view: completions free the send window, receptions go to
// the sink, connect and disconnect are the link as the driver reports it.
void Simulator::WatchUpperEdge(Adapter& a) {
    Adapter* p = &a;
    a.unit->nic->OnSendComplete([this, p](const host::SendCompletion& c) {
        if (c.status == NDIS_STATUS_SUCCESS) {
            p->completedOk++;
            p->bytesCompleted += c.frame.size();
        } else {
            p->completedFailed++;
        }
        unsigned left = GiveBackSlot(*p);
        // A sender waiting for room is woken once half the window is free,
        // not at every completion: it then sends a burst.
        if (p->windowWaiters.load() && left <= options_.sendWindow / 2) {
            std::lock_guard<std::mutex> lock(p->windowMu);
            p->windowCv.notify_all();
        }
    });
    a.unit->nic->OnReceive([p](const host::ReceivedFrame& f) {
        p->received++;
        p->bytesReceived += f.bytes.size();
        if (p->sink) p->sink(f.bytes);
    });
    a.unit->nic->OnStatus([this, p](const host::StatusIndication& s) {
        if (s.complete) return;
        if (s.status == NDIS_STATUS_MEDIA_CONNECT) {
            p->connected = true;
            p->connects++;
            AddEvent(p->settings.name, "link up: the driver indicates media connect",
                     SimEvent::Kind::Link);
        } else if (s.status == NDIS_STATUS_MEDIA_DISCONNECT) {
            p->connected = false;
            p->disconnects++;
            AddEvent(p->settings.name, "link down: the driver indicates media disconnect",
                     SimEvent::Kind::Link);
        } else {
            AddEvent(p->settings.name, "the driver indicates status " + StatusText(s.status));
            return;
        }
        std::lock_guard<std::mutex> lock(p->watchMu);
        if (p->linkWatcher) p->linkWatcher();
    });
    a.unit->nic->OnReset([this, p](const host::ResetRecord& r) {
        if (!r.byWatchdog) return;  // Reset() counts and tells its own
        p->resets++;
        AddEvent(p->settings.name,
                 "NDIS resets it (" + r.reason + "): MiniportReset " + StatusText(r.status),
                 SimEvent::Kind::Problem);
    });
}

void Simulator::OnReceive(size_t adapter, std::function<void(const std::vector<uint8_t>&)> sink) {
    adapters_.at(adapter)->sink = std::move(sink);
}

void Simulator::OnLinkChange(size_t adapter, std::function<void()> watcher) {
    Adapter& a = *adapters_.at(adapter);
    std::lock_guard<std::mutex> lock(a.watchMu);
    a.linkWatcher = std::move(watcher);
}

// ---------------------------------------------------------------------------
// Starting the adapters
// ---------------------------------------------------------------------------
bool Simulator::StartAdapters(std::string* error) {
    if (!sampling_.exchange(true)) {
        Sample();
        ScheduleSample(kSamplePeriod);
    }
    std::string failed;
    for (auto& a : adapters_) {
        if (stopping_) break;
        if (StartAdapter(*a)) continue;
        std::lock_guard<std::mutex> lock(a->viewMu);
        failed += (failed.empty() ? "" : "; ") + a->settings.name + " (" + a->failure + ")";
    }
    if (!failed.empty()) *error = "initialization failed: " + failed;
    return failed.empty() && !stopping_;
}

bool Simulator::StartAdapter(Adapter& a) {
    // NDIS finds the image by name; each adapter starts with its own.
    machine_->SetFirmwareImage(a.firmware);
    a.phase = AdapterPhase::Initializing;
    AddEvent(a.settings.name,
             "MiniportInitialize: downloading " + std::to_string(a.firmware.size()) +
                 " bytes of firmware",
             SimEvent::Kind::Adapter);
    NDIS_STATUS status = a.unit->nic->Initialize();
    a.initStatus = status;
    std::string logged;
    ReportErrorLog(a, a.unit->nic->Handle(), &logged);
    if (status != NDIS_STATUS_SUCCESS) {
        std::string why = ExplainInitFailure(a);
        if (!logged.empty()) why += (why.empty() ? "" : "; ") + logged;
        {
            std::lock_guard<std::mutex> lock(a.viewMu);
            a.failure = why.empty() ? StatusText(status) : StatusText(status) + ": " + why;
        }
        a.phase = AdapterPhase::Failed;
        AddEvent(a.settings.name, "MiniportInitialize failed: " + a.failure,
                 SimEvent::Kind::Problem);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(a.gateMu);
        a.open = true;
    }
    a.phase = AdapterPhase::Running;
    RequestOutcome filter = Request(a.index, false, OID_GEN_CURRENT_PACKET_FILTER,
                                    host::UlongBytes(kPacketFilter), 5 * host::kSecond);
    if (!filter.ok || filter.result.status != NDIS_STATUS_SUCCESS) {
        AddEvent(a.settings.name, "setting the packet filter failed");
    }
    ReadAddress(a);
    auto config = a.unit->Card().Config();
    a.configuredKbps = config.rateKbps.value_or(0);
    AddEvent(a.settings.name,
             "running: transceiver configured for " +
                 std::to_string(config.rateKbps.value_or(0)) + " kbit/s, " +
                 (config.central.value_or(false) ? "central" : "remote") + " end",
             SimEvent::Kind::Adapter);
    return true;
}

void Simulator::ReadAddress(Adapter& a) {
    RequestOutcome r = Request(a.index, true, OID_802_3_CURRENT_ADDRESS,
                               std::vector<uint8_t>(6, host::kInformationPattern),
                               5 * host::kSecond);
    if (r.ok && r.result.status == NDIS_STATUS_SUCCESS && r.result.buffer.size() >= 6) {
        std::lock_guard<std::mutex> lock(a.viewMu);
        std::copy(r.result.buffer.begin(), r.result.buffer.begin() + 6, a.mac.begin());
    }
}

// ---------------------------------------------------------------------------
// Adapters as the protocols see them
// ---------------------------------------------------------------------------
size_t Simulator::AdapterCount() const { return adapters_.size(); }

int Simulator::FindAdapter(const std::string& name) const {
    for (size_t i = 0; i < adapters_.size(); ++i) {
        if (adapters_[i]->settings.name == name) return static_cast<int>(i);
    }
    return -1;
}

const std::string& Simulator::AdapterName(size_t adapter) const {
    return adapters_.at(adapter)->settings.name;
}

bool Simulator::Running(size_t adapter) const {
    return adapters_.at(adapter)->phase == AdapterPhase::Running;
}

bool Simulator::LinkUp(size_t adapter) const { return adapters_.at(adapter)->connected; }

bool Simulator::AllLinksUp() const {
    for (auto& a : adapters_) {
        if (!a->connected) return false;
    }
    return !adapters_.empty();
}

std::vector<uint8_t> Simulator::Address(size_t adapter) const {
    Adapter& a = *adapters_.at(adapter);
    std::lock_guard<std::mutex> lock(a.viewMu);
    return {a.mac.begin(), a.mac.end()};
}

std::vector<uint8_t> Simulator::PeerAddress(size_t adapter) const {
    const std::string& line = adapters_.at(adapter)->lineName;
    for (auto& a : adapters_) {
        if (a->index != adapter && a->lineName == line) return Address(a->index);
    }
    return Address(adapter);
}

cardmodel::Card& Simulator::CardOf(size_t adapter) { return adapters_.at(adapter)->unit->Card(); }

// Counted in before the gate is looked at, so that a halt that closes it
// either sees this call under way or is seen by it.
bool Simulator::Enter(Adapter& a) {
    a.active.fetch_add(1);
    if (a.open.load()) return true;
    Leave(a);
    return false;
}

void Simulator::Leave(Adapter& a) {
    if (a.active.fetch_sub(1) == 1 && !a.open.load()) {
        std::lock_guard<std::mutex> lock(a.gateMu);
        a.gateCv.notify_all();
    }
}

RequestOutcome Simulator::Request(size_t adapter, bool query, uint32_t oid,
                                  const std::vector<uint8_t>& buffer, host::Nanoseconds limit) {
    RequestOutcome out;
    Adapter& a = *adapters_.at(adapter);
    RequestTurn turn(a, host::IsConcurrent() ? limit : 0);
    if (!turn.Taken()) {
        out.error = "another request on the adapter did not finish in time";
        return out;
    }
    host::Miniport& nic = *a.unit->nic;
    // A request whose requester gave up may still be outstanding; NDIS
    // passes the next one only when it has completed.
    auto idle = [&] { return !nic.RequestPending() || a.phase != AdapterPhase::Running; };
    if (!host::RunUntil(idle, limit)) {
        out.error = "an earlier request is still pending on the adapter";
        return out;
    }
    if (!Enter(a)) {
        out.error = "the adapter is not running";
        return out;
    }
    {
        std::lock_guard<std::mutex> call(a.callMu);
        out.result = query ? nic.Query(oid, buffer) : nic.Set(oid, buffer);
    }
    Leave(a);
    out.ok = true;
    if (!out.result.issued || out.result.completed) return out;
    if (!host::RunUntil(idle, limit)) {
        out.ok = false;
        out.error = "the request is still pending";
        out.result = nic.LastRequest();
        return out;
    }
    out.result = nic.LastRequest();
    return out;
}

RequestTurn::RequestTurn(Simulator::Adapter& a, host::Nanoseconds limit) : adapter_(a) {
    std::unique_lock<std::mutex> lock(a.requestMu);
    taken_ = a.requestCv.wait_for(lock, std::chrono::nanoseconds(limit),
                                  [&] { return !a.requestBusy; });
    if (taken_) a.requestBusy = true;
}

RequestTurn::~RequestTurn() {
    if (!taken_) return;
    std::lock_guard<std::mutex> lock(adapter_.requestMu);
    adapter_.requestBusy = false;
    adapter_.requestCv.notify_one();
}

bool Simulator::Reset(size_t adapter, std::string* error) {
    Adapter& a = *adapters_.at(adapter);
    if (!Enter(a)) {
        *error = "the adapter is not running";
        return false;
    }
    host::ResetResult result;
    {
        std::lock_guard<std::mutex> call(a.callMu);
        result = a.unit->nic->Reset();
    }
    Leave(a);
    a.resets++;
    AddEvent(a.settings.name, "MiniportReset from the upper edge: " + StatusText(result.status),
             SimEvent::Kind::Adapter);
    if (result.status != NDIS_STATUS_SUCCESS) {
        *error = "MiniportReset returned " + Hex32(result.status);
    }
    return result.status == NDIS_STATUS_SUCCESS;
}

bool Simulator::SendNow(Adapter& a, const std::vector<uint8_t>& frame) {
    // The frame's copy for the upper edge, kept per thread: its storage is
    // reused from send to send.
    thread_local std::vector<host::OutgoingFrame> batch{host::OutgoingFrame({})};
    bool sent = false;
    if (Enter(a)) {
        batch[0].bytes.assign(frame.begin(), frame.end());
        sent = !a.unit->nic->Send(batch).empty();
        Leave(a);
    }
    if (sent) {
        a.sent++;
        a.bytesSent += frame.size();
        return true;
    }
    GiveBackSlot(a);
    std::lock_guard<std::mutex> lock(a.windowMu);
    a.windowCv.notify_all();
    return false;
}

bool Simulator::TakeSlot(Adapter& a) {
    unsigned n = a.outstanding.load();
    while (n < options_.sendWindow) {
        if (a.outstanding.compare_exchange_weak(n, n + 1)) return true;
    }
    return false;
}

// Frees a slot of the window, unless none is taken; what is left taken.
unsigned Simulator::GiveBackSlot(Adapter& a) {
    unsigned n = a.outstanding.load();
    while (n != 0 && !a.outstanding.compare_exchange_weak(n, n - 1)) {
    }
    return n == 0 ? 0 : n - 1;
}

bool Simulator::TrySend(size_t adapter, const std::vector<uint8_t>& frame) {
    Adapter& a = *adapters_.at(adapter);
    if (stopping_ || !TakeSlot(a)) return false;
    return SendNow(a, frame);
}

// A sender that finds the window full sleeps; it counts itself a waiter
// before it looks again, so that a completion after that look wakes it.
bool Simulator::Admit(Adapter& a, host::Nanoseconds limit) {
    bool taken = !stopping_ && TakeSlot(a);
    if (!taken && !stopping_) {
        std::unique_lock<std::mutex> lock(a.windowMu);
        a.windowWaiters.fetch_add(1);
        a.windowCv.wait_for(lock, std::chrono::nanoseconds(limit),
                            [&] { return stopping_ || (taken = TakeSlot(a)); });
        a.windowWaiters.fetch_sub(1);
    }
    if (taken && stopping_) {
        GiveBackSlot(a);
        return false;
    }
    return taken;
}

bool Simulator::SendWait(size_t adapter, const std::vector<uint8_t>& frame,
                         host::Nanoseconds limit) {
    Adapter& a = *adapters_.at(adapter);
    return Admit(a, limit) && SendNow(a, frame);
}

// ---------------------------------------------------------------------------
// Generated traffic
// ---------------------------------------------------------------------------
void Simulator::StartTraffic(size_t length, host::Nanoseconds period) {
    uint64_t generation = ++trafficGeneration_;
    traffic_ = true;
    host::ScheduleAfter(
        0, [this, length, period, generation] { TrafficTick(length, period, generation); },
        "generated traffic");
}

void Simulator::StopTraffic() {
    traffic_ = false;
    ++trafficGeneration_;
}

void Simulator::TrafficTick(size_t length, host::Nanoseconds period, uint64_t generation) {
    if (!traffic_ || stopping_ || generation != trafficGeneration_) return;
    for (auto& a : adapters_) {
        if (a->phase != AdapterPhase::Running || !a->connected) continue;
        std::vector<uint8_t> to = PeerAddress(a->index), from = Address(a->index);
        for (unsigned n = 0; n < options_.sendWindow; ++n) {
            uint8_t seed = static_cast<uint8_t>(a->sequence++);
            if (!TrySend(a->index, testbed::MakeFrame(length, seed, to, from))) break;
        }
    }
    host::ScheduleAfter(
        period, [this, length, period, generation] { TrafficTick(length, period, generation); },
        "generated traffic");
}

// ---------------------------------------------------------------------------
// Lines
// ---------------------------------------------------------------------------
std::vector<std::string> Simulator::LineNames() const {
    std::vector<std::string> names;
    for (auto& l : lines_) names.push_back(l->name);
    return names;
}

cardmodel::LineBase* Simulator::FindLine(const std::string& name, std::string* error) {
    for (auto& l : lines_) {
        if (l->name == name) return l->line;
    }
    *error = "no line named " + name;
    return nullptr;
}

bool Simulator::LineControl(const std::string& name, LineAction action, double value,
                            const std::vector<int64_t>& pattern, std::string* error) {
    cardmodel::LineBase* line = FindLine(name, error);
    if (!line || stopping_) {
        if (line) *error = "the simulator is stopping";
        return false;
    }
    if ((action == LineAction::Loss || action == LineAction::BitErrors) &&
        !(value >= 0 && value <= 1)) {
        *error = "a probability lies between 0 and 1";
        return false;
    }
    std::vector<int64_t> ns;
    for (int64_t ms : pattern) {
        if (ms <= 0 || ms > 600000) {
            *error = "flap steps are 1 to 600000 ms";
            return false;
        }
        ns.push_back(ms * host::kMillisecond);
    }
    char text[96];
    switch (action) {
    case LineAction::Cut: line->Cut(); snprintf(text, sizeof text, "line cut"); break;
    case LineAction::Restore: line->Restore(); snprintf(text, sizeof text, "line restored"); break;
    case LineAction::Flap:
        line->Flap(ns);
        snprintf(text, sizeof text, "line flaps (%zu steps)", ns.size());
        break;
    case LineAction::Loss:
        line->SetFrameLossProbability(value);
        snprintf(text, sizeof text, "frame loss probability %g", value);
        break;
    case LineAction::BitErrors:
        line->SetBitErrorProbability(value);
        snprintf(text, sizeof text, "bit error probability %g", value);
        break;
    }
    AddEvent(name, text, SimEvent::Kind::Control);
    return true;
}

// ---------------------------------------------------------------------------
// Stopping
// ---------------------------------------------------------------------------
void Simulator::HaltAll() {
    stopping_ = true;
    StopTraffic();
    for (auto& a : adapters_) {
        {
            std::unique_lock<std::mutex> lock(a->gateMu);
            a->open = false;
            a->gateCv.wait(lock, [&] { return a->active == 0; });
        }
        {
            std::lock_guard<std::mutex> lock(a->windowMu);
            a->windowCv.notify_all();
        }
        if (!a->unit->nic->Running()) continue;
        ReadFinalCounters(*a);
        a->unit->nic->Halt();
        a->phase = AdapterPhase::Halted;
        // NDIS forgets the medium state of an adapter it has halted.
        a->connected = false;
        AddEvent(a->settings.name, "MiniportHalt: halted", SimEvent::Kind::Adapter);
        std::lock_guard<std::mutex> lock(a->watchMu);
        if (a->linkWatcher) a->linkWatcher();
    }
    if (sampling_) Sample();
}

ShutdownReport Simulator::Finish() {
    ShutdownReport report;
    if (!machine_) return report;
    for (auto& a : adapters_) {
        if (a->unit->nic->Running()) {
            report.problems.push_back("adapter " + a->settings.name + " was not halted");
        }
    }
    host::StopWorld();
    if (host::LedgerSize() != 0) {
        report.problems.push_back("the verifier's ledger is not empty: " + host::LedgerReport());
    }
    // The cards and lines go while no executor runs their work.
    lines_.clear();
    machine_.reset();
    for (auto& v : host::Violations()) report.problems.push_back("verifier: " + v);
    report.clean = report.problems.empty();
    return report;
}

}  // namespace zr48sim
