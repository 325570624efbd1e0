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
    for (const char* line : {
             "  last line-up                    2026-01-01 00:00:03.5000000 UTC\n",
             "  line status                     0x40 data mode (line up)\n",
             "  line conditions                 0x84: lost sync since it was last up, firmware "
             "running\n",
             "    state (command 0x82)          0x03 data mode\n",
             "    SNR margin (command 0x83)     -7 dB (0xF9, with the driver's line-code "
             "adjustment)\n",
             "    attenuation (command 0x94)    18 dB here, 17 dB at the far end\n",
             "      CRC anomalies               0\n",
             "      losses of sync              17\n",
             "      line-downs                  153\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
    }
    std::string json = StatisticsJson(s, "a");
    EXPECT_NE(json.find("\"lineUp\":true"), std::string::npos);
    EXPECT_NE(json.find("\"rcvOk\":1000"), std::string::npos);
    EXPECT_NE(json.find("\"transceiver\":{\"state\":\"data mode\",\"stateCode\":3,\"marginDb\":-7,"
                        "\"attenuationDb\":18,\"farAttenuationDb\":17,\"errorCounters\":{"
                        "\"crcAnomalies\":0,\"lossesOfSync\":17,"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"0x83\":\"F9\""), std::string::npos);
}

// A counter that stops at 255 says so; a state byte the card does not
// document is named as such.
TEST(StatsBlockTest, TransceiverBytesReadAsTheCardDocumentsThem) {
    Statistics s;
    s.reply82 = 4;
    s.reply9E[0] = 255;
    s.lineStatusAux = 0x03;
    std::string text = FormatStatistics(s, "a");
    EXPECT_NE(text.find("0x04 incompatible"), std::string::npos) << text;
    EXPECT_NE(text.find("CRC anomalies               255 (saturated: at least 255)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("0x03: nothing heard from the far end, far end mismatch"),
              std::string::npos)
        << text;
    EXPECT_EQ(TransceiverStateName(9), "unknown");
    EXPECT_EQ(LineConditionsText(0x10), "0x10: other bits 0x10");
    EXPECT_EQ(LineConditionsText(0x00), "0x00: none");
}

// A clear zeroes the driver's block and the transceiver's counters; the
// frame counters are the driver's running totals and stay. Said exactly.
TEST(StatsBlockTest, AClearSaysExactlyWhatItCleared) {
    std::string text = ClearedText("a");
    EXPECT_NE(text.find("zr48stat: a: cleared the driver's statistics block: the transmit error "
                        "events, card events, line-up count and last line-up time are 0 again, "
                        "and the transceiver's ten error counters are cleared."),
              std::string::npos);
    EXPECT_NE(text.find("Not cleared: the frame counters (frames sent, frames received, receive "
                        "errors)"),
              std::string::npos);
    EXPECT_EQ(ClearedJson("a"),
              "{\"adapter\":\"a\",\"cleared\":[\"xmitErrorEvents\",\"cardEvents\",\"linkUpCount\","
              "\"lastLinkUpTime\",\"transceiverErrorCounters\"],\"notCleared\":[\"xmitOk\","
              "\"rcvOk\",\"rcvError\"]}");
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
    // Bytes that are not UTF-8 would make the whole line invalid JSON.
    EXPECT_EQ(JsonString("a\xff" "b"), "\"a\\ufffdb\"");
    EXPECT_EQ(JsonString("\xc3"), "\"\\ufffd\"") << "a sequence cut short";
    EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\ufffd\\ufffd\"") << "an overlong form";
    EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"") << "a surrogate";
    EXPECT_EQ(JsonString("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"") << "beyond the BMP";
    EXPECT_EQ(JsonString("\x7f"), "\"\\u007f\"");
    Statistics s;
    std::string json = StatisticsJson(s, "x\",\"evil\":\"1");
    EXPECT_EQ(json.rfind("{\"adapter\":\"x\\\",\\\"evil\\\":\\\"1\",\"xmitOk\":0,", 0), 0u) << json;
}
