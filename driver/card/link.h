// Link supervision: a transceiver line event starts the one-shot link timer;
// 500 ms later the timer routine reads the line status, moves LinkState,
// switches the line hold, keeps the line-up statistics and tells NDIS.
#pragma once

#include "adapter/adapter.h"

#define LINK_CHECK_DELAY_MS 500

// LinkState values
#define LINK_STATE_UNCONFIGURED 0
#define LINK_STATE_DOWN 1
#define LINK_STATE_UP 2

// LinkState is written by the link timer routine, which takes no lock, and
// read on other processors by request handlers, the hang check and the
// reset: each access is interlocked, so that no reader depends on the
// compiler keeping a plain access whole and in place.
inline ULONG LinkStateOf(Adapter* adapter)
{
    return (ULONG)InterlockedCompareExchange((LONG volatile*)&adapter->LinkState, 0, 0);
}
inline VOID SetLinkState(Adapter* adapter, ULONG state)
{
    InterlockedExchange((LONG volatile*)&adapter->LinkState, (LONG)state);
}

// 2 when the mailbox line status byte says up, otherwise 1; only reads.
ULONG ReadLineState(Adapter* adapter);
// A line event asked for a check (adapter lock held): starts LinkTimer for
// 500 ms, replacing a pending expiry. Before the timer exists the request is
// remembered and the timer started when it is initialized.
VOID RequestLinkCheck(Adapter* adapter);
// Initializes LinkTimer (start-up, passive level).
VOID InitializeLinkTimer(Adapter* adapter);
// Stops link supervision for good and returns only when the timer routine
// can no longer run (stop path, passive level).
VOID StopLinkTimer(Adapter* adapter);
// The timer routine; FunctionContext is the adapter.
VOID NTAPI LinkTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext,
                            PVOID SystemSpecific2, PVOID SystemSpecific3);
VOID IndicateLinkStatus(Adapter* adapter, NDIS_STATUS status);
