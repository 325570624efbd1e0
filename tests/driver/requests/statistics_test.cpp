// The private statistics requests, as the user-space tool sees them: a read
// gathers the driver's counters and four transceiver answers into the
// 64-byte block, a clear zeroes it; both pend while their command chain runs
// through the mailbox, and halt ends a chain that waits.
#include "tests/driver/requests/requests_support.h"

#include "card/link.h"

using namespace requests_test;
using cardmodel::Card;
using testbed::MakeFrame;

namespace {

const std::vector<uint8_t> kReadChain = {XCVR_READ_STATE, XCVR_READ_MARGIN,
                                         XCVR_READ_ATTENUATION, XCVR_READ_COUNTERS};

class StatisticsTest : public RequestsTest {
protected:
    // Frames sent until the host has seen them all completed.
    void SendFrames(testbed::Unit& unit, size_t count, size_t length = 100) {
        std::vector<host::OutgoingFrame> frames;
        for (size_t i = 0; i < count; ++i) frames.emplace_back(MakeFrame(length, uint8_t(i)));
        size_t before = unit.nic->Completions().size();
        unit.nic->Send(frames);
        host::RunUntil([&] { return unit.nic->Completions().size() == before + count; }, kSecond);
    }
    // Card events (ISR 0x08), each taken by the interrupt routine on its own.
    void RaiseCardEvents(testbed::Unit& unit, int count) {
        for (int i = 0; i < count; ++i) {
            unit.Card().RaiseCardEvent();
            Advance(kMillisecond);
        }
    }
    // The far end goes away long enough to be noticed, and comes back.
    void Retrain(testbed::Unit& unit) {
        unit.loopback->StopPartner();
        Advance(kSecond);
        ASSERT_FALSE(machine->LinkUp(unit));
        unit.loopback->StartPartner();
        ASSERT_TRUE(machine->WaitForLinkUp(unit));
    }
    static host::Nanoseconds LastConnectTime(testbed::Unit& unit) {
        host::Nanoseconds time = -1;
        for (auto& s : unit.nic->StatusIndications()) {
            if (!s.complete && s.status == NDIS_STATUS_MEDIA_CONNECT) time = s.time;
        }
        return time;
    }
};

TEST_F(StatisticsTest, ReadPendsThroughFourCommandsAndReturnsTheBlock) {
    testbed::Unit& unit = StartedAdapter();
    SendFrames(unit, 3);
    size_t before = unit.Card().Commands().size();

    host::RequestResult started = StartRead(unit, 100);
    EXPECT_EQ(started.status, NDIS_STATUS_PENDING);
    EXPECT_EQ(started.bytesNeeded, 4u);
    EXPECT_EQ(started.bytesDone, kUntouched);

    host::RequestResult done = unit.nic->WaitForRequest(kSecond);
    ASSERT_TRUE(done.completed);
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(done.bytesDone, 64u);
    EXPECT_EQ(done.bytesNeeded, 64u);
    // The signature is overwritten by the low bytes of XmitOk; past the
    // block the buffer keeps what it held.
    EXPECT_EQ(LittleEndian(done.buffer, 0, 8), 3u);
    EXPECT_EQ(std::vector<uint8_t>(done.buffer.begin() + 64, done.buffer.end()),
              std::vector<uint8_t>(36, kPattern));

    EXPECT_EQ(CommandCodes(unit.Card(), before), kReadChain);
    auto commands = unit.Card().Commands();
    for (size_t i = before; i < commands.size(); ++i) {
        EXPECT_EQ(commands[i].payload, std::vector<uint8_t>{0x00});  // sent empty
        EXPECT_EQ(commands[i].result, MB_RESULT_SUCCESS);
    }
    EXPECT_EQ(unit.Card().Anomalies(), std::vector<std::string>{});
}

TEST_F(StatisticsTest, RequestsRefusedAtOnceSendNothing) {
    testbed::Unit& unit = StartedAdapter();
    std::vector<uint8_t> reversed = {0x73, 0x74, 0x61, 0x74};  // "stat": a big-endian signature
    reversed.resize(64, kPattern);
    struct Case {
        const char* story;
        NDIS_OID oid;
        std::vector<uint8_t> buffer;
        NDIS_STATUS status;
        ULONG needed;
        ULONG written;
    };
    const Case cases[] = {
        {"read, 0 bytes", OID_ZR48_GET_STATISTICS, {}, NDIS_STATUS_FAILURE, 4, kUntouched},
        {"read, 3 bytes", OID_ZR48_GET_STATISTICS, SignedBuffer(3), NDIS_STATUS_FAILURE, 4,
         kUntouched},
        {"read, wrong signature", OID_ZR48_GET_STATISTICS, reversed, NDIS_STATUS_FAILURE, 4,
         kUntouched},
        {"read, 4 bytes", OID_ZR48_GET_STATISTICS, SignedBuffer(4), NDIS_STATUS_INVALID_LENGTH, 64,
         0},
        {"read, 63 bytes", OID_ZR48_GET_STATISTICS, SignedBuffer(63), NDIS_STATUS_INVALID_LENGTH,
         64, 0},
        {"clear, 0 bytes", OID_ZR48_CLEAR_STATISTICS, {}, NDIS_STATUS_FAILURE, 4, kUntouched},
        {"clear, 3 bytes", OID_ZR48_CLEAR_STATISTICS, SignedBuffer(3), NDIS_STATUS_FAILURE, 4,
         kUntouched},
        {"clear, 8 bytes", OID_ZR48_CLEAR_STATISTICS, SignedBuffer(8), NDIS_STATUS_FAILURE, 4,
         kUntouched},
        {"clear, 64 bytes", OID_ZR48_CLEAR_STATISTICS, SignedBuffer(64), NDIS_STATUS_FAILURE, 4,
         kUntouched},
        {"clear, wrong signature", OID_ZR48_CLEAR_STATISTICS, {0x74, 0x61, 0x74, 0x74},
         NDIS_STATUS_FAILURE, 4, kUntouched},
    };
    size_t before = unit.Card().Commands().size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.story);
        host::RequestResult r = unit.nic->Query(c.oid, c.buffer);
        EXPECT_FALSE(r.pended);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.bytesNeeded, c.needed);
        EXPECT_EQ(r.bytesDone, c.written);
        EXPECT_EQ(r.buffer, c.buffer);
    }
    Advance(10 * kMillisecond);
    EXPECT_EQ(unit.Card().Commands().size(), before);
}

