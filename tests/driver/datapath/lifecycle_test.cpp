// The adapter's life: registration, initialization and every way it can
// fail, halt with work still in flight, and shutdown.
#include <optional>
#include <string>

#include "datapath/interrupt.h"
#include "datapath/reset.h"
#include "datapath/pool_memory.h"
#include "datapath/receive.h"
#include "datapath/transmit.h"
#include "tests/driver/datapath/datapath_support.h"
#include "entry/miniport.h"
#include "host/diagnostics.h"

using namespace datapath_test;

class LifecycleTest : public DataPathTest {
protected:
    // How often a clean start (and halt) asks for a resource of `kind`.
    uint64_t AttemptsToStart(Unit& unit, host::Resource kind) {
        uint64_t before = host::Attempts(kind);
        EXPECT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
        uint64_t attempts = host::Attempts(kind) - before;
        unit.nic->Halt();
        return attempts;
    }

    // After a failed start: nothing held, nothing registered, the card quiet
    // (a later posting of its controller raises no interrupt), and the next
    // start succeeds.
    void ExpectCleanFailureThenStart(Unit& unit) {
        EXPECT_EQ(host::LedgerSize(), 0u) << host::LedgerReport();
        EXPECT_FALSE(unit.nic->ShutdownHandlerRegistered());
        unit.Card().PostEvent(0x01);
        Advance(host::kMillisecond);
        EXPECT_FALSE(unit.Card().InterruptAsserted());
        host::ClearFaults();
        unit.Card().ClearAnswerFaults();
        host::ClearDiagnostics();
        ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
        unit.nic->Halt();
    }

    static void ExpectHardwareFailureReport(std::optional<uint32_t> logCode) {
        EXPECT_EQ(host::DebugMessages(), std::vector<std::string>{INIT_FAILURE_MESSAGE});
        auto log = host::ErrorLog();
        ASSERT_EQ(log.size(), logCode ? 1u : 0u);
        if (logCode) {
            EXPECT_EQ(log[0].code, *logCode);
            EXPECT_TRUE(log[0].values.empty());
        }
    }
};

TEST_F(LifecycleTest, StartsAsABusMasterDeserializedPciAdapterAndHaltsClean) {
    Unit& unit = machine->AddAdapter();
    ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
    host::MiniportAttributes attributes = unit.nic->Attributes();
    EXPECT_EQ(attributes.flags, 0x28u);
    EXPECT_EQ(attributes.interfaceType, NdisInterfacePci);
    EXPECT_EQ(attributes.checkForHangSeconds, 0u);
    EXPECT_TRUE(unit.nic->ShutdownHandlerRegistered());
    EXPECT_FALSE(unit.nic->CheckForHang());

    unit.nic->Halt();
    EXPECT_EQ(host::LedgerSize(), 0u) << host::LedgerReport();
    EXPECT_EQ(Register(unit, IMR), 0);
    EXPECT_EQ(Register(unit, CR0), 0);
    EXPECT_TRUE(host::DebugMessages().empty());
    EXPECT_TRUE(host::ErrorLog().empty());
}

TEST_F(LifecycleTest, TakesTheFirst8023MediumOfferedAndNothingWithoutOne) {
    Unit& unit = machine->AddAdapter();
    unit.nic->SetMedia({NdisMediumWan, NdisMedium802_5});
    EXPECT_EQ(unit.nic->Initialize(), NDIS_STATUS_UNSUPPORTED_MEDIA);
    EXPECT_EQ(unit.nic->SelectedMediumIndex(), host::kUntouched);
    EXPECT_EQ(host::Attempts(host::Resource::PoolMemory), 0u);
    EXPECT_TRUE(unit.Card().AccessLog().empty());

    unit.nic->SetMedia({NdisMediumWan, NdisMedium802_3, NdisMedium802_3});
    ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.nic->SelectedMediumIndex(), 1u);
}

