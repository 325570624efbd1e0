// What a driver image's imports bind to: the host's implementations of the
// kernel's, NDIS's and the HAL's exports (see host/image.h). The host
// declares its NDIS and kernel functions with the Microsoft x64 convention
// (NTAPI, ndis.h), so an import binds to the very function the driver
// linked in from source calls; the C runtime routines the kernel exports
// get wrappers of that convention here.
#include <strings.h>

#include <cstring>

#include "host/image.h"

namespace host {
namespace {

// ntoskrnl.exe's C runtime: the kernel's rand is the host's seedable one.
void* NTAPI KernelMemcpy(void* destination, const void* source, size_t length) {
    NdisMoveMemory(destination, source, static_cast<ULONG>(length));
    return destination;
}
void* NTAPI KernelMemmove(void* destination, const void* source, size_t length) {
    return memmove(destination, source, length);
}
void* NTAPI KernelMemset(void* destination, int value, size_t length) {
    return memset(destination, value, length);
}
int NTAPI KernelRand() { return zr48_host_rand(); }
void NTAPI KernelSrand(unsigned seed) { zr48_host_srand(seed); }

struct Export {
    const char* dll;
    const char* name;
    const void* address;
};

#define NDIS_EXPORT(f) {"NDIS.SYS", #f, reinterpret_cast<const void*>(&f)}

const Export kExports[] = {
    // NDIS.SYS: what the host implements of the miniport interface
    NDIS_EXPORT(NdisAllocateMemoryWithTag),
    NDIS_EXPORT(NdisFreeMemory),
    NDIS_EXPORT(NdisAllocateSpinLock),
    NDIS_EXPORT(NdisFreeSpinLock),
    NDIS_EXPORT(NdisAcquireSpinLock),
    NDIS_EXPORT(NdisReleaseSpinLock),
    NDIS_EXPORT(NdisDprAcquireSpinLock),
    NDIS_EXPORT(NdisDprReleaseSpinLock),
    NDIS_EXPORT(NdisInitializeEvent),
    NDIS_EXPORT(NdisSetEvent),
    NDIS_EXPORT(NdisResetEvent),
    NDIS_EXPORT(NdisWaitEvent),
    NDIS_EXPORT(NdisMInitializeTimer),
    NDIS_EXPORT(NdisSetTimer),
    NDIS_EXPORT(NdisMSetTimer),
    NDIS_EXPORT(NdisMCancelTimer),
    NDIS_EXPORT(NdisGetSystemUpTime),
    NDIS_EXPORT(NdisGetCurrentSystemTime),
    NDIS_EXPORT(NdisGetCurrentProcessorCounts),
    NDIS_EXPORT(NdisInitializeWrapper),
    NDIS_EXPORT(NdisMRegisterMiniport),
    NDIS_EXPORT(NdisTerminateWrapper),
    NDIS_EXPORT(NdisMSetAttributesEx),
    NDIS_EXPORT(NdisMRegisterAdapterShutdownHandler),
    NDIS_EXPORT(NdisMDeregisterAdapterShutdownHandler),
    NDIS_EXPORT(NdisOpenConfiguration),
    NDIS_EXPORT(NdisReadConfiguration),
    NDIS_EXPORT(NdisWriteConfiguration),
    NDIS_EXPORT(NdisCloseConfiguration),
    NDIS_EXPORT(NdisReadPciSlotInformation),
    NDIS_EXPORT(NdisMMapIoSpace),
    NDIS_EXPORT(NdisMUnmapIoSpace),
    NDIS_EXPORT(NdisMAllocateMapRegisters),
    NDIS_EXPORT(NdisMFreeMapRegisters),
    NDIS_EXPORT(NdisMAllocateSharedMemory),
    NDIS_EXPORT(NdisMFreeSharedMemory),
    NDIS_EXPORT(NdisMRegisterInterrupt),
    NDIS_EXPORT(NdisMDeregisterInterrupt),
    NDIS_EXPORT(NdisMSynchronizeWithInterrupt),
    NDIS_EXPORT(NdisOpenFile),
    NDIS_EXPORT(NdisMapFile),
    NDIS_EXPORT(NdisUnmapFile),
    NDIS_EXPORT(NdisCloseFile),
    NDIS_EXPORT(NdisAllocatePacketPool),
    NDIS_EXPORT(NdisFreePacketPool),
    NDIS_EXPORT(NdisAllocatePacket),
    NDIS_EXPORT(NdisFreePacket),
    NDIS_EXPORT(NdisAllocateBufferPool),
    NDIS_EXPORT(NdisFreeBufferPool),
    NDIS_EXPORT(NdisAllocateBuffer),
    NDIS_EXPORT(NdisFreeBuffer),
    NDIS_EXPORT(NdisQueryBuffer),
    NDIS_EXPORT(NdisAdjustBufferLength),
    NDIS_EXPORT(NdisMSetInformationComplete),
    NDIS_EXPORT(NdisWriteErrorLogEntry),
    // NDIS.SYS: the one function among the packet macros of the Windows headers
    NDIS_EXPORT(NDIS_BUFFER_TO_SPAN_PAGES),
    // ntoskrnl.exe: what the buffer and spin lock macros expand to
    {"ntoskrnl.exe", "IoFreeMdl", reinterpret_cast<const void*>(&IoFreeMdl)},
    {"ntoskrnl.exe", "MmMapLockedPages", reinterpret_cast<const void*>(&MmMapLockedPages)},
    {"ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc",
     reinterpret_cast<const void*>(&KeAcquireSpinLockRaiseToDpc)},
    {"ntoskrnl.exe", "KeReleaseSpinLock", reinterpret_cast<const void*>(&KeReleaseSpinLock)},
    // ntoskrnl.exe
    {"ntoskrnl.exe", "DbgPrint", reinterpret_cast<const void*>(&DbgPrint)},
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<const void*>(&KernelMemcpy)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<const void*>(&KernelMemmove)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<const void*>(&KernelMemset)},
    {"ntoskrnl.exe", "rand", reinterpret_cast<const void*>(&KernelRand)},
    {"ntoskrnl.exe", "srand", reinterpret_cast<const void*>(&KernelSrand)},
    // HAL.dll
    {"HAL.dll", "KeStallExecutionProcessor",
     reinterpret_cast<const void*>(&KeStallExecutionProcessor)},
};

}  // namespace

const void* HostKernelExport(const std::string& dll, const std::string& name) {
    for (const Export& e : kExports) {
        if (strcasecmp(e.dll, dll.c_str()) == 0 && name == e.name) return e.address;
    }
    return nullptr;
}

}  // namespace host
