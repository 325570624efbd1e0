// NDIS's watchdog with the driver. Nothing here calls the hang check or a
// reset: the host's watchdog does, every two seconds of virtual time, as
// NDIS does. A statistics request the transceiver never answers, and a
// transmitter that has stopped dead, are freed by the resets it makes, and
// the adapter works on.
#include "tests/driver/datapath/datapath_support.h"

using namespace datapath_test;

namespace {

class WatchdogTest : public DataPathTest {};

}  // namespace

TEST_F(WatchdogTest, AStatisticsRequestWhoseAnswerIsWithheldIsEndedAndTheNextIsAnswered) {
    Unit& unit = StartedAdapter();
    unit.Card().WithholdAnswer();
    host::Nanoseconds asked = host::Now();
    ASSERT_TRUE(unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest()).pended);
    host::RequestResult ended = unit.nic->WaitForRequest(10 * host::kSecond);
    ASSERT_TRUE(ended.completed);
    EXPECT_EQ(ended.status, NDIS_STATUS_REQUEST_ABORTED);
    EXPECT_EQ(ended.buffer, StatisticsRequest());  // nothing written into it
    // NDIS's time-out (outstanding at two wake-ups) or the driver's own
    // (an answer overdue by 3 s) asked for it, whichever came first.
    EXPECT_LE(host::Now() - asked, 4 * host::kSecond);
    auto resets = unit.nic->Resets();
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_TRUE(resets[0].byWatchdog);
    EXPECT_EQ(resets[0].status, NDIS_STATUS_SUCCESS);

    host::RequestResult next = unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest());
    ASSERT_TRUE(next.pended);
    next = unit.nic->WaitForRequest(host::kSecond);
    EXPECT_EQ(next.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(next.bytesDone, 64u);
    EXPECT_TRUE(machine->LinkUp(unit));
    EXPECT_EQ(unit.nic->Resets().size(), 1u);
}

TEST_F(WatchdogTest, AStalledTransmitterIsRecoveredByTheWatchdogAlone) {
    Unit& unit = StartedAdapter();
    unit.Card().WedgeTransmitter();
    SendFrames(unit, Frames(3, 1000));
    ASSERT_TRUE(host::RunUntil([&] { return unit.nic->Completions().size() == 3; },
                               10 * host::kSecond));
    for (auto& done : unit.nic->Completions()) EXPECT_EQ(done.status, NDIS_STATUS_REQUEST_ABORTED);
    auto resets = unit.nic->Resets();
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0].reason, "MiniportCheckForHang answered TRUE");

    auto after = Frames(4, 200, 9);
    SendFrames(unit, after);
    ExpectOnLine(unit, after);
    AwaitCompletions(unit);
    ASSERT_EQ(unit.nic->Completions().size(), 7u);
    EXPECT_EQ(unit.nic->Completions().back().status, NDIS_STATUS_SUCCESS);
    // A transmitter that keeps up is never taken for a stalled one.
    SendFrames(unit, Frames(60, 1514));
    host::Advance(10 * host::kSecond);
    EXPECT_EQ(unit.nic->SendsOutstanding(), 0u);
    EXPECT_EQ(unit.nic->Resets().size(), 1u);
}
