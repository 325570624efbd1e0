#include "common/stats_block.h"

#include <cstddef>
#include <cstdio>
#include <sstream>

namespace zr48stat {
namespace {

// 100 ns units from 1 January 1601 to 1 January 1970.
constexpr int64_t kUnixEpoch = 116444736000000000LL;
constexpr int64_t kUnitsPerSecond = 10000000;
constexpr int64_t kSecondsPerDay = 86400;

uint64_t Little(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// Year, month and day of a day counted from 1970-01-01 (proleptic
// Gregorian calendar).
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned mp = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2);
}

std::string Hex8(uint8_t v) {
    char text[8];
    snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

const char* const kActivation[4] = {"inactive", "data mode", "activating", "fault"};
const char* const kStates[5] = {"idle", "searching", "training", "data mode", "incompatible"};

// Length in bytes of the UTF-8 sequence at `p` (of `left` bytes), or 0 when
// it is not one: overlong forms, surrogates and values past U+10FFFF are not.
size_t Utf8Sequence(const unsigned char* p, size_t left) {
    if (p[0] < 0x80) return 1;
    size_t n = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 0;
    if (n == 0 || p[0] > 0xF4 || n > left) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    if (n == 3 && p[0] == 0xE0 && p[1] < 0xA0) return 0;  // overlong
    if (n == 3 && p[0] == 0xED && p[1] >= 0xA0) return 0;  // surrogate
    if (n == 4 && p[0] == 0xF0 && p[1] < 0x90) return 0;  // overlong
    if (n == 4 && p[0] == 0xF4 && p[1] >= 0x90) return 0;  // past U+10FFFF
    return n;
}

std::string Padded(const std::string& label, size_t width) {
    return label.size() >= width ? label + " " : label + std::string(width - label.size(), ' ');
}

std::string CounterText(uint8_t value) {
    return std::to_string(value) + (value == 255 ? " (saturated: at least 255)" : "");
}

}  // namespace

const char* const kErrorCounterNames[kErrorCounters] = {
    "CRC anomalies",          "losses of sync",       "errored seconds",
    "severely errored seconds", "unavailable seconds", "receive overflows",
    "other receive errors",   "transmit errors",      "line-ups",
    "line-downs"};
const char* const kErrorCounterJsonNames[kErrorCounters] = {
    "crcAnomalies",       "lossesOfSync",       "erroredSeconds",     "severelyErroredSeconds",
    "unavailableSeconds", "receiveOverflows",   "otherReceiveErrors", "transmitErrors",
    "lineUps",            "lineDowns"};

std::string TransceiverStateName(uint8_t state) {
    return state < 5 ? kStates[state] : "unknown";
}

int MarginDb(const Statistics& s) { return static_cast<int8_t>(s.reply83); }

std::vector<uint8_t> ReadRequestBuffer() {
    std::vector<uint8_t> buffer(kBlockSize, 0);
    for (int i = 0; i < 4; ++i) buffer[i] = static_cast<uint8_t>(StatsSignature >> (8 * i));
    return buffer;
}

std::vector<uint8_t> ClearRequestBuffer() {
    std::vector<uint8_t> buffer = ReadRequestBuffer();
    buffer.resize(4);
    return buffer;
}

bool DecodeStatistics(const uint8_t* b, size_t length, Statistics* s) {
    if (length < kBlockSize) return false;
    // Field by field from the little-endian bytes, at the driver's offsets:
    // this host's own byte order and padding play no part.
#define AT(field) (b + offsetof(StatisticsBlock, field))
    s->xmitOk = Little(AT(XmitOk), 8);
    s->rcvOk = Little(AT(RcvOk), 8);
    s->rcvError = Little(AT(RcvError), 8);
    s->xmitErrorEvents = static_cast<uint32_t>(Little(AT(XmitErrorEvents), 4));
    s->cardEvents = static_cast<uint32_t>(Little(AT(IsrBit08Events), 4));
    s->linkUpCount = static_cast<uint32_t>(Little(AT(LinkUpCount), 4));
    s->reserved = static_cast<uint32_t>(Little(AT(Reserved), 4));
    s->lastLinkUpTime = Little(AT(LastLinkUpTime), 8);
    s->reply82 = *AT(Reply82);
    s->reply83 = *AT(Reply83);
    s->reply94[0] = AT(Reply94)[0];
    s->reply94[1] = AT(Reply94)[1];
    s->lineStatus = *AT(LineStatus);
    s->lineStatusAux = *AT(LineStatusAux);
    for (int i = 0; i < 10; ++i) s->reply9E[i] = AT(Reply9E)[i];
#undef AT
    return true;
}

std::string SystemTimeText(uint64_t time) {
    if (time == 0) return "never";
    int64_t sinceUnix = static_cast<int64_t>(time) - kUnixEpoch;
    int64_t seconds = sinceUnix / kUnitsPerSecond, fraction = sinceUnix % kUnitsPerSecond;
    if (fraction < 0) {
        fraction += kUnitsPerSecond;
        seconds -= 1;
    }
    int64_t days = seconds / kSecondsPerDay, inDay = seconds % kSecondsPerDay;
    if (inDay < 0) {
        inDay += kSecondsPerDay;
        days -= 1;
    }
    int64_t year;
    unsigned month, day;
    CivilFromDays(days, &year, &month, &day);
    char text[64];
    snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld.%07lld UTC",
             static_cast<long long>(year), month, day, static_cast<long long>(inDay / 3600),
             static_cast<long long>(inDay / 60 % 60), static_cast<long long>(inDay % 60),
             static_cast<long long>(fraction));
    return text;
}

