// What the driver tells the world: DbgPrint formats as the kernel's does
// (its arguments come with the Microsoft x64 convention, LLP64 sizes), and
// error log entries keep their values.
#include <gtest/gtest.h>

#include "host/diagnostics.h"
#include "ndis.h"
#include "tests/support/host_test.h"

namespace {

class DiagnosticsTest : public HostTest {
protected:
    std::string Printed(std::function<void()> print) {
        host::ClearDiagnostics();
        print();
        auto messages = host::DebugMessages();
        return messages.empty() ? "<nothing>" : messages.back();
    }
};

TEST_F(DiagnosticsTest, DbgPrintTakesTheKernelsConversions) {
    EXPECT_EQ(Printed([] { DbgPrint("Init:cannot init DMA & INT\n"); }),
              "Init:cannot init DMA & INT\n");
    // %ld is 32 bits, as on Windows; the 64-bit forms take 64 bits.
    EXPECT_EQ(Printed([] { DbgPrint("%d %u %ld %lx %5d|%-4u|%03x", -7, 7u, -1, 0xFFFFFFFFu, 42, 3u, 10); }),
              "-7 7 -1 ffffffff    42|3   |00a");
    EXPECT_EQ(Printed([] {
                  DbgPrint("%I64x %llu %Iu %I64d", 0x123456789ABCDEFULL, 18446744073709551615ULL,
                           static_cast<size_t>(1) << 40, -5LL);
              }),
              "123456789abcdef 18446744073709551615 1099511627776 -5");
    EXPECT_EQ(Printed([] { DbgPrint("%hd %hhu %c%%", 0x12345, 0x1FF, 'z'); }), "9029 255 z%");
    EXPECT_EQ(Printed([] { DbgPrint("%p", reinterpret_cast<void*>(0xABCDEF)); }),
              "0000000000ABCDEF");
}

TEST_F(DiagnosticsTest, DbgPrintStringsNarrowAndWideAndCounted) {
    UNICODE_STRING name = {8, 10, const_cast<PWSTR>(u"zr48x")};
    EXPECT_EQ(Printed([&] { DbgPrint("%s/%ws/%S/%wZ", "card", u"line", u"\u00e9t\u00e9", &name); }),
              "card/line/?t?/zr48");
    EXPECT_EQ(Printed([] { DbgPrint("%s %ws", static_cast<char*>(nullptr), static_cast<WCHAR*>(nullptr)); }),
              "(null) (null)");
    EXPECT_EQ(Printed([] { DbgPrint("%q and 100%"); }), "%q and 100%");
}

TEST_F(DiagnosticsTest, ErrorLogEntriesKeepTheirValues) {
    int adapter;
    host::ClearDiagnostics();
    NdisWriteErrorLogEntry(&adapter, NDIS_ERROR_CODE_INTERRUPT_CONNECT, 3, 0x11u, 0x2222u,
                           0xFFFFFFFFu);
    auto log = host::ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].adapter, &adapter);
    EXPECT_EQ(log[0].code, NDIS_ERROR_CODE_INTERRUPT_CONNECT);
    EXPECT_EQ(log[0].values, (std::vector<uint32_t>{0x11, 0x2222, 0xFFFFFFFF}));
}

}  // namespace
