#include "datapath/receive.h"

#include "card/card_access.h"
#include "adapter/counters.h"

static PNDIS_BUFFER FirstBuffer(PNDIS_PACKET packet)
{
    PNDIS_BUFFER buffer;
    NdisQueryPacket(packet, NULL, NULL, &buffer, NULL);
    return buffer;
}

// Where the driver posts receive buffers next (lock held): RX_SW_INDEX is
// read, and must read back what the driver last wrote; a card that says
// otherwise is wrong, and the driver goes on from its own.
static ULONG NextPostSlot(Adapter* adapter)
{
    if (ReadRegister(adapter, RX_SW_INDEX) != adapter->RxSwIndex) {
        CounterIncrement(&adapter->RcvError);
    }
    return adapter->RxSwIndex;
}

VOID PostReceiveBuffers(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    AcquireAdapterLock(&adapter->Lock);
    ULONG index = NextPostSlot(adapter);
    while (adapter->RxFreeQueue.Head != NULL) {
        ULONG next = NEXT_RING_INDEX(index);
        if (next == adapter->RxNextIndex) {
            break;  // one slot always stays empty
        }
        FrameBuffer* buffer = RemoveHead(&adapter->RxFreeQueue);
        // Restore the length a previous reception shortened.
        NdisAdjustBufferLength(FirstBuffer(buffer->Packet), MAX_FRAME_SIZE);
        WriteDescriptorWord(adapter->RxRing, index, DESCRIPTOR_ADDRESS, buffer->PhysicalAddress);
        Append(&adapter->RxPostedQueue, buffer);
        index = next;
    }
    WriteRxSwIndex(adapter, index);
    ReleaseAdapterLock(&adapter->Lock);
}

// Indicates one batch. The lock, held once on entry, is released across the
// call: a protocol may take its own lock in its receive handler and hold it
// while it sends, which would otherwise deadlock against a sender on another
// processor waiting for the adapter lock. The packets marked for copying
// belong to the driver again when the call returns; their statuses were
// noted before the call, since a returned packet may be reused before it ends.
static VOID IndicateBatch(Adapter* adapter, PNDIS_PACKET* batch, const BOOLEAN* copyOnly,
                          ULONG count)
{
    ReleaseAdapterLock(&adapter->Lock);
    NdisMIndicateReceivePacket(adapter->MiniportAdapterHandle, batch, count);
    AcquireAdapterLock(&adapter->Lock);
    for (ULONG i = 0; i < count; ++i) {
        if (copyOnly[i]) {
            Append(&adapter->RxFreeQueue, *ReceiveBufferLink(batch[i]));
        }
    }
}

// A frame whose length the card reports outside what an Ethernet frame in
// this slot can be: longer would let a protocol read past the mapped buffer,
// shorter would hand it a frame without a whole header.
static BOOLEAN FrameLengthUsable(ULONG length)
{
    return length >= ETHERNET_HEADER_SIZE && length <= MAX_FRAME_SIZE ? TRUE : FALSE;
}

// Takes the frame in slot RxNextIndex (lock held). TRUE when it joins the
// batch; it is then marked for copying when buffers run short.
static BOOLEAN TakeReceivedFrame(Adapter* adapter, PNDIS_PACKET* packet, BOOLEAN* copyOnly)
{
    FrameBuffer* buffer = RemoveHead(&adapter->RxPostedQueue);
    ULONG length = ReadDescriptorWord(adapter->RxRing, adapter->RxNextIndex, DESCRIPTOR_CONTROL) &
                   RX_STATUS_LENGTH_MASK;
    if (!FrameLengthUsable(length)) {
        Append(&adapter->RxFreeQueue, buffer);
        CounterIncrement(&adapter->RcvError);
        return FALSE;
    }
    CounterIncrement(&adapter->RcvOk);
    if (adapter->PacketFilter == 0) {
        Append(&adapter->RxFreeQueue, buffer);  // nobody wants frames
        return FALSE;
    }
    *packet = buffer->Packet;
    ReleaseAdapterLock(&adapter->Lock);
    NdisAdjustBufferLength(FirstBuffer(*packet), length);
    // The packet's cached length must follow the buffer's, or a protocol
    // that asks for the packet's total length reads the previous frame's.
    NdisRecalculatePacketCounts(*packet);
    AcquireAdapterLock(&adapter->Lock);
    *copyOnly = adapter->RxPostedQueue.Count + adapter->RxFreeQueue.Count < ReceiveLowWater(adapter)
                    ? TRUE
                    : FALSE;
    NDIS_SET_PACKET_STATUS(*packet, *copyOnly ? NDIS_STATUS_RESOURCES : NDIS_STATUS_SUCCESS);
    return TRUE;
}

