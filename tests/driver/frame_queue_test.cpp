// Frame queues of frame buffers and of packets.
#include <cstring>

#include "datapath/frame_queue.h"
#include "tests/support/host_test.h"

class FrameQueueTest : public HostTest {};

TEST_F(FrameQueueTest, SingleElementIsHeadAndTailAndLeavesClean) {
    FrameBufferQueue q;
    FrameQueueInit(&q);
    FrameBuffer b{};
    Append(&q, &b);
    EXPECT_EQ(q.Head, &b);
    EXPECT_EQ(q.Tail, &b);
    EXPECT_EQ(q.Count, 1u);
    EXPECT_EQ(RemoveHead(&q), &b);
    EXPECT_EQ(q.Head, nullptr);
    EXPECT_EQ(q.Tail, nullptr);
    EXPECT_EQ(q.Count, 0u);
    EXPECT_EQ(b.Next, nullptr);
}

TEST_F(FrameQueueTest, ElementsLeaveInTheOrderAppendedAcrossRefills) {
    FrameBufferQueue q;
    FrameQueueInit(&q);
    FrameBuffer b[5] = {};
    for (auto& e : b) Append(&q, &e);
    EXPECT_EQ(RemoveHead(&q), &b[0]);
    EXPECT_EQ(RemoveHead(&q), &b[1]);
    Append(&q, &b[0]);
    for (FrameBuffer* expected : {&b[2], &b[3], &b[4], &b[0]}) {
        ASSERT_NE(q.Head, nullptr);
        EXPECT_EQ(RemoveHead(&q), expected);
    }
    EXPECT_EQ(q.Count, 0u);
    EXPECT_EQ(q.Tail, nullptr);
}

TEST_F(FrameQueueTest, PacketWithLeftoverLinkBecomesACleanTail) {
    PacketQueue q;
    FrameQueueInit(&q);
    NDIS_PACKET packets[2];
    memset(packets, 0xAB, sizeof(packets));  // what NDIS may leave in the reserved area
    Append(&q, &packets[0]);
    Append(&q, &packets[1]);
    EXPECT_EQ(*QueueLink(&packets[0]), &packets[1]);
    EXPECT_EQ(*QueueLink(&packets[1]), nullptr);
    EXPECT_EQ(RemoveHead(&q), &packets[0]);
    EXPECT_EQ(RemoveHead(&q), &packets[1]);
    EXPECT_EQ(q.Head, nullptr);
}

TEST_F(FrameQueueTest, FailedNodeAllocationLeavesTheQueueAsItWas) {
    FrameBufferQueue q;
    FrameQueueInit(&q);
    UCHAR slot[16];
    FrameBuffer* first = CreateFrameBuffer(&q, slot, 0x1000, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->PhysicalAddress, 0x1000u);
    EXPECT_EQ(first->Next, nullptr);
    host::FailNth(host::Resource::PoolMemory, 1);
    EXPECT_EQ(CreateFrameBuffer(&q, slot, 0x2000, nullptr), nullptr);
    EXPECT_EQ(q.Head, first);
    EXPECT_EQ(q.Tail, first);
    EXPECT_EQ(q.Count, 1u);
    CreateFrameBuffer(&q, slot, 0x3000, nullptr);
    FreeQueuedFrameBuffers(&q);
    EXPECT_EQ(q.Count, 0u);
    EXPECT_EQ(host::LedgerCount(host::Resource::PoolMemory), 0u);
}
