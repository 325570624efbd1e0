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

// The lock is taken on every path of every frame, several times a frame:
// the operations are inline.

inline ULONG AdapterLockProcessor()
{
    ULONG idle;
    ULONG kernelAndUser;
    ULONG index;
    NdisGetCurrentProcessorCounts(&idle, &kernelAndUser, &index);
    return index;
}

inline BOOLEAN IsAdapterLockOwner(AdapterLock* lock)
{
    return AdapterLockProcessor() == lock->Owner ? TRUE : FALSE;
}

inline VOID AcquireAdapterLock(AdapterLock* lock)
{
    // The holder runs at DISPATCH_LEVEL, so a caller below it is never the
    // holder; and a caller below it could move to another processor between
    // reading its number and comparing it, mistaking the holder on its old
    // processor for itself. So ownership is asked only at DISPATCH_LEVEL,
    // where the processor number cannot change under the caller.
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        ULONG processor = AdapterLockProcessor();
        if (processor == lock->Owner) {
            lock->Depth += 1;  // nested: the holder called back into the driver
            return;
        }
        NdisAcquireSpinLock(&lock->SpinLock);
        lock->Owner = processor;
    } else {
        NdisAcquireSpinLock(&lock->SpinLock);
        lock->Owner = AdapterLockProcessor();  // now at DISPATCH_LEVEL
    }
    lock->Depth += 1;
}

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

inline VOID ReleaseAdapterLock(AdapterLock* lock)
{
    ZR48_ASSERT(AdapterLockHeld(lock));
    lock->Depth -= 1;
    if (lock->Depth == 0) {
        // Owner is cleared before the spin lock goes, so that a processor that
        // reads it without the lock never finds its own number there.
        lock->Owner = ADAPTER_LOCK_NO_OWNER;
        NdisReleaseSpinLock(&lock->SpinLock);
    }
}
