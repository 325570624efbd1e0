// The transmit and receive engines against a loopback partner on a trained
// line: descriptors, DMA, timing at the line rate, errors and drops.
#include "tests/cardmodel/card_rig.h"

using namespace cardmodel;

class DataPathTest : public ::testing::Test {
protected:
    FakeEnvironment env;
    CardRig rig{env};
    LoopbackPartner partner{env, rig.card};

    void SetUp() override {
        ASSERT_TRUE(rig.BringUp());
        ASSERT_TRUE(rig.AwaitLineUp());
        rig.card.ClearAnomalies();
    }
    // 1514 bytes at 2048 kbit/s
    static constexpr int64_t kFullFrameTime = 1514LL * 8 * kSecond / 2048000;
};

// ---------------------------------------------------------------------------
// Transmit
// ---------------------------------------------------------------------------
TEST_F(DataPathTest, FrameLeavesAfterItsSerializationTimeAndTheIndexMovesThen) {
    std::vector<uint8_t> frame = TestFrame(1514);
    rig.PushTx(frame);
    env.Advance(kFullFrameTime - 1);
    EXPECT_EQ(rig.Reg(TX_HW_INDEX), 0);
    EXPECT_EQ(rig.card.PeekRegister(ISR) & INT_TX_DONE, 0);
    env.Advance(1);
    EXPECT_EQ(rig.Reg(TX_HW_INDEX), 1);
    EXPECT_EQ(rig.card.PeekRegister(ISR) & INT_TX_DONE, INT_TX_DONE);
    env.Advance(10 * kMicrosecond);  // propagation
    ASSERT_EQ(partner.SentCount(), 1u);
    EXPECT_EQ(partner.SentFrames()[0], frame);
    EXPECT_EQ(rig.card.Counters().txFrames, 1u);
}

TEST_F(DataPathTest, FramesGoOneAfterAnotherInRingOrderAcrossTheWrap) {
    std::vector<std::vector<uint8_t>> frames;
    for (unsigned i = 0; i < 300; ++i) {
        frames.push_back(TestFrame(60 + i, static_cast<uint8_t>(i)));
        rig.PushTx(frames.back());
        if (i % 100 == 99) env.Advance(1 * kSecond);  // at most 127 on the ring
    }
    env.Advance(1 * kSecond);
    EXPECT_EQ(rig.Reg(TX_HW_INDEX), 300 % 128);
    EXPECT_EQ(partner.SentFrames(), frames);
    EXPECT_TRUE(rig.card.Anomalies().empty());
}

TEST_F(DataPathTest, DisablingMidFrameAbandonsItAndItGoesAgainFromItsDescriptor) {
    rig.PushTx(TestFrame(1514));
    env.Advance(kFullFrameTime / 2);
    rig.SetReg(CR0, rig.Reg(CR0) & ~CR0_TX_ENABLE);
    env.Advance(1 * kSecond);
    EXPECT_EQ(partner.SentCount(), 0u);
    rig.SetReg(CR0, rig.Reg(CR0) | CR0_TX_ENABLE);
    env.Advance(1 * kSecond);
    EXPECT_EQ(partner.SentCount(), 1u);
}

// The card reads the slot as it sends: a driver that rewrites a slot the card
// still owns sends the rewritten bytes, and is told so.
TEST_F(DataPathTest, SlotRewrittenWhileTheCardSendsItIsAnAnomalyAndGoesOutAsRewritten) {
    std::vector<uint8_t> frame = TestFrame(1514);
    rig.PushTx(frame);
    uint32_t address = rig.card.PeekRingWord(TX_RING_OFFSET + DESCRIPTOR_ADDRESS);
    env.Advance(kFullFrameTime / 2);
    std::vector<uint8_t> rewritten = TestFrame(1514, 0x5A);
    env.SetMemory(address, rewritten);
    env.Advance(kFullFrameTime);
    ASSERT_EQ(partner.SentCount(), 1u);
    EXPECT_EQ(partner.SentFrames()[0], rewritten);
    ASSERT_EQ(rig.card.Anomalies().size(), 1u);
    EXPECT_NE(rig.card.Anomalies()[0].find("transmit slot 0 changed while the card sent it"),
              std::string::npos);

    // Left alone until the index passes it, a slot raises nothing.
    rig.card.ClearAnomalies();
    rig.PushTx(frame);
    env.Advance(2 * kFullFrameTime);
    EXPECT_EQ(partner.SentFrames().back(), frame);
    EXPECT_TRUE(rig.card.Anomalies().empty());
}

