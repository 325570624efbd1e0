// Interrupt service, deferred processing and reset.
#pragma once

#include "adapter/adapter.h"

VOID NTAPI MiniportIsr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                       NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI MiniportHandleInterrupt(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
