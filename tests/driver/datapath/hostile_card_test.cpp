// A card that lies, or is gone. Whatever it hands the driver (an interrupt
// status of all ones, a ring index past what the driver gave it, an index
// register that does not read back what was written), the driver touches
// only its own slots, completes every send once, counts the bad value as an
// error and carries on once the card tells the truth again.
#include "tests/driver/datapath/datapath_support.h"
#include "card/mailbox_protocol.h"
#include "testbed/hostile_card.h"

using namespace datapath_test;

namespace {

constexpr uint32_t RegisterAt(CardRegister reg) { return REGISTERS_OFFSET + reg; }

}  // namespace

class HostileCardTest : public DataPathTest {
protected:
    // The tests make their hang checks and resets themselves, at chosen
    // moments.
    host::WorldOptions WorldOptions() override { return testing_support::WithoutWatchdog(); }
    // The driver's interrupt taken for the card's word alone: the next ISR
    // read shows `status`, raised by a device that is not there.
    static void InterruptWithStatus(testbed::HostileCard& liar, uint8_t status) {
        liar.LieAt(RegisterAt(ISR), status);
        liar.SpuriousInterrupt();
        host::RunPending();
    }
    static ULONG Bit08Events(Unit& unit) { return AdapterOf(unit).Statistics.IsrBit08Events; }
    static ULONG Posted(Unit& unit) { return AdapterOf(unit).RxPostedQueue.Count; }
};

// A removed card reads all ones: an ISR of 0xFF is no cause of ours. The
// driver claims nothing on the shared line, counts nothing and touches
// nothing; the line's other device is served, and no storm follows.
TEST_F(HostileCardTest, ACardReadingAllOnesIsNotServed) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    testbed::HostileCard liar(*unit.slot);
    uint64_t rcvError = CounterOf(unit, OID_GEN_RCV_ERROR);
    uint64_t xmitError = CounterOf(unit, OID_GEN_XMIT_ERROR);
    ULONG events = Bit08Events(unit);
    host::InterruptCounts before = InterruptsOf(unit);

    liar.ReadAllOnes();
    IsrAnswer answer = CallIsr(unit);
    EXPECT_FALSE(answer.recognized);
    EXPECT_FALSE(answer.queueDeferred);
    for (int i = 0; i < 3; ++i) {
        liar.SpuriousInterrupt();  // the line's other device
        Advance(host::kMillisecond);
    }
    EXPECT_EQ(InterruptsOf(unit).isrRuns, before.isrRuns + 3);
    EXPECT_EQ(InterruptsOf(unit).deferredRuns, before.deferredRuns);
    EXPECT_FALSE(InterruptsOf(unit).stormed);
    EXPECT_EQ(AdapterOf(unit).PendingInterrupts, 0);
    EXPECT_EQ(Bit08Events(unit), events);

    liar.ReadAllOnes(false);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_ERROR), rcvError);
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_ERROR), xmitError);
    auto frames = Frames(3, 200);
    SendFrames(unit, frames);
    ExpectOnLine(unit, frames);
    DeliverFromLine(unit, Frames(2, 100));
}

// Sources the card does not have (0x40, 0x80) are never enabled: a status
// showing only them, with a mask that claims them, is not the card's.
TEST_F(HostileCardTest, AnInterruptFromSourcesTheCardDoesNotHaveIsNotClaimed) {
    Unit& unit = StartedAdapter();
    testbed::HostileCard liar(*unit.slot);
    liar.LieAt(RegisterAt(IMR), 0xFF);
    liar.LieAt(RegisterAt(ISR), 0xC0);
    unit.Card().ClearAccessLog();
    IsrAnswer answer = CallIsr(unit);
    EXPECT_FALSE(answer.recognized || answer.queueDeferred);
    EXPECT_EQ(Accesses(unit), (std::vector<std::string>{"R IMR=0x3B", "R ISR=0x00", "W ISR=0x00"}));
    EXPECT_EQ(Register(unit, IMR), 0x3B);
}

