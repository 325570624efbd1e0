// Firmware download and transceiver bring-up, told through MiniportInitialize
// against the card: the commands and payloads the card recorded, the
// registers it was left with, and every step that can fail.
#include "tests/driver/card/card_test.h"

#include "host/diagnostics.h"
#include "host/verifier.h"

namespace {

using Command = std::pair<uint8_t, Bytes>;

// What the transceiver is told after the download.
std::vector<Command> Configuration(const cardmodel::Card& card) {
    std::vector<Command> commands;
    bool downloaded = false;
    for (auto& c : card.Commands()) {
        if (downloaded) commands.push_back({c.code, c.payload});
        downloaded = downloaded || c.code == cardmodel::CMD_DOWNLOAD_END;
    }
    return commands;
}

struct Line {
    std::map<std::string, uint32_t> parameters;
    ULONG rate;  // settled, in units of 8 kbit/s
    uint8_t k, d, annex, t, terminal, mode;
};

std::vector<Command> ExpectedConfiguration(const Line& l) {
    uint8_t n = (uint8_t)(l.rate >> 3), r = (uint8_t)(l.rate & 7);
    return {{0x01, {l.terminal}},
            {0x06, {0x63}},
            {0x1B, {n, 0, n, n, 1, r, 0, 1}},
            {0x03, {l.k, 0}},
            {0x0F, {4, 0, 0, 0, l.d, 1, 0, l.annex, 0xFF, 0, 0, 0}},
            {0x43, {3, l.t, 0xFF, 4, 0, 0}},
            {0x10, {l.mode}},
            {0x50, {2}},
            {0x40, {2}},
            {0x0B, {2}}};
}

// The whole bring-up, command by command, for an image of `length` bytes.
Bytes FullSequence(size_t length) {
    Bytes codes{cardmodel::CMD_DOWNLOAD_START};
    codes.insert(codes.end(), (length + 74) / 75, cardmodel::CMD_DOWNLOAD_DATA);
    codes.push_back(cardmodel::CMD_DOWNLOAD_END);
    for (uint8_t c : {0x01, 0x06, 0x1B, 0x03, 0x0F, 0x43, 0x10, 0x50, 0x40, 0x0B}) {
        codes.push_back(c);
    }
    return codes;
}

// LineRate in kbit/s and LineCode 1..4 as the registry holds them.
const Line kRates[] = {
    {{}, 256, 0x42, 4, 1, 0x00, 0x09, 0x21},  // no line code: no offset
    {{{"ConfigType", 1}, {"LineRate", 4096}}, 24, 0x12, 0, 1, 0x00, 0x09, 0x21},
    {{{"LineRate", 8160}}, 752, 0x42, 4, 1, 0x00, 0x09, 0x21},
    {{{"LineRate", 32}}, 8, 0x42, 4, 1, 0x00, 0x09, 0x21},
    {{{"LineRate", 2080}, {"LineCode", 2}}, 260, 0x12, 4, 1, 0xFC, 0x09, 0x21},
    {{{"ConfigType", 1}, {"TerminalType", 1}, {"AnnexType", 3}, {"LineRate", 8000}},
     712, 0x12, 0, 3, 0x00, 0x01, 0x23},
    {{{"ConfigType", 1}, {"TerminalType", 1}, {"LineRate", 8000}}, 288, 0x12, 0, 1, 0x00, 0x01,
     0x23},
    {{{"ConfigType", 1}, {"AnnexType", 3}, {"LineRate", 8000}}, 24, 0x12, 0, 3, 0x00, 0x09, 0x21},
};
const Line kCodes[] = {
    {{{"LineCode", 3}}, 256, 0x22, 4, 1, 0xF0, 0x09, 0x21},
    {{{"TerminalType", 1}, {"LineCode", 4}}, 256, 0x32, 4, 1, 0x28, 0x01, 0x23},
    {{{"ConfigType", 1}, {"TerminalType", 1}, {"AnnexType", 3}, {"LineCode", 1}},
     256, 0x02, 0, 3, 0x08, 0x01, 0x23},
    {{{"ConfigType", 1}, {"TerminalType", 1}, {"AnnexType", 3}, {"LineCode", 2}},
     256, 0x12, 0, 3, 0xFC, 0x01, 0x23},
    {{{"ConfigType", 1}, {"TerminalType", 1}, {"AnnexType", 3}, {"LineCode", 3}},
     256, 0x12, 0, 3, 0xF0, 0x01, 0x23},
    {{{"ConfigType", 1}, {"TerminalType", 1}, {"AnnexType", 3}, {"LineCode", 4}},
     256, 0x12, 0, 3, 0x28, 0x01, 0x23},
    {{{"ConfigType", 1}, {"TerminalType", 1}, {"LineCode", 1}}, 256, 0x12, 0, 1, 0x08, 0x01, 0x23},
};

}  // namespace

