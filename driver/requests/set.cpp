#include "requests/requests.h"

// The packet filter bits the adapter accepts: directed, multicast, all
// multicast, broadcast and promiscuous.
#define ACCEPTED_PACKET_FILTER                                                   \
    (NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST |                     \
     NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_BROADCAST |                \
     NDIS_PACKET_TYPE_PROMISCUOUS)

static NDIS_STATUS SetPacketFilter(Adapter* adapter, PVOID buffer, ULONG length, PULONG bytesRead)
{
    if (length != 4) {
        return NDIS_STATUS_INVALID_LENGTH;
    }
    ULONG filter;
    NdisMoveMemory(&filter, buffer, sizeof(filter));
    if (filter & ~(ULONG)ACCEPTED_PACKET_FILTER) {
        return NDIS_STATUS_NOT_SUPPORTED;
    }
    // One byte-wide store: the receive path sees the old or the new filter.
    adapter->PacketFilter = (UCHAR)filter;
    *bytesRead = 4;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS SetMulticastList(Adapter* adapter, PVOID buffer, ULONG length,
                                    PULONG bytesRead)
{
    if (length % ETHERNET_ADDRESS_LENGTH != 0) {
        return NDIS_STATUS_INVALID_LENGTH;
    }
    if (length > sizeof(adapter->MulticastList)) {
        return NDIS_STATUS_MULTICAST_FULL;
    }
    *bytesRead = length;
    NdisMoveMemory(adapter->MulticastList, buffer, length);
    adapter->MulticastCount = length / ETHERNET_ADDRESS_LENGTH;
    return NDIS_STATUS_SUCCESS;
}

// Dispatch level, no lock; always completes at once. Nothing is programmed
// into the card: the objects live in the adapter.
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         PULONG BytesRead, PULONG BytesNeeded)
{
    Adapter* adapter = (Adapter*)MiniportAdapterContext;
    ZR48_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    ZR48_ASSERT(!AdapterLockHeld(&adapter->Lock));
    *BytesRead = 0;
    *BytesNeeded = 0;
    switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
        return SetPacketFilter(adapter, InformationBuffer, InformationBufferLength, BytesRead);
    case OID_GEN_CURRENT_LOOKAHEAD:
        // Taken whatever its value; the lookahead is always the whole frame.
        if (InformationBufferLength != 4) {
            *BytesNeeded = 4;
            return NDIS_STATUS_INVALID_LENGTH;
        }
        *BytesRead = 4;
        return NDIS_STATUS_SUCCESS;
    case OID_802_3_MULTICAST_LIST:
        return SetMulticastList(adapter, InformationBuffer, InformationBufferLength, BytesRead);
    default:
        return NDIS_STATUS_INVALID_OID;
    }
}