TEST_F(StatisticsTest, EveryFieldSitsAtItsOffset) {
    cardmodel::LoopbackOptions line;
    line.line.quality = {21, 23, 7};
    testbed::Unit& unit = StartedAdapter(WithLineCode(1), line);
    host::Nanoseconds firstUp = LastConnectTime(unit);
    Retrain(unit);
    Retrain(unit);
    host::Nanoseconds lastUp = LastConnectTime(unit);
    ASSERT_GT(lastUp, firstUp);

    unit.Card().FailNextTransmits(2);
    SendFrames(unit, 7);
    for (int i = 0; i < 9; ++i) {
        if (i % 3 == 0) unit.Card().MisreportNextReceiveLength(1600);
        unit.loopback->InjectFrame(MakeFrame(200, uint8_t(i)));
        Advance(10 * kMillisecond);
    }
    RaiseCardEvents(unit, 5);

    Block b = ReadBlock(unit);
    EXPECT_EQ(b.xmitOk, 7u);
    EXPECT_EQ(b.rcvOk, 6u);
    EXPECT_EQ(b.rcvError, 3u);
    EXPECT_EQ(b.xmitErrorEvents, 2u);
    EXPECT_EQ(b.isrBit08Events, 5u);
    EXPECT_EQ(b.linkUpCount, 3u);
    EXPECT_EQ(b.reserved, 0u);
    EXPECT_EQ(b.lastLinkUpTime, SystemTimeAt(lastUp));
    EXPECT_EQ(b.reply82, cardmodel::STATE_DATA_MODE);
    EXPECT_EQ(b.reply83, 7);
    EXPECT_EQ(b.reply94, (std::array<uint8_t, 2>{21, 23}));
    EXPECT_EQ(b.lineStatus, cardmodel::LINE_DATA_MODE);
    EXPECT_EQ(b.lineStatusAux, unit.Card().PeekMailbox(MB_LINE_STATUS_AUX));
    EXPECT_TRUE(b.lineStatusAux & cardmodel::AUX_FIRMWARE);
    auto counters = unit.Card().ErrorCounters();
    EXPECT_EQ(b.reply9E, counters);
    EXPECT_EQ(counters[cardmodel::COUNTER_LINE_UPS], 3);
    EXPECT_EQ(counters[cardmodel::COUNTER_TX_ERRORS], 2);
    // The driver's own counters agree with what the upper edge reports.
    EXPECT_EQ(Counter(unit, OID_GEN_XMIT_ERROR), 2u);
    EXPECT_EQ(Counter(unit, OID_GEN_RCV_ERROR), 3u);
}

