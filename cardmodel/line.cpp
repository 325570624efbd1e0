// Lines between card models: training, cut and restore, frame transport.
#include "cardmodel/line.h"

#include <algorithm>
#include <cmath>

#include "cardmodel/card.h"

namespace cardmodel {
namespace {

constexpr size_t kSpareFrames = 256;  // frame storage a line keeps for reuse

}  // namespace

LineBase::LineBase(CardEnvironment& env, LineOptions options)
    : env_(env), options_(options), random_(options.seed) {}

LineBase::~LineBase() { Shutdown(); }

void LineBase::Plug(int end, Card* card) {
    {
        std::lock_guard<AdaptiveMutex> lock(mu_);
        ends_[end].card = card;
    }
    card->PlugLine(this);
}

void LineBase::Shutdown() {
    Card* cards[2] = {nullptr, nullptr};
    {
        std::lock_guard<AdaptiveMutex> lock(mu_);
        if (shutDown_) return;
        shutDown_ = true;
        work_.CancelAll(env_);
        for (int i = 0; i < 2; ++i) {
            cards[i] = ends_[i].card;
            ends_[i] = End{};
            inFlight_[i].clear();
            pumpQueued_[i] = false;
        }
        state_ = State::Down;
    }
    for (Card* card : cards) {
        if (card) card->PlugLine(nullptr);
    }
}

// Runs fn (without the lock) after delayNs, unless the line shuts down first.
void LineBase::After(int64_t delayNs, const char* what, Task fn) {
    if (shutDown_) return;
    uint64_t key = work_.Add(std::move(fn));
    work_.SetId(key, env_.Schedule(delayNs, [this, key] {
        Task work;
        {
            std::lock_guard<AdaptiveMutex> lock(mu_);
            if (!work_.Take(key, &work)) return;
        }
        work();
    }, what));
}

int LineBase::EndOf(const Card* card) const {
    for (int i = 0; i < 2; ++i) {
        if (card && ends_[i].card == card) return i;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// What the cards call (with their own lock held)
// ---------------------------------------------------------------------------
void LineBase::OfferChanged(Card* card, const std::optional<LineOffer>& offer) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    int end = EndOf(card);
    if (end >= 0) SetOfferLocked(end, offer);
}

void LineBase::SendFrame(Card* card, std::vector<uint8_t> frame) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    int end = EndOf(card);
    if (end >= 0) TransmitLocked(end, std::move(frame), false, options_.propagationDelayNs);
}

void LineBase::CardGone(Card* card) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    int end = EndOf(card);
    if (end < 0) return;
    ends_[end] = End{};
    Evaluate();
}

// ---------------------------------------------------------------------------
// Training
// ---------------------------------------------------------------------------
void LineBase::SetOfferLocked(int end, std::optional<LineOffer> offer) {
    ends_[end].offer = offer;
    if (ends_[end].card) CardOfferChanged();
    Evaluate();
}

// Decides the line's state from the two offers and the cut, and tells each
// end what it now hears. A line training or up at the agreed rate carries on.
void LineBase::Evaluate() {
    const std::optional<LineOffer>& a = ends_[0].offer;
    const std::optional<LineOffer>& b = ends_[1].offer;
    if (!a || !b || cut_) {
        state_ = State::Down;
        ++trainingGeneration_;
        for (int i = 0; i < 2; ++i) {
            SetCondition(i, ends_[i].offer ? LineCondition::Searching : LineCondition::Idle);
        }
        return;
    }
    std::optional<uint32_t> rate = AgreedRate(*a, *b);
    if (!rate) {
        state_ = State::Down;
        ++trainingGeneration_;
        for (int i = 0; i < 2; ++i) SetCondition(i, LineCondition::Incompatible);
        return;
    }
    if (state_ != State::Down && *rate == rate_) return;
    state_ = State::Training;
    rate_ = *rate;
    ++stats_.trainings;
    uint64_t generation = ++trainingGeneration_;
    After(std::max(a->trainingTimeNs, b->trainingTimeNs), "line training",
          [this, generation] { TrainingDone(generation); });
    for (int i = 0; i < 2; ++i) SetCondition(i, LineCondition::Training);
}

