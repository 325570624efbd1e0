// The simulator's configuration file: what lands in the registry, the
// mistakes a person makes in it (each named with its file, line, key and what
// the key takes), and what the driver will do with the values it treats
// specially.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "sim/config.h"

using zr48sim::ParseConfig;
using zr48sim::SimConfig;
using zr48sim::ValidateConfig;

namespace {

// Parses `text` as the file "sim.conf"; the error, or "" when it parses.
std::string Problem(const std::string& text, SimConfig* config = nullptr) {
    SimConfig local;
    SimConfig& c = config ? *config : local;
    c.file = "sim.conf";
    std::string error;
    return ParseConfig(text, "/etc/zr48", &c, &error) ? "" : error;
}

SimConfig Parsed(const std::string& text) {
    SimConfig config;
    EXPECT_EQ(Problem(text, &config), "");
    return config;
}

std::string ValidationError(const std::string& text, zr48sim::ValidateOptions options = {}) {
    SimConfig config = Parsed(text);
    std::string error;
    EXPECT_FALSE(ValidateConfig(config, options, &error));
    return error;
}

// The notes of a valid configuration, one string.
std::string Notes(const std::string& text) {
    SimConfig config = Parsed(text);
    std::string error, all;
    EXPECT_TRUE(ValidateConfig(config, &error)) << error;
    for (auto& n : zr48sim::DriverNotes(config)) all += n + "\n";
    return all;
}

const char kPair[] = "[adapter a]\nline = l1\n[adapter b]\nline = l1\n";

}  // namespace

TEST(ConfigTest, DriverKeywordsLandAsTheRegistryHoldsThem) {
    SimConfig c = Parsed(
        "# two ends\n"
        "[adapter a]\n"
        "linerate = 4096          ; any case, as the registry matches\n"
        "TerminalType = 0x1\n"
        "LineCode = \"3\"\n"
        "NetworkAddress = 001122334455\n"
        "firmware = images/zr48.bin\n"
        "line = l1\n"
        "[adapter b]\n"
        "line = l1\n"
        "tap = tapb\n"
        "XmtQueueLen = 010\n"
        "[line l1]\n"
        "delay_us = 25\n"
        "loss = 0.01\n"
        "bit_errors = 1e-7\n"
        "seed = 9\n");
    ASSERT_EQ(c.adapters.size(), 2u);
    auto& a = c.adapters[0];
    EXPECT_EQ(a.integers.at("LineRate"), 4096u);
    EXPECT_EQ(a.integers.at("TerminalType"), 1u);
    // A quoted value stays a string (NDIS parses it when the driver asks for
    // an integer); the address is a string even when it is all digits.
    EXPECT_EQ(a.strings.at("LineCode"), "3");
    EXPECT_EQ(a.strings.at("NetworkAddress"), "001122334455");
    EXPECT_EQ(a.firmwarePath, "/etc/zr48/images/zr48.bin");
    EXPECT_EQ(a.tap, "zr48a");
    EXPECT_EQ(a.keyLines.at("LineRate"), 3);
    EXPECT_EQ(c.adapters[1].tap, "tapb");
    EXPECT_EQ(c.adapters[1].integers.at("XmtQueueLen"), 10u) << "decimal, not octal";
    ASSERT_EQ(c.lines.size(), 1u);
    EXPECT_EQ(c.lines[0].delayNs, 25000);
    EXPECT_DOUBLE_EQ(c.lines[0].loss, 0.01);
    EXPECT_DOUBLE_EQ(c.lines[0].bitErrors, 1e-7);
    EXPECT_EQ(c.lines[0].seed, 9u);
}

