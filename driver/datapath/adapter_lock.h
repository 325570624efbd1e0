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

// For the contracts the driver asserts: whether the calling context holds the
// lock. Only a context at DISPATCH_LEVEL or above can; one below is never the
// holder, whatever processor number it reads.
inline BOOLEAN AdapterLockHeld(AdapterLock* lock)
{
    return KeGetCurrentIrql() >= DISPATCH_LEVEL && IsAdapterLockOwner(lock) ? TRUE : FALSE;
}
// Held once, not nested: the holder may really drop the spin lock around a
// call into NDIS.
inline BOOLEAN AdapterLockHeldOnce(AdapterLock* lock)
{
    return AdapterLockHeld(lock) && lock->Depth == 1 ? TRUE : FALSE;
}
