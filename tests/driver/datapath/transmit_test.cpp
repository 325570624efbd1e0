// Frames going out: copied into the driver's own slots, padded, described on
// the transmit ring, completed once, and waiting in order when slots run out.
#include "tests/driver/datapath/datapath_support.h"

using namespace datapath_test;

class TransmitTest : public DataPathTest {};

TEST_F(TransmitTest, FramesOfEverySizeCrossALineBothWaysPaddedTo60) {
    auto [a, b] = StartedPair();
    const std::vector<size_t> sizes = {0, 1, 13, 14, 42, 59, 60, 61, 100, 1000, 1513, 1514};
    for (auto [from, to] : {std::pair<Unit*, Unit*>{a, b}, {b, a}}) {
        from->Card().ClearAccessLog();
        std::vector<Bytes> frames;
        for (size_t size : sizes) {
            frames.push_back(size < 14 ? Bytes(size, 0xAB) : MakeFrame(size, uint8_t(size)));
        }
        size_t first = to->nic->Received().size();
        SendFrames(*from, frames);
        ASSERT_TRUE(AwaitReceived(*to, frames.size()));
        auto received = to->nic->Received();
        for (size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE(frames[i].size());
            EXPECT_EQ(received[first + i].bytes, Padded(frames[i]));
            EXPECT_EQ(received[first + i].headerSize, 14u);
        }
        auto log = Accesses(*from);
        EXPECT_GE(FirstAccess(log, "W32 TX[4].control=0x0000803C"), 0);  // 42 bytes
        EXPECT_GE(FirstAccess(log, "W32 TX[11].control=0x000085EA"), 0);  // 1514 bytes
        AwaitCompletions(*from);
        for (auto& c : from->nic->Completions()) EXPECT_EQ(c.status, NDIS_STATUS_SUCCESS);
    }
    EXPECT_EQ(CounterOf(*a, OID_GEN_XMIT_OK), sizes.size());
    EXPECT_EQ(CounterOf(*a, OID_GEN_RCV_OK), sizes.size());
}

TEST_F(TransmitTest, APacketInPiecesOrWithoutBuffersGoesOutAsOneFrame) {
    Unit& unit = StartedAdapter();
    Bytes frame = MakeFrame(134, 9);
    unit.nic->Send({host::OutgoingFrame(frame, {14, 34}),            // 14 + 20 + 100
                    host::OutgoingFrame(frame, {0, 14, 14, 34, 134}),  // empty pieces too
                    host::OutgoingFrame::WithoutBuffer()});
    ExpectOnLine(unit, {frame, frame, Bytes(60, 0)});
    EXPECT_EQ(TxControl(unit, 2), 0x803Cu);
}

TEST_F(TransmitTest, TenSendsOnEightBuffersWaitInOrderForFreedSlots) {
    Unit& unit = StartedAdapter({{"XmtQueueLen", 8}});
    uint8_t start = Register(unit, TX_SW_INDEX);
    auto frames = Frames(10, 200);
    auto ids = SendFrames(unit, frames);
    EXPECT_EQ(Register(unit, TX_SW_INDEX), uint8_t(start + 8));
    ExpectOnLine(unit, frames);
    AwaitCompletions(unit);
    ExpectCompletions(unit, ids, NDIS_STATUS_SUCCESS);
    // With more buffers than the ring holds, one slot still stays empty.
    Unit& wide = StartedAdapter({{"XmtQueueLen", 200}});
    start = Register(wide, TX_SW_INDEX);
    frames = Frames(150, 60);
    SendFrames(wide, frames);
    EXPECT_EQ(Register(wide, TX_SW_INDEX), uint8_t((start + 127) & RING_INDEX_MASK));
    ExpectOnLine(wide, frames);
}

TEST_F(TransmitTest, TheRingWrapsManyTimesWithoutLosingOrReorderingAFrame) {
    Unit& unit = StartedAdapter();
    for (int round = 0; round < 40; ++round) {
        auto frames = Frames(11, 60 + round, uint8_t(round * 11));
        SendFrames(unit, frames);
        ExpectOnLine(unit, frames);
    }
    AwaitCompletions(unit);
    EXPECT_EQ(unit.nic->Completions().size(), 440u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_OK), 440u);
}

// A frame longer than a slot is never copied: it fails once and counts as a
// transmit error; the frames around it go out.
TEST_F(TransmitTest, AFrameLongerThan1514BytesFailsOnceAndNothingIsCopied) {
    Unit& unit = StartedAdapter();
    Bytes before = MakeFrame(100, 1), after = MakeFrame(100, 2);
    auto ids = unit.nic->Send(
        {before, MakeFrame(1515), host::OutgoingFrame(MakeFrame(3000), {1500}), after});
    ExpectOnLine(unit, {before, after});
    AwaitCompletions(unit);
    std::map<host::SendId, NDIS_STATUS> status;
    for (auto& c : unit.nic->Completions()) status[c.id] = c.status;
    ASSERT_EQ(status.size(), 4u);
    EXPECT_EQ(status[ids[1]], NDIS_STATUS_FAILURE);
    EXPECT_EQ(status[ids[2]], NDIS_STATUS_FAILURE);
    EXPECT_EQ(status[ids[3]], NDIS_STATUS_SUCCESS);
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_ERROR), 2u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_XMIT_OK), 2u);
    EXPECT_EQ(unit.Card().Counters().txFrames, 2u);
    EXPECT_TRUE(unit.Card().Anomalies().empty());
}
