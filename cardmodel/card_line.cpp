// The card's line port: what the transceiver offers, what the line tells it,
// the line status bytes and events that follow, and the error counters.
#include "cardmodel/card.h"

namespace cardmodel {

const char* LineConditionName(LineCondition condition) {
    switch (condition) {
    case LineCondition::Idle: return "idle";
    case LineCondition::Searching: return "searching";
    case LineCondition::Incompatible: return "incompatible";
    case LineCondition::Training: return "training";
    case LineCondition::Up: return "up";
    }
    return "?";
}

std::optional<uint32_t> AgreedRate(const LineOffer& a, const LineOffer& b) {
    if (a.central == b.central || a.annex != b.annex) return std::nullopt;
    const LineOffer& central = a.central ? a : b;
    const LineOffer& remote = a.central ? b : a;
    if (remote.rateAdaptive || remote.rateKbps == central.rateKbps) return central.rateKbps;
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Port entry points
// ---------------------------------------------------------------------------
void Card::PlugLine(LineAttachment* line) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    if (line == line_) return;
    if (line_) line_->CardGone(this);
    line_ = line;
    // A new line, or none: nothing heard from a far end yet.
    if (config_.started) SetLineCondition(LineCondition::Searching, 0, {});
    if (line_ && config_.started) AnnounceOffer();
}

void Card::LineConditionChanged(LineCondition condition, uint32_t rateKbps,
                                LineQuality quality) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    // Late news for a transceiver that has stopped meanwhile.
    if (!config_.started || controller_ != ControllerState::Running) return;
    if (condition == LineCondition::Idle) condition = LineCondition::Searching;
    SetLineCondition(condition, rateKbps, quality);
}

void Card::FrameFromLine(const std::vector<uint8_t>& frame, bool damaged) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    Receive(frame, damaged);
}

std::optional<LineOffer> Card::Offer() const {
    if (!config_.started || controller_ != ControllerState::Running) return std::nullopt;
    return LineOffer{*config_.central, config_.annex.value_or(0), *config_.rateKbps,
                     config_.RateAdaptive(), options_.trainingTimeNs};
}

void Card::AnnounceOffer() {
    if (line_) line_->OfferChanged(this, Offer());
}

// ---------------------------------------------------------------------------
// Training state: status bytes, events, counters
// ---------------------------------------------------------------------------
void Card::SetLineCondition(LineCondition condition, uint32_t rateKbps, LineQuality quality) {
    bool wasUp = condition_ == LineCondition::Up;
    bool up = condition == LineCondition::Up;
    condition_ = condition;
    lineRate_ = up ? rateKbps : 0;
    quality_ = up ? quality : LineQuality{};
    if (up && !wasUp) {
        ++counters_.lineUps;
        Bump(COUNTER_LINE_UPS);
        lostSync_ = false;
    }
    if (wasUp && !up) {
        ++counters_.lineDowns;
        Bump(COUNTER_LOSW);
        Bump(COUNTER_LINE_DOWNS);
        lostSync_ = true;
    }
    AccountUnavailableTime();
    WriteLineStatus();
    NoteStateChange();
    if (up != wasUp) PostControllerEvent(EVENT_LINE_CHANGE, EVENT_FLAG_LINE_CHECK);
}

void Card::WriteLineStatus() {
    static const uint8_t kStatus[] = {LINE_IDLE, LINE_SEARCHING, LINE_INCOMPATIBLE, LINE_TRAINING,
                                      LINE_DATA_MODE};
    mailbox_[MAILBOX_LINE_STATUS] = kStatus[static_cast<int>(condition_)];
    uint8_t aux = 0;
    if (condition_ == LineCondition::Searching) aux |= AUX_NO_SIGNAL;
    if (condition_ == LineCondition::Incompatible) aux |= AUX_MISMATCH;
    if (lostSync_) aux |= AUX_LOST_SYNC;
    if (controller_ == ControllerState::Running) aux |= AUX_FIRMWARE;
    mailbox_[MAILBOX_LINE_AUX] = aux;
}

// Counters saturate; each reports with an event when it reaches its ceiling.
void Card::Bump(unsigned counter) {
    if (errorCounters_[counter] == 0xFF) return;
    if (++errorCounters_[counter] == 0xFF) {
        PostControllerEvent(EVENT_PERFORMANCE, EVENT_FLAG_COUNTERS);
    }
}

void Card::CountCrcAnomaly() {
    Bump(COUNTER_CRC_ANOMALIES);
    int64_t second = env_.Now() / kSecond;
    if (second != erroredSecond_) {
        erroredSecond_ = second;
        anomaliesThisSecond_ = 0;
        Bump(COUNTER_ERRORED_SECONDS);
    }
    if (++anomaliesThisSecond_ == SEVERE_ANOMALIES) Bump(COUNTER_SEVERE_SECONDS);
}

// Unavailable time runs while the line is started and not up.
void Card::AccountUnavailableTime() {
    int64_t now = env_.Now();
    if (unavailableSince_ >= 0) unavailableNs_ += now - unavailableSince_;
    unavailableSince_ = config_.started && condition_ != LineCondition::Up ? now : -1;
}

std::array<uint8_t, ERROR_COUNTER_COUNT> Card::CounterSnapshot() const {
    auto counters = errorCounters_;
    int64_t total = unavailableNs_;
    if (unavailableSince_ >= 0) total += env_.Now() - unavailableSince_;
    int64_t seconds = total / kSecond;
    counters[COUNTER_UNAVAILABLE_SECONDS] = static_cast<uint8_t>(seconds > 0xFF ? 0xFF : seconds);
    return counters;
}

std::array<uint8_t, ERROR_COUNTER_COUNT> Card::ErrorCounters() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return CounterSnapshot();
}

}  // namespace cardmodel
