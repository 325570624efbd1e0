// SHDSL lines for card models: a Line joins two cards' ports; a
// LoopbackPartner plays the far-end transceiver for a single card, so tests
// can put frames on the line and collect what the card sent.
//
// Training: once both ends have started (command 0x0B) and can train together
// (one central and one remote end, the same annex, equal rates unless the
// remote end is rate-adaptive: see AgreedRate), the line trains for the longer
// of the two ends' training times and comes up at the agreed rate. It goes
// down when an end stops, goes away or the line is cut; a restored line
// trains again. Frames cross only while the line is up.
//
// Both classes keep a lock of their own and never call into a card while
// holding it, nor inside a call a card made to them: everything they tell a
// card, they tell from work scheduled through the environment. Destroy them
// only while the environment runs none of their work.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "cardmodel/adaptive_mutex.h"
#include "cardmodel/environment.h"
#include "cardmodel/line_port.h"
#include "cardmodel/pending_work.h"

namespace cardmodel {

struct LineOptions {
    int64_t propagationDelayNs = 10 * kMicrosecond;  // about 2 km of copper
    double frameLossProbability = 0;                 // per frame
    double bitErrorProbability = 0;                  // per bit: a hit frame arrives damaged
    uint64_t seed = 1;                               // loss and errors repeat for a seed
    LineQuality quality{18, 18, 10};                 // what trained ends measure
};

struct LineStats {
    uint64_t carried = 0;      // frames delivered to the far end
    uint64_t lost = 0;         // frames lost on the way
    uint64_t damaged = 0;      // frames delivered with bit errors
    uint64_t droppedDown = 0;  // frames sent while the line was not up
    uint64_t trainings = 0;    // training attempts started
    uint64_t ups = 0;          // times the line came up
};

// What Line and LoopbackPartner share: two ends, training, cut and restore,
// frame transport with delay, loss and bit errors.
class LineBase : public LineAttachment {
public:
    ~LineBase() override;
    LineBase(const LineBase&) = delete;
    LineBase& operator=(const LineBase&) = delete;

    void Cut();
    void Restore();
    bool IsCut() const;
    // Cuts now for pattern[0] ns, restores for pattern[1], cuts for
    // pattern[2], ...; the line is left restored after the last step.
    void Flap(const std::vector<int64_t>& pattern);
    bool IsUp() const;
    uint32_t RateKbps() const;  // the trained rate while up, else 0
    void SetFrameLossProbability(double probability);
    void SetBitErrorProbability(double probability);
    LineStats Stats() const;

    // LineAttachment, for the cards
    void OfferChanged(Card* card, const std::optional<LineOffer>& offer) override;
    void SendFrame(Card* card, std::vector<uint8_t> frame) override;
    std::vector<uint8_t> SpareFrame() override;
    void CardGone(Card* card) override;

protected:
    enum class State { Down, Training, Up };
    struct End {
        Card* card = nullptr;  // null for a LoopbackPartner's far end
        std::optional<LineOffer> offer;
        LineCondition condition = LineCondition::Idle;
        bool notifyPending = false;
    };

    LineBase(CardEnvironment& env, LineOptions options);
    // Plugs a card into end 0 or 1 (without the lock held).
    void Plug(int end, Card* card);
    // Unplugs the cards and cancels all work; derived destructors call it first.
    void Shutdown();
    // With the lock held:
    void SetOfferLocked(int end, std::optional<LineOffer> offer);
    void Evaluate();
    void TransmitLocked(int from, std::vector<uint8_t> frame, bool damaged, int64_t delayNs);
    // Sends from a far end that has no card, paced at the line rate.
    void SendFromFarEndLocked(std::vector<uint8_t> frame, bool damaged);
    // Storage for a frame: a spare one's (empty), or none yet. Lock held.
    std::vector<uint8_t> SpareFrameLocked();
    void After(int64_t delayNs, const char* what, Task fn);
    // Hooks for a far end without a card, called with the lock held.
    virtual void CardOfferChanged() {}
    virtual void FrameAtFarEnd(std::vector<uint8_t> /*frame*/, bool /*damaged*/) {}

