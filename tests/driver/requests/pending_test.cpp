// A statistics request while it pends: what it has stored when its first
// command goes out, and how halt ends a chain that waits for an answer.
#include "tests/driver/requests/requests_support.h"

#include <cstring>

using namespace requests_test;

namespace {

// The adapter's own block. Only for the moment no request can show it:
// while halt finishes an abandoned read, just before the adapter is freed.
Block AdapterBlock(testbed::Unit& unit) {
    const Adapter* adapter = static_cast<const Adapter*>(testing_support::DriverContext(unit));
    std::vector<uint8_t> bytes(sizeof(StatisticsBlock));
    std::memcpy(bytes.data(), &adapter->Statistics, bytes.size());
    return Block::Decode(bytes);
}

// What the upper edge shows of the request each time a command's doorbell
// rings.
struct Doorbell {
    uint8_t command;
    host::RequestResult request;
};

// The hang checks and resets here are the tests' own, at chosen moments.
class PendingTest : public RequestsTest {
protected:
    host::WorldOptions WorldOptions() override { return testing_support::WithoutWatchdog(); }

    std::vector<Doorbell> RingsDuring(testbed::Unit& unit, const std::function<void()>& story) {
        std::vector<Doorbell> rings;
        WindowTap tap(unit, [&](uint32_t offset, uint8_t value) {
            if (offset == MAILBOX_OFFSET + MB_DOORBELL && value == MB_RING) {
                rings.push_back({unit.Card().PeekMailbox(MB_COMMAND), unit.nic->LastRequest()});
            }
        });
        story();
        return rings;
    }
};

// A completion may run on another processor as soon as the first doorbell
// rings; whatever the request returns with must be in place before that.
TEST_F(PendingTest, ReadHasStoredItsCountsWhenItsFirstCommandGoesOut) {
    testbed::Unit& unit = StartedAdapter();
    auto rings = RingsDuring(unit, [&] { Read(unit); });
    ASSERT_EQ(rings.size(), 4u);
    EXPECT_EQ(rings[0].command, XCVR_READ_STATE);
    EXPECT_EQ(rings[0].request.bytesNeeded, 4u);
    EXPECT_EQ(rings[0].request.bytesDone, kUntouched);
    EXPECT_EQ(unit.nic->LastRequest().bytesNeeded, 64u);  // and nothing overwrote the completion
}

TEST_F(PendingTest, ClearHasStoredItsCountsWhenItsFirstCommandGoesOut) {
    testbed::Unit& unit = StartedAdapter();
    auto rings = RingsDuring(unit, [&] { Clear(unit); });
    ASSERT_EQ(rings.size(), 2u);
    EXPECT_EQ(rings[0].command, XCVR_COUNTERS);
    EXPECT_EQ(rings[0].request.bytesNeeded, 4u);
    EXPECT_EQ(rings[0].request.bytesDone, 0u);
}

// Halt while the read waits for each of its four answers in turn.
class HaltDuringReadTest : public PendingTest, public testing::WithParamInterface<int> {};

TEST_P(HaltDuringReadTest, FailsTheReadAndKeepsTheAnswersTaken) {
    ZR48_WHITE_BOX();
    const int waitingFor = GetParam();  // index into the chain
    const uint8_t chain[] = {XCVR_READ_STATE, XCVR_READ_MARGIN, XCVR_READ_ATTENUATION,
                             XCVR_READ_COUNTERS};
    // Line code 2: the margin byte kept is the raw answer, not yet adjusted.
    testbed::Unit& unit = StartedAdapter(WithLineCode(2), WithMargin(9));
    unit.Card().WithholdAnswer(chain[waitingFor]);
    ASSERT_EQ(StartRead(unit).status, NDIS_STATUS_PENDING);
    Advance(100 * kMillisecond);
    ASSERT_TRUE(unit.nic->RequestPending());

    std::vector<Block> atCompletion;
    unit.nic->OnRequestComplete(
        [&](const host::RequestResult&) { atCompletion.push_back(AdapterBlock(unit)); });
    unit.nic->Halt();

    host::RequestResult r = unit.nic->LastRequest();
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(r.buffer, SignedBuffer(64));
    EXPECT_EQ(r.bytesNeeded, 4u);
    EXPECT_EQ(r.bytesDone, kUntouched);

    ASSERT_EQ(atCompletion.size(), 1u);
    const Block& b = atCompletion[0];
    EXPECT_EQ(b.reply82, waitingFor > 0 ? cardmodel::STATE_DATA_MODE : 0);
    EXPECT_EQ(b.reply83, waitingFor > 1 ? 9 : 0);
    EXPECT_EQ(b.reply94, waitingFor > 2 ? (std::array<uint8_t, 2>{kAttenuation, kAttenuation})
                                        : (std::array<uint8_t, 2>{0, 0}));
    EXPECT_EQ(b.reply9E, (std::array<uint8_t, 10>{}));
    EXPECT_EQ(b.lineStatus, 0);
    EXPECT_EQ(b.xmitOk, 0u);  // the counters are copied only by a completed read
}

INSTANTIATE_TEST_SUITE_P(EachAnswer, HaltDuringReadTest, testing::Range(0, 4));

TEST_F(PendingTest, HaltDuringAClearFailsIt) {
    testbed::Unit& unit = StartedAdapter();
    unit.Card().WithholdAnswer(cardmodel::CMD_COUNTERS);
    ASSERT_EQ(StartClear(unit).status, NDIS_STATUS_PENDING);
    Advance(100 * kMillisecond);
    unit.nic->Halt();
    host::RequestResult r = unit.nic->LastRequest();
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(r.bytesDone, 0u);
    EXPECT_EQ(r.bytesNeeded, 4u);
    EXPECT_EQ(r.buffer, SignedBuffer(4));
}

}  // namespace

