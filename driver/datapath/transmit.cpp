#include "datapath/transmit.h"

#include "card/card_access.h"
#include "adapter/counters.h"

// A waiting send packet's first buffer, kept in MiniportReserved[1] from the
// moment it is accepted (its length was asked then), so that the copy does
// not ask the packet again.
static PNDIS_BUFFER* SendFirstBufferLink(PNDIS_PACKET packet)
{
    return (PNDIS_BUFFER*)&packet->MiniportReserved[sizeof(PVOID)];
}

// The length of a packet handed down, and its first buffer noted for the copy.
static ULONG AcceptSendPacket(PNDIS_PACKET packet)
{
    UINT total;
    NdisQueryPacket(packet, NULL, NULL, SendFirstBufferLink(packet), &total);
    return total;
}

// Copies a packet's frame, its chain of buffers from the first, into a slot,
// padded to 60 bytes; the frame length. Inline in the one loop that copies.
static inline ULONG CopyBuffersToSlot(PNDIS_BUFFER ndisBuffer, PUCHAR slot)
{
    ULONG offset = 0;
    while (ndisBuffer != NULL) {
        PVOID address;
        UINT length;
        NdisQueryBuffer(ndisBuffer, &address, &length);
        // Never past the slot, whatever the chain claims.
        if (length > MAX_FRAME_SIZE - offset) {
            length = MAX_FRAME_SIZE - offset;
        }
        NdisMoveMemory(slot + offset, address, length);
        offset += length;
        NdisGetNextBuffer(ndisBuffer, &ndisBuffer);
    }
    if (offset < MIN_FRAME_SIZE) {
        NdisZeroMemory(slot + offset, MIN_FRAME_SIZE - offset);
        offset = MIN_FRAME_SIZE;
    }
    return offset;
}

// Where the driver fills the transmit ring next (lock held): TX_SW_INDEX is
// read, and must read back what the driver last wrote; a card that says
// otherwise is wrong, and the driver goes on from its own.
static ULONG NextTransmitSlot(Adapter* adapter)
{
    if (ReadRegister(adapter, TX_SW_INDEX) != adapter->TxSwIndex) {
        CounterIncrement(&adapter->XmitError);
    }
    return adapter->TxSwIndex;
}

VOID StartTransmit(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    // A reset owns the ring until it has finished; it starts transmission
    // again itself. During halt nothing more goes out.
    if (adapter->ResetInProgress || adapter->Halting) {
        return;
    }
    ULONG index = NextTransmitSlot(adapter);
    while (adapter->PendingSendQueue.Head != NULL && adapter->TxFreeQueue.Head != NULL) {
        ULONG next = NEXT_RING_INDEX(index);
        if (next == adapter->TxCompleteIndex) {
            break;  // one slot always stays empty
        }
        PNDIS_PACKET packet = RemoveHead(&adapter->PendingSendQueue);
        FrameBuffer* buffer = RemoveHead(&adapter->TxFreeQueue);
        ULONG length = CopyBuffersToSlot(*SendFirstBufferLink(packet), buffer->VirtualAddress);
        WriteDescriptorWord(adapter->TxRing, index, DESCRIPTOR_ADDRESS, buffer->PhysicalAddress);
        WriteDescriptorWord(adapter->TxRing, index, DESCRIPTOR_CONTROL, length | TX_CONTROL_VALID);
        buffer->Packet = packet;
        Append(&adapter->TxBusyQueue, buffer);
        index = next;
    }
    // Once per call, after every descriptor of the call is in place.
    WriteTxSwIndex(adapter, index);
}

VOID NTAPI MiniportSendPackets(NDIS_HANDLE MiniportAdapterContext, PPNDIS_PACKET PacketArray,
                               UINT NumberOfPackets)
{
    Adapter* adapter = (Adapter*)MiniportAdapterContext;
    ZR48_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    // A frame longer than a slot is never copied: it fails, once.
    PacketQueue refused;
    FrameQueueInit(&refused);

    AcquireAdapterLock(&adapter->Lock);
    for (UINT i = 0; i < NumberOfPackets; ++i) {
        PNDIS_PACKET packet = PacketArray[i];
        if (AcceptSendPacket(packet) > MAX_FRAME_SIZE) {
            CounterIncrement(&adapter->XmitError);
            Append(&refused, packet);
            continue;
        }
        NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_PENDING);
        Append(&adapter->PendingSendQueue, packet);
    }
    StartTransmit(adapter);
    ReleaseAdapterLock(&adapter->Lock);

    while (refused.Head != NULL) {
        NdisMSendComplete(adapter->MiniportAdapterHandle, RemoveHead(&refused),
                          NDIS_STATUS_FAILURE);
    }
}

