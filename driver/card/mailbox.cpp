#include "card/mailbox.h"

#include "card/card_access.h"
#include "card/link.h"
#include "requests/requests.h"

VOID MailboxPost(Adapter* adapter, UCHAR command, const UCHAR* payload, ULONG length)
{
    // A late answer to an earlier request may have signalled the event; the
    // wait for this request must not be satisfied by it.
    NdisResetEvent(&adapter->CommandEvent);

    UCHAR lengthByte = (UCHAR)(length != 0 ? length - 1 : 0);
    WriteMailbox(adapter, MB_START, MB_START_MARKER);
    WriteMailbox(adapter, MB_COMMAND, command);
    WriteMailbox(adapter, MB_RESERVED, 0);
    WriteMailbox(adapter, MB_LENGTH, lengthByte);
    WriteMailbox(adapter, MB_HEADER_CHECK, (UCHAR)(command ^ lengthByte ^ MB_HEADER_XOR));

    UCHAR check = 0;
    if (payload != NULL) {
        for (ULONG i = 0; i <= lengthByte; ++i) {
            WriteMailbox(adapter, MB_PAYLOAD + i, payload[i]);
            check ^= payload[i];
        }
    } else {
        WriteMailbox(adapter, MB_PAYLOAD, 0);  // an empty request carries one zero byte
    }
    WriteMailbox(adapter, MB_PAYLOAD_CHECK, (UCHAR)(check ^ MB_PAYLOAD_XOR));
    WriteMailbox(adapter, MB_STATUS, 0);
    // The doorbell goes last: the controller reads the frame when it rings.
    WriteMailbox(adapter, MB_DOORBELL, MB_RING);
}

BOOLEAN MailboxWait(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);  // it blocks
    if (!NdisWaitEvent(&adapter->CommandEvent, MAILBOX_ANSWER_TIMEOUT_MS)) {
        return FALSE;
    }
    NdisResetEvent(&adapter->CommandEvent);
    UCHAR status = ReadMailbox(adapter, MB_STATUS);
    WriteMailbox(adapter, MB_STATUS, 0);
    return (status & MB_STATUS_RESULT_MASK) == MB_RESULT_SUCCESS ? TRUE : FALSE;
}

BOOLEAN MailboxCommand(Adapter* adapter, UCHAR command, const UCHAR* payload, ULONG length,
                       MailboxCompletion completion, ULONG context)
{
    if (completion != NULL) {
        // Stored before the frame is written: the answer may be serviced on
        // another processor as soon as the doorbell rings.
        NdisGetSystemUpTime(&adapter->CommandPostedAt);
        adapter->CommandCallback = completion;
        adapter->CommandContext = context;
    }
    MailboxPost(adapter, command, payload, length);
    if (completion != NULL) {
        return TRUE;
    }
    return MailboxWait(adapter);
}

// Takes the posting: response flag cleared and read back, so that the
// controller sees it free before anyone acts on the posting.
static VOID TakePosting(Adapter* adapter)
{
    WriteMailbox(adapter, MB_RESPONSE_FLAG, 0);
    (VOID) ReadMailbox(adapter, MB_RESPONSE_FLAG);
}

VOID MailboxService(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    if (ReadMailbox(adapter, MB_RESPONSE_FLAG) != MB_POSTED) {
        return;
    }
    UCHAR status = ReadMailbox(adapter, MB_STATUS);
    if (status & MB_STATUS_EVENT) {
        if (ReadMailbox(adapter, MB_EVENT_FLAGS) & MB_EVENT_LINE_CHECK) {
            RequestLinkCheck(adapter);
        }
        TakePosting(adapter);
        WriteMailbox(adapter, MB_STATUS, 0);
        return;  // an event wakes no waiter and continues no chain
    }
    if ((status & MB_STATUS_RESULT_MASK) == 0) {
        // The controller never answers with result 0: this posting's status
        // was wiped by a request written while it waited (an event that came
        // just as a statistics request was posted). It is no answer; the
        // real one follows. An event's flags are still in place.
        if (ReadMailbox(adapter, MB_EVENT_FLAGS) & MB_EVENT_LINE_CHECK) {
            RequestLinkCheck(adapter);
        }
        TakePosting(adapter);
        return;
    }
    TakePosting(adapter);
    MailboxCompletion completion = adapter->CommandCallback;
    if (completion != NULL) {
        // Cleared first: the routine may post the next command of its chain
        // and store its own continuation.
        adapter->CommandCallback = NULL;
        completion(adapter, adapter->CommandContext);
    } else {
        NdisSetEvent(&adapter->CommandEvent);
    }
    // The status byte and answer data stay for the waiter or the routine.
}

VOID AbandonMailboxCommand(Adapter* adapter, ULONG step)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    MailboxCompletion completion = adapter->CommandCallback;
    if (completion != NULL) {
        adapter->CommandCallback = NULL;
        completion(adapter, step);
    }
}

BOOLEAN MailboxCommandOverdue(Adapter* adapter)
{
    ZR48_ASSERT(AdapterLockHeld(&adapter->Lock));
    if (adapter->CommandCallback == NULL) {
        return FALSE;
    }
    ULONG now;
    NdisGetSystemUpTime(&now);
    return now - adapter->CommandPostedAt >= MAILBOX_ANSWER_TIMEOUT_MS ? TRUE : FALSE;
}

VOID MailboxAbort(Adapter* adapter)
{
    ZR48_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    // Taken under the lock, so that a deferred pass still running on another
    // processor and this abort never both call the routine.
    AcquireAdapterLock(&adapter->Lock);
    AbandonMailboxCommand(adapter, MAILBOX_ABORTED);
    NDIS_STATUS status;
    BOOLEAN complete = TakeRequestCompletion(adapter, &status);
    ReleaseAdapterLock(&adapter->Lock);
    if (complete) {
        NdisMQueryInformationComplete(adapter->MiniportAdapterHandle, status);
    }
}
