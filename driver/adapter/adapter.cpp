#include "adapter/adapter.h"

Adapter* AdapterConstruct(Adapter* adapter)
{
    // Pool memory is not zeroed: start from zero, then set what is not.
    NdisZeroMemory(adapter, sizeof(Adapter));

    FrameQueueInit(&adapter->TxFreeQueue);
    FrameQueueInit(&adapter->TxBusyQueue);
    FrameQueueInit(&adapter->RxFreeQueue);
    FrameQueueInit(&adapter->RxPostedQueue);
    FrameQueueInit(&adapter->PendingSendQueue);
    adapter->XmtQueueLen = 8;
    adapter->RcvQueueLen = 16;

    adapter->LineRate = 256;  // 2048 kbit/s
    adapter->LineCode = 4;    // not configured
    adapter->AnnexType = 1;
    adapter->ReadBurst = TRUE;
    adapter->WriteBurst = TRUE;

    InitAdapterLock(&adapter->Lock);
    NdisInitializeEvent(&adapter->CommandEvent);
    NdisInitializeEvent(&adapter->LinkTimerIdle);
    return adapter;
}

VOID AdapterDestroy(Adapter* adapter)
{
    FreeAdapterLock(&adapter->Lock);
}