TEST(ConfigTest, DefaultIsTwoAdaptersBackToBackAtTheSameRate) {
    SimConfig c = zr48sim::DefaultConfig();
    std::string error;
    ASSERT_TRUE(ValidateConfig(c, zr48sim::ValidateOptions{true}, &error)) << error;
    ASSERT_EQ(c.adapters.size(), 2u);
    EXPECT_EQ(c.adapters[0].line, c.adapters[1].line);
    EXPECT_EQ(c.adapters[0].integers.at("LineRate"), 2048u);
    EXPECT_EQ(c.adapters[1].integers.at("LineRate"), 2048u);
    EXPECT_NE(c.adapters[0].integers.at("TerminalType"), c.adapters[1].integers.at("TerminalType"));
    EXPECT_TRUE(zr48sim::DriverNotes(c).empty());
}

// Every mistake is refused with the file, the line, the section, the key
// and what it takes: nothing is silently turned into something else.
TEST(ConfigTest, MistakesAreRefusedWithWhereAndWhatTheKeyTakes) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"[adapter a]\nLineRate = abc\n",
         "sim.conf:2: adapter a: LineRate = abc: not a whole number (text for the registry goes "
         "in double quotes); LineRate takes a line rate in kbit/s (the Advanced page offers 64 "
         "to 6016 in steps of 32)"},
        {"[adapter a]\nLineRate = -5\n", "LineRate = -5: a negative number: a DWORD holds 0 to"},
        {"[adapter a]\nLineRate = 99999999999\n",
         "LineRate = 99999999999: too large (at most 4294967295): a DWORD holds"},
        {"[adapter a]\nLineRate = 2048abc\n", "LineRate = 2048abc: not a whole number"},
        {"[adapter a]\nLineRate = 20 48\n", "LineRate = 20 48: not a whole number"},
        {"[adapter a]\nLineRate =\n", "sim.conf:2: adapter a: LineRate = (nothing): no value"},
        {"[adapter a]\nLineRate = 0x\n", "LineRate = 0x: not a whole number"},
        {"[adapter a]\nLineRate = \"abc\"\n",
         "LineRate = \"abc\": a string NDIS cannot read as a number, so the driver would keep "
         "its default (2048)"},
        {"[adapter a]\nLineRate = \"2048\n", "quotes go around the whole value, once"},
        {"[adapter a]\nLineRate = 2048\nlinerate = 1024\n",
         "sim.conf:3: adapter a: linerate is given twice (first on line 2)"},
        {"[adapter a]\nline = l1\nLINE = l2\n", "LINE is given twice (first on line 2)"},
        {"[adapter a]\nTerminalType = yes\n",
         "TerminalType = yes: not a whole number (text for the registry goes in double quotes); "
         "TerminalType takes 0 (remote end, STU-R) or 1 (central end, STU-C)"},
        {"[adapter a]\nNetworkAddress = 01005E000001\n",
         "NetworkAddress = 01005E000001: a multicast address (the first byte's low bit is set) "
         "cannot be an adapter's own"},
        {"[adapter a]\nNetworkAddress = FFFFFFFFFFFF\n", "the broadcast address"},
        {"[adapter a]\nNetworkAddress = 02:48:00:00:00:01\n",
         "not twelve hexadecimal digits (the driver would ignore it and make an address of its "
         "own)"},
        {"[adapter a]\nNetworkAddress = 02480000000\n", "not twelve hexadecimal digits"},
        {"[adapter a]\nSlotNumber = 3\n", "chosen by the simulator"},
        {"[adapter a]\nLineRat = 2048\n", "sim.conf:2: adapter a: unknown keyword \"LineRat\""},
        {"[adapter a]\ntap = a/b\n", "tap = a/b: not a Linux interface name"},
        {"[adapter a]\ntap = zr48centraloffice\n", "not a Linux interface name"},
        {"[adapter a]\nfirmware =\n", "firmware = (nothing): no value"},
        {"[adapter a]\nline = l 1\n", "line = l 1: not a line's name"},
        {"[adapter a]\n[adapter a]\n", "sim.conf:2: [adapter a] again: its first section is on line 1"},
        {"[line l]\n[line l]\n", "[line l] again"},
        {"[adapter a\"b]\n", "a name has 1 to 32 letters, digits"},
        {"[adapter aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa]\n", "a name has 1 to 32"},
        {"[adapter a]\n[line l]\nloss = 1.5\n",
         "sim.conf:3: line l: loss = 1.5: not a probability; loss takes a probability"},
        {"[line l]\nloss = nan\n", "loss = nan: not a probability"},
        {"[line l]\nbit_errors = 0x1p-3\n", "not a probability"},
        {"[line l]\nbit_errors = \"0.1\"\n", "a line's values are numbers"},
        {"[line l]\ndelay_us = -4\n", "delay_us = -4: a negative number; delay_us takes"},
        {"[line l]\ndelay_us = 10000001\n", "too large (at most 10000000)"},
        {"[line l]\nseed = x\n", "seed = x: not a whole number"},
        {"[line l]\ndelay = 4\n", "unknown line keyword \"delay\""},
        {"[wire x]\n", "[adapter NAME] or [line NAME]"},
        {"[adapter a\n", "unclosed"},
        {"[adapter a]\njust words\n", "KEY = VALUE"},
        {"LineRate = 2048\n", "before any"},
        {"# nothing\n", "sim.conf: no [adapter NAME]"},
    };
    for (auto& c : cases) {
        std::string error = Problem(c.text);
        EXPECT_NE(error.find(c.message), std::string::npos)
            << "configuration:\n" << c.text << "error: " << error;
    }
}

