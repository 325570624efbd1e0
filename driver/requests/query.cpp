#include "adapter/counters.h"
#include "card/link.h"
#include "requests/requests.h"

static const NDIS_OID SupportedOids[SUPPORTED_OID_COUNT] = {
    OID_GEN_SUPPORTED_LIST,       OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,      OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,   OID_GEN_MAC_OPTIONS,
    OID_GEN_MEDIA_CONNECT_STATUS, OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE, OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,  OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_DESCRIPTION,   OID_GEN_VENDOR_ID,
    OID_GEN_DRIVER_VERSION,       OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_VENDOR_DRIVER_VERSION, OID_GEN_PHYSICAL_MEDIUM,
    OID_GEN_TRANSMIT_QUEUE_LENGTH, OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,               OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,            OID_GEN_RCV_NO_BUFFER,
    OID_802_3_PERMANENT_ADDRESS,  OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,     OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT, OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS, OID_ZR48_GET_STATISTICS,
    OID_ZR48_CLEAR_STATISTICS,
};

static const char VendorDescription[] = "Morvane ZR48-PCI SHDSL Modem";

#define MEDIA_MAX_FRAME 1500
#define MEDIA_MAX_TOTAL 1514
#define MAXIMUM_SEND_PACKETS 32
#define TRANSMIT_BLOCK_SIZE 12
#define TRANSMIT_QUEUE_LENGTH 128
#define VENDOR_DRIVER_VERSION 0x0001000A  // 1.10
#define NDIS_VERSION_50 0x0500
#define MAC_OPTIONS                                                                  \
    (NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_TRANSFERS_NOT_PEND |      \
     NDIS_MAC_OPTION_NO_LOOPBACK | NDIS_MAC_OPTION_FULL_DUPLEX)

// One answer: its bytes, its full length L and the shortest buffer M taken.
struct Answer {
    NDIS_STATUS Status;
    const VOID* Source;
    ULONG FullLength;
    ULONG MinimumLength;
    ULONGLONG Scratch;  // integer answers, little-endian from its start
};

static VOID AnswerInteger(Answer* answer, ULONGLONG value, ULONG length, ULONG minimum)
{
    answer->Scratch = value;
    answer->Source = &answer->Scratch;
    answer->FullLength = length;
    answer->MinimumLength = minimum;
}

static VOID AnswerBytes(Answer* answer, const VOID* source, ULONG length)
{
    answer->Source = source;
    answer->FullLength = length;
    answer->MinimumLength = length;
}

// Answers from constants. FALSE when the OID is not one of them.
static BOOLEAN AnswerConstant(NDIS_OID oid, Answer* answer)
{
    switch (oid) {
    case OID_GEN_HARDWARE_STATUS: AnswerInteger(answer, NdisHardwareStatusReady, 4, 4); break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE: AnswerInteger(answer, NdisMedium802_3, 4, 4); break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_MAXIMUM_FRAME_SIZE:
    case OID_GEN_CURRENT_LOOKAHEAD: AnswerInteger(answer, MEDIA_MAX_FRAME, 4, 4); break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
    case OID_GEN_RECEIVE_BUFFER_SPACE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
    case OID_GEN_MAXIMUM_TOTAL_SIZE: AnswerInteger(answer, MEDIA_MAX_TOTAL, 4, 4); break;
    case OID_GEN_TRANSMIT_BLOCK_SIZE: AnswerInteger(answer, TRANSMIT_BLOCK_SIZE, 4, 4); break;
    case OID_GEN_DRIVER_VERSION: AnswerInteger(answer, NDIS_VERSION_50, 2, 2); break;
    case OID_GEN_MAC_OPTIONS: AnswerInteger(answer, MAC_OPTIONS, 4, 4); break;
    case OID_GEN_MAXIMUM_SEND_PACKETS: AnswerInteger(answer, MAXIMUM_SEND_PACKETS, 4, 4); break;
    case OID_GEN_VENDOR_DRIVER_VERSION: AnswerInteger(answer, VENDOR_DRIVER_VERSION, 4, 4); break;
    case OID_GEN_PHYSICAL_MEDIUM: AnswerInteger(answer, NdisPhysicalMediumDSL, 4, 4); break;
    case OID_GEN_TRANSMIT_QUEUE_LENGTH: AnswerInteger(answer, TRANSMIT_QUEUE_LENGTH, 4, 4); break;
    case OID_802_3_MAXIMUM_LIST_SIZE: AnswerInteger(answer, MULTICAST_LIST_SIZE, 4, 4); break;
    case OID_GEN_RCV_NO_BUFFER:
    case OID_802_3_RCV_ERROR_ALIGNMENT:
    case OID_802_3_XMIT_ONE_COLLISION:
    case OID_802_3_XMIT_MORE_COLLISIONS: AnswerInteger(answer, 0, 4, 4); break;
    case OID_GEN_SUPPORTED_LIST: AnswerBytes(answer, SupportedOids, sizeof(SupportedOids)); break;
    case OID_GEN_VENDOR_DESCRIPTION:
        AnswerBytes(answer, VendorDescription, sizeof(VendorDescription));
        break;
    default: return FALSE;
    }
    return TRUE;
}