TEST_F(StatisticsTest, ReadIsServedWhileTheLineIsDown) {
    testbed::Unit& unit = machine->AddAdapter();  // nothing at the far end
    ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
    Advance(kSecond);
    Block b = ReadBlock(unit);
    EXPECT_EQ(b.reply82, cardmodel::STATE_SEARCHING);
    EXPECT_EQ(b.reply83, 0);
    EXPECT_EQ(b.reply94, (std::array<uint8_t, 2>{0, 0}));
    EXPECT_EQ(b.lineStatus, cardmodel::LINE_SEARCHING);
    EXPECT_EQ(b.lineStatusAux, cardmodel::AUX_FIRMWARE | cardmodel::AUX_NO_SIGNAL);
    EXPECT_EQ(b.linkUpCount, 0u);
    EXPECT_EQ(b.lastLinkUpTime, 0u);
}

// The margin byte is the transceiver's answer moved by the line code, with
// 8-bit wrap-around; a line code that was never configured moves nothing.
TEST_F(StatisticsTest, MarginByteIsAdjustedByLineCode) {
    struct Case {
        std::map<std::string, uint32_t> parameters;
        int8_t margin;     // what the transceiver answers
        uint8_t expected;  // block byte 49
    };
    const Case cases[] = {
        {WithLineCode(2), -8, 0x04},   // 0xF8 + 12 wraps
        {WithLineCode(0), 5, 0xF9},    // 0x05 - 12 wraps
        {WithLineCode(1), -3, 0xFD},   // unchanged
        {WithLineCode(3), 100, 0x88},  // + 36 past 127
        {WithLineCode(3), -40, 0xFC},
        {{}, -128, 0x80},              // no line code configured
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "margin " << int(c.margin));
        testbed::Unit& unit = machine->AddAdapter(c.parameters);
        machine->Loopback(unit, WithMargin(c.margin));
        machine->Start(unit);
        ASSERT_TRUE(machine->LinkUp(unit));
        // The adjustment is made once per answer, not once more per read.
        EXPECT_EQ(ReadBlock(unit).reply83, c.expected);
        EXPECT_EQ(ReadBlock(unit).reply83, c.expected);
        unit.nic->Halt();
    }
}

TEST_F(StatisticsTest, ClearZeroesTheBlockAndTheNextReadRefillsItsOwnParts) {
    testbed::Unit& unit = StartedAdapter();
    unit.Card().FailNextTransmits(1);
    SendFrames(unit, 4);
    unit.loopback->InjectFrame(MakeFrame(300));
    Advance(10 * kMillisecond);
    RaiseCardEvents(unit, 2);
    Block before = ReadBlock(unit);
    ASSERT_EQ(before.xmitErrorEvents, 1u);
    ASSERT_EQ(before.isrBit08Events, 2u);
    ASSERT_EQ(before.linkUpCount, 1u);
    ASSERT_NE(before.lastLinkUpTime, 0u);
    ASSERT_EQ(before.reply9E[cardmodel::COUNTER_TX_ERRORS], 1);

    size_t commands = unit.Card().Commands().size();
    host::RequestResult started = StartClear(unit);
    EXPECT_EQ(started.status, NDIS_STATUS_PENDING);
    EXPECT_EQ(started.bytesDone, 0u);
    EXPECT_EQ(started.bytesNeeded, 4u);
    host::RequestResult cleared = unit.nic->WaitForRequest(kSecond);
    EXPECT_EQ(cleared.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(cleared.bytesDone, 0u);
    EXPECT_EQ(cleared.bytesNeeded, 4u);
    EXPECT_EQ(cleared.buffer, SignedBuffer(4));  // the request buffer is not written
    auto sent = unit.Card().Commands();
    ASSERT_EQ(sent.size(), commands + 2);
    EXPECT_EQ(sent[commands].code, XCVR_COUNTERS);
    EXPECT_EQ(sent[commands].payload, std::vector<uint8_t>{0x00});
    EXPECT_EQ(sent[commands + 1].code, XCVR_COUNTERS);
    EXPECT_EQ(sent[commands + 1].payload, std::vector<uint8_t>{0x04});

    // Running totals come back at once; the event counts and the line-up
    // time stay zero until something new happens; the transceiver's bytes
    // are fresh.
    std::vector<uint8_t> after = Read(unit).buffer;
    Block b = Block::Decode(after);
    EXPECT_EQ(b.xmitOk, 4u);
    EXPECT_EQ(b.rcvOk, 1u);
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + 24, after.begin() + 48),
              std::vector<uint8_t>(24, 0));
    EXPECT_EQ(b.reply82, cardmodel::STATE_DATA_MODE);
    EXPECT_EQ(b.reply83, kMargin);
    EXPECT_EQ(b.lineStatus, cardmodel::LINE_DATA_MODE);
    EXPECT_EQ(b.reply9E, (std::array<uint8_t, 10>{}));

    RaiseCardEvents(unit, 1);
    Retrain(unit);
    b = ReadBlock(unit);
    EXPECT_EQ(b.isrBit08Events, 1u);
    EXPECT_EQ(b.linkUpCount, 1u);
    EXPECT_EQ(b.lastLinkUpTime, SystemTimeAt(LastConnectTime(unit)));
    EXPECT_EQ(b.xmitErrorEvents, 0u);
    EXPECT_EQ(b.xmitOk, 4u);
}

