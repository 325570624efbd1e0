// What tests and tools can see of interrupt delivery, per vector. Counts
// live until the world is reset; they survive deregistration.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

struct InterruptCounts {
    uint64_t delivered = 0;     // interrupts taken: passes through the vector's ISRs
    uint64_t isrRuns = 0;       // MiniportIsr calls
    uint64_t deferredRuns = 0;  // MiniportHandleInterrupt calls
    // Delivery stopped by the interrupt storm check; cleared when the last
    // interrupt on the vector is deregistered.
    bool stormed = false;
};

InterruptCounts InterruptCountsOf(unsigned vector);
// Interrupts registered on the vector and not deregistered.
size_t InterruptsRegisteredOn(unsigned vector);

}  // namespace host
