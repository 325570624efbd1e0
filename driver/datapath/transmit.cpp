#include "datapath/transmit.h"

#include "card/card_access.h"
#include "adapter/counters.h"
#include "card/link.h"

ULONG CopyPacketToSlot(PNDIS_PACKET packet, PUCHAR slot)
{
    PNDIS_BUFFER ndisBuffer;
    NdisQueryPacket(packet, NULL, NULL, &ndisBuffer, NULL);
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

VOID StartTransmit(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    // A reset owns the ring until it has finished; it starts transmission
    // again itself. During halt nothing more goes out.
    if (adapter->ResetInProgress || adapter->Halting) {
        return;
    }
    ULONG index = ReadRegister(adapter, TX_SW_INDEX);
    while (adapter->PendingSendQueue.Head != NULL && adapter->TxFreeQueue.Head != NULL) {
        ULONG next = NEXT_RING_INDEX(index);
        if (next == adapter->TxCompleteIndex) {
            break;  // one slot always stays empty
        }
        PNDIS_PACKET packet = RemoveHead(&adapter->PendingSendQueue);
        FrameBuffer* buffer = RemoveHead(&adapter->TxFreeQueue);
        ULONG length = CopyPacketToSlot(packet, buffer->VirtualAddress);
        WriteDescriptorWord(adapter->TxRing, index, DESCRIPTOR_ADDRESS, buffer->PhysicalAddress);
        WriteDescriptorWord(adapter->TxRing, index, DESCRIPTOR_CONTROL, length | TX_CONTROL_VALID);
        buffer->Packet = packet;
        Append(&adapter->TxBusyQueue, buffer);
        index = next;
    }
    // Once per call, after every descriptor of the call is in place.
    WriteRegister(adapter, TX_SW_INDEX, (UCHAR)index);
}

static ULONG PacketLength(PNDIS_PACKET packet)
{
    UINT total;
    NdisQueryPacket(packet, NULL, NULL, NULL, &total);
    return total;
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
        if (PacketLength(packet) > MAX_FRAME_SIZE) {
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

VOID CompleteTransmits(Adapter* adapter)
{
    // Held once: the lock is really dropped around each completion.
    ZR48_ASSERT(AdapterLockHeldOnce(&adapter->Lock));
    ULONG generation = adapter->RingGeneration;
    while (adapter->TxCompleteIndex != ReadRegister(adapter, TX_HW_INDEX)) {
        if (adapter->TxBusyQueue.Head == NULL) {
            break;  // the card reports more frames than it was given
        }
        FrameBuffer* buffer = RemoveHead(&adapter->TxBusyQueue);
        PNDIS_PACKET packet = buffer->Packet;
        CounterIncrement(&adapter->XmitOk);
        Append(&adapter->TxFreeQueue, buffer);
        adapter->TxCompleteIndex = NEXT_RING_INDEX(adapter->TxCompleteIndex);
        // The slot is free already: a sender on another processor may use it.
        ReleaseAdapterLock(&adapter->Lock);
        NdisMSendComplete(adapter->MiniportAdapterHandle, packet, NDIS_STATUS_SUCCESS);
        AcquireAdapterLock(&adapter->Lock);
        if (adapter->RingGeneration != generation) {
            return;  // a reset or halt took the ring meanwhile: its frames are its own
        }
    }
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
    WriteRegister(adapter, TX_SW_INDEX, 0);
    WriteRegister(adapter, TX_HW_INDEX, 0);
    adapter->TxCompleteIndex = 0;
}

BOOLEAN TransmitterStalled(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    // With the line down or held the card passes frames without sending
    // them, so only an idle transmitter with the line up can be stuck.
    if (adapter->TxBusyQueue.Head == NULL || LinkStateOf(adapter) != LINK_STATE_UP ||
        adapter->ResetInProgress || adapter->Halting) {
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
