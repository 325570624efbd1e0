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
    EXPECT_EQ(rig.Reg(REGISTER_TX_HW_INDEX), 0);
    EXPECT_EQ(rig.card.PeekRegister(REGISTER_ISR) & ISR_TX_DONE, 0);
    env.Advance(1);
    EXPECT_EQ(rig.Reg(REGISTER_TX_HW_INDEX), 1);
    EXPECT_EQ(rig.card.PeekRegister(REGISTER_ISR) & ISR_TX_DONE, ISR_TX_DONE);
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
    EXPECT_EQ(rig.Reg(REGISTER_TX_HW_INDEX), 300 % 128);
    EXPECT_EQ(partner.SentFrames(), frames);
    EXPECT_TRUE(rig.card.Anomalies().empty());
}

// On a real clock each frame's end-of-frame timer fires late. The line keeps
// its own time: frames queued behind one another leave at the line rate, the
// lateness paid once and not once per frame; a frame handed over after the
// line fell idle starts when it is handed over. No frame ends before its time.
TEST_F(DataPathTest, LateTimersCostTheLineNothingOnFramesQueuedBackToBack) {
    constexpr int64_t kLate = 70 * kMicrosecond;
    env.SetTimerLateness(kLate);
    for (int i = 0; i < 20; ++i) rig.PushTx(TestFrame(1514, static_cast<uint8_t>(i)));
    int64_t start = env.Now();
    ASSERT_TRUE(env.RunUntil([&] { return rig.Reg(REGISTER_TX_HW_INDEX) == 20; }, kSecond));
    int64_t took = env.Now() - start;
    EXPECT_GE(took, 20 * kFullFrameTime);
    EXPECT_LE(took, 20 * kFullFrameTime + kLate);

    env.Advance(kSecond);  // the line falls idle
    rig.PushTx(TestFrame(1514, 20));
    start = env.Now();
    ASSERT_TRUE(env.RunUntil([&] { return rig.Reg(REGISTER_TX_HW_INDEX) == 21; }, kSecond));
    EXPECT_EQ(env.Now() - start, kFullFrameTime + kLate);
    env.Advance(10 * kMicrosecond + kLate);  // propagation, late as well
    EXPECT_EQ(partner.SentCount(), 21u);
}

TEST_F(DataPathTest, DisablingMidFrameAbandonsItAndItGoesAgainFromItsDescriptor) {
    rig.PushTx(TestFrame(1514));
    env.Advance(kFullFrameTime / 2);
    rig.SetReg(REGISTER_CR0, rig.Reg(REGISTER_CR0) & ~CR0_TX_ENGINE);
    env.Advance(1 * kSecond);
    EXPECT_EQ(partner.SentCount(), 0u);
    rig.SetReg(REGISTER_CR0, rig.Reg(REGISTER_CR0) | CR0_TX_ENGINE);
    env.Advance(1 * kSecond);
    EXPECT_EQ(partner.SentCount(), 1u);
}

