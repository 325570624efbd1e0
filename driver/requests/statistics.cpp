#include "card/card_access.h"
#include "card/line_code.h"
#include "card/mailbox.h"
#include "adapter/counters.h"
#include "requests/requests.h"

static ULONG ReadSignature(PVOID buffer)
{
    const UCHAR* bytes = (const UCHAR*)buffer;  // any alignment
    return (ULONG)bytes[0] | (ULONG)bytes[1] << 8 | (ULONG)bytes[2] << 16 | (ULONG)bytes[3] << 24;
}

NDIS_STATUS QueryStatistics(Adapter* adapter, PVOID buffer, ULONG bufferLength,
                            PULONG bytesWritten, PULONG bytesNeeded, ULONG* fullLength,
                            ULONG* minimumLength)
{
    *fullLength = 4;
    *minimumLength = 4;
    if (bufferLength < 4 || ReadSignature(buffer) != StatsSignature) {
        return NDIS_STATUS_FAILURE;
    }
    if (bufferLength < sizeof(StatisticsBlock)) {
        *fullLength = sizeof(StatisticsBlock);  // the common exit refuses the length
        *minimumLength = sizeof(StatisticsBlock);
        return NDIS_STATUS_SUCCESS;
    }
    adapter->StatsRequestBuffer = buffer;
    adapter->StatsBytesWritten = bytesWritten;
    adapter->StatsBytesNeeded = bytesNeeded;
    // Before the first command: its completion may run on another processor
    // at once, and its counts must not be overwritten afterwards.
    *bytesNeeded = 4;
    ReadStatisticsStep(adapter, 0);
    return NDIS_STATUS_PENDING;
}

NDIS_STATUS ClearStatistics(Adapter* adapter, PVOID buffer, ULONG bufferLength,
                            PULONG bytesWritten, PULONG bytesNeeded, ULONG* fullLength)
{
    *fullLength = 4;
    if (bufferLength != 4 || ReadSignature(buffer) != StatsSignature) {
        return NDIS_STATUS_FAILURE;
    }
    *bytesWritten = 0;
    *bytesNeeded = 4;
    ClearStatisticsStep(adapter, 0);
    return NDIS_STATUS_PENDING;
}

static VOID ReadAnswer(Adapter* adapter, UCHAR* to, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) {
        to[i] = ReadMailbox(adapter, MB_ANSWER_DATA + i);
    }
}

static VOID NextReadCommand(Adapter* adapter, UCHAR command, ULONG nextStep)
{
    MailboxCommand(adapter, command, NULL, 0, ReadStatisticsStep, nextStep);
}

// Each step takes the answer just received and sends the next command.
VOID ReadStatisticsStep(Adapter* adapter, ULONG step)
{
    StatisticsBlock* block = &adapter->Statistics;
    switch (step) {
    case 0: NextReadCommand(adapter, XCVR_READ_STATE, 1); break;
    case 1:
        ReadAnswer(adapter, &block->Reply82, 1);
        NextReadCommand(adapter, XCVR_READ_MARGIN, 2);
        break;
    case 2:
        ReadAnswer(adapter, &block->Reply83, 1);
        NextReadCommand(adapter, XCVR_READ_ATTENUATION, 3);
        break;
    case 3:
        ReadAnswer(adapter, block->Reply94, sizeof(block->Reply94));
        NextReadCommand(adapter, XCVR_READ_COUNTERS, 4);
        break;
    case 4:
        ReadAnswer(adapter, block->Reply9E, sizeof(block->Reply9E));
        block->LineStatus = ReadMailbox(adapter, MB_LINE_STATUS);
        block->LineStatusAux = ReadMailbox(adapter, MB_LINE_STATUS_AUX);
        WriteMailbox(adapter, MB_STATUS, 0);  // the answer is consumed
        CompleteReadStatistics(adapter, TRUE);
        break;
    case MAILBOX_RESET: FinishStatisticsRequest(adapter, NDIS_STATUS_REQUEST_ABORTED); break;
    default: CompleteReadStatistics(adapter, FALSE); break;  // abandoned at halt
    }
}

