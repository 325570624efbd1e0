// zr48sim's command line and "zr48sim ctl": strict numbers, exactly the
// arguments each request takes, --help everywhere with exit 0, and the
// answers printed decoded with a prefix on every error.
#include <gtest/gtest.h>

#include "common/control_protocol.h"
#include "sim/cli.h"
#include "sim/config.h"

using zr48sim::CommandLine;
using zr48sim::ParseCommandLine;

namespace {

CommandLine Parse(const std::vector<std::string>& args, bool terminal = false) {
    return ParseCommandLine(args, terminal);
}

}  // namespace

TEST(CliTest, RunArgumentsAreStrict) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--interval", "2048abc"}, "zr48sim: --interval: \"2048abc\" is not a whole number"},
        {{"--interval", "10"}, "--interval: 10 is out of range: 50 to 60000 (milliseconds)"},
        {{"--interval", "0100"}, ""},  // decimal, 100 ms
        {{"--interval", "0x100"}, "is not a whole number"},
        {{"--interval", " 500"}, "\" 500\" is not a whole number"},
        {{"--interval"}, "--interval"},
        {{"--traffic", "13"}, "--traffic: 13 is out of range: 14 to 1514"},
        {{"--traffic", "1000", "--tap"}, "--traffic generates frames only without --tap"},
        {{"--duration", "nan"}, "--duration: \"nan\" is not a number"},
        {{"--duration", "inf"}, "is not a number"},
        {{"--duration", "-1"}, "is not a number"},
        {{"--duration", "0.05"}, "out of range"},
        {{"--processors", "65"}, "--processors: 65 is out of range: 1 to 64"},
        {{"--json", "--log"}, "excludes"},
        {{"a.conf", "b.conf"}, "The following argument was not expected: b.conf"},
        {{"--bogus"}, "The following argument was not expected: --bogus"},
        {{"--control", ""}, "--control: an empty path"},
        {{"--report", "run.png"}, "--report: run.png does not end in .svg"},
    };
    for (auto& c : cases) {
        CommandLine line = Parse(c.args);
        std::string joined;
        for (auto& a : c.args) joined += " " + a;
        if (std::string(c.message).empty()) {
            EXPECT_EQ(line.action, CommandLine::Action::Run) << joined << ": " << line.err;
            continue;
        }
        EXPECT_EQ(line.action, CommandLine::Action::Exit) << joined;
        EXPECT_EQ(line.exitCode, 2) << joined;
        EXPECT_NE(line.err.find(c.message), std::string::npos) << joined << ": " << line.err;
        EXPECT_NE(line.err.find("Run zr48sim --help"), std::string::npos) << joined;
    }
    EXPECT_EQ(Parse({"--interval", "0100"}).run.intervalMs, 100);
}

TEST(CliTest, RunDefaultsFollowTheDisplay) {
    CommandLine terminal = Parse({}, true);
    ASSERT_EQ(terminal.action, CommandLine::Action::Run);
    EXPECT_EQ(terminal.run.style, zr48sim::Display::Style::Terminal);
    EXPECT_EQ(terminal.run.intervalMs, 500);
    EXPECT_EQ(terminal.run.control, zr48control::DefaultSocket());
    EXPECT_FALSE(terminal.run.controlGiven);
    CommandLine piped = Parse({}, false);
    EXPECT_EQ(piped.run.style, zr48sim::Display::Style::Log);
    EXPECT_EQ(piped.run.intervalMs, 2000) << "a summary every 2 s in a log";
    CommandLine json = Parse({"--json", "--interval", "1000", "--control", "/tmp/x.sock",
                              "--report", "run.svg", "sim.conf"},
                             true);
    EXPECT_EQ(json.run.style, zr48sim::Display::Style::Json);
    EXPECT_EQ(json.run.intervalMs, 1000);
    EXPECT_TRUE(json.run.controlGiven);
    EXPECT_EQ(json.run.report, "run.svg");
    EXPECT_EQ(json.run.config, "sim.conf");
}

