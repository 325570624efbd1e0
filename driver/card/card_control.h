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
