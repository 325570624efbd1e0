#include "tests/cardmodel/card_rig.h"

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
    SetMb(MB_START, MB_START_MARKER);
    SetMb(MB_COMMAND, command);
    SetMb(MB_RESERVED, 0);
    SetMb(MB_LENGTH, length);
    SetMb(MB_HEADER_CHECK, command ^ length ^ MB_HEADER_XOR);
    uint8_t check = 0;
    for (size_t i = 0; i < payload.size(); ++i) {
        SetMb(MB_PAYLOAD + i, payload[i]);
        check ^= payload[i];
    }
    if (payload.empty()) SetMb(MB_PAYLOAD, 0);
    SetMb(MB_PAYLOAD_CHECK, check ^ MB_PAYLOAD_XOR);
    SetMb(MB_STATUS, 0);
}

void CardRig::PostRequest(uint8_t command, const std::vector<uint8_t>& payload) {
    WriteRequest(command, payload);
    SetMb(MB_DOORBELL, MB_RING);
}

std::optional<Posting> CardRig::TakePosting(int64_t limitNs) {
    auto posted = [this] { return card.PeekMailbox(MB_RESPONSE_FLAG) == MB_POSTED; };
    if (!env.RunUntil(posted, limitNs)) return std::nullopt;
    Posting posting{};
    posting.status = Mb(MB_STATUS);
    posting.flags = Mb(MB_EVENT_FLAGS);
    for (unsigned i = 0; i < MB_ANSWER_DATA_SIZE; ++i) posting.data[i] = Mb(MB_ANSWER_DATA + i);
    SetMb(MB_RESPONSE_FLAG, 0);
    Mb(MB_RESPONSE_FLAG);
    SetMb(MB_STATUS, 0);
    SetReg(ISR, INT_MAILBOX);
    return posting;
}

uint8_t CardRig::Command(uint8_t command, const std::vector<uint8_t>& payload) {
    // An event still posted would lose its status to the request's status write.
    while (card.PeekMailbox(MB_RESPONSE_FLAG) == MB_POSTED) events.push_back(*TakePosting(0));
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
        return posting->status & MB_STATUS_RESULT_MASK;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Bring-up
// ---------------------------------------------------------------------------
void CardRig::Restart() {
    SetMb(MB_RESPONSE_FLAG, 0);
    SetReg(IMR, IMR_MAILBOX_ONLY);
    SetReg(CR0, 0);
    SetReg(ISR, INT_ALL);
    SetReg(CR0, CR0_RUN);
    SetReg(CR1, CR1_LINE_HOLD);
}

bool CardRig::AwaitStage(uint8_t stage, int64_t limitNs) {
    std::optional<Posting> posting = TakePosting(limitNs);
    return posting && !posting->IsEvent() && (posting->status & MB_STATUS_RESULT_MASK) == stage;
}

bool CardRig::Download(const std::vector<uint8_t>& image) {
    uint32_t length = static_cast<uint32_t>(image.size());
    if (Command(XCVR_DOWNLOAD_START, {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16),
                                      uint8_t(length >> 24)}) != MB_RESULT_SUCCESS) {
        return false;
    }
    uint8_t sum = 0;
    for (size_t offset = 0; offset < image.size(); offset += MB_MAX_PAYLOAD) {
        size_t n = std::min<size_t>(MB_MAX_PAYLOAD, image.size() - offset);
        std::vector<uint8_t> piece(image.begin() + offset, image.begin() + offset + n);
        for (uint8_t b : piece) sum = static_cast<uint8_t>(sum + b);
        if (Command(XCVR_DOWNLOAD_DATA, piece) != MB_RESULT_SUCCESS) return false;
    }
    return Command(XCVR_DOWNLOAD_END, {static_cast<uint8_t>(0u - sum)}) == MB_RESULT_SUCCESS;
}

