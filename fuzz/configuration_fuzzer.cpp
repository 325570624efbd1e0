// The configuration: any registry value of either type (a DWORD, or a string
// of any UTF-16 characters and length) or none at all for every keyword the
// driver reads, in any spelling of its case; then the adapter is initialized,
// carries a few frames both ways and answers a statistics read when it comes
// up, and is halted. An initialize that fails must fail cleanly, and every
// halt leaves nothing behind (the verifier's ledger). The machine, the driver
// and the card in its slot are kept across inputs.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cardmodel/firmware.h"
#include "fuzz/fuzz_rig.h"
#include "host/verifier.h"
#include "public.h"

namespace {

using host::kMillisecond;
using host::kSecond;

const char* const kKeywords[] = {
    "SlotNumber", "LineRate",  "TerminalType", "ConfigType",  "AnnexType",
    "AlwaysConnected", "LineCode", "CRC",      "FillByte",    "DataPolarity",
    "ReadBurst",  "WriteBurst", "XmtQueueLen", "RcvQueueLen", "NetworkAddress",
};

// A DWORD: small values and the edges around them most of the time, any
// value otherwise.
uint32_t PickDword(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.ConsumeIntegralInRange<uint32_t>(0, 16);
    case 1: return in.ConsumeIntegralInRange<uint32_t>(0, 0x3000);
    case 2: return 0xFFFFFFFFu - in.ConsumeIntegralInRange<uint32_t>(0, 16);
    default: return in.ConsumeIntegral<uint32_t>();
    }
}

// A string: hexadecimal and decimal digits most of the time (what the
// driver and NDIS's conversions look at), any UTF-16 character otherwise.
std::u16string PickString(FuzzedDataProvider& in) {
    static const char kDigits[] = "0123456789abcdefABCDEFx -";
    size_t length = in.ConsumeIntegralInRange<size_t>(0, 16);
    std::u16string text;
    for (size_t i = 0; i < length; ++i) {
        text += in.ConsumeBool()
                    ? static_cast<char16_t>(kDigits[in.ConsumeIntegralInRange<size_t>(
                          0, sizeof kDigits - 2)])
                    : in.ConsumeIntegral<char16_t>();
    }
    return text;
}

std::u16string Spelled(const char* keyword, FuzzedDataProvider& in) {
    std::u16string spelled;
    bool anyCase = in.ConsumeIntegralInRange(0, 7) == 0;
    for (const char* c = keyword; *c; ++c) {
        char letter = anyCase && in.ConsumeBool() ? static_cast<char>(toupper(*c))
                                                   : *c;
        spelled += static_cast<char16_t>(letter);
    }
    return spelled;
}

constexpr uint64_t kInputsPerMachine = 32;

struct Bench {
    std::unique_ptr<testbed::Machine> machine;
    testbed::Unit* unit = nullptr;
    uint64_t inputs = 0;
};

void Build(Bench& bench) {
    host::ResetWorld(fuzz::FuzzWorld());
    host::SetViolationHandler([](const std::string& message) {
        fuzz::Fail("verifier: %s", message.c_str());
    });
    bench.machine = std::make_unique<testbed::Machine>();
    bench.machine->SetFirmwareImage(cardmodel::MakeFirmwareImage(64));
    testbed::AdapterSetup setup;
    setup.card = fuzz::QuickCard();
    setup.card.unlimitedRate = true;
    bench.unit = &bench.machine->AddAdapter(setup);
    cardmodel::LoopbackOptions line;
    line.echo = true;
    line.unlimitedRate = true;
    bench.machine->Loopback(*bench.unit, line);
    bench.unit->nic->SetRecording(false);
}

Bench& TheBench() {
    static Bench* bench = new Bench();
    // A fresh machine now and then: what the world keeps does not grow for
    // ever. NDIS keeps every adapter handle it gave out (each initialize
    // makes one) until the world is reset, and looks through all of them
    // whenever a packet is freed: a few dozen keep that cheap, and a new
    // machine costs less than an initialize.
    if (bench->inputs++ % kInputsPerMachine == 0) {
        bench->machine.reset();
        Build(*bench);
    }
    return *bench;
}

// The adapter came up: frames both ways, a statistics read, whatever the
// line did with the configuration.
void Carry(testbed::Machine& machine, testbed::Unit& unit, FuzzedDataProvider& in) {
    host::Miniport& nic = *unit.nic;
    nic.Set(OID_GEN_CURRENT_PACKET_FILTER,
            host::UlongBytes(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST));
    machine.WaitForLinkUp(unit, kSecond);
    size_t frames = in.ConsumeIntegralInRange<size_t>(0, 4);
    for (size_t i = 0; i < frames; ++i) {
        nic.Send({testbed::MakeFrame(in.ConsumeIntegralInRange<size_t>(14, 1514),
                                     static_cast<uint8_t>(i))});
    }
    std::vector<uint8_t> read(sizeof(StatisticsBlock), 0);
    read[0] = 0x74, read[1] = 0x61, read[2] = 0x74, read[3] = 0x73;
    if (in.ConsumeBool()) nic.Query(OID_ZR48_GET_STATISTICS, read);
    if (!host::RunUntil([&] { return nic.SendsOutstanding() == 0 && !nic.RequestPending(); },
                        10 * kSecond)) {
        fuzz::Fail("a freshly configured adapter does not finish its sends or its request");
    }
    if (in.ConsumeIntegralInRange(0, 7) == 0) nic.Shutdown(DISPATCH_LEVEL);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bench& bench = TheBench();
    testbed::Unit& unit = *bench.unit;
    FuzzedDataProvider in(data, size);
    host::ParameterStore& store = unit.Parameters();
    for (const char* keyword : kKeywords) {
        store.Remove(keyword);
        int kind = in.ConsumeIntegralInRange(0, 3);
        if (kind == 0) continue;  // absent
        std::u16string spelled = Spelled(keyword, in);
        store.Set(spelled, kind == 3 ? host::ParameterValue::String(PickString(in))
                                     : host::ParameterValue::Dword(PickDword(in)));
    }
    if (getenv("ZR48_FUZZ_TRACE")) {
        for (const char* keyword : kKeywords) {
            auto value = store.Get(keyword);
            if (!value) continue;
            if (value->kind == host::ParameterValue::Kind::Dword) {
                fprintf(stderr, "  %s = DWORD 0x%08X\n", keyword, value->dword);
            } else {
                fprintf(stderr, "  %s = \"%s\" (%zu characters)\n", keyword,
                        value->AsciiString().c_str(), value->string.size());
            }
        }
    }
    NDIS_STATUS status = unit.nic->Initialize();
    if (status == NDIS_STATUS_SUCCESS) {
        Carry(*bench.machine, unit, in);
        unit.nic->Halt();
    }
    if (host::LedgerSize() != 0) {
        fuzz::Fail("the adapter left resources behind (initialize 0x%08X): %s", status,
                   host::LedgerReport().c_str());
    }
    return 0;
}