// Answers from the adapter's state. FALSE when the OID is not one of them.
static BOOLEAN AnswerFromAdapter(Adapter* adapter, NDIS_OID oid, Answer* answer)
{
    switch (oid) {
    case OID_GEN_LINK_SPEED: AnswerInteger(answer, adapter->LineRate * 80, 4, 4); break;  // 100 bit/s
    case OID_GEN_MEDIA_CONNECT_STATUS:
        AnswerInteger(answer,
                      adapter->AlwaysConnected || LinkStateOf(adapter) == LINK_STATE_UP
                          ? NdisMediaStateConnected
                          : NdisMediaStateDisconnected,
                      4, 4);
        break;
    case OID_GEN_VENDOR_ID: {
        const UCHAR* address = adapter->NetworkAddress;
        AnswerInteger(answer, (ULONG)address[1] << 8 | (ULONG)address[2] << 16, 4, 4);
        break;
    }
    case OID_GEN_XMIT_OK: AnswerInteger(answer, CounterRead(&adapter->XmitOk), 8, 4); break;
    case OID_GEN_RCV_OK: AnswerInteger(answer, CounterRead(&adapter->RcvOk), 8, 4); break;
    case OID_GEN_XMIT_ERROR: AnswerInteger(answer, CounterRead(&adapter->XmitError), 8, 4); break;
    case OID_GEN_RCV_ERROR: AnswerInteger(answer, CounterRead(&adapter->RcvError), 8, 4); break;
    case OID_802_3_PERMANENT_ADDRESS:
    case OID_802_3_CURRENT_ADDRESS:
        AnswerBytes(answer, adapter->NetworkAddress, ETHERNET_ADDRESS_LENGTH);
        break;
    case OID_802_3_MULTICAST_LIST:
        AnswerBytes(answer, adapter->MulticastList,
                    adapter->MulticastCount * ETHERNET_ADDRESS_LENGTH);
        break;
    default: return FALSE;
    }
    return TRUE;
}

// Dispatch level, no lock. Answers at once, except the private statistics
// requests, which can stay pending.
NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                           PVOID InformationBuffer,
                                           ULONG InformationBufferLength, PULONG BytesWritten,
                                           PULONG BytesNeeded)
{
    Adapter* adapter = (Adapter*)MiniportAdapterContext;
    ZR48_ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    ZR48_ASSERT(!AdapterLockHeld(&adapter->Lock));
    Answer answer;
    answer.Status = NDIS_STATUS_SUCCESS;
    AnswerInteger(&answer, 0, 4, 4);
    if (Oid == OID_ZR48_GET_STATISTICS) {
        answer.Status = QueryStatistics(adapter, InformationBuffer, InformationBufferLength,
                                        BytesWritten, BytesNeeded, &answer.FullLength,
                                        &answer.MinimumLength);
    } else if (Oid == OID_ZR48_CLEAR_STATISTICS) {
        answer.Status = ClearStatistics(adapter, InformationBuffer, InformationBufferLength,
                                        BytesWritten, BytesNeeded, &answer.FullLength);
    } else if (!AnswerConstant(Oid, &answer) && !AnswerFromAdapter(adapter, Oid, &answer)) {
        // The packet filter is set only; it and anything else is not answered.
        answer.Status = NDIS_STATUS_INVALID_OID;
    }

    if (answer.Status == NDIS_STATUS_PENDING) {
        return answer.Status;  // its counts are stored; a completion may have run already
    }
    *BytesNeeded = answer.FullLength;
    if (answer.Status != NDIS_STATUS_SUCCESS) {
        return answer.Status;
    }
    if (InformationBufferLength < answer.MinimumLength) {
        *BytesWritten = 0;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    ULONG length = InformationBufferLength < answer.FullLength ? InformationBufferLength
                                                                : answer.FullLength;
    NdisMoveMemory(InformationBuffer, answer.Source, length);
    *BytesWritten = length;
    return NDIS_STATUS_SUCCESS;
}
