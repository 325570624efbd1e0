// The zr48 card: a behavioural model of the PCI card with one SHDSL line, as a
// hardware engineer would describe it. It has a 4 KB window (two descriptor
// rings, eight byte registers, the transceiver mailbox), a transmit and a
// receive engine that move frames by DMA, a transceiver controller behind the
// mailbox, an interrupt line and a line port. It treats the driver as
// untrusted: anything odd is logged as an anomaly and never crashes the card.
//
// Every public entry point may be called from any thread; one internal mutex
// serializes them. The card never calls into another card while holding it.
// Destroy a card only while its environment runs none of its work (a stopped
// or deterministic executor).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cardmodel/access_log.h"
#include "cardmodel/adaptive_mutex.h"
#include "cardmodel/controller_codes.h"
#include "cardmodel/environment.h"
#include "cardmodel/line_port.h"
#include "cardmodel/mailbox.h"
#include "cardmodel/pending_work.h"
#include "cardmodel/registers.h"

namespace cardmodel {

struct CardOptions {
    // Transceiver controller timing
    int64_t answerDelayNs = 200 * kMicrosecond;        // doorbell to answer
    int64_t bootDelayNs = 20 * kMillisecond;           // run bit set to stage code 0x0D
    int64_t firmwareStartDelayNs = 50 * kMillisecond;  // download end to stage code 0x0E
    int64_t trainingTimeNs = 3 * kSecond;              // training to data mode
    int64_t mailboxPollNs = 100 * kMicrosecond;        // a posting taken to the next queued one
    int64_t performanceReportNs = 0;                   // period of performance events; 0: none
    // Firmware
    bool acceptAnyFirmware = false;  // start any image whose length and checksum are right
    size_t maxFirmwareSize = 1 << 20;
    // Transmit engine
    bool unlimitedRate = false;     // frames take no serialization time (benchmarks)
    uint32_t idleRateKbps = 2048;   // rate frames are discarded at before a rate is configured
    // Diagnostics
    bool accessLog = true;
};

enum class ControllerState {
    Off,               // run bit clear: held in reset
    Booting,           // run bit set, boot ROM starting
    AwaitingFirmware,  // boot ROM ready for a download (stage 0x0D reached)
    FirmwareStarting,  // image accepted, firmware starting
    Running,           // firmware running (stage 0x0E reached)
};
const char* ControllerStateName(ControllerState state);

// What the configuration commands set, decoded. Empty: never configured since
// the controller last restarted.
struct TransceiverConfig {
    std::optional<bool> central;            // 0x01: 0x01 central, 0x09 remote
    std::optional<uint8_t> lineOptions;     // 0x06 byte
    std::optional<uint32_t> rateKbps;       // 0x1B: N * 64 + R * 8
    std::optional<uint8_t> lineCodeByte;    // 0x03 byte K
    std::optional<uint8_t> lineCode;        // 0x03: selector K >> 4
    std::optional<uint8_t> framing;         // 0x0F byte D: 0x04 fixed rate, 0x00 rate-adaptive
    std::optional<uint8_t> annex;           // 0x0F byte A
    std::optional<int8_t> lineCodeOffset;   // 0x43 byte T
    std::optional<uint8_t> mode;            // 0x10 byte: 0x23 central, 0x21 remote
    bool eventsEnabled = false;             // 0x50 with EVENTS_LINE
    bool started = false;                   // 0x0B start, until stop or restart
    bool RateAdaptive() const { return framing && *framing == 0x00; }
};

enum class CommandFate {
    Answered,   // answer posted (or queued behind an untaken posting)
    Withheld,   // executed, answer withheld by a fault knob
    Ignored,    // doorbell rang while the controller was held in reset
    Abandoned,  // the controller restarted or stopped before answering
};

struct CommandRecord {
    int64_t time;                  // when the doorbell rang
    uint8_t code;
    std::vector<uint8_t> payload;  // as framed (an empty payload is one 0 byte)
    uint8_t result;                // result code (0 when never processed)
    CommandFate fate;
};

struct CardCounters {
    // Transmit engine
    uint64_t txFrames = 0;             // frames put on the line
    uint64_t txBytes = 0;
    uint64_t txDiscardedLineDown = 0;  // completed at line rate, not sent: line not up
    uint64_t txDiscardedHeld = 0;      // completed at line rate, not sent: CR1 line hold
    uint64_t txErrors = 0;             // transmit errors raised
    // Receive engine
    uint64_t rxFrames = 0;             // frames written to receive buffers
    uint64_t rxBytes = 0;
    uint64_t rxDroppedLineDown = 0;    // arrived after the line dropped
    uint64_t rxDroppedDisabled = 0;    // receiver disabled
    uint64_t rxDroppedHeld = 0;        // CR1 line hold
    uint64_t rxDroppedNoBuffer = 0;    // no receive buffer posted (overflow)
    uint64_t rxDroppedDamaged = 0;     // bit errors: CRC failed
    uint64_t rxDroppedBadLength = 0;   // shorter than a header or longer than 1514
    uint64_t rxDroppedDmaError = 0;    // the buffer address was refused by the bus
    uint64_t rxDroppedInjected = 0;    // receive error knob
    uint64_t rxErrors = 0;             // receive error interrupts raised
    // Transceiver controller
    uint64_t answersPosted = 0;
    uint64_t eventsPosted = 0;
    uint64_t eventsDropped = 0;        // event queue full while the driver took nothing
    uint64_t lineUps = 0;
    uint64_t lineDowns = 0;
};

// A change of the controller's state or of the line at this end, as it
// happened: what a person watching the card wants to see in order.
struct StateChange {
    uint64_t number;              // from 1, in the order of the changes
    int64_t time;                 // nanoseconds on the environment's clock
    ControllerState controller;   // after the change
    LineCondition condition;
    uint32_t rateKbps;            // trained rate while up, else 0
};

struct LineView {
    LineCondition condition = LineCondition::Idle;
    uint32_t rateKbps = 0;   // trained rate while up, else 0
    uint8_t status = 0;      // mailbox +0x3C0
    uint8_t aux = 0;         // mailbox +0x3C2
    LineQuality quality;     // while up
};

constexpr int kAnyCommand = -1;

class Card {
public:
    explicit Card(CardEnvironment& env, CardOptions options = {});
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // ---- The window, as the driver reaches it (offsets from its base) -------
    // 32-bit accesses are the descriptor words; byte accesses are registers
    // and mailbox. Other widths or places work but are logged as odd.
    uint8_t Read8(uint32_t offset);
    void Write8(uint32_t offset, uint8_t value);
    uint32_t Read32(uint32_t offset);
    void Write32(uint32_t offset, uint32_t value);

