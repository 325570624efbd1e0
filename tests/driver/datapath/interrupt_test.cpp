// The interrupt: what the ISR claims, acknowledges and defers, the order in
// which the deferred call serves its sources, and the reset that restarts
// the data path while sends, receives and deferred calls go on around it.
#include "tests/driver/datapath/datapath_support.h"

using namespace datapath_test;

class InterruptTest : public DataPathTest {
protected:
    // The card's registers written as a test's hand would set them.
    static void SetCardRegister(Unit& unit, CardRegister reg, uint8_t value) {
        unit.Card().Write8(REGISTERS_OFFSET + reg, value);
    }
    // Runs the machine until the card has raised `bits`, before any interrupt
    // for them is taken.
    static void AwaitRaised(Unit& unit, uint8_t bits) {
        ASSERT_TRUE(host::RunUntil([&] { return (Register(unit, ISR) & bits) == bits; },
                                   host::kSecond));
    }
    static ULONG Bit08Events(Unit& unit) { return AdapterOf(unit).Statistics.IsrBit08Events; }
};

TEST_F(InterruptTest, TheIsrAcknowledgesOnlyEnabledSourcesAndDefersAllButTheCountedOnes) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    Adapter& adapter = AdapterOf(unit);
    // 0x08 alone: counted here, nothing deferred, the card stays unmasked.
    unit.Card().RaiseCardEvent();
    ULONG events = Bit08Events(unit);
    unit.Card().ClearAccessLog();
    IsrAnswer answer = CallIsr(unit);
    EXPECT_TRUE(answer.recognized);
    EXPECT_FALSE(answer.queueDeferred);
    EXPECT_EQ(Accesses(unit), (std::vector<std::string>{"R IMR=0x3B", "R ISR=0x08", "W ISR=0x08"}));
    EXPECT_EQ(Bit08Events(unit), events + 1);
    EXPECT_EQ(adapter.PendingInterrupts, 0);

    // 0x05: the masked receive error stays pending and uncounted.
    unit.Card().FailNextReceives(1);
    ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100)));
    Advance(10 * host::kMillisecond);
    SendFrames(unit, {MakeFrame(100)});
    AwaitRaised(unit, INT_TX_DONE);
    ASSERT_EQ(Register(unit, ISR), 0x05);
    unit.Card().ClearAccessLog();
    answer = CallIsr(unit);
    EXPECT_TRUE(answer.recognized && answer.queueDeferred);
    EXPECT_EQ(Accesses(unit), (std::vector<std::string>{"R IMR=0x3B", "R ISR=0x05", "W ISR=0x01",
                                                        "W IMR=0x00"}));
    EXPECT_EQ(adapter.PendingInterrupts, 0x01);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_ERROR), 0u);
    CallHandleInterrupt(unit);
    EXPECT_EQ(unit.nic->Completions().size(), 1u);
    EXPECT_EQ(Register(unit, IMR), 0x3B);
    EXPECT_EQ(Register(unit, ISR), 0x04);

    // Masked (another interrupt of the card deferred): nothing is claimed.
    SetCardRegister(unit, IMR, 0);
    unit.Card().ClearAccessLog();
    answer = CallIsr(unit);
    EXPECT_FALSE(answer.recognized || answer.queueDeferred);
    EXPECT_EQ(Accesses(unit), (std::vector<std::string>{"R IMR=0x00", "R ISR=0x04", "W ISR=0x00"}));
    SetCardRegister(unit, IMR, 0x3B);
}

// The receive error (0x04) stays masked, and rightly for this card: a frame
// it drops damaged or refuses is the transceiver's to count (its error
// counters, which the statistics block carries), not an interrupt per frame
// on a noisy line for nothing the driver could do. It never reaches the ISR;
// RcvError counts the frames the driver itself refuses; the pending bit
// holds up no other interrupt, and the next line-up clears it.
TEST_F(InterruptTest, AReceiveErrorRaisesNoInterruptAndTheTransceiverCountsIt) {
    Unit& unit = StartedAdapter();
    host::InterruptCounts before = InterruptsOf(unit);
    unit.Card().FailNextReceives(2);
    ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100, 1)));
    ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100, 2)));
    ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100, 3), /*damaged=*/true));
    Advance(10 * host::kMillisecond);
    EXPECT_EQ(Register(unit, ISR), INT_RX_ERROR);
    EXPECT_FALSE(unit.Card().InterruptAsserted());
    EXPECT_EQ(InterruptsOf(unit).isrRuns, before.isrRuns);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_ERROR), 0u);

    DeliverFromLine(unit, Frames(2, 100));
    EXPECT_EQ(Register(unit, ISR), INT_RX_ERROR);
    ASSERT_TRUE(unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest()).pended);
    host::RequestResult read = unit.nic->WaitForRequest(host::kSecond);
    ASSERT_EQ(read.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(read.buffer[54], 1);  // the transceiver's CRC anomalies
    EXPECT_EQ(read.buffer[60], 2);  // its other receive errors
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_ERROR), 0u);

    unit.loopback->StopPartner();
    Advance(host::kSecond);
    unit.loopback->StartPartner();
    ASSERT_TRUE(machine->WaitForLinkUp(unit));
    EXPECT_EQ(Register(unit, ISR) & INT_RX_ERROR, 0);
}