// Each acquisition of a start, made to fail in turn (the HLK fault walk). The
// early ones fail before the link timer exists, whose stop must then leave
// it alone (the verifier flags cancelling a timer never initialized).
TEST_F(LifecycleTest, EveryFailingAcquisitionFailsTheStartCleanlyAndTheNextStartSucceeds) {
    using host::Resource;
    Unit& unit = machine->AddAdapter();
    for (Resource kind :
         {Resource::Configuration, Resource::PciConfig, Resource::PoolMemory, Resource::IoSpace,
          Resource::MapRegisters, Resource::SharedMemory, Resource::PacketPool,
          Resource::BufferPool, Resource::Packet, Resource::Buffer, Resource::Interrupt,
          Resource::File, Resource::FileMapping}) {
        uint64_t attempts = AttemptsToStart(unit, kind);
        ASSERT_GT(attempts, 0u) << host::ResourceName(kind);
        for (unsigned n = 1; n <= attempts; ++n) {
            SCOPED_TRACE(std::string(host::ResourceName(kind)) + " #" + std::to_string(n));
            host::ClearDiagnostics();
            host::FailNth(kind, n);
            NDIS_STATUS status = unit.nic->Initialize();
            bool beforeHardware = kind == Resource::Configuration ||
                                  kind == Resource::PciConfig ||
                                  (kind == Resource::PoolMemory && n == 1);  // the record
            EXPECT_EQ(status, kind == Resource::Configuration || kind == Resource::PciConfig
                                  ? NDIS_STATUS_FAILURE
                                  : NDIS_STATUS_RESOURCES);
            if (beforeHardware) {
                EXPECT_TRUE(host::DebugMessages().empty());
                EXPECT_TRUE(host::ErrorLog().empty());
            } else if (kind == Resource::Interrupt) {
                ExpectHardwareFailureReport(NDIS_ERROR_CODE_INTERRUPT_CONNECT);
            } else if (kind == Resource::File || kind == Resource::FileMapping) {
                ExpectHardwareFailureReport(status);
            } else {
                ExpectHardwareFailureReport(std::nullopt);
            }
            ExpectCleanFailureThenStart(unit);
        }
    }

    machine->RemoveFirmwareImage();
    host::ClearDiagnostics();
    NDIS_STATUS status = unit.nic->Initialize();
    EXPECT_EQ(status, NDIS_STATUS_FILE_NOT_FOUND);
    ExpectHardwareFailureReport(status);
    machine->SetFirmwareImage(machine->FirmwareImage());
    ExpectCleanFailureThenStart(unit);
}

// Each bring-up step the transceiver refuses or never answers.
TEST_F(LifecycleTest, ATransceiverStepThatFailsFailsTheStartWithItsStatusLogged) {
    Unit& unit = machine->AddAdapter();
    using namespace cardmodel;
    for (uint8_t code : {CMD_DOWNLOAD_START, CMD_DOWNLOAD_DATA, CMD_DOWNLOAD_END, CMD_TERMINAL_TYPE,
                         CMD_LINE_OPTIONS, CMD_LINE_RATE, CMD_LINE_CODE, CMD_FRAMING,
                         CMD_LINE_CODE_OFFSET, CMD_TERMINAL_MODE, CMD_EVENTS}) {
        for (bool refuse : {true, false}) {
            SCOPED_TRACE(testing::Message()
                         << (refuse ? "refused " : "unanswered ") << std::hex << int(code));
            host::ClearDiagnostics();
            if (refuse) {
                unit.Card().FailAnswer(RESULT_BAD_PARAMETER, code);
            } else {
                unit.Card().WithholdAnswer(code);
            }
            EXPECT_EQ(unit.nic->Initialize(), NDIS_STATUS_FAILURE);
            ExpectHardwareFailureReport(NDIS_STATUS_FAILURE);
            ExpectCleanFailureThenStart(unit);
        }
    }
    for (uint8_t stage : {STAGE_AWAITING_FIRMWARE, STAGE_FIRMWARE_RUNNING}) {
        host::ClearDiagnostics();
        unit.Card().SuppressStage(stage);
        EXPECT_EQ(unit.nic->Initialize(), NDIS_STATUS_FAILURE);
        ExpectHardwareFailureReport(NDIS_STATUS_FAILURE);
        unit.Card().SuppressStage(stage, false);
        ExpectCleanFailureThenStart(unit);
    }
    // The counter clear's answer does not matter.
    unit.Card().FailAnswer(RESULT_BAD_PARAMETER, CMD_COUNTERS);
    ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
}

// Every queue length the driver takes works, whether or not the 128-slot
// rings can use all its buffers; the longest it takes (1024 of each) asks for
// a shared block within the 4 MB that Windows gives in one contiguous piece.
TEST_F(LifecycleTest, QueueLengthsTheDriverTakesWork) {
    Unit& unit = machine->AddAdapter();
    machine->Loopback(unit);
    for (uint32_t length : {1u, 127u, 200u, 1024u}) {
        SCOPED_TRACE(length);
        unit.Parameters().SetInteger("XmtQueueLen", length);
        unit.Parameters().SetInteger("RcvQueueLen", length);
        unit.nic->ClearRecords();
        machine->Start(unit);
        ASSERT_TRUE(machine->LinkUp(unit));
        auto frames = Frames(5, 300);
        SendFrames(unit, frames);
        ExpectOnLine(unit, frames);
        for (const auto& f : frames) DeliverFromLine(unit, {f});
        AwaitCompletions(unit);
        ASSERT_EQ(unit.nic->Completions().size(), 5u);
        for (const auto& done : unit.nic->Completions()) {
            EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
        }
        unit.nic->Halt();
    }
}

