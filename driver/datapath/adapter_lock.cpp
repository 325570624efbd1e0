#include "datapath/adapter_lock.h"

static ULONG CurrentProcessorNumber()
{
    ULONG idle;
    ULONG kernelAndUser;
    ULONG index;
    NdisGetCurrentProcessorCounts(&idle, &kernelAndUser, &index);
    return index;
}

VOID InitAdapterLock(AdapterLock* lock)
{
    NdisAllocateSpinLock(&lock->SpinLock);
    lock->Owner = ADAPTER_LOCK_NO_OWNER;
    lock->Depth = 0;
}

VOID FreeAdapterLock(AdapterLock* lock)
{
    UNREFERENCED_PARAMETER(lock);  // the Windows NdisFreeSpinLock is empty
    NdisFreeSpinLock(&lock->SpinLock);
}

BOOLEAN IsAdapterLockOwner(AdapterLock* lock)
{
    return CurrentProcessorNumber() == lock->Owner ? TRUE : FALSE;
}

VOID AcquireAdapterLock(AdapterLock* lock)
{
    // The holder runs at DISPATCH_LEVEL, so a caller below it is never the
    // holder; and a caller below it could move to another processor between
    // reading its number and comparing it, mistaking the holder on its old
    // processor for itself. So ownership is asked only at DISPATCH_LEVEL,
    // where the processor number cannot change under the caller.
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        ULONG processor = CurrentProcessorNumber();
        if (processor == lock->Owner) {
            lock->Depth += 1;  // nested: the holder called back into the driver
            return;
        }
        NdisAcquireSpinLock(&lock->SpinLock);
        lock->Owner = processor;
    } else {
        NdisAcquireSpinLock(&lock->SpinLock);
        lock->Owner = CurrentProcessorNumber();  // now at DISPATCH_LEVEL
    }
    lock->Depth += 1;
}

VOID ReleaseAdapterLock(AdapterLock* lock)
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
