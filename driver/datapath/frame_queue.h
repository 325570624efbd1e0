// Frame queues: intrusive first-in first-out queues of frame buffers or of
// NDIS packets. Links live in the elements (a FrameBuffer's Next, a packet's
// MiniportReserved[0]), so queueing never allocates. No locking of their own:
// the adapter's queues are used under the adapter lock.
#pragma once

#include "platform.h"

// One 1516-byte slot of the shared DMA block.
struct FrameBuffer {
    PUCHAR VirtualAddress;   // first byte of the slot
    ULONG PhysicalAddress;   // low 32 bits of the slot's bus address
    PNDIS_PACKET Packet;     // receive: the slot's packet; transmit: packet on the ring
    FrameBuffer* Next;       // queue link, null outside a queue
    PNDIS_BUFFER Buffer;     // receive: the packet's one buffer, mapping the slot
};

template <typename Element>
struct FrameQueue {
    Element* Head;  // null when empty
    Element* Tail;  // null when empty
    ULONG Count;
};

typedef FrameQueue<FrameBuffer> FrameBufferQueue;
typedef FrameQueue<NDIS_PACKET> PacketQueue;

// The link of each element kind.
inline FrameBuffer** QueueLink(FrameBuffer* buffer) { return &buffer->Next; }
inline PNDIS_PACKET* QueueLink(PNDIS_PACKET packet)
{
    return (PNDIS_PACKET*)&packet->MiniportReserved[0];
}

// A packet arrives from NDIS with whatever its reserved area holds; a frame
// buffer's link is always null outside a queue.
inline VOID ClearLinkOnAppend(FrameBuffer*) {}
inline VOID ClearLinkOnAppend(PNDIS_PACKET packet) { *QueueLink(packet) = NULL; }

template <typename Element>
VOID FrameQueueInit(FrameQueue<Element>* queue)
{
    queue->Head = NULL;
    queue->Tail = NULL;
    queue->Count = 0;
}

template <typename Element>
VOID Append(FrameQueue<Element>* queue, Element* element)
{
    ClearLinkOnAppend(element);
    if (queue->Tail != NULL) {
        *QueueLink(queue->Tail) = element;
    }
    queue->Tail = element;
    if (queue->Head == NULL) {
        queue->Head = element;
    }
    queue->Count += 1;
}

// The queue must not be empty.
template <typename Element>
Element* RemoveHead(FrameQueue<Element>* queue)
{
    Element* element = queue->Head;
    queue->Head = *QueueLink(element);
    if (element == queue->Tail) {
        queue->Tail = NULL;
    }
    *QueueLink(element) = NULL;
    queue->Count -= 1;
    return element;
}

// Allocates a node for one slot and appends it; null (queue unchanged) when
// pool memory is exhausted. The caller holds the adapter lock.
FrameBuffer* CreateFrameBuffer(FrameBufferQueue* queue, PUCHAR virtualAddress,
                               ULONG physicalAddress, PNDIS_PACKET packet);
// Removes and frees every node; slots and packets are not touched.
VOID FreeQueuedFrameBuffers(FrameBufferQueue* queue);
