// Register operations on the card. None takes a lock or tests Registers:
// callers use them only while the window is mapped, under the lock their own
// path names.
#pragma once

#include "adapter/adapter.h"

// CR1 |= line hold: no frames pass while the line is not up.
VOID HoldLine(Adapter* adapter);
// CR1 &= ~line hold.
VOID ReleaseLine(Adapter* adapter);
// Transmitter and receiver off (other CR0 bits kept), then HoldLine.
VOID DisableTransfers(Adapter* adapter);
// The four ring indexes to 0, then transmitter and receiver on.
VOID EnableTransfers(Adapter* adapter);

// The interrupt mask: each value the driver ever writes has one routine.
// IMR = 0: nothing reaches the interrupt line.
VOID MaskInterrupts(Adapter* adapter);
// IMR = every source the deferred routine serves, and the counted card event.
VOID UnmaskInterrupts(Adapter* adapter);
// IMR = the mailbox alone: the transceiver's bring-up answers.
VOID UnmaskMailboxOnly(Adapter* adapter);

// CR0 = 0 (controller held in reset, transfers off), then ISR = 0xFF
// (everything pending acknowledged).
VOID StopCard(Adapter* adapter);
// MaskInterrupts, then StopCard: nothing the card does reaches the system.
VOID SilenceCard(Adapter* adapter);