// A reset or halt took the ring while the pass had dropped the lock: the
// ring's indexes are no longer the pass's, and its frames are dropped as the
// reset drops those it finds. Their buffers become free (lock held).
static VOID AbandonBatch(Adapter* adapter, PNDIS_PACKET* batch, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) {
        Append(&adapter->RxFreeQueue, *ReceiveBufferLink(batch[i]));
    }
}

// Whether the card has filled the slot RxNextIndex (lock held). RX_HW_INDEX
// can only lie from that slot up to the one after the last buffer posted: an
// index past the posted buffers, behind the next slot or beyond the ring is
// the card's error, counted, and takes nothing; the frames are taken when the
// card shows it has really written them.
static BOOLEAN ReceivedFrameWaiting(Adapter* adapter)
{
    ULONG index = ReadRegister(adapter, RX_HW_INDEX);
    if (index == adapter->RxNextIndex) {
        return FALSE;
    }
    if (index > RING_INDEX_MASK ||
        ((index - adapter->RxNextIndex) & RING_INDEX_MASK) > adapter->RxPostedQueue.Count) {
        CounterIncrement(&adapter->RcvError);
        return FALSE;
    }
    return TRUE;
}

VOID ProcessReceives(Adapter* adapter)
{
    // Held once: the lock is really dropped around each length adjustment.
    ZR48_ASSERT(AdapterLockHeldOnce(&adapter->Lock));
    ULONG generation = adapter->RingGeneration;
    PNDIS_PACKET batch[RECEIVE_BATCH];
    BOOLEAN copyOnly[RECEIVE_BATCH];
    ULONG count = 0;
    // RX_HW_INDEX is read again after each frame: frames that arrive during
    // the pass are taken in the same pass.
    while (ReceivedFrameWaiting(adapter)) {
        if (TakeReceivedFrame(adapter, &batch[count], &copyOnly[count])) {
            count += 1;
        }
        if (adapter->RingGeneration != generation) {
            AbandonBatch(adapter, batch, count);
            return;
        }
        adapter->RxNextIndex = NEXT_RING_INDEX(adapter->RxNextIndex);
        if (count == RECEIVE_BATCH) {
            IndicateBatch(adapter, batch, copyOnly, count);  // the batch is full: go on
            count = 0;
            if (adapter->RingGeneration != generation) {
                return;  // a reset or halt took the ring during the indication
            }
        }
    }
    if (count != 0) {
        IndicateBatch(adapter, batch, copyOnly, count);
    }
}

VOID ResetReceiveRing(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    while (adapter->RxPostedQueue.Head != NULL) {
        Append(&adapter->RxFreeQueue, RemoveHead(&adapter->RxPostedQueue));
    }
    WriteRxSwIndex(adapter, 0);
    WriteRegister(adapter, RX_HW_INDEX, 0);
    adapter->RxNextIndex = 0;
}

VOID NTAPI MiniportReturnPacket(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet)
{
    Adapter* adapter = (Adapter*)MiniportAdapterContext;
    ZR48_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    AcquireAdapterLock(&adapter->Lock);
    Append(&adapter->RxFreeQueue, *ReceiveBufferLink(Packet));
    // Packets come back while MiniportHalt runs too (those a deferred routine
    // indicated meanwhile): the card is stopped then, and the ring stays as
    // halt left it.
    if (!adapter->Halting) {
        PostReceiveBuffers(adapter);
    }
    ReleaseAdapterLock(&adapter->Lock);
}
