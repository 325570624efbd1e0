// The three settable objects: the packet filter the receive path obeys, the
// lookahead that is taken and ignored, and the multicast list that is stored
// and reported back. Every refusal leaves the adapter as it was.
#include "tests/driver/requests/requests_support.h"

using namespace requests_test;
using testbed::MakeFrame;

namespace {

struct Outcome {
    NDIS_STATUS status;
    ULONG bytesRead;
    ULONG bytesNeeded;
};

std::vector<uint8_t> Addresses(size_t count, uint8_t seed) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> a = {0x01, 0x00, 0x5E, seed, static_cast<uint8_t>(i), 0x10};
        bytes.insert(bytes.end(), a.begin(), a.end());
    }
    return bytes;
}

class SetTest : public RequestsTest {
protected:
    static void Expect(const host::RequestResult& r, const Outcome& o) {
        EXPECT_FALSE(r.pended);
        EXPECT_EQ(r.status, o.status);
        EXPECT_EQ(r.bytesDone, o.bytesRead);
        EXPECT_EQ(r.bytesNeeded, o.bytesNeeded);
    }
    // How many of `count` frames from the far end reach the protocol.
    size_t Indicated(testbed::Unit& unit, uint8_t count) {
        unit.nic->ClearRecords();
        for (uint8_t i = 0; i < count; ++i) unit.loopback->InjectFrame(MakeFrame(64, i));
        Advance(50 * kMillisecond);
        return unit.nic->Received().size();
    }
    static std::vector<uint8_t> MulticastList(testbed::Unit& unit) {
        host::RequestResult r = unit.nic->Query(OID_802_3_MULTICAST_LIST, 200);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(r.bytesDone, r.bytesNeeded);
        r.buffer.resize(r.bytesDone);
        return r.buffer;
    }
};

TEST_F(SetTest, PacketFilterTakesOnlyTheFiveKnownBitsInFourBytes) {
    testbed::Unit& unit = StartedAdapter();
    struct Case {
        std::vector<uint8_t> bytes;
        Outcome outcome;
    };
    const Case cases[] = {
        {host::UlongBytes(0x0B), {NDIS_STATUS_SUCCESS, 4, 0}},
        {host::UlongBytes(0x2F), {NDIS_STATUS_SUCCESS, 4, 0}},
        {host::UlongBytes(0x10), {NDIS_STATUS_NOT_SUPPORTED, 0, 0}},   // source routing
        {host::UlongBytes(0x40), {NDIS_STATUS_NOT_SUPPORTED, 0, 0}},
        {host::UlongBytes(0x0100002F), {NDIS_STATUS_NOT_SUPPORTED, 0, 0}},
        {{0x0B, 0x00}, {NDIS_STATUS_INVALID_LENGTH, 0, 0}},
        {{0x0B, 0, 0, 0, 0, 0, 0, 0}, {NDIS_STATUS_INVALID_LENGTH, 0, 0}},
        {{}, {NDIS_STATUS_INVALID_LENGTH, 0, 0}},
        {host::UlongBytes(0), {NDIS_STATUS_SUCCESS, 4, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        Expect(unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER, c.bytes), c.outcome);
    }
}

TEST_F(SetTest, ZeroFilterStopsIndicationsAndRefusalsKeepTheFilterInForce) {
    testbed::Unit& unit = StartedAdapter();  // directed and broadcast
    EXPECT_EQ(Indicated(unit, 3), 3u);

    EXPECT_EQ(unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER, host::UlongBytes(0)).status,
              NDIS_STATUS_SUCCESS);
    uint64_t counted = Counter(unit, OID_GEN_RCV_OK);
    EXPECT_EQ(Indicated(unit, 3), 0u);
    EXPECT_EQ(Counter(unit, OID_GEN_RCV_OK), counted + 3);  // taken off the ring all the same

    // Neither a refused bit nor a wrong length brings the old filter back.
    unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER, host::UlongBytes(0x19));
    unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER, {0x09, 0x00});
    EXPECT_EQ(Indicated(unit, 2), 0u);

    EXPECT_EQ(unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER, host::UlongBytes(0x08)).status,
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Indicated(unit, 2), 2u);
    unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER, host::UlongBytes(0x80));
    EXPECT_EQ(Indicated(unit, 2), 2u);
}

