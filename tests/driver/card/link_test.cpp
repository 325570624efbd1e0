// Link supervision: a line event asks for a look at the line 500 ms later;
// the look moves LinkState, switches the line hold, keeps the line-up
// statistics and tells NDIS, or does nothing at all when nothing changed.
#include "tests/driver/card/card_test.h"

namespace {
const Lines kLineUp = {"W ISR=0xCC", "R CR1=0x0B", "W CR1=0x03"};
const Lines kLineDown = {"R CR1=0x03", "W CR1=0x0B"};
const std::vector<NDIS_STATUS> kNone, kConnect{NDIS_STATUS_MEDIA_CONNECT},
    kDisconnect{NDIS_STATUS_MEDIA_DISCONNECT};

Lines Look(uint8_t status, const Lines& writes) {
    char read[32];
    snprintf(read, sizeof read, "R MB+0x3C0=0x%02X", status);
    Lines lines{read};
    lines.insert(lines.end(), writes.begin(), writes.end());
    return lines;
}
}  // namespace

class LinkTest : public CardTest {
protected:
    // A line event, then the look at the line when it is due.
    void Check(testbed::Unit& unit, uint8_t status) {
        due = LineEvent(unit, status);
        Advance(due - host::Now());
    }
    host::Nanoseconds due = 0;
};

TEST_F(LinkTest, MovesThroughEveryTransitionAndDoesNothingWhenNothingChanged) {
    ZR48_WHITE_BOX();
    testbed::Unit& unit = Lone();
    Adapter* adapter = AdapterOf(unit);
    struct Step {
        uint8_t status;
        ULONG state;
        Lines writes;
        std::vector<NDIS_STATUS> told;
    } steps[] = {
        {0x00, 1, {}, kNone},              // down, down
        {0x7F, 2, kLineUp, kConnect},      // down, up
        {0x40, 2, {}, kNone},              // up, up
        {0x3F, 1, kLineDown, kDisconnect}, // up, down
        {0x80, 1, {}, kNone},
        {0x40, 2, kLineUp, kConnect},
        {0xC0, 1, kLineDown, kDisconnect},
    };
    int locksHeld = 0;  // the indications are made after the lock is dropped
    unit.nic->OnStatus([&](const host::StatusIndication&) { locksHeld += host::SpinLocksHeld(); });
    ULONG ups = 0;
    ULONGLONG lastUp = 0;
    for (const Step& s : steps) {
        Check(unit, s.status);
        EXPECT_EQ(Log(unit.Card()), Look(s.status, s.writes)) << "status " << int(s.status);
        EXPECT_EQ(adapter->LinkState, s.state);
        EXPECT_EQ(Indications(unit), s.told);
        if (!s.told.empty()) {
            EXPECT_EQ(unit.nic->StatusIndications()[0].time, due);
        }
        if (s.told == kConnect) {
            ups += 1;
            lastUp = host::Options().bootSystemTime + due / 100;
        }
        EXPECT_EQ(adapter->Statistics.LinkUpCount, ups);
        EXPECT_EQ(adapter->Statistics.LastLinkUpTime, lastUp);
    }
    EXPECT_EQ(locksHeld, 0);
}

TEST_F(LinkTest, AFirstLookAfterAnUnansweredStartTakesTheLineAsItIs) {
    ZR48_WHITE_BOX();
    for (uint8_t status : {0x00, 0x40}) {
        testbed::Unit& unit = Add();
        unit.Card().FailAnswer(0x05, cardmodel::CMD_START_LINE);
        ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(AdapterOf(unit)->LinkState, (ULONG)LINK_STATE_UNCONFIGURED);
        Check(unit, status);
        bool up = status == 0x40;
        EXPECT_EQ(Log(unit.Card()), Look(status, up ? kLineUp : Lines{}));
        EXPECT_EQ(AdapterOf(unit)->LinkState, up ? 2u : 1u);
        EXPECT_EQ(Indications(unit), up ? kConnect : kNone);
        EXPECT_EQ(AdapterOf(unit)->Statistics.LinkUpCount, up ? 1u : 0u);
        unit.nic->Halt();
    }
}

TEST_F(LinkTest, AlwaysConnectedDoesEverythingButTellNdis) {
    ZR48_WHITE_BOX();
    testbed::Unit& unit = Lone({{"AlwaysConnected", 1}});
    Check(unit, 0x40);
    EXPECT_EQ(Log(unit.Card()), Look(0x40, kLineUp));
    EXPECT_EQ(AdapterOf(unit)->Statistics.LinkUpCount, 1u);
    EXPECT_EQ(AdapterOf(unit)->Statistics.LastLinkUpTime,
              (ULONGLONG)(host::Options().bootSystemTime + due / 100));
    Check(unit, 0x00);
    EXPECT_EQ(Log(unit.Card()), Look(0x00, kLineDown));
    EXPECT_EQ(AdapterOf(unit)->LinkState, (ULONG)LINK_STATE_DOWN);
    EXPECT_TRUE(unit.nic->StatusIndications().empty());
}

