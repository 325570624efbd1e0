#include "testbed/hostile_card.h"

#include "cardmodel/registers.h"
#include "host/verifier.h"

namespace testbed {
namespace {

using cardmodel::WINDOW_MAILBOX;
using cardmodel::WINDOW_REGISTERS;
using cardmodel::WINDOW_SIZE;

constexpr uint32_t kRegistersEnd = WINDOW_REGISTERS + cardmodel::REGISTER_COUNT;
constexpr uint32_t kIsr = WINDOW_REGISTERS + cardmodel::REGISTER_ISR;
constexpr uint32_t kFirstIndex = WINDOW_REGISTERS + cardmodel::REGISTER_TX_HW_INDEX;

uint32_t AllOnes(unsigned width) { return width == 1 ? 0xFFu : 0xFFFFFFFFu; }
uint32_t Truncate(uint32_t value, unsigned width) { return value & AllOnes(width); }

}  // namespace

HostileCard::HostileCard(CardSlot& slot) : slot_(slot), vector_(slot.Where().interruptLine) {
    slot_.RouteInterrupt([this](bool asserted) {
        std::lock_guard<std::mutex> lock(mu_);
        cardAsserts_ = asserted;
        DriveCardLine();
    });
    // Looked at without mu_: the card calls the route with its own lock held.
    bool asserted = slot_.Card().InterruptAsserted();
    {
        std::lock_guard<std::mutex> lock(mu_);
        cardAsserts_ = asserted;
    }
    host::DetachMmio(slot_.Where().windowBase);
    host::AttachMmio(slot_.Where().windowBase, cardmodel::WINDOW_SIZE, this);
}

HostileCard::~HostileCard() {
    slot_.SetOffBus(false);
    host::DetachMmio(slot_.Where().windowBase);
    host::AttachMmio(slot_.Where().windowBase, cardmodel::WINDOW_SIZE, &slot_);
    slot_.RouteInterrupt(nullptr);
    std::lock_guard<std::mutex> lock(mu_);
    if (release_) host::Cancel(release_);
    host::SetInterruptLine(vector_, this, false);
    host::SetInterruptLine(vector_, &slot_, cardAsserts_);
}

void HostileCard::LieAt(uint32_t offset, uint32_t value, unsigned times) {
    std::lock_guard<std::mutex> lock(mu_);
    for (unsigned i = 0; i < times; ++i) lies_[offset].push_back(value);
}

void HostileCard::Feed(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(mu_);
    stream_.insert(stream_.end(), data, data + size);
}

void HostileCard::Remove() {
    std::lock_guard<std::mutex> lock(mu_);
    removed_ = true;
    slot_.SetOffBus(true);
    DriveCardLine();
}

bool HostileCard::Removed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return removed_;
}

void HostileCard::ReadAllOnes(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    allOnes_ = on;
    DriveCardLine();
}

bool HostileCard::ReadingAllOnes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return allOnes_;
}

void HostileCard::SpuriousInterrupt() {
    std::lock_guard<std::mutex> lock(mu_);
    SetSpurious(true);
}

void HostileCard::WithholdInterrupt(host::Nanoseconds duration) {
    std::lock_guard<std::mutex> lock(mu_);
    withheldUntil_ = host::Now() + duration;
    DriveCardLine();
    if (release_) host::Cancel(release_);
    release_ = host::ScheduleAfter(
        duration,
        [this] {
            std::lock_guard<std::mutex> lock(mu_);
            release_ = 0;
            DriveCardLine();
        },
        "hostile card: interrupt shown again");
}

void HostileCard::BeHonest() {
    std::lock_guard<std::mutex> lock(mu_);
    lies_.clear();
    stream_.clear();
    honestRun_ = 0;
    allOnes_ = false;
    removed_ = false;
    slot_.SetOffBus(false);
    withheldUntil_ = 0;
    if (release_) host::Cancel(release_);
    release_ = 0;
    spuriousAfterRead_ = false;
    SetSpurious(false);
    DriveCardLine();
}

bool HostileCard::Honest() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lies_.empty() && stream_.empty() && !allOnes_ && !removed_ &&
           host::Now() >= withheldUntil_ &&
           !spurious_;
}

uint64_t HostileCard::LiesTold() const {
    std::lock_guard<std::mutex> lock(mu_);
    return liesTold_;
}

// Whether reads float to all ones (the card is not read then).
bool HostileCard::Floating() const {
    std::lock_guard<std::mutex> lock(mu_);
    return allOnes_ || removed_;
}

