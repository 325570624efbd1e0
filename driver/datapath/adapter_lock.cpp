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
    // Ask who owns the lock at DISPATCH_LEVEL: a caller below it could move
    // to another processor between reading its number and comparing it, and
    // then mistake the holder on its old processor for itself. The holder
    // runs at DISPATCH_LEVEL, so a caller that finds itself the owner here
    // really is the holder, nested.
    KIRQL callerIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &callerIrql);
    BOOLEAN owner = IsAdapterLockOwner(lock);
    KeLowerIrql(callerIrql);
    if (!owner) {
        NdisAcquireSpinLock(&lock->SpinLock);
        lock->Owner = CurrentProcessorNumber();
    }
    lock->Depth += 1;
}

VOID ReleaseAdapterLock(AdapterLock* lock)
{
    lock->Depth -= 1;
    if (lock->Depth == 0) {
        // Owner is cleared before the spin lock goes, so that a processor that
        // reads it without the lock never finds its own number there.
        lock->Owner = ADAPTER_LOCK_NO_OWNER;
        NdisReleaseSpinLock(&lock->SpinLock);
    }
}