std::string LineStatusText(uint8_t status) {
    std::string text = Hex8(status) + " " + kActivation[status >> 6];
    return text + ((status & 0xC0) == 0x40 ? " (line up)" : " (line down)");
}

std::string LineConditionsText(uint8_t aux) {
    static const struct {
        uint8_t bit;
        const char* text;
    } kBits[] = {{0x01, "nothing heard from the far end"},
                 {0x02, "far end mismatch"},
                 {0x04, "lost sync since it was last up"},
                 {0x80, "firmware running"}};
    std::string text;
    uint8_t rest = aux;
    for (auto& b : kBits) {
        if (aux & b.bit) {
            text += (text.empty() ? "" : ", ") + std::string(b.text);
            rest = static_cast<uint8_t>(rest & ~b.bit);
        }
    }
    if (rest) text += (text.empty() ? "" : ", ") + std::string("other bits ") + Hex8(rest);
    return Hex8(aux) + ": " + (text.empty() ? "none" : text);
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(two, sizeof two, "%02X", bytes[i]);
        out += (i ? " " : "") + std::string(two);
    }
    return out;
}

std::string FormatStatistics(const Statistics& s, const std::string& adapter) {
    const size_t w = 34;
    std::ostringstream o;
    o << "zr48 statistics block, adapter " << adapter << "\n"
      << Padded("  frames sent (XmitOk)", w) << s.xmitOk << "\n"
      << Padded("  frames received (RcvOk)", w) << s.rcvOk << "\n"
      << Padded("  receive errors (RcvError)", w) << s.rcvError << "\n"
      << Padded("  transmit error events", w) << s.xmitErrorEvents << "\n"
      << Padded("  card events (interrupt 0x08)", w) << s.cardEvents << "\n"
      << Padded("  line-up count", w) << s.linkUpCount << "\n"
      << Padded("  last line-up", w) << SystemTimeText(s.lastLinkUpTime) << "\n"
      << Padded("  line status", w) << LineStatusText(s.lineStatus) << "\n"
      << Padded("  line conditions", w) << LineConditionsText(s.lineStatusAux) << "\n"
      << "  transceiver, as the card reports it\n"
      << Padded("    state (command 0x82)", w) << Hex8(s.reply82) << " "
      << TransceiverStateName(s.reply82) << "\n"
      << Padded("    SNR margin (command 0x83)", w) << MarginDb(s) << " dB (" << Hex8(s.reply83)
      << ", with the driver's line-code adjustment)\n"
      << Padded("    attenuation (command 0x94)", w) << unsigned(s.reply94[0]) << " dB here, "
      << unsigned(s.reply94[1]) << " dB at the far end\n"
      << "    error counters (command 0x9E)\n";
    for (size_t i = 0; i < kErrorCounters; ++i) {
        o << Padded(std::string("      ") + kErrorCounterNames[i], w) << CounterText(s.reply9E[i])
          << "\n";
    }
    if (s.reserved) o << "  reserved field is not 0: " << s.reserved << "\n";
    return o.str();
}