TEST_F(SetTest, LookaheadOfFourBytesIsTakenWhateverItSays) {
    testbed::Unit& unit = StartedAdapter();
    for (ULONG value : {0u, 64u, 1500u, 1501u, 0xFFFFFFFFu}) {
        Expect(unit.nic->Set(OID_GEN_CURRENT_LOOKAHEAD, host::UlongBytes(value)),
               {NDIS_STATUS_SUCCESS, 4, 0});
        EXPECT_EQ(LittleEndian(unit.nic->Query(OID_GEN_CURRENT_LOOKAHEAD, 4).buffer, 0, 4), 1500u);
    }
    for (size_t length : {0u, 2u, 8u}) {
        Expect(unit.nic->Set(OID_GEN_CURRENT_LOOKAHEAD, std::vector<uint8_t>(length, 0x10)),
               {NDIS_STATUS_INVALID_LENGTH, 0, 4});
    }
}

TEST_F(SetTest, MulticastListLengthsAtTheEdges) {
    testbed::Unit& unit = StartedAdapter();
    const std::vector<uint8_t> full = Addresses(32, 0xA0);
    Expect(unit.nic->Set(OID_802_3_MULTICAST_LIST, full), {NDIS_STATUS_SUCCESS, 192, 0});
    EXPECT_EQ(MulticastList(unit), full);

    // A multiple of six is checked before the size: 193 is a wrong length,
    // 198 one address too many. Neither touches the list.
    struct Case {
        size_t length;
        NDIS_STATUS status;
    };
    for (Case c : {Case{198, NDIS_STATUS_MULTICAST_FULL}, Case{204, NDIS_STATUS_MULTICAST_FULL},
                   Case{193, NDIS_STATUS_INVALID_LENGTH}, Case{7, NDIS_STATUS_INVALID_LENGTH},
                   Case{1, NDIS_STATUS_INVALID_LENGTH}}) {
        SCOPED_TRACE(c.length);
        Expect(unit.nic->Set(OID_802_3_MULTICAST_LIST, std::vector<uint8_t>(c.length, 0x01)),
               {c.status, 0, 0});
        EXPECT_EQ(MulticastList(unit), full);
    }

    Expect(unit.nic->Set(OID_802_3_MULTICAST_LIST, {}), {NDIS_STATUS_SUCCESS, 0, 0});
    EXPECT_EQ(MulticastList(unit), std::vector<uint8_t>{});
    host::RequestResult none = unit.nic->Query(OID_802_3_MULTICAST_LIST, 0);  // needs no buffer
    EXPECT_EQ(none.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(none.bytesNeeded, 0u);
    EXPECT_EQ(none.bytesDone, 0u);
}

TEST_F(SetTest, ShorterListReplacesALongerOne) {
    testbed::Unit& unit = StartedAdapter();
    ASSERT_EQ(unit.nic->Set(OID_802_3_MULTICAST_LIST, Addresses(5, 0x11)).status,
              NDIS_STATUS_SUCCESS);
    // Addresses are stored as given, a unicast one among them.
    std::vector<uint8_t> two = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09,
                                0x01, 0x00, 0x5E, 0x22, 0x01, 0x10};
    Expect(unit.nic->Set(OID_802_3_MULTICAST_LIST, two), {NDIS_STATUS_SUCCESS, 12, 0});
    EXPECT_EQ(MulticastList(unit), two);
    host::RequestResult shortBuffer = unit.nic->Query(OID_802_3_MULTICAST_LIST, 11);
    EXPECT_EQ(shortBuffer.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(shortBuffer.bytesNeeded, 12u);
}

TEST_F(SetTest, ObjectsThatAreOnlyQueriedAreRefusedWithoutTouchingTheCard) {
    testbed::Unit& unit = StartedAdapter();
    unit.Card().ClearAccessLog();
    for (NDIS_OID oid : std::vector<NDIS_OID>{OID_GEN_MAXIMUM_LOOKAHEAD, OID_GEN_SUPPORTED_LIST, OID_GEN_LINK_SPEED,
                         OID_802_3_CURRENT_ADDRESS, OID_GEN_PROTOCOL_OPTIONS,
                         OID_ZR48_GET_STATISTICS, OID_ZR48_CLEAR_STATISTICS}) {
        SCOPED_TRACE(oid);
        Expect(unit.nic->Set(oid, SignedBuffer(4)), {NDIS_STATUS_INVALID_OID, 0, 0});
    }
    unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER, host::UlongBytes(0x0B));
    unit.nic->Set(OID_GEN_CURRENT_LOOKAHEAD, host::UlongBytes(256));
    unit.nic->Set(OID_802_3_MULTICAST_LIST, Addresses(3, 0x33));
    // The objects live in the adapter: nothing is programmed into the card.
    EXPECT_EQ(cardmodel::Describe(unit.Card().AccessLog()), std::vector<std::string>{});
}

}  // namespace
