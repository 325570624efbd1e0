// The adapter lock: a spin lock made re-entrant per processor. The data path
// calls into NDIS with the lock held (receive indications, the reset's
// completions), and NDIS may call back into the driver on the same processor
// (a protocol returning a packet or sending from inside the indication); such
// a nested acquisition only counts.
#pragma once

#include "platform.h"

struct AdapterLock {
    NDIS_SPIN_LOCK SpinLock;
    volatile ULONG Owner;  // processor holding SpinLock; all ones when free
    ULONG Depth;           // acquisitions the holder has not released
};

#define ADAPTER_LOCK_NO_OWNER ((ULONG)0xFFFFFFFF)

VOID InitAdapterLock(AdapterLock* lock);
VOID FreeAdapterLock(AdapterLock* lock);
VOID AcquireAdapterLock(AdapterLock* lock);
VOID ReleaseAdapterLock(AdapterLock* lock);
BOOLEAN IsAdapterLockOwner(AdapterLock* lock);