void LineBase::TrainingDone(uint64_t generation) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    if (generation != trainingGeneration_ || state_ != State::Training) return;
    state_ = State::Up;
    ++stats_.ups;
    for (int i = 0; i < 2; ++i) SetCondition(i, LineCondition::Up);
}

void LineBase::SetCondition(int end, LineCondition condition) {
    if (ends_[end].condition == condition) return;
    ends_[end].condition = condition;
    Notify(end);
}

// The card hears the news from scheduled work, and what it hears is the state
// when that work runs: changes in between fold into one. One delivery per end
// is under way at a time, and it delivers again until what the card last
// heard is still true: on concurrent processors a second delivery could
// otherwise overtake the first, and the card would keep the older news.
void LineBase::Notify(int end) {
    if (!ends_[end].card || ends_[end].notifyPending) return;
    ends_[end].notifyPending = true;
    After(0, "line news", [this, end] {
        LineQuality quality = options_.quality;
        if (end == 1) std::swap(quality.attenuationDb, quality.farAttenuationDb);
        Card* card = nullptr;
        LineCondition condition = LineCondition::Idle;
        uint32_t rate = 0;
        bool first = true;
        for (;;) {
            {
                std::lock_guard<AdaptiveMutex> lock(mu_);
                uint32_t rateNow = state_ == State::Up ? rate_ : 0;
                if (!ends_[end].card || (!first && ends_[end].card == card &&
                                         ends_[end].condition == condition && rateNow == rate)) {
                    ends_[end].notifyPending = false;
                    return;
                }
                card = ends_[end].card;
                condition = ends_[end].condition;
                rate = rateNow;
            }
            first = false;
            card->LineConditionChanged(condition, rate, quality);
        }
    });
}

// ---------------------------------------------------------------------------
// Frames
// ---------------------------------------------------------------------------
void LineBase::TransmitLocked(int from, std::vector<uint8_t> frame, bool damaged,
                              int64_t delayNs) {
    if (state_ != State::Up) {
        ++stats_.droppedDown;
        return;
    }
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    if (options_.frameLossProbability > 0 && uniform(random_) < options_.frameLossProbability) {
        ++stats_.lost;
        return;
    }
    damaged = damaged || Damaged(frame.size());
    int to = 1 - from;
    if (env_.RunsConcurrently()) return QueueInFlightLocked(to, std::move(frame), damaged, delayNs);
    After(delayNs, "line delivery", [this, to, frame = std::move(frame), damaged]() mutable {
        Deliver(to, std::move(frame), damaged);
    });
}

// Concurrently run work promises no order among frames due together, and one
// piece of work per frame would cost more than carrying the frame: frames
// queue by the end they go to, and one piece of work carries all that are
// due, in the order sent, while no other carries frames to that end.
void LineBase::QueueInFlightLocked(int to, std::vector<uint8_t> frame, bool damaged,
                                   int64_t delayNs) {
    int64_t now = env_.Now();
    inFlight_[to].push_back(InFlight{now + delayNs, std::move(frame), damaged});
    if (!pumpQueued_[to]) SchedulePumpLocked(to, now);
}

// `now`: the clock as the caller read it last.
void LineBase::SchedulePumpLocked(int to, int64_t now) {
    pumpQueued_[to] = true;
    int64_t delay = inFlight_[to].front().due - now;
    After(delay < 0 ? 0 : delay, "line delivery", [this, to] { Pump(to); });
}