TEST_F(StatisticsTest, AnswersWithAnErrorCodeStillMoveTheChain) {
    testbed::Unit& unit = StartedAdapter();
    ASSERT_EQ(ReadBlock(unit).reply94, (std::array<uint8_t, 2>{kAttenuation, kAttenuation}));

    size_t before = unit.Card().Commands().size();
    unit.Card().FailAnswer(cardmodel::RESULT_WRONG_STATE, cardmodel::CMD_READ_ATTENUATION);
    Block b = ReadBlock(unit);
    EXPECT_EQ(CommandCodes(unit.Card(), before), kReadChain);
    EXPECT_EQ(unit.Card().Commands()[before + 2].result, cardmodel::RESULT_WRONG_STATE);
    // The refused answer carries no data: its bytes are taken as they stand.
    EXPECT_EQ(b.reply94, (std::array<uint8_t, 2>{0, 0}));
    EXPECT_EQ(b.reply83, kMargin);
    EXPECT_EQ(b.lineStatus, cardmodel::LINE_DATA_MODE);

    unit.Card().FailAnswer(cardmodel::RESULT_BAD_PARAMETER, cardmodel::kAnyCommand, true);
    b = ReadBlock(unit);
    EXPECT_EQ(b.reply82, 0);
    EXPECT_EQ(b.reply9E, (std::array<uint8_t, 10>{}));
    Clear(unit);
    unit.Card().ClearAnswerFaults();
    EXPECT_EQ(ReadBlock(unit).reply83, kMargin);
}

// Unsolicited postings while a chain waits are serviced and take nothing
// from it, one that came just as a command was posted included.
TEST_F(StatisticsTest, EventsWhileAChainWaitsDoNotAdvanceIt) {
    testbed::Unit& unit = StartedAdapter();
    Card& card = unit.Card();
    size_t before = card.Commands().size();
    card.DelayAnswer(100 * kMillisecond, cardmodel::CMD_READ_MARGIN);
    // Posted while nobody looks: the read's request frame wipes its status.
    card.PostEvent(cardmodel::EVENT_FLAG_PERFORMANCE);
    ASSERT_EQ(StartRead(unit).status, NDIS_STATUS_PENDING);
    for (uint8_t flags : std::vector<uint8_t>{cardmodel::EVENT_FLAG_PERFORMANCE,
                                              cardmodel::EVENT_FLAG_LINE_CHECK,
                                              cardmodel::EVENT_FLAG_COUNTERS}) {
        Advance(20 * kMillisecond);
        card.PostEvent(flags);
    }
    Advance(20 * kMillisecond);
    // Still waiting for the margin: the last request posted, not yet answered.
    EXPECT_TRUE(unit.nic->RequestPending());
    EXPECT_EQ(CommandCodes(card, before), std::vector<uint8_t>{XCVR_READ_STATE});
    EXPECT_EQ(card.PeekMailbox(MB_COMMAND), XCVR_READ_MARGIN);
    EXPECT_TRUE(testing_support::AnyContains(card.Anomalies(), "of an untaken posting"));

    host::RequestResult done = unit.nic->WaitForRequest(kSecond);
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    Block b = Block::Decode(done.buffer);
    EXPECT_EQ(b.reply82, cardmodel::STATE_DATA_MODE);
    EXPECT_EQ(b.reply83, kMargin);
    EXPECT_EQ(CommandCodes(card, before), kReadChain);
    EXPECT_EQ(card.Counters().eventsDropped, 0u);
    EXPECT_TRUE(machine->LinkUp(unit));
}