// Every source at once: the deferred call serves the mailbox, the transmit
// error, the receive ring and the transmit ring, in that order.
TEST_F(InterruptTest, EverySourceAtOnceIsServedInItsOrderAndTheCardUnmaskedLast) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    SetCardRegister(unit, IMR, 0);
    unit.Card().FailNextReceives(1);
    ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100, 1)));
    ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100, 2)));
    unit.Card().FailNextTransmits(1);
    SendFrames(unit, {MakeFrame(100, 3)});
    unit.Card().RaiseCardEvent();
    unit.Card().PostEvent(0x01);
    Advance(10 * host::kMillisecond);
    ASSERT_EQ(Register(unit, ISR), 0x3F);
    SetCardRegister(unit, IMR, 0x3B);
    ULONG events = Bit08Events(unit);

    unit.Card().ClearAccessLog();
    IsrAnswer answer = CallIsr(unit);
    EXPECT_TRUE(answer.recognized && answer.queueDeferred);
    EXPECT_EQ(Accesses(unit), (std::vector<std::string>{"R IMR=0x3B", "R ISR=0x3F", "W ISR=0x3B",
                                                        "W IMR=0x00"}));
    EXPECT_EQ(AdapterOf(unit).PendingInterrupts, 0x33);
    EXPECT_EQ(Bit08Events(unit), events + 1);

    unit.Card().ClearAccessLog();
    CallHandleInterrupt(unit);
    auto log = Accesses(unit);
    int mailbox = FirstAccess(log, "R MB+0x00"), transmitter = FirstAccess(log, "W CR0=0x83"),
        receive = FirstAccess(log, "R RX_HW_INDEX"), transmit = FirstAccess(log, "R TX_HW_INDEX");
    EXPECT_TRUE(0 <= mailbox && mailbox < transmitter && transmitter < receive &&
                receive < transmit)
        << mailbox << " " << transmitter << " " << receive << " " << transmit;
    EXPECT_EQ(log.back(), "W IMR=0x3B");
    EXPECT_EQ(AdapterOf(unit).PendingInterrupts, 0);
    EXPECT_EQ(unit.nic->Received().size(), 1u);
    EXPECT_EQ(unit.nic->Completions().size(), 1u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_ERROR), 1u);
    EXPECT_EQ(AdapterOf(unit).Statistics.XmitErrorEvents, 1u);
}

// The card stops its transmitter on an error; the deferred call sets the
// enable again, even when it is set, and completes nothing by itself.
TEST_F(InterruptTest, ATransmitErrorAloneRestartsTheTransmitterAndTouchesNoFrame) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    unit.Card().FailNextTransmits(1);
    auto failed = SendFrames(unit, {MakeFrame(100, 1)});
    AwaitRaised(unit, INT_TX_ERROR | INT_TX_DONE);
    SetCardRegister(unit, ISR, INT_TX_DONE);
    SetCardRegister(unit, CR0, uint8_t(Register(unit, CR0) | CR0_TX_ENABLE));
    ASSERT_TRUE(CallIsr(unit).queueDeferred);

    unit.Card().ClearAccessLog();
    CallHandleInterrupt(unit);
    EXPECT_EQ(Accesses(unit), (std::vector<std::string>{"R CR0=0x83", "W CR0=0x83", "W IMR=0x3B"}));
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_ERROR), 1u);
    EXPECT_EQ(AdapterOf(unit).Statistics.XmitErrorEvents, 1u);
    EXPECT_TRUE(unit.nic->Completions().empty());

    // The card passed the failed frame: the next completion takes it along.
    Bytes next = MakeFrame(100, 2);
    SendFrames(unit, {next});
    ExpectOnLine(unit, {next});
    AwaitCompletions(unit);
    ASSERT_EQ(unit.nic->Completions().size(), 2u);
    EXPECT_EQ(unit.nic->Completions()[0].id, failed[0]);
    EXPECT_EQ(unit.nic->Completions()[0].status, NDIS_STATUS_SUCCESS);
}

// The hang checks and resets here are the tests' own, at chosen moments.
class ResetTest : public InterruptTest {
protected:
    host::WorldOptions WorldOptions() override { return testing_support::WithoutWatchdog(); }
};

