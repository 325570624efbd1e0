// How the packet verifier tells what an address is: a live packet or
// buffer, a freed one, one of the protocol's, or nothing the host made (a
// foreign, stale, misplaced or garbage pointer, which is never read). With
// special pool on and off: it changes the memory around the packets'.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/src/internal.h"
#include "host/src/internal_miniport.h"
#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

namespace {

class PacketRegistryTest : public HostTest, public ::testing::WithParamInterface<bool> {
protected:
    host::WorldOptions WorldOptions() override {
        host::WorldOptions options;
        options.specialPool = GetParam();
        return options;
    }
    static NDIS_HANDLE PacketPool(UINT capacity) {
        NDIS_STATUS status;
        NDIS_HANDLE pool;
        NdisAllocatePacketPool(&status, &pool, capacity, 16);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return pool;
    }
    static NDIS_HANDLE BufferPool(UINT capacity) {
        NDIS_STATUS status;
        NDIS_HANDLE pool;
        NdisAllocateBufferPool(&status, &pool, capacity);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return pool;
    }
    static PNDIS_PACKET Packet(NDIS_HANDLE pool) {
        NDIS_STATUS status;
        PNDIS_PACKET p = nullptr;
        NdisAllocatePacket(&status, &p, pool);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return p;
    }
    PNDIS_BUFFER Buffer(NDIS_HANDLE pool) {
        NDIS_STATUS status;
        PNDIS_BUFFER b = nullptr;
        NdisAllocateBuffer(&status, &b, pool, data, sizeof data);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return b;
    }
    // The one violation a query of `p` as a packet gives ("" for none).
    static std::string AsPacket(const void* p) {
        auto v = CaptureViolations([&] {
            UINT total;
            NdisQueryPacket(static_cast<PNDIS_PACKET>(const_cast<void*>(p)), nullptr, nullptr,
                            nullptr, &total);
        });
        EXPECT_LE(v.size(), 1u);
        return v.empty() ? "" : v[0];
    }
    static std::string AsBuffer(const void* b) {
        auto v = CaptureViolations([&] {
            UINT length;
            NdisQueryBuffer(static_cast<PNDIS_BUFFER>(const_cast<void*>(b)), nullptr, &length);
        });
        EXPECT_LE(v.size(), 1u);
        return v.empty() ? "" : v[0];
    }
    static const uint8_t* Bytes(const void* p) { return static_cast<const uint8_t*>(p); }

