// The transceiver controller behind the mailbox: boot, frame checks, answer
// timing, the posting queue, events, and the fault knobs.
#include "tests/cardmodel/card_rig.h"

using namespace cardmodel;

class MailboxTest : public ::testing::Test {
protected:
    FakeEnvironment env;
    CardRig rig{env};

    // Restarted and past the 0x0D stage.
    void Boot() {
        rig.Restart();
        ASSERT_TRUE(rig.AwaitStage(STAGE_AWAITING_FIRMWARE));
    }
    // Firmware running.
    void Run() {
        Boot();
        ASSERT_TRUE(rig.Download(MakeFirmwareImage(100)));
        ASSERT_TRUE(rig.AwaitStage(STAGE_FIRMWARE_RUNNING));
    }
};

TEST_F(MailboxTest, RunBitRisingEdgeBootsAndPostsStage0DAsAnAnswer) {
    rig.Restart();
    env.Advance(20 * kMillisecond - 1);
    EXPECT_NE(rig.card.PeekMailbox(MAILBOX_POSTED_FLAG), FLAG_POSTED);
    EXPECT_EQ(rig.card.Controller(), ControllerState::Booting);

    env.Advance(1);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_POSTED_FLAG), FLAG_POSTED);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_STATUS), STAGE_AWAITING_FIRMWARE);  // bit 7 clear
    EXPECT_EQ(rig.Reg(REGISTER_ISR), ISR_MAILBOX);
    EXPECT_TRUE(env.InterruptLevel());  // IMR 0x20 from the restart
    EXPECT_EQ(rig.card.Controller(), ControllerState::AwaitingFirmware);
}

TEST_F(MailboxTest, RunBitClearHoldsTheControllerInResetAndDoorbellsGoUnanswered) {
    Run();
    rig.SetReg(REGISTER_CR0, 0);
    EXPECT_EQ(rig.card.Controller(), ControllerState::Off);
    EXPECT_EQ(rig.Command(CMD_READ_STATE), 0);  // nothing within 3 s
    ASSERT_FALSE(rig.card.Commands().empty());
    EXPECT_EQ(rig.card.Commands().back().fate, CommandFate::Ignored);
}

TEST_F(MailboxTest, AnswerComesAfterTheProcessingTimeWithDataAndMailboxInterrupt) {
    Run();
    rig.PostRequest(CMD_READ_STATE, {});
    env.Advance(200 * kMicrosecond - 1);
    EXPECT_NE(rig.card.PeekMailbox(MAILBOX_POSTED_FLAG), FLAG_POSTED);
    env.Advance(1);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_POSTED_FLAG), FLAG_POSTED);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_STATUS), RESULT_SUCCESS);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_ANSWER), STATE_IDLE);
    EXPECT_EQ(rig.card.PeekRegister(REGISTER_ISR) & ISR_MAILBOX, ISR_MAILBOX);
}

// Each case spoils one byte of a good frame after it is written.
TEST_F(MailboxTest, MalformedFramesAreRefusedAsBadFrames) {
    Run();
    struct Case {
        unsigned offset;
        uint8_t value;
    } cases[] = {{MAILBOX_START, 0xF1}, {MAILBOX_RESERVED, 1}, {MAILBOX_HEADER_CHECK, 0x00},
                 {MAILBOX_PAYLOAD_CHECK, 0x00}, {MAILBOX_LENGTH, 75}};
    for (const Case& c : cases) {
        rig.WriteRequest(CMD_TERMINAL_TYPE, {0x01});
        rig.SetMb(c.offset, c.value);
        if (c.offset == MAILBOX_LENGTH) {
            rig.SetMb(MAILBOX_HEADER_CHECK, CMD_TERMINAL_TYPE ^ 75 ^ HEADER_CHECK_XOR);
        }
        rig.SetMb(MAILBOX_DOORBELL, DOORBELL_RING);
        std::optional<Posting> answer = rig.TakePosting();
        ASSERT_TRUE(answer) << "offset " << c.offset;
        EXPECT_EQ(answer->status, RESULT_BAD_FRAME) << "offset " << c.offset;
    }
    EXPECT_FALSE(rig.card.Config().central.has_value());  // none of them took effect
}

TEST_F(MailboxTest, UnknownCommandsAndCommandsOutOfTurnAreRefused) {
    Boot();
    EXPECT_EQ(rig.Command(0x77), RESULT_UNKNOWN_COMMAND);
    EXPECT_EQ(rig.Command(CMD_TERMINAL_TYPE, {0x01}), RESULT_WRONG_STATE);  // no firmware yet
    EXPECT_EQ(rig.Command(CMD_DOWNLOAD_DATA, {1, 2, 3}), RESULT_WRONG_STATE);  // no 0x53 first
    EXPECT_EQ(rig.Command(CMD_DOWNLOAD_START, {1, 2}), RESULT_BAD_PARAMETER);  // 2 bytes, not 4
    EXPECT_FALSE(rig.card.Anomalies().empty());
}

TEST_F(MailboxTest, PostingsQueueBehindOneTheDriverHasNotTaken) {
    Run();
    rig.PostRequest(CMD_READ_STATE, {});
    env.Advance(1 * kMillisecond);
    rig.card.PostEvent(0x01, EVENT_TEST);  // queued behind the untaken answer
    env.Advance(1 * kSecond);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_STATUS), RESULT_SUCCESS);

    rig.SetMb(MAILBOX_POSTED_FLAG, 0);
    env.Advance(100 * kMicrosecond - 1);  // time for the driver to read the status
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_STATUS), RESULT_SUCCESS);
    rig.SetMb(MAILBOX_STATUS, 0);
    env.Advance(1);  // the controller's next poll of the flag
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_POSTED_FLAG), FLAG_POSTED);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_STATUS), STATUS_EVENT | EVENT_TEST);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_EVENT_FLAGS), 0x01);
}

