// Interrupt service and deferred processing.
#pragma once

#include "adapter/adapter.h"

VOID NTAPI MiniportIsr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                       NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI MiniportHandleInterrupt(NDIS_HANDLE MiniportAdapterContext);
