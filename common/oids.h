// The information objects (OIDs) a tool may ask a zr48 adapter about: their
// names, the length of their answers, and their values decoded for a person.
// The standard objects the driver answers and the two private ones
// (driver/public.h); any other OID is named by its number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zr48control {

enum class OidFormat {
    Unsigned,         // a u32 count or size
    Counter,          // a 64-bit counter (a 4-byte answer holds its low half)
    LinkSpeed,        // u32 in units of 100 bit/s
    Address,          // 6 bytes
    AddressList,      // 6 bytes per address
    Text,             // 8-bit characters, NUL-terminated
    OidList,          // u32 OIDs
    NdisVersion,      // u16: major in the high byte
    DriverVersion,    // u32: major in the high half
    HardwareStatus,   // NDIS_HARDWARE_STATUS
    Medium,           // NDIS_MEDIUM
    PhysicalMedium,   // NDIS_PHYSICAL_MEDIUM
    ConnectStatus,    // NDIS_MEDIA_STATE
    MacOptions,       // NDIS_MAC_OPTION_ bits
    PacketFilter,     // NDIS_PACKET_TYPE_ bits
    VendorId,         // IEEE OUI and the vendor's own byte
    Statistics,       // the private statistics block (64 bytes after the signature)
    ClearStatistics,  // the private clear: the signature alone
};

struct OidInfo {
    uint32_t oid;
    const char* name;
    OidFormat format;
    uint32_t length;  // the length of a whole answer (of a set's value for the settable ones)
};

// The table entry of an OID, or null.
const OidInfo* FindOid(uint32_t oid);
// Every OID of the table, in its order.
const std::vector<OidInfo>& KnownOids();
// "OID_GEN_LINK_SPEED" for a known OID, "0x12345678" for any other.
std::string OidName(uint32_t oid);
// An OID by its name (case ignored, "OID_" optional: link_speed,
// oid_gen_link_speed, OID_GEN_LINK_SPEED) or its number (decimal or 0x...).
bool ParseOid(const std::string& text, uint32_t* oid, std::string* error);

// The information buffer a query sends: `length` bytes (default the OID's
// whole answer, 4 for an unknown one), zero, except that the private OIDs'
// buffers open with the signature the driver looks for.
std::vector<uint8_t> QueryBuffer(uint32_t oid, std::optional<uint32_t> length);

// The value in `bytes` as a person reads it ("20480 (2048 kbit/s)").
std::string DescribeValue(uint32_t oid, const std::vector<uint8_t>& bytes);

}  // namespace zr48control