    // ---- Access log and anomalies -------------------------------------------
    std::vector<Access> AccessLog() const;
    void ClearAccessLog();
    void SetAccessLogging(bool on);
    // Everything the driver did that the card finds wrong or odd, with the
    // time, oldest first (the latest 1000).
    std::vector<std::string> Anomalies() const;
    void ClearAnomalies();

    // ---- Inspection: no side effects, not logged ------------------------------
    uint8_t PeekRegister(unsigned reg) const;
    uint8_t PeekMailbox(unsigned offset) const;
    uint32_t PeekRingWord(uint32_t offset) const;  // offset in 0..0x7FC
    bool InterruptAsserted() const;
    ControllerState Controller() const;
    TransceiverConfig Config() const;
    std::vector<CommandRecord> Commands() const;
    void ClearCommands();
    LineView LineState() const;
    CardCounters Counters() const;
    std::array<uint8_t, ERROR_COUNTER_COUNT> ErrorCounters() const;
    std::vector<uint8_t> Firmware() const;  // the image last accepted
    // The changes numbered after `after`, oldest first (the latest 1000 are kept).
    std::vector<StateChange> StateChanges(uint64_t after = 0) const;

    // ---- Fault knobs -----------------------------------------------------------
    // Each answer fault matches the next command (kAnyCommand) or the next one
    // with a given code, once, or every such command when `always`.
    // Withheld: the command takes effect, its answer never comes.
    void WithholdAnswer(int command = kAnyCommand, bool always = false);
    // Late: the answer comes extraNs after its usual time.
    void DelayAnswer(int64_t extraNs, int command = kAnyCommand, bool always = false);
    // Refused: the command has no effect and is answered with resultCode.
    void FailAnswer(uint8_t resultCode, int command = kAnyCommand, bool always = false);
    void ClearAnswerFaults();
    // A stage code (0x0D or 0x0E) that never comes: the controller reaches the
    // stage but the posting is lost.
    void SuppressStage(uint8_t stageCode, bool suppress = true);
    // Posts an unsolicited event now, whatever the controller's state.
    void PostEvent(uint8_t flags, uint8_t code = EVENT_TEST);
    void SetPerformanceReports(int64_t periodNs);  // 0: off
    // The next `count` transmit descriptors fail with a transmit error.
    void FailNextTransmits(unsigned count = 1);
    // The transmitter stops dead, silently: the frame it is sending never
    // finishes, TX_HW_INDEX stays where it is and no interrupt comes, until
    // the driver turns the transmitter off or resets its ring.
    void WedgeTransmitter();
    // The next `count` frames from the line are receive errors (ISR 0x04, dropped).
    void FailNextReceives(unsigned count = 1);
    // Raises the card event counted in the statistics (ISR 0x08).
    void RaiseCardEvent();
    // The next received frame's descriptor reports `length` (e.g. 1600 or 10)
    // instead of the frame's own; the frame itself is written as it came.
    void MisreportNextReceiveLength(uint16_t length);

