#include "datapath/reset.h"

#include "card/card_access.h"
#include "card/card_control.h"
#include "card/link.h"
#include "datapath/receive.h"
#include "datapath/transmit.h"

// Dispatch level. Restarts the data path, not the transceiver; completes
// synchronously.
NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext)
{
    Adapter* adapter = (Adapter*)MiniportAdapterContext;
    ZR48_ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    ZR48_ASSERT(!AdapterLockHeld(&adapter->Lock));
    AcquireAdapterLock(&adapter->Lock);
    // Sends that arrive from now on, from inside this reset's completions
    // too, wait in PendingSendQueue and go out when the reset has finished.
    adapter->ResetInProgress = TRUE;
    adapter->RingGeneration += 1;
    PacketQueue waiting = adapter->PendingSendQueue;
    FrameQueueInit(&adapter->PendingSendQueue);

    MaskInterrupts(adapter);
    DisableTransfers(adapter);
    AbortTransmits(adapter);
    ResetReceiveRing(adapter);
    while (waiting.Head != NULL) {
        NdisMSendComplete(adapter->MiniportAdapterHandle, RemoveHead(&waiting),
                          NDIS_STATUS_REQUEST_ABORTED);
    }
    EnableTransfers(adapter);
    PostReceiveBuffers(adapter);
    if (adapter->LinkState == LINK_STATE_UP) {
        ReleaseLine(adapter);
    }
    adapter->ResetInProgress = FALSE;
    StartTransmit(adapter);
    // A deferred call asked for before the reset and still to come unmasks
    // the card itself. Unmasked now, the card could interrupt first, and the
    // ISR would replace the sources that call has yet to serve.
    if (adapter->PendingInterrupts == 0) {
        UnmaskInterrupts(adapter);
    }
    ReleaseAdapterLock(&adapter->Lock);
    *AddressingReset = FALSE;
    return NDIS_STATUS_SUCCESS;
}
