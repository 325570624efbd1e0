#include "adapter/configuration.h"
#include "card/card_access.h"
#include "card/card_control.h"
#include "card/firmware.h"
#include "card/link.h"
#include "datapath/frame_buffers.h"
#include "datapath/pool_memory.h"
#include "datapath/receive.h"
#include "entry/miniport.h"

// Passive level: brings one card up. On failure nothing is left allocated.
NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                     PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext)
{
    UNREFERENCED_PARAMETER(OpenErrorStatus);
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    UINT medium = 0;
    while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) {
        medium += 1;
    }
    if (medium == MediumArraySize) {
        return NDIS_STATUS_UNSUPPORTED_MEDIA;
    }
    *SelectedMediumIndex = medium;

    Adapter* adapter = (Adapter*)AllocatePoolMemory(sizeof(Adapter));
    if (adapter == NULL) {
        return NDIS_STATUS_RESOURCES;
    }
    AdapterConstruct(adapter);
    NDIS_STATUS status = AdapterStart(adapter, MiniportAdapterHandle, WrapperConfigurationContext);
    if (status != NDIS_STATUS_SUCCESS) {
        AdapterDestroy(adapter);
        FreePoolMemory(adapter);
        return status;
    }
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS AdapterStart(Adapter* adapter, NDIS_HANDLE miniportAdapterHandle,
                         NDIS_HANDLE wrapperConfigurationContext)
{
    adapter->MiniportAdapterHandle = miniportAdapterHandle;
    NdisMRegisterAdapterShutdownHandler(miniportAdapterHandle, adapter, MiniportShutdown);
    NdisMSetAttributesEx(miniportAdapterHandle, adapter, 0,
                         NDIS_ATTRIBUTE_BUS_MASTER | NDIS_ATTRIBUTE_DESERIALIZE,
                         NdisInterfacePci);

    NDIS_STATUS status;
    NDIS_HANDLE configuration;
    NdisOpenConfiguration(&status, &configuration, wrapperConfigurationContext);
    if (status != NDIS_STATUS_SUCCESS) {
        AdapterStop(adapter);
        return NDIS_STATUS_FAILURE;
    }
    status = ReadAdapterConfiguration(adapter, configuration);
    NdisCloseConfiguration(configuration);
    if (status != NDIS_STATUS_SUCCESS) {
        AdapterStop(adapter);
        return status;
    }
    status = AllocateHardwareResources(adapter);
    if (status != NDIS_STATUS_SUCCESS) {
        DbgPrint(INIT_FAILURE_MESSAGE);
        AdapterStop(adapter);
        return status;
    }
    // The rings are set up: from now on the deferred routine serves them.
    AcquireAdapterLock(&adapter->Lock);
    adapter->RingsStarted = TRUE;
    PostReceiveBuffers(adapter);
    ReleaseAdapterLock(&adapter->Lock);
    // Not started here: the mailbox service starts it on a line event.
    InitializeLinkTimer(adapter);
    return NDIS_STATUS_SUCCESS;
}

// The shared block is (transmit + receive buffers) x 1516 bytes, computed in
// 32 bits; counts whose block would not fit are refused rather than wrapped.
// Neither kind of buffer at all is refused too: NDIS maps and allocates no
// empty block.
static BOOLEAN SharedMemorySizeFits(Adapter* adapter)
{
    ULONG slots = adapter->XmtQueueLen + adapter->RcvQueueLen;
    return slots != 0 && slots >= adapter->XmtQueueLen &&
                   slots <= 0xFFFFFFFFu / FRAME_SLOT_SIZE
               ? TRUE
               : FALSE;
}

