// The adapter comes up on a line, passes frames both ways and halts clean.
#include "tests/support/machine_test.h"

using testbed::MakeFrame;

class SmokeTest : public DriverTest {};

TEST_F(SmokeTest, BringsUpPassesFramesAndHaltsClean) {
    testbed::Unit& unit = StartedAdapter();
    auto& partner = *unit.loopback;

    unit.nic->Send({MakeFrame(100, 1), MakeFrame(42, 2)});
    Advance(100 * host::kMillisecond);
    ASSERT_EQ(unit.nic->Completions().size(), 2u);
    EXPECT_EQ(unit.nic->Completions()[0].status, NDIS_STATUS_SUCCESS);
    auto sent = partner.TakeSentFrames();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], MakeFrame(100, 1));
    EXPECT_EQ(sent[1].size(), 60u);

    ASSERT_TRUE(partner.InjectFrame(MakeFrame(200, 3)));
    Advance(100 * host::kMillisecond);
    ASSERT_EQ(unit.nic->Received().size(), 1u);
    EXPECT_EQ(unit.nic->Received()[0].bytes, MakeFrame(200, 3));

    unit.nic->Halt();
    EXPECT_FALSE(unit.nic->Running());
}
