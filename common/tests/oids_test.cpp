// The OIDs a tool names and the values it prints for a person.
#include <gtest/gtest.h>

#include "common/oids.h"
#include "driver/public.h"

using namespace zr48control;

TEST(OidsTest, AnOidGoesByItsNameItsEndOrItsNumber) {
    struct Case {
        const char* text;
        uint32_t oid;
    } cases[] = {
        {"OID_GEN_LINK_SPEED", 0x00010107}, {"oid_gen_link_speed", 0x00010107},
        {"GEN_LINK_SPEED", 0x00010107},     {"link_speed", 0x00010107},
        {"packet_filter", 0x0001010E},      {"current_address", 0x01010102},
        {"get_statistics", OID_ZR48_GET_STATISTICS}, {"0xFF020211", OID_ZR48_CLEAR_STATISTICS},
        {"65799", 0x00010107},              {"0x12345678", 0x12345678},
    };
    for (auto& c : cases) {
        uint32_t oid = 0;
        std::string error;
        EXPECT_TRUE(ParseOid(c.text, &oid, &error)) << c.text << ": " << error;
        EXPECT_EQ(oid, c.oid) << c.text;
    }
    uint32_t oid;
    std::string error;
    EXPECT_FALSE(ParseOid("address", &oid, &error));
    EXPECT_EQ(error, "ambiguous OID name: address (OID_802_3_PERMANENT_ADDRESS or "
                     "OID_802_3_CURRENT_ADDRESS)");
    EXPECT_FALSE(ParseOid("speed_of_light", &oid, &error));
    EXPECT_NE(error.find("unknown OID name"), std::string::npos);
    EXPECT_FALSE(ParseOid("12ab", &oid, &error));
    EXPECT_FALSE(ParseOid("", &oid, &error));
    EXPECT_EQ(OidName(0x00010107), "OID_GEN_LINK_SPEED");
    EXPECT_EQ(OidName(0x00ABCDEF), "0x00ABCDEF");
}

// Every OID the driver answers has an entry, so that a query prints it
// decoded; the table's lengths are those of whole answers.
TEST(OidsTest, ValuesReadAsTheirMeaning) {
    struct Case {
        uint32_t oid;
        std::vector<uint8_t> bytes;
        const char* text;
    } cases[] = {
        {0x00010107, {0x00, 0x50, 0, 0}, "20480 (units of 100 bit/s: 2048 kbit/s)"},
        {0x00010114, {1, 0, 0, 0}, "1 (disconnected)"},
        {0x00010202, {5, 0, 0, 0}, "5 (DSL)"},
        {0x00010113, {0x1D, 0, 0, 0},
         "0x0000001D (COPY_LOOKAHEAD_DATA | TRANSFERS_NOT_PEND | NO_LOOPBACK | FULL_DUPLEX)"},
        {0x0001010E, {0x00, 0x01, 0, 0}, "0x00000100 (0x100)"},
        {0x00010110, {0x00, 0x05}, "0x0500 (NDIS 5.0)"},
        {0x00010116, {0x0A, 0, 1, 0}, "0x0001000A (version 1.10)"},
        {0x01010102, {0x02, 0x48, 0, 0, 0, 1}, "02:48:00:00:00:01"},
        {0x01010103, {}, "(no bytes)"},
        {0x00020101, {1, 2, 0, 0}, "513 (the low 4 bytes)"},
        {0x00020101, {1, 0, 0, 0, 0, 0, 0, 1}, "72057594037927937"},
        {0x0001010D, {'Z', 'R', 0, 'x'}, "\"ZR\""},
        {0x0001010C, {0x00, 0x48, 0x00, 0x00},
         "00-48-00 (IEEE vendor code), 0x00 (the vendor's own byte)"},
        {0x00ABCDEF, {1, 2, 3}, "01 02 03"},
    };
    for (auto& c : cases) EXPECT_EQ(DescribeValue(c.oid, c.bytes), c.text) << OidName(c.oid);
    EXPECT_EQ(DescribeValue(0x00010101, {0x01, 0x01, 0x01, 0x00, 0x10, 0x02, 0x02, 0x00}),
              "2 OIDs:\n    OID_GEN_SUPPORTED_LIST\n    0x00020210");
    EXPECT_NE(DescribeValue(OID_ZR48_GET_STATISTICS, std::vector<uint8_t>(64, 0))
                  .find("the statistics block\n  frames sent (XmitOk)"),
              std::string::npos);
    EXPECT_EQ(QueryBuffer(0x00010101, std::nullopt).size(), 148u);
    EXPECT_EQ(QueryBuffer(0x00ABCDEF, std::nullopt).size(), 4u);
    EXPECT_EQ(QueryBuffer(OID_ZR48_CLEAR_STATISTICS, std::nullopt),
              (std::vector<uint8_t>{'t', 'a', 't', 's'}));
    EXPECT_EQ(QueryBuffer(OID_ZR48_GET_STATISTICS, 2u), (std::vector<uint8_t>{'t', 'a'}));
}
