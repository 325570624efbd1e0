// Configuration commands as the driver sends them, kept decoded; statistics
// answers and counter clears.
#include "tests/cardmodel/card_rig.h"

using namespace cardmodel;

class ConfigTest : public ::testing::Test {
protected:
    FakeEnvironment env;
    CardRig rig{env};

    void SetUp() override {
        rig.Restart();
        ASSERT_TRUE(rig.AwaitStage(STAGE_AWAITING_FIRMWARE));
        ASSERT_TRUE(rig.Download(MakeFirmwareImage(64)));
        ASSERT_TRUE(rig.AwaitStage(STAGE_FIRMWARE_RUNNING));
    }
};

TEST_F(ConfigTest, TheDriversDefaultSequenceIsKeptDecoded) {
    // Line code 2, rate 256 units (2048 kbit/s), remote, fixed rate, annex 1.
    LineSetup setup;
    setup.central = false;
    ASSERT_TRUE(rig.Configure(setup));
    TransceiverConfig config = rig.card.Config();
    EXPECT_EQ(config.central, false);
    EXPECT_EQ(config.lineOptions, 0x63);
    EXPECT_EQ(config.rateKbps, 2048u);
    EXPECT_EQ(config.lineCodeByte, 0x22);
    EXPECT_EQ(config.lineCode, 2);
    EXPECT_EQ(config.framing, 0x04);
    EXPECT_FALSE(config.RateAdaptive());
    EXPECT_EQ(config.annex, 1);
    EXPECT_EQ(config.lineCodeOffset, -16);
    EXPECT_EQ(config.mode, 0x21);
    EXPECT_TRUE(config.eventsEnabled);
    EXPECT_TRUE(config.started);
    EXPECT_TRUE(rig.card.Anomalies().empty());
}

TEST_F(ConfigTest, RateComesFromWholeAndPartialSteps) {
    struct Case {
        uint8_t n, r;
        uint32_t kbps;
    } cases[] = {{0x20, 4, 2080}, {0x5E, 0, 6016}, {0x01, 0, 64}, {0x03, 0, 192}};
    for (const Case& c : cases) {
        ASSERT_EQ(rig.Command(CMD_LINE_RATE, {c.n, 0, c.n, c.n, 1, c.r, 0, 1}), 1);
        EXPECT_EQ(rig.card.Config().rateKbps, c.kbps);
    }
}

TEST_F(ConfigTest, ValuesOutOfRangeAreRefusedAndLeaveTheOldOnes) {
    ASSERT_EQ(rig.Command(CMD_LINE_RATE, {0x20, 0, 0x20, 0x20, 1, 0, 0, 1}), 1);
    EXPECT_EQ(rig.Command(CMD_LINE_RATE, {0x20, 0, 0x21, 0x20, 1, 0, 0, 1}), RESULT_BAD_PARAMETER);
    EXPECT_EQ(rig.Command(CMD_LINE_RATE, {0x20, 0, 0x20, 0x20, 1, 8, 0, 1}), RESULT_BAD_PARAMETER);
    EXPECT_EQ(rig.Command(CMD_LINE_RATE, {0x60, 0, 0x60, 0x60, 1, 0, 0, 1}), RESULT_BAD_PARAMETER);
    EXPECT_EQ(rig.Command(CMD_LINE_RATE, {0, 0, 0, 0, 1, 0, 0, 1}), RESULT_BAD_PARAMETER);
    EXPECT_EQ(rig.card.Config().rateKbps, 2048u);
    EXPECT_EQ(rig.Command(CMD_TERMINAL_TYPE, {0x05}), RESULT_BAD_PARAMETER);
    EXPECT_EQ(rig.Command(CMD_FRAMING, {4, 0, 0, 0, 2, 1, 0, 1, 0xFF, 0, 0, 0}),
              RESULT_BAD_PARAMETER);
    EXPECT_EQ(rig.Command(CMD_COUNTERS, {0x01}), RESULT_BAD_PARAMETER);
    EXPECT_EQ(rig.Command(CMD_TERMINAL_TYPE, {0x01, 0x00}), RESULT_BAD_PARAMETER);  // 2 bytes
    EXPECT_FALSE(rig.card.Config().central.has_value());
}

TEST_F(ConfigTest, StartBeforeTheLineIsConfiguredIsOutOfTurn) {
    EXPECT_EQ(rig.Command(CMD_START_LINE, {START_LINE_START}), RESULT_WRONG_STATE);
    EXPECT_FALSE(rig.card.Config().started);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_LINE_STATUS), LINE_IDLE);
}

TEST_F(ConfigTest, StartedWithoutAFarEndTheLineSearchesAndIsDown) {
    ASSERT_TRUE(rig.Configure({}));
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_LINE_STATUS), LINE_SEARCHING);
    EXPECT_NE(rig.card.PeekMailbox(MAILBOX_LINE_STATUS) & LINE_ACTIVATION_MASK, LINE_DATA_MODE);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_LINE_AUX), AUX_NO_SIGNAL | AUX_FIRMWARE);
    EXPECT_EQ(rig.Command(CMD_READ_STATE), 1);
    EXPECT_EQ(rig.answer[0], STATE_SEARCHING);
    EXPECT_EQ(rig.Command(CMD_START_LINE, {START_LINE_STOP}), 1);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_LINE_STATUS), LINE_IDLE);
}

