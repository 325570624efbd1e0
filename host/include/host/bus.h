// The machine's bus as devices see it: memory-mapped device windows, DMA to
// the memory drivers allocate for devices, and interrupt lines. Device models
// attach here; the driver reaches them only through NDIS (NdisMMapIoSpace and
// the register accessors, NdisMAllocateSharedMemory, NdisMRegisterInterrupt).
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

// A device's memory window. The host calls these for every register access
// the driver makes through NdisRead/WriteRegister*, with the offset from the
// window's physical base. Calls may come from any thread in concurrent mode;
// the device serializes them itself. A device must not call back into the
// host's bus functions from here in a way that waits for another processor.
class MmioDevice {
public:
    virtual ~MmioDevice() = default;
    virtual uint8_t Read8(uint32_t offset) = 0;
    virtual void Write8(uint32_t offset, uint8_t value) = 0;
    virtual uint32_t Read32(uint32_t offset) = 0;
    virtual void Write32(uint32_t offset, uint32_t value) = 0;
};

// Places a device window at a physical address. NdisMMapIoSpace of a range
// inside it succeeds; of any other range it fails.
void AttachMmio(uint64_t physicalBase, uint32_t length, MmioDevice* device);
void DetachMmio(uint64_t physicalBase);

// DMA by bus address, within memory that a driver allocated with
// NdisMAllocateSharedMemory and has not freed. A transfer that strays outside
// such memory is refused (false) and reported as a violation: the device was
// told an address the driver never gave it.
bool DmaRead(uint64_t busAddress, void* to, size_t length);
bool DmaWrite(uint64_t busAddress, const void* from, size_t length);

// Interrupt lines, level-sensitive: a line is asserted while any of its
// sources asserts it. `source` identifies the device on a shared line.
void SetInterruptLine(unsigned vector, const void* source, bool asserted);
bool InterruptLineAsserted(unsigned vector);

}  // namespace host
