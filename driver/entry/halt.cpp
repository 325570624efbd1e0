#include "card/card_access.h"
#include "card/card_control.h"
#include "card/link.h"
#include "card/mailbox.h"
#include "datapath/pool_memory.h"
#include "datapath/transmit.h"
#include "entry/miniport.h"

// Passive level: silences the card, finishes what is pending, releases
// everything and frees the adapter.
VOID NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext)
{
    Adapter* adapter = (Adapter*)MiniportAdapterContext;
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    AcquireAdapterLock(&adapter->Lock);
    adapter->Halting = TRUE;  // the deferred routine stays off the rings from now on
    adapter->RingGeneration += 1;
    DisableTransfers(adapter);
    MaskInterrupts(adapter);
    ReleaseAdapterLock(&adapter->Lock);

    StopCard(adapter);  // and acknowledge everything pending
    SetLinkState(adapter, LINK_STATE_UNCONFIGURED);

    // NDIS 5 may halt with sends outstanding; their protocols would wait for
    // ever. They are completed before the frame buffers go.
    AbortAllSends(adapter);
    MailboxAbort(adapter);  // a statistics request still waiting fails
    AdapterStop(adapter);
    AdapterDestroy(adapter);
    FreePoolMemory(adapter);
}

// Any level, no lock: only silences the card. It may come before the window
// is mapped, and must then leave the card alone.
VOID NTAPI MiniportShutdown(PVOID ShutdownContext)
{
    Adapter* adapter = (Adapter*)ShutdownContext;
    if (adapter->Registers == NULL) {
        return;
    }
    MaskInterrupts(adapter);
    WriteRegister(adapter, CR1, CR1_LINE_HOLD);  // the burst options go too
    StopCard(adapter);
}

// At most dispatch level, about every 2 seconds. TRUE asks NDIS for a reset,
// which frees what is stuck: a transmitter that has stopped (its frames are
// completed as aborted) or a statistics request whose transceiver never
// answered (it is completed as aborted).
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE MiniportAdapterContext)
{
    Adapter* adapter = (Adapter*)MiniportAdapterContext;
    ZR48_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    AcquireAdapterLock(&adapter->Lock);
    BOOLEAN transmitterStalled = TransmitterStalled(adapter);
    BOOLEAN answerOverdue = MailboxCommandOverdue(adapter);
    ReleaseAdapterLock(&adapter->Lock);
    return transmitterStalled || answerOverdue ? TRUE : FALSE;
}
