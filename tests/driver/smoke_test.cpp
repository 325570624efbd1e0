// The adapter comes up on a line, passes frames both ways and halts clean.
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "host/image.h"
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

// The image that ships (build/win-x86_64/zr48.sys; the build passes its
// path) binds every import and registers, from its own DriverEntry, a handler
// for each role the driver linked in registers one for, and none for the
// others; each is a function of the image, entered at its start.
TEST(ShippedImage, RegistersTheSameHandlersAsTheDriverLinkedIn) {
    std::string path = ZR48_SHIPPED_IMAGE;
    if (path.empty() || access(path.c_str(), R_OK) != 0) {
        GTEST_SKIP() << "no driver image at '" << path << "' (make windows)";
    }
    std::string error;
    auto image = host::LoadDriverImage(path, &error);
    ASSERT_TRUE(image) << error;
    EXPECT_GT(image->Imports(), 0u);

    NDIS50_MINIPORT_CHARACTERISTICS linked, loaded;
    {
        testbed::Machine machine(nullptr);
        linked = machine.Driver().Characteristics();
    }
    {
        testbed::Machine machine(image);
        loaded = machine.Driver().Characteristics();
    }
    EXPECT_EQ(loaded.Ndis40Chars.Ndis30Chars.MajorNdisVersion,
              linked.Ndis40Chars.Ndis30Chars.MajorNdisVersion);
    EXPECT_EQ(loaded.Ndis40Chars.Ndis30Chars.MinorNdisVersion,
              linked.Ndis40Chars.Ndis30Chars.MinorNdisVersion);

    // The table read as pointers, role by role (every member after the two
    // version bytes and the reserved word is a handler).
    constexpr size_t first = offsetof(NDIS30_MINIPORT_CHARACTERISTICS, CheckForHangHandler);
    constexpr size_t roles = (sizeof(NDIS50_MINIPORT_CHARACTERISTICS) - first) / sizeof(void*);
    const char* names[roles] = {
        "CheckForHang", "DisableInterrupt", "EnableInterrupt", "Halt", "HandleInterrupt",
        "Initialize", "ISR", "QueryInformation", "Reconfigure", "Reset", "Send",
        "SetInformation", "TransferData", "ReturnPacket", "SendPackets", "AllocateComplete",
        "CoCreateVc", "CoDeleteVc", "CoActivateVc", "CoDeactivateVc", "CoSendPackets",
        "CoRequest"};
    static_assert(roles == 22, "a role without a name");
    size_t registered = 0;
    for (size_t i = 0; i < roles; ++i) {
        uintptr_t a, b;
        memcpy(&a, reinterpret_cast<const char*>(&linked) + first + i * sizeof(void*), sizeof a);
        memcpy(&b, reinterpret_cast<const char*>(&loaded) + first + i * sizeof(void*), sizeof b);
        EXPECT_EQ(a != 0, b != 0) << names[i] << "Handler";
        if (!b) continue;
        ++registered;
        EXPECT_TRUE(image->Contains(b)) << names[i] << "Handler lies outside the image";
        std::string where = image->Describe(b);
        EXPECT_NE(where.find("+0x0)"), std::string::npos)
            << names[i] << "Handler is not the start of a function: " << where;
    }
    EXPECT_GE(registered, 10u);
}
