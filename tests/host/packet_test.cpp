// Packets, buffers and their pools: NDIS's layout and counts, and the
// verifier's checks on them.
#include <algorithm>
#include <cstring>

#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

class PacketTest : public HostTest {
protected:
    NDIS_HANDLE packetPool = nullptr;
    NDIS_HANDLE bufferPool = nullptr;
    alignas(4096) uint8_t data[3 * 4096];  // page-aligned, so page counts are known

    void SetUp() override {
        HostTest::SetUp();
        NDIS_STATUS status;
        NdisAllocatePacketPool(&status, &packetPool, 2, 24);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        NdisAllocateBufferPool(&status, &bufferPool, 3);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    }
    void TearDown() override {
        NdisFreeBufferPool(bufferPool);
        NdisFreePacketPool(packetPool);
        HostTest::TearDown();
    }
    PNDIS_PACKET Packet() {
        NDIS_STATUS status;
        PNDIS_PACKET p;
        NdisAllocatePacket(&status, &p, packetPool);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return p;
    }
    PNDIS_BUFFER Buffer(size_t offset, UINT length) {
        NDIS_STATUS status;
        PNDIS_BUFFER b;
        NdisAllocateBuffer(&status, &b, bufferPool, data + offset, length);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return b;
    }
};

TEST_F(PacketTest, PoolHandsOutItsCapacityOfUnzeroedPacketsWithWorkingOutOfBandData) {
    PNDIS_PACKET a = Packet(), b = Packet();
    NDIS_STATUS status;
    PNDIS_PACKET c = a;
    NdisAllocatePacket(&status, &c, packetPool);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(LedgerCount(Resource::Packet), 2u);

    // NDIS promises nothing about the reserved areas: they are not zero.
    EXPECT_NE(std::count(a->MiniportReserved, a->MiniportReserved + 2 * sizeof(PVOID), 0),
              static_cast<long>(2 * sizeof(PVOID)));
    memset(a->ProtocolReserved, 0, 24);  // all 24 bytes are the packet's own
    EXPECT_EQ(a->Private.Head, nullptr);
    NDIS_SET_PACKET_STATUS(a, NDIS_STATUS_RESOURCES);
    NDIS_SET_PACKET_HEADER_SIZE(a, 14);
    NDIS_SET_PACKET_STATUS(b, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(a), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(a), 14u);
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(b), NDIS_STATUS_SUCCESS);
    EXPECT_GE(a->Private.NdisPacketOobOffset, offsetof(NDIS_PACKET, ProtocolReserved) + 24);

    NdisFreePacket(a);
    NdisAllocatePacket(&status, &c, packetPool);  // a freed descriptor is available again
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    NdisFreePacket(b);
    NdisFreePacket(c);
}

TEST_F(PacketTest, ChainAndCountsCachedUntilRecalculated) {
    PNDIS_PACKET p = Packet();
    PNDIS_BUFFER header = Buffer(0, 14), body = Buffer(4096 - 10, 100), tail = Buffer(8192, 0);
    NdisChainBufferAtBack(p, body);
    NdisChainBufferAtBack(p, tail);
    NdisChainBufferAtFront(p, header);

    UINT pages, count, total;
    PNDIS_BUFFER first, next;
    NdisQueryPacket(p, &pages, &count, &first, &total);
    EXPECT_EQ(first, header);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(total, 114u);
    // The body crosses a page boundary; the empty buffer counts one page, as
    // NDIS_BUFFER_TO_SPAN_PAGES has it on Windows.
    EXPECT_EQ(pages, 4u);
    NdisGetNextBuffer(first, &next);
    EXPECT_EQ(next, body);
    NdisGetNextBuffer(next, &next);
    EXPECT_EQ(next, tail);
    NdisGetNextBuffer(next, &next);
    EXPECT_EQ(next, nullptr);

    // As on Windows: a length adjusted after the counts were taken is seen
    // only after NdisRecalculatePacketCounts.
    NdisAdjustBufferLength(body, 6);
    PVOID address;
    UINT length;
    NdisQueryBuffer(body, &address, &length);
    EXPECT_EQ(address, data + 4096 - 10);
    EXPECT_EQ(length, 6u);
    NdisQueryPacket(p, nullptr, nullptr, nullptr, &total);
    EXPECT_EQ(total, 114u);
    NdisRecalculatePacketCounts(p);
    NdisQueryPacket(p, &pages, nullptr, nullptr, &total);
    EXPECT_EQ(total, 20u);
    EXPECT_EQ(pages, 3u);

    NdisFreeBuffer(header);
    NdisFreeBuffer(body);
    NdisFreeBuffer(tail);
    NdisFreePacket(p);
}

TEST_F(PacketTest, MisuseIsReportedAndLosesNothing) {
    PNDIS_PACKET p = Packet();
    PNDIS_BUFFER b = Buffer(0, 64);
    auto v = CaptureViolations([&] {
        NdisAdjustBufferLength(b, 65);
        NdisChainBufferAtFront(p, b);
        NdisChainBufferAtBack(p, b);
        NdisFreePacketPool(packetPool);
        NdisFreeBufferPool(bufferPool);
    });
    ASSERT_EQ(v.size(), 4u);
    EXPECT_TRUE(AnyContains(v, "NdisAdjustBufferLength(") && AnyContains(v, "maps only 64 bytes"));
    EXPECT_TRUE(AnyContains(v, "already chained to the packet"));
    EXPECT_TRUE(AnyContains(v, "1 packet(s) of the pool are still allocated"));
    EXPECT_TRUE(AnyContains(v, "1 buffer(s) of the pool are still allocated"));
    UINT length;
    NdisQueryBuffer(b, nullptr, &length);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(LedgerCount(Resource::PacketPool), 1u);  // the refused free kept the pool

    NdisFreeBuffer(b);
    NdisFreePacket(p);
    v = CaptureViolations([&] {
        NdisFreePacket(p);
        NdisFreeBuffer(b);
        NdisQueryBuffer(b, nullptr, &length);
    });
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(AnyContains(v, "NdisFreePacket(") && AnyContains(v, "freed twice"));
    EXPECT_TRUE(AnyContains(v, "NdisFreeBuffer("));
    EXPECT_TRUE(AnyContains(v, "the buffer has been freed"));
}

TEST_F(PacketTest, EveryKindOfAllocationCanBeMadeToFail) {
    NDIS_STATUS status;
    NDIS_HANDLE pool = &status;
    FailNth(Resource::PacketPool, 1);
    NdisAllocatePacketPool(&status, &pool, 4, 0);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(pool, nullptr);
    FailNth(Resource::BufferPool, 1);
    NdisAllocateBufferPool(&status, &pool, 4);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);

    FailAll(Resource::Packet);
    FailAll(Resource::Buffer);
    PNDIS_PACKET p;
    PNDIS_BUFFER b;
    NdisAllocatePacket(&status, &p, packetPool);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    NdisAllocateBuffer(&status, &b, bufferPool, data, 10);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(LedgerSize(), 2u);  // only the fixture's pools
    ClearFaults();
}

TEST_F(PacketTest, CallsAboveDispatchLevelAreReported) {
    PNDIS_PACKET p = Packet();
    auto v = CaptureViolations(
        [&] { RunAtIrql(HOST_DEVICE_LEVEL, "an ISR", [&] { NdisFreePacket(p); }); });
    EXPECT_TRUE(AnyContains(v, "NdisFreePacket called at IRQL 12"));
}