    // ---- Line port: called by Line and LoopbackPartner -------------------------
    // Never from inside a call the card made to them: the card's lock is held then.
    void PlugLine(LineAttachment* line);  // nullptr unplugs
    void LineConditionChanged(LineCondition condition, uint32_t rateKbps, LineQuality quality);
    void FrameFromLine(const std::vector<uint8_t>& frame, bool damaged);

private:
    // A request frame: mailbox +0x03 (start marker) .. +0x53 (payload check).
    static constexpr size_t kRequestBytes = MAILBOX_PAYLOAD_CHECK - MAILBOX_START + 1;
    // A request's payload as the controller extracts it from the frame: at
    // most PAYLOAD_MAX_BYTES, held in place.
    struct Payload {
        std::array<uint8_t, PAYLOAD_MAX_BYTES> bytes;
        size_t count = 0;
        size_t size() const { return count; }
        const uint8_t* begin() const { return bytes.data(); }
        const uint8_t* end() const { return bytes.data() + count; }
        uint8_t operator[](size_t i) const { return bytes[i]; }
    };
    // Answer data: what a posting writes at MAILBOX_ANSWER, held in place;
    // the bytes past `count` are written as 0.
    struct AnswerData {
        std::array<uint8_t, ANSWER_BYTES> bytes{};
        size_t count = 0;
        AnswerData() = default;
        AnswerData(std::initializer_list<uint8_t> list) {
            for (uint8_t b : list) bytes[count++] = b;
        }
    };
    struct Answer {
        uint8_t result;
        AnswerData data;
    };
    struct AnswerFault {
        enum Kind { Withhold, Delay, Fail } kind;
        int command;
        bool always;
        int64_t extraNs;
        uint8_t result;
    };
    struct Request {
        int64_t time;
        std::array<uint8_t, kRequestBytes> frame;  // latched at the doorbell
        bool withhold = false;
        int64_t extraNs = 0;
        std::optional<uint8_t> forcedResult;
        uint8_t Code() const { return frame[1]; }
    };
    struct Posting {
        uint8_t status;
        bool event;
        uint8_t flags;    // event flags, events only
        AnswerData data;  // answer data
    };
    struct CommandEntry;

