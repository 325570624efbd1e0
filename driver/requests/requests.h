// Information requests: the standard objects that let the protocol stack
// treat the line as an Ethernet adapter, the settable ones, and the two
// private objects through which a user-space tool reads or clears the
// statistics block.
#pragma once

#include "adapter/adapter.h"

#define SUPPORTED_OID_COUNT 37

NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                           PVOID InformationBuffer,
                                           ULONG InformationBufferLength, PULONG BytesWritten,
                                           PULONG BytesNeeded);
NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         PULONG BytesRead, PULONG BytesNeeded);

// The private requests. Each returns its status and sets *fullLength and
// *minimumLength for the common exit; a pending request has already stored
// its counts (before its first transceiver command was posted).
NDIS_STATUS QueryStatistics(Adapter* adapter, PVOID buffer, ULONG bufferLength,
                            PULONG bytesWritten, PULONG bytesNeeded, ULONG* fullLength,
                            ULONG* minimumLength);
NDIS_STATUS ClearStatistics(Adapter* adapter, PVOID buffer, ULONG bufferLength,
                            PULONG bytesWritten, PULONG bytesNeeded, ULONG* fullLength);

// A statistics request has finished (lock held, or the only context): its
// completion is made by whoever next releases the lock (TakeRequestCompletion).
VOID FinishStatisticsRequest(Adapter* adapter, NDIS_STATUS status);
// Lock held: the completion a finished request waits for, if any, taken.
BOOLEAN TakeRequestCompletion(Adapter* adapter, NDIS_STATUS* status);

// The asynchronous command chains, continued from the mailbox service.
VOID ReadStatisticsStep(Adapter* adapter, ULONG step);
VOID ClearStatisticsStep(Adapter* adapter, ULONG step);
VOID CompleteReadStatistics(Adapter* adapter, BOOLEAN succeeded);
VOID CompleteClearStatistics(Adapter* adapter);