void LineBase::Pump(int to) {
    std::vector<InFlight>& due = carrying_[to];
    due.clear();
    {
        std::lock_guard<AdaptiveMutex> lock(mu_);
        int64_t now = env_.Now();
        auto& queue = inFlight_[to];
        while (!queue.empty() && queue.front().due <= now) {
            due.push_back(std::move(queue.front()));
            queue.pop_front();
        }
        // Still queued while it carries: the next piece of work for this end
        // is queued when this one has delivered.
        if (due.empty()) {
            pumpQueued_[to] = false;
            if (!queue.empty()) SchedulePumpLocked(to, now);
            return;
        }
    }
    DeliverAll(to, due);
    std::lock_guard<AdaptiveMutex> lock(mu_);
    for (auto& f : due) {
        if (spareFrames_.size() >= kSpareFrames) break;
        f.frame.clear();
        spareFrames_.push_back(std::move(f.frame));
    }
    due.clear();
    pumpQueued_[to] = false;
    if (!shutDown_ && !inFlight_[to].empty()) SchedulePumpLocked(to, env_.Now());
}

// A frame is hit when any of its bits is.
bool LineBase::Damaged(size_t bytes) {
    double p = options_.bitErrorProbability;
    if (p <= 0) return false;
    double hit = 1.0 - std::pow(1.0 - p, 8.0 * static_cast<double>(bytes));
    return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < hit;
}

// A frame still on the wire when the line drops is lost.
void LineBase::Deliver(int to, std::vector<uint8_t> frame, bool damaged) {
    Card* card;
    {
        std::lock_guard<AdaptiveMutex> lock(mu_);
        if (state_ != State::Up) {
            ++stats_.droppedDown;
            return;
        }
        ++stats_.carried;
        if (damaged) ++stats_.damaged;
        card = ends_[to].card;
        if (!card) return FrameAtFarEnd(std::move(frame), damaged);
    }
    card->FrameFromLine(frame, damaged);
    // Its storage serves a frame to come, as a pump's frames do.
    std::lock_guard<AdaptiveMutex> lock(mu_);
    if (spareFrames_.size() < kSpareFrames) {
        frame.clear();
        spareFrames_.push_back(std::move(frame));
    }
}

// Frames that arrive together: as Deliver, one look at the line for all.
void LineBase::DeliverAll(int to, std::vector<InFlight>& frames) {
    Card* card;
    {
        std::lock_guard<AdaptiveMutex> lock(mu_);
        if (state_ != State::Up) {
            stats_.droppedDown += frames.size();
            return;
        }
        stats_.carried += frames.size();
        for (auto& f : frames) stats_.damaged += f.damaged;
        card = ends_[to].card;
        if (!card) {
            for (auto& f : frames) FrameAtFarEnd(std::move(f.frame), f.damaged);
            return;
        }
    }
    for (auto& f : frames) card->FrameFromLine(f.frame, f.damaged);
}

std::vector<uint8_t> LineBase::SpareFrame() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return SpareFrameLocked();
}

std::vector<uint8_t> LineBase::SpareFrameLocked() {
    std::vector<uint8_t> frame;
    if (!spareFrames_.empty()) {
        frame = std::move(spareFrames_.back());
        spareFrames_.pop_back();
    }
    return frame;
}

void LineBase::SendFromFarEndLocked(std::vector<uint8_t> frame, bool damaged) {
    int64_t now = env_.Now();
    int64_t serialization = 0;
    if (!farEndUnlimited_ && rate_ > 0) {
        serialization = static_cast<int64_t>(frame.size()) * 8 * kSecond / (int64_t(rate_) * 1000);
    }
    farEndBusyUntil_ = std::max(now, farEndBusyUntil_) + serialization;
    TransmitLocked(1, std::move(frame), damaged,
                   farEndBusyUntil_ - now + options_.propagationDelayNs);
}

// ---------------------------------------------------------------------------
// Cut, restore, flap, inspection
// ---------------------------------------------------------------------------
void LineBase::Cut() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    cut_ = true;
    Evaluate();
}

void LineBase::Restore() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    cut_ = false;
    Evaluate();
}

bool LineBase::IsCut() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return cut_;
}