static NDIS_STATUS MapCardWindow(Adapter* adapter)
{
    NDIS_PHYSICAL_ADDRESS windowAddress;
    NdisSetPhysicalAddressHigh(windowAddress, 0);
    NdisSetPhysicalAddressLow(windowAddress, adapter->MemoryBase);
    PVOID window;
    NDIS_STATUS status = NdisMMapIoSpace(&window, adapter->MiniportAdapterHandle, windowAddress,
                                         CARD_WINDOW_SIZE);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    adapter->CardWindow = (PUCHAR)window;
    adapter->TxRing = adapter->CardWindow + TX_RING_OFFSET;
    adapter->RxRing = adapter->CardWindow + RX_RING_OFFSET;
    adapter->Registers = adapter->CardWindow + REGISTERS_OFFSET;
    adapter->Mailbox = adapter->CardWindow + MAILBOX_OFFSET;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS AllocateDmaMemory(Adapter* adapter)
{
    if (!SharedMemorySizeFits(adapter)) {
        return NDIS_STATUS_RESOURCES;
    }
    adapter->SharedMemorySize = (adapter->XmtQueueLen + adapter->RcvQueueLen) * FRAME_SLOT_SIZE;
    NDIS_STATUS status = NdisMAllocateMapRegisters(adapter->MiniportAdapterHandle, 0, TRUE, 1,
                                                   adapter->SharedMemorySize);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    adapter->MapRegistersAllocated = TRUE;
    NdisMAllocateSharedMemory(adapter->MiniportAdapterHandle, adapter->SharedMemorySize, TRUE,
                              &adapter->SharedMemory, &adapter->SharedMemoryPhysical);
    return adapter->SharedMemory != NULL ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES;
}

static NDIS_STATUS ConnectInterrupt(Adapter* adapter)
{
    NDIS_STATUS status = NdisMRegisterInterrupt(
        &adapter->Interrupt, adapter->MiniportAdapterHandle, adapter->InterruptLine,
        adapter->InterruptLine, TRUE, TRUE, NdisInterruptLevelSensitive);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_INTERRUPT_CONNECT, 0);
        return status;
    }
    adapter->InterruptRegistered = TRUE;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS AllocateHardwareResources(Adapter* adapter)
{
    NDIS_STATUS status = MapCardWindow(adapter);
    if (status == NDIS_STATUS_SUCCESS) {
        status = AllocateDmaMemory(adapter);
    }
    if (status == NDIS_STATUS_SUCCESS) {
        status = AllocateFrameBuffers(adapter);
    }
    // Connected before the firmware is loaded: the transceiver's answers
    // during bring-up arrive as mailbox interrupts.
    if (status == NDIS_STATUS_SUCCESS) {
        status = ConnectInterrupt(adapter);
    }
    if (status == NDIS_STATUS_SUCCESS) {
        status = LoadFirmware(adapter);
        if (status != NDIS_STATUS_SUCCESS) {
            NdisWriteErrorLogEntry(adapter->MiniportAdapterHandle, (NDIS_ERROR_CODE)status, 0);
            // A transceiver that did not come up may still post in the
            // mailbox. Once the handler is gone its interrupt must not stay
            // enabled on the shared line, nor its controller run: the stop
            // path cannot do it, the window being unmapped by then.
            SilenceCard(adapter);
        }
    }
    if (status != NDIS_STATUS_SUCCESS) {
        FreeHardwareResources(adapter);
        return status;
    }
    WriteRxSwIndex(adapter, 0);
    WriteRegister(adapter, RX_HW_INDEX, 0);
    WriteTxSwIndex(adapter, 0);
    WriteRegister(adapter, TX_HW_INDEX, 0);
    return NDIS_STATUS_SUCCESS;
}

VOID FreeHardwareResources(Adapter* adapter)
{
    if (adapter->InterruptRegistered) {
        NdisMDeregisterInterrupt(&adapter->Interrupt);
        adapter->InterruptRegistered = FALSE;
    }
    FreeFrameBuffers(adapter);
    if (adapter->SharedMemory != NULL) {
        NdisMFreeSharedMemory(adapter->MiniportAdapterHandle, adapter->SharedMemorySize, TRUE,
                              adapter->SharedMemory, adapter->SharedMemoryPhysical);
        adapter->SharedMemory = NULL;
    }
    if (adapter->MapRegistersAllocated) {
        NdisMFreeMapRegisters(adapter->MiniportAdapterHandle);
        adapter->MapRegistersAllocated = FALSE;
    }
    if (adapter->CardWindow != NULL) {
        NdisMUnmapIoSpace(adapter->MiniportAdapterHandle, adapter->CardWindow, CARD_WINDOW_SIZE);
        adapter->CardWindow = NULL;
        adapter->TxRing = NULL;
        adapter->RxRing = NULL;
        adapter->Registers = NULL;
        adapter->Mailbox = NULL;
    }
}

VOID AdapterStop(Adapter* adapter)
{
    if (adapter->Registers != NULL) {
        AcquireAdapterLock(&adapter->Lock);
        MaskInterrupts(adapter);
        WriteRegister(adapter, CR0, 0);
        ResetReceiveRing(adapter);
        ReleaseAdapterLock(&adapter->Lock);
    }
    StopLinkTimer(adapter);
    NdisMDeregisterAdapterShutdownHandler(adapter->MiniportAdapterHandle);
    FreeHardwareResources(adapter);
}
