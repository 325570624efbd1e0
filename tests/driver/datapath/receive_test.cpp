// Frames coming in: taken off the receive ring in passes, indicated in one
// call per pass, lent to the protocol or marked for copying when buffers run
// short, and posted again when they come back.
#include "tests/driver/datapath/datapath_support.h"

using namespace datapath_test;

class ReceiveTest : public DataPathTest {
protected:
    // A partner that puts frames on the line without serialization time, so
    // a burst is on the ring before the first interrupt is taken.
    Unit& BurstAdapter(const std::map<std::string, uint32_t>& integers = {}) {
        cardmodel::LoopbackOptions options;
        options.unlimitedRate = true;
        return StartedAdapter(integers, options);
    }
    static ULONG Posted(Unit& unit) { return AdapterOf(unit).RxPostedQueue.Count; }
};

TEST_F(ReceiveTest, ABurstIsTakenInOneDeferredCallAndIndicatedTogether) {
    Unit& unit = BurstAdapter();
    host::InterruptCounts before = InterruptsOf(unit);
    DeliverFromLine(unit, Frames(10, 100));
    EXPECT_EQ(InterruptsOf(unit).isrRuns, before.isrRuns + 1);
    EXPECT_EQ(InterruptsOf(unit).deferredRuns, before.deferredRuns + 1);
    auto received = unit.nic->Received();
    EXPECT_EQ(received.front().indication, received.back().indication);
}

// With 16 buffers the threshold is 6: a frame whose buffer leaves fewer than
// 6 on the ring and free is indicated for copying and taken back at once.
TEST_F(ReceiveTest, FramesAreMarkedForCopyingOnceBuffersRunShort) {
    ZR48_WHITE_BOX();
    Unit& unit = BurstAdapter();
    unit.nic->SetReturnPolicy({host::ReturnWhen::Hold});
    DeliverFromLine(unit, Frames(8, 100));  // held: 8 buffers left
    DeliverFromLine(unit, Frames(5, 100));  // one pass: 7, 6, then 5, 4, 3 left
    auto received = unit.nic->Received();
    ASSERT_EQ(received.size(), 13u);
    EXPECT_EQ(received[8].indication, received[12].indication);
    for (size_t i = 0; i < 13; ++i) {
        EXPECT_EQ(received[i].status, i < 10 ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES) << i;
    }
    EXPECT_EQ(unit.nic->HeldPackets().size(), 10u);
    EXPECT_EQ(Posted(unit), 6u);  // the three copied ones are back on the ring
    unit.nic->ReturnHeld();
    EXPECT_EQ(Posted(unit), 16u);

    // One buffer: the threshold is 1, and every frame is copied.
    Unit& single = StartedAdapter({{"RcvQueueLen", 1}});
    DeliverFromLine(single, Frames(3, 60));
    for (auto& f : single.nic->Received()) EXPECT_EQ(f.status, NDIS_STATUS_RESOURCES);
    EXPECT_TRUE(single.nic->HeldPackets().empty());
}

TEST_F(ReceiveTest, WithNoPacketFilterFramesAreCountedAndTheirBuffersPostedAgain) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER, host::UlongBytes(0));
    for (auto& f : Frames(40, 100)) ASSERT_TRUE(unit.loopback->InjectFrame(f));
    Advance(100 * host::kMillisecond);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_OK), 40u);
    EXPECT_TRUE(unit.nic->Received().empty());
    EXPECT_EQ(unit.Card().Counters().rxDroppedNoBuffer, 0u);
    EXPECT_EQ(Posted(unit), 16u);

    unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER, host::UlongBytes(NDIS_PACKET_TYPE_DIRECTED));
    DeliverFromLine(unit, Frames(1, 100));
}