TEST(CliTest, HelpIsAnAnswerForEveryProgramAndRequest) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"ctl", "--help"}, {"ctl", "query", "--help"},
             {"ctl", "bit_errors", "--help"}, {"ctl", "cut", "-h"}}) {
        CommandLine line = Parse(args);
        EXPECT_EQ(line.action, CommandLine::Action::Exit);
        EXPECT_EQ(line.exitCode, 0);
        EXPECT_NE(line.out.find("Usage: zr48sim"), std::string::npos) << line.out;
        EXPECT_TRUE(line.err.empty());
    }
    std::string help = Parse({"--help"}).out;
    EXPECT_NE(help.find("at most " + std::to_string(zr48sim::kMaxAdapters) + " adapters"),
              std::string::npos)
        << help;
    EXPECT_NE(help.find("--report FILE.svg"), std::string::npos);
    EXPECT_NE(Parse({"ctl", "query", "--help"}).out.find("ADAPTER OID [LENGTH]"), std::string::npos);
}

// Each request becomes its protocol line; a request with an argument too
// many, too few or of the wrong kind is refused before anything is sent.
TEST(CliTest, CtlRequestsTakeExactlyTheirArguments) {
    struct Case {
        std::vector<std::string> args;
        const char* request;  // the line sent; "" when refused
        const char* message;  // the refusal
    } cases[] = {
        {{"status"}, "STATUS", ""},
        {{"adapters"}, "ADAPTERS", ""},
        {{"cut", "l1"}, "LINE l1 cut", ""},
        {{"--control", "/tmp/s.sock", "restore", "l1"}, "LINE l1 restore", ""},
        {{"restore", "l1", "--control", "/tmp/s.sock"}, "LINE l1 restore", ""},
        {{"flap", "l1", "500", "1000"}, "LINE l1 flap 500 1000", ""},
        {{"loss", "l1", "0.01"}, "LINE l1 loss 0.01", ""},
        {{"bit_errors", "l1", "1e-6"}, "LINE l1 bit_errors 1e-6", ""},
        {{"reset", "a"}, "RESET a", ""},
        {{"wait_link", "0"}, "WAIT_LINK 0", ""},
        {{"wait_link", "30"}, "WAIT_LINK 30", ""},
        {{"note", "hello", "world"}, "NOTE hello world", ""},
        {{"stop"}, "STOP", ""},
        {{"query", "a", "link_speed"}, "QUERY a 0x00010107 00000000", ""},
        {{"query", "a", "OID_GEN_XMIT_OK", "4"}, "QUERY a 0x00020101 00000000", ""},
        {{"query", "a", "0x00010112"}, "QUERY a 0x00010112 00000000", ""},
        {{"set", "a", "packet_filter", "0b000000"}, "SET a 0x0001010E 0b000000", ""},
        {{"set", "a", "multicast_list", "-"}, "SET a 0x01010103 -", ""},
        {{}, "", "zr48sim ctl: no request"},
        {{"cut", "l1", "l2"}, "", "The following argument was not expected: l2"},
        {{"cut"}, "", "LINE is required"},
        {{"status", "now"}, "", "The following argument was not expected: now"},
        {{"bit-errors", "l1", "0.1"}, "", "unknown request \"bit-errors\" (bit_errors)"},
        {{"wait-link", "3"}, "", "unknown request \"wait-link\" (wait_link)"},
        {{"frobnicate"}, "", "unknown request \"frobnicate\""},
        {{"flap", "l1"}, "", "MS is required"},
        {{"flap", "l1", "0"}, "", "0 is out of range: 1 to 600000"},
        {{"flap", "l1", "10abc"}, "", "\"10abc\" is not a whole number"},
        {{"loss", "l1", "nan"}, "", "\"nan\" is not a number"},
        {{"loss", "l1", "1.5"}, "", "1.5 is out of range: 0 to 1"},
        {{"wait_link", "-1"}, "", "\"-1\" is not a number"},
        {{"wait_link", "601"}, "", "601 is out of range: 0 to 600"},
        {{"query", "a"}, "", "OID is required"},
        {{"query", "a", "link_speed", "4097"}, "", "4097 is out of range: 0 to 4096"},
        {{"query", "a", "frobs"}, "", "unknown OID name: frobs"},
        {{"query", "a", "mac_options"}, "",
         "ambiguous OID name: mac_options (OID_GEN_MAC_OPTIONS or OID_802_3_MAC_OPTIONS)"},
        {{"query", "a", "0x100000000"}, "", "not an OID: 0x100000000"},
        {{"set", "a", "packet_filter"}, "", "HEX is required"},
        {{"set", "a", "packet_filter", "abc"}, "", "is not an even number of hexadecimal digits"},
        {{"note"}, "", "TEXT is required"},
    };
    for (auto& c : cases) {
        std::vector<std::string> args = {"ctl"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string joined;
        for (auto& a : args) joined += " " + a;
        CommandLine line = Parse(args);
        if (*c.request) {
            ASSERT_EQ(line.action, CommandLine::Action::Ctl) << joined << ": " << line.err;
            EXPECT_EQ(line.ctl.request, c.request) << joined;
        } else {
            EXPECT_EQ(line.action, CommandLine::Action::Exit) << joined;
            EXPECT_EQ(line.exitCode, 2) << joined;
            EXPECT_NE(line.err.find(c.message), std::string::npos) << joined << ": " << line.err;
            EXPECT_EQ(line.err.compare(0, 13, "zr48sim ctl: "), 0) << line.err;
        }
    }
    CommandLine stats = Parse({"ctl", "query", "a", "get_statistics"});
    ASSERT_EQ(stats.ctl.buffer.size(), 64u);
    EXPECT_EQ(zr48control::HexEncode(std::vector<uint8_t>(stats.ctl.buffer.begin(),
                                                          stats.ctl.buffer.begin() + 4)),
              "74617473")
        << "a statistics read opens with the signature";
    EXPECT_EQ(Parse({"ctl", "cut", "l1", "--control", "/tmp/s.sock"}).ctl.control, "/tmp/s.sock");
}

TEST(CliTest, CtlAnswersArePrintedDecodedAndErrorsPrefixed) {
    auto ctl = [](std::vector<std::string> args) {
        args.insert(args.begin(), "ctl");
        return Parse(args).ctl;
    };
    zr48sim::CtlOutput refused = zr48sim::CtlAnswer(ctl({"cut", "l2"}), "ERR no line named l2");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "zr48sim ctl: cut: no line named l2\n");
    EXPECT_EQ(refused.out, "");

    zr48sim::CtlOutput ok = zr48sim::CtlAnswer(ctl({"adapters"}), "OK a b");
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_EQ(ok.out, "a b\n");
    EXPECT_EQ(zr48sim::CtlAnswer(ctl({"cut", "l1"}), "OK").out, "");

    zr48sim::CtlOutput speed =
        zr48sim::CtlAnswer(ctl({"query", "a", "link_speed"}), "OK 0x00000000 4 4 00500000");
    EXPECT_EQ(speed.exitCode, 0);
    EXPECT_EQ(speed.out,
              "a: OID_GEN_LINK_SPEED (0x00010107): 20480 (units of 100 bit/s: 2048 kbit/s)\n"
              "  NDIS_STATUS_SUCCESS: 4 bytes written, 4 bytes needed\n");

    // An OID the driver does not answer: its status, and no count where the
    // driver wrote none (the host's fill pattern is not a count).
    zr48sim::CtlOutput unknown =
        zr48sim::CtlAnswer(ctl({"query", "a", "protocol_options"}), "OK 0xC0010017 - 4 00000000");
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out,
              "a: OID_GEN_PROTOCOL_OPTIONS (0x00010112): NDIS_STATUS_INVALID_OID\n"
              "  bytes written: none (the driver left the count unwritten), 4 bytes needed\n");
    EXPECT_EQ(unknown.out.find("2779096485"), std::string::npos);

    zr48sim::CtlOutput set = zr48sim::CtlAnswer(ctl({"set", "a", "packet_filter", "0b000000"}),
                                                "OK 0x00000000 4 0 0b000000");
    EXPECT_EQ(set.out,
              "a: OID_GEN_CURRENT_PACKET_FILTER (0x0001010E) set to 0x0000000B (DIRECTED | "
              "MULTICAST | BROADCAST): NDIS_STATUS_SUCCESS\n  4 bytes read, 0 bytes needed\n");
    zr48sim::CtlOutput malformed = zr48sim::CtlAnswer(ctl({"query", "a", "link_speed"}), "OK 1");
    EXPECT_EQ(malformed.exitCode, 1);
    EXPECT_NE(malformed.err.find("zr48sim ctl: malformed answer"), std::string::npos);
}