TEST_F(MailboxTest, NothingIsPostedWithinAPollIntervalOfATakenPosting) {
    Run();  // stage 0x0E taken just now
    rig.card.PostEvent(0x01);
    env.Advance(100 * kMicrosecond - 1);
    EXPECT_NE(rig.card.PeekMailbox(MAILBOX_POSTED_FLAG), FLAG_POSTED);
    env.Advance(1);
    EXPECT_EQ(rig.card.PeekMailbox(MAILBOX_POSTED_FLAG), FLAG_POSTED);
}

TEST_F(MailboxTest, AnEventDuringACommandDoesNotHideTheAnswer) {
    Run();
    rig.PostRequest(CMD_READ_STATE, {});
    rig.card.PostEvent(EVENT_FLAG_LINE_CHECK);
    std::optional<Posting> first = rig.TakePosting();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->IsEvent());
    EXPECT_EQ(first->flags, EVENT_FLAG_LINE_CHECK);
    std::optional<Posting> second = rig.TakePosting();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, RESULT_SUCCESS);
}

TEST_F(MailboxTest, WithheldAnswerStillTakesEffect) {
    Run();
    rig.card.WithholdAnswer(CMD_TERMINAL_TYPE);
    EXPECT_EQ(rig.Command(CMD_TERMINAL_TYPE, {0x09}), 0);
    EXPECT_EQ(rig.card.Config().central, false);
    EXPECT_EQ(rig.card.Commands().back().fate, CommandFate::Withheld);
    EXPECT_EQ(rig.Command(CMD_TERMINAL_TYPE, {0x01}), RESULT_SUCCESS);  // once only
}

TEST_F(MailboxTest, LateAnswerComesAfterTheExtraDelay) {
    Run();
    rig.card.DelayAnswer(4 * kSecond);
    rig.PostRequest(CMD_READ_STATE, {});
    EXPECT_FALSE(rig.TakePosting(4 * kSecond));
    EXPECT_TRUE(rig.TakePosting(1 * kMillisecond));
}

TEST_F(MailboxTest, FailedAnswerRefusesTheCommandOnceOrAlways) {
    Run();
    rig.card.FailAnswer(RESULT_BAD_PARAMETER, CMD_LINE_OPTIONS);
    EXPECT_EQ(rig.Command(CMD_TERMINAL_TYPE, {0x01}), RESULT_SUCCESS);  // other codes pass
    EXPECT_EQ(rig.Command(CMD_LINE_OPTIONS, {0x63}), RESULT_BAD_PARAMETER);
    EXPECT_FALSE(rig.card.Config().lineOptions.has_value());
    EXPECT_EQ(rig.Command(CMD_LINE_OPTIONS, {0x63}), RESULT_SUCCESS);

    rig.card.FailAnswer(0x1F, CMD_READ_STATE, true);
    EXPECT_EQ(rig.Command(CMD_READ_STATE), 0x1F);
    EXPECT_EQ(rig.Command(CMD_READ_STATE), 0x1F);
    rig.card.ClearAnswerFaults();
    EXPECT_EQ(rig.Command(CMD_READ_STATE), RESULT_SUCCESS);
}

TEST_F(MailboxTest, SuppressedStageCodeNeverComesButTheStageIsReached) {
    rig.card.SuppressStage(STAGE_AWAITING_FIRMWARE);
    rig.Restart();
    EXPECT_FALSE(rig.TakePosting(10 * kSecond));
    EXPECT_EQ(rig.card.Controller(), ControllerState::AwaitingFirmware);
    EXPECT_TRUE(rig.Download(MakeFirmwareImage(10)));
}

TEST_F(MailboxTest, RestartedControllerForgetsAnUntakenPosting) {
    Run();
    rig.card.PostEvent(EVENT_FLAG_LINE_CHECK);  // never taken
    rig.SetReg(REGISTER_CR0, 0);
    rig.SetReg(REGISTER_CR0, CR0_CONTROLLER_RUN);
    env.Advance(20 * kMillisecond);
    EXPECT_TRUE(rig.AwaitStage(STAGE_AWAITING_FIRMWARE));
}

TEST_F(MailboxTest, RestartAbandonsTheCommandInProgress) {
    Run();
    rig.PostRequest(CMD_READ_STATE, {});
    rig.SetReg(REGISTER_CR0, 0);
    rig.SetReg(REGISTER_CR0, CR0_CONTROLLER_RUN);
    ASSERT_TRUE(rig.AwaitStage(STAGE_AWAITING_FIRMWARE));  // not the old answer
    EXPECT_EQ(rig.card.Commands().back().fate, CommandFate::Abandoned);
}

TEST_F(MailboxTest, PerformanceReportsAreEventsWithoutTheLineCheckFlag) {
    Run();
    EXPECT_EQ(rig.Command(CMD_EVENTS, {EVENTS_LINE}), RESULT_SUCCESS);
    EXPECT_FALSE(rig.TakePosting(10 * kSecond));  // off by default
    rig.card.SetPerformanceReports(1 * kSecond);
    std::optional<Posting> report = rig.TakePosting(1 * kSecond);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->status, STATUS_EVENT | EVENT_PERFORMANCE);
    EXPECT_EQ(report->flags & EVENT_FLAG_LINE_CHECK, 0);
}
