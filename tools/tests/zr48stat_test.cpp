// zr48stat's command line and its live view.
#include <gtest/gtest.h>

#include "common/control_protocol.h"
#include "tools/stat_tool.h"

using zr48stat::ParseArguments;

TEST(Zr48statTest, ArgumentsAreStrictAndHelpIsAnAnswer) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;        // -1: runs
        const char* message;
    } cases[] = {
        {{}, -1, ""},
        {{"a", "b", "--json"}, -1, ""},
        {{"--watch", "2", "a"}, -1, ""},
        {{"--watch", "0.5"}, -1, ""},
        {{"--timeout", "30", "--socket", "/tmp/s.sock"}, -1, ""},
        {{"--help"}, 0, ""},
        {{"-h"}, 0, ""},
        {{"--timeout", "0"}, 2, "--timeout: takes whole seconds, 1 to 3600, not \"0\""},
        {{"--timeout", "1.5"}, 2, "not \"1.5\""},
        {{"--timeout", "3601"}, 2, "not \"3601\""},
        {{"--watch", "0.1"}, 2, "--watch: takes seconds between reads, 0.5 to 3600, not \"0.1\""},
        {{"--watch", "nan"}, 2, "not \"nan\""},
        {{"--watch", "1e3"}, 2, "not \"1e3\""},
        {{"--watch", "2", "--clear"}, 2, "excludes"},
        {{"--bogus"}, 2, "The following argument was not expected: --bogus"},
        {{"--socket"}, 2, "--socket"},
    };
    for (auto& c : cases) {
        std::string joined;
        for (auto& a : c.args) joined += " " + a;
        zr48stat::CommandLine line = ParseArguments(c.args);
        if (c.exitCode < 0) {
            EXPECT_TRUE(line.run) << joined << ": " << line.err;
            continue;
        }
        EXPECT_FALSE(line.run) << joined;
        EXPECT_EQ(line.exitCode, c.exitCode) << joined;
        if (c.exitCode == 0) {
            EXPECT_NE(line.out.find("Usage: zr48stat"), std::string::npos) << line.out;
            EXPECT_NE(line.out.find("--watch SECONDS"), std::string::npos) << line.out;
        } else {
            EXPECT_EQ(line.err.rfind("zr48stat: ", 0), 0u) << line.err;
            EXPECT_NE(line.err.find(c.message), std::string::npos) << joined << ": " << line.err;
        }
    }
    zr48stat::Options o = ParseArguments({"--watch", "2.5", "--timeout", "30", "a"}).options;
    EXPECT_EQ(o.watchSeconds, 2.5);
    EXPECT_EQ(o.timeoutMs, 30000);
    EXPECT_EQ(o.adapters, std::vector<std::string>{"a"});
    EXPECT_EQ(o.socket, zr48control::DefaultSocket());
}

// Each frame of --watch shows the blocks and what their counters gained
// since the previous read; on a terminal it redraws the screen, in a pipe it
// only adds text.
TEST(Zr48statTest, TheWatchViewShowsWhatTheCountersGained) {
    zr48stat::Options o;
    o.watchSeconds = 2;
    zr48stat::Reading first{"a", {}, 10.0};
    first.block.xmitOk = 100;
    first.block.rcvOk = 90;
    zr48stat::Reading second = first;
    second.seconds = 12.0;
    second.block.xmitOk = 350;
    second.block.rcvOk = 330;
    second.block.linkUpCount = 1;
    std::string opening = zr48stat::WatchFrame({first}, {}, o, "2026-12-07 11:00:00", false);
    EXPECT_EQ(opening.rfind("Every 2 s: zr48stat a    2026-12-07 11:00:00\n\n", 0), 0u) << opening;
    EXPECT_NE(opening.find("zr48 statistics block, adapter a"), std::string::npos);
    EXPECT_EQ(opening.find("in the last"), std::string::npos) << "nothing to compare with yet";
    EXPECT_EQ(opening.find('\x1b'), std::string::npos) << "no escape codes in a pipe";
    std::string next = zr48stat::WatchFrame({second}, {{"a", first}}, o, "2026-12-07 11:00:02", true);
    EXPECT_EQ(next.rfind("\x1b[H\x1b[2J", 0), 0u) << "a terminal is redrawn";
    EXPECT_NE(next.find("  in the last 2.0 s: +250 frames sent, +240 received, +0 receive errors, "
                        "+1 line-ups\n"),
              std::string::npos)
        << next;
}
