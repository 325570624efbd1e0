#include "datapath/frame_buffers.h"

#include "card/registers.h"
#include "datapath/pool_memory.h"
#include "datapath/receive.h"

// Makes the transmit slots' nodes, from slot 0 on. FALSE when one fails.
static BOOLEAN CreateTransmitBuffers(Adapter* adapter, PUCHAR* virtualAddress,
                                     ULONG* physicalAddress)
{
    for (ULONG i = 0; i < adapter->XmtQueueLen; ++i) {
        AcquireAdapterLock(&adapter->Lock);
        FrameBuffer* node =
            CreateFrameBuffer(&adapter->TxFreeQueue, *virtualAddress, *physicalAddress, NULL);
        ReleaseAdapterLock(&adapter->Lock);
        if (node == NULL) {
            return FALSE;
        }
        *virtualAddress += FRAME_SLOT_SIZE;
        *physicalAddress += FRAME_SLOT_SIZE;
    }
    return TRUE;
}

// Makes one receive slot's packet, buffer and node. FALSE when one fails.
static BOOLEAN CreateReceiveBuffer(Adapter* adapter, PUCHAR virtualAddress, ULONG physicalAddress)
{
    NDIS_STATUS status;
    PNDIS_PACKET packet;
    NdisAllocatePacket(&status, &packet, adapter->PacketPool);
    if (status != NDIS_STATUS_SUCCESS) {
        return FALSE;
    }
    PNDIS_BUFFER buffer;
    NdisAllocateBuffer(&status, &buffer, adapter->BufferPool, virtualAddress, MAX_FRAME_SIZE);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisFreePacket(packet);
        return FALSE;
    }
    NdisChainBufferAtFront(packet, buffer);
    AcquireAdapterLock(&adapter->Lock);
    FrameBuffer* node =
        CreateFrameBuffer(&adapter->RxFreeQueue, virtualAddress, physicalAddress, packet);
    ReleaseAdapterLock(&adapter->Lock);
    if (node == NULL) {
        NdisFreeBuffer(buffer);
        NdisFreePacket(packet);
        return FALSE;
    }
    NDIS_SET_PACKET_HEADER_SIZE(packet, ETHERNET_HEADER_SIZE);
    node->Buffer = buffer;
    *ReceiveBufferLink(packet) = node;
    return TRUE;
}

NDIS_STATUS AllocateFrameBuffers(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    NDIS_STATUS status;
    NdisAllocatePacketPool(&status, &adapter->PacketPool, adapter->RcvQueueLen, 16);
    if (status != NDIS_STATUS_SUCCESS) {
        FreeFrameBuffers(adapter);
        return status;
    }
    adapter->PacketPoolAllocated = TRUE;
    NdisAllocateBufferPool(&status, &adapter->BufferPool, adapter->RcvQueueLen);
    if (status != NDIS_STATUS_SUCCESS) {
        FreeFrameBuffers(adapter);
        return status;
    }
    adapter->BufferPoolAllocated = TRUE;

    PUCHAR virtualAddress = (PUCHAR)adapter->SharedMemory;
    ULONG physicalAddress = NdisGetPhysicalAddressLow(adapter->SharedMemoryPhysical);
    if (!CreateTransmitBuffers(adapter, &virtualAddress, &physicalAddress)) {
        FreeFrameBuffers(adapter);
        return NDIS_STATUS_RESOURCES;
    }
    for (ULONG i = 0; i < adapter->RcvQueueLen; ++i) {
        if (!CreateReceiveBuffer(adapter, virtualAddress, physicalAddress)) {
            FreeFrameBuffers(adapter);
            return NDIS_STATUS_RESOURCES;
        }
        virtualAddress += FRAME_SLOT_SIZE;
        physicalAddress += FRAME_SLOT_SIZE;
    }
    return NDIS_STATUS_SUCCESS;
}

VOID FreeFrameBuffers(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    AcquireAdapterLock(&adapter->Lock);
    FreeQueuedFrameBuffers(&adapter->TxBusyQueue);
    FreeQueuedFrameBuffers(&adapter->TxFreeQueue);
    ReleaseAdapterLock(&adapter->Lock);

    // Every receive buffer is free here: none was posted yet on the
    // start-up failure path, and the stop path reset the ring first.
    for (;;) {
        AcquireAdapterLock(&adapter->Lock);
        FrameBuffer* node =
            adapter->RxFreeQueue.Head != NULL ? RemoveHead(&adapter->RxFreeQueue) : NULL;
        ReleaseAdapterLock(&adapter->Lock);
        if (node == NULL) {
            break;
        }
        PNDIS_PACKET packet = node->Packet;
        FreePoolMemory(node);
        PNDIS_BUFFER buffer;
        NdisQueryPacket(packet, NULL, NULL, &buffer, NULL);
        NdisFreeBuffer(buffer);
        NdisFreePacket(packet);
    }
    if (adapter->BufferPoolAllocated) {
        NdisFreeBufferPool(adapter->BufferPool);
        adapter->BufferPoolAllocated = FALSE;
    }
    if (adapter->PacketPoolAllocated) {
        NdisFreePacketPool(adapter->PacketPool);
        adapter->PacketPoolAllocated = FALSE;
    }
}