// A card in every slot of the machine's PCI bus, and not one more: the
// adapter past the limit is named where the file gives it, and a
// configuration made in code is held to the same limit.
TEST(ConfigTest, AsManyAdaptersAsTheBusHasSlotsAndNoMore) {
    auto pairs = [](size_t adapters) {
        std::string text;
        for (size_t i = 0; i < adapters; ++i) {
            text += "[adapter a" + std::to_string(i) + "]\nline = l" + std::to_string(i / 2) + "\n";
        }
        return text;
    };
    ASSERT_EQ(zr48sim::kMaxAdapters, 32u);
    SimConfig full = Parsed(pairs(32));
    ASSERT_EQ(full.adapters.size(), 32u);
    std::string error;
    EXPECT_TRUE(ValidateConfig(full, &error)) << error;
    EXPECT_EQ(Problem(pairs(33)),
              "sim.conf:65: [adapter a32]: at most 32 adapters in one simulation");
    full.adapters.push_back(full.adapters.back());
    full.adapters.back().name = "a32";
    full.adapters.back().tap = "zr48a32";
    EXPECT_FALSE(ValidateConfig(full, &error));
    EXPECT_EQ(error, "at most 32 adapters in one simulation");
}

TEST(ConfigTest, LinesJoinExactlyTwoCardsOrOneOnLoopback) {
    EXPECT_NE(ValidationError("[adapter a]\nline = l1\n")
                  .find("sim.conf:2: adapter a: line l1 joins 1 adapter (a)"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\nline=l\n[adapter b]\nline=l\n[adapter c]\nline=l\n")
                  .find("joins 3 adapters (a, b, c)"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\n").find("sim.conf:1: adapter a: no line"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\nline=l\n[adapter b]\nline=l\n[line m]\n")
                  .find("sim.conf:5: line m has no adapter"),
              std::string::npos);
    SimConfig loopback = Parsed("[adapter solo]\nline = loopback\n");
    std::string error;
    EXPECT_TRUE(ValidateConfig(loopback, &error)) << error;
}

TEST(ConfigTest, EveryCardOnLoopbackHasALineOfItsOwn) {
    SimConfig one = Parsed("[adapter solo]\nline = loopback\n");
    EXPECT_EQ(zr48sim::LineNameOf(one, 0), "loopback") << "one card: the name it always had";

    SimConfig two = Parsed("[adapter a]\nline = loopback\n[adapter b]\nline = loopback\n"
                           "[adapter c]\nline = l\n[adapter d]\nline = l\n");
    std::string error;
    EXPECT_TRUE(ValidateConfig(two, &error)) << error;
    EXPECT_EQ(zr48sim::LineNameOf(two, 0), "loopback:a");
    EXPECT_EQ(zr48sim::LineNameOf(two, 1), "loopback:b");
    EXPECT_EQ(zr48sim::LineNameOf(two, 2), "l");

    // A line of the file cannot take a loopback line's name: names have no ':'.
    EXPECT_NE(Problem("[adapter a]\nline = loopback\n[adapter b]\nline = loopback\n"
                      "[adapter c]\nline = loopback:a\n")
                  .find("sim.conf:6: adapter c: line = loopback:a: not a line's name"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\nline = loopback\n[line loopback]\n").find("reserved"),
              std::string::npos);
}

// The default TAP device name is "zr48" + the adapter's name: too long for a
// Linux interface only matters when there are TAP devices.
TEST(ConfigTest, TapDeviceNamesMatterOnlyWithTapDevices) {
    SimConfig long_name = Parsed("[adapter centraloffice]\nline = loopback\n");
    std::string error;
    EXPECT_TRUE(ValidateConfig(long_name, &error)) << error;
    EXPECT_NE(ValidationError("[adapter centraloffice]\nline = loopback\n",
                              zr48sim::ValidateOptions{true})
                  .find("adapter centraloffice: its TAP device would be zr48centraloffice, longer "
                        "than a Linux interface name (15 characters); name one with tap ="),
              std::string::npos);
    SimConfig named = Parsed("[adapter centraloffice]\nline = loopback\ntap = zr48co\n");
    EXPECT_TRUE(ValidateConfig(named, zr48sim::ValidateOptions{true}, &error)) << error;
    EXPECT_NE(ValidationError("[adapter a]\nline = l\ntap = t\n[adapter b]\nline = l\ntap = t\n")
                  .find("sim.conf:6: adapter b: its TAP device name t is another adapter's too"),
              std::string::npos);
}

TEST(ConfigTest, AddressesAndFirmwareImagesAreCheckedAcrossTheFile) {
    EXPECT_NE(ValidationError("[adapter a]\nline = l\nNetworkAddress = 024800000001\n"
                              "[adapter b]\nline = l\nNetworkAddress = 024800000001\n")
                  .find("sim.conf:6: adapter b: NetworkAddress 02:48:00:00:00:01 is adapter a's "
                        "too; each adapter needs its own"),
              std::string::npos);
    // Twelve zeros count as none: each driver makes an address of its own.
    EXPECT_NE(Notes("[adapter a]\nline = l\nNetworkAddress = 000000000000\n"
                    "[adapter b]\nline = l\nNetworkAddress = \"000000000000\"\n")
                  .find("an all-zero address counts as none"),
              std::string::npos);

    std::string directory = ::testing::TempDir() + "zr48_firmware_dir_" + std::to_string(getpid());
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    EXPECT_NE(ValidationError("[adapter a]\nline = loopback\nfirmware = " + directory + "\n")
                  .find("sim.conf:3: adapter a: firmware image " + directory +
                        ": a directory, not a file"),
              std::string::npos);
    rmdir(directory.c_str());
    EXPECT_NE(ValidationError("[adapter a]\nline = loopback\nfirmware = /dev/null\n")
                  .find("/dev/null: not a regular file"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\nline=loopback\nfirmware=/nonexistent/zr48.bin\n")
                  .find("/nonexistent/zr48.bin: No such file or directory"),
              std::string::npos);
}

TEST(ConfigTest, ConfigurationFilesThatAreNotFilesAreRefused) {
    SimConfig config;
    std::string error;
    EXPECT_FALSE(zr48sim::LoadConfig("/", &config, &error));
    EXPECT_NE(error.find("/: a directory, not a file"), std::string::npos) << error;
    EXPECT_FALSE(zr48sim::LoadConfig("/dev/zero", &config, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    std::string path = ::testing::TempDir() + "zr48_config_" + std::to_string(getpid()) + ".conf";
    std::ofstream(path) << kPair << "[adapter c]\nLineRate = fast\n";
    EXPECT_FALSE(zr48sim::LoadConfig(path, &config, &error));
    EXPECT_EQ(error.rfind(path + ":6: adapter c: LineRate = fast: not a whole number", 0), 0u)
        << error;
    std::remove(path.c_str());
}

// Values the registry can hold and the driver treats specially pass as they
// are; the notes say what the driver will do with each.
TEST(ConfigTest, NotesSayWhatTheDriverDoesWithSpecialValues) {
    struct Case {
        const char* keys;  // for adapter a
        const char* note;
    } cases[] = {
        {"LineRate = 2050\n",
         "sim.conf:2: adapter a: LineRate = 2050: the driver configures 2048 kbit/s: it rounds a "
         "rate down to a multiple of 32 kbit/s (2048)"},
        {"LineRate = 0\n",
         "LineRate = 0: the driver configures 64 kbit/s: a fixed-rate end is kept within 64 to "
         "6016 kbit/s"},
        {"LineRate = 10\n", "LineRate = 10: the driver configures 64 kbit/s"},
        {"LineRate = 7000\n",
         "LineRate = 7000: the driver configures 6016 kbit/s: it rounds a rate down to a multiple "
         "of 32 kbit/s (6976); a fixed-rate end is kept within 64 to 6016 kbit/s"},
        {"LineRate = 8192\n",
         "LineRate = 8192: the driver configures 64 kbit/s: it keeps a rate in 10 bits of 8 "
         "kbit/s, so 8192 becomes 0"},
        {"LineRate = \" 2050 \"\n", "LineRate = 2050: the driver configures 2048 kbit/s"},
        {"LineRate = 4096\nConfigType = 1\nTerminalType = 1\n",
         "LineRate = 4096: the driver configures 2304 kbit/s: a rate-adaptive central end is "
         "kept within 192 to 2304 kbit/s"},
        {"LineRate = 1024\nConfigType = 1\n",
         "a rate-adaptive remote end configures 192 kbit/s and trains at the central end's rate"},
        {"TerminalType = 5\n",
         "TerminalType = 5: the driver takes any value other than 0 as 1 (central end, STU-C)"},
        {"CRC = 2\n", "CRC = 2: the driver takes any value other than 0 as 1 (yes)"},
        {"LineCode = 9\n",
         "LineCode = 9 is none of 0 to 4: the driver chooses the code from the line rate, as for "
         "0: code 3"},
        {"LineCode = 9\nLineRate = 512\n", "as for 0: code 4"},
        {"AnnexType = 300\n",
         "AnnexType = 300 is none of the Advanced page's annexes (0, 1, 3): the driver sends the "
         "transceiver its low 8 bits, 44"},
        {"AnnexType = 2\n", "the driver sends it to the transceiver as it is"},
        {"XmtQueueLen = 0\n",
         "XmtQueueLen = 0: the driver keeps its default, 8, and writes an error log entry"},
        {"RcvQueueLen = 200\n", "RcvQueueLen = 200 is more than the Advanced page offers (1 to 127)"},
        {"XmtQueueLen = 2000000\nRcvQueueLen = 2000000\n",
         "XmtQueueLen + RcvQueueLen = 4000000 buffers of 1516 bytes do not fit 32 bits: the "
         "driver refuses to start"},
    };
    for (auto& c : cases) {
        std::string text = std::string("[adapter a]\n") + c.keys + "line = loopback\n";
        std::string notes = Notes(text);
        EXPECT_NE(notes.find(c.note), std::string::npos) << "keys:\n" << c.keys << "notes:\n" << notes;
    }
    EXPECT_EQ(Notes("[adapter a]\nLineRate = 2048\nTerminalType = 1\nLineCode = 0\n"
                    "AnnexType = 3\nXmtQueueLen = 127\nline = loopback\n"),
              "")
        << "values the Advanced page offers need no note";
    EXPECT_EQ(zr48sim::ConfiguredRateKbps(Parsed("[adapter a]\nLineRate = 1000\nConfigType = 1\n"
                                                 "TerminalType = 1\nAnnexType = 3\n")
                                              .adapters[0]),
              992u);
}
