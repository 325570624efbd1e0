#include "adapter/configuration.h"

#include "card/line_code.h"
#include "card/registers.h"

// Reads an integer parameter; FALSE (value untouched) when it cannot be read.
static BOOLEAN ReadInteger(NDIS_HANDLE configurationHandle, NDIS_STRING* keyword,
                           NDIS_PARAMETER_TYPE type, ULONG* value)
{
    NDIS_STATUS status;
    PNDIS_CONFIGURATION_PARAMETER parameter;
    NdisReadConfiguration(&status, &parameter, configurationHandle, keyword, type);
    if (status != NDIS_STATUS_SUCCESS) {
        return FALSE;
    }
    if (parameter->ParameterType != NdisParameterInteger &&
        parameter->ParameterType != NdisParameterHexInteger) {
        return FALSE;
    }
    *value = parameter->ParameterData.IntegerData;
    return TRUE;
}

static VOID ReadFlag(NDIS_HANDLE configurationHandle, NDIS_STRING* keyword, BOOLEAN* flag)
{
    ULONG value;
    if (ReadInteger(configurationHandle, keyword, NdisParameterInteger, &value)) {
        *flag = value != 0 ? TRUE : FALSE;
    }
}

// Reads PCI configuration space; FALSE when the bus gave fewer bytes.
static BOOLEAN ReadPci(Adapter* adapter, ULONG slot, ULONG offset, PVOID buffer, ULONG length)
{
    NdisZeroMemory(buffer, length);
    return NdisReadPciSlotInformation(adapter->MiniportAdapterHandle, slot, offset, buffer,
                                      length) == length
               ? TRUE
               : FALSE;
}

static NDIS_STATUS ReadCardIdentity(Adapter* adapter, NDIS_HANDLE configurationHandle)
{
    NDIS_STRING slotKeyword = ZR48_NDIS_STRING("SlotNumber");
    ULONG slot = 0;
    if (ReadInteger(configurationHandle, &slotKeyword, NdisParameterHexInteger, &slot)) {
        slot &= 0xFFFF;
    }

    ULONG identity;
    if (!ReadPci(adapter, slot, PCI_ID_OFFSET, &identity, sizeof(identity)) ||
        identity != CARD_PCI_ID) {
        return NDIS_STATUS_FAILURE;
    }
    ULONG memoryBase;
    if (!ReadPci(adapter, slot, PCI_MEMORY_BAR_OFFSET, &memoryBase, sizeof(memoryBase))) {
        return NDIS_STATUS_FAILURE;
    }
    adapter->MemoryBase = memoryBase & ~(ULONG)0xF;  // the BAR's flag bits
    UCHAR interruptLine;
    if (!ReadPci(adapter, slot, PCI_INTERRUPT_LINE_OFFSET, &interruptLine,
                 sizeof(interruptLine))) {
        return NDIS_STATUS_FAILURE;
    }
    adapter->InterruptLine = interruptLine;
    if (adapter->InterruptLine == PCI_NO_INTERRUPT_LINE || adapter->MemoryBase == 0) {
        return NDIS_STATUS_FAILURE;
    }
    return NDIS_STATUS_SUCCESS;
}

// The first four letters of the keyword, as the error log's first data value
// shows them ("XmtQ", "RcvQ" in its bytes).
#define QUEUE_LOG_TRANSMIT ((ULONG)('X' | 'm' << 8 | 't' << 16 | 'Q' << 24))
#define QUEUE_LOG_RECEIVE ((ULONG)('R' | 'c' << 8 | 'v' << 16 | 'Q' << 24))

// The most buffers of either kind: eight rings' worth (a ring holds 127
// frames; receive buffers beyond it wait for the protocols to return theirs).
// The shared DMA block then stays under 3.2 MB.
#define QUEUE_LENGTH_LIMIT (8 * RING_SLOTS)

