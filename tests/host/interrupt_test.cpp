// Interrupt delivery: the ISR at device level, the deferred routine at
// dispatch level, a level-sensitive line, storms and deregistration.
#include <atomic>
#include <functional>
#include <thread>

#include "../../host/src/internal.h"
#include "../../host/src/internal_devices.h"
#include "../../host/src/internal_miniport.h"
#include "host/bus.h"
#include "host/interrupts.h"
#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

namespace {

constexpr unsigned kVector = 11;

// A device whose line is asserted while any status bit is pending, and the
// miniport that serves it: its ISR acknowledges what it finds (or one bit per
// run), its deferred routine records that it ran.
struct ToyMiniport {
    uint8_t status = 0;
    bool recognize = true;
    bool acknowledge = true;
    bool oneBitPerIsr = false;
    std::vector<std::string> events;
    std::function<void()> inDeferred;
    std::function<void()> inIsr;

    void Raise(uint8_t bits) {
        status |= bits;
        SetInterruptLine(kVector, this, status != 0);
    }
    void Acknowledge(uint8_t bits) {
        status &= static_cast<uint8_t>(~bits);
        SetInterruptLine(kVector, this, status != 0);
    }
};

std::string At(const char* what) { return std::string(what) + "@" + std::to_string(KeGetCurrentIrql()); }

void NTAPI ToyIsr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE context) {
    auto* m = static_cast<ToyMiniport*>(context);
    m->events.push_back(At("isr"));
    if (m->inIsr) m->inIsr();
    *recognized = m->recognize && m->status != 0;
    *queue = *recognized;
    if (!*recognized || !m->acknowledge) return;
    m->Acknowledge(m->oneBitPerIsr ? static_cast<uint8_t>(m->status & -m->status) : m->status);
}

void NTAPI ToyDeferred(NDIS_HANDLE context) {
    auto* m = static_cast<ToyMiniport*>(context);
    m->events.push_back(At("dpc"));
    if (m->inDeferred) m->inDeferred();
}

NDIS_HANDLE HandleOf(int n) { return reinterpret_cast<NDIS_HANDLE>(0x3000 + n); }

class InterruptTest : public HostTest {
protected:
    ToyMiniport toy;
    NDIS_MINIPORT_INTERRUPT interrupt;
    std::shared_ptr<internal::MiniportState> block = Block(&toy);
    NDIS_HANDLE const handle = block.get();

    void SetUp() override {
        HostTest::SetUp();
        internal::RegisterAdapter(block);
    }
    // The toy's miniport block, running, as Miniport::Initialize leaves it;
    // its handle is its address. Registered, its interrupts find the toy.
    static std::shared_ptr<internal::MiniportState> Block(ToyMiniport* m) {
        auto block = std::make_shared<internal::MiniportState>();
        block->handlers.Ndis40Chars.Ndis30Chars.ISRHandler = ToyIsr;
        block->handlers.Ndis40Chars.Ndis30Chars.HandleInterruptHandler = ToyDeferred;
        block->context = m;
        block->phase = internal::Phase::Running;
        return block;
    }
    NDIS_STATUS Register(PNDIS_MINIPORT_INTERRUPT i, NDIS_HANDLE h, BOOLEAN shared = TRUE) {
        return NdisMRegisterInterrupt(i, h, kVector, kVector, TRUE, shared,
                                      NdisInterruptLevelSensitive);
    }
    void Register() { ASSERT_EQ(Register(&interrupt, handle), NDIS_STATUS_SUCCESS); }
};

using Events = std::vector<std::string>;

}  // namespace

TEST_F(InterruptTest, IsrRunsAtDeviceLevelThenTheDeferredRoutineAtDispatchLevel) {
    Register();
    toy.Raise(0x01);
    EXPECT_TRUE(toy.events.empty());  // nothing runs until the clock moves
    RunPending();
    EXPECT_EQ(toy.events, (Events{"isr@12", "dpc@2"}));
    InterruptCounts c = InterruptCountsOf(kVector);
    EXPECT_EQ(c.delivered, 1u);
    EXPECT_EQ(c.isrRuns, 1u);
    EXPECT_EQ(c.deferredRuns, 1u);
    EXPECT_EQ(LedgerFind(Resource::Interrupt, &interrupt)->owner, handle);
    NdisMDeregisterInterrupt(&interrupt);
}

