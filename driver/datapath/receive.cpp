#include "datapath/receive.h"

#include "card/card_access.h"
#include "adapter/counters.h"

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

VOID RefillReceiveRing(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    ULONG index = NextPostSlot(adapter);
    while (adapter->RxFreeQueue.Head != NULL) {
        ULONG next = NEXT_RING_INDEX(index);
        if (next == adapter->RxNextIndex) {
            break;  // one slot always stays empty
        }
        FrameBuffer* buffer = RemoveHead(&adapter->RxFreeQueue);
        // Restore the length a previous reception shortened.
        NdisAdjustBufferLength(buffer->Buffer, MAX_FRAME_SIZE);
        WriteDescriptorWord(adapter->RxRing, index, DESCRIPTOR_ADDRESS, buffer->PhysicalAddress);
        Append(&adapter->RxPostedQueue, buffer);
        index = next;
    }
    WriteRxSwIndex(adapter, index);
}

VOID PostReceiveBuffers(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    AcquireAdapterLock(&adapter->Lock);
    RefillReceiveRing(adapter);
    ReleaseAdapterLock(&adapter->Lock);
}

// A frame whose length the card reports outside what an Ethernet frame in
// this slot can be: longer would let a protocol read past the mapped buffer,
// shorter would hand it a frame without a whole header.
static BOOLEAN FrameLengthUsable(ULONG length)
{
    return length >= ETHERNET_HEADER_SIZE && length <= MAX_FRAME_SIZE ? TRUE : FALSE;
}

// Whether the card has filled the slot RxNextIndex (lock held): the card's
// index may lie up to the slot after the last buffer posted.
static BOOLEAN ReceivedFrameWaiting(Adapter* adapter, ULONG* trusted)
{
    return CardIndexAhead(adapter, RX_HW_INDEX, adapter->RxNextIndex,
                          adapter->RxPostedQueue.Count, &adapter->RcvError, trusted);
}

// One batch of received frames, taken off the ring under the lock.
struct ReceiveBatch {
    PNDIS_PACKET Packets[RECEIVE_BATCH];
    USHORT Lengths[RECEIVE_BATCH];  // at most MAX_FRAME_SIZE
    ULONG Count;       // packets to indicate
    ULONG FirstShort;  // the first marked for copying; Count when none is
};

// Takes the frames the card has filled, up to a batch (lock held). Frames
// that arrive meanwhile are taken too: RX_HW_INDEX is read after each one.
// Every frame taken leaves the ring here, so a reset that takes the lock
// later finds none of them. TRUE when the batch filled before the ring ran
// out.
static BOOLEAN TakeReceivedFrames(Adapter* adapter, ReceiveBatch* batch)
{
    ULONG count = 0;
    ULONG counted = 0;  // good frames, indicated or not
    ULONG lowWater = ReceiveLowWater(adapter);
    ULONG firstShort = RECEIVE_BATCH;
    BOOLEAN full = FALSE;
    ULONG trusted = (ULONG)-1;  // none yet: no value an 8-bit register reads
    BOOLEAN wanted = adapter->PacketFilter != 0 ? TRUE : FALSE;  // as the pass begins
    while (ReceivedFrameWaiting(adapter, &trusted)) {
        if (count == RECEIVE_BATCH) {
            full = TRUE;
            break;
        }
        FrameBuffer* buffer = RemoveHead(&adapter->RxPostedQueue);
        ULONG length =
            ReadDescriptorWord(adapter->RxRing, adapter->RxNextIndex, DESCRIPTOR_CONTROL) &
            RX_STATUS_LENGTH_MASK;
        adapter->RxNextIndex = NEXT_RING_INDEX(adapter->RxNextIndex);
        if (!FrameLengthUsable(length)) {
            Append(&adapter->RxFreeQueue, buffer);
            CounterIncrement(&adapter->RcvError);
            continue;
        }
        counted += 1;
        if (!wanted) {
            Append(&adapter->RxFreeQueue, buffer);  // nobody wants frames
            continue;
        }
        // Marked for copying when, its buffer gone from the ring, few are
        // left on the ring and free: the protocol copies the frame during the
        // indication and the buffer comes back at once. While the lock is
        // held only the frames taken change that number, and only down, so
        // the marked packets are the batch's tail.
        PNDIS_PACKET packet = buffer->Packet;
        if (adapter->RxPostedQueue.Count + adapter->RxFreeQueue.Count < lowWater) {
            NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_RESOURCES);
            if (firstShort == RECEIVE_BATCH) {
                firstShort = count;
            }
        } else {
            NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_SUCCESS);
        }
        batch->Packets[count] = packet;
        batch->Lengths[count] = (USHORT)length;
        count += 1;
    }
    if (counted != 0) {
        CounterAdd(&adapter->RcvOk, counted);
    }
    batch->Count = count;
    batch->FirstShort = firstShort < count ? firstShort : count;
    return full;
}

// Indicates one batch. The lock, held once on entry, is released once for
// the whole batch: around the length adjustments and around the indication,
// since a protocol may take its own lock in its receive handler and hold it
// while it sends, which would otherwise deadlock against a sender on another
// processor waiting for the adapter lock. The packets marked for copying
// belong to the driver again when the call returns; which they are was noted
// before the call, since a returned packet may be reused before it ends.
static VOID IndicateBatch(Adapter* adapter, ReceiveBatch* batch)
{
    adapter->RxPassesIndicating += 1;
    ReleaseAdapterLock(&adapter->Lock);
    for (ULONG i = 0; i < batch->Count; ++i) {
        FrameBuffer* buffer = *ReceiveBufferLink(batch->Packets[i]);
        NdisAdjustBufferLength(buffer->Buffer, batch->Lengths[i]);
        // The packet's cached length must follow the buffer's, or a protocol
        // that asks for the packet's total length reads the previous frame's.
        NdisRecalculatePacketCounts(batch->Packets[i]);
    }
    NdisMIndicateReceivePacket(adapter->MiniportAdapterHandle, batch->Packets, batch->Count);
    AcquireAdapterLock(&adapter->Lock);
    adapter->RxPassesIndicating -= 1;
    for (ULONG i = batch->FirstShort; i < batch->Count; ++i) {
        Append(&adapter->RxFreeQueue, *ReceiveBufferLink(batch->Packets[i]));
    }
}

VOID ProcessReceives(Adapter* adapter)
{
    // Held once: the lock is really dropped around each batch's indication.
    ZR48_ASSERT(AdapterLockHeldOnce(&adapter->Lock));
    ULONG generation = adapter->RingGeneration;
    ReceiveBatch batch;
    for (;;) {
        BOOLEAN full = TakeReceivedFrames(adapter, &batch);
        if (batch.Count != 0) {
            IndicateBatch(adapter, &batch);
        }
        if (!full || adapter->RingGeneration != generation) {
            return;  // the ring is drained, or a reset or halt took it meanwhile
        }
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
    // halt left it. While a receive pass is indicating, the pass posts the
    // buffer when it has taken back its own packets, with every other one
    // returned meanwhile: one post, and one write of RX_SW_INDEX, for the
    // batch rather than one for each packet.
    if (!adapter->Halting && adapter->RxPassesIndicating == 0) {
        RefillReceiveRing(adapter);
    }
    ReleaseAdapterLock(&adapter->Lock);
}