// A queue of no buffers would give an adapter that reports its line up and
// never sends (or never receives); one of thousands or millions asks for a
// DMA block of megabytes to gigabytes, beyond 32 bits even (the configuration
// fuzzer's inputs starved the machine): the default stands, and the error log
// names the keyword, the value read and the value used. Up to 1024 buffers
// of each kind are taken.
TEST_F(LifecycleTest, QueueLengthsOfZeroOrBeyond1024KeepTheirDefaultsAndAreLogged) {
    Unit& unit = machine->AddAdapter();
    machine->Loopback(unit);
    const uint32_t kPastThirtyTwoBits = 0xFFFFFFFFu / FRAME_SLOT_SIZE - 7;  // with the 8 others
    const uint32_t transmit = 'X' | 'm' << 8 | 't' << 16 | 'Q' << 24;
    const uint32_t receive = 'R' | 'c' << 8 | 'v' << 16 | 'Q' << 24;
    struct Case {
        uint32_t xmt, rcv;
        uint32_t tag, read, used;
    } cases[] = {{0, 16, transmit, 0, 8},
                 {8, 0, receive, 0, 16},
                 {1025, 16, transmit, 1025, 8},
                 {8, 0x24AD, receive, 0x24AD, 16},
                 {8, kPastThirtyTwoBits, receive, kPastThirtyTwoBits, 16},
                 {0xFFFFFFFF, 16, transmit, 0xFFFFFFFF, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.xmt) + " + " + std::to_string(c.rcv));
        unit.Parameters().SetInteger("XmtQueueLen", c.xmt);
        unit.Parameters().SetInteger("RcvQueueLen", c.rcv);
        host::ClearDiagnostics();
        unit.nic->ClearRecords();
        machine->Start(unit);
        ASSERT_TRUE(machine->LinkUp(unit));
        auto log = host::ErrorLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].code, 0xC0001391u);  // NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION
        EXPECT_EQ(log[0].values, (std::vector<uint32_t>{c.tag, c.read, c.used}));
        auto frames = Frames(3, 100);
        SendFrames(unit, frames);
        for (const auto& f : frames) unit.loopback->InjectFrame(f);
        Advance(100 * host::kMillisecond);
        ASSERT_EQ(unit.nic->Completions().size(), 3u);
        for (const auto& done : unit.nic->Completions()) EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(unit.nic->Received().size(), 3u);
        unit.nic->Halt();
    }
}

TEST_F(LifecycleTest, ShutdownSilencesTheCardAndLeavesAnUnmappedOneAlone) {
    Unit& unit = StartedAdapter();
    unit.Card().ClearAccessLog();
    ASSERT_TRUE(unit.nic->Shutdown(HOST_DEVICE_LEVEL));
    EXPECT_EQ(Accesses(unit),
              (std::vector<std::string>{"W IMR=0x00", "W CR1=0x08", "W CR0=0x00", "W ISR=0xFF"}));

    // Registered before the window is mapped: an adapter record without a
    // window is left as it is.
    auto* adapter = static_cast<Adapter*>(AllocatePoolMemory(sizeof(Adapter)));
    AdapterConstruct(adapter);
    unit.Card().ClearAccessLog();
    host::RunAtIrql(HOST_DEVICE_LEVEL, "MiniportShutdown", [&] { MiniportShutdown(adapter); });
    EXPECT_TRUE(unit.Card().AccessLog().empty());
    AdapterDestroy(adapter);
    FreePoolMemory(adapter);
}

TEST_F(LifecycleTest, HaltCompletesEverySendItHoldsOnceAndAPendingStatisticsRequest) {
    Unit& unit = StartedAdapter({{"XmtQueueLen", 3}});
    auto ids = SendFrames(unit, Frames(5, 1514));
    ASSERT_TRUE(unit.nic->Query(OID_ZR48_GET_STATISTICS, StatisticsRequest()).pended);

    unit.nic->Halt();
    // the ring's three first, then the two waiting
    ExpectCompletions(unit, ids, NDIS_STATUS_REQUEST_ABORTED);
    EXPECT_TRUE(unit.nic->LastRequest().completed);
    EXPECT_EQ(unit.nic->LastRequest().status, NDIS_STATUS_FAILURE);
}

// A deferred call queued before halt runs while the interrupt is released:
// it stays off the rings and leaves the card masked.
TEST_F(LifecycleTest, HaltWithInterruptWorkQueuedIndicatesAndUnmasksNothing) {
    Unit& unit = StartedAdapter();
    uint64_t isrRuns = InterruptsOf(unit).isrRuns;
    ASSERT_TRUE(unit.loopback->InjectFrame(MakeFrame(100)));
    ASSERT_TRUE(host::RunUntil([&] { return InterruptsOf(unit).isrRuns > isrRuns; },
                               host::kSecond));
    uint64_t deferredRuns = InterruptsOf(unit).deferredRuns;

    unit.nic->Halt();
    EXPECT_EQ(InterruptsOf(unit).deferredRuns, deferredRuns + 1);
    EXPECT_TRUE(unit.nic->Received().empty());
    EXPECT_EQ(Register(unit, IMR), 0);
}

// The line dropped and its check is still due when halt comes: the timer is
// cancelled and nothing is indicated afterwards.
TEST_F(LifecycleTest, HaltCancelsALinkCheckStillDue) {
    Unit& unit = StartedAdapter();
    unit.loopback->StopPartner();
    Advance(100 * host::kMillisecond);
    ASSERT_EQ(host::LedgerCount(host::Resource::Timer), 1u);
    size_t statuses = unit.nic->StatusIndications().size();
    unit.nic->Halt();
    Advance(host::kSecond);
    EXPECT_EQ(unit.nic->StatusIndications().size(), statuses);
}
