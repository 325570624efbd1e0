// A card that lies. It takes the card's place on the bus, in front of the card
// model in the same slot: the window and the interrupt line the driver knows
// are its own. Whatever the driver writes reaches the card, so the card goes
// on behaving as the card does; but any value the driver reads (a register,
// a descriptor word the card wrote, a mailbox byte the controller posted) can
// be a lie, the card's interrupt can be withheld, a second device on the
// shared line can raise interrupts with no cause, and the card can vanish
// from the bus altogether. Once nothing is armed it is the honest card.
//
// It also watches the driver: an access no driver of this card makes (a
// byte access to a descriptor ring, a word access outside the rings, any
// access to the window's unused range or past it, an index register written
// beyond its ring) is a verifier violation, whatever the card said before it.
//
//     testbed::HostileCard liar(*unit.slot);
//     liar.LieAt(REGISTERS_OFFSET + RX_HW_INDEX, 0x90);  // the next read
//     liar.ReadAllOnes();                               // a card that has died
//     liar.Feed(bytes, size);                           // reads from a byte stream
//
// The byte stream: while it lasts, each read the driver makes takes one
// directive (targeted lies, LieAt, go first and take none):
//   0x00..0x7F  d: honest, and so are the next d reads
//   0x80..0x9F  the value is the next stream byte (a word read: the next four,
//               little-endian)
//   0xA0..0xBF  the card's value with the bits of the next byte (four) flipped
//   0xC0..0xDF  the card's value plus (d & 0x1F) - 16: an index or length a few off
//   0xE0..0xEF  all ones, as from a card that is gone
//   0xF0..0xFF  honest, and right after it a second device raises the shared line
// A stream that ends in the middle of a value fills it with zeros.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

#include "host/bus.h"
#include "host/world.h"
#include "testbed/card_slot.h"

namespace testbed {

class HostileCard final : public host::MmioDevice {
public:
    // Takes the slot's window and interrupt line; gives them back when it goes.
    explicit HostileCard(CardSlot& slot);
    ~HostileCard() override;
    HostileCard(const HostileCard&) = delete;
    HostileCard& operator=(const HostileCard&) = delete;

    // ---- What the driver reads --------------------------------------------
    // The next `times` reads at `offset` (of either width) return `value`.
    void LieAt(uint32_t offset, uint32_t value, unsigned times = 1);
    // Appends to the byte stream that the reads draw their values from.
    void Feed(const uint8_t* data, size_t size);
    // Every read floats to all ones, as from a card that has died or whose
    // reads fail on the bus, and its interrupt is not seen; writes still
    // reach it, so it is in step with the driver when it answers again.
    void ReadAllOnes(bool on = true);
    bool ReadingAllOnes() const;
    // Surprise removal: the card is gone from the bus for good. Reads float
    // to all ones, writes are lost, its interrupt reaches nobody and its DMA
    // no memory. Only BeHonest() puts it back, as it was; a driver that went
    // on without it meanwhile is then out of step with it.
    void Remove();
    bool Removed() const;

    // ---- Interrupts ---------------------------------------------------------
    // A second device on the shared line raises it; it lowers it when the
    // driver next reads ISR (its own interrupt served, as far as it knows).
    void SpuriousInterrupt();
    // The card's interrupt does not reach the line for `duration`; then the
    // line shows the card's level again (level-sensitive: a cause still
    // pending is seen at once).
    void WithholdInterrupt(host::Nanoseconds duration);

    // Drops every lie and the rest of the stream, puts the card back and
    // gives its interrupt line its own level: from now on the honest card.
    void BeHonest();
    // Nothing armed: no lie, no stream left, present, interrupt not withheld,
    // no spurious interrupt up.
    bool Honest() const;
    // Reads answered with something other than the card's own value.
    uint64_t LiesTold() const;

    // host::MmioDevice
    uint8_t Read8(uint32_t offset) override;
    void Write8(uint32_t offset, uint8_t value) override;
    uint32_t Read32(uint32_t offset) override;
    void Write32(uint32_t offset, uint32_t value) override;

private:
    // What one read answers, given the card's own value (mu_ held).
    uint32_t Answer(uint32_t offset, unsigned width, uint32_t truth);
    uint32_t FromStream(unsigned width, uint32_t truth);
    uint32_t StreamValue(unsigned width);
    bool Floating() const;
    // The line as the card's level, removal and withholding make it (mu_ held).
    void DriveCardLine();
    void SetSpurious(bool asserted);
    void CheckAccess(uint32_t offset, unsigned width, bool write, uint32_t value);

    CardSlot& slot_;
    unsigned vector_;
    mutable std::mutex mu_;  // guards everything below
    std::map<uint32_t, std::deque<uint32_t>> lies_;  // by offset, oldest first
    std::deque<uint8_t> stream_;
    unsigned honestRun_ = 0;  // reads still honest under the last 0x00..0x7F directive
    bool allOnes_ = false;
    bool removed_ = false;
    bool cardAsserts_ = false;  // the level the card drives
    host::Nanoseconds withheldUntil_ = 0;
    host::WorkId release_ = 0;  // work that shows the card's level again
    bool spurious_ = false;
    bool spuriousAfterRead_ = false;
    uint64_t liesTold_ = 0;
};

}  // namespace testbed
