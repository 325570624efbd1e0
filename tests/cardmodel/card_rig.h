// Plays the driver against one card model with small verbs: post a mailbox
// request, run the clock, take the answer; push a transmit descriptor, post
// receive buffers, read what the card wrote. Every access goes through the
// card's window, as the driver's would.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <optional>
#include <vector>

#include "cardmodel/card.h"
#include "cardmodel/firmware.h"
#include "cardmodel/line.h"
#include "tests/cardmodel/fake_environment.h"

using cardmodel::kMicrosecond;
using cardmodel::kMillisecond;
using cardmodel::kSecond;

// Values the rig writes where a driver would: the choices are the driver's,
// the bits the card's.
constexpr uint8_t kAcknowledgeAll = 0xFF;  // ISR: every pending source cleared
constexpr uint8_t kImrNormal = cardmodel::ISR_TX_DONE | cardmodel::ISR_RX_DONE |
                               cardmodel::ISR_CARD_EVENT | cardmodel::ISR_TX_ERROR |
                               cardmodel::ISR_MAILBOX;  // all but the receive error
constexpr uint8_t kEngines = cardmodel::CR0_TX_ENGINE | cardmodel::CR0_RX_ENGINE;
constexpr uint32_t kBufferBytes = 1516;  // a frame buffer, as the driver carves them

// The driver's line parameters, as far as the card sees them.
struct LineSetup {
    bool central = true;
    uint32_t rateKbps = 2048;
    bool adaptive = false;  // framing byte 0x00 instead of 0x04
    uint8_t annex = 1;
    uint8_t lineCode = 2;
    bool events = true;  // command 0x50 enables line events
};

// What the controller posted: an answer or an event.
struct Posting {
    uint8_t status;
    uint8_t flags;  // event flags (+0x3C7) as read at the time
    std::array<uint8_t, cardmodel::ANSWER_BYTES> data;
    bool IsEvent() const { return (status & cardmodel::STATUS_EVENT) != 0; }
};

// An Ethernet-sized frame of `length` bytes whose contents depend on `seed`.
std::vector<uint8_t> TestFrame(size_t length, uint8_t seed = 1);

class CardRig {
public:
    explicit CardRig(FakeEnvironment& env, cardmodel::CardOptions options = {});

    FakeEnvironment& env;
    cardmodel::Card card;

    uint8_t Reg(unsigned reg) { return card.Read8(cardmodel::WINDOW_REGISTERS + reg); }
    void SetReg(unsigned reg, uint8_t value) {
        card.Write8(cardmodel::WINDOW_REGISTERS + reg, value);
    }
    uint8_t Mb(unsigned offset) { return card.Read8(cardmodel::WINDOW_MAILBOX + offset); }
    void SetMb(unsigned offset, uint8_t value) {
        card.Write8(cardmodel::WINDOW_MAILBOX + offset, value);
    }

    // ---- Mailbox ------------------------------------------------------------------
    // Writes a request frame exactly as the driver frames it, without ringing.
    void WriteRequest(uint8_t command, const std::vector<uint8_t>& payload);
    // Writes it and rings the doorbell.
    void PostRequest(uint8_t command, const std::vector<uint8_t>& payload);
    // Runs the clock until something is posted, then takes it as the driver
    // does (flag 0, read back, status 0, ISR 0x20 acknowledged).
    std::optional<Posting> TakePosting(int64_t limitNs = 3 * kSecond);
    // Posts and returns the answer's result code (0: none within 3 s). Events
    // posted before or meanwhile are taken and kept in `events`.
    uint8_t Command(uint8_t command, const std::vector<uint8_t>& payload = {});
    // The answer data of the last Command.
    std::array<uint8_t, cardmodel::ANSWER_BYTES> answer{};
    std::vector<Posting> events;

    // ---- Bring-up -------------------------------------------------------------------
    void Restart();  // CR0 0 then the run bit, line held
    bool AwaitStage(uint8_t stage, int64_t limitNs = 10 * kSecond);
    bool Download(const std::vector<uint8_t>& image);
    bool Configure(const LineSetup& setup);  // 0x01 .. 0x0B
    // Restart, download, configure, transfers enabled, IMR normal.
    bool BringUp(const LineSetup& setup = {});
    // Runs the clock until the line is up, then releases the line hold.
    bool AwaitLineUp(int64_t limitNs = 10 * kSecond);

    // ---- Data path --------------------------------------------------------------------
    // A buffer with the frame and a descriptor at TX_SW_INDEX, which advances.
    void PushTx(const std::vector<uint8_t>& frame);
    void WriteTxDescriptor(unsigned slot, uint32_t address, uint32_t control);
    // `count` receive buffers from RX_SW_INDEX on, which advances past them.
    void PostRxBuffers(unsigned count);
    uint32_t RxStatus(unsigned slot);
    // The frame in a filled receive slot, as long as its status word says.
    std::vector<uint8_t> RxFrame(unsigned slot);

private:
    std::map<unsigned, uint32_t> rxBuffers_;  // slot -> bus address
};