VOID ClearStatisticsStep(Adapter* adapter, ULONG step)
{
    static const UCHAR clearFirst = 0x00;
    static const UCHAR clearSecond = 0x04;
    switch (step) {
    case 0: MailboxCommand(adapter, XCVR_COUNTERS, &clearFirst, 1, ClearStatisticsStep, 1); break;
    case 1: MailboxCommand(adapter, XCVR_COUNTERS, &clearSecond, 1, ClearStatisticsStep, 2); break;
    case 2:
        WriteMailbox(adapter, MB_STATUS, 0);
        CompleteClearStatistics(adapter);
        break;
    case MAILBOX_RESET: FinishStatisticsRequest(adapter, NDIS_STATUS_REQUEST_ABORTED); break;
    default: CompleteReadStatistics(adapter, FALSE); break;  // abandoned at halt
    }
}

static ULONG ReadWhole(volatile unsigned int* field)
{
    return (ULONG)InterlockedCompareExchange((volatile LONG*)field, 0, 0);
}

// The interrupt service routine and the link timer count into the block
// without the lock, so their fields are read one by one, each in a single
// access that sees it whole. The rest of the block is written only under the
// lock, which the caller holds.
static VOID SnapshotStatistics(Adapter* adapter, StatisticsBlock* copy)
{
    StatisticsBlock* block = &adapter->Statistics;
    copy->XmitOk = block->XmitOk;
    copy->RcvOk = block->RcvOk;
    copy->RcvError = block->RcvError;
    copy->XmitErrorEvents = ReadWhole(&block->XmitErrorEvents);
    copy->IsrBit08Events = ReadWhole(&block->IsrBit08Events);
    copy->LinkUpCount = ReadWhole(&block->LinkUpCount);
    copy->Reserved = ReadWhole(&block->Reserved);
    copy->LastLinkUpTime = CounterRead(LastLinkUpTimeCounter(block));
    NdisMoveMemory(&copy->Reply82, &block->Reply82,
                   sizeof(StatisticsBlock) - FIELD_OFFSET(StatisticsBlock, Reply82));
}

VOID FinishStatisticsRequest(Adapter* adapter, NDIS_STATUS status)
{
    adapter->StatsRequestBuffer = NULL;
    adapter->RequestCompletionStatus = status;
    adapter->RequestCompletionPending = TRUE;
}

BOOLEAN TakeRequestCompletion(Adapter* adapter, NDIS_STATUS* status)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    if (!adapter->RequestCompletionPending) {
        return FALSE;
    }
    adapter->RequestCompletionPending = FALSE;
    *status = adapter->RequestCompletionStatus;
    return TRUE;
}

VOID CompleteReadStatistics(Adapter* adapter, BOOLEAN succeeded)
{
    PVOID buffer = adapter->StatsRequestBuffer;
    if (!succeeded) {
        FinishStatisticsRequest(adapter, NDIS_STATUS_FAILURE);
        return;
    }
    StatisticsBlock* block = &adapter->Statistics;
    block->XmitOk = CounterRead(&adapter->XmitOk);
    block->RcvOk = CounterRead(&adapter->RcvOk);
    block->RcvError = CounterRead(&adapter->RcvError);
    block->Reply83 = (UCHAR)(block->Reply83 + LineCodeAdjust(adapter->LineCode));
    StatisticsBlock copy;
    SnapshotStatistics(adapter, &copy);
    NdisMoveMemory(buffer, &copy, sizeof(copy));
    *adapter->StatsBytesNeeded = sizeof(StatisticsBlock);
    *adapter->StatsBytesWritten = sizeof(StatisticsBlock);
    FinishStatisticsRequest(adapter, NDIS_STATUS_SUCCESS);
}

VOID CompleteClearStatistics(Adapter* adapter)
{
    StatisticsBlock* block = &adapter->Statistics;
    InterlockedExchange((volatile LONG*)&block->XmitErrorEvents, 0);
    InterlockedExchange((volatile LONG*)&block->IsrBit08Events, 0);
    InterlockedExchange((volatile LONG*)&block->LinkUpCount, 0);
    InterlockedExchange((volatile LONG*)&block->Reserved, 0);
    CounterWrite(LastLinkUpTimeCounter(block), 0);
    block->XmitOk = 0;
    block->RcvOk = 0;
    block->RcvError = 0;
    NdisZeroMemory(&block->Reply82, sizeof(StatisticsBlock) - FIELD_OFFSET(StatisticsBlock, Reply82));
    FinishStatisticsRequest(adapter, NDIS_STATUS_SUCCESS);
}
