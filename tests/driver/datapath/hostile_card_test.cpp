// A card that lies, or is gone. Whatever it hands the driver (an interrupt
// status of all ones, a ring index past what the driver gave it, an index
// register that does not read back what was written), the driver touches
// only its own slots, completes every send once, counts the bad value as an
// error and carries on once the card tells the truth again.
#include "tests/driver/datapath/datapath_support.h"
#include "testbed/hostile_card.h"

using namespace datapath_test;

namespace {

constexpr uint32_t RegisterAt(CardRegister reg) { return REGISTERS_OFFSET + reg; }

}  // namespace

class HostileCardTest : public DataPathTest {
protected:
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
    Unit& unit = StartedAdapter();
    testbed::HostileCard liar(*unit.slot);
    uint64_t rcvError = CounterOf(unit, OID_GEN_RCV_ERROR);
    uint64_t xmitError = CounterOf(unit, OID_GEN_XMIT_ERROR);
    ULONG events = Bit08Events(unit);
    host::InterruptCounts before = InterruptsOf(unit);

    liar.Remove();
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

    liar.Reinsert();
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