bool CardRig::Configure(const LineSetup& s) {
    uint32_t units = s.rateKbps / 8;
    uint8_t n = (units >> 3) & 0x7F, r = units & 7;
    uint8_t framing = s.adaptive ? 0x00 : 0x04;
    uint8_t offset = s.lineCode < 4 ? kLineCodeOffset[s.lineCode] : 0;
    const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> commands = {
        {XCVR_TERMINAL_TYPE, {uint8_t(s.central ? 0x01 : 0x09)}},
        {XCVR_LINE_OPTIONS, {0x63}},
        {XCVR_LINE_RATE, {n, 0x00, n, n, 0x01, r, 0x00, 0x01}},
        {XCVR_LINE_CODE, {uint8_t((s.lineCode << 4) | 0x02), 0x00}},
        {XCVR_FRAMING, {0x04, 0, 0, 0, framing, 0x01, 0, s.annex, 0xFF, 0, 0, 0}},
        {XCVR_LINE_CODE_OFFSET, {0x03, offset, 0xFF, 0x04, 0x00, 0x00}},
        {XCVR_TERMINAL_MODE, {uint8_t(s.central ? 0x23 : 0x21)}},
        {XCVR_EVENTS, {uint8_t(s.events ? 0x02 : 0x00)}},
        {XCVR_COUNTERS, {0x02}},
        {XCVR_START_LINE, {0x02}},
    };
    for (const auto& command : commands) {
        if (Command(command.first, command.second) != MB_RESULT_SUCCESS) return false;
    }
    return true;
}

bool CardRig::BringUp(const LineSetup& setup) {
    Restart();
    if (!AwaitStage(MB_STAGE_AWAITING_FIRMWARE)) return false;
    if (!Download(cardmodel::MakeFirmwareImage(256))) return false;
    if (!AwaitStage(MB_STAGE_FIRMWARE_RUNNING)) return false;
    if (!Configure(setup)) return false;
    for (unsigned reg : {RX_SW_INDEX, RX_HW_INDEX, TX_SW_INDEX, TX_HW_INDEX}) SetReg(reg, 0);
    SetReg(CR0, Reg(CR0) | CR0_TRANSFERS);
    SetReg(IMR, IMR_NORMAL);
    return true;
}

bool CardRig::AwaitLineUp(int64_t limitNs) {
    auto up = [this] { return card.LineState().condition == cardmodel::LineCondition::Up; };
    if (!env.RunUntil(up, limitNs)) return false;
    SetReg(CR1, Reg(CR1) & ~CR1_LINE_HOLD);
    return true;
}

// ---------------------------------------------------------------------------
// Data path
// ---------------------------------------------------------------------------
void CardRig::WriteTxDescriptor(unsigned slot, uint32_t address, uint32_t control) {
    card.Write32(TX_RING_OFFSET + slot * DESCRIPTOR_SIZE + DESCRIPTOR_ADDRESS, address);
    card.Write32(TX_RING_OFFSET + slot * DESCRIPTOR_SIZE + DESCRIPTOR_CONTROL, control);
}

void CardRig::PushTx(const std::vector<uint8_t>& frame) {
    uint32_t address = env.Allocate(FRAME_SLOT_SIZE);
    env.SetMemory(address, frame);
    unsigned slot = Reg(TX_SW_INDEX);
    WriteTxDescriptor(slot, address, static_cast<uint32_t>(frame.size()) | TX_CONTROL_VALID);
    SetReg(TX_SW_INDEX, NEXT_RING_INDEX(slot));
}

void CardRig::PostRxBuffers(unsigned count) {
    unsigned slot = Reg(RX_SW_INDEX);
    for (unsigned i = 0; i < count; ++i) {
        uint32_t address = env.Allocate(FRAME_SLOT_SIZE);
        rxBuffers_[slot] = address;
        card.Write32(RX_RING_OFFSET + slot * DESCRIPTOR_SIZE + DESCRIPTOR_ADDRESS, address);
        slot = NEXT_RING_INDEX(slot);
    }
    SetReg(RX_SW_INDEX, slot);
}

uint32_t CardRig::RxStatus(unsigned slot) {
    return card.Read32(RX_RING_OFFSET + slot * DESCRIPTOR_SIZE + DESCRIPTOR_CONTROL);
}

std::vector<uint8_t> CardRig::RxFrame(unsigned slot) {
    return env.Memory(rxBuffers_[slot], RxStatus(slot) & RX_STATUS_LENGTH_MASK);
}