    uint8_t data[64] = {};
};

constexpr const char* kNotAPacket = "not a packet from NdisAllocatePacket";
constexpr const char* kNotABuffer = "not a buffer from NdisAllocateBuffer";

// Addresses near live packets and buffers but not theirs: inside one, the
// next slot before it is handed out, past the last of a pool, on the stack,
// far away, and a packet taken for a buffer and the other way round. None is
// dereferenced (a garbage address would fault).
TEST_P(PacketRegistryTest, AddressesThatAreNoPacketOrBufferAreNamedSo) {
    NDIS_HANDLE packets = PacketPool(20), buffers = BufferPool(20);
    PNDIS_PACKET first = Packet(packets), second = Packet(packets);
    PNDIS_BUFFER b1 = Buffer(buffers), b2 = Buffer(buffers);
    ptrdiff_t packetStep = Bytes(second) - Bytes(first);
    ptrdiff_t bufferStep = Bytes(b2) - Bytes(b1);
    ASSERT_GE(packetStep, static_cast<ptrdiff_t>(sizeof(NDIS_PACKET)));
    ASSERT_GE(bufferStep, static_cast<ptrdiff_t>(sizeof(NDIS_BUFFER)));

    EXPECT_EQ(AsPacket(first), "");
    EXPECT_EQ(AsBuffer(b2), "");
    NDIS_PACKET onStack{};
    for (const void* p : std::vector<const void*>{&onStack, Bytes(first) + 8,
                          Bytes(second) - 1, Bytes(second) + packetStep,  // not handed out yet
                          Bytes(first) + 16 * packetStep,  // one past the first slab of the pool
                          Bytes(first) - packetStep,
                          static_cast<const void*>(b1),
                          reinterpret_cast<const void*>(uintptr_t{0x1000}),
                          reinterpret_cast<const void*>(~uintptr_t{0} & ~uintptr_t{0xF})}) {
        std::string v = AsPacket(p);
        EXPECT_NE(v.find(kNotAPacket), std::string::npos) << p << ": " << v;
    }
    for (const void* b : std::vector<const void*>{Bytes(b1) + 4, Bytes(b2) + bufferStep, Bytes(b1) - bufferStep,
                          static_cast<const void*>(first),
                          reinterpret_cast<const void*>(uintptr_t{0x2000})}) {
        std::string v = AsBuffer(b);
        EXPECT_NE(v.find(kNotABuffer), std::string::npos) << b << ": " << v;
    }
    // A pool's handle is no other kind of pool.
    auto v = CaptureViolations([&] {
        PNDIS_PACKET p;
        PNDIS_BUFFER b;
        NDIS_STATUS status;
        NdisAllocatePacket(&status, &p, buffers);
        NdisAllocateBuffer(&status, &b, packets, data, 4);
        NdisFreeBufferPool(packets);
    });
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(AnyContains({v[0]}, "is not a packet pool"));
    EXPECT_TRUE(AnyContains({v[1]}, "is not a buffer pool"));
    EXPECT_TRUE(AnyContains({v[2]}, "not a buffer pool"));

    NdisFreePacket(first);
    NdisFreePacket(second);
    NdisFreeBuffer(b1);
    NdisFreeBuffer(b2);
    NdisFreePacketPool(packets);
    NdisFreeBufferPool(buffers);
    // The pools' memory is gone: their packets and buffers are nothing now.
    EXPECT_NE(AsPacket(first).find(kNotAPacket), std::string::npos);
    EXPECT_NE(AsBuffer(b1).find(kNotABuffer), std::string::npos);
}

// A pool that grows over several slabs: every packet and buffer in each is
// found, a freed one is named freed until its slot is handed out again
// (oldest first), and nothing is lost or found twice.
TEST_P(PacketRegistryTest, EveryBlockOfAGrowingPoolIsFoundFreedAndReused) {
    constexpr UINT kCapacity = 70;  // 16, 16, 32 and 6 slots
    NDIS_HANDLE packets = PacketPool(kCapacity), buffers = BufferPool(kCapacity);
    std::vector<PNDIS_PACKET> p;
    std::vector<PNDIS_BUFFER> b;
    for (UINT i = 0; i < kCapacity; ++i) {
        p.push_back(Packet(packets));
        b.push_back(Buffer(buffers));
        NdisChainBufferAtBack(p.back(), b.back());
    }
    NDIS_STATUS status;
    PNDIS_PACKET extra;
    NdisAllocatePacket(&status, &extra, packets);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    for (UINT i = 0; i < kCapacity; ++i) {
        UINT count = 0, total = 0;
        PNDIS_BUFFER head = nullptr;
        NdisQueryPacket(p[i], nullptr, &count, &head, &total);
        EXPECT_EQ(head, b[i]);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(total, sizeof data);
    }

    // Free one from each slab; each is named freed, twice freed, and comes
    // back in the order it was freed.
    std::vector<UINT> freed = {3, 20, 40, 69};
    for (UINT i : freed) {
        NdisFreeBuffer(b[i]);
        NdisFreePacket(p[i]);
    }
    for (UINT i : freed) {
        EXPECT_NE(AsPacket(p[i]).find("the packet has been freed"), std::string::npos);
        EXPECT_NE(AsBuffer(b[i]).find("the buffer has been freed"), std::string::npos);
        auto v = CaptureViolations([&] { NdisFreePacket(p[i]); });
        EXPECT_TRUE(AnyContains(v, "freed twice"));
    }
    EXPECT_EQ(AsPacket(p[4]), "");  // its neighbours are untouched
    for (UINT i : freed) {
        EXPECT_EQ(Packet(packets), p[i]);
        EXPECT_EQ(Buffer(buffers), b[i]);
        EXPECT_EQ(AsPacket(p[i]), "");
    }
    for (UINT i = 0; i < kCapacity; ++i) {
        NdisFreeBuffer(b[i]);
        NdisFreePacket(p[i]);
    }
    NdisFreePacketPool(packets);
    NdisFreeBufferPool(buffers);
}

// Two pools side by side: freeing one leaves the other's packets found, and
// a new pool (which may reuse the freed one's memory) hands out packets that
// are its own.
TEST_P(PacketRegistryTest, FreeingOnePoolLeavesAnothersPacketsAlone) {
    NDIS_HANDLE a = PacketPool(4), b = PacketPool(4);
    PNDIS_PACKET fromA = Packet(a), fromB = Packet(b);
    NdisFreePacket(fromA);
    NdisFreePacketPool(a);
    EXPECT_NE(AsPacket(fromA).find(kNotAPacket), std::string::npos);
    EXPECT_EQ(AsPacket(fromB), "");
    NDIS_HANDLE c = PacketPool(4);
    PNDIS_PACKET fromC = Packet(c);
    EXPECT_EQ(AsPacket(fromC), "");
    EXPECT_EQ(fromC->Private.Pool, c);
    NdisFreePacket(fromB);
    NdisFreePacket(fromC);
    NdisFreePacketPool(b);
    NdisFreePacketPool(c);
}

// The protocol's packets and buffers: the driver may read them, never free
// them; one kept for a later send counts as freed; a deleted one is nothing,
// until its slot makes a new one.
TEST_P(PacketRegistryTest, AProtocolsPacketsAreReadableNotFreeableAndGoneOnceDeleted) {
    using namespace host::internal;
    PNDIS_PACKET p = NewProtocolPacket();
    PNDIS_BUFFER b = NewProtocolBuffer(data, 20);
    p->Private.Head = p->Private.Tail = b;
    CountProtocolPacket(p);
    EXPECT_EQ(AsPacket(p), "");
    EXPECT_EQ(AsBuffer(b), "");
    EXPECT_FALSE(IsPoolPacket(p));
    auto v = CaptureViolations([&] {
        NdisFreePacket(p);
        NdisFreeBuffer(b);
        NdisAdjustBufferLength(b, 10);
    });
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(AnyContains({v[0]}, "the packet belongs to the protocol that sent it"));
    EXPECT_TRUE(AnyContains({v[1]}, "the buffer belongs to the protocol that sent it"));
    EXPECT_TRUE(AnyContains({v[2]}, "the buffer belongs to the protocol that sent it"));

    SetProtocolPacketLive(p, {b}, false);
    EXPECT_NE(AsPacket(p).find("the packet has been freed"), std::string::npos);
    EXPECT_NE(AsBuffer(b).find("the buffer has been freed"), std::string::npos);
    SetProtocolPacketLive(p, {b}, true);
    EXPECT_EQ(AsBuffer(b), "");

    // Redescribed longer, the buffer may be that long.
    RedescribeProtocolBuffer(b, data, 40);
    p->Private.Head = p->Private.Tail = b;
    p->Private.ValidCounts = FALSE;  // counted from the chain, each length checked
    UINT total = 0;
    NdisQueryPacket(p, nullptr, nullptr, nullptr, &total);
    EXPECT_EQ(total, 40u);

    DeleteProtocolBuffer(b);
    DeleteProtocolPacket(p);
    EXPECT_NE(AsPacket(p).find(kNotAPacket), std::string::npos);
    EXPECT_NE(AsBuffer(b).find(kNotABuffer), std::string::npos);
    // Their slots make the next ones.
    PNDIS_PACKET again = NewProtocolPacket();
    PNDIS_BUFFER againBuffer = NewProtocolBuffer(data, 8);
    EXPECT_EQ(again, p);
    EXPECT_EQ(againBuffer, b);
    EXPECT_EQ(AsBuffer(againBuffer), "");
    DeleteProtocolBuffer(againBuffer);
    DeleteProtocolPacket(again);
}

// A buffer chain that loops back on itself is found, however many buffers
// are registered.
TEST_P(PacketRegistryTest, ALoopInABufferChainIsFound) {
    NDIS_HANDLE packets = PacketPool(2), buffers = BufferPool(4);
    PNDIS_PACKET p = Packet(packets);
    PNDIS_BUFFER one = Buffer(buffers), two = Buffer(buffers);
    NdisChainBufferAtBack(p, one);
    NdisChainBufferAtBack(p, two);
    two->Next = one;  // what a stray store into the chain leaves
    auto v = CaptureViolations([&] {
        UINT total;
        NdisQueryPacket(p, nullptr, nullptr, nullptr, &total);
    });
    EXPECT_TRUE(AnyContains(v, "the packet's buffer chain loops"));
    two->Next = nullptr;
    NdisFreeBuffer(one);
    NdisFreeBuffer(two);
    NdisFreePacket(p);
    NdisFreePacketPool(packets);
    NdisFreeBufferPool(buffers);
}

INSTANTIATE_TEST_SUITE_P(SpecialPool, PacketRegistryTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "On" : "Off";
                         });

}  // namespace
