// The adapter record: its construction and destruction.
#include <cstring>

#include "adapter/adapter.h"
#include "datapath/pool_memory.h"
#include "tests/support/host_test.h"

class AdapterRecordTest : public HostTest {};

TEST_F(AdapterRecordTest, ConstructedAdapterHasItsDefaultsOnUnzeroedMemory) {
    auto* adapter = static_cast<Adapter*>(AllocatePoolMemory(sizeof(Adapter)));
    ASSERT_NE(adapter, nullptr);
    AdapterConstruct(adapter);

    EXPECT_EQ(adapter->LineRate, 256u);
    EXPECT_EQ(adapter->LineCode, 4u);
    EXPECT_EQ(adapter->AnnexType, 1u);
    EXPECT_TRUE(adapter->ReadBurst);
    EXPECT_TRUE(adapter->WriteBurst);
    EXPECT_FALSE(adapter->TerminalType || adapter->AlwaysConnected || adapter->ConfigType ||
                 adapter->Crc || adapter->FillByte || adapter->DataPolarity);
    EXPECT_EQ(adapter->XmtQueueLen, 8u);
    EXPECT_EQ(adapter->RcvQueueLen, 16u);
    const UCHAR zeros[64] = {};
    EXPECT_EQ(memcmp(&adapter->Statistics, zeros, sizeof(StatisticsBlock)), 0);
    EXPECT_EQ(memcmp(adapter->NetworkAddress, zeros, 6), 0);
    EXPECT_EQ(adapter->CardWindow, nullptr);
    EXPECT_EQ(adapter->Registers, nullptr);
    EXPECT_EQ(adapter->SharedMemory, nullptr);
    EXPECT_EQ(adapter->CommandCallback, nullptr);
    EXPECT_EQ(adapter->StatsRequestBuffer, nullptr);
    EXPECT_FALSE(adapter->MapRegistersAllocated || adapter->InterruptRegistered ||
                 adapter->PacketPoolAllocated || adapter->BufferPoolAllocated);
    EXPECT_EQ(adapter->LinkState, 0u);
    EXPECT_EQ(adapter->PacketFilter, 0);
    EXPECT_EQ(adapter->MulticastCount, 0u);
    EXPECT_EQ(adapter->XmitOk + adapter->XmitError + adapter->RcvOk + adapter->RcvError, 0u);
    for (auto* q : {&adapter->TxFreeQueue, &adapter->TxBusyQueue, &adapter->RxFreeQueue,
                    &adapter->RxPostedQueue}) {
        EXPECT_EQ(q->Head, nullptr);
        EXPECT_EQ(q->Count, 0u);
    }
    EXPECT_EQ(adapter->PendingSendQueue.Head, nullptr);
    EXPECT_EQ(adapter->Lock.Owner, ADAPTER_LOCK_NO_OWNER);
    EXPECT_EQ(adapter->Lock.Depth, 0u);
    EXPECT_FALSE(NdisWaitEvent(&adapter->CommandEvent, 1));

    AdapterDestroy(adapter);
    FreePoolMemory(adapter);
    // The test's teardown checks that nothing is left: lock and record are gone.
}
