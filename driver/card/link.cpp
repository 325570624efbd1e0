#include "card/link.h"

#include "card/card_access.h"
#include "card/card_control.h"
#include "adapter/counters.h"

// The write that clears stale interrupt status when the line comes up spares
// every source whose deferred work would otherwise be lost: a mailbox answer
// raised but not yet serviced (a statistics request would wait for ever), a
// transmit error (the transmitter would stay off), received frames and sent
// ones (they would wait for the next interrupt). It clears what only counts:
// receive errors gathered while the line trained, the card event, unused bits.
#define ISR_CLEAR_AT_LINE_UP \
    ((UCHAR)(INT_ALL & ~(INT_TX_DONE | INT_RX | INT_TX_ERROR | INT_MAILBOX)))

ULONG ReadLineState(Adapter* adapter)
{
    return (ReadMailbox(adapter, MB_LINE_STATUS) & LINE_STATUS_MASK) == LINE_STATUS_UP
               ? LINK_STATE_UP
               : LINK_STATE_DOWN;
}

// Lock held. The timer holds a reference from the moment it is set until its
// routine has finished with the adapter, so that the stop path can wait. The
// stop path holds one of its own from initialization on: whoever drops the
// last reference is the last to touch the adapter, so the stop path never
// takes a count of 0 for "done" while a routine is between its decrement and
// its NdisSetEvent.
static VOID ArmLinkTimer(Adapter* adapter)
{
    if (!adapter->LinkTimerPending) {
        adapter->LinkTimerPending = TRUE;
        InterlockedIncrement(&adapter->LinkTimerReferences);
    }
    // A miniport timer begins with the NDIS timer; setting it again replaces
    // the pending expiry, so the check runs 500 ms after the last event.
    NdisSetTimer((PNDIS_TIMER)&adapter->LinkTimer, LINK_CHECK_DELAY_MS);
}

static VOID ReleaseLinkTimerReference(Adapter* adapter)
{
    if (InterlockedDecrement(&adapter->LinkTimerReferences) == 0) {
        NdisSetEvent(&adapter->LinkTimerIdle);
    }
}

VOID RequestLinkCheck(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    if (adapter->Halting) {
        return;
    }
    if (!adapter->LinkTimerInitialized) {
        adapter->LinkCheckDeferred = TRUE;
        return;
    }
    ArmLinkTimer(adapter);
}

VOID InitializeLinkTimer(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    NdisMInitializeTimer(&adapter->LinkTimer, adapter->MiniportAdapterHandle, LinkTimerExpired,
                         adapter);
    AcquireAdapterLock(&adapter->Lock);
    adapter->LinkTimerInitialized = TRUE;
    adapter->LinkTimerReferences = 1;  // the stop path's
    if (adapter->LinkCheckDeferred) {
        adapter->LinkCheckDeferred = FALSE;
        ArmLinkTimer(adapter);
    }
    ReleaseAdapterLock(&adapter->Lock);
}

VOID StopLinkTimer(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);  // it waits for the routine
    if (!adapter->LinkTimerInitialized) {
        return;  // start-up failed before the timer existed
    }
    AcquireAdapterLock(&adapter->Lock);
    adapter->Halting = TRUE;  // no line event arms the timer again
    ReleaseAdapterLock(&adapter->Lock);

    BOOLEAN cancelled;
    NdisMCancelTimer(&adapter->LinkTimer, &cancelled);
    AcquireAdapterLock(&adapter->Lock);
    if (cancelled && adapter->LinkTimerPending) {
        adapter->LinkTimerPending = FALSE;  // that expiry will never run
        InterlockedDecrement(&adapter->LinkTimerReferences);
    }
    ReleaseAdapterLock(&adapter->Lock);

    // NdisMCancelTimer does not wait for a routine already running on
    // another processor; the adapter must outlive it.
    NdisResetEvent(&adapter->LinkTimerIdle);
    if (InterlockedDecrement(&adapter->LinkTimerReferences) != 0) {
        NdisWaitEvent(&adapter->LinkTimerIdle, 0);
    }
}

VOID IndicateLinkStatus(Adapter* adapter, NDIS_STATUS status)
{
    ZR48_ASSERT(!AdapterLockHeld(&adapter->Lock));  // a protocol may take its own locks
    NdisMIndicateStatus(adapter->MiniportAdapterHandle, status, NULL, 0);
    NdisMIndicateStatusComplete(adapter->MiniportAdapterHandle);
}

// Lock held. Returns the indication the change calls for, or SUCCESS for none.
static NDIS_STATUS UpdateLinkState(Adapter* adapter)
{
    ULONG old = LinkStateOf(adapter);
    ULONG seen = ReadLineState(adapter);
    SetLinkState(adapter, seen);
    if (seen == old) {
        return NDIS_STATUS_SUCCESS;
    }
    if (seen == LINK_STATE_UP) {
        WriteRegister(adapter, ISR, ISR_CLEAR_AT_LINE_UP);
        ReleaseLine(adapter);
        InterlockedIncrement((volatile LONG*)&adapter->Statistics.LinkUpCount);
        LARGE_INTEGER now;
        NdisGetCurrentSystemTime(&now);
        // A statistics read copies it without the lock: one interlocked
        // store, so that a 32-bit processor never shows half of it.
        CounterWrite(LastLinkUpTimeCounter(&adapter->Statistics), (ULONGLONG)now.QuadPart);
        return NDIS_STATUS_MEDIA_CONNECT;
    }
    if (old == LINK_STATE_UNCONFIGURED) {
        return NDIS_STATUS_SUCCESS;  // first look, line down: nothing to tell
    }
    HoldLine(adapter);
    return NDIS_STATUS_MEDIA_DISCONNECT;
}

VOID NTAPI LinkTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext,
                            PVOID SystemSpecific2, PVOID SystemSpecific3)
{
    UNREFERENCED_PARAMETER(SystemSpecific1);
    UNREFERENCED_PARAMETER(SystemSpecific2);
    UNREFERENCED_PARAMETER(SystemSpecific3);
    Adapter* adapter = (Adapter*)FunctionContext;
    ZR48_ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);

    // The lock keeps the line hold's read-modify-write of CR1 apart from
    // the reset's and halt's, which change CR1 under it too.
    AcquireAdapterLock(&adapter->Lock);
    adapter->LinkTimerPending = FALSE;
    NDIS_STATUS indication = adapter->Halting ? NDIS_STATUS_SUCCESS : UpdateLinkState(adapter);
    ReleaseAdapterLock(&adapter->Lock);

    if (indication != NDIS_STATUS_SUCCESS && !adapter->AlwaysConnected) {
        IndicateLinkStatus(adapter, indication);
    }
    ReleaseLinkTimerReference(adapter);  // the last touch of the adapter
}