class BringUpTest : public CardTest {
protected:
    void Configures(const Line& line) {
        testbed::Unit& unit = Lone(line.parameters);
        EXPECT_EQ(Configuration(unit.Card()), ExpectedConfiguration(line));
        EXPECT_EQ(AdapterOf(unit)->LineRate, line.rate);
        EXPECT_EQ(unit.nic->Query(OID_GEN_LINK_SPEED, 4).buffer, host::UlongBytes(line.rate * 80));
        EXPECT_EQ(AdapterOf(unit)->LinkState, (ULONG)LINK_STATE_DOWN);
        unit.nic->Halt();
    }
    // Initialization fails once `sent` commands of the full sequence went
    // out; the image was mapped during the bring-up and is released.
    void FailsAfter(const std::function<void(cardmodel::Card&)>& fault, size_t sent) {
        testbed::Unit& unit = Add();
        fault(unit.Card());
        size_t mapped = 0;
        host::ScheduleAfter(
            10 * kMillisecond, [&] { mapped = host::LedgerCount(host::Resource::FileMapping); },
            "look at the ledger");
        host::ClearDiagnostics();
        EXPECT_EQ(unit.nic->Initialize(), NDIS_STATUS_FAILURE);
        Bytes expected = FullSequence(machine->FirmwareImage().size());
        expected.resize(sent);
        EXPECT_EQ(Codes(unit.Card()), expected);
        EXPECT_EQ(mapped, 1u);
        EXPECT_EQ(host::LedgerCount(host::Resource::FileMapping), 0u);
        EXPECT_EQ(host::LedgerCount(host::Resource::File), 0u);
        ASSERT_EQ(host::ErrorLog().size(), 1u);
        EXPECT_EQ(host::ErrorLog()[0].code, (uint32_t)NDIS_STATUS_FAILURE);
    }
};

TEST_F(BringUpTest, SettlesTheLineRateItConfigures) {
    ZR48_WHITE_BOX();
    for (const Line& line : kRates) {
        SCOPED_TRACE(&line - kRates);
        Configures(line);
    }
}

TEST_F(BringUpTest, ConfiguresTheLineCodeAndItsOffset) {
    ZR48_WHITE_BOX();
    for (const Line& line : kCodes) {
        SCOPED_TRACE(&line - kCodes);
        Configures(line);
    }
}

TEST_F(BringUpTest, RestartsTheCardSendsTheImageUnchangedAndEnablesTransfersLast) {
    testbed::Unit& unit = Lone({{"CRC", 1}, {"FillByte", 1}, {"DataPolarity", 1}});
    cardmodel::Card& card = unit.Card();
    const Bytes& image = machine->FirmwareImage();
    EXPECT_EQ(Codes(card), FullSequence(image.size()));
    Bytes sent;
    for (auto& piece : Payloads(card, cardmodel::CMD_DOWNLOAD_DATA)) {
        sent.insert(sent.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(sent, image);
    EXPECT_EQ(card.Firmware(), image);

    Lines log = Log(card, true);
    log.resize(15);
    EXPECT_EQ(log, (Lines{"W CR0=0x00", "W ISR=0xFF", "W IMR=0x00",  // before the file is opened
                          "W IMR=0x20", "W CR0=0x00", "W ISR=0xFF", "W CR0=0x80", "W CR1=0x08",
                          "R CR0=0x80", "W CR0=0x90", "R CR0=0x90", "W CR0=0xB0", "R CR0=0xB0",
                          "W CR0=0xF0", "R CR1=0x08"}));
    EXPECT_TRUE(HasRun(Log(card), {"R MB+0x56=0x01", "W MB+0x56=0x00", "W IMR=0x20",
                                   "W MB+0x03=0xF0", "W MB+0x04=0x40"}));
    EXPECT_TRUE(HasRun(Log(card, true), {"W RX_SW_INDEX=0x00", "W RX_HW_INDEX=0x00",
                                         "W TX_SW_INDEX=0x00", "W TX_HW_INDEX=0x00",
                                         "R CR0=0xF0", "W CR0=0xF3"}));
    EXPECT_EQ(card.PeekRegister(cardmodel::REGISTER_CR1), 0x0B);
    unit.nic->Halt();

    testbed::Unit& plain = Lone({{"ReadBurst", 0}, {"WriteBurst", 0}});
    EXPECT_EQ(plain.Card().PeekRegister(cardmodel::REGISTER_CR0), 0x83);
    EXPECT_EQ(plain.Card().PeekRegister(cardmodel::REGISTER_CR1), 0x08);
}

TEST_F(BringUpTest, SendsAnyImageInPiecesOfSeventyFiveBytesWithItsChecksum) {
    cardmodel::CardOptions anyImage;
    anyImage.acceptAnyFirmware = true;
    struct Case {
        size_t length;
        std::vector<size_t> pieces;
    } cases[] = {{0, {}}, {75, {75}}, {76, {75, 1}}, {150, {75, 75}}};
    for (const Case& c : cases) {
        Bytes image(c.length);
        for (size_t i = 0; i < c.length; ++i) image[i] = (uint8_t)(i * 7 + 3);
        machine->SetFirmwareImage(image);
        testbed::Unit& unit = Add({}, anyImage);
        ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS) << c.length << " bytes";
        std::vector<size_t> pieces;
        for (auto& piece : Payloads(unit.Card(), cardmodel::CMD_DOWNLOAD_DATA)) {
            pieces.push_back(piece.size());
        }
        EXPECT_EQ(pieces, c.pieces);
        EXPECT_EQ(Payloads(unit.Card(), cardmodel::CMD_DOWNLOAD_START)[0],
                  (Bytes{(uint8_t)c.length, 0, 0, 0}));
        EXPECT_EQ(unit.Card().Firmware(), image);
        uint8_t sum = Payloads(unit.Card(), cardmodel::CMD_DOWNLOAD_END).at(0).at(0);
        for (uint8_t b : image) sum = (uint8_t)(sum + b);
        EXPECT_EQ(sum, 0);  // the image and its check byte sum to 0
        unit.nic->Halt();
    }
    machine->SetFirmwareImage({0xFF, 0x38});  // sums to 0x137
    testbed::Unit& unit = Add({}, anyImage);
    ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Payloads(unit.Card(), cardmodel::CMD_DOWNLOAD_END), std::vector<Bytes>{{0xC9}});
}