uint8_t HostileCard::Read8(uint32_t offset) {
    CheckAccess(offset, 1, false, 0);
    bool floating = Floating();
    // The card is read outside mu_: it calls the interrupt route with its own
    // lock held, and that takes mu_.
    uint8_t truth = floating ? 0xFF : slot_.Read8(offset);
    std::lock_guard<std::mutex> lock(mu_);
    uint8_t value = static_cast<uint8_t>(floating ? truth : Answer(offset, 1, truth));
    if (offset == kIsr) SetSpurious(false);  // the other device thinks itself served
    if (spuriousAfterRead_) {
        spuriousAfterRead_ = false;
        SetSpurious(true);
    }
    return value;
}

uint32_t HostileCard::Read32(uint32_t offset) {
    CheckAccess(offset, 4, false, 0);
    bool floating = Floating();
    uint32_t truth = floating ? 0xFFFFFFFFu : slot_.Read32(offset);
    std::lock_guard<std::mutex> lock(mu_);
    uint32_t value = floating ? truth : Answer(offset, 4, truth);
    if (spuriousAfterRead_) {
        spuriousAfterRead_ = false;
        SetSpurious(true);
    }
    return value;
}

void HostileCard::Write8(uint32_t offset, uint8_t value) {
    CheckAccess(offset, 1, true, value);
    if (!Removed()) slot_.Write8(offset, value);
}

void HostileCard::Write32(uint32_t offset, uint32_t value) {
    CheckAccess(offset, 4, true, value);
    if (!Removed()) slot_.Write32(offset, value);
}

uint32_t HostileCard::Answer(uint32_t offset, unsigned width, uint32_t truth) {
    uint32_t value = truth;
    auto lie = lies_.find(offset);
    if (lie != lies_.end()) {
        value = Truncate(lie->second.front(), width);
        lie->second.pop_front();
        if (lie->second.empty()) lies_.erase(lie);
    } else if (!stream_.empty() || honestRun_ != 0) {
        value = FromStream(width, truth);
    }
    if (value != truth) ++liesTold_;
    return value;
}

uint32_t HostileCard::FromStream(unsigned width, uint32_t truth) {
    if (honestRun_ != 0) {
        --honestRun_;
        return truth;
    }
    uint8_t directive = stream_.front();
    stream_.pop_front();
    if (directive < 0x80) {
        honestRun_ = directive;
        return truth;
    }
    if (directive < 0xA0) return StreamValue(width);
    if (directive < 0xC0) return truth ^ StreamValue(width);
    if (directive < 0xE0) return Truncate(truth + (directive & 0x1F) - 16, width);
    if (directive < 0xF0) return AllOnes(width);
    spuriousAfterRead_ = true;
    return truth;
}

uint32_t HostileCard::StreamValue(unsigned width) {
    uint32_t value = 0;
    for (unsigned i = 0; i < width && !stream_.empty(); ++i) {
        value |= uint32_t{stream_.front()} << (8 * i);
        stream_.pop_front();
    }
    return value;
}

void HostileCard::DriveCardLine() {
    bool level = cardAsserts_ && !allOnes_ && !removed_ && host::Now() >= withheldUntil_;
    host::SetInterruptLine(vector_, &slot_, level);
}

void HostileCard::SetSpurious(bool asserted) {
    if (spurious_ == asserted) return;
    spurious_ = asserted;
    host::SetInterruptLine(vector_, this, asserted);
}

// What no driver of this card does, whatever the card told it.
void HostileCard::CheckAccess(uint32_t offset, unsigned width, bool write, uint32_t value) {
    const char* what = write ? "wrote" : "read";
    if (width == 4 && ((offset & 3) != 0 || offset >= WINDOW_REGISTERS)) {
        host::Violation("the driver %s a 32-bit word at window offset 0x%03X, which is no "
                        "descriptor word",
                        what, offset);
    } else if (width == 1 && !(offset >= WINDOW_REGISTERS && offset < kRegistersEnd) &&
               !(offset >= WINDOW_MAILBOX && offset < WINDOW_SIZE)) {
        host::Violation("the driver %s a byte at window offset 0x%03X, which is neither a "
                        "register nor the mailbox",
                        what, offset);
    } else if (write && width == 1 && offset >= kFirstIndex && offset < kRegistersEnd &&
               value > cardmodel::RING_SLOT_MASK) {
        host::Violation("the driver wrote %u to ring index register 0x%03X: beyond the ring",
                        value, offset);
    }
}

}  // namespace testbed