    // ---- card.cpp: window, registers, interrupt line, log, work -------------
    uint8_t LoadByte(uint32_t offset);
    void StoreByte(uint32_t offset, uint8_t value);
    void WriteRegister(unsigned reg, uint8_t value);
    void WriteCr0(uint8_t value);
    void WriteIndex(unsigned reg, uint8_t value);
    void WriteMailbox(unsigned offset, uint8_t value);
    void Raise(uint8_t bits);
    void UpdateInterruptLine();
    void Log(uint32_t offset, uint8_t width, bool write, uint32_t value, bool odd);
    void Anomaly(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void NoteStateChange();
    uint32_t RingWord(uint32_t ring, unsigned slot, unsigned word) const;
    void SetRingWord(uint32_t ring, unsigned slot, unsigned word, uint32_t value);
    void After(int64_t delayNs, const char* what, Task fn);

    // ---- controller.cpp: mailbox and transceiver controller -----------------
    void RestartController();
    void StopController();
    void ResetController(ControllerState next);
    void BootDone();
    void FirmwareStarted();
    void Doorbell();
    void StartNextRequest();
    void FinishRequest();
    void ApplyFaults(Request& request);
    Answer Execute(const Request& request, Payload* payload);
    Answer Reject(uint8_t code, uint8_t result, const char* why);
    static const CommandEntry* FindCommand(uint8_t code);
    void Record(const Request& request, const Payload& payload, uint8_t result, CommandFate fate);
    void Enqueue(Posting posting);
    void TryPost();
    void ResponseFlagWritten(uint8_t value);
    void SchedulePoll(int64_t delayNs);
    void PostStage(uint8_t stage);
    void PostControllerEvent(uint8_t code, uint8_t flags);
    void ArmPerformanceReports();
    // Command handlers
    Answer DownloadStart(const Payload& p);
    Answer DownloadData(const Payload& p);
    Answer DownloadEnd(const Payload& p);
    Answer SetTerminalType(const Payload& p);
    Answer SetLineOptions(const Payload& p);
    Answer SetLineRate(const Payload& p);
    Answer SetLineCode(const Payload& p);
    Answer SetFraming(const Payload& p);
    Answer SetLineCodeOffset(const Payload& p);
    Answer SetTerminalMode(const Payload& p);
    Answer SetEvents(const Payload& p);
    Answer ControlCounters(const Payload& p);
    Answer StartLine(const Payload& p);
    Answer ReadState(const Payload& p);
    Answer ReadMargin(const Payload& p);
    Answer ReadAttenuation(const Payload& p);
    Answer ReadCounters(const Payload& p);

    // ---- card_line.cpp: the line port, training state and error counters ----
    std::optional<LineOffer> Offer() const;
    void AnnounceOffer();
    void SetLineCondition(LineCondition condition, uint32_t rateKbps, LineQuality quality);
    void WriteLineStatus();
    void Bump(unsigned counter);
    void CountCrcAnomaly();
    void AccountUnavailableTime();
    std::array<uint8_t, ERROR_COUNTER_COUNT> CounterSnapshot() const;

    // ---- engines.cpp: transmit and receive engines -----------------------------
    // `chained`: the previous frame has just left, and this one may follow it
    // on the wire from its ideal end rather than from now.
    void StartNextTransmit(bool chained = false);
    void CheckTransmitSlotUnchanged();
    void CompleteTransmit();
    void TransmitError(const char* why, bool driverFault);
    void AbortTransmit();
    void SendOnLine(std::vector<uint8_t> frame);
    int64_t SerializationTime(size_t bytes) const;
    void Receive(const std::vector<uint8_t>& frame, bool damaged);
    bool ReceiverTakes(const std::vector<uint8_t>& frame, bool damaged);
    void ReceiveError(uint64_t* counter);

    CardEnvironment& env_;
    const CardOptions options_;
    mutable AdaptiveMutex mu_;  // guards everything below

    // Window
    std::array<uint8_t, WINDOW_REGISTERS> rings_{};  // both descriptor rings
    std::array<uint8_t, REGISTER_COUNT> regs_{};
    std::array<uint8_t, MAILBOX_BYTES> mailbox_{};
    bool interruptAsserted_ = false;

    // Diagnostics
    bool logging_;
    std::vector<Access> log_;
    std::deque<std::string> anomalies_;
    std::deque<StateChange> changes_;
    uint64_t changeCount_ = 0;

    // Work scheduled through the environment, cancelled when the card goes
    PendingWork work_;

    // Transceiver controller
    ControllerState controller_ = ControllerState::Off;
    uint64_t controllerEpoch_ = 0;  // bumped at every reset: stale work sees it
    std::deque<Request> requests_;
    bool processing_ = false;
    std::deque<Posting> postings_;
    bool pollScheduled_ = false;
    int64_t takenAt_ = INT64_MIN / 2;  // when the driver last took a posting
    TransceiverConfig config_;
    bool downloading_ = false;
    uint32_t downloadLength_ = 0;
    std::vector<uint8_t> download_;
    std::vector<uint8_t> firmware_;
    std::vector<CommandRecord> commands_;
    std::vector<AnswerFault> faults_;
    bool suppressAwaitingFirmware_ = false;
    bool suppressFirmwareRunning_ = false;
    int64_t performancePeriod_;
    uint64_t performanceGeneration_ = 0;

    // Line
    LineAttachment* line_ = nullptr;
    LineCondition condition_ = LineCondition::Idle;
    uint32_t lineRate_ = 0;
    LineQuality quality_;
    bool lostSync_ = false;
    std::array<uint8_t, ERROR_COUNTER_COUNT> errorCounters_{};
    int64_t erroredSecond_ = -1;     // the second of the last CRC anomaly
    unsigned anomaliesThisSecond_ = 0;
    int64_t unavailableSince_ = -1;  // started and not up since then; -1: not
    int64_t unavailableNs_ = 0;

    // Transmit and receive engines
    bool txBusy_ = false;
    uint64_t txEpoch_ = 0;  // bumped when the frame in flight is abandoned
    std::vector<uint8_t> txFrame_;
    uint32_t txAddress_ = 0;  // the descriptor of the frame in flight, as fetched
    uint32_t txControl_ = 0;
    std::vector<uint8_t> txCheck_;  // scratch for the check at the frame's end
    // The line's own clock: when the last frame's final bit leaves in an ideal
    // run, and when each slot was handed over (TX_SW_INDEX moved past it). A
    // frame behind another starts at the later of the two, not when the
    // timer that ends the previous one happens to fire: on the real clock
    // timers fire late, and the line would lose that much per frame.
    int64_t txLineFreeAt_ = 0;
    std::array<int64_t, RING_SLOT_MASK + 1> txHandedAt_{};
    unsigned failTransmits_ = 0;
    bool txWedged_ = false;
    unsigned failReceives_ = 0;
    std::optional<uint16_t> misreportLength_;
    CardCounters counters_;
};

}  // namespace cardmodel
