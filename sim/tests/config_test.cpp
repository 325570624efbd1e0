// The simulator's configuration file: what lands in the registry, and the
// mistakes a person makes in it, each named with its line.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim/config.h"

using zr48sim::ParseConfig;
using zr48sim::SimConfig;
using zr48sim::ValidateConfig;

namespace {

SimConfig Parsed(const std::string& text) {
    SimConfig config;
    std::string error;
    EXPECT_TRUE(ParseConfig(text, "/etc/zr48", &config, &error)) << error;
    return config;
}

std::string ParseError(const std::string& text) {
    SimConfig config;
    std::string error;
    EXPECT_FALSE(ParseConfig(text, "/etc/zr48", &config, &error));
    return error;
}

std::string ValidationError(const std::string& text) {
    SimConfig config = Parsed(text);
    std::string error;
    EXPECT_FALSE(ValidateConfig(config, &error));
    return error;
}

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
    EXPECT_EQ(c.adapters[1].tap, "tapb");
    ASSERT_EQ(c.lines.size(), 1u);
    EXPECT_EQ(c.lines[0].delayNs, 25000);
    EXPECT_DOUBLE_EQ(c.lines[0].loss, 0.01);
    EXPECT_DOUBLE_EQ(c.lines[0].bitErrors, 1e-7);
    EXPECT_EQ(c.lines[0].seed, 9u);
}

TEST(ConfigTest, DefaultIsTwoAdaptersBackToBackAtTheSameRate) {
    SimConfig c = zr48sim::DefaultConfig();
    std::string error;
    ASSERT_TRUE(ValidateConfig(c, &error)) << error;
    ASSERT_EQ(c.adapters.size(), 2u);
    EXPECT_EQ(c.adapters[0].line, c.adapters[1].line);
    EXPECT_EQ(c.adapters[0].integers.at("LineRate"), 2048u);
    EXPECT_EQ(c.adapters[1].integers.at("LineRate"), 2048u);
    EXPECT_NE(c.adapters[0].integers.at("TerminalType"), c.adapters[1].integers.at("TerminalType"));
}

TEST(ConfigTest, MistakesAreNamedWithTheirLine) {
    EXPECT_NE(ParseError("[adapter a]\nLineRat = 2048\n")
                  .find("line 2: unknown keyword \"LineRat\""),
              std::string::npos);
    EXPECT_NE(ParseError("LineRate = 2048\n").find("before any"), std::string::npos);
    EXPECT_NE(ParseError("[adapter a]\nSlotNumber = 3\n").find("chosen by the simulator"),
              std::string::npos);
    EXPECT_NE(ParseError("[adapter a]\n[line l]\nloss = 1.5\n")
                  .find("line 3: loss is a probability"),
              std::string::npos);
    EXPECT_NE(ParseError("[line l]\ndelay_us = -4\n").find("delay_us"), std::string::npos);
    EXPECT_NE(ParseError("[wire x]\n").find("[adapter NAME] or [line NAME]"), std::string::npos);
    EXPECT_NE(ParseError("[adapter a\n").find("unclosed"), std::string::npos);
    EXPECT_NE(ParseError("[adapter a]\njust words\n").find("KEY = VALUE"), std::string::npos);
    EXPECT_NE(ParseError("# nothing\n").find("no [adapter NAME]"), std::string::npos);
}

TEST(ConfigTest, LinesJoinExactlyTwoCardsOrOneOnLoopback) {
    EXPECT_NE(ValidationError("[adapter a]\nline = l1\n").find("joins 1 adapter"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\nline=l\n[adapter b]\nline=l\n[adapter c]\nline=l\n")
                  .find("joins 3"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\n").find("no line"), std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\nline=l\n[adapter a]\nline=l\n").find("used twice"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\nline=l\n[adapter b]\nline=l\n[line m]\n")
                  .find("line m has no adapter"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\nline=loopback\nfirmware=/nonexistent/zr48.bin\n")
                  .find("cannot be read"),
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

    // A line of the file may not take a loopback line's name.
    EXPECT_NE(ValidationError("[adapter a]\nline = loopback\n[adapter b]\nline = loopback\n"
                              "[adapter c]\nline = loopback:a\n[adapter d]\nline = loopback:a\n")
                  .find("line loopback:a is the name of adapter a's loopback line"),
              std::string::npos);
    EXPECT_NE(ValidationError("[adapter a]\nline = loopback\n[line loopback]\n")
                  .find("reserved"),
              std::string::npos);
}

TEST(ConfigTest, TapDeviceNamesFitALinuxInterfaceName) {
    // The default TAP device name is "zr48" + the adapter's name, which must
    // fit a Linux interface name as a "tap" key must.
    EXPECT_NE(ValidationError("[adapter centraloffice]\nline = loopback\n")
                  .find("adapter centraloffice: its TAP device name zr48centraloffice is longer "
                        "than 15 characters; name one with tap ="),
              std::string::npos);
    EXPECT_NE(ParseError("[adapter a]\ntap = zr48centraloffice\n").find("1 to 15 characters"),
              std::string::npos);
    SimConfig named = Parsed("[adapter centraloffice]\nline = loopback\ntap = zr48co\n");
    std::string error;
    EXPECT_TRUE(ValidateConfig(named, &error)) << error;
}
