// The register operations other areas build on, and the shutdown handler
// that silences the card with nothing but register writes.
#include "tests/driver/card/card_test.h"

#include "entry/miniport.h"

class RegistersTest : public CardTest {};

TEST_F(RegistersTest, ChangeOnlyTheirOwnBitsWithOneReadAndOneWrite) {
    // All three framing options: the run bit and the options fill CR0's top.
    testbed::Unit& unit = Lone({{"CRC", 1}, {"FillByte", 1}, {"DataPolarity", 1}});
    cardmodel::Card& card = unit.Card();
    ASSERT_EQ(card.PeekRegister(cardmodel::REGISTER_CR0), 0xF3);
    ASSERT_EQ(card.PeekRegister(cardmodel::REGISTER_CR1), 0x0B);
    struct Step {
        VOID (*operation)(Adapter*);
        Lines accesses;
    } steps[] = {
        {ReleaseLine, {"R CR1=0x0B", "W CR1=0x03"}},
        {ReleaseLine, {"R CR1=0x03", "W CR1=0x03"}},
        {DisableTransfers, {"R CR0=0xF3", "W CR0=0xF0", "R CR1=0x03", "W CR1=0x0B"}},
        {HoldLine, {"R CR1=0x0B", "W CR1=0x0B"}},
        {EnableTransfers, {"W RX_SW_INDEX=0x00", "W RX_HW_INDEX=0x00", "W TX_SW_INDEX=0x00",
                           "W TX_HW_INDEX=0x00", "R CR0=0xF0", "W CR0=0xF3"}},
    };
    for (const Step& s : steps) {
        card.ClearAccessLog();
        UnderLock(AdapterOf(unit), [&] { s.operation(AdapterOf(unit)); });
        EXPECT_EQ(Log(card), s.accesses);
    }
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