// The card reads the slot as it sends: a driver that rewrites a slot the card
// still owns sends the rewritten bytes, and is told so.
TEST_F(DataPathTest, SlotRewrittenWhileTheCardSendsItIsAnAnomalyAndGoesOutAsRewritten) {
    std::vector<uint8_t> frame = TestFrame(1514);
    rig.PushTx(frame);
    uint32_t address = rig.card.PeekRingWord(WINDOW_TX_RING + DESC_WORD_ADDRESS);
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
    uint32_t good = env.Allocate(kBufferBytes);
    struct Case {
        uint32_t address, control;
    } cases[] = {{good, 60},                     // no valid bit
                 {good, TXD_VALID},              // length 0
                 {good, TXD_VALID | 1515},       // too long
                 {0x00000100, TXD_VALID | 60}};  // nobody's memory
    for (const Case& c : cases) {
        unsigned slot = rig.Reg(REGISTER_TX_SW_INDEX);
        rig.WriteTxDescriptor(slot, c.address, c.control);
        rig.SetReg(REGISTER_TX_SW_INDEX, NextSlot(slot));
        EXPECT_EQ(rig.Reg(REGISTER_ISR) & (ISR_TX_ERROR | ISR_TX_DONE), ISR_TX_ERROR | ISR_TX_DONE);
        EXPECT_EQ(rig.Reg(REGISTER_CR0) & CR0_TX_ENGINE, 0);
        EXPECT_EQ(rig.Reg(REGISTER_TX_HW_INDEX), NextSlot(slot));
        rig.SetReg(REGISTER_ISR, kAcknowledgeAll);
        rig.SetReg(REGISTER_CR0, rig.Reg(REGISTER_CR0) | CR0_TX_ENGINE);  // as the driver does
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
    rig.SetReg(REGISTER_CR0, rig.Reg(REGISTER_CR0) | CR0_TX_ENGINE);
    rig.PushTx(TestFrame(60, 2));
    env.Advance(1 * kSecond);
    ASSERT_EQ(partner.SentCount(), 1u);
    EXPECT_EQ(partner.SentFrames()[0], TestFrame(60, 2));
    EXPECT_TRUE(rig.card.Anomalies().empty());  // not the driver's fault
}

TEST_F(DataPathTest, HeldOrDownLineDiscardsFramesAtLineRateButCompletesThem) {
    rig.SetReg(REGISTER_CR1, rig.Reg(REGISTER_CR1) | CR1_FRAME_HOLD);
    rig.PushTx(TestFrame(1514));
    env.Advance(kFullFrameTime);
    EXPECT_EQ(rig.Reg(REGISTER_TX_HW_INDEX), 1);
    EXPECT_EQ(rig.card.Counters().txDiscardedHeld, 1u);

    rig.SetReg(REGISTER_CR1, 0);
    partner.Cut();
    env.Advance(1 * kMillisecond);
    rig.PushTx(TestFrame(1514));
    env.Advance(kFullFrameTime);
    EXPECT_EQ(rig.Reg(REGISTER_TX_HW_INDEX), 2);
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
    EXPECT_EQ(rig.Reg(REGISTER_RX_HW_INDEX), 1);
    EXPECT_EQ(rig.RxStatus(0) & RXD_LENGTH_MASK, 100u);
    EXPECT_EQ(rig.RxFrame(0), frame);
    EXPECT_EQ(rig.Reg(REGISTER_ISR) & ISR_RX_DONE, ISR_RX_DONE);
}

TEST_F(DataPathTest, InjectedFramesArriveAtTheLineRateOneBehindTheOther) {
    rig.PostRxBuffers(2);
    partner.InjectFrame(TestFrame(1514, 1));
    partner.InjectFrame(TestFrame(1514, 2));
    env.Advance(kFullFrameTime + 10 * kMicrosecond - 1);
    EXPECT_EQ(rig.Reg(REGISTER_RX_HW_INDEX), 0);
    env.Advance(1);
    EXPECT_EQ(rig.Reg(REGISTER_RX_HW_INDEX), 1);
    env.Advance(kFullFrameTime);
    EXPECT_EQ(rig.Reg(REGISTER_RX_HW_INDEX), 2);
}

TEST_F(DataPathTest, WithoutABufferTheFrameIsDroppedAndTheCardEventRaised) {
    rig.PostRxBuffers(1);
    partner.InjectFrame(TestFrame(60, 1));
    partner.InjectFrame(TestFrame(60, 2));
    env.Advance(1 * kMillisecond);
    EXPECT_EQ(rig.Reg(REGISTER_RX_HW_INDEX), 1);  // never past RX_SW_INDEX
    EXPECT_EQ(rig.card.Counters().rxDroppedNoBuffer, 1u);
    EXPECT_EQ(rig.Reg(REGISTER_ISR) & ISR_CARD_EVENT, ISR_CARD_EVENT);
}

TEST_F(DataPathTest, ReceiverOffOrLineHeldDropsFrames) {
    rig.PostRxBuffers(4);
    rig.SetReg(REGISTER_CR0, rig.Reg(REGISTER_CR0) & ~CR0_RX_ENGINE);
    partner.InjectFrame(TestFrame(60));
    env.Advance(1 * kMillisecond);
    rig.SetReg(REGISTER_CR0, rig.Reg(REGISTER_CR0) | CR0_RX_ENGINE);
    rig.SetReg(REGISTER_CR1, CR1_FRAME_HOLD);
    partner.InjectFrame(TestFrame(60));
    env.Advance(1 * kMillisecond);
    EXPECT_EQ(rig.Reg(REGISTER_RX_HW_INDEX), 0);
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
    EXPECT_EQ(rig.Reg(REGISTER_RX_HW_INDEX), 0);
    EXPECT_EQ(rig.Reg(REGISTER_ISR) & ISR_RX_ERROR, ISR_RX_ERROR);
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
    EXPECT_EQ(rig.RxStatus(0) & RXD_LENGTH_MASK, 2000u);
    EXPECT_EQ(rig.RxStatus(1) & RXD_LENGTH_MASK, 60u);
}

TEST_F(DataPathTest, UnreachableReceiveBufferKeepsItsSlotAndIsFlagged) {
    unsigned slot = rig.Reg(REGISTER_RX_SW_INDEX);
    rig.card.Write32(WINDOW_RX_RING + slot * DESC_BYTES, 0x00000040);
    rig.SetReg(REGISTER_RX_SW_INDEX, NextSlot(slot));
    partner.InjectFrame(TestFrame(60));
    env.Advance(1 * kMillisecond);
    EXPECT_EQ(rig.Reg(REGISTER_RX_HW_INDEX), slot);
    EXPECT_EQ(rig.card.Counters().rxDroppedDmaError, 1u);
    EXPECT_EQ(rig.card.Anomalies().size(), 1u);
}

TEST_F(DataPathTest, EchoedFramesComeBackIntoTheReceiveRing) {
    partner.SetEcho(true);
    rig.PostRxBuffers(16);
    for (uint8_t i = 0; i < 10; ++i) rig.PushTx(TestFrame(64, i));
    env.Advance(1 * kSecond);
    ASSERT_EQ(rig.Reg(REGISTER_RX_HW_INDEX), 10);
    for (uint8_t i = 0; i < 10; ++i) EXPECT_EQ(rig.RxFrame(i), TestFrame(64, i));
}
