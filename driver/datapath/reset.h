// Reset: restarts the data path alone (rings, queues, transfers), not the
// transceiver, and completes synchronously.
#pragma once

#include "adapter/adapter.h"

NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
