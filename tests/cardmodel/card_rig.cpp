#include "tests/cardmodel/card_rig.h"

using namespace cardmodel;

namespace {

// Line code table the driver uses for command 0x43.
const uint8_t kLineCodeOffset[] = {0x08, 0xFC, 0xF0, 0x28};

}  // namespace

std::vector<uint8_t> TestFrame(size_t length, uint8_t seed) {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; ++i) frame[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return frame;
}

CardRig::CardRig(FakeEnvironment& environment, cardmodel::CardOptions options)
    : env(environment), card(environment, options) {}

// ---------------------------------------------------------------------------
// Mailbox
// ---------------------------------------------------------------------------
void CardRig::WriteRequest(uint8_t command, const std::vector<uint8_t>& payload) {
    uint8_t length = payload.empty() ? 0 : static_cast<uint8_t>(payload.size() - 1);
    SetMb(MAILBOX_START, START_MARKER);
    SetMb(MAILBOX_COMMAND, command);
    SetMb(MAILBOX_RESERVED, 0);
    SetMb(MAILBOX_LENGTH, length);
    SetMb(MAILBOX_HEADER_CHECK, command ^ length ^ HEADER_CHECK_XOR);
    uint8_t check = 0;
    for (size_t i = 0; i < payload.size(); ++i) {
        SetMb(MAILBOX_PAYLOAD + i, payload[i]);
        check ^= payload[i];
    }
    if (payload.empty()) SetMb(MAILBOX_PAYLOAD, 0);
    SetMb(MAILBOX_PAYLOAD_CHECK, check ^ PAYLOAD_CHECK_XOR);
    SetMb(MAILBOX_STATUS, 0);
}

void CardRig::PostRequest(uint8_t command, const std::vector<uint8_t>& payload) {
    WriteRequest(command, payload);
    SetMb(MAILBOX_DOORBELL, DOORBELL_RING);
}

std::optional<Posting> CardRig::TakePosting(int64_t limitNs) {
    auto posted = [this] { return card.PeekMailbox(MAILBOX_POSTED_FLAG) == FLAG_POSTED; };
    if (!env.RunUntil(posted, limitNs)) return std::nullopt;
    Posting posting{};
    posting.status = Mb(MAILBOX_STATUS);
    posting.flags = Mb(MAILBOX_EVENT_FLAGS);
    for (unsigned i = 0; i < ANSWER_BYTES; ++i) posting.data[i] = Mb(MAILBOX_ANSWER + i);
    SetMb(MAILBOX_POSTED_FLAG, 0);
    Mb(MAILBOX_POSTED_FLAG);
    SetMb(MAILBOX_STATUS, 0);
    SetReg(REGISTER_ISR, ISR_MAILBOX);
    return posting;
}

