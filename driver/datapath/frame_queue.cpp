#include "datapath/frame_queue.h"

#include "datapath/pool_memory.h"

FrameBuffer* CreateFrameBuffer(FrameBufferQueue* queue, PUCHAR virtualAddress,
                               ULONG physicalAddress, PNDIS_PACKET packet)
{
    FrameBuffer* node = (FrameBuffer*)AllocatePoolMemory(sizeof(FrameBuffer));
    if (node == NULL) {
        return NULL;
    }
    node->VirtualAddress = virtualAddress;
    node->PhysicalAddress = physicalAddress;
    node->Packet = packet;
    node->Next = NULL;
    node->Buffer = NULL;
    Append(queue, node);
    return node;
}

VOID FreeQueuedFrameBuffers(FrameBufferQueue* queue)
{
    while (queue->Head != NULL) {
        FreePoolMemory(RemoveHead(queue));
    }
}
