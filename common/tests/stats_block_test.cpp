// The statistics block as zr48stat decodes it: every field at its offset,
// little-endian, and the last line-up time as a date.
#include <gtest/gtest.h>

#include "common/stats_block.h"

using namespace zr48stat;

namespace {

std::vector<uint8_t> SampleBlock() {
    std::vector<uint8_t> b(64, 0);
    auto put = [&](size_t at, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(0, 0x0102030405060708ull, 8);   // XmitOk
    put(8, 1000, 8);                    // RcvOk
    put(16, 7, 8);                      // RcvError
    put(24, 3, 4);                      // transmit error events
    put(28, 0x01000000, 4);             // card events
    put(32, 2, 4);                      // line-ups
    put(40, 134116992035000000ull, 8);  // 2026-01-01 00:00:03.5 UTC
    b[48] = 0x03;
    b[49] = 0xF9;
    b[50] = 0x12;
    b[51] = 0x11;
    b[52] = 0x40;
    b[53] = 0x84;
    for (int i = 0; i < 10; ++i) b[54 + i] = static_cast<uint8_t>(i * 17);
    return b;
}

}  // namespace

TEST(StatsBlockTest, DecodesEveryFieldAtItsOffset) {
    std::vector<uint8_t> b = SampleBlock();
    Statistics s;
    ASSERT_TRUE(DecodeStatistics(b.data(), b.size(), &s));
    EXPECT_EQ(s.xmitOk, 0x0102030405060708ull);
    EXPECT_EQ(s.rcvOk, 1000u);
    EXPECT_EQ(s.rcvError, 7u);
    EXPECT_EQ(s.xmitErrorEvents, 3u);
    EXPECT_EQ(s.cardEvents, 0x01000000u);
    EXPECT_EQ(s.linkUpCount, 2u);
    EXPECT_EQ(s.reserved, 0u);
    EXPECT_EQ(s.lastLinkUpTime, 134116992035000000ull);
    EXPECT_EQ(s.reply83, 0xF9);
    EXPECT_EQ(s.reply94[1], 0x11);
    EXPECT_EQ(s.lineStatusAux, 0x84);
    EXPECT_EQ(s.reply9E[9], 153);
    EXPECT_FALSE(DecodeStatistics(b.data(), 63, &s));
}

TEST(StatsBlockTest, PrintsTheBlockForAPersonAndAsJson) {
    std::vector<uint8_t> b = SampleBlock();
    Statistics s;
    DecodeStatistics(b.data(), b.size(), &s);
    std::string text = FormatStatistics(s, "a");
    EXPECT_NE(text.find("last line-up                  2026-01-01 00:00:03.5000000 UTC"),
              std::string::npos);
    EXPECT_NE(text.find("0x40 data mode (line up)"), std::string::npos);
    EXPECT_NE(text.find("command 0x9E                00 11 22 33 44 55 66 77 88 99"),
              std::string::npos);
    std::string json = StatisticsJson(s, "a");
    EXPECT_NE(json.find("\"lineUp\":true"), std::string::npos);
    EXPECT_NE(json.find("\"rcvOk\":1000"), std::string::npos);
    EXPECT_NE(json.find("\"0x83\":\"F9\""), std::string::npos);
}

TEST(StatsBlockTest, TimesAndLineStatesReadAsTheirMeaning) {
    EXPECT_EQ(SystemTimeText(0), "never");
    EXPECT_EQ(SystemTimeText(116444736000000000ull), "1970-01-01 00:00:00.0000000 UTC");
    EXPECT_EQ(SystemTimeText(1), "1601-01-01 00:00:00.0000001 UTC");
    EXPECT_EQ(SystemTimeText(126227808000000000ull), "2001-01-01 00:00:00.0000000 UTC");
    EXPECT_EQ(SystemTimeText(134116991999999999ull), "2025-12-31 23:59:59.9999999 UTC");
    EXPECT_EQ(LineStatusText(0x00), "0x00 inactive (line down)");
    EXPECT_EQ(LineStatusText(0x80), "0x80 activating (line down)");
    EXPECT_EQ(LineStatusText(0xC1), "0xC1 fault (line down)");
    EXPECT_EQ(LineStatusText(0x41), "0x41 data mode (line up)");
}

TEST(StatsBlockTest, RequestBuffersOpenWithTheSignature) {
    std::vector<uint8_t> read = ReadRequestBuffer(), clear = ClearRequestBuffer();
    ASSERT_EQ(read.size(), 64u);
    ASSERT_EQ(clear.size(), 4u);
    EXPECT_EQ(std::string(read.begin(), read.begin() + 4), "tats");
    EXPECT_EQ(std::string(clear.begin(), clear.end()), "tats");
    EXPECT_EQ(StatusName(0xC0010014), "NDIS_STATUS_INVALID_LENGTH");
    EXPECT_EQ(StatusName(0x12345678), "0x12345678");
}

// An adapter's name comes from a configuration file or a command line: in
// JSON it must stay one string, whatever it holds.
TEST(StatsBlockTest, AdapterNamesAreEscapedInJson) {
    EXPECT_EQ(JsonString("plain"), "\"plain\"");
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString(std::string("t\tn\n\x01", 5)), "\"t\\u0009n\\u000a\\u0001\"");
    EXPECT_EQ(JsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"") << "UTF-8 passes as it is";
    Statistics s;
    std::string json = StatisticsJson(s, "x\",\"evil\":\"1");
    EXPECT_EQ(json.rfind("{\"adapter\":\"x\\\",\\\"evil\\\":\\\"1\",\"xmitOk\":0,", 0), 0u) << json;
}