// Whether the card has passed the frame in slot TxCompleteIndex (lock held):
// the card's index may lie up to the slot after the last frame on the ring.
static BOOLEAN TransmittedFrameWaiting(Adapter* adapter, ULONG* trusted)
{
    return CardIndexAhead(adapter, TX_HW_INDEX, adapter->TxCompleteIndex,
                          adapter->TxBusyQueue.Count, &adapter->XmitError, trusted);
}

VOID CompleteTransmits(Adapter* adapter)
{
    // Held once: the lock is really dropped around the completions.
    ZR48_ASSERT(AdapterLockHeldOnce(&adapter->Lock));
    // At most a ring of frames, less its one empty slot, is passed at once.
    PNDIS_PACKET sent[RING_INDEX_MASK];
    ULONG count = 0;
    ULONG trusted = (ULONG)-1;  // none yet: no value an 8-bit register reads
    while (count < RING_INDEX_MASK && TransmittedFrameWaiting(adapter, &trusted)) {
        FrameBuffer* buffer = RemoveHead(&adapter->TxBusyQueue);
        sent[count] = buffer->Packet;
        count += 1;
        Append(&adapter->TxFreeQueue, buffer);
        adapter->TxCompleteIndex = NEXT_RING_INDEX(adapter->TxCompleteIndex);
    }
    if (count == 0) {
        return;
    }
    CounterAdd(&adapter->XmitOk, count);
    // The slots are free already: a sender on another processor may use
    // them. Every packet is completed after the one release, in ring order; a
    // reset or halt that takes the ring meanwhile finds none of them on it.
    ReleaseAdapterLock(&adapter->Lock);
    for (ULONG i = 0; i < count; ++i) {
        NdisMSendComplete(adapter->MiniportAdapterHandle, sent[i], NDIS_STATUS_SUCCESS);
    }
    AcquireAdapterLock(&adapter->Lock);
}

VOID AbortTransmits(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeldOnce(&adapter->Lock));
    while (adapter->TxBusyQueue.Head != NULL) {
        FrameBuffer* buffer = RemoveHead(&adapter->TxBusyQueue);
        PNDIS_PACKET packet = buffer->Packet;
        ReleaseAdapterLock(&adapter->Lock);
        NdisMSendComplete(adapter->MiniportAdapterHandle, packet, NDIS_STATUS_REQUEST_ABORTED);
        AcquireAdapterLock(&adapter->Lock);
        Append(&adapter->TxFreeQueue, buffer);
    }
    WriteTxSwIndex(adapter, 0);
    WriteRegister(adapter, TX_HW_INDEX, 0);
    adapter->TxCompleteIndex = 0;
}

BOOLEAN TransmitterStalled(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    // The card passes frames whatever the line: it discards them while the
    // line is down or held, but at its pace all the same. So frames that do
    // not move are stuck with the line in any state; and the driver's view of
    // the line may be wrong (a line status it misread, an event it never got).
    if (adapter->TxBusyQueue.Head == NULL || adapter->ResetInProgress || adapter->Halting) {
        adapter->TxWatchArmed = FALSE;
        return FALSE;
    }
    // The card's index alone could come round to the same slot after a whole
    // ring of frames; the count of frames completed cannot.
    ULONG index = ReadRegister(adapter, TX_HW_INDEX);
    ULONG completed = (ULONG)CounterRead(&adapter->XmitOk);
    BOOLEAN stalled = adapter->TxWatchArmed && index == adapter->TxWatchIndex &&
                              completed == adapter->TxWatchCompleted
                          ? TRUE
                          : FALSE;
    adapter->TxWatchArmed = TRUE;
    adapter->TxWatchIndex = index;
    adapter->TxWatchCompleted = completed;
    return stalled;
}

VOID AbortAllSends(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    PacketQueue aborted;
    FrameQueueInit(&aborted);
    AcquireAdapterLock(&adapter->Lock);
    // Ring order first, then arrival order; the slots go back to the free
    // queue so that the frame buffers can be freed.
    while (adapter->TxBusyQueue.Head != NULL) {
        FrameBuffer* buffer = RemoveHead(&adapter->TxBusyQueue);
        Append(&aborted, buffer->Packet);
        Append(&adapter->TxFreeQueue, buffer);
    }
    while (adapter->PendingSendQueue.Head != NULL) {
        Append(&aborted, RemoveHead(&adapter->PendingSendQueue));
    }
    ReleaseAdapterLock(&adapter->Lock);
    while (aborted.Head != NULL) {
        NdisMSendComplete(adapter->MiniportAdapterHandle, RemoveHead(&aborted),
                          NDIS_STATUS_REQUEST_ABORTED);
    }
}