TEST_F(InterruptTest, IsrIsReachedFromInitializationUntilHaltOnly) {
    // MiniportInitialize may connect its interrupt and see it fire before it
    // returns; once MiniportHalt has returned the handlers are no longer
    // called, even through an interrupt the miniport left connected.
    block->phase = internal::Phase::Initializing;
    Register();
    toy.Raise(0x01);
    RunPending();
    EXPECT_EQ(toy.events, (Events{"isr@12", "dpc@2"}));
    block->phase = internal::Phase::Halted;
    toy.Raise(0x01);
    auto v = CaptureViolations([] { RunPending(); });
    EXPECT_TRUE(AnyContains(v, "has no registered MiniportIsr"));
    EXPECT_EQ(toy.events.size(), 2u);
    toy.Acknowledge(0xFF);
    NdisMDeregisterInterrupt(&interrupt);
}

TEST_F(InterruptTest, LineStillAssertedReentersTheIsrAndTheDeferredRoutineIsQueuedOnce) {
    toy.oneBitPerIsr = true;
    Register();
    toy.Raise(0x07);
    RunPending();
    EXPECT_EQ(toy.events, (Events{"isr@12", "isr@12", "isr@12", "dpc@2"}));
    EXPECT_EQ(InterruptCountsOf(kVector).delivered, 3u);
    NdisMDeregisterInterrupt(&interrupt);
}

TEST_F(InterruptTest, RegisteringOnAnAssertedLineDelivers) {
    toy.Raise(0x01);
    Register();
    RunPending();
    EXPECT_EQ(toy.events, (Events{"isr@12", "dpc@2"}));
    NdisMDeregisterInterrupt(&interrupt);
}

TEST_F(InterruptTest, StormIsReportedAndStopsDeliveryOnTheLine) {
    toy.recognize = false;
    Register();
    toy.Raise(0x01);
    auto v = CaptureViolations([] { RunPending(); });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, "interrupt storm on vector 11"));
    EXPECT_TRUE(AnyContains(v, "no ISR recognized it"));
    EXPECT_EQ(InterruptCountsOf(kVector).isrRuns, 10000u);
    EXPECT_TRUE(InterruptCountsOf(kVector).stormed);
    toy.Raise(0x02);
    RunPending();
    EXPECT_EQ(InterruptCountsOf(kVector).isrRuns, 10000u);

    // A fresh registration on the vector starts clean.
    NdisMDeregisterInterrupt(&interrupt);
    toy.recognize = true;
    toy.acknowledge = false;
    Register();
    v = CaptureViolations([] { RunPending(); });
    EXPECT_TRUE(AnyContains(v, "recognized it but did not silence the device"));
    toy.Acknowledge(0xFF);
    NdisMDeregisterInterrupt(&interrupt);
}

TEST_F(InterruptTest, DeregistrationRunsAQueuedDeferredRoutineBeforeReturning) {
    Register();
    toy.Raise(0x01);
    // Queued after the delivery, so it runs between the ISR and the deferred
    // routine the ISR queues.
    ScheduleAfter(0, [&] {
        EXPECT_EQ(toy.events, (Events{"isr@12"}));
        NdisMDeregisterInterrupt(&interrupt);
        toy.events.push_back("deregistered");
    }, "halt");
    RunPending();
    EXPECT_EQ(toy.events, (Events{"isr@12", "dpc@2", "deregistered"}));
    EXPECT_EQ(PendingWork(), 0u);
    EXPECT_EQ(InterruptsRegisteredOn(kVector), 0u);
}

TEST_F(InterruptTest, DeliveryQueuedBeforeDeregistrationNeverReachesTheDriver) {
    Register();
    toy.Raise(0x01);
    NdisMDeregisterInterrupt(&interrupt);
    RunPending();
    toy.Raise(0x02);
    RunPending();
    EXPECT_TRUE(toy.events.empty());
}

TEST_F(InterruptTest, SharedLineRunsTheChainUntilAnIsrRecognizes) {
    ToyMiniport second;
    NDIS_MINIPORT_INTERRUPT secondInterrupt, exclusive;
    auto secondBlock = Block(&second);
    internal::RegisterAdapter(secondBlock);
    Register();
    EXPECT_EQ(Register(&exclusive, HandleOf(2), FALSE), NDIS_STATUS_RESOURCE_CONFLICT);
    ASSERT_EQ(Register(&secondInterrupt, secondBlock.get()), NDIS_STATUS_SUCCESS);
    // The second device raises the shared line: the first ISR looks and
    // declines, the second claims it.
    second.status = 0x04;
    SetInterruptLine(kVector, &second, true);
    RunPending();
    EXPECT_EQ(toy.events, (Events{"isr@12"}));
    EXPECT_EQ(second.events, (Events{"isr@12", "dpc@2"}));
    NdisMDeregisterInterrupt(&secondInterrupt);
    NdisMDeregisterInterrupt(&interrupt);
}

