#include "datapath/pool_memory.h"

PVOID AllocatePoolMemory(ULONG size)
{
    PVOID pointer = NULL;
    if (NdisAllocateMemoryWithTag(&pointer, size, ZR48_POOL_TAG) != NDIS_STATUS_SUCCESS) {
        return NULL;
    }
    return pointer;
}

VOID FreePoolMemory(PVOID pointer)
{
    // Length 0 and flags 0: what NDIS accepts for tagged non-paged memory.
    NdisFreeMemory(pointer, 0, 0);
}