TEST_F(ResetTest, AbortsTheRingThenTheWaitingAndStartsTheRingsAfresh) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter({{"XmtQueueLen", 3}});
    unit.nic->SetReturnPolicy({host::ReturnWhen::Hold});
    DeliverFromLine(unit, Frames(2, 100));  // lent to the protocol across the reset
    auto ids = SendFrames(unit, Frames(5, 1514));
    unit.Card().ClearAccessLog();

    host::ResetResult result = unit.nic->Reset();
    EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(result.addressingReset);
    // the ring's three in ring order, then the two waiting
    ExpectCompletions(unit, ids, NDIS_STATUS_REQUEST_ABORTED);
    EXPECT_EQ(AdapterOf(unit).TxCompleteIndex, 0u);
    EXPECT_EQ(AdapterOf(unit).RxNextIndex, 0u);
    EXPECT_EQ(Register(unit, RX_SW_INDEX), 14);  // posted from slot 0
    EXPECT_GE(FirstAccess(Accesses(unit), "W32 RX[0].address"), 0);
    EXPECT_EQ(Register(unit, IMR), 0x3B);
    EXPECT_EQ(Register(unit, CR1) & CR1_LINE_HOLD, 0);  // the line is up

    unit.nic->ReturnHeld();
    EXPECT_EQ(Register(unit, RX_SW_INDEX), 16);
    auto frames = Frames(3, 500);
    SendFrames(unit, frames);
    ExpectOnLine(unit, frames);
    DeliverFromLine(unit, Frames(3, 100));

    unit.loopback->StopPartner();
    Advance(host::kSecond);
    ASSERT_FALSE(machine->LinkUp(unit));
    unit.nic->Reset();
    EXPECT_EQ(Register(unit, CR1) & CR1_LINE_HOLD, CR1_LINE_HOLD);
}

// A protocol sends again from inside the reset's completions: from a ring
// frame's (lock dropped) and from a waiting packet's (lock held). Both wait
// for the rings to be restarted and go out once, in order.
TEST_F(ResetTest, SendsMadeFromInsideItsCompletionsGoOutAfterIt) {
    Unit& unit = StartedAdapter({{"XmtQueueLen", 3}});
    auto ids = SendFrames(unit, Frames(5, 1514));
    Bytes fromRing = MakeFrame(200, 1), fromWaiting = MakeFrame(200, 2);
    unit.nic->OnSendComplete([&](const host::SendCompletion& c) {
        if (c.id == ids[0]) unit.nic->Send({fromRing});
        if (c.id == ids[3]) unit.nic->Send({fromWaiting});
    });

    EXPECT_EQ(CallReset(unit), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.nic->Completions().size(), 5u);
    EXPECT_EQ(Register(unit, TX_SW_INDEX), 2);
    ExpectOnLine(unit, {fromRing, fromWaiting});
    AwaitCompletions(unit);
    auto done = unit.nic->Completions();
    ASSERT_EQ(done.size(), 7u);
    EXPECT_EQ(done[5].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(done[6].status, NDIS_STATUS_SUCCESS);
}

// A deferred call queued before the reset gets the lock on another
// processor while the reset has dropped it around a completion: it must
// neither complete ring frames, nor restart the transmitter, nor unmask.
TEST_F(ResetTest, ADeferredCallStaysOffTheRingsWhileTheResetOwnsThem) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    unit.Card().FailNextTransmits(1);
    uint64_t isrRuns = InterruptsOf(unit).isrRuns;
    auto ids = SendFrames(unit, Frames(3, 1514));
    ASSERT_TRUE(host::RunUntil([&] { return InterruptsOf(unit).isrRuns > isrRuns; },
                               host::kSecond));
    ASSERT_EQ(AdapterOf(unit).PendingInterrupts, INT_TX_ERROR | INT_TX_DONE);

    bool ran = false;
    unit.nic->OnSendComplete([&](const host::SendCompletion& c) {
        if (c.id != ids[0]) return;
        CallHandleInterrupt(unit, 1);
        ran = true;
        EXPECT_EQ(unit.nic->Completions().size(), 1u);
        EXPECT_EQ(Register(unit, CR0) & CR0_TX_ENABLE, 0);
        EXPECT_EQ(Register(unit, IMR), 0);
    });
    unit.nic->Reset();
    EXPECT_TRUE(ran);
    ExpectCompletions(unit, ids, NDIS_STATUS_REQUEST_ABORTED);
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_ERROR), 1u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_OK), 0u);
    EXPECT_EQ(Register(unit, IMR), 0x3B);

    unit.nic->OnSendComplete(nullptr);
    auto frames = Frames(2, 100);
    SendFrames(unit, frames);
    ExpectOnLine(unit, frames);
}

