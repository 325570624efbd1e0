// Frame buffers and the receive path. One shared DMA block holds every frame
// slot (1516 bytes each, transmit slots first); each receive slot has a
// permanent packet with one buffer mapping its first 1514 bytes. Filled
// receive buffers are indicated in one batch per pass and posted again when
// the protocol returns them.
#pragma once

#include "adapter/adapter.h"

// Packets indicated with one NdisMIndicateReceivePacket call at most.
#define RECEIVE_BATCH 128

// Takes the adapter lock itself (nested when the caller holds it).
VOID PostReceiveBuffers(Adapter* adapter);
// The same for a caller that holds the adapter lock.
VOID RefillReceiveRing(Adapter* adapter);
// The caller holds the adapter lock once.
VOID ProcessReceives(Adapter* adapter);
// The caller holds the adapter lock.
VOID ResetReceiveRing(Adapter* adapter);
VOID NTAPI MiniportReturnPacket(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet);

// A receive packet's frame buffer, kept in MiniportReserved[1].
inline FrameBuffer** ReceiveBufferLink(PNDIS_PACKET packet)
{
    return (FrameBuffer**)&packet->MiniportReserved[sizeof(PVOID)];
}

// The low-resource threshold: below this many receive buffers on the ring or
// free, further frames are indicated for copying at once.
inline ULONG ReceiveLowWater(Adapter* adapter) { return (adapter->RcvQueueLen + 2) / 3; }
