// The transceiver mailbox: one request frame at a time to the transceiver
// controller, answered in the same mailbox with the mailbox interrupt. The
// synchronous form blocks for the answer (start-up only); the asynchronous
// form continues from the mailbox service with a completion routine
// (statistics requests only).
#pragma once

#include "adapter/adapter.h"

// Step value a pending completion routine receives when halt abandons it.
#define MAILBOX_ABORTED ((ULONG)0xFFFFFFFF)
// Step value it receives when a reset abandons it.
#define MAILBOX_RESET ((ULONG)0xFFFFFFFE)
// How long a synchronous command waits for its answer.
#define MAILBOX_ANSWER_TIMEOUT_MS 3000

// Writes a request frame and rings the doorbell. An empty payload is passed
// as null with length 0; otherwise 1..75 bytes.
VOID MailboxPost(Adapter* adapter, UCHAR command, const UCHAR* payload, ULONG length);
// Blocks until the answer to the request just posted, or the timeout. TRUE
// only for an answer with the success result.
BOOLEAN MailboxWait(Adapter* adapter);
// Synchronous with a null completion (post, then wait); asynchronous with
// one (store it, post, return TRUE at once).
BOOLEAN MailboxCommand(Adapter* adapter, UCHAR command, const UCHAR* payload, ULONG length,
                       MailboxCompletion completion, ULONG context);
inline BOOLEAN MailboxCommand(Adapter* adapter, UCHAR command, const UCHAR* payload,
                              ULONG length)
{
    return MailboxCommand(adapter, command, payload, length, NULL, 0);
}
// The mailbox interrupt service; the adapter lock is held.
VOID MailboxService(Adapter* adapter);
// Finishes a pending asynchronous command with MAILBOX_ABORTED (halt), and
// makes the request completion that leaves.
VOID MailboxAbort(Adapter* adapter);
// The adapter lock is held: calls a pending completion routine, if any, with
// `step`; an answer that comes later wakes nobody.
VOID AbandonMailboxCommand(Adapter* adapter, ULONG step);
// The adapter lock is held: whether an asynchronous command has waited longer
// than a synchronous one would for its answer. A transceiver that does not
// answer would hold NDIS's one information request for ever.
BOOLEAN MailboxCommandOverdue(Adapter* adapter);