TEST_F(BringUpTest, FailsWhenTheDownloadOrAStageFails) {
    const size_t all = FullSequence(machine->FirmwareImage().size()).size();
    FailsAfter([](cardmodel::Card& c) { c.SuppressStage(cardmodel::STAGE_AWAITING_FIRMWARE); }, 0);
    FailsAfter([](cardmodel::Card& c) { c.WithholdAnswer(cardmodel::CMD_DOWNLOAD_START); }, 1);
    FailsAfter([](cardmodel::Card& c) { c.FailAnswer(0x05, cardmodel::CMD_DOWNLOAD_DATA); }, 2);
    FailsAfter([](cardmodel::Card& c) { c.SuppressStage(cardmodel::STAGE_FIRMWARE_RUNNING); },
               all - 10);
}

TEST_F(BringUpTest, FailsWhenAConfigurationCommandIsRefusedOrUnanswered) {
    const size_t all = FullSequence(machine->FirmwareImage().size()).size();
    FailsAfter([](cardmodel::Card& c) { c.WithholdAnswer(cardmodel::CMD_LINE_RATE); }, all - 7);
    for (size_t last = all - 10; last < all - 2; ++last) {  // 0x01 .. 0x50 refused
        uint8_t code = FullSequence(0)[last - (all - 12)];
        FailsAfter([code](cardmodel::Card& c) { c.FailAnswer(0x05, code); }, last + 1);
    }
}

TEST_F(BringUpTest, AFileThatCannotBeOpenedOrMappedFailsWithItsOwnStatus) {
    Bytes image = machine->FirmwareImage();
    machine->RemoveFirmwareImage();
    testbed::Unit& missing = Add();
    NDIS_STATUS status = missing.nic->Initialize();
    EXPECT_NE(status, NDIS_STATUS_SUCCESS);
    EXPECT_NE(status, NDIS_STATUS_FAILURE);
    ASSERT_FALSE(host::ErrorLog().empty());
    EXPECT_EQ(host::ErrorLog().back().code, (uint32_t)status);
    EXPECT_TRUE(Codes(missing.Card()).empty());

    machine->SetFirmwareImage(image);
    host::FailNth(host::Resource::FileMapping, 1);
    testbed::Unit& unmappable = Add();
    EXPECT_EQ(unmappable.nic->Initialize(), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(host::LedgerCount(host::Resource::File), 0u);
}

TEST_F(BringUpTest, UnansweredCountersAndStartCommandsStillSucceed) {
    ZR48_WHITE_BOX();
    testbed::Unit& counters = Add();
    counters.Card().FailAnswer(0x05, cardmodel::CMD_COUNTERS);
    ASSERT_EQ(counters.nic->Initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(AdapterOf(counters)->LinkState, (ULONG)LINK_STATE_DOWN);

    testbed::Unit& start = Add();
    start.Card().FailAnswer(0x05, cardmodel::CMD_START_LINE);
    ASSERT_EQ(start.nic->Initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(AdapterOf(start)->LinkState, (ULONG)LINK_STATE_UNCONFIGURED);
    // Transfers enabled all the same.
    EXPECT_EQ(start.Card().PeekRegister(cardmodel::REGISTER_CR0), 0x83);
    EXPECT_EQ(host::LedgerCount(host::Resource::FileMapping), 0u);
    EXPECT_EQ(host::LedgerCount(host::Resource::File), 0u);
}

// The status byte decides a stage, not the wait: a code still there from an
// earlier posting lets the bring-up go on once the wait has run out.
TEST_F(BringUpTest, AStageCodeLeftInTheStatusByteCountsAfterTheTimeout) {
    testbed::Unit& unit = Add();
    unit.Card().Write8(cardmodel::WINDOW_MAILBOX + cardmodel::MAILBOX_STATUS,
                       cardmodel::STAGE_AWAITING_FIRMWARE);
    unit.Card().SuppressStage(cardmodel::STAGE_AWAITING_FIRMWARE);
    ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_GE(unit.Card().Commands().at(0).time, TRANSCEIVER_STAGE_TIMEOUT_MS * kMillisecond);
}
