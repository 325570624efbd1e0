// The standard objects, asked the way a protocol asks them: every answer
// against buffers too short, exact and too long, the supported list, the
// objects that are not answered, and the values that follow the adapter.
#include <set>

#include "tests/driver/requests/requests_support.h"

using namespace requests_test;
using testbed::MakeFrame;

namespace {

// One answered object: the bytes of its full answer (L = their count) and
// the shortest buffer it accepts.
struct Row {
    NDIS_OID oid;
    std::vector<uint8_t> answer;
    ULONG minimum;
};

std::vector<uint8_t> U32(uint32_t v) { return host::UlongBytes(v); }
std::vector<uint8_t> U64(uint64_t v) {
    std::vector<uint8_t> b(8);
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}

const std::vector<uint8_t> kAddress = {0x02, 0xA1, 0xA2, 0xB3, 0xC4, 0xD5};
const std::vector<uint8_t> kMulticast = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01,
                                         0x01, 0x00, 0x5E, 0x00, 0x00, 0x02,
                                         0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA};

class QueryTest : public RequestsTest {
protected:
    // A started adapter with a known address, a 3-entry multicast list and
    // some traffic behind it: 4 frames sent (one of them a transmit error),
    // 2 received and 1 receive error (a descriptor with an impossible length).
    testbed::Unit& BusyAdapter() {
        testbed::AdapterSetup setup;
        setup.strings["NetworkAddress"] = "02A1A2B3C4D5";
        testbed::Unit& unit = machine->AddAdapter(setup);
        machine->Loopback(unit);
        machine->Start(unit);
        EXPECT_TRUE(machine->LinkUp(unit));
        EXPECT_EQ(unit.nic->Set(OID_802_3_MULTICAST_LIST, kMulticast).status, NDIS_STATUS_SUCCESS);
        unit.Card().FailNextTransmits(1);
        unit.nic->Send({MakeFrame(60, 1), MakeFrame(61, 2), MakeFrame(62, 3), MakeFrame(63, 4)});
        unit.Card().MisreportNextReceiveLength(1600);  // not indicated, a receive error
        for (uint8_t seed = 5; seed < 8; ++seed) unit.loopback->InjectFrame(MakeFrame(80, seed));
        Advance(100 * kMillisecond);
        return unit;
    }

    static std::vector<Row> Table() {
        const char description[] = "Morvane ZR48-PCI SHDSL Modem";
        return {
            {OID_GEN_HARDWARE_STATUS, U32(0), 4},
            {OID_GEN_MEDIA_SUPPORTED, U32(0), 4},
            {OID_GEN_MEDIA_IN_USE, U32(0), 4},
            {OID_GEN_MAXIMUM_LOOKAHEAD, U32(1500), 4},
            {OID_GEN_MAXIMUM_FRAME_SIZE, U32(1500), 4},
            {OID_GEN_LINK_SPEED, U32(20480), 4},
            {OID_GEN_TRANSMIT_BUFFER_SPACE, U32(1514), 4},
            {OID_GEN_RECEIVE_BUFFER_SPACE, U32(1514), 4},
            {OID_GEN_TRANSMIT_BLOCK_SIZE, U32(12), 4},
            {OID_GEN_RECEIVE_BLOCK_SIZE, U32(1514), 4},
            {OID_GEN_VENDOR_ID, {0x00, 0xA1, 0xA2, 0x00}, 4},
            {OID_GEN_VENDOR_DESCRIPTION, {description, description + sizeof(description)}, 29},
            {OID_GEN_CURRENT_LOOKAHEAD, U32(1500), 4},
            {OID_GEN_DRIVER_VERSION, {0x00, 0x05}, 2},
            {OID_GEN_MAXIMUM_TOTAL_SIZE, U32(1514), 4},
            {OID_GEN_MAC_OPTIONS, U32(0x1D), 4},
            {OID_GEN_MEDIA_CONNECT_STATUS, U32(0), 4},
            {OID_GEN_MAXIMUM_SEND_PACKETS, U32(32), 4},
            {OID_GEN_VENDOR_DRIVER_VERSION, U32(0x0001000A), 4},
            {OID_GEN_PHYSICAL_MEDIUM, U32(5), 4},
            {OID_GEN_XMIT_OK, U64(4), 4},
            {OID_GEN_RCV_OK, U64(2), 4},
            {OID_GEN_XMIT_ERROR, U64(1), 4},
            {OID_GEN_RCV_ERROR, U64(1), 4},
            {OID_GEN_RCV_NO_BUFFER, U32(0), 4},
            {OID_GEN_TRANSMIT_QUEUE_LENGTH, U32(128), 4},
            {OID_802_3_PERMANENT_ADDRESS, kAddress, 6},
            {OID_802_3_CURRENT_ADDRESS, kAddress, 6},
            {OID_802_3_MULTICAST_LIST, kMulticast, 18},
            {OID_802_3_MAXIMUM_LIST_SIZE, U32(32), 4},
            {OID_802_3_RCV_ERROR_ALIGNMENT, U32(0), 4},
            {OID_802_3_XMIT_ONE_COLLISION, U32(0), 4},
            {OID_802_3_XMIT_MORE_COLLISIONS, U32(0), 4},
        };
    }