// However the protocol gives packets back, every buffer returns to the ring
// at its full length, and no frame is lost.
TEST_F(ReceiveTest, ReturnedPacketsArePostedAgainWhateverTheProtocolsTiming) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    const host::ReturnPolicy policies[] = {{host::ReturnWhen::InsideIndication},
                                           {host::ReturnWhen::AfterIndication},
                                           {host::ReturnWhen::AfterIndication, 1},
                                           {host::ReturnWhen::Hold}};
    for (const host::ReturnPolicy& policy : policies) {
        SCOPED_TRACE(int(policy.when) * 10 + policy.processor);
        unit.nic->SetReturnPolicy(policy);
        std::vector<Bytes> frames;
        for (size_t i = 0; i < 40; ++i) frames.push_back(MakeFrame(i % 2 ? 1514 : 60, i));
        size_t first = unit.nic->Received().size();
        DeliverFromLine(unit, frames);
        auto received = unit.nic->Received();
        for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(received[first + i].bytes, frames[i]);
        unit.nic->ReturnHeld();
        Advance(host::kMillisecond);
        EXPECT_EQ(Posted(unit), 16u);
        EXPECT_TRUE(unit.nic->HeldPackets().empty());
    }
    EXPECT_EQ(unit.Card().Counters().rxDroppedNoBuffer, 0u);
}

TEST_F(ReceiveTest, TheRingWrapsManyTimesWithoutLosingOrReorderingAFrame) {
    Unit& unit = StartedAdapter();
    std::vector<Bytes> all;
    for (int round = 0; round < 30; ++round) {
        auto frames = Frames(13, 60 + round, uint8_t(round * 13));
        DeliverFromLine(unit, frames);
        all.insert(all.end(), frames.begin(), frames.end());
    }
    auto received = unit.nic->Received();
    ASSERT_EQ(received.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(received[i].bytes, all[i]);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_OK), all.size());
}

// The card can report lengths up to 2047; one that no Ethernet frame in a
// 1514-byte buffer can have is dropped and its buffer posted again.
TEST_F(ReceiveTest, ADescriptorLengthOutsideAnEthernetFrameIsAnErrorNotAFrame) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    Bytes good = MakeFrame(100, 7);
    for (uint16_t length : {1515, 1600, 2047, 13, 1, 0}) {
        SCOPED_TRACE(length);
        unit.Card().MisreportNextReceiveLength(length);
        ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100)));
        DeliverFromLine(unit, {good});
        EXPECT_EQ(unit.nic->Received().back().bytes, good);
    }
    EXPECT_EQ(unit.nic->Received().size(), 6u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_ERROR), 6u);
    EXPECT_EQ(CounterOf(unit, OID_GEN_RCV_OK), 6u);
    Advance(host::kMillisecond);  // the last one's return
    EXPECT_EQ(Posted(unit), 16u);

    // The bounds themselves are frames.
    unit.Card().MisreportNextReceiveLength(14);
    DeliverFromLine(unit, {good});
    EXPECT_EQ(unit.nic->Received().back().bytes, Bytes(good.begin(), good.begin() + 14));
    unit.Card().MisreportNextReceiveLength(1514);
    ASSERT_TRUE(unit.loopback->InjectFrame(good));
    ASSERT_TRUE(AwaitReceived(unit, 1));
    EXPECT_EQ(unit.nic->Received().back().bytes.size(), 1514u);
}

// More buffers than the ring has slots: 127 are posted, the slot before the
// next one to process stays empty, and the rest wait to be posted.
TEST_F(ReceiveTest, MoreReceiveBuffersThanRingSlotsCarryABurstOf150) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter({{"RcvQueueLen", 200}});
    EXPECT_EQ(Register(unit, RX_SW_INDEX), 127);
    EXPECT_EQ(Posted(unit), 127u);
    unit.nic->SetReturnPolicy({host::ReturnWhen::Hold});
    auto frames = Frames(150, 60);
    DeliverFromLine(unit, frames);
    auto received = unit.nic->Received();
    std::map<uint64_t, size_t> perIndication;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(received[i].bytes, frames[i]);
        perIndication[received[i].indication] += 1;
    }
    for (auto& [indication, count] : perIndication) EXPECT_LE(count, 128u);
    EXPECT_EQ(unit.nic->HeldPackets().size(), 133u);  // then fewer than 67 were left
    unit.nic->ReturnHeld();
    EXPECT_EQ(Posted(unit), 127u);
}
