// The control socket's lines: what a tool sends and what it gets back.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string_view>

#include "common/control_protocol.h"

using namespace zr48control;

namespace {

// The words of `line`, views into it: `line` must outlive them (a temporary
// does, to the end of the statement that made it).
std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    SplitWords(line, &words);
    return words;
}

}  // namespace

TEST(ControlProtocolTest, RequestsAndAnswersSurviveTheirLines) {
    InformationRequest r{true, "a", 0xFF020210, {0x74, 0x61, 0x74, 0x73, 0x00, 0xFF}};
    std::string line = FormatRequest(r);
    EXPECT_EQ(line, "QUERY a 0xFF020210 7461747300ff");
    InformationRequest back;
    std::string error;
    ASSERT_TRUE(ParseRequest(Words(line), &back, &error)) << error;
    EXPECT_TRUE(back.query);
    EXPECT_EQ(back.adapter, "a");
    EXPECT_EQ(back.oid, 0xFF020210u);
    EXPECT_EQ(back.buffer, r.buffer);

    InformationAnswer a{0xC0010014, 0, 64, {}};
    InformationAnswer parsed;
    ASSERT_TRUE(ParseAnswer(FormatAnswer(a), &parsed, &error)) << error;
    EXPECT_EQ(parsed.status, 0xC0010014u);
    EXPECT_EQ(parsed.bytesDone, 0u);
    EXPECT_EQ(parsed.bytesNeeded, 64u);
    EXPECT_TRUE(parsed.buffer.empty());
}

TEST(ControlProtocolTest, BadLinesAreRefusedWithAReason) {
    InformationRequest r;
    std::string error;
    EXPECT_FALSE(ParseRequest(Words("QUERY a 0xFF020210"), &r, &error));
    EXPECT_FALSE(ParseRequest(Words("QUERY a oid 00"), &r, &error));
    EXPECT_NE(error.find("not an OID"), std::string::npos);
    EXPECT_FALSE(ParseRequest(Words("SET a 1 abc"), &r, &error));   // odd digits
    EXPECT_FALSE(ParseRequest(Words("SET a 1 zz"), &r, &error));    // not hex
    EXPECT_FALSE(ParseRequest(Words("SET a 0x100000000 00"), &r, &error));
    EXPECT_FALSE(ParseRequest(Words("SET a 1 " + std::string(2 * (kMaxBuffer + 1), '0')), &r,
                              &error));
    EXPECT_NE(error.find("at most"), std::string::npos);

    InformationAnswer a;
    EXPECT_FALSE(ParseAnswer("ERR no adapter named z", &a, &error));
    EXPECT_EQ(error, "no adapter named z");
    EXPECT_FALSE(ParseAnswer("OK 0x0 1", &a, &error));
    EXPECT_NE(error.find("malformed"), std::string::npos);
}

TEST(ControlProtocolTest, ClientSaysWhenNoSimulatorListens) {
    Client client;
    std::string error;
    EXPECT_FALSE(client.Connect("/nonexistent/zr48sim.sock", &error));
    EXPECT_NE(error.find("is zr48sim running?"), std::string::npos);
}

TEST(ControlProtocolTest, DefaultSocketIsRootsInRunAndAnyOtherUsersOwn) {
    EXPECT_EQ(DefaultSocketFor(0, "/run/user/0"), "/run/zr48sim/zr48sim.sock");
    EXPECT_EQ(DefaultSocketFor(1000, "/run/user/1000"), "/run/user/1000/zr48sim/zr48sim.sock");
    EXPECT_EQ(DefaultSocketFor(1000, nullptr), "/tmp/zr48sim-1000/zr48sim.sock");
    EXPECT_EQ(DefaultSocketFor(1000, ""), "/tmp/zr48sim-1000/zr48sim.sock");
    EXPECT_EQ(DefaultSocketFor(1000, "run/user"), "/tmp/zr48sim-1000/zr48sim.sock")
        << "a relative runtime directory is no place for a socket";
    EXPECT_EQ(UserSocketDirectory(1000, nullptr), "/tmp/zr48sim-1000");
    EXPECT_EQ(UserSocketDirectory(0, nullptr), "");
}

// A count the miniport left unwritten travels as "-" and comes back as none,
// never as a number.
TEST(ControlProtocolTest, UnwrittenCountsAreNone) {
    InformationAnswer a;
    a.status = 0xC0010017;
    a.bytesNeeded = 4;
    std::string line = FormatAnswer(a);
    EXPECT_EQ(line, "OK 0xC0010017 - 4 -");
    InformationAnswer parsed;
    std::string error;
    ASSERT_TRUE(ParseAnswer(line, &parsed, &error)) << error;
    EXPECT_FALSE(parsed.bytesDone.has_value());
    EXPECT_EQ(parsed.bytesNeeded, 4u);
}

