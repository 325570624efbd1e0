// An adapter's upper edge joined to a Linux TAP device: what the kernel's
// stack sends on the device goes out through the driver, and what the driver
// indicates is written to the device. The device carries Ethernet frames
// without packet information (IFF_TAP | IFF_NO_PI), has the adapter's
// address and an MTU of 1500, so that the kernel never hands over a frame
// longer than the 1514 bytes an Ethernet adapter sends. Its carrier follows
// the link the driver indicates (TUNSETCARRIER): "ip link" shows NO-CARRIER
// while the line is down, as routing, bonding and monitoring expect. A kernel
// older than 5.0 cannot set it; the bridge says so once and carries on.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "sim/simulator.h"

namespace zr48sim {

class TapBridge {
public:
    TapBridge(Simulator& sim, size_t adapter, std::string name);
    ~TapBridge();
    TapBridge(const TapBridge&) = delete;
    TapBridge& operator=(const TapBridge&) = delete;

    // Creates the device (down) and routes the adapter's received frames to
    // it. Call before the adapter starts.
    bool Open(std::string* error);
    // The same with a descriptor opened elsewhere (tests give it a pipe).
    void Adopt(int fd);
    // Gives the device the adapter's address, brings it up and starts the
    // thread that carries the kernel's frames to the adapter.
    bool Start(std::string* error);
    void Stop();

    const std::string& Name() const { return name_; }
    // The reader still carries the kernel's frames: false once stopped, or
    // once the device has gone (its namespace deleted, say).
    bool Carrying() const { return running_; }
    // The carrier last set on the device: 1 on, 0 off, -1 never set (the
    // kernel cannot, or not yet).
    int Carrier() const { return carrier_; }
    uint64_t FromKernel() const { return fromKernel_; }
    uint64_t ToKernel() const { return toKernel_; }
    uint64_t Dropped() const { return dropped_; }

private:
    void ReadLoop();
    void Deliver(const std::vector<uint8_t>& frame);
    bool Configure(std::string* error);
    void UpdateCarrier();

    Simulator& sim_;
    size_t adapter_;
    std::string name_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> running_{false};
    std::thread reader_;
    std::atomic<uint64_t> fromKernel_{0}, toKernel_{0}, dropped_{0};
    std::mutex carrierMu_;              // a carrier change at a time
    std::atomic<int> carrier_{-1};
    bool carrierUnsupported_ = false;   // under carrierMu_
};

}  // namespace zr48sim
