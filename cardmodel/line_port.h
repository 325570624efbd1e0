// The card's line port: what a transceiver offers the far end when it starts
// training, what it hears back, and the interface of whatever is plugged in
// (a Line to another card, or a LoopbackPartner).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace cardmodel {

class Card;

// The line as one end's transceiver sees it.
enum class LineCondition {
    Idle,          // transceiver not started
    Searching,     // started, nothing heard from the far end
    Incompatible,  // the far end answers but the two cannot train together
    Training,      // training with a compatible far end
    Up,            // data mode: frames pass
};
const char* LineConditionName(LineCondition condition);

// What a trained line measures; reported through the statistics commands.
struct LineQuality {
    uint8_t attenuationDb = 0;     // loop attenuation at this end
    uint8_t farAttenuationDb = 0;  // as the far end measured it
    int8_t snrMarginDb = 0;        // signal-to-noise margin
};

// What a started transceiver offers the far end.
struct LineOffer {
    bool central = true;        // terminal type: central (STU-C) or remote (STU-R)
    uint8_t annex = 1;          // regional annex; both ends must agree
    uint32_t rateKbps = 2048;   // configured line rate
    bool rateAdaptive = false;  // remote end that takes the central end's rate
    int64_t trainingTimeNs = 0; // how long this transceiver takes to train
};

// The rate two ends train at, or nothing when they cannot train together: one
// central and one remote end, the same annex, and equal rates unless the
// remote end is rate-adaptive (then it takes the central end's rate; a
// central end's own adaptive setting means nothing).
std::optional<uint32_t> AgreedRate(const LineOffer& a, const LineOffer& b);

// Whatever is plugged into a card's line port. The card calls these with its
// own lock held, so an implementation never calls into a card from inside
// them: it schedules that work through the environment.
class LineAttachment {
public:
    virtual ~LineAttachment() = default;
    // The card's transceiver starts training (an offer) or stops (nothing).
    virtual void OfferChanged(Card* card, const std::optional<LineOffer>& offer) = 0;
    // A frame the card has serialized onto the line.
    virtual void SendFrame(Card* card, std::vector<uint8_t> frame) = 0;
    // Storage for the next frame the card reads from memory: one the line
    // has carried and kept, or none (the card then makes its own).
    virtual std::vector<uint8_t> SpareFrame() { return {}; }
    // The card is being destroyed: forget it.
    virtual void CardGone(Card* card) = 0;
};

}  // namespace cardmodel
