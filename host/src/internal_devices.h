// What the host's device-side modules (bus, device windows, DMA memory,
// interrupts, timers, files) share with each other and with the miniport
// block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ndis.h"

namespace host {
namespace internal {

// ---------------------------------------------------------------------------
// For the miniport block (halt, failed initialize)
// ---------------------------------------------------------------------------
// Drops, without any report, everything of the miniport's that these modules
// hold: window mappings, map registers, shared memory, registered interrupts
// (no delivery reaches the miniport afterwards; a queued deferred routine is
// dropped, not run) and armed timers. Their ledger entries go too. The caller
// reports the leaks first (LedgerEntries with this owner); this only keeps a
// halted miniport's leftovers from firing into freed memory or being
// reported again. Must not be called from the miniport's own ISR, deferred
// routine or timer routine.
void ForgetMiniportDevices(NDIS_HANDLE miniport);
// Armed timers of the miniport (a timer routine running now is not armed).
size_t ArmedTimers(NDIS_HANDLE miniport);
// Interrupts the miniport has registered and not deregistered.
size_t RegisteredInterrupts(NDIS_HANDLE miniport);
// Closes every open file and its mapping without reports (files have no
// owning miniport: NdisOpenFile takes no adapter handle).
void ForgetOpenFiles();

// ---------------------------------------------------------------------------
// Between the modules
// ---------------------------------------------------------------------------
// Bus (bus.cpp): whether [physical, physical + length) lies inside one
// attached device window.
bool MmioWindowCovers(uint64_t physical, uint64_t length);
// A register access at a physical address, routed to the window's device.
// False (and nothing done) when no device window holds the whole access.
bool MmioRead(uint64_t physical, unsigned width, uint32_t* value);
bool MmioWrite(uint64_t physical, unsigned width, uint32_t value);

// Device windows (iospace.cpp): the physical address of `width` bytes at
// `address`, when they lie inside one window a driver has mapped.
bool WindowPhysicalAddress(uintptr_t address, unsigned width, uint64_t* physical);

// DMA memory (dma.cpp): copies between live shared memory and `buffer`;
// false, with nothing copied, unless [busAddress, busAddress + length) lies
// inside one live block.
bool CopySharedMemory(uint64_t busAddress, void* buffer, size_t length, bool toMemory);

// Interrupts (interrupts.cpp): the bus tells that a line is now asserted.
void InterruptLineRaised(unsigned vector);

// Per-module halves of ForgetMiniportDevices.
void ForgetMiniportWindows(NDIS_HANDLE miniport);
void ForgetMiniportDma(NDIS_HANDLE miniport);
void ForgetMiniportInterrupts(NDIS_HANDLE miniport);
void ForgetMiniportTimers(NDIS_HANDLE miniport);

}  // namespace internal
}  // namespace host