// Each bad descriptor stops the transmitter, which steps past it.
TEST_F(DataPathTest, BadDescriptorsAreTransmitErrors) {
    uint32_t good = env.Allocate(FRAME_SLOT_SIZE);
    struct Case {
        uint32_t address, control;
    } cases[] = {{good, 60},                       // no valid bit
                 {good, TX_CONTROL_VALID},         // length 0
                 {good, TX_CONTROL_VALID | 1515},  // too long
                 {0x00000100, TX_CONTROL_VALID | 60}};  // nobody's memory
    for (const Case& c : cases) {
        unsigned slot = rig.Reg(TX_SW_INDEX);
        rig.WriteTxDescriptor(slot, c.address, c.control);
        rig.SetReg(TX_SW_INDEX, NEXT_RING_INDEX(slot));
        EXPECT_EQ(rig.Reg(ISR) & (INT_TX_ERROR | INT_TX_DONE), INT_TX_ERROR | INT_TX_DONE);
        EXPECT_EQ(rig.Reg(CR0) & CR0_TX_ENABLE, 0);
        EXPECT_EQ(rig.Reg(TX_HW_INDEX), NEXT_RING_INDEX(slot));
        rig.SetReg(ISR, INT_ALL);
        rig.SetReg(CR0, rig.Reg(CR0) | CR0_TX_ENABLE);  // as the driver does
    }
    env.Advance(1 * kSecond);
    EXPECT_EQ(partner.SentCount(), 0u);
    EXPECT_EQ(rig.card.Counters().txErrors, 4u);
    EXPECT_EQ(rig.card.Anomalies().size(), 4u);
    rig.PushTx(TestFrame(60));
    env.Advance(1 * kSecond);
    EXPECT_EQ(partner.SentCount(), 1u);
}

TEST_F(DataPathTest, InjectedTransmitErrorTakesTheNextFrameOnly) {
    rig.card.FailNextTransmits(1);
    rig.PushTx(TestFrame(60, 1));
    rig.SetReg(CR0, rig.Reg(CR0) | CR0_TX_ENABLE);
    rig.PushTx(TestFrame(60, 2));
    env.Advance(1 * kSecond);
    ASSERT_EQ(partner.SentCount(), 1u);
    EXPECT_EQ(partner.SentFrames()[0], TestFrame(60, 2));
    EXPECT_TRUE(rig.card.Anomalies().empty());  // not the driver's fault
}

TEST_F(DataPathTest, HeldOrDownLineDiscardsFramesAtLineRateButCompletesThem) {
    rig.SetReg(CR1, rig.Reg(CR1) | CR1_LINE_HOLD);
    rig.PushTx(TestFrame(1514));
    env.Advance(kFullFrameTime);
    EXPECT_EQ(rig.Reg(TX_HW_INDEX), 1);
    EXPECT_EQ(rig.card.Counters().txDiscardedHeld, 1u);

    rig.SetReg(CR1, 0);
    partner.Cut();
    env.Advance(1 * kMillisecond);
    rig.PushTx(TestFrame(1514));
    env.Advance(kFullFrameTime);
    EXPECT_EQ(rig.Reg(TX_HW_INDEX), 2);
    EXPECT_EQ(rig.card.Counters().txDiscardedLineDown, 1u);
    EXPECT_EQ(partner.SentCount(), 0u);
}

// ---------------------------------------------------------------------------
// Receive
// ---------------------------------------------------------------------------
TEST_F(DataPathTest, FrameFromTheLineLandsInThePostedBuffer) {
    rig.PostRxBuffers(2);
    std::vector<uint8_t> frame = TestFrame(100, 7);
    ASSERT_TRUE(partner.InjectFrame(frame));
    env.Advance(1 * kMillisecond);
    EXPECT_EQ(rig.Reg(RX_HW_INDEX), 1);
    EXPECT_EQ(rig.RxStatus(0) & RX_STATUS_LENGTH_MASK, 100u);
    EXPECT_EQ(rig.RxFrame(0), frame);
    EXPECT_EQ(rig.Reg(ISR) & INT_RX, INT_RX);
}

TEST_F(DataPathTest, InjectedFramesArriveAtTheLineRateOneBehindTheOther) {
    rig.PostRxBuffers(2);
    partner.InjectFrame(TestFrame(1514, 1));
    partner.InjectFrame(TestFrame(1514, 2));
    env.Advance(kFullFrameTime + 10 * kMicrosecond - 1);
    EXPECT_EQ(rig.Reg(RX_HW_INDEX), 0);
    env.Advance(1);
    EXPECT_EQ(rig.Reg(RX_HW_INDEX), 1);
    env.Advance(kFullFrameTime);
    EXPECT_EQ(rig.Reg(RX_HW_INDEX), 2);
}

