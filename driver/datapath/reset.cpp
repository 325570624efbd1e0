#include "datapath/reset.h"

#include "card/card_access.h"
#include "card/card_control.h"
#include "card/link.h"
#include "card/mailbox.h"
#include "datapath/receive.h"
#include "datapath/transmit.h"
#include "requests/requests.h"

// Device level, under the interrupt's lock: the ISR, on another processor,
// may be deferring work at this moment. A deferred call asked for before the
// reset and still to come unmasks the card itself; unmasked now, the card
// could interrupt first, and the ISR would replace the sources that call has
// yet to serve.
static BOOLEAN NTAPI UnmaskUnlessDeferred(PVOID context)
{
    Adapter* adapter = (Adapter*)context;
    if (adapter->PendingInterrupts == 0) {
        UnmaskInterrupts(adapter);
    }
    return TRUE;
}

// Dispatch level. Restarts the data path, not the transceiver; completes
// synchronously. The sends it aborts and a statistics request it abandons
// are completed after the lock is released: a protocol may take its own lock
// in its completion handlers and hold it while it sends.
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
    // NDIS resets an adapter whose request does not complete: a statistics
    // request still waiting for the transceiver ends here, aborted.
    AbandonMailboxCommand(adapter, MAILBOX_RESET);
    EnableTransfers(adapter);
    PostReceiveBuffers(adapter);
    if (LinkStateOf(adapter) == LINK_STATE_UP) {
        ReleaseLine(adapter);
    }
    adapter->ResetInProgress = FALSE;
    adapter->TxWatchArmed = FALSE;  // a fresh ring: the hang check starts over
    StartTransmit(adapter);
    NdisMSynchronizeWithInterrupt(&adapter->Interrupt, (PVOID)UnmaskUnlessDeferred, adapter);
    NDIS_STATUS requestStatus;
    BOOLEAN completeRequest = TakeRequestCompletion(adapter, &requestStatus);
    ReleaseAdapterLock(&adapter->Lock);

    while (waiting.Head != NULL) {
        NdisMSendComplete(adapter->MiniportAdapterHandle, RemoveHead(&waiting),
                          NDIS_STATUS_REQUEST_ABORTED);
    }
    if (completeRequest) {
        NdisMQueryInformationComplete(adapter->MiniportAdapterHandle, requestStatus);
    }
    *AddressingReset = FALSE;
    return NDIS_STATUS_SUCCESS;
}
