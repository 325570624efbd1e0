// A card model plugged into the host machine: its PCI configuration space in a
// slot, its window at a physical address, its interrupt line, DMA through the
// host's bus, and time from the host's clock. The driver reaches it only as it
// would reach the real card, through NDIS.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "cardmodel/card.h"
#include "host/bus.h"

namespace testbed {

struct Placement {
    unsigned pciSlot = 0;
    uint32_t windowBase = 0xFEB00000;  // BAR1, 4 KB aligned
    uint8_t interruptLine = 11;
    uint16_t vendorId = cardmodel::PCI_ID_VENDOR;
    uint16_t deviceId = cardmodel::PCI_ID_DEVICE;
};

// The host's clock and executor as a card or a line sees them.
class HostEnvironment : public cardmodel::CardEnvironment {
public:
    int64_t Now() override;
    uint64_t Schedule(int64_t delayNs, std::function<void()> fn, const char* what) override;
    void Cancel(uint64_t id) override;
    bool DmaRead(uint32_t busAddress, void* to, size_t length) override;
    bool DmaWrite(uint32_t busAddress, const void* from, size_t length) override;
    void SetInterrupt(bool asserted) override;
    bool RunsConcurrently() override;
};

class CardSlot final : public HostEnvironment, public host::MmioDevice {
public:
    explicit CardSlot(const Placement& placement, const cardmodel::CardOptions& options = {});
    ~CardSlot() override;
    CardSlot(const CardSlot&) = delete;
    CardSlot& operator=(const CardSlot&) = delete;

    cardmodel::Card& Card() { return *card_; }
    const Placement& Where() const { return placement_; }

    // The card's interrupt line, level-sensitive, shared with nobody here.
    void SetInterrupt(bool asserted) override;
    // Something standing between the card and its line (a card that lies
    // about its interrupts): it is told every level the card drives and
    // decides what the line sees. Null: the card drives the line itself. The
    // route is called with the card's lock held; it must not call the card.
    using InterruptRoute = std::function<void(bool asserted)>;
    void RouteInterrupt(InterruptRoute route);
    // While set, the card is off the bus: its DMA reaches no memory (a bus
    // error to the card, nothing the driver did).
    void SetOffBus(bool off);
    bool DmaRead(uint32_t busAddress, void* to, size_t length) override;
    bool DmaWrite(uint32_t busAddress, const void* from, size_t length) override;

    // host::MmioDevice: the window as the register accessors reach it.
    uint8_t Read8(uint32_t offset) override { return card_->Read8(offset); }
    void Write8(uint32_t offset, uint8_t value) override { card_->Write8(offset, value); }
    uint32_t Read32(uint32_t offset) override { return card_->Read32(offset); }
    void Write32(uint32_t offset, uint32_t value) override { card_->Write32(offset, value); }

private:
    Placement placement_;
    std::unique_ptr<cardmodel::Card> card_;
    std::mutex routeMu_;
    InterruptRoute route_;
    std::atomic<bool> offBus_{false};
};

}  // namespace testbed