TEST_F(StatisticsTest, ReadWhileFramesFlowCopiesTheCountsOfThatMoment) {
    testbed::Unit& unit = StartedAdapter();
    std::vector<size_t> seen;  // the host's counts when the read completed
    unit.nic->OnRequestComplete([&](const host::RequestResult&) {
        seen = {unit.nic->Completions().size(), unit.nic->Received().size()};
    });
    std::vector<host::OutgoingFrame> frames;
    for (int i = 0; i < 40; ++i) frames.emplace_back(MakeFrame(1000, uint8_t(i)));
    unit.nic->Send(frames);
    for (int i = 0; i < 30; ++i) unit.loopback->InjectFrame(MakeFrame(800, uint8_t(i)));
    Advance(20 * kMillisecond);

    host::RequestResult done = Read(unit);
    ASSERT_EQ(seen.size(), 2u);
    Block b = Block::Decode(done.buffer);
    EXPECT_GT(seen[0], 0u);
    EXPECT_LT(seen[0], 40u);  // still sending
    EXPECT_EQ(b.xmitOk, seen[0]);
    EXPECT_EQ(b.rcvOk, seen[1]);

    Advance(kSecond);
    EXPECT_EQ(Counter(unit, OID_GEN_XMIT_OK), 40u);
    EXPECT_EQ(Counter(unit, OID_GEN_RCV_OK), 30u);
    b = ReadBlock(unit);
    EXPECT_EQ(b.xmitOk, 40u);
    EXPECT_EQ(b.rcvOk, 30u);
}

// The line comes up and the card raises its event bit while a read waits;
// the margin's answer lands at the very moment of the line check, so the
// check's clearing write to ISR meets a mailbox interrupt not yet serviced.
TEST_F(StatisticsTest, ReadMeetsALineUpAndABurstOfCardEvents) {
    testbed::Unit& unit = machine->AddAdapter();
    auto& partner = machine->Loopback(unit);
    partner.StopPartner();
    machine->Start(unit);
    Card& card = unit.Card();
    partner.StartPartner();
    ASSERT_TRUE(host::RunUntil(
        [&] { return card.LineState().condition == cardmodel::LineCondition::Training; },
        kSecond));
    const cardmodel::CardOptions timing;
    const host::Nanoseconds check =
        host::Now() + timing.trainingTimeNs + LINK_CHECK_DELAY_MS * kMillisecond;

    // The state's answer and the margin's own delay come before it.
    size_t before = card.Commands().size();
    card.DelayAnswer(check - host::Now() - 2 * timing.answerDelayNs,
                     cardmodel::CMD_READ_MARGIN);
    ASSERT_EQ(StartRead(unit).status, NDIS_STATUS_PENDING);
    for (int i = 0; i < 6; ++i) {
        Advance(500 * kMillisecond);
        card.RaiseCardEvent();
    }
    // The ISR writes at that instant: what each found pending, what it cleared.
    std::vector<std::pair<uint8_t, uint8_t>> isrWrites;
    host::RequestResult done;
    {
        WindowTap tap(unit, [&](uint32_t offset, uint8_t value) {
            if (offset == REGISTERS_OFFSET + ISR && host::Now() == check) {
                isrWrites.push_back({card.PeekRegister(ISR), value});
            }
        });
        done = unit.nic->WaitForRequest(kSecond);
    }
    // The line check's write came first, found the answer's bit and spared it.
    ASSERT_EQ(isrWrites.size(), 2u);
    EXPECT_EQ(isrWrites[0].first, INT_MAILBOX);
    EXPECT_EQ(isrWrites[0].second & INT_MAILBOX, 0);
    ASSERT_TRUE(done.completed) << "the margin's answer was lost at the line-up";
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(LastConnectTime(unit), check);
    auto commands = card.Commands();
    ASSERT_EQ(CommandCodes(card, before), kReadChain);
    EXPECT_EQ(commands[before + 2].time, check);  // the margin answered with the check

    Block b = Block::Decode(done.buffer);
    EXPECT_EQ(b.reply82, cardmodel::STATE_TRAINING);  // asked before the line came up
    EXPECT_EQ(b.reply83, kMargin);                    // answered after
    EXPECT_EQ(b.lineStatus, cardmodel::LINE_DATA_MODE);
    EXPECT_EQ(b.isrBit08Events, 6u);
    EXPECT_EQ(b.linkUpCount, 1u);
    EXPECT_EQ(b.lastLinkUpTime, SystemTimeAt(check));
}

}  // namespace