uint8_t CardRig::Command(uint8_t command, const std::vector<uint8_t>& payload) {
    // An event still posted would lose its status to the request's status write.
    while (card.PeekMailbox(MAILBOX_POSTED_FLAG) == FLAG_POSTED) events.push_back(*TakePosting(0));
    PostRequest(command, payload);
    int64_t deadline = env.Now() + 3 * kSecond;
    while (env.Now() < deadline) {
        std::optional<Posting> posting = TakePosting(deadline - env.Now());
        if (!posting) break;
        if (posting->IsEvent()) {
            events.push_back(*posting);
            continue;
        }
        answer = posting->data;
        return posting->status & STATUS_RESULT_MASK;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Bring-up
// ---------------------------------------------------------------------------
void CardRig::Restart() {
    SetMb(MAILBOX_POSTED_FLAG, 0);
    SetReg(REGISTER_IMR, ISR_MAILBOX);
    SetReg(REGISTER_CR0, 0);
    SetReg(REGISTER_ISR, kAcknowledgeAll);
    SetReg(REGISTER_CR0, CR0_CONTROLLER_RUN);
    SetReg(REGISTER_CR1, CR1_FRAME_HOLD);
}

bool CardRig::AwaitStage(uint8_t stage, int64_t limitNs) {
    std::optional<Posting> posting = TakePosting(limitNs);
    return posting && !posting->IsEvent() && (posting->status & STATUS_RESULT_MASK) == stage;
}

bool CardRig::Download(const std::vector<uint8_t>& image) {
    uint32_t length = static_cast<uint32_t>(image.size());
    if (Command(CMD_DOWNLOAD_START, {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16),
                                     uint8_t(length >> 24)}) != RESULT_SUCCESS) {
        return false;
    }
    uint8_t sum = 0;
    for (size_t offset = 0; offset < image.size(); offset += PAYLOAD_MAX_BYTES) {
        size_t n = std::min<size_t>(PAYLOAD_MAX_BYTES, image.size() - offset);
        std::vector<uint8_t> piece(image.begin() + offset, image.begin() + offset + n);
        for (uint8_t b : piece) sum = static_cast<uint8_t>(sum + b);
        if (Command(CMD_DOWNLOAD_DATA, piece) != RESULT_SUCCESS) return false;
    }
    return Command(CMD_DOWNLOAD_END, {static_cast<uint8_t>(0u - sum)}) == RESULT_SUCCESS;
}

bool CardRig::Configure(const LineSetup& s) {
    uint32_t units = s.rateKbps / 8;
    uint8_t n = (units >> 3) & 0x7F, r = units & 7;
    uint8_t framing = s.adaptive ? 0x00 : 0x04;
    uint8_t offset = s.lineCode < 4 ? kLineCodeOffset[s.lineCode] : 0;
    const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> commands = {
        {CMD_TERMINAL_TYPE, {uint8_t(s.central ? 0x01 : 0x09)}},
        {CMD_LINE_OPTIONS, {0x63}},
        {CMD_LINE_RATE, {n, 0x00, n, n, 0x01, r, 0x00, 0x01}},
        {CMD_LINE_CODE, {uint8_t((s.lineCode << 4) | 0x02), 0x00}},
        {CMD_FRAMING, {0x04, 0, 0, 0, framing, 0x01, 0, s.annex, 0xFF, 0, 0, 0}},
        {CMD_LINE_CODE_OFFSET, {0x03, offset, 0xFF, 0x04, 0x00, 0x00}},
        {CMD_TERMINAL_MODE, {uint8_t(s.central ? 0x23 : 0x21)}},
        {CMD_EVENTS, {uint8_t(s.events ? 0x02 : 0x00)}},
        {CMD_COUNTERS, {0x02}},
        {CMD_START_LINE, {0x02}},
    };
    for (const auto& command : commands) {
        if (Command(command.first, command.second) != RESULT_SUCCESS) return false;
    }
    return true;
}

bool CardRig::BringUp(const LineSetup& setup) {
    Restart();
    if (!AwaitStage(STAGE_AWAITING_FIRMWARE)) return false;
    if (!Download(cardmodel::MakeFirmwareImage(256))) return false;
    if (!AwaitStage(STAGE_FIRMWARE_RUNNING)) return false;
    if (!Configure(setup)) return false;
    for (unsigned reg : {REGISTER_RX_SW_INDEX, REGISTER_RX_HW_INDEX, REGISTER_TX_SW_INDEX,
                         REGISTER_TX_HW_INDEX}) {
        SetReg(reg, 0);
    }
    SetReg(REGISTER_CR0, Reg(REGISTER_CR0) | kEngines);
    SetReg(REGISTER_IMR, kImrNormal);
    return true;
}

bool CardRig::AwaitLineUp(int64_t limitNs) {
    auto up = [this] { return card.LineState().condition == cardmodel::LineCondition::Up; };
    if (!env.RunUntil(up, limitNs)) return false;
    SetReg(REGISTER_CR1, Reg(REGISTER_CR1) & ~CR1_FRAME_HOLD);
    return true;
}

// ---------------------------------------------------------------------------
// Data path
// ---------------------------------------------------------------------------
void CardRig::WriteTxDescriptor(unsigned slot, uint32_t address, uint32_t control) {
    card.Write32(WINDOW_TX_RING + slot * DESC_BYTES + DESC_WORD_ADDRESS, address);
    card.Write32(WINDOW_TX_RING + slot * DESC_BYTES + DESC_WORD_CONTROL, control);
}

void CardRig::PushTx(const std::vector<uint8_t>& frame) {
    uint32_t address = env.Allocate(kBufferBytes);
    env.SetMemory(address, frame);
    unsigned slot = Reg(REGISTER_TX_SW_INDEX);
    WriteTxDescriptor(slot, address, static_cast<uint32_t>(frame.size()) | TXD_VALID);
    SetReg(REGISTER_TX_SW_INDEX, NextSlot(slot));
}

void CardRig::PostRxBuffers(unsigned count) {
    unsigned slot = Reg(REGISTER_RX_SW_INDEX);
    for (unsigned i = 0; i < count; ++i) {
        uint32_t address = env.Allocate(kBufferBytes);
        rxBuffers_[slot] = address;
        card.Write32(WINDOW_RX_RING + slot * DESC_BYTES + DESC_WORD_ADDRESS, address);
        slot = NextSlot(slot);
    }
    SetReg(REGISTER_RX_SW_INDEX, slot);
}

uint32_t CardRig::RxStatus(unsigned slot) {
    return card.Read32(WINDOW_RX_RING + slot * DESC_BYTES + DESC_WORD_CONTROL);
}

std::vector<uint8_t> CardRig::RxFrame(unsigned slot) {
    return env.Memory(rxBuffers_[slot], RxStatus(slot) & RXD_LENGTH_MASK);
}
