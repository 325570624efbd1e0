// Frame buffers: the shared DMA block carved into 1516-byte slots, transmit
// slots first, one FrameBuffer node per slot, and for each receive slot a
// permanent packet with one buffer mapping the slot's first 1514 bytes. Made
// once at start-up; afterwards they only move between the adapter's queues.
#pragma once

#include "adapter/adapter.h"

// Before the interrupt is connected; on failure frees what it made.
NDIS_STATUS AllocateFrameBuffers(Adapter* adapter);
// After the interrupt is disconnected, with every receive buffer free: frees
// only what is there.
VOID FreeFrameBuffers(Adapter* adapter);
