// Configuration and card identity: finds the card on the PCI bus, checks it,
// takes its window address and interrupt line, reads the line and buffer
// parameters and settles the Ethernet address.
#pragma once

#include "adapter/adapter.h"

// NDIS_STATUS_SUCCESS, or NDIS_STATUS_FAILURE when the card is not ours or
// has no usable window or interrupt line. MiniportAdapterHandle must be set;
// the caller opens and closes the configuration handle.
NDIS_STATUS ReadAdapterConfiguration(Adapter* adapter, NDIS_HANDLE configurationHandle);
