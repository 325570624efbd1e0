// What the card sees of the machine it is plugged into: a clock, a way to have
// work done later, DMA by bus address and its interrupt line. The host glue
// implements it for the driver's platform; tests implement it with a virtual
// clock and fake memory. The card knows nothing else of its surroundings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace cardmodel {

constexpr int64_t kNanosecond = 1;
constexpr int64_t kMicrosecond = 1000;
constexpr int64_t kMillisecond = 1000 * kMicrosecond;
constexpr int64_t kSecond = 1000 * kMillisecond;

class CardEnvironment {
public:
    virtual ~CardEnvironment() = default;
    virtual int64_t Now() = 0;  // nanoseconds, monotonic
    // Runs fn after delayNs (0: as soon as possible), never synchronously inside Schedule.
    virtual uint64_t Schedule(int64_t delayNs, std::function<void()> fn, const char* what) = 0;
    virtual void Cancel(uint64_t id) = 0;  // harmless if it already ran
    virtual bool DmaRead(uint32_t busAddress, void* to, size_t length) = 0;   // false: bus error
    virtual bool DmaWrite(uint32_t busAddress, const void* from, size_t length) = 0;
    virtual void SetInterrupt(bool asserted) = 0;  // level of the card's interrupt line
    // Whether scheduled work runs on several threads against a real clock,
    // where no order between pieces of work due at the same time is promised:
    // a line then carries the frames due together in one piece of work.
    virtual bool RunsConcurrently() { return false; }
};

}  // namespace cardmodel
