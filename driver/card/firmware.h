// Firmware download and transceiver bring-up: the image file "zr48.bin" goes
// to the transceiver controller through the mailbox in pieces of 75 bytes,
// then a fixed sequence of commands configures the line from the adapter's
// parameters. Passive level, start-up only.
#pragma once

#include "adapter/adapter.h"

// How long the controller may take to post each bring-up stage code.
#define TRANSCEIVER_STAGE_TIMEOUT_MS 10000

NDIS_STATUS LoadFirmware(Adapter* adapter);
BOOLEAN StartTransceiver(Adapter* adapter, const UCHAR* image, ULONG imageLength);
BOOLEAN DownloadFirmware(Adapter* adapter, const UCHAR* image, ULONG imageLength);
// The line rate the transceiver is configured with, from the configured one.
ULONG SettleLineRate(Adapter* adapter);
