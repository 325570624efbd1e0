// Configuration parameters as NdisReadConfiguration converts them, and PCI
// configuration space.
#include "tests/support/host_test.h"

using namespace host;

class ConfigurationTest : public HostTest {
protected:
    ParameterStore store;
    NDIS_HANDLE handle = nullptr;

    void SetUp() override {
        HostTest::SetUp();
        NDIS_STATUS status;
        NdisOpenConfiguration(&status, &handle, &store);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    }
    void TearDown() override {
        if (handle) NdisCloseConfiguration(handle);
        HostTest::TearDown();
    }
    NDIS_STATUS Read(const std::u16string& keyword, NDIS_PARAMETER_TYPE type,
                     PNDIS_CONFIGURATION_PARAMETER* out) {
        std::u16string k = keyword;
        NDIS_STRING s{static_cast<USHORT>(k.size() * 2), static_cast<USHORT>(k.size() * 2),
                      k.data()};
        NDIS_STATUS status;
        NdisReadConfiguration(&status, out, handle, &s, type);
        return status;
    }
};

TEST_F(ConfigurationTest, DwordValuesReadAsIntegersOfEitherKind) {
    store.SetInteger("LineRate", 2048);
    PNDIS_CONFIGURATION_PARAMETER p;
    ASSERT_EQ(Read(u"LineRate", NdisParameterInteger, &p), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p->ParameterType, NdisParameterInteger);
    EXPECT_EQ(p->ParameterData.IntegerData, 2048u);
    ASSERT_EQ(Read(u"linerate", NdisParameterHexInteger, &p), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p->ParameterData.IntegerData, 2048u);
}

TEST_F(ConfigurationTest, StringValuesAreParsedInTheRequestedBase) {
    store.SetString("LineRate", " 2048 ");
    store.SetString("SlotNumber", "0x1f");
    store.SetString("Bad", "2048k");
    store.SetString("Huge", "4294967296");
    PNDIS_CONFIGURATION_PARAMETER p;
    ASSERT_EQ(Read(u"LineRate", NdisParameterInteger, &p), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p->ParameterData.IntegerData, 2048u);
    ASSERT_EQ(Read(u"LineRate", NdisParameterHexInteger, &p), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p->ParameterData.IntegerData, 0x2048u);
    ASSERT_EQ(Read(u"SlotNumber", NdisParameterHexInteger, &p), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p->ParameterData.IntegerData, 0x1Fu);
    EXPECT_EQ(Read(u"SlotNumber", NdisParameterInteger, &p), NDIS_STATUS_FAILURE);
    EXPECT_EQ(Read(u"Bad", NdisParameterInteger, &p), NDIS_STATUS_FAILURE);
    EXPECT_EQ(Read(u"Huge", NdisParameterInteger, &p), NDIS_STATUS_FAILURE);
}

TEST_F(ConfigurationTest, StringsAreCountedAndDwordsReadAsStringsStayIntegers) {
    store.SetString("NetworkAddress", "0012ab34CD56");
    store.SetInteger("Number", 7);
    PNDIS_CONFIGURATION_PARAMETER p;
    ASSERT_EQ(Read(u"NetworkAddress", NdisParameterString, &p), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p->ParameterType, NdisParameterString);
    EXPECT_EQ(p->ParameterData.StringData.Length, 24);
    EXPECT_EQ(std::u16string(p->ParameterData.StringData.Buffer, 12), u"0012ab34CD56");
    ASSERT_EQ(Read(u"Number", NdisParameterString, &p), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p->ParameterType, NdisParameterInteger);
    EXPECT_EQ(p->ParameterData.IntegerData, 7u);
}

TEST_F(ConfigurationTest, MissingKeywordFailsAndLeavesTheAnswerAlone) {
    PNDIS_CONFIGURATION_PARAMETER p = reinterpret_cast<PNDIS_CONFIGURATION_PARAMETER>(0x1234);
    EXPECT_EQ(Read(u"Nothing", NdisParameterInteger, &p), NDIS_STATUS_FAILURE);
    EXPECT_EQ(p, reinterpret_cast<PNDIS_CONFIGURATION_PARAMETER>(0x1234));
}

TEST_F(ConfigurationTest, WrittenValuesAreVisibleToTheTest) {
    char16_t text[] = u"00FF12345678";
    NDIS_STRING keyword{28, 28, const_cast<char16_t*>(u"NetworkAddress")};
    NDIS_CONFIGURATION_PARAMETER value{};
    value.ParameterType = NdisParameterString;
    value.ParameterData.StringData = {24, 24, text};
    NDIS_STATUS status;
    NdisWriteConfiguration(&status, handle, &keyword, &value);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    auto stored = store.Get("networkaddress");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->AsciiString(), "00FF12345678");
    EXPECT_EQ(store.Writes(), std::vector<std::string>{"networkaddress"});
}

TEST_F(ConfigurationTest, OpenCanBeMadeToFail) {
    FailNth(Resource::Configuration, 1);
    NDIS_HANDLE second = nullptr;
    NDIS_STATUS status;
    NdisOpenConfiguration(&status, &second, &store);
    EXPECT_EQ(status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(LedgerCount(Resource::Configuration), 1u);  // the fixture's own
}

TEST_F(ConfigurationTest, UnclosedHandleStaysInTheLedger) {
    NdisCloseConfiguration(handle);
    handle = nullptr;
    NDIS_HANDLE leaked;
    NDIS_STATUS status;
    NdisOpenConfiguration(&status, &leaked, &store);
    EXPECT_NE(LedgerReport().find("configuration handle"), std::string::npos);
    NdisCloseConfiguration(leaked);
}

class PciTest : public HostTest {};

TEST_F(PciTest, EmptySlotReadsAllOnesAndReadsAreClippedAtTheEnd) {
    int dummy;
    uint32_t word = 0;
    EXPECT_EQ(NdisReadPciSlotInformation(&dummy, 3, 0, &word, 4), 4u);
    EXPECT_EQ(word, 0xFFFFFFFFu);
    PciSetConfigSpace(3, PciMakeConfigSpace(0x1BA7, 0x0316, 0xFEB00008, 11));
    EXPECT_EQ(NdisReadPciSlotInformation(&dummy, 3, 0, &word, 4), 4u);
    EXPECT_EQ(word, 0x03161BA7u);
    EXPECT_EQ(NdisReadPciSlotInformation(&dummy, 3, 254, &word, 4), 2u);
    FailNth(Resource::PciConfig, 1);
    EXPECT_EQ(NdisReadPciSlotInformation(&dummy, 3, 0, &word, 4), 0u);
}
