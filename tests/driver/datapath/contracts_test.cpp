// The driver states its lock and IRQL contracts as assertions; on the host a
// broken one is a verifier violation that names it, not a corrupted queue.
#include "datapath/interrupt.h"
#include "datapath/receive.h"
#include "datapath/transmit.h"
#include "tests/driver/datapath/datapath_support.h"

using namespace datapath_test;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

class ContractTest : public DataPathTest {};

TEST_F(ContractTest, RingWorkWithoutTheAdapterLockIsReported) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    Adapter& adapter = AdapterOf(unit);
    auto violations = CaptureViolations([&] {
        host::RunAtIrql(DISPATCH_LEVEL, "test", [&] { StartTransmit(&adapter); });
    });
    EXPECT_TRUE(AnyContains(violations, "assertion failed: AdapterLockHeld(&adapter->Lock)"))
        << ::testing::PrintToString(violations);
    EXPECT_TRUE(AnyContains(violations, "transmit.cpp")) << ::testing::PrintToString(violations);
}

TEST_F(ContractTest, CompletingUnderANestedLockIsReported) {
    ZR48_WHITE_BOX();
    // Completions drop the lock around the call into NDIS; nested, the spin
    // lock would stay held across it.
    Unit& unit = StartedAdapter();
    Adapter& adapter = AdapterOf(unit);
    auto violations = CaptureViolations([&] {
        AcquireAdapterLock(&adapter.Lock);
        AcquireAdapterLock(&adapter.Lock);
        CompleteTransmits(&adapter);
        ReleaseAdapterLock(&adapter.Lock);
        ReleaseAdapterLock(&adapter.Lock);
    });
    EXPECT_TRUE(AnyContains(violations, "AdapterLockHeldOnce")) << ::testing::PrintToString(violations);
}

TEST_F(ContractTest, DeferredRoutineEnteredWithTheLockHeldIsReported) {
    ZR48_WHITE_BOX();
    Unit& unit = StartedAdapter();
    Adapter& adapter = AdapterOf(unit);
    auto violations = CaptureViolations([&] {
        AcquireAdapterLock(&adapter.Lock);
        MiniportHandleInterrupt(&adapter);
        ReleaseAdapterLock(&adapter.Lock);
    });
    EXPECT_TRUE(AnyContains(violations, "!AdapterLockHeld(&adapter->Lock)"))
        << ::testing::PrintToString(violations);
}

TEST_F(ContractTest, KeptContractsAreSilent) {
    Unit& unit = StartedAdapter();
    auto violations = CaptureViolations([&] {
        unit.nic->Send({MakeFrame(100)});
        Advance(10 * host::kMillisecond);
        unit.nic->Query(OID_GEN_XMIT_OK, 8);
    });
    EXPECT_TRUE(violations.empty()) << ::testing::PrintToString(violations);
    EXPECT_EQ(unit.nic->Completions().size(), 1u);
}
