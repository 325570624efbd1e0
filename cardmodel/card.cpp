// The card's window: the register file and its side effects, the interrupt
// line, the access log, and the inspection and knob entry points.
#include "cardmodel/card.h"

#include <cstdarg>
#include <cstdio>

namespace cardmodel {
namespace {

constexpr size_t kMaxAnomalies = 1000;
constexpr size_t kMaxStateChanges = 1000;
constexpr uint32_t kUnusedBegin = WINDOW_REGISTERS + REGISTER_COUNT;

bool InRings(uint32_t offset) { return offset < WINDOW_REGISTERS; }
bool InRegisters(uint32_t offset) { return offset >= WINDOW_REGISTERS && offset < kUnusedBegin; }
bool InMailbox(uint32_t offset) { return offset >= WINDOW_MAILBOX && offset < WINDOW_SIZE; }
bool IsByteRegister(uint32_t offset) { return InRegisters(offset) || InMailbox(offset); }
bool IsRingWord(uint32_t offset) { return (offset & 3) == 0 && offset + 4 <= WINDOW_REGISTERS; }

// Mailbox bytes that belong to the controller; the driver only ever writes
// zeroes to the response flag and the status byte.
bool ControllerOwned(unsigned offset) {
    return offset == MAILBOX_LINE_STATUS || offset == MAILBOX_LINE_AUX ||
           offset == MAILBOX_EVENT_FLAGS;
}

}  // namespace

const char* ControllerStateName(ControllerState state) {
    switch (state) {
    case ControllerState::Off: return "off";
    case ControllerState::Booting: return "booting";
    case ControllerState::AwaitingFirmware: return "awaiting firmware";
    case ControllerState::FirmwareStarting: return "firmware starting";
    case ControllerState::Running: return "running";
    }
    return "?";
}

Card::Card(CardEnvironment& env, CardOptions options)
    : env_(env),
      options_(options),
      logging_(options.accessLog),
      performancePeriod_(options.performanceReportNs) {}

Card::~Card() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    work_.CancelAll(env_);
    if (line_) line_->CardGone(this);
    line_ = nullptr;
}

// ---------------------------------------------------------------------------
// Window access
// ---------------------------------------------------------------------------
uint8_t Card::Read8(uint32_t offset) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    bool odd = !IsByteRegister(offset);
    if (InRings(offset)) Anomaly("byte read of descriptor ring offset 0x%03X", offset);
    uint8_t value = LoadByte(offset);
    Log(offset, 1, false, value, odd);
    return value;
}

void Card::Write8(uint32_t offset, uint8_t value) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    bool odd = !IsByteRegister(offset);
    if (InRings(offset)) Anomaly("byte write 0x%02X to descriptor ring offset 0x%03X", value, offset);
    Log(offset, 1, true, value, odd);
    StoreByte(offset, value);
}

// A 32-bit access outside the rings reaches the four bytes it covers, in
// address order, as the bus would split it.
uint32_t Card::Read32(uint32_t offset) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    bool odd = !IsRingWord(offset);
    if (odd) Anomaly("32-bit read at 0x%03X, not a descriptor word", offset);
    uint32_t value = 0;
    for (uint32_t i = 0; i < 4; ++i) value |= uint32_t(LoadByte(offset + i)) << (8 * i);
    Log(offset, 4, false, value, odd);
    return value;
}

void Card::Write32(uint32_t offset, uint32_t value) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    bool odd = !IsRingWord(offset);
    if (odd) Anomaly("32-bit write 0x%08X at 0x%03X, not a descriptor word", value, offset);
    Log(offset, 4, true, value, odd);
    for (uint32_t i = 0; i < 4; ++i) StoreByte(offset + i, static_cast<uint8_t>(value >> (8 * i)));
}

uint8_t Card::LoadByte(uint32_t offset) {
    if (InRings(offset)) return rings_[offset];
    if (InRegisters(offset)) return regs_[offset - WINDOW_REGISTERS];
    if (InMailbox(offset)) return mailbox_[offset - WINDOW_MAILBOX];
    if (offset < WINDOW_SIZE) {
        Anomaly("read of unused window offset 0x%03X", offset);
        return 0;
    }
    Anomaly("read at 0x%X, outside the 4 KB window", offset);
    return 0xFF;  // nothing answers: the bus floats high
}

void Card::StoreByte(uint32_t offset, uint8_t value) {
    if (InRings(offset)) {
        rings_[offset] = value;
    } else if (InRegisters(offset)) {
        WriteRegister(offset - WINDOW_REGISTERS, value);
    } else if (InMailbox(offset)) {
        WriteMailbox(offset - WINDOW_MAILBOX, value);
    } else if (offset < WINDOW_SIZE) {
        Anomaly("write 0x%02X to unused window offset 0x%03X (ignored)", value, offset);
    } else {
        Anomaly("write 0x%02X at 0x%X, outside the 4 KB window (ignored)", value, offset);
    }
}

