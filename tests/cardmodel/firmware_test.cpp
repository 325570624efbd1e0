// Firmware images and their download through the boot ROM.
#include <fstream>
#include <iterator>

#include "tests/cardmodel/card_rig.h"

using namespace cardmodel;

TEST(FirmwareImageTest, MadeImagesCheckAndAnyDamageIsFound) {
    std::vector<uint8_t> image = MakeFirmwareImage(1000);
    EXPECT_EQ(image.size(), kFirmwareHeaderSize + 1000);
    EXPECT_TRUE(CheckFirmwareImage(image));
    EXPECT_EQ(MakeFirmwareImage(1000), image);  // runs repeat
    EXPECT_TRUE(CheckFirmwareImage(MakeFirmwareImage(0)));

    std::string why;
    for (size_t at : {size_t(0), size_t(4), size_t(9), size_t(13), size_t(500)}) {
        std::vector<uint8_t> bad = image;
        bad[at] ^= 0x40;
        EXPECT_FALSE(CheckFirmwareImage(bad, &why)) << "byte " << at;
        EXPECT_FALSE(why.empty());
    }
    image.pop_back();
    EXPECT_FALSE(CheckFirmwareImage(image));
    EXPECT_FALSE(CheckFirmwareImage(std::vector<uint8_t>(10, 0)));
}

TEST(FirmwareImageTest, Crc32IsTheEthernetOne) {
    const char* text = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
}

TEST(FirmwareImageTest, TheBuildsImageFileIsValid) {
    std::ifstream file(ZR48_FIRMWARE_IMAGE, std::ios::binary);
    ASSERT_TRUE(file) << ZR48_FIRMWARE_IMAGE;
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    std::string why;
    EXPECT_TRUE(CheckFirmwareImage(image, &why)) << why;
    EXPECT_EQ(image, MakeFirmwareImage());
}

class DownloadTest : public ::testing::Test {
protected:
    FakeEnvironment env;
    std::unique_ptr<CardRig> rig;

    void Boot(CardOptions options = {}) {
        rig = std::make_unique<CardRig>(env, options);
        rig->Restart();
        ASSERT_TRUE(rig->AwaitStage(STAGE_AWAITING_FIRMWARE));
    }
    uint8_t Start(uint32_t length) {
        return rig->Command(CMD_DOWNLOAD_START, {uint8_t(length), uint8_t(length >> 8),
                                                  uint8_t(length >> 16), uint8_t(length >> 24)});
    }
};

TEST_F(DownloadTest, AcceptedImageRunsAndPostsStage0EAfterItsStartTime) {
    Boot();
    std::vector<uint8_t> image = MakeFirmwareImage(1000);
    ASSERT_TRUE(rig->Download(image));
    EXPECT_EQ(rig->card.Controller(), ControllerState::FirmwareStarting);
    EXPECT_FALSE(rig->TakePosting(50 * kMillisecond - 1));
    EXPECT_TRUE(rig->AwaitStage(STAGE_FIRMWARE_RUNNING, 1));
    EXPECT_EQ(rig->card.Controller(), ControllerState::Running);
    EXPECT_EQ(rig->card.Firmware(), image);
    EXPECT_EQ(rig->card.PeekMailbox(MAILBOX_LINE_AUX) & AUX_FIRMWARE, AUX_FIRMWARE);
    // The boot ROM is gone: download commands are out of turn now.
    EXPECT_EQ(Start(10), RESULT_WRONG_STATE);
}

TEST_F(DownloadTest, WrongChecksumIsRefusedAndADownloadCanStartAgain) {
    Boot();
    std::vector<uint8_t> image = MakeFirmwareImage(100);
    ASSERT_EQ(Start(static_cast<uint32_t>(image.size())), RESULT_SUCCESS);
    ASSERT_EQ(rig->Command(CMD_DOWNLOAD_DATA, {image.begin(), image.begin() + 75}), 1);
    ASSERT_EQ(rig->Command(CMD_DOWNLOAD_DATA, {image.begin() + 75, image.end()}), 1);
    EXPECT_EQ(rig->Command(CMD_DOWNLOAD_END, {0x00}), RESULT_BAD_CHECKSUM);
    EXPECT_EQ(rig->card.Controller(), ControllerState::AwaitingFirmware);
    EXPECT_EQ(rig->Command(CMD_DOWNLOAD_END, {0x00}), RESULT_WRONG_STATE);
    EXPECT_TRUE(rig->Download(image));
}

TEST_F(DownloadTest, LengthsThatDisagreeWithTheAnnouncementAreRefused) {
    Boot();
    ASSERT_EQ(Start(10), RESULT_SUCCESS);
    EXPECT_EQ(rig->Command(CMD_DOWNLOAD_DATA, std::vector<uint8_t>(11, 1)), RESULT_BAD_PARAMETER);
    ASSERT_EQ(Start(10), RESULT_SUCCESS);
    ASSERT_EQ(rig->Command(CMD_DOWNLOAD_DATA, std::vector<uint8_t>(9, 1)), RESULT_SUCCESS);
    EXPECT_EQ(rig->Command(CMD_DOWNLOAD_END, {0xF7}), RESULT_BAD_PARAMETER);
    EXPECT_EQ(Start(2u << 20), RESULT_BAD_PARAMETER);  // larger than the controller takes
}

TEST_F(DownloadTest, AnImageNotOursIsRefusedUnlessAnyImageIsAccepted) {
    Boot();
    std::vector<uint8_t> junk(150, 0x5A);
    EXPECT_FALSE(rig->Download(junk));
    EXPECT_EQ(rig->card.Commands().back().result, RESULT_BAD_IMAGE);

    CardOptions any;
    any.acceptAnyFirmware = true;
    Boot(any);
    EXPECT_TRUE(rig->Download(junk));
    EXPECT_TRUE(rig->AwaitStage(STAGE_FIRMWARE_RUNNING));
}

TEST_F(DownloadTest, EmptyImageIsFramedAsStartZeroAndEndZero) {
    CardOptions any;
    any.acceptAnyFirmware = true;
    Boot(any);
    rig->card.ClearCommands();
    EXPECT_TRUE(rig->Download({}));
    std::vector<CommandRecord> commands = rig->card.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].payload, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(commands[1].code, CMD_DOWNLOAD_END);
    EXPECT_EQ(commands[1].payload, std::vector<uint8_t>{0});
}

TEST_F(DownloadTest, PiecesOf75And76BytesAssembleInOrder) {
    CardOptions any;
    any.acceptAnyFirmware = true;
    Boot(any);
    std::vector<uint8_t> image = TestFrame(151, 9);
    ASSERT_TRUE(rig->Download(image));  // 75 + 75 + 1
    EXPECT_EQ(rig->card.Firmware(), image);
}