TEST(ControlProtocolTest, NumbersAreDecimalOrHexadecimalNeverOctal) {
    uint32_t v = 0;
    EXPECT_TRUE(ParseU32("010", &v));
    EXPECT_EQ(v, 10u);
    EXPECT_TRUE(ParseU32("0x10", &v));
    EXPECT_EQ(v, 16u);
    EXPECT_TRUE(ParseU32("4294967295", &v));
    for (const char* bad : {"", "0x", "4294967296", "-1", "+1", " 1", "1 ", "1e3", "0x1g"}) {
        EXPECT_FALSE(ParseU32(bad, &v)) << bad;
    }
}

// A request line splits where a stream reader would: at runs of the six
// blanks, and nowhere else (NUL, other control bytes and bytes above 0x7F
// belong to words).
TEST(ControlProtocolTest, WordsSplitAtBlanksAsAStreamReaderDoes) {
    const std::string lines[] = {
        "",
        " \t\n\v\f\r",
        "QUERY",
        "  QUERY  zr0\t0x00010101 \r",
        std::string("a\0b c", 5),
        "x\x1c y\x1f\x7f z",
        "\x85 \xa0 \xff\xfe",
        "\vQUERY\fzr0\n-\n",
    };
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::vector<std::string> expected;
        for (std::string w; in >> w;) expected.push_back(w);
        // Whatever the vector held before is gone; the bounded split counts
        // one past its bound at most.
        std::vector<std::string_view> views = {"left over"};
        SplitWords(line, &views);
        EXPECT_EQ(std::vector<std::string>(views.begin(), views.end()), expected)
            << "line of " << line.size() << " bytes";
        for (size_t max = 0; max <= 3; ++max) {
            std::string_view some[3];
            size_t count = SplitWordsAtMost(line, some, max);
            EXPECT_EQ(count, std::min(expected.size(), max + 1)) << "at most " << max;
            for (size_t i = 0; i < std::min(count, max); ++i) EXPECT_EQ(some[i], expected[i]);
        }
    }
    EXPECT_EQ(Words(" SET  zr1 0x10 ab "),
              (std::vector<std::string_view>{"SET", "zr1", "0x10", "ab"}));
}

// The texts the socket carries, exactly: tools and scripts read them.
TEST(ControlProtocolTest, RequestAndAnswerTextsAreExact) {
    EXPECT_EQ(FormatRequest({false, "zr1", 0, {}}), "SET zr1 0x00000000 -");
    EXPECT_EQ(FormatRequest({true, "a", 0xFFFFFFFF, {0xAB, 0x01}}), "QUERY a 0xFFFFFFFF ab01");
    InformationAnswer a{0x00010001, 4294967295u, 0, {0x00, 0xFF, 0x7A}};
    EXPECT_EQ(FormatAnswer(a), "OK 0x00010001 4294967295 0 00ff7a");
    EXPECT_EQ(FormatAnswer(InformationAnswer{}), "OK 0x00000000 - - -");
    EXPECT_EQ(HexEncode({}), "-");
    EXPECT_EQ(HexEncode({0x0F, 0xF0}), "0ff0");
}

// An answer is exactly five words, the first OK; whatever else a line holds
// (more words, another first word, the words of a request) is malformed, and
// an answer read earlier is left as it was by a line refused on its words.
TEST(ControlProtocolTest, OnlyAFiveWordOkLineIsAnAnswer) {
    InformationAnswer a;
    std::string error;
    ASSERT_TRUE(ParseAnswer(" OK\t0x1 2 3  ab ", &a, &error)) << error;
    EXPECT_EQ(a.status, 1u);
    EXPECT_EQ(a.bytesDone, 2u);
    EXPECT_EQ(a.bytesNeeded, 3u);
    EXPECT_EQ(a.buffer, (std::vector<uint8_t>{0xAB}));
    for (const char* bad : {"OK 0x1 2 3 ab cd", "OK 0x1 2 3", "OKAY 0x1 2 3 ab", "QUERY a 1 2 3",
                            "ok 0x1 2 3 ab", "", "   ", "OK"}) {
        error.clear();
        EXPECT_FALSE(ParseAnswer(bad, &a, &error)) << bad;
        EXPECT_EQ(error.compare(0, 9, "malformed"), 0) << bad << ": " << error;
        EXPECT_EQ(a.status, 1u) << bad;
    }
}