// A queue of no buffers would give an adapter that reports its link up and
// never sends, or never receives; a queue of millions would ask for gigabytes
// of contiguous DMA memory and packets, and fail to start or starve the
// machine. Such a value keeps the default, and the error log says so: the
// keyword, the value read, the value used.
static VOID ReadQueueLength(Adapter* adapter, NDIS_HANDLE configurationHandle,
                            NDIS_STRING* keyword, ULONG logTag, ULONG* length)
{
    ULONG value;
    if (!ReadInteger(configurationHandle, keyword, NdisParameterInteger, &value)) {
        return;
    }
    if (value == 0 || value > QUEUE_LENGTH_LIMIT) {
        NdisWriteErrorLogEntry(adapter->MiniportAdapterHandle,
                               NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 3, logTag, value,
                               *length);
        return;
    }
    *length = value;
}

static VOID ReadLineParameters(Adapter* adapter, NDIS_HANDLE configurationHandle)
{
    NDIS_STRING lineRateKeyword = ZR48_NDIS_STRING("LineRate");
    NDIS_STRING terminalTypeKeyword = ZR48_NDIS_STRING("TerminalType");
    NDIS_STRING configTypeKeyword = ZR48_NDIS_STRING("ConfigType");
    NDIS_STRING annexTypeKeyword = ZR48_NDIS_STRING("AnnexType");
    NDIS_STRING alwaysConnectedKeyword = ZR48_NDIS_STRING("AlwaysConnected");
    NDIS_STRING lineCodeKeyword = ZR48_NDIS_STRING("LineCode");
    NDIS_STRING crcKeyword = ZR48_NDIS_STRING("CRC");
    NDIS_STRING fillByteKeyword = ZR48_NDIS_STRING("FillByte");
    NDIS_STRING dataPolarityKeyword = ZR48_NDIS_STRING("DataPolarity");
    NDIS_STRING readBurstKeyword = ZR48_NDIS_STRING("ReadBurst");
    NDIS_STRING writeBurstKeyword = ZR48_NDIS_STRING("WriteBurst");
    NDIS_STRING xmtQueueLenKeyword = ZR48_NDIS_STRING("XmtQueueLen");
    NDIS_STRING rcvQueueLenKeyword = ZR48_NDIS_STRING("RcvQueueLen");
    ULONG value;

    // kbit/s to units of 8 kbit/s, a multiple of 4 units, kept to 10 bits.
    if (ReadInteger(configurationHandle, &lineRateKeyword, NdisParameterInteger, &value)) {
        adapter->LineRate = (value >> 3) & 0x3FC;
    }
    ReadFlag(configurationHandle, &terminalTypeKeyword, &adapter->TerminalType);
    ReadFlag(configurationHandle, &configTypeKeyword, &adapter->ConfigType);
    ReadInteger(configurationHandle, &annexTypeKeyword, NdisParameterInteger, &adapter->AnnexType);
    ReadFlag(configurationHandle, &alwaysConnectedKeyword, &adapter->AlwaysConnected);
    // 1..4 select codes 0..3; any other value lets the line rate choose.
    if (ReadInteger(configurationHandle, &lineCodeKeyword, NdisParameterInteger, &value)) {
        adapter->LineCode = (value >= 1 && value <= 4) ? value - 1
                                                       : RateDerivedLineCode(adapter->LineRate);
    }
    ReadFlag(configurationHandle, &crcKeyword, &adapter->Crc);
    ReadFlag(configurationHandle, &fillByteKeyword, &adapter->FillByte);
    ReadFlag(configurationHandle, &dataPolarityKeyword, &adapter->DataPolarity);
    ReadFlag(configurationHandle, &readBurstKeyword, &adapter->ReadBurst);
    ReadFlag(configurationHandle, &writeBurstKeyword, &adapter->WriteBurst);
    ReadQueueLength(adapter, configurationHandle, &xmtQueueLenKeyword, QUEUE_LOG_TRANSMIT,
                    &adapter->XmtQueueLen);
    ReadQueueLength(adapter, configurationHandle, &rcvQueueLenKeyword, QUEUE_LOG_RECEIVE,
                    &adapter->RcvQueueLen);
}

