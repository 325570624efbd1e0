// The transmit path. Every frame is copied into one of the driver's own
// slots (the card never reads a protocol's memory), described by one
// descriptor on the transmit ring, and its packet completed when the card has
// passed the descriptor. Packets without a free slot wait in arrival order.
#pragma once

#include "adapter/adapter.h"

VOID NTAPI MiniportSendPackets(NDIS_HANDLE MiniportAdapterContext, PPNDIS_PACKET PacketArray,
                               UINT NumberOfPackets);
// The caller holds the adapter lock.
VOID StartTransmit(Adapter* adapter);
// The caller holds the adapter lock once. Takes every frame the card has
// passed off the ring, then completes their packets, in ring order, after one
// release of the lock.
VOID CompleteTransmits(Adapter* adapter);
// The caller holds the adapter lock once (reset).
VOID AbortTransmits(Adapter* adapter);
// Halt: every send the driver holds, on the ring or waiting, is completed as
// aborted. Takes the lock itself; completes without it.
VOID AbortAllSends(Adapter* adapter);
// The hang check's look at the transmitter (lock held): TRUE when frames
// have been on the ring since the previous look and the card has passed none
// of them since.
BOOLEAN TransmitterStalled(Adapter* adapter);