    // The buffer lengths a row is asked with: one short of M, M, one
    // between M and L where there is room, L, and past L.
    static std::vector<ULONG> Lengths(const Row& row) {
        ULONG full = static_cast<ULONG>(row.answer.size());
        std::vector<ULONG> lengths;
        if (row.minimum > 0) lengths.push_back(row.minimum - 1);
        lengths.push_back(row.minimum);
        if (full > row.minimum + 1) lengths.push_back((row.minimum + full) / 2);
        if (full != row.minimum) lengths.push_back(full);
        lengths.push_back(full + 5);
        return lengths;
    }

    // One query of `row` with `length` bytes against the copy-out rule.
    static void ExpectCopyOut(testbed::Unit& unit, const Row& row, ULONG length) {
        SCOPED_TRACE(testing::Message() << "OID 0x" << std::hex << row.oid << std::dec
                                        << ", buffer of " << length);
        ULONG full = static_cast<ULONG>(row.answer.size());
        host::RequestResult r = unit.nic->Query(row.oid, length);
        EXPECT_FALSE(r.pended);
        EXPECT_EQ(r.bytesNeeded, full);
        std::vector<uint8_t> expected(length, kPattern);
        if (length < row.minimum) {
            EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
            EXPECT_EQ(r.bytesDone, 0u);
        } else {
            ULONG n = std::min(length, full);
            EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(r.bytesDone, n);
            std::copy(row.answer.begin(), row.answer.begin() + n, expected.begin());
        }
        EXPECT_EQ(r.buffer, expected);
    }
};

TEST_F(QueryTest, EveryObjectFollowsTheCopyOutRuleWithoutTouchingTheCard) {
    testbed::Unit& unit = BusyAdapter();
    unit.Card().ClearAccessLog();
    for (const Row& row : Table()) {
        for (ULONG length : Lengths(row)) ExpectCopyOut(unit, row, length);
    }
    // Every answer comes from the adapter; the card is not asked.
    EXPECT_EQ(cardmodel::Describe(unit.Card().AccessLog()), std::vector<std::string>{});
}

TEST_F(QueryTest, SupportedListNamesExactlyWhatTheAdapterHandles) {
    testbed::Unit& unit = BusyAdapter();
    host::RequestResult r = unit.nic->Query(OID_GEN_SUPPORTED_LIST, 200);
    ASSERT_EQ(r.status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(r.bytesDone, 148u);
    EXPECT_EQ(r.bytesNeeded, 148u);
    EXPECT_EQ(std::vector<uint8_t>(r.buffer.begin() + 148, r.buffer.end()),
              std::vector<uint8_t>(200 - 148, kPattern));
    std::set<uint32_t> listed;
    for (size_t i = 0; i < 37; ++i) listed.insert(LittleEndian(r.buffer, 4 * i, 4));
    EXPECT_EQ(LittleEndian(r.buffer, 0, 4), OID_GEN_SUPPORTED_LIST);
    // Every object answered, the set-only packet filter and the two private
    // requests, each once.
    std::set<uint32_t> handled = {OID_GEN_SUPPORTED_LIST, OID_GEN_CURRENT_PACKET_FILTER,
                                  OID_ZR48_GET_STATISTICS, OID_ZR48_CLEAR_STATISTICS};
    for (const Row& row : Table()) handled.insert(row.oid);
    EXPECT_EQ(listed, handled);
    EXPECT_EQ(listed.size(), 37u);

    host::RequestResult shortOne = unit.nic->Query(OID_GEN_SUPPORTED_LIST, 147);
    EXPECT_EQ(shortOne.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(shortOne.bytesDone, 0u);
    EXPECT_EQ(shortOne.bytesNeeded, 148u);
}

TEST_F(QueryTest, ObjectsNotAnsweredLeaveBufferAndBytesWrittenAlone) {
    testbed::Unit& unit = StartedAdapter();
    const NDIS_OID unanswered[] = {OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_PROTOCOL_OPTIONS,
                                   OID_802_3_MAC_OPTIONS, OID_GEN_RCV_CRC_ERROR, 0x00000000,
                                   0xFF020212, 0xFFFFFFFF};
    for (NDIS_OID oid : unanswered) {
        for (ULONG length : {0u, 4u, 64u}) {
            SCOPED_TRACE(testing::Message() << std::hex << oid << std::dec << " / " << length);
            host::RequestResult r = unit.nic->Query(oid, length);
            EXPECT_EQ(r.status, NDIS_STATUS_INVALID_OID);
            EXPECT_EQ(r.bytesNeeded, 4u);
            EXPECT_EQ(r.bytesDone, kUntouched);
            EXPECT_EQ(r.buffer, std::vector<uint8_t>(length, kPattern));
        }
    }
}

TEST_F(QueryTest, SixtyFourBitCountersAreCutToTheBufferFromFourBytesOn) {
    testbed::Unit& unit = BusyAdapter();
    struct Case {
        ULONG length;
        NDIS_STATUS status;
        ULONG written;
    };
    const Case cases[] = {{0, NDIS_STATUS_INVALID_LENGTH, 0}, {3, NDIS_STATUS_INVALID_LENGTH, 0},
                          {4, NDIS_STATUS_SUCCESS, 4},        {6, NDIS_STATUS_SUCCESS, 6},
                          {8, NDIS_STATUS_SUCCESS, 8},        {16, NDIS_STATUS_SUCCESS, 8}};
    const std::pair<NDIS_OID, uint64_t> counters[] = {
        {OID_GEN_XMIT_OK, 4}, {OID_GEN_RCV_OK, 2}, {OID_GEN_XMIT_ERROR, 1}, {OID_GEN_RCV_ERROR, 1}};
    for (auto [oid, value] : counters) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << std::hex << oid << std::dec << " / " << c.length);
            host::RequestResult r = unit.nic->Query(oid, c.length);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.bytesDone, c.written);
            EXPECT_EQ(r.bytesNeeded, 8u);
            std::vector<uint8_t> expected(c.length, kPattern);
            auto full = U64(value);
            std::copy(full.begin(), full.begin() + c.written, expected.begin());
            EXPECT_EQ(r.buffer, expected);
        }
    }
}