    CardEnvironment& env_;
    LineOptions options_;
    mutable AdaptiveMutex mu_;  // guards everything below
    End ends_[2];
    State state_ = State::Down;
    uint32_t rate_ = 0;
    bool cut_ = false;
    bool shutDown_ = false;
    uint64_t trainingGeneration_ = 0;
    int64_t farEndBusyUntil_ = 0;  // the far end's transmitter, when it has no card
    bool farEndUnlimited_ = false; // ... and sends without serialization time
    std::mt19937_64 random_;
    LineStats stats_;
    PendingWork work_;

private:
    // A frame on its way to end `to`, in an environment that runs work
    // concurrently (see TransmitLocked).
    struct InFlight {
        int64_t due;
        std::vector<uint8_t> frame;
        bool damaged;
    };

    int EndOf(const Card* card) const;
    void SetCondition(int end, LineCondition condition);
    void Notify(int end);
    void TrainingDone(uint64_t generation);
    void Deliver(int to, std::vector<uint8_t> frame, bool damaged);
    void QueueInFlightLocked(int to, std::vector<uint8_t> frame, bool damaged, int64_t delayNs);
    void SchedulePumpLocked(int to, int64_t now);
    void Pump(int to);
    void DeliverAll(int to, std::vector<InFlight>& frames);
    bool Damaged(size_t bytes);

    std::deque<InFlight> inFlight_[2];  // by the end they go to, oldest first
    bool pumpQueued_[2] = {false, false};
    // The frames one pump carries, kept from pump to pump (there is one at a
    // time per end, while pumpQueued_) so that carrying them allocates nothing.
    std::vector<InFlight> carrying_[2];
    // Storage of frames carried, handed to the cards for frames to come: a
    // frame then costs no allocation here and no release on another thread.
    std::vector<std::vector<uint8_t>> spareFrames_;
};

// Two cards back to back.
class Line : public LineBase {
public:
    Line(CardEnvironment& env, Card& a, Card& b, LineOptions options = {});
    ~Line() override;
};

struct LoopbackOptions {
    LineOptions line;
    bool echo = false;                // send every frame the card sends straight back
    std::optional<LineOffer> farEnd;  // what the partner offers; unset: whatever trains
                                      // with the card (the other terminal type, same
                                      // annex and rate)
    bool unlimitedRate = false;       // the partner sends without serialization time
};

// A far-end transceiver for one card.
class LoopbackPartner : public LineBase {
public:
    LoopbackPartner(CardEnvironment& env, Card& card, LoopbackOptions options = {});
    ~LoopbackPartner() override;

    void SetEcho(bool on);
    void SetFarEnd(std::optional<LineOffer> offer);  // unset: match the card
    // The far-end transceiver stops (the line drops) or starts again.
    void StopPartner();
    void StartPartner();
    // Sends a frame from the far end: it reaches the card after its
    // serialization time, behind frames sent before it, plus the propagation
    // delay. False (and nothing sent) while the line is not up.
    bool InjectFrame(std::vector<uint8_t> frame, bool damaged = false);
    // Frames the card sent that arrived intact, oldest first.
    std::vector<std::vector<uint8_t>> SentFrames() const;
    std::vector<std::vector<uint8_t>> TakeSentFrames();
    size_t SentCount() const;

private:
    void CardOfferChanged() override;
    void FrameAtFarEnd(std::vector<uint8_t> frame, bool damaged) override;
    void UpdateFarEndOffer();

    bool echo_;
    bool partnerRunning_ = true;
    std::optional<LineOffer> farEnd_;
    std::vector<std::vector<uint8_t>> sent_;
};

}  // namespace cardmodel
