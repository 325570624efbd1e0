// Reading the adapter's configuration and identifying the card.
#include <cstring>
#include <string>

#include "adapter/configuration.h"
#include "card/line_code.h"
#include "datapath/pool_memory.h"
#include "host/diagnostics.h"
#include "tests/support/host_test.h"

using host::ParameterStore;

class ConfigurationReadTest : public HostTest {
protected:
    ParameterStore store;
    Adapter* adapter = nullptr;
    int miniportHandle = 0;  // stands for NDIS's miniport block

    void SetUp() override {
        HostTest::SetUp();
        host::PciSetConfigSpace(0, host::PciMakeConfigSpace(0x1BA7, 0x0316, 0xFEB00008, 11));
        adapter = AdapterConstruct(static_cast<Adapter*>(AllocatePoolMemory(sizeof(Adapter))));
        adapter->MiniportAdapterHandle = &miniportHandle;
        srand(1);
    }
    void TearDown() override {
        AdapterDestroy(adapter);
        FreePoolMemory(adapter);
        HostTest::TearDown();
    }
    NDIS_STATUS Read() {
        NDIS_STATUS status;
        NDIS_HANDLE handle;
        NdisOpenConfiguration(&status, &handle, &store);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        status = ReadAdapterConfiguration(adapter, handle);
        NdisCloseConfiguration(handle);
        return status;
    }
    std::string Address() {
        char text[18];
        const UCHAR* a = adapter->NetworkAddress;
        snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4],
                 a[5]);
        return text;
    }
    std::string StoredAddress() {
        auto v = store.Get("NetworkAddress");
        return v ? v->AsciiString() : "";
    }
};

TEST_F(ConfigurationReadTest, CardIdentityWindowAndInterruptLine) {
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->MemoryBase, 0xFEB00000u);  // the BAR's flag bits cleared
    EXPECT_EQ(adapter->InterruptLine, 11);
}

TEST_F(ConfigurationReadTest, SlotNumberSelectsTheSlotByItsLow16Bits) {
    host::PciClearSlot(0);
    host::PciSetConfigSpace(3, host::PciMakeConfigSpace(0x1BA7, 0x0316, 0xFEC00000, 5));
    store.SetString("SlotNumber", "10003");  // hexadecimal
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->MemoryBase, 0xFEC00000u);
    EXPECT_EQ(adapter->InterruptLine, 5);
}

TEST_F(ConfigurationReadTest, UnusableCardsAreRefused) {
    struct Case {
        const char* name;
        uint16_t vendor, device;
        uint32_t bar;
        uint8_t line;
    };
    for (const Case& c : {Case{"other vendor", 0x8086, 0x0316, 0xFEB00000, 11},
                          Case{"other device", 0x1BA7, 0x0317, 0xFEB00000, 11},
                          Case{"no window", 0x1BA7, 0x0316, 0x0000000F, 11},
                          Case{"no interrupt line", 0x1BA7, 0x0316, 0xFEB00000, 0xFF}}) {
        SCOPED_TRACE(c.name);
        host::PciSetConfigSpace(0, host::PciMakeConfigSpace(c.vendor, c.device, c.bar, c.line));
        adapter->LineRate = 7;
        EXPECT_EQ(Read(), NDIS_STATUS_FAILURE);
        EXPECT_EQ(adapter->LineRate, 7u) << "nothing is read after the identity fails";
    }
    host::PciClearSlot(0);
    EXPECT_EQ(Read(), NDIS_STATUS_FAILURE) << "an empty slot";
}

TEST_F(ConfigurationReadTest, FailedConfigurationSpaceReadIsRefused) {
    host::FailNth(host::Resource::PciConfig, 2);  // the window address
    EXPECT_EQ(Read(), NDIS_STATUS_FAILURE);
    EXPECT_EQ(adapter->MemoryBase, 0u);
}

TEST_F(ConfigurationReadTest, LineRateIsConvertedToRoundedUnitsOf8Kbits) {
    struct Case {
        uint32_t kbits, units;
    };
    for (Case c : {Case{2048, 256}, Case{2048 + 31, 256}, Case{2048 + 32, 260}, Case{8192, 0},
                   Case{31, 0}, Case{6016, 752}, Case{8191, 1020}}) {
        SCOPED_TRACE(c.kbits);
        store.SetInteger("LineRate", c.kbits);
        ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(adapter->LineRate, c.units);
    }
}