TEST_F(ConfigTest, StatisticsAnswersDescribeATrainedLine) {
    LoopbackOptions options;
    options.line.quality = LineQuality{22, 20, 7};
    LoopbackPartner partner(env, rig.card, options);
    ASSERT_TRUE(rig.Configure({}));
    ASSERT_TRUE(rig.AwaitLineUp());
    EXPECT_EQ(rig.Command(CMD_READ_STATE), 1);
    EXPECT_EQ(rig.answer[0], STATE_DATA_MODE);
    EXPECT_EQ(rig.Command(CMD_READ_MARGIN), 1);
    EXPECT_EQ(rig.answer[0], 7);
    EXPECT_EQ(rig.Command(CMD_READ_ATTENUATION), 1);
    EXPECT_EQ(rig.answer[0], 22);
    EXPECT_EQ(rig.answer[1], 20);
    EXPECT_EQ(rig.Command(CMD_READ_COUNTERS), 1);
    EXPECT_EQ(rig.answer[COUNTER_LINE_UPS], 1);
    EXPECT_EQ(rig.answer[COUNTER_UNAVAILABLE_SECONDS], 3);  // the training time
}

// A short answer after a long one: the answer bytes past its own are 0,
// never what the one before left.
TEST_F(ConfigTest, AShortAnswerZeroesWhatALongerOneBeforeItWrote) {
    LoopbackOptions options;
    options.line.quality = LineQuality{22, 20, 7};
    LoopbackPartner partner(env, rig.card, options);
    ASSERT_TRUE(rig.Configure({}));
    ASSERT_TRUE(rig.AwaitLineUp());
    ASSERT_EQ(rig.Command(CMD_READ_COUNTERS), 1);
    ASSERT_EQ(rig.answer[COUNTER_UNAVAILABLE_SECONDS], 3);
    ASSERT_EQ(rig.Command(CMD_READ_ATTENUATION), 1);
    for (unsigned i = 2; i < ANSWER_BYTES; ++i) EXPECT_EQ(rig.answer[i], 0) << i;
    ASSERT_EQ(rig.Command(CMD_READ_MARGIN), 1);
    EXPECT_EQ(rig.answer[0], 7);
    for (unsigned i = 1; i < ANSWER_BYTES; ++i) EXPECT_EQ(rig.answer[i], 0) << i;
    ASSERT_EQ(rig.Command(CMD_READ_COUNTERS), 1);
    ASSERT_EQ(rig.Command(CMD_LINE_OPTIONS, {0x01}), RESULT_SUCCESS);  // no data
    for (unsigned i = 0; i < ANSWER_BYTES; ++i) EXPECT_EQ(rig.answer[i], 0) << i;
}

TEST_F(ConfigTest, CounterClearsTakeTheirOwnHalf) {
    LoopbackPartner partner(env, rig.card);
    ASSERT_TRUE(rig.Configure({}));
    ASSERT_TRUE(rig.AwaitLineUp());
    rig.SetReg(REGISTER_CR0, CR0_CONTROLLER_RUN | CR0_RX_ENGINE);
    rig.PostRxBuffers(1);
    ASSERT_TRUE(partner.InjectFrame(TestFrame(60), true));  // damaged: a CRC anomaly
    ASSERT_TRUE(partner.InjectFrame(TestFrame(60)));
    ASSERT_TRUE(partner.InjectFrame(TestFrame(60)));        // no buffer left: overflow
    env.Advance(10 * kMillisecond);
    auto counters = rig.card.ErrorCounters();
    EXPECT_EQ(counters[COUNTER_CRC_ANOMALIES], 1);
    EXPECT_EQ(counters[COUNTER_ERRORED_SECONDS], 1);
    EXPECT_EQ(counters[COUNTER_RX_OVERFLOW], 1);

    ASSERT_EQ(rig.Command(CMD_COUNTERS, {COUNTERS_CLEAR_PERFORMANCE}), 1);
    counters = rig.card.ErrorCounters();
    EXPECT_EQ(counters[COUNTER_CRC_ANOMALIES], 0);
    EXPECT_EQ(counters[COUNTER_UNAVAILABLE_SECONDS], 0);
    EXPECT_EQ(counters[COUNTER_RX_OVERFLOW], 1);
    EXPECT_EQ(counters[COUNTER_LINE_UPS], 1);

    rig.PostRxBuffers(1);
    ASSERT_TRUE(partner.InjectFrame(TestFrame(60), true));
    env.Advance(10 * kMillisecond);
    ASSERT_EQ(rig.Command(CMD_COUNTERS, {COUNTERS_CLEAR_HISTORY}), 1);
    counters = rig.card.ErrorCounters();
    EXPECT_EQ(counters[COUNTER_CRC_ANOMALIES], 1);
    EXPECT_EQ(counters[COUNTER_RX_OVERFLOW], 0);
    EXPECT_EQ(counters[COUNTER_LINE_UPS], 0);
}