// ---------------------------------------------------------------------------
// Registers
// ---------------------------------------------------------------------------
void Card::WriteRegister(unsigned reg, uint8_t value) {
    switch (reg) {
    case REGISTER_CR0:
        WriteCr0(value);
        break;
    case REGISTER_CR1:  // plain; the hold bit is looked at frame by frame
        regs_[REGISTER_CR1] = value;
        break;
    case REGISTER_ISR:  // write 1 to clear
        regs_[REGISTER_ISR] &= static_cast<uint8_t>(~value);
        UpdateInterruptLine();
        break;
    case REGISTER_IMR:  // plain mask
        regs_[REGISTER_IMR] = value;
        UpdateInterruptLine();
        break;
    default:
        WriteIndex(reg, value);
        break;
    }
}

// The run bit's rising edge restarts the transceiver controller and its
// falling edge holds it in reset; the transmitter stops at once when its
// enable goes, abandoning the frame in flight (it is sent again from its
// descriptor when the transmitter is enabled again).
void Card::WriteCr0(uint8_t value) {
    uint8_t old = regs_[REGISTER_CR0];
    regs_[REGISTER_CR0] = value;
    if (!(old & CR0_CONTROLLER_RUN) && (value & CR0_CONTROLLER_RUN)) RestartController();
    if ((old & CR0_CONTROLLER_RUN) && !(value & CR0_CONTROLLER_RUN)) StopController();
    if ((old & CR0_TX_ENGINE) && !(value & CR0_TX_ENGINE)) AbortTransmit();
    if (value & CR0_TX_ENGINE) StartNextTransmit();
}

// Index registers hold 0..127. Writing the card's own index resets that ring:
// a frame in flight is abandoned.
void Card::WriteIndex(unsigned reg, uint8_t value) {
    if (value > RING_SLOT_MASK) {
        Anomaly("%s written 0x%02X, beyond the ring (masked to %u)",
                WindowName(WINDOW_REGISTERS + reg).c_str(), value, value & RING_SLOT_MASK);
    }
    value &= RING_SLOT_MASK;
    if ((reg == REGISTER_TX_HW_INDEX || reg == REGISTER_RX_HW_INDEX) && value != 0) {
        Anomaly("%s, the card's own index, set to %u rather than reset to 0",
                WindowName(WINDOW_REGISTERS + reg).c_str(), value);
    }
    // When each slot was handed over paces the frames behind a late one; an
    // unlimited line sends each at once and never looks at it.
    if (reg == REGISTER_TX_SW_INDEX && !options_.unlimitedRate && regs_[reg] != value) {
        int64_t now = env_.Now();
        for (unsigned slot = regs_[reg]; slot != value; slot = NextSlot(slot)) {
            txHandedAt_[slot] = now;
        }
    }
    regs_[reg] = value;
    if (reg == REGISTER_TX_HW_INDEX) AbortTransmit();
    if (reg == REGISTER_TX_HW_INDEX || reg == REGISTER_TX_SW_INDEX) StartNextTransmit();
}

void Card::WriteMailbox(unsigned offset, uint8_t value) {
    if (offset == MAILBOX_STATUS && mailbox_[MAILBOX_POSTED_FLAG] == FLAG_POSTED) {
        // Plain memory, so the write lands; but the driver has not taken the
        // posting whose status it just destroyed.
        Anomaly("status byte 0x%02X of an untaken posting overwritten with 0x%02X",
                mailbox_[MAILBOX_STATUS], value);
    }
    mailbox_[offset] = value;
    if (offset == MAILBOX_POSTED_FLAG) {
        ResponseFlagWritten(value);
    } else if (offset == MAILBOX_DOORBELL && value == DOORBELL_RING) {
        Doorbell();
    } else if (ControllerOwned(offset)) {
        Anomaly("driver wrote 0x%02X to the controller's mailbox byte +0x%03X", value, offset);
    }
}

// ---------------------------------------------------------------------------
// Interrupt line: asserted exactly while (ISR & IMR) != 0
// ---------------------------------------------------------------------------
void Card::Raise(uint8_t bits) {
    regs_[REGISTER_ISR] |= bits;
    UpdateInterruptLine();
}

void Card::UpdateInterruptLine() {
    bool asserted = (regs_[REGISTER_ISR] & regs_[REGISTER_IMR]) != 0;
    if (asserted == interruptAsserted_) return;
    interruptAsserted_ = asserted;
    env_.SetInterrupt(asserted);
}

