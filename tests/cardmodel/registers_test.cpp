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
    EXPECT_EQ(rig.Reg(ISR), INT_EVENT);
    EXPECT_FALSE(env.InterruptLevel());

    rig.SetReg(IMR, IMR_NORMAL);
    rig.SetReg(IMR, IMR_NORMAL);
    rig.card.RaiseCardEvent();
    EXPECT_TRUE(env.InterruptLevel());

    rig.SetReg(IMR, IMR_NONE);  // masked, still pending
    EXPECT_FALSE(env.InterruptLevel());
    rig.SetReg(IMR, INT_EVENT);
    EXPECT_TRUE(env.InterruptLevel());
    rig.SetReg(ISR, INT_TX_DONE);  // a bit that is not pending clears nothing
    EXPECT_EQ(rig.Reg(ISR), INT_EVENT);
    rig.SetReg(ISR, INT_EVENT);
    EXPECT_EQ(rig.Reg(ISR), 0);
    EXPECT_FALSE(env.InterruptLevel());
    ASSERT_EQ(env.InterruptChanges().size(), 4u);  // rise, fall, rise, fall
}

TEST_F(RegistersTest, IndexRegistersAreMaskedToTheRingAndTheOverflowIsFlagged) {
    rig.SetReg(RX_SW_INDEX, 127);
    EXPECT_EQ(rig.Reg(RX_SW_INDEX), 127);
    EXPECT_TRUE(rig.card.Anomalies().empty());
    rig.SetReg(RX_SW_INDEX, 0x85);
    EXPECT_EQ(rig.Reg(RX_SW_INDEX), 0x05);
    ASSERT_EQ(rig.card.Anomalies().size(), 1u);
    EXPECT_NE(rig.card.Anomalies()[0].find("masked"), std::string::npos);
    rig.SetReg(TX_HW_INDEX, 9);  // the card's own index: the driver only resets it
    EXPECT_EQ(rig.Reg(TX_HW_INDEX), 9);
    EXPECT_EQ(rig.card.Anomalies().size(), 2u);
}

TEST_F(RegistersTest, AccessLogHoldsEveryAccessInOrderAndCanBeSwitchedOff) {
    rig.SetReg(IMR, IMR_MAILBOX_ONLY);
    rig.Reg(ISR);
    rig.card.Write32(TX_RING_OFFSET + 3 * DESCRIPTOR_SIZE + DESCRIPTOR_CONTROL, 0x803C);
    rig.Mb(MB_STATUS);
    EXPECT_EQ(Describe(rig.card.AccessLog()),
              (std::vector<std::string>{"W IMR=0x20", "R ISR=0x00", "W32 TX[3].control=0x0000803C",
                                        "R MB+0x56=0x00"}));

    rig.card.ClearAccessLog();
    rig.card.SetAccessLogging(false);
    rig.SetReg(IMR, 0);
    EXPECT_TRUE(rig.card.AccessLog().empty());
}

TEST_F(RegistersTest, OddWidthsAndPlacesWorkButAreLoggedAsOdd) {
    rig.card.Write8(RX_RING_OFFSET + 1, 0xAB);  // a byte of a descriptor word
    EXPECT_EQ(rig.card.PeekRingWord(RX_RING_OFFSET), 0xAB00u);
    rig.SetReg(CR1, 0x0B);
    EXPECT_EQ(rig.card.Read32(REGISTERS_OFFSET) & 0xFF00, 0x0B00u);  // CR1 in the second lane
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