std::string ClearedText(const std::string& adapter) {
    return "zr48stat: " + adapter +
           ": cleared the driver's statistics block: the transmit error events, card events, "
           "line-up count and last line-up time are 0 again, and the transceiver's ten error "
           "counters are cleared. Not cleared: the frame counters (frames sent, frames received, "
           "receive errors), which are the driver's running totals and read the same after a "
           "clear; the transceiver's state, margin and attenuation are read afresh every time.";
}

std::string ClearedJson(const std::string& adapter) {
    return "{\"adapter\":" + JsonString(adapter) +
           ",\"cleared\":[\"xmitErrorEvents\",\"cardEvents\",\"linkUpCount\","
           "\"lastLinkUpTime\",\"transceiverErrorCounters\"],"
           "\"notCleared\":[\"xmitOk\",\"rcvOk\",\"rcvError\"]}";
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t left = text.size();
    while (left > 0) {
        unsigned char c = *p;
        size_t n = Utf8Sequence(p, left);
        if (n == 0) {
            out += "\\ufffd";  // not UTF-8
            n = 1;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
        }
        p += n;
        left -= n;
    }
    return out + "\"";
}

std::string StatisticsJson(const Statistics& s, const std::string& adapter) {
    std::ostringstream o;
    o << "{\"adapter\":" << JsonString(adapter) << ",\"xmitOk\":" << s.xmitOk
      << ",\"rcvOk\":" << s.rcvOk
      << ",\"rcvError\":" << s.rcvError << ",\"xmitErrorEvents\":" << s.xmitErrorEvents
      << ",\"cardEvents\":" << s.cardEvents << ",\"linkUpCount\":" << s.linkUpCount
      << ",\"reserved\":" << s.reserved << ",\"lastLinkUpTime\":" << s.lastLinkUpTime
      << ",\"lastLinkUp\":\"" << SystemTimeText(s.lastLinkUpTime) << "\""
      << ",\"lineStatus\":" << unsigned(s.lineStatus)
      << ",\"lineUp\":" << ((s.lineStatus & 0xC0) == 0x40 ? "true" : "false")
      << ",\"lineStatusAux\":" << unsigned(s.lineStatusAux)
      << ",\"lineConditions\":" << JsonString(LineConditionsText(s.lineStatusAux))
      << ",\"transceiver\":{\"state\":" << JsonString(TransceiverStateName(s.reply82))
      << ",\"stateCode\":" << unsigned(s.reply82) << ",\"marginDb\":" << MarginDb(s)
      << ",\"attenuationDb\":" << unsigned(s.reply94[0])
      << ",\"farAttenuationDb\":" << unsigned(s.reply94[1]) << ",\"errorCounters\":{";
    for (size_t i = 0; i < kErrorCounters; ++i) {
        o << (i ? "," : "") << "\"" << kErrorCounterJsonNames[i] << "\":" << unsigned(s.reply9E[i]);
    }
    o << "},\"bytes\":{\"0x82\":\"" << HexBytes(&s.reply82, 1) << "\",\"0x83\":\""
      << HexBytes(&s.reply83, 1) << "\",\"0x94\":\"" << HexBytes(s.reply94, 2)
      << "\",\"0x9E\":\"" << HexBytes(s.reply9E, 10) << "\"}}}";
    return o.str();
}

std::string StatusName(uint32_t status) {
    switch (status) {
    case 0x00000000: return "NDIS_STATUS_SUCCESS";
    case 0x00000103: return "NDIS_STATUS_PENDING";
    case 0xC0000001: return "NDIS_STATUS_FAILURE";
    case 0xC000009A: return "NDIS_STATUS_RESOURCES";
    case 0xC00000BB: return "NDIS_STATUS_NOT_SUPPORTED";
    case 0xC0010009: return "NDIS_STATUS_MULTICAST_FULL";
    case 0xC001000C: return "NDIS_STATUS_REQUEST_ABORTED";
    case 0xC001000D: return "NDIS_STATUS_RESET_IN_PROGRESS";
    case 0xC0010014: return "NDIS_STATUS_INVALID_LENGTH";
    case 0xC0010017: return "NDIS_STATUS_INVALID_OID";
    case 0xC0010019: return "NDIS_STATUS_UNSUPPORTED_MEDIA";
    case 0x4001000B: return "NDIS_STATUS_MEDIA_CONNECT";
    case 0x4001000C: return "NDIS_STATUS_MEDIA_DISCONNECT";
    default: break;
    }
    char text[16];
    snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

}  // namespace zr48stat