// TX_HW_INDEX past the frames the driver put on the ring (or beyond the
// ring) completes nothing: the card is wrong, the error counted, and every
// frame completes once when the card really passes it.
TEST_F(HostileCardTest, ATransmitIndexBeyondTheFramesOnTheRingCompletesNothing) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    testbed::HostileCard liar(*unit.slot);
    auto frames = Frames(3, 1514);  // 6 ms each on the line: still on the ring
    auto ids = SendFrames(unit, frames);
    ASSERT_EQ(Register(unit, TX_HW_INDEX), AdapterOf(unit).TxCompleteIndex);
    uint8_t start = Register(unit, TX_HW_INDEX);
    for (uint8_t index : {uint8_t(start + 4), uint8_t(0x80 | start), uint8_t(0xFF),
                          uint8_t((start - 1) & RING_INDEX_MASK)}) {
        SCOPED_TRACE(index);
        liar.LieAt(RegisterAt(TX_HW_INDEX), index);
        InterruptWithStatus(liar, INT_TX_DONE);
        EXPECT_TRUE(unit.nic->Completions().empty());
        EXPECT_EQ(AdapterOf(unit).TxCompleteIndex, start);
    }
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_ERROR), 4u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_OK), 0u);

    ExpectOnLine(unit, frames);
    AwaitCompletions(unit);
    ExpectCompletions(unit, ids, NDIS_STATUS_SUCCESS);
}

// RX_HW_INDEX past the buffers posted on the ring indicates nothing: no
// buffer is taken for a frame the card never wrote, and the ring keeps its
// order, so the frames the card then writes arrive in place.
TEST_F(HostileCardTest, AReceiveIndexBeyondThePostedBuffersTakesNothing) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    testbed::HostileCard liar(*unit.slot);
    uint8_t start = Register(unit, RX_HW_INDEX);
    ASSERT_EQ(Posted(unit), 16u);
    for (uint8_t index : {uint8_t(start + 17), uint8_t(0x80 | start), uint8_t(0xFF),
                          uint8_t((start - 1) & RING_INDEX_MASK)}) {
        SCOPED_TRACE(index);
        liar.LieAt(RegisterAt(RX_HW_INDEX), index);
        InterruptWithStatus(liar, INT_RX);
        EXPECT_TRUE(unit.nic->Received().empty());
        EXPECT_EQ(Posted(unit), 16u);
        EXPECT_EQ(AdapterOf(unit).RxNextIndex, start);
    }
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_ERROR), 4u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_OK), 0u);

    auto frames = Frames(20, 300);
    DeliverFromLine(unit, frames);
    auto received = unit.nic->Received();
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(received[i].bytes, frames[i]);
}

// The index registers the driver writes are its own: it fills the ring from
// where it left off whatever they read back, so a descriptor never lands in
// a slot the card does not expect it in (or in the other ring).
TEST_F(HostileCardTest, TheDriverFillsTheRingsFromItsOwnIndexesNotWhatTheyReadBack) {
    Unit& unit = StartedAdapter();
    testbed::HostileCard liar(*unit.slot);
    uint8_t txStart = Register(unit, TX_SW_INDEX);
    liar.LieAt(RegisterAt(TX_SW_INDEX), 0xFF);
    auto frames = Frames(2, 100);
    SendFrames(unit, frames);
    EXPECT_EQ(Register(unit, TX_SW_INDEX), uint8_t(txStart + 2));
    ExpectOnLine(unit, frames);
    AwaitCompletions(unit);
    for (auto& done : unit.nic->Completions()) EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);

    unit.nic->SetReturnPolicy({host::ReturnWhen::Hold});
    DeliverFromLine(unit, Frames(3, 100));
    uint8_t rxPosted = Register(unit, RX_SW_INDEX);
    liar.LieAt(RegisterAt(RX_SW_INDEX), 0x60, 3);
    unit.Card().ClearAccessLog();
    unit.nic->ReturnHeld();
    EXPECT_EQ(Register(unit, RX_SW_INDEX), uint8_t(rxPosted + 3));
    auto log = Accesses(unit);
    for (unsigned i = 0; i < 3; ++i) {
        std::string slot = "W32 RX[" + std::to_string((rxPosted + i) & RING_INDEX_MASK) + "]";
        EXPECT_GE(FirstAccess(log, slot), 0) << slot;
    }
    // Each index that did not read back as written counts as an error.
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_ERROR), 1u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_ERROR), 3u);
    unit.nic->SetReturnPolicy({});
    auto more = Frames(20, 100, 50);
    DeliverFromLine(unit, more);
    EXPECT_EQ(unit.nic->Received().back().bytes, more.back());
}

