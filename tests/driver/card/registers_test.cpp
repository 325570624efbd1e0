// The register operations other areas build on, and the shutdown handler
// that silences the card with nothing but register writes.
#include "tests/driver/card/card_test.h"

#include "entry/miniport.h"

class RegistersTest : public CardTest {};

TEST_F(RegistersTest, TransferAndLineOperationsChangeOnlyTheirOwnBits) {
    ZR48_WHITE_BOX();
    // All three framing options and both burst options: every bit the
    // operations must keep is set around the ones they change.
    testbed::Unit& unit = Lone({{"CRC", 1}, {"FillByte", 1}, {"DataPolarity", 1}});
    cardmodel::Card& card = unit.Card();
    Adapter* adapter = AdapterOf(unit);
    ASSERT_EQ(card.PeekRegister(cardmodel::REGISTER_CR0), 0xF3);
    ASSERT_EQ(card.PeekRegister(cardmodel::REGISTER_CR1), 0x0B);
    auto run = [&](VOID (*operation)(Adapter*)) { UnderLock(adapter, [&] { operation(adapter); }); };

    run(DisableTransfers);
    EXPECT_EQ(card.PeekRegister(cardmodel::REGISTER_CR0), 0xF0);
    EXPECT_EQ(card.PeekRegister(cardmodel::REGISTER_CR1), 0x0B);
    run(EnableTransfers);
    EXPECT_EQ(card.PeekRegister(cardmodel::REGISTER_CR0), 0xF3);
    run(ReleaseLine);
    run(ReleaseLine);
    EXPECT_EQ(card.PeekRegister(cardmodel::REGISTER_CR1), 0x03);
    run(HoldLine);
    run(HoldLine);
    EXPECT_EQ(card.PeekRegister(cardmodel::REGISTER_CR1), 0x0B);
    EXPECT_TRUE(card.Anomalies().empty()) << ::testing::PrintToString(card.Anomalies());
}

TEST_F(RegistersTest, ShutdownSilencesTheCardAndDropsTheBurstOptions) {
    testbed::Unit& unit = StartedAdapter();
    unit.Card().ClearAccessLog();
    ASSERT_TRUE(unit.nic->Shutdown(DISPATCH_LEVEL));
    EXPECT_EQ(Log(unit.Card()), (Lines{"W IMR=0x00", "W CR1=0x08", "W CR0=0x00", "W ISR=0xFF"}));
    EXPECT_EQ(unit.Card().PeekRegister(cardmodel::REGISTER_CR1), 0x08);
    EXPECT_FALSE(unit.Card().InterruptAsserted());
}

// Shutdown may come before the window is mapped: then it leaves the card alone.
TEST_F(RegistersTest, ShutdownBeforeTheWindowIsMappedTouchesNothing) {
    testbed::Unit& unit = Add();
    Adapter adapter;
    AdapterConstruct(&adapter);
    host::RunAtIrql(DISPATCH_LEVEL, "MiniportShutdown", [&] { MiniportShutdown(&adapter); });
    AdapterDestroy(&adapter);
    EXPECT_TRUE(unit.Card().AccessLog().empty());
}