TEST_F(ConfigurationReadTest, LineCodeFromItsParameterOrFromTheRate) {
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->LineCode, 4u) << "absent";
    for (auto [given, code] : {std::pair{1u, 0u}, {2u, 1u}, {4u, 3u}, {0u, 2u}, {5u, 2u}}) {
        store.SetInteger("LineCode", given);
        adapter->LineRate = 256;
        ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(adapter->LineCode, code) << "LineCode " << given;
    }
    store.SetInteger("LineRate", 512);  // 64 units
    store.SetInteger("LineCode", 0);
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->LineCode, 3u);
}

TEST_F(ConfigurationReadTest, RateDerivedLineCodeBoundaries) {
    EXPECT_EQ(RateDerivedLineCode(127), 3u);
    EXPECT_EQ(RateDerivedLineCode(128), 2u);
    EXPECT_EQ(RateDerivedLineCode(1151), 2u);
    EXPECT_EQ(RateDerivedLineCode(1152), 1u);
    EXPECT_EQ(RateDerivedLineCode(2559), 1u);
    EXPECT_EQ(RateDerivedLineCode(2560), 0u);
}

TEST_F(ConfigurationReadTest, FlagsQueuesAndAnnexAreTakenAsConfigured) {
    store.SetInteger("TerminalType", 5);
    store.SetInteger("ConfigType", 1);
    store.SetInteger("AlwaysConnected", 1);
    store.SetInteger("CRC", 1);
    store.SetInteger("FillByte", 1);
    store.SetInteger("DataPolarity", 1);
    store.SetInteger("ReadBurst", 0);
    store.SetString("WriteBurst", "0");
    store.SetInteger("AnnexType", 3);
    store.SetInteger("XmtQueueLen", 1);
    store.SetInteger("RcvQueueLen", 200);
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(adapter->TerminalType && adapter->ConfigType && adapter->AlwaysConnected &&
                adapter->Crc && adapter->FillByte && adapter->DataPolarity);
    EXPECT_FALSE(adapter->ReadBurst);
    EXPECT_FALSE(adapter->WriteBurst);
    EXPECT_EQ(adapter->AnnexType, 3u);
    EXPECT_EQ(adapter->XmtQueueLen, 1u);
    EXPECT_EQ(adapter->RcvQueueLen, 200u);
}

TEST_F(ConfigurationReadTest, QueueLengthsUpTo1024AreTaken) {
    store.SetInteger("XmtQueueLen", 1024);
    store.SetInteger("RcvQueueLen", 1024);
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->XmtQueueLen, 1024u);
    EXPECT_EQ(adapter->RcvQueueLen, 1024u);
    EXPECT_TRUE(host::ErrorLog().empty());
}

TEST_F(ConfigurationReadTest, UnreadableValuesKeepTheirDefaults) {
    store.SetString("LineRate", "fast");
    store.SetString("ReadBurst", "no");
    store.SetString("XmtQueueLen", "-3");
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->LineRate, 256u);
    EXPECT_TRUE(adapter->ReadBurst);
    EXPECT_EQ(adapter->XmtQueueLen, 8u);
}

TEST_F(ConfigurationReadTest, ConfiguredAddressIsParsedAndNotWrittenBack) {
    store.SetString("NetworkAddress", "0012ab34CD56");
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Address(), "00:12:AB:34:CD:56");
    EXPECT_TRUE(store.Writes().empty());
}

TEST_F(ConfigurationReadTest, NonHexCharactersCountAsZero) {
    store.SetString("NetworkAddress", "zz0000000001");
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Address(), "00:00:00:00:00:01");
    EXPECT_TRUE(store.Writes().empty());
}

TEST_F(ConfigurationReadTest, MissingOrUnusableAddressIsGeneratedAndWrittenBack) {
    for (const char* configured : {"", "0012ab34CD", "000000000000", "0012ab34CD560"}) {
        SCOPED_TRACE(configured);
        if (*configured) store.SetString("NetworkAddress", configured);
        else store.Remove("NetworkAddress");
        srand(1);  // rand() then gives 41 (0x0029) and 18467 (0x4823)
        ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Address(), "00:FF:29:00:23:48");
        EXPECT_EQ(StoredAddress(), "00FF29002348");
        EXPECT_EQ(store.Get("NetworkAddress")->string.size(), 12u);
    }
}

TEST_F(ConfigurationReadTest, AddressStoredAsANumberIsReplaced) {
    store.SetInteger("NetworkAddress", 0x12345678);
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Address().substr(0, 5), "00:FF");
    EXPECT_EQ(StoredAddress().size(), 12u);
}

TEST_F(ConfigurationReadTest, GeneratedAddressesDifferBetweenCards) {
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    std::string first = Address();
    store.Remove("NetworkAddress");
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_NE(Address(), first);
    EXPECT_EQ(Address().substr(0, 5), "00:FF");
}
