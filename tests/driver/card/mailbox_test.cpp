// The transceiver mailbox: request frames byte for byte, answers and their
// result codes, events, late and wiped postings, and the abort at halt.
#include "tests/driver/card/card_test.h"

#include "card/mailbox_protocol.h"

namespace {
std::vector<ULONG> routineSteps;
VOID RememberStep(Adapter*, ULONG step) { routineSteps.push_back(step); }
const UCHAR kLineOptions = 0x63;
}  // namespace

class MailboxTest : public CardTest {};

TEST_F(MailboxTest, WritesEachRequestFrameByteForByteWithTheDoorbellLast) {
    ZR48_WHITE_BOX();
    testbed::Unit& unit = Lone();
    cardmodel::Card& card = unit.Card();
    struct Case {
        UCHAR command;
        Bytes payload;
        std::vector<std::pair<unsigned, unsigned>> frame;
    } cases[] = {
        {0x82, {}, {{0x03, 0xF0}, {0x04, 0x82}, {0x05, 0}, {0x06, 0}, {0x07, 0xD8}, {0x08, 0},
                    {0x53, 0xAA}, {0x56, 0}, {0x01, 0xFE}}},
        {0x53, {0x34, 0x12, 0, 0}, {{0x03, 0xF0}, {0x04, 0x53}, {0x05, 0}, {0x06, 0x03},
                                    {0x07, 0x0A}, {0x08, 0x34}, {0x09, 0x12}, {0x0A, 0},
                                    {0x0B, 0}, {0x53, 0x8C}, {0x56, 0}, {0x01, 0xFE}}},
        {0x01, {0x09}, {{0x03, 0xF0}, {0x04, 0x01}, {0x05, 0}, {0x06, 0}, {0x07, 0x5B},
                        {0x08, 0x09}, {0x53, 0xA3}, {0x56, 0}, {0x01, 0xFE}}},
    };
    for (const Case& c : cases) {
        card.ClearAccessLog();
        card.ClearCommands();
        host::RunAtIrql(DISPATCH_LEVEL, "post", [&] {
            MailboxPost(AdapterOf(unit), c.command, c.payload.empty() ? NULL : c.payload.data(),
                        (ULONG)c.payload.size());
        });
        EXPECT_EQ(Log(card), MailboxWrites(c.frame)) << "command " << int(c.command);
        Advance(kMillisecond);
        ASSERT_EQ(card.Commands().size(), 1u);
        // The card found the frame sound (0x53 is refused later, for the state).
        EXPECT_NE(card.Commands()[0].result, cardmodel::RESULT_BAD_FRAME);
        EXPECT_EQ(card.Commands()[0].payload, c.payload.empty() ? Bytes{0} : c.payload);
    }
}

TEST_F(MailboxTest, OnlyResultOneSucceedsAndAnEventIsNeverAnAnswer) {
    ZR48_WHITE_BOX();
    testbed::Unit& unit = Lone();
    Adapter* adapter = AdapterOf(unit);
    struct Case {
        uint8_t status;
        BOOLEAN succeeds;
        host::Nanoseconds waited;
    } cases[] = {
        {0x21, TRUE, 200 * host::kMicrosecond},  // bits 5 and 6 do not count
        {0x02, FALSE, 200 * host::kMicrosecond},
        {0x81, FALSE, 3 * kSecond},  // taken as an event: the wait runs out
    };
    for (const Case& c : cases) {
        unit.Card().FailAnswer(c.status, cardmodel::CMD_LINE_OPTIONS);
        host::Nanoseconds start = host::Now();
        EXPECT_EQ(MailboxCommand(adapter, XCVR_LINE_OPTIONS, &kLineOptions, 1), c.succeeds);
        EXPECT_EQ(host::Now() - start, c.waited) << "status " << int(c.status);
        EXPECT_EQ(unit.Card().PeekMailbox(cardmodel::MAILBOX_STATUS), 0)
            << "status " << int(c.status);
        EXPECT_EQ(unit.Card().PeekMailbox(cardmodel::MAILBOX_POSTED_FLAG), 0);
    }
    EXPECT_FALSE(adapter->LinkTimerPending);
}

TEST_F(MailboxTest, ALateAnswerDoesNotSatisfyTheNextWait) {
    ZR48_WHITE_BOX();
    testbed::Unit& unit = Lone();
    Adapter* adapter = AdapterOf(unit);
    unit.Card().DelayAnswer(3500 * kMillisecond, cardmodel::CMD_LINE_OPTIONS);
    EXPECT_FALSE(MailboxCommand(adapter, XCVR_LINE_OPTIONS, &kLineOptions, 1));
    Advance(kSecond);  // the late answer is serviced and signals the event
    EXPECT_TRUE(NdisWaitEvent(&adapter->CommandEvent, 1));

    unit.Card().WithholdAnswer(cardmodel::CMD_LINE_OPTIONS);
    host::Nanoseconds start = host::Now();
    EXPECT_FALSE(MailboxCommand(adapter, XCVR_LINE_OPTIONS, &kLineOptions, 1));
    EXPECT_EQ(host::Now() - start, MAILBOX_ANSWER_TIMEOUT_MS * kMillisecond);
    EXPECT_TRUE(MailboxCommand(adapter, XCVR_LINE_OPTIONS, &kLineOptions, 1));
}

