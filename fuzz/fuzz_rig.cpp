#include "fuzz/fuzz_rig.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapter/adapter.h"
#include "cardmodel/firmware.h"
#include "host/verifier.h"
#include "public.h"

namespace fuzz {
namespace {

using host::kMillisecond;
using host::kSecond;

constexpr host::Nanoseconds kHangCheckInterval = 2 * kSecond;
// How long an adapter may take to come back after an input: a few hang
// checks, a reset, the line trained again.
constexpr host::Nanoseconds kRecoveryLimit = 30 * kSecond;
constexpr size_t kFirmwareBody = 64;

std::vector<uint8_t> StatisticsRead() {
    std::vector<uint8_t> buffer(sizeof(StatisticsBlock), 0);
    buffer[0] = 0x74, buffer[1] = 0x61, buffer[2] = 0x74, buffer[3] = 0x73;
    return buffer;
}

}  // namespace

// The sanitizers as the targets run: no allocation stacks, a small
// quarantine and no filling of fresh blocks (the poisoning and the
// quarantine find the faults; a fill of up to 4 KB per allocation would only
// cost) keep an input cheap; leaks of the driver's own are the ledger's
// to find (see Teardown) and the books' (CheckBooks).
extern "C" const char* __asan_default_options() {
    return "malloc_context_size=0:quarantine_size_mb=32:max_malloc_fill_size=0";
}

namespace {
// ZR48_FUZZ_TRACE=N in the environment: the card keeps its access log, and
// a failure prints the last N accesses the driver made to it.
size_t TraceLength() {
    static size_t length = [] {
        const char* value = getenv("ZR48_FUZZ_TRACE");
        return value ? static_cast<size_t>(strtoul(value, nullptr, 10)) : 0;
    }();
    return length;
}
cardmodel::Card* traced = nullptr;
}  // namespace

void Note(const char* format, ...) {
    if (TraceLength() == 0) return;
    va_list args;
    va_start(args, format);
    fprintf(stderr, "  [%.6f s] ", static_cast<double>(host::Now()) / kSecond);
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
}

void Fail(const char* format, ...) {
    if (traced) {
        auto log = cardmodel::Describe(traced->AccessLog());
        size_t from = log.size() > TraceLength() ? log.size() - TraceLength() : 0;
        for (size_t i = from; i < log.size(); ++i) fprintf(stderr, "  %s\n", log[i].c_str());
    }
    va_list args;
    va_start(args, format);
    fprintf(stderr, "\n==== zr48 fuzz failure at %.6f s virtual: ",
            static_cast<double>(host::Now()) / kSecond);
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
    abort();
}

cardmodel::CardOptions QuickCard() {
    cardmodel::CardOptions card;
    card.bootDelayNs = kMillisecond;
    card.firmwareStartDelayNs = kMillisecond;
    card.trainingTimeNs = kMillisecond;
    card.accessLog = false;  // it would grow for ever
    return card;
}

host::WorldOptions FuzzWorld() {
    host::WorldOptions world;
    world.watchdog = false;
    world.specialPool = false;
    return world;
}

Rig::Rig(RigOptions options) : options_(std::move(options)) {}

Rig::~Rig() { Teardown(); }

void Rig::Build() {
    host::ResetWorld(FuzzWorld());
    host::SetViolationHandler([](const std::string& message) {
        Fail("verifier: %s", message.c_str());
    });
    machine_ = std::make_unique<testbed::Machine>();
    probe_ = {host::OutgoingFrame(testbed::MakeFrame(100, 0x5A))};
    machine_->SetFirmwareImage(cardmodel::MakeFirmwareImage(kFirmwareBody));
    testbed::AdapterSetup setup;
    setup.card = options_.card;
    setup.card.accessLog = TraceLength() != 0;
    setup.integers = options_.integers;
    unit_ = &machine_->AddAdapter(setup);
    machine_->Loopback(*unit_, options_.line);
    traced = TraceLength() != 0 ? &unit_->Card() : nullptr;
    if (options_.hostile) liar_ = std::make_unique<testbed::HostileCard>(*unit_->slot);
    // Only the callbacks watch: records kept for millions of inputs would
    // grow without bound.
    Nic().SetRecording(false);
    Nic().OnSendComplete([this](const host::SendCompletion& done) {
        lastSendWent_ = done.status == NDIS_STATUS_SUCCESS;
    });
    Start();
}

void Rig::Teardown() {
    if (!machine_) return;
    liar_.reset();
    if (Nic().Running()) Nic().Halt();
    if (host::LedgerSize() != 0) {
        Fail("the adapter left resources behind at halt: %s", host::LedgerReport().c_str());
    }
    traced = nullptr;
    machine_.reset();
    unit_ = nullptr;
    host::StopWorld();
}

void Rig::Start() {
    NDIS_STATUS status = Nic().Initialize();
    if (status != NDIS_STATUS_SUCCESS) {
        Fail("the adapter does not initialize on an honest card: status 0x%08X", status);
    }
    Nic().Set(OID_GEN_CURRENT_PACKET_FILTER,
              host::UlongBytes(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST));
    machine_->WaitForLinkUp(*unit_, 5 * kSecond);
}

void Rig::Reinitialize() {
    if (Nic().Running()) Nic().Halt();
    Start();
}

// Running, its transceiver running and its line up, as the driver and the
// card both see it.
bool Rig::Fit() {
    return Nic().Running() && Card().Controller() == cardmodel::ControllerState::Running &&
           Line().IsUp() && machine_->LinkUp(*unit_);
}

void Rig::BeginInput() {
    if (inputs_++ % options_.inputsPerMachine == 0) {
        Teardown();
        Build();
    }
    // The adapter is as the last input's hang detector left it: running,
    // quiet, its line up and the card honest. Only an adapter an earlier
    // input left unfit is started again.
    if (!Nic().Running()) {
        Start();
    } else if (!Fit()) {
        // An earlier input silenced the transceiver, or the line is still
        // training: a fresh start brings both back.
        if (!host::RunUntil([&] { return Fit(); }, kSecond)) Reinitialize();
    }
    // What shows that a send goes is this input's own: a send of its that
    // completed with success after its last reset, or the probe.
    lastSendWent_ = false;
    mailboxUsed_ = options_.hostile;
}

bool Rig::RunWithWatchdog(const std::function<bool()>& done, host::Nanoseconds limit) {
    host::Nanoseconds end = host::Now() + limit;
    int pendingLooks = 0;
    while (!done()) {
        host::Nanoseconds left = end - host::Now();
        if (left <= 0) return false;
        if (host::RunUntil(done, left < kHangCheckInterval ? left : kHangCheckInterval)) break;
        bool hung = Nic().CheckForHang();
        pendingLooks = Nic().RequestPending() ? pendingLooks + 1 : 0;
        if (hung || pendingLooks >= 2) {
            Reset();
            pendingLooks = 0;
        }
    }
    return true;
}

void Rig::Reset() {
    Nic().Reset();
    lastSendWent_ = false;
}

void Rig::HangCheck() {
    if (Nic().CheckForHang()) Reset();
}

bool Rig::RequestSlotFree() {
    if (!Nic().RequestPending()) return true;
    return host::RunUntil([&] { return !Nic().RequestPending(); }, 10 * kMillisecond);
}

void Rig::EndInput() {
    if (cardGone_) {
        // NDIS halts an adapter whose card has gone; then the machine is
        // built anew (the ledger is checked on the way).
        cardGone_ = false;
        if (Nic().Running()) Nic().Halt();
        Teardown();
        Build();
    }
    // The card tells the truth and answers again, its knobs are back (a
    // wedged transmitter is freed by the reset that finds it); the line is
    // whole; the protocol gives back what it held and asks with its buffers
    // aligned again.
    if (liar_) liar_->BeHonest();
    Card().ClearAnswerFaults();
    Card().FailNextTransmits(0);
    Card().FailNextReceives(0);
    Card().ClearCommands();
    Card().ClearAnomalies();
    Line().Restore();
    Line().StartPartner();
    Line().TakeSentFrames();
    host::Miniport& nic = Nic();
    nic.SetReturnPolicy({});
    nic.ReturnHeld();
    nic.SetInformationBufferOffset(0);
    if (!nic.Running()) Start();
    auto quiet = [&] { return !nic.RequestPending() && nic.SendsOutstanding() == 0; };
    if (!RunWithWatchdog(quiet, kRecoveryLimit)) {
        Fail("hang: %zu sends outstanding, %s request pending, %.0f s after the input",
             nic.SendsOutstanding(), nic.RequestPending() ? "a" : "no",
             static_cast<double>(kRecoveryLimit) / kSecond);
    }

    // A send completes with success and a request is answered, after a
    // reset if the adapter needs one; a send that a reset aborted goes again.
    // The send has been shown already when one of this input's completed
    // with success after its last reset, and the card told no lie. The
    // request is a statistics read when the transceiver's mailbox was in
    // play (its answers come through the card and the interrupt), a
    // standard counter otherwise, which must succeed.
    if (options_.hostile) lastSendWent_ = false;
    Line().SetEcho(false);  // the probe needs no answer: it only has to go
    host::RequestResult asked = mailboxUsed_ ? nic.Query(OID_ZR48_GET_STATISTICS, StatisticsRead())
                                             : nic.Query(OID_GEN_XMIT_OK, 8);
    auto served = [&] {
        if (!lastSendWent_ && nic.SendsOutstanding() == 0) nic.Send(probe_);
        return lastSendWent_ && !nic.RequestPending();
    };
    if (!asked.issued || !RunWithWatchdog(served, kRecoveryLimit)) {
        Fail("hang: the adapter does not come back: %s, %s",
             lastSendWent_ ? "a send completed" : "no send completes",
             !asked.issued           ? "the request was refused"
             : nic.RequestPending() ? "the request is still pending"
                                    : "the request was answered");
    }
    host::RequestResult counter = mailboxUsed_ ? nic.Query(OID_GEN_XMIT_OK, 8) : asked;
    if (counter.status != NDIS_STATUS_SUCCESS) {
        Fail("a standard request fails after the input: status 0x%08X", counter.status);
    }
    Line().SetEcho(options_.line.echo);
    CheckBooks("after the input");
}

// Every frame buffer is in one place: a queue, the ring, or with a protocol.
void Rig::CheckBooks(const char* when) {
    const Adapter& a = *static_cast<const Adapter*>(Nic().Context());
    size_t held = Nic().HeldPackets().size();
    if (a.TxFreeQueue.Count + a.TxBusyQueue.Count != a.XmtQueueLen) {
        Fail("%s: transmit buffers lost: %u free + %u on the ring of %u", when,
             a.TxFreeQueue.Count, a.TxBusyQueue.Count, a.XmtQueueLen);
    }
    if (a.RxFreeQueue.Count + a.RxPostedQueue.Count + held != a.RcvQueueLen) {
        Fail("%s: receive buffers lost: %u free + %u posted + %zu lent of %u", when,
             a.RxFreeQueue.Count, a.RxPostedQueue.Count, held, a.RcvQueueLen);
    }
    if (a.TxBusyQueue.Count != ((a.TxSwIndex - a.TxCompleteIndex) & 0x7F) ||
        a.RxPostedQueue.Count != ((a.RxSwIndex - a.RxNextIndex) & 0x7F)) {
        Fail("%s: the rings and their queues disagree: %u on the transmit ring from slot %u to "
             "%u, %u posted from slot %u to %u",
             when, a.TxBusyQueue.Count, a.TxCompleteIndex, a.TxSwIndex, a.RxPostedQueue.Count,
             a.RxNextIndex, a.RxSwIndex);
    }
}

}  // namespace fuzz
