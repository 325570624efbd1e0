// The window: register semantics, the interrupt line, the access log, and a
// driver that touches what it should not.
#include "tests/cardmodel/card_rig.h"

using namespace cardmodel;

class RegistersTest : public ::testing::Test {
protected:
    FakeEnvironment env;
    CardRig rig{env};
};

TEST_F(RegistersTest, InterruptLineFollowsIsrAndImrAndChangesOnlyOnEdges) {
    rig.card.RaiseCardEvent();  // ISR 0x08, masked
    EXPECT_EQ(rig.Reg(REGISTER_ISR), ISR_CARD_EVENT);
    EXPECT_FALSE(env.InterruptLevel());

    rig.SetReg(REGISTER_IMR, kImrNormal);
    rig.SetReg(REGISTER_IMR, kImrNormal);
    rig.card.RaiseCardEvent();
    EXPECT_TRUE(env.InterruptLevel());

    rig.SetReg(REGISTER_IMR, 0);  // masked, still pending
    EXPECT_FALSE(env.InterruptLevel());
    rig.SetReg(REGISTER_IMR, ISR_CARD_EVENT);
    EXPECT_TRUE(env.InterruptLevel());
    rig.SetReg(REGISTER_ISR, ISR_TX_DONE);  // a bit that is not pending clears nothing
    EXPECT_EQ(rig.Reg(REGISTER_ISR), ISR_CARD_EVENT);
    rig.SetReg(REGISTER_ISR, ISR_CARD_EVENT);
    EXPECT_EQ(rig.Reg(REGISTER_ISR), 0);
    EXPECT_FALSE(env.InterruptLevel());
    ASSERT_EQ(env.InterruptChanges().size(), 4u);  // rise, fall, rise, fall
}

TEST_F(RegistersTest, IndexRegistersAreMaskedToTheRingAndTheOverflowIsFlagged) {
    rig.SetReg(REGISTER_RX_SW_INDEX, 127);
    EXPECT_EQ(rig.Reg(REGISTER_RX_SW_INDEX), 127);
    EXPECT_TRUE(rig.card.Anomalies().empty());
    rig.SetReg(REGISTER_RX_SW_INDEX, 0x85);
    EXPECT_EQ(rig.Reg(REGISTER_RX_SW_INDEX), 0x05);
    ASSERT_EQ(rig.card.Anomalies().size(), 1u);
    EXPECT_NE(rig.card.Anomalies()[0].find("masked"), std::string::npos);
    rig.SetReg(REGISTER_TX_HW_INDEX, 9);  // the card's own index: the driver only resets it
    EXPECT_EQ(rig.Reg(REGISTER_TX_HW_INDEX), 9);
    EXPECT_EQ(rig.card.Anomalies().size(), 2u);
}

TEST_F(RegistersTest, AccessLogHoldsEveryAccessInOrderAndCanBeSwitchedOff) {
    rig.SetReg(REGISTER_IMR, ISR_MAILBOX);
    rig.Reg(REGISTER_ISR);
    rig.card.Write32(WINDOW_TX_RING + 3 * DESC_BYTES + DESC_WORD_CONTROL, 0x803C);
    rig.Mb(MAILBOX_STATUS);
    EXPECT_EQ(Describe(rig.card.AccessLog()),
              (std::vector<std::string>{"W IMR=0x20", "R ISR=0x00", "W32 TX[3].control=0x0000803C",
                                        "R MB+0x56=0x00"}));

    rig.card.ClearAccessLog();
    rig.card.SetAccessLogging(false);
    rig.SetReg(REGISTER_IMR, 0);
    EXPECT_TRUE(rig.card.AccessLog().empty());
}

TEST_F(RegistersTest, OddWidthsAndPlacesWorkButAreLoggedAsOdd) {
    rig.card.Write8(WINDOW_RX_RING + 1, 0xAB);  // a byte of a descriptor word
    EXPECT_EQ(rig.card.PeekRingWord(WINDOW_RX_RING), 0xAB00u);
    rig.SetReg(REGISTER_CR1, 0x0B);
    EXPECT_EQ(rig.card.Read32(WINDOW_REGISTERS) & 0xFF00, 0x0B00u);  // CR1 in the second lane
    EXPECT_EQ(rig.card.Read8(0x900), 0);                             // unused window space
    EXPECT_EQ(rig.card.Read8(0x1000), 0xFF);                         // beyond the window
    rig.card.Write8(0x2000, 1);

    std::vector<Access> log = rig.card.AccessLog();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_TRUE(log[0].odd);
    EXPECT_FALSE(log[1].odd);
    EXPECT_TRUE(log[2].odd);
    EXPECT_EQ(rig.card.Anomalies().size(), 5u);
}

