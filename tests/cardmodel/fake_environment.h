// A deterministic machine for card model tests: a virtual clock with a
// time-ordered work queue, DMA memory handed out at bus addresses, and a
// recorder of the interrupt line. Thread-safe, so a test can also drive a card
// from several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "cardmodel/environment.h"

class FakeEnvironment : public cardmodel::CardEnvironment {
public:
    int64_t Now() override;
    uint64_t Schedule(int64_t delayNs, std::function<void()> fn, const char* what) override;
    void Cancel(uint64_t id) override;
    bool DmaRead(uint32_t busAddress, void* to, size_t length) override;
    bool DmaWrite(uint32_t busAddress, const void* from, size_t length) override;
    void SetInterrupt(bool asserted) override;
    // Whether the card model is told that work runs concurrently (its line
    // then carries frames as it does on the host's concurrent executor);
    // the work here still runs one item at a time, in time order.
    bool RunsConcurrently() override { return concurrent_; }
    void SetRunsConcurrently(bool on) { concurrent_ = on; }

    // ---- Clock ----------------------------------------------------------------
    // Runs everything due up to now + ns in time order (equal times in the
    // order queued) and leaves the clock there.
    void Advance(int64_t ns);
    // Runs work until done() holds or limitNs have passed; whether it held.
    bool RunUntil(const std::function<bool()>& done, int64_t limitNs);
    size_t PendingWork() const;
    // Work scheduled with a delay from now on runs this much after its time,
    // as a timer on a real clock does (slack and wake-up latency).
    void SetTimerLateness(int64_t ns);

    // ---- DMA memory -------------------------------------------------------------
    // Zeroed memory at a fresh bus address; addresses never handed out are a
    // bus error.
    uint32_t Allocate(size_t length);
    std::vector<uint8_t> Memory(uint32_t busAddress, size_t length) const;
    void SetMemory(uint32_t busAddress, const std::vector<uint8_t>& bytes);

    // ---- Interrupt line -----------------------------------------------------------
    bool InterruptLevel() const;
    // Every call of SetInterrupt: (time, level).
    std::vector<std::pair<int64_t, bool>> InterruptChanges() const;

private:
    struct Work {
        uint64_t id;
        std::function<void()> fn;
    };
    bool RunOneDue(int64_t upTo);
    uint8_t* Locate(uint32_t busAddress, size_t length);

    mutable std::mutex mu_;
    bool concurrent_ = false;
    int64_t now_ = 0;
    int64_t lateness_ = 0;
    uint64_t nextId_ = 1;
    uint64_t nextSequence_ = 0;
    std::map<std::pair<int64_t, uint64_t>, Work> queue_;  // (due, sequence)
    std::map<uint32_t, std::vector<uint8_t>> memory_;     // base -> bytes
    uint32_t nextAddress_ = 0x10000000;
    bool interrupt_ = false;
    std::vector<std::pair<int64_t, bool>> interruptChanges_;
};