TEST_F(DataPathTest, WithoutABufferTheFrameIsDroppedAndTheCardEventRaised) {
    rig.PostRxBuffers(1);
    partner.InjectFrame(TestFrame(60, 1));
    partner.InjectFrame(TestFrame(60, 2));
    env.Advance(1 * kMillisecond);
    EXPECT_EQ(rig.Reg(RX_HW_INDEX), 1);  // never past RX_SW_INDEX
    EXPECT_EQ(rig.card.Counters().rxDroppedNoBuffer, 1u);
    EXPECT_EQ(rig.Reg(ISR) & INT_EVENT, INT_EVENT);
}

TEST_F(DataPathTest, ReceiverOffOrLineHeldDropsFrames) {
    rig.PostRxBuffers(4);
    rig.SetReg(CR0, rig.Reg(CR0) & ~CR0_RX_ENABLE);
    partner.InjectFrame(TestFrame(60));
    env.Advance(1 * kMillisecond);
    rig.SetReg(CR0, rig.Reg(CR0) | CR0_RX_ENABLE);
    rig.SetReg(CR1, CR1_LINE_HOLD);
    partner.InjectFrame(TestFrame(60));
    env.Advance(1 * kMillisecond);
    EXPECT_EQ(rig.Reg(RX_HW_INDEX), 0);
    CardCounters counters = rig.card.Counters();
    EXPECT_EQ(counters.rxDroppedDisabled, 1u);
    EXPECT_EQ(counters.rxDroppedHeld, 1u);
}

TEST_F(DataPathTest, ReceiveErrorsRaiseTheirBitAndLoseTheFrame) {
    rig.PostRxBuffers(8);
    rig.card.FailNextReceives(1);
    partner.InjectFrame(TestFrame(60));        // injected error
    partner.InjectFrame(TestFrame(60), true);  // bit errors
    partner.InjectFrame(TestFrame(10));        // shorter than a header
    partner.InjectFrame(TestFrame(1515));      // longer than the card takes
    env.Advance(10 * kMillisecond);
    EXPECT_EQ(rig.Reg(RX_HW_INDEX), 0);
    EXPECT_EQ(rig.Reg(ISR) & INT_RX_ERROR, INT_RX_ERROR);
    CardCounters counters = rig.card.Counters();
    EXPECT_EQ(counters.rxErrors, 4u);
    EXPECT_EQ(counters.rxDroppedInjected, 1u);
    EXPECT_EQ(counters.rxDroppedDamaged, 1u);
    EXPECT_EQ(counters.rxDroppedBadLength, 2u);
}

TEST_F(DataPathTest, MisreportedLengthReachesTheDescriptorOnce) {
    rig.PostRxBuffers(2);
    rig.card.MisreportNextReceiveLength(2000);
    partner.InjectFrame(TestFrame(60));
    partner.InjectFrame(TestFrame(60));
    env.Advance(1 * kMillisecond);
    EXPECT_EQ(rig.RxStatus(0) & RX_STATUS_LENGTH_MASK, 2000u);
    EXPECT_EQ(rig.RxStatus(1) & RX_STATUS_LENGTH_MASK, 60u);
}

TEST_F(DataPathTest, UnreachableReceiveBufferKeepsItsSlotAndIsFlagged) {
    unsigned slot = rig.Reg(RX_SW_INDEX);
    rig.card.Write32(RX_RING_OFFSET + slot * DESCRIPTOR_SIZE, 0x00000040);
    rig.SetReg(RX_SW_INDEX, NEXT_RING_INDEX(slot));
    partner.InjectFrame(TestFrame(60));
    env.Advance(1 * kMillisecond);
    EXPECT_EQ(rig.Reg(RX_HW_INDEX), slot);
    EXPECT_EQ(rig.card.Counters().rxDroppedDmaError, 1u);
    EXPECT_EQ(rig.card.Anomalies().size(), 1u);
}

TEST_F(DataPathTest, EchoedFramesComeBackIntoTheReceiveRing) {
    partner.SetEcho(true);
    rig.PostRxBuffers(16);
    for (uint8_t i = 0; i < 10; ++i) rig.PushTx(TestFrame(64, i));
    env.Advance(1 * kSecond);
    ASSERT_EQ(rig.Reg(RX_HW_INDEX), 10);
    for (uint8_t i = 0; i < 10; ++i) EXPECT_EQ(rig.RxFrame(i), TestFrame(64, i));
}