// The bring-up's transceiver answers come through the deferred routine. A
// card that claims received and sent frames meanwhile (its transfers are not
// even on) must not make it post receive buffers or complete transmit slots:
// the start-up resets the ring indexes after it, and buffers posted before
// would stay on the driver's books with the ring empty, receiving nothing.
TEST_F(HostileCardTest, FramesClaimedDuringTheBringUpLeaveTheRingsToTheStartUp) {
    ZR48_WHITE_BOX();
    Unit& unit = machine->AddAdapter();
    machine->Loopback(unit);
    testbed::HostileCard liar(*unit.slot);
    liar.LieAt(RegisterAt(IMR), IMR_NORMAL);  // the first interrupt: stage 0x0D
    liar.LieAt(RegisterAt(ISR), INT_MAILBOX | INT_RX | INT_TX_DONE);
    machine->Start(unit);
    ASSERT_TRUE(unit.nic->Running());
    EXPECT_EQ(liar.LiesTold(), 2u);
    EXPECT_EQ(Register(unit, RX_SW_INDEX), 16);
    EXPECT_EQ(Posted(unit), 16u);
    auto frames = Frames(20, 100);
    DeliverFromLine(unit, frames);
    SendFrames(unit, frames);
    ExpectOnLine(unit, frames);
}

// The driver refused every index the card showed for its frames (each read
// lied), and the card, done with them, says nothing more: the frames would
// wait for ever. The hang check sees them stand still, and NDIS's reset
// frees them, even while the driver takes the line for down (it misread the
// line status too).
TEST_F(HostileCardTest, FramesLeftOnTheRingByIndexLiesAreFreedByTheHangCheck) {
    Unit& unit = StartedAdapter();
    testbed::HostileCard liar(*unit.slot);
    liar.LieAt(MAILBOX_OFFSET + MB_LINE_STATUS, 0x00);
    unit.Card().PostEvent(MB_EVENT_LINE_CHECK);
    Advance(600 * host::kMillisecond);
    ASSERT_FALSE(machine->LinkUp(unit));

    liar.LieAt(RegisterAt(TX_HW_INDEX), 0x7F, 1000);
    auto ids = SendFrames(unit, Frames(3, 100));
    Advance(100 * host::kMillisecond);
    ASSERT_EQ(unit.nic->SendsOutstanding(), 3u);
    ASSERT_EQ(Register(unit, TX_HW_INDEX), Register(unit, TX_SW_INDEX));  // the card is done
    liar.BeHonest();

    EXPECT_FALSE(unit.nic->CheckForHang());
    Advance(2 * host::kSecond);
    ASSERT_TRUE(unit.nic->CheckForHang());
    EXPECT_EQ(unit.nic->Reset().status, NDIS_STATUS_SUCCESS);
    ExpectCompletions(unit, ids, NDIS_STATUS_REQUEST_ABORTED);
    SendFrames(unit, Frames(2, 100));
    AwaitCompletions(unit);
    EXPECT_EQ(unit.nic->Completions().back().status, NDIS_STATUS_SUCCESS);
}
