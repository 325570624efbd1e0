#include "datapath/adapter_lock.h"

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