TEST_F(InterruptTest, RegistrationContractsAreChecked) {
    FailNth(Resource::Interrupt, 1);
    EXPECT_EQ(Register(&interrupt, handle), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(LedgerCount(Resource::Interrupt), 0u);
    Register();
    auto v = CaptureViolations([&] {
        EXPECT_EQ(Register(&interrupt, handle), NDIS_STATUS_FAILURE);
        NDIS_MINIPORT_INTERRUPT latched;
        EXPECT_EQ(NdisMRegisterInterrupt(&latched, handle, 5, 5, TRUE, FALSE, NdisInterruptLatched),
                  NDIS_STATUS_NOT_SUPPORTED);
        NdisMDeregisterInterrupt(&interrupt);
        NdisMDeregisterInterrupt(&interrupt);
    });
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(AnyContains({v[0]}, "registered already"));
    EXPECT_TRUE(AnyContains({v[1]}, "level-sensitive"));
    EXPECT_TRUE(AnyContains({v[2]}, "not registered (deregistered twice?)"));
}

namespace {
void NTAPI SilentIsr(PBOOLEAN, PBOOLEAN, NDIS_HANDLE context) {
    static_cast<ToyMiniport*>(context)->Acknowledge(0xFF);
}
void NTAPI TimerThatMustNotRun(PVOID, PVOID, PVOID, PVOID) { FAIL(); }
}  // namespace

TEST_F(InterruptTest, IsrThatLeavesItsAnswersUnsetIsReported) {
    block->handlers.Ndis40Chars.Ndis30Chars.ISRHandler = SilentIsr;
    Register();
    toy.Raise(0x01);
    auto v = CaptureViolations([] { RunPending(); });
    EXPECT_TRUE(AnyContains(v, "returned without setting InterruptRecognized"));
    EXPECT_EQ(InterruptCountsOf(kVector).deferredRuns, 0u);
    NdisMDeregisterInterrupt(&interrupt);
}

// The adapter a thread looked up last is looked at first: another handle is
// still told apart, and once the machine is reset its handle names nothing.
TEST_F(InterruptTest, AnAdapterLookedUpLastIsToldApartAndForgottenOnReset) {
    ToyMiniport second;
    auto secondBlock = Block(&second);
    internal::RegisterAdapter(secondBlock);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(internal::AdapterFor(handle, "test", internal::Use::Call), block);
        EXPECT_EQ(internal::AdapterFor(secondBlock.get(), "test", internal::Use::Call),
                  secondBlock);
    }
    internal::MiniportHandlers handlers{};
    ASSERT_TRUE(internal::LookupMiniport(handle, &handlers));
    EXPECT_EQ(handlers.adapterContext, &toy);
    auto v = CaptureViolations(
        [&] { EXPECT_EQ(internal::AdapterFor(HandleOf(7), "test", internal::Use::Call), nullptr); });
    EXPECT_TRUE(AnyContains(v, "test(0x3007): not a miniport adapter handle"));
    EXPECT_FALSE(internal::LookupMiniport(HandleOf(7), &handlers));

    ResetWorld(WorldOptions());
    v = CaptureViolations(
        [&] { EXPECT_EQ(internal::AdapterFor(handle, "test", internal::Use::Call), nullptr); });
    EXPECT_TRUE(AnyContains(v, "not a miniport adapter handle"));
    EXPECT_FALSE(internal::LookupMiniport(secondBlock.get(), &handlers));
}

TEST_F(InterruptTest, ForgettingAMiniportDropsItsDevicesSilently) {
    Register();
    NDIS_MINIPORT_TIMER timer;
    NdisMInitializeTimer(&timer, handle, TimerThatMustNotRun, nullptr);
    NdisMSetTimer(&timer, 10);
    ASSERT_EQ(NdisMAllocateMapRegisters(handle, 0, TRUE, 1, 4096), NDIS_STATUS_SUCCESS);
    PVOID va;
    NDIS_PHYSICAL_ADDRESS pa;
    NdisMAllocateSharedMemory(handle, 64, TRUE, &va, &pa);
    toy.Raise(0x01);
    EXPECT_EQ(internal::ArmedTimers(handle), 1u);
    EXPECT_EQ(internal::RegisteredInterrupts(handle), 1u);

    internal::ForgetMiniportDevices(handle);
    EXPECT_EQ(LedgerSize(), 0u) << LedgerReport();
    Advance(20 * kMillisecond);
    EXPECT_TRUE(toy.events.empty());
    EXPECT_EQ(internal::ArmedTimers(handle), 0u);
}

BOOLEAN NTAPI SyncRoutine(PVOID context) {
    auto* m = static_cast<ToyMiniport*>(context);
    m->events.push_back(At("sync"));
    return m->status == 0;
}