TEST_F(QueryTest, LinkSpeedIsTheRateTheTransceiverWasGiven) {
    struct Case {
        std::map<std::string, uint32_t> parameters;
        uint32_t speed;  // units of 100 bit/s
    };
    const Case cases[] = {
        {{}, 20480},                                  // 2048 kbit/s by default
        {{{"LineRate", 1024}}, 10240},                 // as configured
        {{{"LineRate", 8000}}, 60160},                 // settled down to 6016 kbit/s
        {{{"LineRate", 32}}, 640},                     // settled up to 64 kbit/s
        {{{"ConfigType", 1}, {"TerminalType", 1}, {"LineRate", 4096}}, 23040},  // 2304 kbit/s
        {{{"ConfigType", 1}, {"TerminalType", 0}, {"LineRate", 4096}}, 1920},   // adaptive: 192
    };
    for (const Case& c : cases) {
        testbed::Unit& unit = machine->AddAdapter(c.parameters);
        ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
        host::RequestResult r = unit.nic->Query(OID_GEN_LINK_SPEED, 4);
        EXPECT_EQ(LittleEndian(r.buffer, 0, 4), c.speed);
        ASSERT_TRUE(unit.Card().Config().rateKbps.has_value());
        EXPECT_EQ(LittleEndian(r.buffer, 0, 4), *unit.Card().Config().rateKbps * 10);
        unit.nic->Halt();
    }
}

// The connect status through the three line states, with and without
// AlwaysConnected.
class ConnectStatusTest : public QueryTest, public testing::WithParamInterface<bool> {
protected:
    uint32_t Status(testbed::Unit& unit) {
        return static_cast<uint32_t>(
            LittleEndian(unit.nic->Query(OID_GEN_MEDIA_CONNECT_STATUS, 4).buffer, 0, 4));
    }
    uint32_t Expected(bool lineUp) {
        return GetParam() || lineUp ? NdisMediaStateConnected : NdisMediaStateDisconnected;
    }
    testbed::Unit& Adapter() { return machine->AddAdapter({{"AlwaysConnected", GetParam()}}); }
};

TEST_P(ConnectStatusTest, UnconfiguredTransceiver) {
    testbed::Unit& unit = Adapter();
    machine->Loopback(unit);
    // The start command is refused: the transceiver is never configured.
    unit.Card().FailAnswer(cardmodel::RESULT_WRONG_STATE, cardmodel::CMD_START_LINE);
    ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
    Advance(5 * kSecond);
    EXPECT_EQ(Status(unit), Expected(false));
}

TEST_P(ConnectStatusTest, LineDownThenUpThenDownAgain) {
    testbed::Unit& unit = Adapter();
    auto& partner = machine->Loopback(unit);
    partner.StopPartner();
    ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
    Advance(5 * kSecond);
    EXPECT_EQ(Status(unit), Expected(false));

    partner.StartPartner();
    Advance(5 * kSecond);
    EXPECT_EQ(Status(unit), Expected(true));

    partner.StopPartner();
    Advance(1 * kSecond);
    EXPECT_EQ(Status(unit), Expected(false));
}

INSTANTIATE_TEST_SUITE_P(AlwaysConnected, ConnectStatusTest, testing::Bool());

}  // namespace