// The ISR has deferred a mailbox answer when a reset comes on another
// processor. Unmasked by the reset before that deferred call runs, the card
// would interrupt again and the ISR replace the answer's bit. The reset
// itself ends the statistics request waiting for the answer, as aborted; the
// late answer then wakes nobody, and the next request is answered.
TEST_F(ResetTest, LeavesTheCardMaskedForADeferredCallStillToCome) {
    Unit& unit = StartedAdapter();
    ASSERT_TRUE(unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest()).pended);
    AwaitRaised(unit, INT_MAILBOX);
    ASSERT_TRUE(CallIsr(unit).queueDeferred);  // the deferred call is queued

    EXPECT_EQ(unit.nic->Reset().status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.nic->LastRequest().status, NDIS_STATUS_REQUEST_ABORTED);
    EXPECT_EQ(Register(unit, IMR), 0);
    SendFrames(unit, {MakeFrame(100)});
    ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100)));
    Advance(10 * host::kMillisecond);
    CallHandleInterrupt(unit);  // the deferred call comes
    AwaitCompletions(unit);
    EXPECT_EQ(unit.nic->Received().size(), 1u);
    ASSERT_TRUE(unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest()).pended);
    EXPECT_EQ(unit.nic->WaitForRequest(10 * host::kSecond).status, NDIS_STATUS_SUCCESS);
}

// A card whose transmitter stops dead leaves its frames on the ring and raises
// nothing. The hang check notices that nothing has moved since its previous
// look, NDIS resets the adapter, and the reset completes the frames as
// aborted; the transmitter runs again and traffic flows.
TEST_F(ResetTest, AStalledTransmitterIsNoticedAndTheResetRecoversIt) {
    Unit& unit = StartedAdapter();
    EXPECT_FALSE(unit.nic->CheckForHang());  // idle: nothing to wait for

    auto delivered = Frames(2, 100);
    SendFrames(unit, delivered);
    ExpectOnLine(unit, delivered);
    unit.Card().WedgeTransmitter();
    SendFrames(unit, Frames(3, 1000));
    Advance(100 * host::kMillisecond);
    EXPECT_EQ(unit.nic->SendsOutstanding(), 3u);
    EXPECT_FALSE(unit.nic->CheckForHang());  // first look: frames waiting
    Advance(2 * host::kSecond);
    ASSERT_TRUE(unit.nic->CheckForHang());   // second look: nothing moved

    EXPECT_EQ(unit.nic->Reset().status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(unit.nic->Completions().size(), 5u);
    for (size_t i = 2; i < 5; ++i) {
        EXPECT_EQ(unit.nic->Completions()[i].status, NDIS_STATUS_REQUEST_ABORTED);
    }
    EXPECT_FALSE(unit.nic->CheckForHang());

    auto after = Frames(4, 200, 9);
    SendFrames(unit, after);
    ExpectOnLine(unit, after);
    AwaitCompletions(unit);
    EXPECT_EQ(unit.nic->Completions().back().status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(unit.nic->CheckForHang());
}

// With the line down the card passes frames all the same (it discards
// them): a transmitter that passes none is stuck then too.
TEST_F(ResetTest, AStalledTransmitterIsNoticedWithTheLineDownToo) {
    Unit& unit = StartedAdapter();
    unit.loopback->StopPartner();
    Advance(host::kSecond);
    ASSERT_FALSE(machine->LinkUp(unit));
    unit.Card().WedgeTransmitter();
    SendFrames(unit, Frames(2, 100));
    Advance(100 * host::kMillisecond);
    EXPECT_FALSE(unit.nic->CheckForHang());
    Advance(2 * host::kSecond);
    ASSERT_TRUE(unit.nic->CheckForHang());
    EXPECT_EQ(unit.nic->Reset().status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(unit.nic->Completions().size(), 2u);
    EXPECT_EQ(unit.nic->Completions()[1].status, NDIS_STATUS_REQUEST_ABORTED);
    SendFrames(unit, Frames(2, 100));
    AwaitCompletions(unit);  // discarded on the line that is down, but passed
    EXPECT_EQ(unit.nic->Completions().back().status, NDIS_STATUS_SUCCESS);
}

// Frames that keep moving are never taken for a stall, however long the
// queue: each look sees the card's progress.
TEST_F(ResetTest, ABusyTransmitterIsNotAStall) {
    Unit& unit = StartedAdapter({{"XmtQueueLen", 4}});
    SendFrames(unit, Frames(60, 1514));  // about 0.35 s of line time
    for (int look = 0; look < 3; ++look) {
        Advance(100 * host::kMillisecond);
        EXPECT_FALSE(unit.nic->CheckForHang()) << look;
    }
    AwaitCompletions(unit);
    for (const auto& done : unit.nic->Completions()) EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
}