// A miniport shares state with its ISR through a routine NDIS runs at device
// level under the interrupt's lock: the routine gets its context, its answer
// is the call's, and an interrupt it causes is taken after it.
TEST_F(InterruptTest, SynchronizeRoutineRunsAtDeviceLevelAndAnswersForTheCall) {
    Register();
    EXPECT_TRUE(NdisMSynchronizeWithInterrupt(&interrupt, reinterpret_cast<PVOID>(SyncRoutine), &toy));
    RunAtIrql(DISPATCH_LEVEL, "test", [&] {
        toy.Raise(0x01);
        EXPECT_FALSE(
            NdisMSynchronizeWithInterrupt(&interrupt, reinterpret_cast<PVOID>(SyncRoutine), &toy));
    });
    RunPending();
    EXPECT_EQ(toy.events, (Events{"sync@12", "sync@12", "isr@12", "dpc@2"}));
    NdisMDeregisterInterrupt(&interrupt);

    auto v = CaptureViolations([&] {
        EXPECT_FALSE(
            NdisMSynchronizeWithInterrupt(&interrupt, reinterpret_cast<PVOID>(SyncRoutine), &toy));
    });
    EXPECT_TRUE(AnyContains(v, "the interrupt is not registered"));
    EXPECT_EQ(toy.events.size(), 4u);
}

class ConcurrentInterruptTest : public InterruptTest {
protected:
    host::WorldOptions WorldOptions() override {
        return testing_support::ConcurrentWorld(2);
    }
};

TEST_F(ConcurrentInterruptTest, DeregistrationWaitsForARunningDeferredRoutine) {
    std::atomic<bool> deferredStarted{false}, deregistering{false}, deferredDone{false};
    toy.inDeferred = [&] {
        deferredStarted = true;
        while (!deregistering) std::this_thread::yield();
        for (int i = 0; i < 1000; ++i) std::this_thread::yield();  // give it a chance to return early
        deferredDone = true;
    };
    Register();
    toy.Raise(0x01);
    ASSERT_TRUE(RunUntil([&] { return deferredStarted.load(); }, 10 * kSecond));
    bool doneWhenDeregistered = false;
    std::thread halt([&] {
        AttachThread(0);
        deregistering = true;
        NdisMDeregisterInterrupt(&interrupt);
        doneWhenDeregistered = deferredDone;
    });
    halt.join();
    EXPECT_TRUE(doneWhenDeregistered);
    EXPECT_EQ(InterruptCountsOf(kVector).deferredRuns, 1u);
}

// The ISR never overlaps a synchronize routine, on any processor: a line
// raised inside the routine is served only once the routine has returned.
TEST_F(ConcurrentInterruptTest, TheIsrWaitsForARunningSynchronizeRoutine) {
    Register();
    static std::atomic<bool> inRoutine{false};
    std::atomic<bool> isrDuringRoutine{false};
    toy.inIsr = [&] {
        if (inRoutine) isrDuringRoutine = true;
    };
    auto routine = [](PVOID context) NTAPI -> BOOLEAN {
        inRoutine = true;
        static_cast<ToyMiniport*>(context)->Raise(0x01);
        // Time for another processor to take the interrupt, were it allowed
        // to: it must not before the routine returns.
        for (int i = 0; i < 2000; ++i) std::this_thread::yield();
        inRoutine = false;
        return TRUE;
    };
    BOOLEAN(NTAPI * fn)(PVOID) = routine;
    RunAtIrql(DISPATCH_LEVEL, "test", [&] {
        EXPECT_TRUE(NdisMSynchronizeWithInterrupt(&interrupt, reinterpret_cast<PVOID>(fn), &toy));
    });
    ASSERT_TRUE(RunUntil([&] { return InterruptCountsOf(kVector).deferredRuns == 1u; },
                         10 * kSecond));
    EXPECT_FALSE(isrDuringRoutine.load());
    NdisMDeregisterInterrupt(&interrupt);
}

// Interrupts one after another, each served before the next is raised: each
// runs the ISR once and the deferred routine once, whichever worker delivers
// it (a delivery keeps nothing of the one before on its thread).
TEST_F(ConcurrentInterruptTest, EachInterruptRunsItsDeferredRoutineOnce) {
    Register();
    for (unsigned n = 1; n <= 6; ++n) {
        toy.Raise(0x01);
        ASSERT_TRUE(RunUntil([&] { return InterruptCountsOf(kVector).deferredRuns >= n; },
                             10 * kSecond))
            << n;
    }
    // Nothing more is on its way: the line is quiet, no routine queued.
    ASSERT_TRUE(RunUntil([&] { return PendingWork() == 0; }, 10 * kSecond));
    InterruptCounts counts = InterruptCountsOf(kVector);
    EXPECT_EQ(counts.deferredRuns, 6u);
    EXPECT_EQ(counts.isrRuns, 6u);
    NdisMDeregisterInterrupt(&interrupt);
}
