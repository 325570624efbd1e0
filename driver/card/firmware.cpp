#include "card/firmware.h"

#include "card/card_access.h"
#include "card/card_control.h"
#include "card/line_code.h"
#include "card/link.h"
#include "card/mailbox.h"

static ULONG Clamp(ULONG value, ULONG low, ULONG high)
{
    if (value < low) {
        return low;
    }
    return value > high ? high : value;
}

// Rates in units of 8 kbit/s.
ULONG SettleLineRate(Adapter* adapter)
{
    if (!adapter->ConfigType) {
        return Clamp(adapter->LineRate, 8, 752);  // 64..6016 kbit/s
    }
    if (adapter->TerminalType) {
        // 192..5696 kbit/s with annex 3, 192..2304 kbit/s otherwise.
        return Clamp(adapter->LineRate, 24, adapter->AnnexType == 3 ? 712 : 288);
    }
    return 24;  // a rate-adaptive remote end starts at 192 kbit/s
}

BOOLEAN DownloadFirmware(Adapter* adapter, const UCHAR* image, ULONG imageLength)
{
    UCHAR sum = 0;
    for (ULONG i = 0; i < imageLength; ++i) {
        sum = (UCHAR)(sum + image[i]);
    }
    UCHAR length[4] = {(UCHAR)imageLength, (UCHAR)(imageLength >> 8), (UCHAR)(imageLength >> 16),
                       (UCHAR)(imageLength >> 24)};
    if (!MailboxCommand(adapter, XCVR_DOWNLOAD_START, length, sizeof(length))) {
        return FALSE;
    }
    for (ULONG offset = 0; offset < imageLength;) {
        ULONG piece = imageLength - offset;
        if (piece > MB_MAX_PAYLOAD) {
            piece = MB_MAX_PAYLOAD;
        }
        if (!MailboxCommand(adapter, XCVR_DOWNLOAD_DATA, image + offset, piece)) {
            return FALSE;
        }
        offset += piece;
    }
    // The image bytes and this one sum to 0 modulo 256.
    UCHAR check = (UCHAR)(0x100 - sum);
    return MailboxCommand(adapter, XCVR_DOWNLOAD_END, &check, 1);
}

// Restarts the card: the run bit's 0-to-1 edge restarts the transceiver
// controller, which then announces itself in the mailbox.
static VOID RestartCard(Adapter* adapter)
{
    UnmaskMailboxOnly(adapter);
    StopCard(adapter);
    KeStallExecutionProcessor(2);
    WriteRegister(adapter, CR0, CR0_RUN);
    WriteRegister(adapter, CR1, CR1_LINE_HOLD);
    if (adapter->Crc) {
        WriteRegister(adapter, CR0, (UCHAR)(ReadRegister(adapter, CR0) | CR0_CRC));
    }
    if (adapter->FillByte) {
        WriteRegister(adapter, CR0, (UCHAR)(ReadRegister(adapter, CR0) | CR0_FILL_BYTE));
    }
    if (adapter->DataPolarity) {
        WriteRegister(adapter, CR0, (UCHAR)(ReadRegister(adapter, CR0) | CR0_DATA_POLARITY));
    }
    if (adapter->ReadBurst) {
        WriteRegister(adapter, CR1, (UCHAR)(ReadRegister(adapter, CR1) | CR1_READ_BURST));
    }
    if (adapter->WriteBurst) {
        WriteRegister(adapter, CR1, (UCHAR)(ReadRegister(adapter, CR1) | CR1_WRITE_BURST));
    }
}

// Waits for a bring-up stage code. The status byte alone decides: the wait's
// own result does not, so a code already posted counts after a timeout too.
static BOOLEAN AwaitStage(Adapter* adapter, UCHAR stage)
{
    NdisWaitEvent(&adapter->CommandEvent, TRANSCEIVER_STAGE_TIMEOUT_MS);
    return (ReadMailbox(adapter, MB_STATUS) & MB_STATUS_RESULT_MASK) == stage ? TRUE : FALSE;
}

static BOOLEAN Command1(Adapter* adapter, UCHAR command, UCHAR value)
{
    return MailboxCommand(adapter, command, &value, 1);
}

