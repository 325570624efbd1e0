// Why an adapter did not come up, or a line does not train, as the simulator
// explains it from the driver's error log and the cards' own records.
#include <unistd.h>

#include "cardmodel/firmware.h"
#include "sim/tests/sim_fixture.h"

namespace {

std::string WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = ::testing::TempDir() + "zr48_" + name + "_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

class ReasonsTest : public SimulatorTest {
protected:
    // Brings the default pair up with b's firmware image from `image`:
    // b's initialization fails; the error StartAdapters gave.
    std::string FailWith(const std::string& name, const std::vector<uint8_t>& image) {
        std::string path = WriteImage(name, image);
        zr48sim::SimConfig config = zr48sim::DefaultConfig();
        config.adapters[1].firmwarePath = path;
        Build(config);
        std::string error;
        EXPECT_FALSE(sim->StartAdapters(&error));
        std::remove(path.c_str());
        return error;
    }
    // Brings up adapters configured by `text` and lets them try to train.
    void Train(const std::string& text) {
        Build(Config(text));
        std::string error;
        ASSERT_TRUE(sim->StartAdapters(&error)) << error;
        host::Advance(2 * host::kSecond);
    }
};

}  // namespace

// Each way an image can be wrong says so, where before only
// "MiniportInitialize failed: 0xC0000001" was shown.
TEST_F(ReasonsTest, AFailedInitializationSaysWhy) {
    std::vector<uint8_t> good = cardmodel::MakeFirmwareImage();
    std::vector<uint8_t> truncated(good.begin(), good.end() - 100);
    std::vector<uint8_t> corrupt = good;
    corrupt[200] ^= 0x5A;
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        std::string reason;
    } cases[] = {
        {"truncated", truncated,
         "the transceiver refused the image (8108 bytes): not a firmware image of ours: body "
         "length disagrees with size"},
        {"corrupt", corrupt,
         "the transceiver refused the image (8208 bytes): not a firmware image of ours: body CRC "
         "mismatch"},
        {"empty", {}, "the transceiver refused the image (0 bytes): not a firmware image of ours: "
                      "shorter than the image header"},
        {"oversized", std::vector<uint8_t>(2 << 20, 0),
         "the transceiver refused the image's length, 2097152 bytes (it takes images of at most "
         "1048576 bytes)"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error = FailWith(c.name, c.image);
        EXPECT_EQ(error.rfind("initialization failed: b (0xC0000001 (NDIS_STATUS_FAILURE): ", 0), 0u)
            << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_NE(error.find("error log entry 0xC0000001"), std::string::npos) << error;
        zr48sim::AdapterSnapshot b = View(1);
        EXPECT_EQ(b.phase, zr48sim::AdapterPhase::Failed);
        EXPECT_NE(b.failure.find(c.reason), std::string::npos) << b.failure;
        EXPECT_TRUE(SawEvent("MiniportInitialize failed: 0xC0000001 (NDIS_STATUS_FAILURE): " +
                             c.reason))
            << "the event says it too";
        // The far end no longer searches without a word.
        host::Advance(100 * host::kMillisecond);
        EXPECT_EQ(View(0).line, "searching: far end b failed to initialize");
        EXPECT_EQ(sim->Notes().size(), 1u) << "the image is named as one the card refuses, at once";
        Renew();
    }
}

TEST_F(ReasonsTest, AControllerThatNeverAsksForItsFirmwareIsNamed) {
    Build();
    sim->CardOf(1).SuppressStage(cardmodel::STAGE_AWAITING_FIRMWARE);
    std::string error;
    EXPECT_FALSE(sim->StartAdapters(&error));
    EXPECT_NE(error.find("the transceiver did not report that it was ready for its firmware "
                         "(stage 0x0D) within 10 s"),
              std::string::npos)
        << error;
}

TEST_F(ReasonsTest, AnIncompatibleLineSaysWhyFromBothEndsSettings) {
    struct Case {
        const char* a;
        const char* b;
        const char* why;
    } cases[] = {
        {"TerminalType = 1", "TerminalType = 1", "incompatible: both ends central (a, b; TerminalType)"},
        {"TerminalType = 0", "TerminalType = 0", "incompatible: both ends remote (a, b; TerminalType)"},
        {"TerminalType = 1\nLineRate = 2048", "TerminalType = 0\nLineRate = 1024",
         "incompatible: rates differ (a 2048 kbit/s, b 1024 kbit/s; LineRate)"},
        {"TerminalType = 1\nAnnexType = 1", "TerminalType = 0\nAnnexType = 0",
         "incompatible: annexes differ (a 1, b 0; AnnexType)"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        Train(std::string("[adapter a]\nline = l1\n") + c.a + "\n[adapter b]\nline = l1\n" + c.b +
              "\n");
        EXPECT_EQ(View(0).line, c.why);
        EXPECT_EQ(View(1).line, c.why);
        EXPECT_TRUE(SawEvent(std::string("line: ") + c.why));
        EXPECT_FALSE(sim->LinkUp(0));
        Renew();
    }
    // A rate-adaptive remote end takes the central end's rate: no mismatch.
    Train("[adapter a]\nline = l1\nTerminalType = 1\nLineRate = 2048\n"
          "[adapter b]\nline = l1\nConfigType = 1\n");
    ASSERT_TRUE(host::RunUntil([&] { return sim->AllLinksUp(); }, 10 * host::kSecond));
    EXPECT_EQ(View(1).line, "data mode at 2048 kbit/s");
}

// What the driver writes to its error log at a start that succeeds shows too.
TEST_F(ReasonsTest, ErrorLogEntriesBecomeEvents) {
    zr48sim::SimConfig config = zr48sim::DefaultConfig();
    config.adapters[0].integers["XmtQueueLen"] = 0;
    Build(config);
    StartAndWaitForLinks();
    EXPECT_TRUE(SawEvent("driver's error log entry 0xC0001391 (unsupported configuration): "
                         "XmtQueueLen 0 refused, 8 used"));
    ASSERT_EQ(sim->Notes().size(), 1u);
    EXPECT_NE(sim->Notes()[0].find("XmtQueueLen = 0: the driver keeps its default, 8"),
              std::string::npos);
}