// ---------------------------------------------------------------------------
// Rings, log, anomalies, work
// ---------------------------------------------------------------------------
uint32_t Card::RingWord(uint32_t ring, unsigned slot, unsigned word) const {
    uint32_t at = ring + slot * DESC_BYTES + word;
    return uint32_t(rings_[at]) | uint32_t(rings_[at + 1]) << 8 | uint32_t(rings_[at + 2]) << 16 |
           uint32_t(rings_[at + 3]) << 24;
}

void Card::SetRingWord(uint32_t ring, unsigned slot, unsigned word, uint32_t value) {
    uint32_t at = ring + slot * DESC_BYTES + word;
    for (int i = 0; i < 4; ++i) rings_[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Card::Log(uint32_t offset, uint8_t width, bool write, uint32_t value, bool odd) {
    if (logging_) log_.push_back(Access{env_.Now(), offset, width, write, value, odd});
}

void Card::Anomaly(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char line[300];
    snprintf(line, sizeof line, "%.6f ms: %s", env_.Now() / 1e6, text);
    anomalies_.emplace_back(line);
    if (anomalies_.size() > kMaxAnomalies) anomalies_.pop_front();
}

// Kept for whoever watches the card (the simulator stamps its events with
// these times); a change is noted only when something a person sees moved.
void Card::NoteStateChange() {
    if (!changes_.empty()) {
        const StateChange& last = changes_.back();
        if (last.controller == controller_ && last.condition == condition_ &&
            last.rateKbps == lineRate_) {
            return;
        }
    }
    changes_.push_back(StateChange{++changeCount_, env_.Now(), controller_, condition_, lineRate_});
    if (changes_.size() > kMaxStateChanges) changes_.pop_front();
}

// Runs fn under the card's lock after delayNs. Work still pending when the
// card is destroyed is cancelled.
void Card::After(int64_t delayNs, const char* what, Task fn) {
    uint64_t key = work_.Add(std::move(fn));
    work_.SetId(key, env_.Schedule(delayNs, [this, key] {
        std::lock_guard<AdaptiveMutex> lock(mu_);
        Task work;
        if (work_.Take(key, &work)) work();
    }, what));
}

// ---------------------------------------------------------------------------
// Inspection
// ---------------------------------------------------------------------------
std::vector<Access> Card::AccessLog() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return log_;
}

void Card::ClearAccessLog() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    log_.clear();
}

void Card::SetAccessLogging(bool on) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    logging_ = on;
}

std::vector<std::string> Card::Anomalies() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return {anomalies_.begin(), anomalies_.end()};
}

void Card::ClearAnomalies() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    anomalies_.clear();
}

uint8_t Card::PeekRegister(unsigned reg) const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return reg < REGISTER_COUNT ? regs_[reg] : 0;
}

uint8_t Card::PeekMailbox(unsigned offset) const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return offset < MAILBOX_BYTES ? mailbox_[offset] : 0;
}

uint32_t Card::PeekRingWord(uint32_t offset) const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return offset + 4 <= WINDOW_REGISTERS ? RingWord(offset & ~3u, 0, 0) : 0;
}

bool Card::InterruptAsserted() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return interruptAsserted_;
}

ControllerState Card::Controller() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return controller_;
}

TransceiverConfig Card::Config() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return config_;
}

std::vector<CommandRecord> Card::Commands() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return commands_;
}

void Card::ClearCommands() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    commands_.clear();
}

LineView Card::LineState() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return LineView{condition_, lineRate_, mailbox_[MAILBOX_LINE_STATUS],
                    mailbox_[MAILBOX_LINE_AUX], quality_};
}

CardCounters Card::Counters() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return counters_;
}

std::vector<uint8_t> Card::Firmware() const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    return firmware_;
}

std::vector<StateChange> Card::StateChanges(uint64_t after) const {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    std::vector<StateChange> out;
    for (const StateChange& c : changes_) {
        if (c.number > after) out.push_back(c);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Knobs of the engines
// ---------------------------------------------------------------------------
void Card::FailNextTransmits(unsigned count) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    failTransmits_ = count;
}

void Card::WedgeTransmitter() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    txWedged_ = true;
}

void Card::FailNextReceives(unsigned count) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    failReceives_ = count;
}

void Card::RaiseCardEvent() {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    Raise(ISR_CARD_EVENT);
}

void Card::MisreportNextReceiveLength(uint16_t length) {
    std::lock_guard<AdaptiveMutex> lock(mu_);
    misreportLength_ = length;
}

}  // namespace cardmodel