// The configuration commands that set up the line.
static BOOLEAN ConfigureLine(Adapter* adapter)
{
    if (!Command1(adapter, XCVR_TERMINAL_TYPE, adapter->TerminalType ? 0x01 : 0x09) ||
        !Command1(adapter, XCVR_LINE_OPTIONS, 0x63)) {
        return FALSE;
    }
    adapter->LineRate = SettleLineRate(adapter);
    UCHAR n = (UCHAR)((adapter->LineRate >> 3) & 0x7F);  // whole 64 kbit/s steps
    UCHAR r = (UCHAR)(adapter->LineRate & 7);            // remaining 8 kbit/s steps
    const UCHAR rate[8] = {n, 0x00, n, n, 0x01, r, 0x00, 0x01};
    if (!MailboxCommand(adapter, XCVR_LINE_RATE, rate, sizeof(rate))) {
        return FALSE;
    }
    BOOLEAN ownCode = !adapter->ConfigType || (adapter->LineCode <= 1 && adapter->TerminalType &&
                                               adapter->AnnexType == 3);
    const UCHAR code[2] = {ownCode ? (UCHAR)((adapter->LineCode << 4) | 0x02) : (UCHAR)0x12, 0x00};
    const UCHAR framing[12] = {0x04, 0x00, 0x00, 0x00, (UCHAR)(adapter->ConfigType ? 0x00 : 0x04),
                               0x01, 0x00, (UCHAR)adapter->AnnexType, 0xFF, 0x00, 0x00, 0x00};
    const UCHAR offset[6] = {0x03, LineCodeOffset(adapter->LineCode), 0xFF, 0x04, 0x00, 0x00};
    return MailboxCommand(adapter, XCVR_LINE_CODE, code, sizeof(code)) &&
           MailboxCommand(adapter, XCVR_FRAMING, framing, sizeof(framing)) &&
           MailboxCommand(adapter, XCVR_LINE_CODE_OFFSET, offset, sizeof(offset)) &&
           Command1(adapter, XCVR_TERMINAL_MODE, adapter->TerminalType ? 0x23 : 0x21) &&
           Command1(adapter, XCVR_EVENTS, 0x02);
}

BOOLEAN StartTransceiver(Adapter* adapter, const UCHAR* image, ULONG imageLength)
{
    WriteMailbox(adapter, MB_RESPONSE_FLAG, 0);
    NdisResetEvent(&adapter->CommandEvent);
    RestartCard(adapter);
    if (!AwaitStage(adapter, MB_STAGE_AWAITING_FIRMWARE)) {
        return FALSE;
    }
    NdisResetEvent(&adapter->CommandEvent);
    if (!DownloadFirmware(adapter, image, imageLength) ||
        !AwaitStage(adapter, MB_STAGE_FIRMWARE_RUNNING)) {
        return FALSE;
    }
    NdisResetEvent(&adapter->CommandEvent);
    if (!ConfigureLine(adapter)) {
        return FALSE;
    }
    // The deferred pass that took the last answer may still be running on
    // another processor: it clears its pending bits under the lock, and an
    // interrupt this write unmasks must not find them half cleared.
    AcquireAdapterLock(&adapter->Lock);
    UnmaskMailboxOnly(adapter);
    ReleaseAdapterLock(&adapter->Lock);
    (VOID) Command1(adapter, XCVR_COUNTERS, 0x02);  // its answer does not matter
    if (Command1(adapter, XCVR_START_LINE, 0x02)) {
        SetLinkState(adapter, LINK_STATE_DOWN);  // configured; the line trains now
    }
    return TRUE;
}

NDIS_STATUS LoadFirmware(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);  // it waits for the transceiver
    StopCard(adapter);
    MaskInterrupts(adapter);

    NDIS_STRING fileName = ZR48_NDIS_STRING("zr48.bin");
    NDIS_PHYSICAL_ADDRESS highestAcceptable;
    highestAcceptable.QuadPart = -1;  // any address will do
    NDIS_STATUS status;
    NDIS_HANDLE file;
    UINT fileLength;
    NdisOpenFile(&status, &file, &fileLength, &fileName, highestAcceptable);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    PVOID image = NULL;
    NDIS_STATUS result;
    NdisMapFile(&result, &image, file);
    if (result == NDIS_STATUS_SUCCESS) {
        // The image stays mapped through the configuration commands too.
        if (StartTransceiver(adapter, (const UCHAR*)image, fileLength)) {
            EnableTransfers(adapter);
            result = NDIS_STATUS_SUCCESS;
        } else {
            result = NDIS_STATUS_FAILURE;
        }
    }
    if (image != NULL) {
        NdisUnmapFile(file);
    }
    NdisCloseFile(file);
    return result;
}
