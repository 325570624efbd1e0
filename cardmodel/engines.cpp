// The transmit and receive engines: descriptors in the card's rings, frames
// moved by DMA through the environment, the line port on the other side.
#include "cardmodel/card.h"

#include <algorithm>

namespace cardmodel {

// ---------------------------------------------------------------------------
// Transmit engine: one frame at a time from TX_HW_INDEX up to TX_SW_INDEX
// ---------------------------------------------------------------------------
// The descriptor is fetched and the frame read by DMA when the engine starts
// on it; TX_HW_INDEX moves past it when its last bit has left, one
// serialization time later.
void Card::StartNextTransmit(bool chained) {
    if (txBusy_ || txWedged_ || !(regs_[REGISTER_CR0] & CR0_TX_ENGINE)) return;
    unsigned slot = regs_[REGISTER_TX_HW_INDEX];
    if (slot == regs_[REGISTER_TX_SW_INDEX]) return;
    uint32_t address = RingWord(WINDOW_TX_RING, slot, DESC_WORD_ADDRESS);
    uint32_t control = RingWord(WINDOW_TX_RING, slot, DESC_WORD_CONTROL);
    uint32_t length = control & TXD_LENGTH_MASK;
    if (!(control & TXD_VALID)) return TransmitError("valid bit 0x8000 clear", true);
    if (length == 0 || length > FRAME_MAX_BYTES) return TransmitError("bad frame length", true);
    if (failTransmits_ > 0) {
        --failTransmits_;
        return TransmitError("injected transmit error", false);
    }
    std::vector<uint8_t> frame = line_ ? line_->SpareFrame() : std::vector<uint8_t>();
    frame.resize(length);
    if (!env_.DmaRead(address, frame.data(), length)) {
        return TransmitError("DMA read refused by the bus", true);
    }
    txBusy_ = true;
    txFrame_ = std::move(frame);
    txAddress_ = address;
    txControl_ = control;
    int64_t serialization = SerializationTime(length);
    if (serialization == 0) {
        // An unlimited line: the frame is gone at once, and so is every
        // frame behind it, all before the interrupt can be taken.
        CompleteTransmit();
        return;
    }
    int64_t now = env_.Now();
    int64_t start = now;
    if (chained) start = std::max(txLineFreeAt_, txHandedAt_[slot]);
    txLineFreeAt_ = start + serialization;
    // A late timer is made up on the frames behind it, never beyond the
    // line's rate: no frame ends before its ideal end.
    int64_t delay = std::max<int64_t>(txLineFreeAt_ - now, 0);
    uint64_t epoch = txEpoch_;
    After(delay, "transmit", [this, epoch] {
        if (epoch == txEpoch_ && !txWedged_) {
            CheckTransmitSlotUnchanged();
            CompleteTransmit();
        }
    });
}

// The slot belongs to the card from TX_SW_INDEX's move past it until
// TX_HW_INDEX moves past it. A real card fetches the frame as it sends it, so
// a driver that rewrites the slot meanwhile sends something else: the frame
// goes out as it now stands, and the change is an anomaly.
void Card::CheckTransmitSlotUnchanged() {
    unsigned slot = regs_[REGISTER_TX_HW_INDEX];
    uint32_t address = RingWord(WINDOW_TX_RING, slot, DESC_WORD_ADDRESS);
    uint32_t control = RingWord(WINDOW_TX_RING, slot, DESC_WORD_CONTROL);
    txCheck_.resize(txFrame_.size());
    bool readable = env_.DmaRead(txAddress_, txCheck_.data(), txCheck_.size());
    if (address == txAddress_ && control == txControl_ && readable && txCheck_ == txFrame_) {
        return;
    }
    Anomaly("transmit slot %u changed while the card sent it (descriptor 0x%08X 0x%08X, was "
            "0x%08X 0x%08X)", slot, address, control, txAddress_, txControl_);
    if (readable) txFrame_.swap(txCheck_);
}

void Card::CompleteTransmit() {
    txBusy_ = false;
    SendOnLine(std::move(txFrame_));
    txFrame_.clear();
    regs_[REGISTER_TX_HW_INDEX] = NextSlot(regs_[REGISTER_TX_HW_INDEX]);
    Raise(ISR_TX_DONE);
    StartNextTransmit(true);
}

// The transmitter stops on the bad descriptor, steps past it (the frame is
// lost) and waits to be enabled again. It raises transmit-done as well as the
// error, since its index moved: the driver completes the slot like any other.
void Card::TransmitError(const char* why, bool driverFault) {
    unsigned slot = regs_[REGISTER_TX_HW_INDEX];
    if (driverFault) {
        Anomaly("transmit descriptor %u (0x%08X 0x%08X): %s", slot,
                RingWord(WINDOW_TX_RING, slot, DESC_WORD_ADDRESS),
                RingWord(WINDOW_TX_RING, slot, DESC_WORD_CONTROL), why);
    }
    ++counters_.txErrors;
    Bump(COUNTER_TX_ERRORS);
    regs_[REGISTER_CR0] &= static_cast<uint8_t>(~CR0_TX_ENGINE);
    regs_[REGISTER_TX_HW_INDEX] = NextSlot(slot);
    Raise(ISR_TX_ERROR | ISR_TX_DONE);
}

// A wedged transmitter comes back when it is turned off or its ring reset.
void Card::AbortTransmit() {
    ++txEpoch_;
    txBusy_ = false;
    txWedged_ = false;
    txFrame_.clear();
}

// A frame finished while the line is not up, or held, took its time on the
// wire all the same but goes nowhere.
void Card::SendOnLine(std::vector<uint8_t> frame) {
    if (condition_ != LineCondition::Up) {
        ++counters_.txDiscardedLineDown;
        return;
    }
    if (regs_[REGISTER_CR1] & CR1_FRAME_HOLD) {
        ++counters_.txDiscardedHeld;
        return;
    }
    ++counters_.txFrames;
    counters_.txBytes += frame.size();
    if (line_) line_->SendFrame(this, std::move(frame));
}

// At the trained rate while up; otherwise at the configured rate, or the
// idle rate before one is configured.
int64_t Card::SerializationTime(size_t bytes) const {
    if (options_.unlimitedRate) return 0;
    uint32_t rate = options_.idleRateKbps;
    if (condition_ == LineCondition::Up) {
        rate = lineRate_;
    } else if (config_.rateKbps) {
        rate = *config_.rateKbps;
    }
    if (rate == 0) rate = 1;
    return static_cast<int64_t>(bytes) * 8 * kSecond / (static_cast<int64_t>(rate) * 1000);
}

// ---------------------------------------------------------------------------
// Receive engine: a frame from the line goes into the buffer at RX_HW_INDEX
// ---------------------------------------------------------------------------
// The card has no receive FIFO to speak of: a frame that finds the receiver
// off, the line held or no buffer posted is dropped and counted.
void Card::Receive(const std::vector<uint8_t>& frame, bool damaged) {
    if (!ReceiverTakes(frame, damaged)) return;
    unsigned slot = regs_[REGISTER_RX_HW_INDEX];
    if (slot == regs_[REGISTER_RX_SW_INDEX]) {  // overflow: counted, and the driver told
        ++counters_.rxDroppedNoBuffer;
        Bump(COUNTER_RX_OVERFLOW);
        return Raise(ISR_CARD_EVENT);
    }
    uint32_t address = RingWord(WINDOW_RX_RING, slot, DESC_WORD_ADDRESS);
    if (!env_.DmaWrite(address, frame.data(), frame.size())) {
        // The slot stays where it is: the card cannot fill a buffer it cannot reach.
        Anomaly("receive descriptor %u: DMA write to 0x%08X refused by the bus", slot, address);
        return ReceiveError(&counters_.rxDroppedDmaError);
    }
    uint32_t length = misreportLength_.value_or(static_cast<uint16_t>(frame.size()));
    misreportLength_.reset();
    SetRingWord(WINDOW_RX_RING, slot, DESC_WORD_CONTROL, length & RXD_LENGTH_MASK);
    regs_[REGISTER_RX_HW_INDEX] = NextSlot(slot);
    ++counters_.rxFrames;
    counters_.rxBytes += frame.size();
    Raise(ISR_RX_DONE);
}

// Whether a frame from the line gets as far as the receive ring; a frame that
// does not is counted by its reason, and raises a receive error when it was bad.
bool Card::ReceiverTakes(const std::vector<uint8_t>& frame, bool damaged) {
    uint64_t* dropped = nullptr;
    if (condition_ != LineCondition::Up) {  // arrived after the line dropped
        dropped = &counters_.rxDroppedLineDown;
    } else if (!(regs_[REGISTER_CR0] & CR0_RX_ENGINE)) {
        dropped = &counters_.rxDroppedDisabled;
    } else if (regs_[REGISTER_CR1] & CR1_FRAME_HOLD) {
        dropped = &counters_.rxDroppedHeld;
    }
    if (dropped) {
        ++*dropped;
        return false;
    }
    if (damaged) {
        CountCrcAnomaly();
        ReceiveError(&counters_.rxDroppedDamaged);
    } else if (failReceives_ > 0) {
        --failReceives_;
        ReceiveError(&counters_.rxDroppedInjected);
    } else if (frame.size() < FRAME_MIN_RX_BYTES || frame.size() > FRAME_MAX_BYTES) {
        ReceiveError(&counters_.rxDroppedBadLength);
    } else {
        return true;
    }
    return false;
}

void Card::ReceiveError(uint64_t* counter) {
    ++*counter;
    ++counters_.rxErrors;
    if (counter != &counters_.rxDroppedDamaged) Bump(COUNTER_RX_ERRORS);
    Raise(ISR_RX_ERROR);
}

}  // namespace cardmodel