void LineBase::Flap(const std::vector<int64_t>& pattern) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    if (pattern.empty()) return;
    cut_ = true;
    Evaluate();
    int64_t at = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        at += pattern[i];
        bool restore = i % 2 == 0;
        if (!restore && i + 1 == pattern.size()) break;  // ends restored
        After(at, "line flap", [this, restore] {
            std::lock_guard<AdaptiveMutex> inner(mu_);
            cut_ = !restore;
            Evaluate();
        });
    }
}

bool LineBase::IsUp() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return state_ == State::Up;
}

uint32_t LineBase::RateKbps() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return state_ == State::Up ? rate_ : 0;
}

void LineBase::SetFrameLossProbability(double probability) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    options_.frameLossProbability = probability;
}

void LineBase::SetBitErrorProbability(double probability) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    options_.bitErrorProbability = probability;
}

LineStats LineBase::Stats() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return stats_;
}

// ---------------------------------------------------------------------------
// Line
// ---------------------------------------------------------------------------
Line::Line(CardEnvironment& env, Card& a, Card& b, LineOptions options) : LineBase(env, options) {
    Plug(0, &a);
    Plug(1, &b);
}

Line::~Line() { Shutdown(); }

// ---------------------------------------------------------------------------
// LoopbackPartner: end 0 is the card, end 1 the partner
// ---------------------------------------------------------------------------
LoopbackPartner::LoopbackPartner(CardEnvironment& env, Card& card, LoopbackOptions options)
    : LineBase(env, options.line), echo_(options.echo), farEnd_(options.farEnd) {
    farEndUnlimited_ = options.unlimitedRate;
    Plug(0, &card);
}

LoopbackPartner::~LoopbackPartner() { Shutdown(); }

void LoopbackPartner::CardOfferChanged() { UpdateFarEndOffer(); }

// Unless told otherwise the partner offers whatever trains with the card.
void LoopbackPartner::UpdateFarEndOffer() {
    const std::optional<LineOffer>& card = ends_[0].offer;
    std::optional<LineOffer> offer;
    if (partnerRunning_ && farEnd_) {
        offer = farEnd_;
    } else if (partnerRunning_ && card) {
        offer = LineOffer{!card->central, card->annex, card->rateKbps, false, card->trainingTimeNs};
    }
    ends_[1].offer = offer;
}

void LoopbackPartner::FrameAtFarEnd(std::vector<uint8_t> frame, bool damaged) {
    if (damaged) return;  // the partner's receiver discards it, as a card would
    if (echo_) {
        std::vector<uint8_t> echo = SpareFrameLocked();
        echo.assign(frame.begin(), frame.end());
        SendFromFarEndLocked(std::move(echo), false);
    }
    sent_.push_back(std::move(frame));
}

void LoopbackPartner::SetEcho(bool on) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    echo_ = on;
}

void LoopbackPartner::SetFarEnd(std::optional<LineOffer> offer) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    farEnd_ = offer;
    UpdateFarEndOffer();
    Evaluate();
}

void LoopbackPartner::StopPartner() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    partnerRunning_ = false;
    UpdateFarEndOffer();
    Evaluate();
}

void LoopbackPartner::StartPartner() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    partnerRunning_ = true;
    UpdateFarEndOffer();
    Evaluate();
}

bool LoopbackPartner::InjectFrame(std::vector<uint8_t> frame, bool damaged) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    if (state_ != State::Up) {
        ++stats_.droppedDown;
        return false;
    }
    SendFromFarEndLocked(std::move(frame), damaged);
    return true;
}

std::vector<std::vector<uint8_t>> LoopbackPartner::SentFrames() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return sent_;
}

std::vector<std::vector<uint8_t>> LoopbackPartner::TakeSentFrames() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    std::vector<std::vector<uint8_t>> frames;
    frames.swap(sent_);
    return frames;
}

size_t LoopbackPartner::SentCount() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return sent_.size();
}

}  // namespace cardmodel
