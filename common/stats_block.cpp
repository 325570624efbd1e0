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

}  // namespace

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
    std::ostringstream o;
    o << "zr48 statistics block, adapter " << adapter << "\n"
      << "  frames sent (XmitOk)          " << s.xmitOk << "\n"
      << "  frames received (RcvOk)       " << s.rcvOk << "\n"
      << "  receive errors (RcvError)     " << s.rcvError << "\n"
      << "  transmit error events         " << s.xmitErrorEvents << "\n"
      << "  card events (interrupt 0x08)  " << s.cardEvents << "\n"
      << "  line-up count                 " << s.linkUpCount << "\n"
      << "  last line-up                  " << SystemTimeText(s.lastLinkUpTime) << "\n"
      << "  line status                   " << LineStatusText(s.lineStatus) << "\n"
      << "  line status, second byte      " << Hex8(s.lineStatusAux) << "\n"
      << "  transceiver bytes (hex)\n"
      << "    command 0x82                " << HexBytes(&s.reply82, 1) << "\n"
      << "    command 0x83 (adjusted)     " << HexBytes(&s.reply83, 1) << "\n"
      << "    command 0x94                " << HexBytes(s.reply94, 2) << "\n"
      << "    command 0x9E                " << HexBytes(s.reply9E, 10) << "\n";
    if (s.reserved) o << "  reserved field is not 0: " << s.reserved << "\n";
    return o.str();
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
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
      << ",\"transceiver\":{\"0x82\":\"" << HexBytes(&s.reply82, 1) << "\",\"0x83\":\""
      << HexBytes(&s.reply83, 1) << "\",\"0x94\":\"" << HexBytes(s.reply94, 2)
      << "\",\"0x9E\":\"" << HexBytes(s.reply9E, 10) << "\"}}";
    return o.str();
}

std::string StatusName(uint32_t status) {
    switch (status) {
    case 0x00000000: return "NDIS_STATUS_SUCCESS";
    case 0x00000103: return "NDIS_STATUS_PENDING";
    case 0xC0000001: return "NDIS_STATUS_FAILURE";
    case 0xC000009A: return "NDIS_STATUS_RESOURCES";
    case 0xC00000BB: return "NDIS_STATUS_NOT_SUPPORTED";
    case 0xC001000C: return "NDIS_STATUS_REQUEST_ABORTED";
    case 0xC001000D: return "NDIS_STATUS_RESET_IN_PROGRESS";
    case 0xC0010014: return "NDIS_STATUS_INVALID_LENGTH";
    case 0xC0010017: return "NDIS_STATUS_INVALID_OID";
    default: break;
    }
    char text[16];
    snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

}  // namespace zr48stat
