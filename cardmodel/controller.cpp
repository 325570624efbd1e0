// The transceiver controller behind the mailbox: boot ROM and firmware
// download, the configuration and statistics commands, the posting queue of
// answers and events, and the fault knobs that bend all of it.
#include <algorithm>

#include "cardmodel/card.h"
#include "cardmodel/firmware.h"

namespace cardmodel {
namespace {

constexpr size_t kMaxQueuedEvents = 32;   // a controller's event queue is small
constexpr size_t kMaxCommandRecords = 100000;
constexpr uint32_t kMinRateKbps = 64;
constexpr uint32_t kMaxRateKbps = 6016;

// Checks a latched request frame (mailbox +0x03 .. +0x53) and extracts its
// payload (at most 75 bytes, whatever the length byte says). Returns what is
// wrong with it, or null.
template <typename Payload>
const char* CheckFrame(const uint8_t* frame, Payload* payload) {
    auto at = [frame](unsigned offset) { return frame[offset - MAILBOX_START]; };
    unsigned count = std::min<unsigned>(at(MAILBOX_LENGTH) + 1u, PAYLOAD_MAX_BYTES);
    const uint8_t* first = frame + (MAILBOX_PAYLOAD - MAILBOX_START);
    std::copy_n(first, count, payload->bytes.begin());
    payload->count = count;
    if (at(MAILBOX_START) != START_MARKER) return "no start marker";
    if (at(MAILBOX_RESERVED) != 0) return "reserved byte not 0";
    if (at(MAILBOX_HEADER_CHECK) != (at(MAILBOX_COMMAND) ^ at(MAILBOX_LENGTH) ^ HEADER_CHECK_XOR)) {
        return "header check wrong";
    }
    if (at(MAILBOX_LENGTH) + 1u > PAYLOAD_MAX_BYTES) return "payload longer than 75 bytes";
    uint8_t check = PAYLOAD_CHECK_XOR;
    for (uint8_t b : *payload) check ^= b;
    if (at(MAILBOX_PAYLOAD_CHECK) != check) return "payload check wrong";
    return nullptr;
}

}  // namespace

struct Card::CommandEntry {
    uint8_t code;
    uint8_t minLength;  // payload bytes as framed: an empty payload is one 0 byte
    uint8_t maxLength;
    bool download;      // a boot ROM command, served only before the firmware runs
    Answer (Card::*handler)(const Payload& payload);
};

const Card::CommandEntry* Card::FindCommand(uint8_t code) {
    static const CommandEntry kCommands[] = {
        {CMD_DOWNLOAD_START, 4, 4, true, &Card::DownloadStart},
        {CMD_DOWNLOAD_DATA, 1, PAYLOAD_MAX_BYTES, true, &Card::DownloadData},
        {CMD_DOWNLOAD_END, 1, 1, true, &Card::DownloadEnd},
        {CMD_TERMINAL_TYPE, 1, 1, false, &Card::SetTerminalType},
        {CMD_LINE_OPTIONS, 1, 1, false, &Card::SetLineOptions},
        {CMD_LINE_RATE, 8, 8, false, &Card::SetLineRate},
        {CMD_LINE_CODE, 2, 2, false, &Card::SetLineCode},
        {CMD_FRAMING, 12, 12, false, &Card::SetFraming},
        {CMD_LINE_CODE_OFFSET, 6, 6, false, &Card::SetLineCodeOffset},
        {CMD_TERMINAL_MODE, 1, 1, false, &Card::SetTerminalMode},
        {CMD_EVENTS, 1, 1, false, &Card::SetEvents},
        {CMD_COUNTERS, 1, 1, false, &Card::ControlCounters},
        {CMD_START_LINE, 1, 1, false, &Card::StartLine},
        {CMD_READ_STATE, 1, 1, false, &Card::ReadState},
        {CMD_READ_MARGIN, 1, 1, false, &Card::ReadMargin},
        {CMD_READ_ATTENUATION, 1, 1, false, &Card::ReadAttenuation},
        {CMD_READ_COUNTERS, 1, 1, false, &Card::ReadCounters},
    };
    for (const CommandEntry& entry : kCommands) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Reset, boot and firmware start
// ---------------------------------------------------------------------------
void Card::RestartController() {
    ResetController(ControllerState::Booting);
    uint64_t epoch = controllerEpoch_;
    After(options_.bootDelayNs, "transceiver boot", [this, epoch] {
        if (epoch == controllerEpoch_) BootDone();
    });
}

void Card::StopController() { ResetController(ControllerState::Off); }

// A reset forgets everything the controller was doing: requests in progress,
// postings not yet made, a download, the configuration and the line.
void Card::ResetController(ControllerState next) {
    ++controllerEpoch_;
    Payload payload;
    for (const Request& request : requests_) {
        CheckFrame(request.frame.data(), &payload);
        Record(request, payload, 0, CommandFate::Abandoned);
    }
    requests_.clear();
    processing_ = false;
    postings_.clear();
    bool wasStarted = config_.started;
    controller_ = next;  // first: a controller in reset posts no events
    config_ = TransceiverConfig{};
    downloading_ = false;
    download_.clear();
    ++performanceGeneration_;
    if (wasStarted && line_) line_->OfferChanged(this, std::nullopt);
    SetLineCondition(LineCondition::Idle, 0, {});
    NoteStateChange();
    errorCounters_ = {};
    erroredSecond_ = -1;
    unavailableSince_ = -1;
    unavailableNs_ = 0;
    lostSync_ = false;
    WriteLineStatus();
    mailbox_[MAILBOX_EVENT_FLAGS] = 0;
}

// The boot ROM starts afresh: it knows of no earlier posting, so it takes the
// response flag back before it asks for its firmware.
void Card::BootDone() {
    controller_ = ControllerState::AwaitingFirmware;
    NoteStateChange();
    mailbox_[MAILBOX_POSTED_FLAG] = 0;
    PostStage(STAGE_AWAITING_FIRMWARE);
    StartNextRequest();
}

void Card::FirmwareStarted() {
    controller_ = ControllerState::Running;
    NoteStateChange();
    WriteLineStatus();
    PostStage(STAGE_FIRMWARE_RUNNING);
    ArmPerformanceReports();
    StartNextRequest();
}

// Stage codes are answers, not events: the driver waits for them like for
// the answer to a command.
void Card::PostStage(uint8_t stage) {
    bool lost = stage == STAGE_AWAITING_FIRMWARE ? suppressAwaitingFirmware_
                                                    : suppressFirmwareRunning_;
    if (!lost) Enqueue(Posting{stage, false, 0, {}});
}

// ---------------------------------------------------------------------------
// Requests: latched at the doorbell, answered one at a time
// ---------------------------------------------------------------------------
void Card::Doorbell() {
    Request request;
    request.time = env_.Now();
    std::copy_n(mailbox_.begin() + MAILBOX_START, kRequestBytes, request.frame.begin());
    if (controller_ == ControllerState::Off) {
        Anomaly("doorbell for command 0x%02X while the controller is held in reset",
                request.Code());
        Payload payload;
        CheckFrame(request.frame.data(), &payload);
        Record(request, payload, 0, CommandFate::Ignored);
        return;
    }
    ApplyFaults(request);
    requests_.push_back(request);
    StartNextRequest();
}

// A booting controller leaves requests waiting until its boot ROM runs.
void Card::StartNextRequest() {
    if (processing_ || requests_.empty()) return;
    if (controller_ == ControllerState::Off || controller_ == ControllerState::Booting) return;
    processing_ = true;
    uint64_t epoch = controllerEpoch_;
    After(options_.answerDelayNs + requests_.front().extraNs, "transceiver command",
          [this, epoch] {
              if (epoch == controllerEpoch_) FinishRequest();
          });
}

void Card::FinishRequest() {
    Request request = requests_.front();
    requests_.pop_front();
    processing_ = false;
    Payload payload;
    Answer answer;
    if (request.forcedResult) {
        CheckFrame(request.frame.data(), &payload);
        answer = Answer{*request.forcedResult, {}};
    } else {
        answer = Execute(request, &payload);
    }
    if (request.withhold) {
        Record(request, payload, answer.result, CommandFate::Withheld);
    } else {
        Record(request, payload, answer.result, CommandFate::Answered);
        Enqueue(Posting{answer.result, false, 0, answer.data});
    }
    StartNextRequest();
}

Card::Answer Card::Execute(const Request& request, Payload* payload) {
    uint8_t code = request.Code();
    if (const char* problem = CheckFrame(request.frame.data(), payload)) {
        return Reject(code, RESULT_BAD_FRAME, problem);
    }
    const CommandEntry* entry = FindCommand(code);
    if (!entry) return Reject(code, RESULT_UNKNOWN_COMMAND, "unknown command");
    bool ready = entry->download ? controller_ == ControllerState::AwaitingFirmware
                                : controller_ == ControllerState::Running;
    if (!ready) return Reject(code, RESULT_WRONG_STATE, ControllerStateName(controller_));
    if (payload->size() < entry->minLength || payload->size() > entry->maxLength) {
        return Reject(code, RESULT_BAD_PARAMETER, "wrong payload length");
    }
    return (this->*entry->handler)(*payload);
}

Card::Answer Card::Reject(uint8_t code, uint8_t result, const char* why) {
    Anomaly("command 0x%02X refused with result 0x%02X: %s", code, result, why);
    return Answer{result, {}};
}

void Card::Record(const Request& request, const Payload& payload, uint8_t result,
                  CommandFate fate) {
    if (commands_.size() >= kMaxCommandRecords) {
        commands_.erase(commands_.begin(), commands_.begin() + kMaxCommandRecords / 2);
    }
    commands_.push_back(CommandRecord{request.time, request.Code(),
                                      std::vector<uint8_t>(payload.begin(), payload.end()), result,
                                      fate});
}

// ---------------------------------------------------------------------------
// Postings: one in the mailbox at a time, the rest queued until the driver
// has taken it (response flag no longer FLAG_POSTED)
// ---------------------------------------------------------------------------
void Card::Enqueue(Posting posting) {
    if (posting.event) {
        size_t events = std::count_if(postings_.begin(), postings_.end(),
                                      [](const Posting& p) { return p.event; });
        if (events >= kMaxQueuedEvents) {
            ++counters_.eventsDropped;
            return;
        }
    }
    postings_.push_back(std::move(posting));
    TryPost();
}

// The flag goes last: a driver that sees it finds the rest in place.
void Card::TryPost() {
    if (postings_.empty() || mailbox_[MAILBOX_POSTED_FLAG] == FLAG_POSTED) return;
    int64_t quiet = takenAt_ + options_.mailboxPollNs - env_.Now();
    if (quiet > 0) return SchedulePoll(quiet);
    Posting posting = std::move(postings_.front());
    postings_.pop_front();
    for (unsigned i = 0; i < ANSWER_BYTES; ++i) {
        mailbox_[MAILBOX_ANSWER + i] = i < posting.data.count ? posting.data.bytes[i] : 0;
    }
    if (posting.event) mailbox_[MAILBOX_EVENT_FLAGS] = posting.flags;
    mailbox_[MAILBOX_STATUS] = posting.status;
    mailbox_[MAILBOX_POSTED_FLAG] = FLAG_POSTED;
    ++(posting.event ? counters_.eventsPosted : counters_.answersPosted);
    Raise(ISR_MAILBOX);
}

// The controller notices a taken posting on its next poll of the flag, one
// poll interval later, and posts nothing before: the driver still reads and
// clears the status byte after it has cleared the flag.
void Card::ResponseFlagWritten(uint8_t value) {
    if (value == FLAG_POSTED) {
        Anomaly("driver wrote the posted mark 0x%02X to the response flag", value);
        return;
    }
    takenAt_ = env_.Now();
    if (!postings_.empty()) SchedulePoll(options_.mailboxPollNs);
}

void Card::SchedulePoll(int64_t delayNs) {
    if (pollScheduled_) return;
    pollScheduled_ = true;
    After(delayNs, "mailbox poll", [this] {
        pollScheduled_ = false;
        TryPost();
    });
}

void Card::PostControllerEvent(uint8_t code, uint8_t flags) {
    if (!config_.eventsEnabled || controller_ != ControllerState::Running) return;
    Enqueue(Posting{static_cast<uint8_t>(STATUS_EVENT | code), true, flags, {}});
}

void Card::ArmPerformanceReports() {
    uint64_t generation = ++performanceGeneration_;
    if (performancePeriod_ <= 0 || controller_ != ControllerState::Running) return;
    After(performancePeriod_, "performance report", [this, generation] {
        if (generation != performanceGeneration_) return;
        PostControllerEvent(EVENT_PERFORMANCE, EVENT_FLAG_PERFORMANCE);
        ArmPerformanceReports();
    });
}

// ---------------------------------------------------------------------------
// Firmware download (boot ROM)
// ---------------------------------------------------------------------------
Card::Answer Card::DownloadStart(const Payload& p) {
    uint32_t length = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                      uint32_t(p[3]) << 24;
    if (length > options_.maxFirmwareSize) {
        return Reject(CMD_DOWNLOAD_START, RESULT_BAD_PARAMETER, "image too large");
    }
    downloading_ = true;  // a second start begins the download again
    downloadLength_ = length;
    download_.clear();
    return Answer{RESULT_SUCCESS, {}};
}

Card::Answer Card::DownloadData(const Payload& p) {
    if (!downloading_) return Reject(CMD_DOWNLOAD_DATA, RESULT_WRONG_STATE, "no download");
    if (download_.size() + p.size() > downloadLength_) {
        downloading_ = false;
        return Reject(CMD_DOWNLOAD_DATA, RESULT_BAD_PARAMETER, "more data than announced");
    }
    download_.insert(download_.end(), p.begin(), p.end());
    return Answer{RESULT_SUCCESS, {}};
}

Card::Answer Card::DownloadEnd(const Payload& p) {
    if (!downloading_) return Reject(CMD_DOWNLOAD_END, RESULT_WRONG_STATE, "no download");
    downloading_ = false;
    if (download_.size() != downloadLength_) {
        return Reject(CMD_DOWNLOAD_END, RESULT_BAD_PARAMETER, "image shorter than announced");
    }
    uint8_t sum = p[0];
    for (uint8_t b : download_) sum = static_cast<uint8_t>(sum + b);
    if (sum != 0) return Reject(CMD_DOWNLOAD_END, RESULT_BAD_CHECKSUM, "checksum wrong");
    std::string why;
    if (!options_.acceptAnyFirmware && !CheckFirmwareImage(download_, &why)) {
        return Reject(CMD_DOWNLOAD_END, RESULT_BAD_IMAGE, why.c_str());
    }
    firmware_ = std::move(download_);
    download_.clear();
    controller_ = ControllerState::FirmwareStarting;
    NoteStateChange();
    uint64_t epoch = controllerEpoch_;
    After(options_.firmwareStartDelayNs, "firmware start", [this, epoch] {
        if (epoch == controllerEpoch_) FirmwareStarted();
    });
    return Answer{RESULT_SUCCESS, {}};
}

// ---------------------------------------------------------------------------
// Configuration (firmware running)
// ---------------------------------------------------------------------------
Card::Answer Card::SetTerminalType(const Payload& p) {
    if (p[0] != 0x01 && p[0] != 0x09) {
        return Reject(CMD_TERMINAL_TYPE, RESULT_BAD_PARAMETER, "terminal type not 0x01 or 0x09");
    }
    config_.central = p[0] == 0x01;
    return Answer{RESULT_SUCCESS, {}};
}

Card::Answer Card::SetLineOptions(const Payload& p) {
    config_.lineOptions = p[0];
    return Answer{RESULT_SUCCESS, {}};
}

// N 64 kbit/s steps in bytes 0, 2 and 3 (one per direction and the
// reference), R 8 kbit/s steps in byte 5.
Card::Answer Card::SetLineRate(const Payload& p) {
    uint8_t n = p[0], r = p[5];
    if (p[2] != n || p[3] != n) return Reject(CMD_LINE_RATE, RESULT_BAD_PARAMETER, "N differs");
    uint32_t rate = n * 64u + r * 8u;
    if (r > 7 || rate < kMinRateKbps || rate > kMaxRateKbps) {
        return Reject(CMD_LINE_RATE, RESULT_BAD_PARAMETER, "rate out of range");
    }
    config_.rateKbps = rate;
    return Answer{RESULT_SUCCESS, {}};
}

Card::Answer Card::SetLineCode(const Payload& p) {
    if ((p[0] & 0x0F) != 0x02) return Reject(CMD_LINE_CODE, RESULT_BAD_PARAMETER, "low nibble");
    config_.lineCodeByte = p[0];
    config_.lineCode = p[0] >> 4;
    return Answer{RESULT_SUCCESS, {}};
}

Card::Answer Card::SetFraming(const Payload& p) {
    if (p[4] != 0x00 && p[4] != 0x04) {
        return Reject(CMD_FRAMING, RESULT_BAD_PARAMETER, "framing byte not 0x00 or 0x04");
    }
    config_.framing = p[4];
    config_.annex = p[7];
    return Answer{RESULT_SUCCESS, {}};
}

Card::Answer Card::SetLineCodeOffset(const Payload& p) {
    config_.lineCodeOffset = static_cast<int8_t>(p[1]);
    return Answer{RESULT_SUCCESS, {}};
}

Card::Answer Card::SetTerminalMode(const Payload& p) {
    config_.mode = p[0];
    return Answer{RESULT_SUCCESS, {}};
}

Card::Answer Card::SetEvents(const Payload& p) {
    config_.eventsEnabled = (p[0] & EVENTS_LINE) != 0;
    ArmPerformanceReports();
    return Answer{RESULT_SUCCESS, {}};
}

Card::Answer Card::ControlCounters(const Payload& p) {
    auto clear = [this](unsigned first, unsigned last) {
        for (unsigned i = first; i <= last; ++i) errorCounters_[i] = 0;
    };
    if (p[0] != COUNTERS_CLEAR_PERFORMANCE && p[0] != COUNTERS_RESET_ALL &&
        p[0] != COUNTERS_CLEAR_HISTORY) {
        return Reject(CMD_COUNTERS, RESULT_BAD_PARAMETER, "unknown counter control");
    }
    if (p[0] != COUNTERS_CLEAR_HISTORY) {
        clear(COUNTER_CRC_ANOMALIES, COUNTER_UNAVAILABLE_SECONDS);
        erroredSecond_ = -1;
        unavailableNs_ = 0;
        if (unavailableSince_ >= 0) unavailableSince_ = env_.Now();
    }
    if (p[0] != COUNTERS_CLEAR_PERFORMANCE) clear(COUNTER_RX_OVERFLOW, COUNTER_LINE_DOWNS);
    return Answer{RESULT_SUCCESS, {}};
}

// Start (again: a started line retrains) or stop training. Starting needs the
// terminal type, the rate and the framing.
Card::Answer Card::StartLine(const Payload& p) {
    if (p[0] == START_LINE_STOP) {
        if (config_.started && line_) line_->OfferChanged(this, std::nullopt);
        config_.started = false;
        SetLineCondition(LineCondition::Idle, 0, {});
        return Answer{RESULT_SUCCESS, {}};
    }
    if (p[0] != START_LINE_START) {
        return Reject(CMD_START_LINE, RESULT_BAD_PARAMETER, "not start or stop");
    }
    if (!config_.central || !config_.rateKbps || !config_.framing) {
        return Reject(CMD_START_LINE, RESULT_WRONG_STATE, "line not configured");
    }
    if (config_.started && line_) line_->OfferChanged(this, std::nullopt);
    config_.started = true;
    SetLineCondition(LineCondition::Searching, 0, {});
    AnnounceOffer();
    return Answer{RESULT_SUCCESS, {}};
}

// ---------------------------------------------------------------------------
// Statistics
// ---------------------------------------------------------------------------
Card::Answer Card::ReadState(const Payload&) {
    static const uint8_t kState[] = {STATE_IDLE, STATE_SEARCHING, STATE_INCOMPATIBLE,
                                     STATE_TRAINING, STATE_DATA_MODE};
    return Answer{RESULT_SUCCESS, {kState[static_cast<int>(condition_)]}};
}

Card::Answer Card::ReadMargin(const Payload&) {
    return Answer{RESULT_SUCCESS, {static_cast<uint8_t>(quality_.snrMarginDb)}};
}

Card::Answer Card::ReadAttenuation(const Payload&) {
    return Answer{RESULT_SUCCESS, {quality_.attenuationDb, quality_.farAttenuationDb}};
}

Card::Answer Card::ReadCounters(const Payload&) {
    auto counters = CounterSnapshot();
    static_assert(unsigned{ERROR_COUNTER_COUNT} <= unsigned{ANSWER_BYTES}, "the counters fit one answer");
    Answer answer{RESULT_SUCCESS, {}};
    std::copy(counters.begin(), counters.end(), answer.data.bytes.begin());
    answer.data.count = counters.size();
    return answer;
}

// ---------------------------------------------------------------------------
// Knobs
// ---------------------------------------------------------------------------
void Card::ApplyFaults(Request& request) {
    for (auto it = faults_.begin(); it != faults_.end();) {
        if (it->command != kAnyCommand && it->command != request.Code()) {
            ++it;
            continue;
        }
        if (it->kind == AnswerFault::Withhold) request.withhold = true;
        if (it->kind == AnswerFault::Delay) request.extraNs += it->extraNs;
        if (it->kind == AnswerFault::Fail) request.forcedResult = it->result;
        it = it->always ? it + 1 : faults_.erase(it);
    }
}

void Card::WithholdAnswer(int command, bool always) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    faults_.push_back(AnswerFault{AnswerFault::Withhold, command, always, 0, 0});
}

void Card::DelayAnswer(int64_t extraNs, int command, bool always) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    faults_.push_back(AnswerFault{AnswerFault::Delay, command, always, extraNs, 0});
}

void Card::FailAnswer(uint8_t resultCode, int command, bool always) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    faults_.push_back(AnswerFault{AnswerFault::Fail, command, always, 0, resultCode});
}

void Card::ClearAnswerFaults() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    faults_.clear();
}

void Card::SuppressStage(uint8_t stageCode, bool suppress) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    if (stageCode == STAGE_AWAITING_FIRMWARE) suppressAwaitingFirmware_ = suppress;
    if (stageCode == STAGE_FIRMWARE_RUNNING) suppressFirmwareRunning_ = suppress;
}

void Card::PostEvent(uint8_t flags, uint8_t code) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    Enqueue(Posting{static_cast<uint8_t>(STATUS_EVENT | code), true, flags, {}});
}

void Card::SetPerformanceReports(int64_t periodNs) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    performancePeriod_ = periodNs;
    ArmPerformanceReports();
}

}  // namespace cardmodel
