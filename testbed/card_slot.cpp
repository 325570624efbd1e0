#include "testbed/card_slot.h"

#include "host/config.h"
#include "host/world.h"

namespace testbed {

int64_t HostEnvironment::Now() { return host::Now(); }

uint64_t HostEnvironment::Schedule(int64_t delayNs, std::function<void()> fn, const char* what) {
    return host::ScheduleAfter(delayNs, std::move(fn), what);
}

void HostEnvironment::Cancel(uint64_t id) { host::Cancel(id); }

bool HostEnvironment::DmaRead(uint32_t busAddress, void* to, size_t length) {
    return host::DmaRead(busAddress, to, length);
}

bool HostEnvironment::DmaWrite(uint32_t busAddress, const void* from, size_t length) {
    return host::DmaWrite(busAddress, from, length);
}

bool HostEnvironment::RunsConcurrently() { return host::IsConcurrent(); }

void HostEnvironment::SetInterrupt(bool) {}  // a line's environment has no interrupt

CardSlot::CardSlot(const Placement& placement, const cardmodel::CardOptions& options)
    : placement_(placement) {
    card_ = std::make_unique<cardmodel::Card>(*this, options);
    host::PciSetConfigSpace(placement.pciSlot,
                            host::PciMakeConfigSpace(placement.vendorId, placement.deviceId,
                                                     placement.windowBase,
                                                     placement.interruptLine));
    host::AttachMmio(placement.windowBase, cardmodel::WINDOW_SIZE, this);
}

CardSlot::~CardSlot() {
    host::DetachMmio(placement_.windowBase);
    host::SetInterruptLine(placement_.interruptLine, this, false);
    host::PciClearSlot(placement_.pciSlot);
    card_.reset();
}

void CardSlot::SetInterrupt(bool asserted) {
    {
        std::lock_guard<std::mutex> lock(routeMu_);
        if (route_) {
            route_(asserted);
            return;
        }
    }
    // The host delivers through its executor, never from inside this call:
    // the card holds its own lock here.
    host::SetInterruptLine(placement_.interruptLine, this, asserted);
}

void CardSlot::SetOffBus(bool off) { offBus_ = off; }

bool CardSlot::DmaRead(uint32_t busAddress, void* to, size_t length) {
    return !offBus_ && HostEnvironment::DmaRead(busAddress, to, length);
}

bool CardSlot::DmaWrite(uint32_t busAddress, const void* from, size_t length) {
    return !offBus_ && HostEnvironment::DmaWrite(busAddress, from, length);
}

void CardSlot::RouteInterrupt(InterruptRoute route) {
    std::lock_guard<std::mutex> lock(routeMu_);
    route_ = std::move(route);
}

}  // namespace testbed
