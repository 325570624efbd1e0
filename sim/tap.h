// An adapter's upper edge joined to a Linux TAP device: what the kernel's
// stack sends on the device goes out through the driver, and what the driver
// indicates is written to the device. The device carries Ethernet frames
// without packet information (IFF_TAP | IFF_NO_PI), has the adapter's
// address and an MTU of 1500, so that the kernel never hands over a frame
// longer than the 1514 bytes an Ethernet adapter sends.
#pragma once

#include <atomic>
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
    uint64_t FromKernel() const { return fromKernel_; }
    uint64_t ToKernel() const { return toKernel_; }
    uint64_t Dropped() const { return dropped_; }

private:
    void ReadLoop();
    void Deliver(const std::vector<uint8_t>& frame);
    bool Configure(std::string* error);

    Simulator& sim_;
    size_t adapter_;
    std::string name_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> running_{false};
    std::thread reader_;
    std::atomic<uint64_t> fromKernel_{0}, toKernel_{0}, dropped_{0};
};

}  // namespace zr48sim