// NDIS gives a miniport one information request at a time, so one that the
// transceiver never answers would hold every later query and set. The hang
// check asks for a reset once an answer is overdue, and the reset ends the
// request as aborted; the next one is answered.
TEST_F(PendingTest, AnUnansweredReadIsEndedByTheResetTheHangCheckAsksFor) {
    struct Case {
        const char* name;
        std::function<void(cardmodel::Card&)> fault;
    } cases[] = {
        {"answer withheld", [](cardmodel::Card& c) { c.WithholdAnswer(XCVR_READ_MARGIN); }},
        // An answer with result 0 is taken for one whose status a later write
        // wiped: it advances nothing.
        {"result 0", [](cardmodel::Card& c) { c.FailAnswer(0x00, XCVR_READ_MARGIN); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testbed::Unit& unit = StartedAdapter();
        c.fault(unit.Card());
        ASSERT_TRUE(StartRead(unit).pended);
        Advance(2 * kSecond);
        EXPECT_FALSE(unit.nic->CheckForHang());  // 2 s: not yet overdue
        EXPECT_TRUE(unit.nic->RequestPending());
        Advance(2 * kSecond);
        ASSERT_TRUE(unit.nic->CheckForHang());
        EXPECT_EQ(unit.nic->Reset().status, NDIS_STATUS_SUCCESS);
        host::RequestResult ended = unit.nic->LastRequest();
        EXPECT_TRUE(ended.completed);
        EXPECT_EQ(ended.status, NDIS_STATUS_REQUEST_ABORTED);
        EXPECT_EQ(ended.buffer, SignedBuffer(64));  // nothing written into it
        EXPECT_FALSE(unit.nic->CheckForHang());

        unit.Card().ClearAnswerFaults();
        ASSERT_TRUE(StartRead(unit).pended);
        EXPECT_EQ(unit.nic->WaitForRequest(kSecond).status, NDIS_STATUS_SUCCESS);
        unit.nic->Halt();
    }
}

TEST_F(PendingTest, AClearWaitingForItsAnswerIsAbortedByAReset) {
    testbed::Unit& unit = StartedAdapter();
    unit.Card().WithholdAnswer(XCVR_COUNTERS);
    ASSERT_TRUE(unit.nic->Query(OID_ZR48_CLEAR_STATISTICS, SignedBuffer(4)).pended);
    Advance(100 * kMillisecond);
    EXPECT_EQ(unit.nic->Reset().status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.nic->LastRequest().status, NDIS_STATUS_REQUEST_ABORTED);
    EXPECT_EQ(unit.nic->LastRequest().bytesDone, 0u);
    EXPECT_EQ(unit.nic->LastRequest().bytesNeeded, 4u);
}