TEST_F(LinkTest, LooksOnce500MsAfterTheLastEventThatAsksForIt) {
    ZR48_WHITE_BOX();
    testbed::Unit& unit = Lone();
    cardmodel::Card& card = unit.Card();
    SetLineStatus(card, 0x40);
    host::Nanoseconds first = host::Now();
    for (int i = 0; i < 3; ++i) {
        card.PostEvent(cardmodel::EVENT_FLAG_LINE_CHECK);
        Advance(300 * kMillisecond);
    }
    Advance(199 * kMillisecond);
    EXPECT_TRUE(unit.nic->StatusIndications().empty());
    Advance(kMillisecond);
    EXPECT_EQ(Indications(unit), kConnect);
    EXPECT_EQ(unit.nic->StatusIndications()[0].time, first + 1100 * kMillisecond);

    SetLineStatus(card, 0x00);  // other events never look at the line
    for (uint8_t flags : {0x01, 0x04, 0xFD}) card.PostEvent(flags);
    Advance(2 * kSecond);
    EXPECT_EQ(AdapterOf(unit)->LinkState, (ULONG)LINK_STATE_UP);
    EXPECT_EQ(host::LedgerCount(host::Resource::Timer), 0u);
    EXPECT_EQ(Indications(unit), kConnect);
}

TEST_F(LinkTest, FollowsARealLineDownAndUpAgain) {
    ZR48_WHITE_BOX();
    testbed::Unit& unit = StartedAdapter();
    unit.loopback->Cut();
    ASSERT_TRUE(host::RunUntil([&] { return !machine->LinkUp(unit); }, 2 * kSecond));
    EXPECT_EQ(unit.Card().PeekRegister(cardmodel::REGISTER_CR1) & cardmodel::CR1_FRAME_HOLD,
              cardmodel::CR1_FRAME_HOLD);
    unit.loopback->Restore();
    ASSERT_TRUE(machine->WaitForLinkUp(unit));
    EXPECT_EQ(Indications(unit), (std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT,
                                                           NDIS_STATUS_MEDIA_DISCONNECT,
                                                           NDIS_STATUS_MEDIA_CONNECT}));
    EXPECT_EQ(AdapterOf(unit)->Statistics.LinkUpCount, 2u);
    EXPECT_EQ(unit.Card().PeekRegister(cardmodel::REGISTER_CR1) & cardmodel::CR1_FRAME_HOLD, 0);
}

// The answer to a statistics command is posted at the very moment the line
// comes up, and its interrupt is taken after the look at the line: clearing
// every status bit there would leave the request waiting for ever.
TEST_F(LinkTest, ALineUpSparesAMailboxAnswerNotYetTaken) {
    testbed::Unit& unit = Lone();
    unit.Card().DelayAnswer(600 * kMillisecond, cardmodel::CMD_READ_STATE);
    host::Nanoseconds start = host::Now();
    EXPECT_TRUE(unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest()).pended);
    Advance(99 * kMillisecond + 200 * host::kMicrosecond);
    EXPECT_EQ(LineEvent(unit, 0x40), start + 600 * kMillisecond + 200 * host::kMicrosecond);
    host::RequestResult done = unit.nic->WaitForRequest(kSecond);
    EXPECT_TRUE(HasRun(Log(unit.Card()), Look(0x40, {"W ISR=0xCC", "R CR1=0x0B"})));
    ASSERT_TRUE(done.completed);
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Indications(unit), kConnect);
}

// Events may come while the bring-up runs, before the link timer exists.
TEST_F(LinkTest, ALineEventBeforeTheTimerExistsIsLookedAtOnceItDoes) {
    testbed::Unit& unit = Add();
    host::ScheduleAfter(
        5 * kMillisecond, [&] { unit.Card().PostEvent(cardmodel::EVENT_FLAG_LINE_CHECK); },
        "early line event");
    ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
    SetLineStatus(unit.Card(), 0x40);
    Advance(499 * kMillisecond);
    EXPECT_TRUE(unit.nic->StatusIndications().empty());
    Advance(kMillisecond);
    EXPECT_EQ(Indications(unit), kConnect);
}

TEST_F(LinkTest, HaltStopsALookStillToCome) {
    testbed::Unit& unit = Lone();
    LineEvent(unit, 0x40);
    unit.nic->Halt();
    Advance(kSecond);
    EXPECT_TRUE(unit.nic->StatusIndications().empty());
    EXPECT_EQ(host::LedgerCount(host::Resource::Timer), 0u);
}