static UCHAR HexDigitValue(WCHAR c)
{
    if (c >= '0' && c <= '9') {
        return (UCHAR)(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return (UCHAR)(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return (UCHAR)(c - 'A' + 10);
    }
    return 0;  // anything else counts as 0
}

#define NETWORK_ADDRESS_CHARACTERS (2 * ETHERNET_ADDRESS_LENGTH)

// Takes the configured address: exactly 12 characters, two per byte, high
// nibble first. Any other string, or a value that is not a string, is ignored.
static VOID ParseNetworkAddress(Adapter* adapter, NDIS_HANDLE configurationHandle)
{
    NDIS_STRING keyword = ZR48_NDIS_STRING("NetworkAddress");
    NDIS_STATUS status;
    PNDIS_CONFIGURATION_PARAMETER parameter;
    NdisReadConfiguration(&status, &parameter, configurationHandle, &keyword, NdisParameterString);
    if (status != NDIS_STATUS_SUCCESS || parameter->ParameterType != NdisParameterString ||
        parameter->ParameterData.StringData.Length != NETWORK_ADDRESS_CHARACTERS * sizeof(WCHAR)) {
        return;
    }
    const WCHAR* text = parameter->ParameterData.StringData.Buffer;
    for (ULONG i = 0; i < NETWORK_ADDRESS_CHARACTERS; ++i) {
        UCHAR nibble = HexDigitValue(text[i]);
        adapter->NetworkAddress[i / 2] |= (i % 2 == 0) ? (UCHAR)(nibble << 4) : nibble;
    }
}

// A locally chosen address 00:FF:xx:xx:xx:xx from the seeded generator,
// written back so that the adapter keeps it on the next start.
static VOID GenerateNetworkAddress(Adapter* adapter, NDIS_HANDLE configurationHandle)
{
    static const char HexDigits[] = "0123456789ABCDEF";
    ULONG first = (ULONG)rand();
    ULONG second = (ULONG)rand();
    adapter->NetworkAddress[0] = 0x00;
    adapter->NetworkAddress[1] = 0xFF;
    adapter->NetworkAddress[2] = (UCHAR)first;
    adapter->NetworkAddress[3] = (UCHAR)(first >> 8);
    adapter->NetworkAddress[4] = (UCHAR)second;
    adapter->NetworkAddress[5] = (UCHAR)(second >> 8);

    WCHAR text[NETWORK_ADDRESS_CHARACTERS];
    for (ULONG i = 0; i < ETHERNET_ADDRESS_LENGTH; ++i) {
        text[2 * i] = (WCHAR)HexDigits[adapter->NetworkAddress[i] >> 4];
        text[2 * i + 1] = (WCHAR)HexDigits[adapter->NetworkAddress[i] & 0xF];
    }
    NDIS_STRING keyword = ZR48_NDIS_STRING("NetworkAddress");
    NDIS_CONFIGURATION_PARAMETER parameter;
    NdisZeroMemory(&parameter, sizeof(parameter));
    parameter.ParameterType = NdisParameterString;
    parameter.ParameterData.StringData.Length = sizeof(text);
    parameter.ParameterData.StringData.MaximumLength = sizeof(text);
    parameter.ParameterData.StringData.Buffer = text;
    // A failed write only means the next start generates another address.
    NDIS_STATUS status;
    NdisWriteConfiguration(&status, configurationHandle, &keyword, &parameter);
}

static BOOLEAN AddressIsZero(const UCHAR* address)
{
    for (ULONG i = 0; i < ETHERNET_ADDRESS_LENGTH; ++i) {
        if (address[i] != 0) {
            return FALSE;
        }
    }
    return TRUE;
}

NDIS_STATUS ReadAdapterConfiguration(Adapter* adapter, NDIS_HANDLE configurationHandle)
{
    NDIS_STATUS status = ReadCardIdentity(adapter, configurationHandle);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    ReadLineParameters(adapter, configurationHandle);

    NdisZeroMemory(adapter->NetworkAddress, sizeof(adapter->NetworkAddress));
    ParseNetworkAddress(adapter, configurationHandle);
    if (AddressIsZero(adapter->NetworkAddress)) {
        // An all-zero configured address counts as none.
        GenerateNetworkAddress(adapter, configurationHandle);
    }
    return NDIS_STATUS_SUCCESS;
}
