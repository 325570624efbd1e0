#include "common/oids.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/stats_block.h"
#include "driver/public.h"

namespace zr48control {
namespace {

using F = OidFormat;

// NDIS's published values. Lengths are those of a whole answer; the
// multicast list's is its most (32 addresses).
const std::vector<OidInfo> kOids = {
    {0x00010101, "OID_GEN_SUPPORTED_LIST", F::OidList, 148},
    {0x00010102, "OID_GEN_HARDWARE_STATUS", F::HardwareStatus, 4},
    {0x00010103, "OID_GEN_MEDIA_SUPPORTED", F::Medium, 4},
    {0x00010104, "OID_GEN_MEDIA_IN_USE", F::Medium, 4},
    {0x00010105, "OID_GEN_MAXIMUM_LOOKAHEAD", F::Unsigned, 4},
    {0x00010106, "OID_GEN_MAXIMUM_FRAME_SIZE", F::Unsigned, 4},
    {0x00010107, "OID_GEN_LINK_SPEED", F::LinkSpeed, 4},
    {0x00010108, "OID_GEN_TRANSMIT_BUFFER_SPACE", F::Unsigned, 4},
    {0x00010109, "OID_GEN_RECEIVE_BUFFER_SPACE", F::Unsigned, 4},
    {0x0001010A, "OID_GEN_TRANSMIT_BLOCK_SIZE", F::Unsigned, 4},
    {0x0001010B, "OID_GEN_RECEIVE_BLOCK_SIZE", F::Unsigned, 4},
    {0x0001010C, "OID_GEN_VENDOR_ID", F::VendorId, 4},
    {0x0001010D, "OID_GEN_VENDOR_DESCRIPTION", F::Text, 29},
    {0x0001010E, "OID_GEN_CURRENT_PACKET_FILTER", F::PacketFilter, 4},
    {0x0001010F, "OID_GEN_CURRENT_LOOKAHEAD", F::Unsigned, 4},
    {0x00010110, "OID_GEN_DRIVER_VERSION", F::NdisVersion, 2},
    {0x00010111, "OID_GEN_MAXIMUM_TOTAL_SIZE", F::Unsigned, 4},
    {0x00010112, "OID_GEN_PROTOCOL_OPTIONS", F::Unsigned, 4},
    {0x00010113, "OID_GEN_MAC_OPTIONS", F::MacOptions, 4},
    {0x00010114, "OID_GEN_MEDIA_CONNECT_STATUS", F::ConnectStatus, 4},
    {0x00010115, "OID_GEN_MAXIMUM_SEND_PACKETS", F::Unsigned, 4},
    {0x00010116, "OID_GEN_VENDOR_DRIVER_VERSION", F::DriverVersion, 4},
    {0x00010202, "OID_GEN_PHYSICAL_MEDIUM", F::PhysicalMedium, 4},
    {0x00020101, "OID_GEN_XMIT_OK", F::Counter, 8},
    {0x00020102, "OID_GEN_RCV_OK", F::Counter, 8},
    {0x00020103, "OID_GEN_XMIT_ERROR", F::Counter, 8},
    {0x00020104, "OID_GEN_RCV_ERROR", F::Counter, 8},
    {0x00020105, "OID_GEN_RCV_NO_BUFFER", F::Unsigned, 4},
    {0x0002020D, "OID_GEN_RCV_CRC_ERROR", F::Counter, 8},
    {0x0002020E, "OID_GEN_TRANSMIT_QUEUE_LENGTH", F::Unsigned, 4},
    {0x01010101, "OID_802_3_PERMANENT_ADDRESS", F::Address, 6},
    {0x01010102, "OID_802_3_CURRENT_ADDRESS", F::Address, 6},
    {0x01010103, "OID_802_3_MULTICAST_LIST", F::AddressList, 192},
    {0x01010104, "OID_802_3_MAXIMUM_LIST_SIZE", F::Unsigned, 4},
    {0x01010105, "OID_802_3_MAC_OPTIONS", F::Unsigned, 4},
    {0x01020101, "OID_802_3_RCV_ERROR_ALIGNMENT", F::Unsigned, 4},
    {0x01020102, "OID_802_3_XMIT_ONE_COLLISION", F::Unsigned, 4},
    {0x01020103, "OID_802_3_XMIT_MORE_COLLISIONS", F::Unsigned, 4},
    {OID_ZR48_GET_STATISTICS, "OID_ZR48_GET_STATISTICS", F::Statistics, 64},
    {OID_ZR48_CLEAR_STATISTICS, "OID_ZR48_CLEAR_STATISTICS", F::ClearStatistics, 4},
};

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Format(const char* format, unsigned long long value) {
    char text[32];
    snprintf(text, sizeof text, format, value);
    return text;
}

uint64_t Little(const std::vector<uint8_t>& b, size_t at, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = bytes; i-- > 0;) v = v << 8 | (at + i < b.size() ? b[at + i] : 0);
    return v;
}

std::string AddressText(const std::vector<uint8_t>& b, size_t at) {
    std::string out;
    for (size_t i = 0; i < 6; ++i) out += (i ? ":" : "") + Format("%02X", b[at + i]);
    return out;
}

// Names of the bits set in `value`, and any left over in hexadecimal.
std::string Bits(uint32_t value, const std::vector<std::pair<uint32_t, const char*>>& names) {
    std::string out = Format("0x%08llX", value);
    if (value == 0) return out + " (none)";
    std::string list;
    for (auto& [bit, name] : names) {
        if (value & bit) {
            list += (list.empty() ? "" : " | ") + std::string(name);
            value &= ~bit;
        }
    }
    if (value) list += (list.empty() ? "" : " | ") + Format("0x%llX", value);
    return out + " (" + list + ")";
}

std::string Choice(uint32_t value, const std::vector<const char*>& names) {
    std::string name = value < names.size() ? names[value] : "unknown";
    return std::to_string(value) + " (" + name + ")";
}

std::string Hex(const std::vector<uint8_t>& b) {
    if (b.empty()) return "(no bytes)";
    std::string out;
    for (size_t i = 0; i < b.size(); ++i) out += (i ? " " : "") + Format("%02X", b[i]);
    return out;
}

std::string Describe(const OidInfo& info, const std::vector<uint8_t>& b) {
    uint32_t u32 = static_cast<uint32_t>(Little(b, 0, 4));
    switch (info.format) {
    case F::Unsigned: return std::to_string(u32);
    case F::Counter:
        return std::to_string(Little(b, 0, b.size() < 8 ? b.size() : 8)) +
               (b.size() < 8 ? " (the low " + std::to_string(b.size()) + " bytes)" : "");
    case F::LinkSpeed: {
        char text[64];
        snprintf(text, sizeof text, "%u (units of 100 bit/s: %g kbit/s)", u32, u32 / 10.0);
        return text;
    }
    case F::Address:
        return b.size() < 6 ? Hex(b) : AddressText(b, 0);
    case F::AddressList: {
        if (b.empty()) return "(no addresses)";
        std::string out;
        for (size_t at = 0; at + 6 <= b.size(); at += 6) out += (at ? ", " : "") + AddressText(b, at);
        return out;
    }
    case F::Text: {
        std::string text;
        for (uint8_t c : b) {
            if (c == 0) break;
            text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
        return "\"" + text + "\"";
    }
    case F::OidList: {
        std::string out;
        for (size_t at = 0; at + 4 <= b.size(); at += 4) {
            out += "\n    " + OidName(static_cast<uint32_t>(Little(b, at, 4)));
        }
        return std::to_string(b.size() / 4) + " OIDs:" + out;
    }
    case F::NdisVersion: {
        uint32_t v = static_cast<uint32_t>(Little(b, 0, 2));
        return Format("0x%04llX", v) + " (NDIS " + std::to_string(v >> 8) + "." +
               std::to_string(v & 0xFF) + ")";
    }
    case F::DriverVersion:
        return Format("0x%08llX", u32) + " (version " + std::to_string(u32 >> 16) + "." +
               std::to_string(u32 & 0xFFFF) + ")";
    case F::HardwareStatus:
        return Choice(u32, {"ready", "initializing", "reset", "closing", "not ready"});
    case F::Medium:
        return Choice(u32, {"802.3", "802.5", "FDDI", "WAN", "LocalTalk", "DIX", "ARCNET raw",
                            "ARCNET 878.2", "ATM", "wireless WAN", "IrDA", "BPC", "CoWAN",
                            "1394"});
    case F::PhysicalMedium:
        return Choice(u32, {"unspecified", "wireless LAN", "cable modem", "phone line",
                            "power line", "DSL", "Fibre Channel", "1394", "wireless WAN"});
    case F::ConnectStatus: return Choice(u32, {"connected", "disconnected"});
    case F::MacOptions:
        return Bits(u32, {{0x01, "COPY_LOOKAHEAD_DATA"},
                          {0x02, "RECEIVE_SERIALIZED"},
                          {0x04, "TRANSFERS_NOT_PEND"},
                          {0x08, "NO_LOOPBACK"},
                          {0x10, "FULL_DUPLEX"},
                          {0x20, "EOTX_INDICATION"},
                          {0x40, "8021P_PRIORITY"},
                          {0x80, "SUPPORTS_MAC_ADDRESS_OVERWRITE"},
                          {0x100, "RECEIVE_AT_DPC"},
                          {0x200, "8021Q_VLAN"}});
    case F::PacketFilter:
        return Bits(u32, {{0x01, "DIRECTED"},
                          {0x02, "MULTICAST"},
                          {0x04, "ALL_MULTICAST"},
                          {0x08, "BROADCAST"},
                          {0x10, "SOURCE_ROUTING"},
                          {0x20, "PROMISCUOUS"},
                          {0x40, "SMT"},
                          {0x80, "ALL_LOCAL"},
                          {0x1000, "GROUP"},
                          {0x2000, "ALL_FUNCTIONAL"},
                          {0x4000, "FUNCTIONAL"},
                          {0x8000, "MAC_FRAME"}});
    case F::VendorId:
        if (b.size() < 4) return Hex(b);
        return Format("%02X", b[0]) + "-" + Format("%02X", b[1]) + "-" + Format("%02X", b[2]) +
               " (IEEE vendor code), " + Format("0x%02X", b[3]) + " (the vendor's own byte)";
    case F::Statistics: {
        zr48stat::Statistics s;
        if (!zr48stat::DecodeStatistics(b.data(), b.size(), &s)) return Hex(b);
        std::string text = zr48stat::FormatStatistics(s, "");
        size_t first = text.find('\n');  // the title names the adapter, said already
        return "the statistics block\n" + (first == std::string::npos ? text : text.substr(first + 1));
    }
    case F::ClearStatistics: return Hex(b);
    }
    return Hex(b);
}

}  // namespace

const std::vector<OidInfo>& KnownOids() { return kOids; }

const OidInfo* FindOid(uint32_t oid) {
    for (const OidInfo& info : kOids) {
        if (info.oid == oid) return &info;
    }
    return nullptr;
}

std::string OidName(uint32_t oid) {
    const OidInfo* info = FindOid(oid);
    return info ? info->name : Format("0x%08llX", oid);
}

bool ParseOid(const std::string& text, uint32_t* oid, std::string* error) {
    if (!text.empty() && isdigit(static_cast<unsigned char>(text[0]))) {
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        std::string digits = hex ? text.substr(2) : text;
        char* end = nullptr;
        errno = 0;
        unsigned long long v = strtoull(digits.c_str(), &end, hex ? 16 : 10);
        bool ok = !digits.empty() && isxdigit(static_cast<unsigned char>(digits[0])) && !errno &&
                  !*end && v <= 0xFFFFFFFFull;
        if (ok) {
            *oid = static_cast<uint32_t>(v);
            return true;
        }
        *error = "not an OID: " + text + " (a number up to 0xFFFFFFFF, or a name)";
        return false;
    }
    // A whole name, or its end after an underscore: OID_GEN_LINK_SPEED,
    // GEN_LINK_SPEED, link_speed, packet_filter; an end that several
    // names share is refused.
    std::string name = Upper(text);
    std::vector<const OidInfo*> matches;
    for (const OidInfo& info : kOids) {
        std::string full = info.name;
        if (name == full) {
            *oid = info.oid;
            return true;
        }
        if (full.size() > name.size() + 1 &&
            full.compare(full.size() - name.size() - 1, std::string::npos, "_" + name) == 0) {
            matches.push_back(&info);
        }
    }
    if (matches.size() == 1 && !name.empty()) {
        *oid = matches[0]->oid;
        return true;
    }
    if (matches.size() > 1) {
        *error = "ambiguous OID name: " + text + " (" + matches[0]->name;
        for (size_t i = 1; i < matches.size(); ++i) {
            *error += (i + 1 == matches.size() ? " or " : ", ") + std::string(matches[i]->name);
        }
        *error += ")";
        return false;
    }
    *error = "unknown OID name: " + text + " (a name such as OID_GEN_LINK_SPEED or link_speed, "
             "or a number such as 0x00010107)";
    return false;
}

std::vector<uint8_t> QueryBuffer(uint32_t oid, std::optional<uint32_t> length) {
    const OidInfo* info = FindOid(oid);
    uint32_t n = length ? *length : info ? info->length : 4;
    std::vector<uint8_t> buffer(n, 0);
    if (oid == OID_ZR48_GET_STATISTICS || oid == OID_ZR48_CLEAR_STATISTICS) {
        std::vector<uint8_t> signature = zr48stat::ClearRequestBuffer();
        for (size_t i = 0; i < buffer.size() && i < signature.size(); ++i) buffer[i] = signature[i];
    }
    return buffer;
}

std::string DescribeValue(uint32_t oid, const std::vector<uint8_t>& bytes) {
    const OidInfo* info = FindOid(oid);
    if (!info) return Hex(bytes);
    if (bytes.empty()) return "(no bytes)";
    return Describe(*info, bytes);
}

}  // namespace zr48control
