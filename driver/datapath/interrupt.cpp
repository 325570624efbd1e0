#include "datapath/interrupt.h"

#include "card/card_access.h"
#include "card/card_control.h"
#include "card/link.h"
#include "card/mailbox.h"
#include "adapter/counters.h"
#include "datapath/receive.h"
#include "datapath/transmit.h"
#include "requests/requests.h"

// Device level, no lock: claims and acknowledges the card's interrupt, counts
// the two sources that need nothing more, and masks the card until the
// deferred routine has handled the rest.
VOID NTAPI MiniportIsr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                       NDIS_HANDLE MiniportAdapterContext)
{
    Adapter* adapter = (Adapter*)MiniportAdapterContext;
    ZR48_ASSERT(KeGetCurrentIrql() > DISPATCH_LEVEL);
    UCHAR enabled = ReadRegister(adapter, IMR);
    UCHAR status = ReadRegister(adapter, ISR);
    // A card that has left the bus, or died, reads all ones: every source at
    // once, the unused ones too. That is no cause of ours to serve; on the
    // shared line the interrupt is another device's. Nor is a source the card
    // does not have.
    UCHAR bits = status == INT_ALL ? 0 : (UCHAR)(status & enabled & INT_SOURCES);
    WriteRegister(adapter, ISR, bits);  // a masked source stays pending
    if (bits == 0) {
        *InterruptRecognized = FALSE;  // another device on the shared line
        *QueueMiniportHandleInterrupt = FALSE;
        return;
    }
    *InterruptRecognized = TRUE;
    if (bits & INT_RX_ERROR) {
        CounterIncrement(&adapter->RcvError);
        bits &= (UCHAR)~INT_RX_ERROR;
    }
    if (bits & INT_EVENT) {
        InterlockedIncrement((volatile LONG*)&adapter->Statistics.IsrBit08Events);
        bits &= (UCHAR)~INT_EVENT;
    }
    if (bits == 0) {
        *QueueMiniportHandleInterrupt = FALSE;
        return;
    }
    adapter->PendingInterrupts = bits;
    MaskInterrupts(adapter);
    *QueueMiniportHandleInterrupt = TRUE;
}

static BOOLEAN Pending(Adapter* adapter, UCHAR bit)
{
    return (adapter->PendingInterrupts & bit) ? TRUE : FALSE;
}

static VOID Handled(Adapter* adapter, UCHAR bit)
{
    adapter->PendingInterrupts = (UCHAR)(adapter->PendingInterrupts & ~bit);
}

// A reset or halt owns the rings: a reset drops the lock around its
// completions, and a deferred call queued before it can get the lock then.
// Before them the start-up owns the rings, until it has set their indexes
// and filled the receive ring: the mailbox interrupts of the bring-up are
// served by this routine too, and a card that claims frames meanwhile must
// not make it post buffers or complete slots the start-up is about to reset.
static BOOLEAN RingsOwnedElsewhere(Adapter* adapter)
{
    return adapter->ResetInProgress || adapter->Halting || !adapter->RingsStarted;
}

// Dispatch level. Mailbox first, then the transmit error (so the transmitter
// runs again before more frames are handed over), then receive (so the ring
// is refilled first), then completed transmissions. Each ring step looks
// afresh whether a reset or halt has taken the rings meanwhile.
VOID NTAPI MiniportHandleInterrupt(NDIS_HANDLE MiniportAdapterContext)
{
    Adapter* adapter = (Adapter*)MiniportAdapterContext;
    ZR48_ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    ZR48_ASSERT(!AdapterLockHeld(&adapter->Lock));
    AcquireAdapterLock(&adapter->Lock);
    if (Pending(adapter, INT_MAILBOX)) {
        MailboxService(adapter);
        Handled(adapter, INT_MAILBOX);
    }
    if (Pending(adapter, INT_TX_ERROR)) {
        // A reset enables the transmitter when its ring is ready; halt never.
        if (!RingsOwnedElsewhere(adapter)) {
            WriteRegister(adapter, CR0, (UCHAR)(ReadRegister(adapter, CR0) | CR0_TX_ENABLE));
        }
        CounterIncrement(&adapter->XmitError);
        InterlockedIncrement((volatile LONG*)&adapter->Statistics.XmitErrorEvents);
        Handled(adapter, INT_TX_ERROR);
    }
    if (Pending(adapter, INT_RX)) {
        if (!RingsOwnedElsewhere(adapter)) {
            ProcessReceives(adapter);
        }
        if (!RingsOwnedElsewhere(adapter)) {
            RefillReceiveRing(adapter);
        }
        Handled(adapter, INT_RX);
    }
    if (Pending(adapter, INT_TX_DONE)) {
        if (!RingsOwnedElsewhere(adapter)) {
            CompleteTransmits(adapter);
            StartTransmit(adapter);
        }
        Handled(adapter, INT_TX_DONE);
    }
    // A reset unmasks the card itself when it has finished; halt keeps it
    // masked. The bring-up's answers need the card unmasked.
    BOOLEAN unmask = !adapter->ResetInProgress && !adapter->Halting;
    NDIS_STATUS requestStatus;
    BOOLEAN completeRequest = TakeRequestCompletion(adapter, &requestStatus);
    ReleaseAdapterLock(&adapter->Lock);
    if (unmask) {
        UnmaskInterrupts(adapter);
    }
    // The statistics chain's last answer finished its request; no lock is
    // held across the call, which reaches the requester's completion handler.
    if (completeRequest) {
        NdisMQueryInformationComplete(adapter->MiniportAdapterHandle, requestStatus);
    }
}