TEST_F(MailboxTest, EventsAreTakenWithoutWakingTheWaiter) {
    ZR48_WHITE_BOX();
    testbed::Unit& unit = Lone();
    cardmodel::Card& card = unit.Card();
    card.DelayAnswer(kSecond, cardmodel::CMD_LINE_OPTIONS);
    host::ScheduleAfter(100 * kMillisecond, [&] { card.PostEvent(0x00, 0x05); }, "event");
    host::ScheduleAfter(
        200 * kMillisecond, [&] { card.PostEvent(cardmodel::EVENT_FLAG_LINE_CHECK); }, "event");
    card.ClearAccessLog();
    host::Nanoseconds start = host::Now();
    EXPECT_TRUE(MailboxCommand(AdapterOf(unit), XCVR_LINE_OPTIONS, &kLineOptions, 1));
    EXPECT_EQ(host::Now() - start, kSecond + 200 * host::kMicrosecond);
    Lines log = Log(card);
    EXPECT_TRUE(HasRun(log, {"R MB+0x00=0xFE", "R MB+0x56=0x85", "R MB+0x3C7=0x00",
                             "W MB+0x00=0x00", "R MB+0x00=0x00", "W MB+0x56=0x00"}));
    EXPECT_TRUE(HasRun(log, {"R MB+0x00=0xFE", "R MB+0x56=0x9F", "R MB+0x3C7=0x02",
                             "W MB+0x00=0x00", "R MB+0x00=0x00", "W MB+0x56=0x00"}));
    // The answer: taken, the waiter woken, which reads and clears the status.
    EXPECT_TRUE(HasRun(log, {"R MB+0x00=0xFE", "R MB+0x56=0x01", "W MB+0x00=0x00",
                             "R MB+0x00=0x00"}));
    EXPECT_TRUE(HasRun(log, {"R MB+0x56=0x01", "W MB+0x56=0x00"}));
    // Only the second asked for a look at the line.
    EXPECT_EQ(std::count(log.begin(), log.end(), "R MB+0x3C0=0x01"), 1);
}

// An event posted just as a statistics request is written: the request's
// zero lands on the event's status byte before the driver has taken it.
TEST_F(MailboxTest, AnEventWhoseStatusARequestWipedIsNoAnswer) {
    testbed::Unit& unit = Lone();
    cardmodel::Card& card = unit.Card();
    card.ClearCommands();
    SetLineStatus(card, 0x40);
    card.PostEvent(cardmodel::EVENT_FLAG_LINE_CHECK);
    EXPECT_TRUE(unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest()).pended);
    host::RequestResult done = unit.nic->WaitForRequest(100 * kMillisecond);
    ASSERT_TRUE(done.completed);
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Codes(card), (Bytes{0x82, 0x83, 0x94, 0x9E}));
    EXPECT_EQ(done.buffer.at(48), cardmodel::STATE_SEARCHING);  // the answer to 0x82, not the event
    EXPECT_EQ(done.buffer.at(52), 0x40);
    Advance(500 * kMillisecond);  // the event's line check still ran
    EXPECT_EQ(Indications(unit), std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT});
}

TEST_F(MailboxTest, AbortAndServiceEachFinishACommandOnlyOnce) {
    ZR48_WHITE_BOX();
    testbed::Unit& unit = Lone();
    Adapter* adapter = AdapterOf(unit);
    auto post = [&](ULONG step) {
        UnderLock(adapter,
                  [&] { MailboxCommand(adapter, XCVR_READ_STATE, NULL, 0, RememberStep, step); });
    };
    routineSteps.clear();
    MailboxAbort(adapter);  // nothing pending: nothing happens
    post(7);
    Advance(kMillisecond);
    MailboxAbort(adapter);  // the answer came first
    EXPECT_EQ(routineSteps, std::vector<ULONG>{7});

    unit.Card().DelayAnswer(kSecond, cardmodel::CMD_READ_STATE);
    post(8);
    MailboxAbort(adapter);
    MailboxAbort(adapter);
    Advance(2 * kSecond);  // the late answer finds no routine left
    EXPECT_EQ(routineSteps, (std::vector<ULONG>{7, MAILBOX_ABORTED}));
    EXPECT_EQ(adapter->CommandCallback, nullptr);
}
