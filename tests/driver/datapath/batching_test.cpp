// The data path works a burst as one batch: the frames of a receive pass
// are indicated together and their buffers posted again once, the frames the
// card has sent are completed together after one release of the lock. Each
// frame must still be judged, counted and handed back as if it were alone.
#include <algorithm>

#include "tests/driver/datapath/datapath_support.h"

using namespace datapath_test;

namespace {

class BatchingTest : public DataPathTest {
protected:
    // A partner without serialization time: a burst is on the ring before
    // the first interrupt is taken.
    Unit& BurstAdapter(const std::map<std::string, uint32_t>& integers = {}) {
        cardmodel::LoopbackOptions options;
        options.unlimitedRate = true;
        return StartedAdapter(integers, options);
    }
    // Receive buffers on the ring, as the card's two indexes say.
    static unsigned PostedOnRing(Unit& unit) {
        return (Register(unit, RX_SW_INDEX) - Register(unit, RX_HW_INDEX)) & RING_INDEX_MASK;
    }
    static size_t WritesOf(Unit& unit, const std::string& reg) {
        auto log = Accesses(unit);
        return std::count_if(log.begin(), log.end(), [&](const std::string& a) {
            return a.compare(0, reg.size() + 2, "W " + reg) == 0 && a[reg.size() + 2] == '=';
        });
    }
};

// The protocol gives every packet back from inside the indication: each
// buffer is on the ring again when the pass ends, posted by the pass with
// one write of RX_SW_INDEX for the burst, and the next burst finds them.
TEST_F(BatchingTest, PacketsReturnedInsideTheIndicationAreAllPostedAgainByThePass) {
    Unit& unit = BurstAdapter();
    unit.nic->SetReturnPolicy({host::ReturnWhen::InsideIndication});
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        unit.Card().ClearAccessLog();
        host::InterruptCounts before = InterruptsOf(unit);
        auto frames = Frames(10, 1514, uint8_t(round * 10));  // 6 buffers left: none copied
        size_t first = unit.nic->Received().size();
        DeliverFromLine(unit, frames);
        ASSERT_EQ(InterruptsOf(unit).deferredRuns, before.deferredRuns + 1);
        EXPECT_EQ(WritesOf(unit, "RX_SW_INDEX"), 1u);
        EXPECT_EQ(PostedOnRing(unit), 16u);
        auto received = unit.nic->Received();
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(received[first + i].bytes, frames[i]);
            EXPECT_EQ(received[first + i].status, NDIS_STATUS_SUCCESS);
        }
        EXPECT_TRUE(unit.nic->HeldPackets().empty());
    }
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_OK), 30u);
    EXPECT_EQ(unit.Card().Counters().rxDroppedNoBuffer, 0u);
}

// A frame the pass drops gives its buffer back at once, so the frames after
// it in the same pass find one buffer more than those taken: with 8 buffers
// lent and 8 on the ring, a dropped frame then four good ones leave 7, 6, 5
// and 4 buffers, and only the last two are marked for copying.
TEST_F(BatchingTest, AFrameDroppedInAPassCountsItsBufferAsBackForTheFramesAfterIt) {
    Unit& unit = BurstAdapter();
    unit.nic->SetReturnPolicy({host::ReturnWhen::Hold});
    DeliverFromLine(unit, Frames(8, 100));
    unit.Card().MisreportNextReceiveLength(2047);
    ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100, 99)));
    DeliverFromLine(unit, Frames(4, 100, 20));
    auto received = unit.nic->Received();
    ASSERT_EQ(received.size(), 12u);
    const NDIS_STATUS expected[] = {NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS,
                                    NDIS_STATUS_RESOURCES, NDIS_STATUS_RESOURCES};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(received[8 + i].status, expected[i]) << i;
        EXPECT_EQ(received[8 + i].indication, received[8].indication);
    }
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_ERROR), 1u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_OK), 12u);
    EXPECT_EQ(unit.nic->HeldPackets().size(), 10u);
    unit.nic->ReturnHeld();
    EXPECT_EQ(PostedOnRing(unit), 16u);
}

// Completions made together after the lock is let go: in ring order, each
// once, counted once each, and a protocol that sends again from inside a
// completion finds the slot free and its frame goes out after the others.
TEST_F(BatchingTest, CompletionsOfAPassComeInRingOrderAndSendsFromThemGoOut) {
    Unit& unit = BurstAdapter({{"XmtQueueLen", 8}});
    auto frames = Frames(8, 1514);
    std::vector<Bytes> answers = Frames(8, 300, 100);
    size_t answered = 0;
    unit.nic->OnSendComplete([&](const host::SendCompletion& c) {
        if (c.frame.size() == 1514 && answered < answers.size()) {
            unit.nic->Send({answers[answered++]});
        }
    });
    auto ids = SendFrames(unit, frames);
    std::vector<Bytes> all = frames;
    all.insert(all.end(), answers.begin(), answers.end());
    ExpectOnLine(unit, all);
    AwaitCompletions(unit);
    auto done = unit.nic->Completions();
    ASSERT_EQ(done.size(), 16u);
    for (size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(done[i].id, ids[i]);
        EXPECT_EQ(done[i].status, NDIS_STATUS_SUCCESS);
    }
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_OK), 16u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_ERROR), 0u);
}

}  // namespace
