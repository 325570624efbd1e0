// Miniport timers: expiry on the virtual clock, re-arming, cancel results,
// a routine running on another processor, and timers in freed memory.
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "../../host/src/internal_devices.h"
#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

namespace {

NDIS_HANDLE const kMiniport = reinterpret_cast<NDIS_HANDLE>(0x4000);
constexpr ULONG kTag = 'T' | 'e' << 8 | 's' << 16 | 't' << 24;

struct Expiry {
    Nanoseconds at;
    KIRQL irql;
    bool plainArguments;  // (NULL, context, NULL, NULL)
};

struct Recorder {
    std::vector<Expiry> expiries;
    std::function<void()> then;
};

void NTAPI Record(PVOID s1, PVOID context, PVOID s2, PVOID s3) {
    auto* r = static_cast<Recorder*>(context);
    r->expiries.push_back({Now(), KeGetCurrentIrql(), !s1 && !s2 && !s3});
    if (r->then) r->then();
}

class TimerTest : public HostTest {
protected:
    Recorder recorder;
    NDIS_MINIPORT_TIMER timer;
    void SetUp() override {
        HostTest::SetUp();
        NdisMInitializeTimer(&timer, kMiniport, Record, &recorder);
    }
    BOOLEAN CancelResult() {
        BOOLEAN cancelled = 0x55;
        NdisMCancelTimer(&timer, &cancelled);
        return cancelled;
    }
};

}  // namespace

TEST_F(TimerTest, RoutineRunsOnceAtItsTimeAtDispatchLevelWithItsContext) {
    NdisMSetTimer(&timer, 500);
    std::optional<LedgerEntry> armed = LedgerFind(Resource::Timer, &timer);
    ASSERT_TRUE(armed.has_value());
    EXPECT_EQ(armed->owner, kMiniport);
    Advance(499 * kMillisecond);
    EXPECT_TRUE(recorder.expiries.empty());
    Advance(10 * kSecond);
    ASSERT_EQ(recorder.expiries.size(), 1u);
    EXPECT_EQ(recorder.expiries[0].at, 500 * kMillisecond);
    EXPECT_EQ(recorder.expiries[0].irql, DISPATCH_LEVEL);
    EXPECT_TRUE(recorder.expiries[0].plainArguments);
    EXPECT_EQ(LedgerCount(Resource::Timer), 0u);
}

TEST_F(TimerTest, SettingAPendingTimerReplacesItsExpiry) {
    NdisMSetTimer(&timer, 500);
    Advance(300 * kMillisecond);
    NdisSetTimer(&timer.Timer, 500);  // the NDIS_TIMER at the start of the miniport timer
    Advance(10 * kSecond);
    ASSERT_EQ(recorder.expiries.size(), 1u);
    EXPECT_EQ(recorder.expiries[0].at, 800 * kMillisecond);
}

TEST_F(TimerTest, CancelReportsWhetherItRemovedAPendingExpiry) {
    EXPECT_EQ(CancelResult(), FALSE);  // never set
    NdisMSetTimer(&timer, 500);
    EXPECT_EQ(CancelResult(), TRUE);
    EXPECT_EQ(CancelResult(), FALSE);
    Advance(1 * kSecond);
    EXPECT_TRUE(recorder.expiries.empty());
    NdisMSetTimer(&timer, 0);
    RunPending();
    EXPECT_EQ(CancelResult(), FALSE);  // already fired
    EXPECT_EQ(recorder.expiries.size(), 1u);
}

TEST_F(TimerTest, RoutineCanSetItsTimerAgain) {
    recorder.then = [&] {
        EXPECT_TRUE(LedgerHolds(Resource::TimerRoutine, &timer));
        if (recorder.expiries.size() < 3) NdisMSetTimer(&timer, 500);
    };
    NdisMSetTimer(&timer, 500);
    Advance(10 * kSecond);
    ASSERT_EQ(recorder.expiries.size(), 3u);
    EXPECT_EQ(recorder.expiries[2].at, 1500 * kMillisecond);
    EXPECT_EQ(LedgerSize(), 0u);
}

TEST_F(TimerTest, UninitializedTimersAndWrongLevelsAreReported) {
    NDIS_MINIPORT_TIMER never;
    memset(&never, 0, sizeof never);
    BOOLEAN cancelled = TRUE;
    auto v = CaptureViolations([&] {
        NdisMSetTimer(&never, 10);
        NdisMCancelTimer(&never, &cancelled);
        RunAtIrql(HOST_DEVICE_LEVEL, "test", [&] { NdisMSetTimer(&timer, 10); });
        RunAtIrql(DISPATCH_LEVEL, "test", [&] {
            NdisMInitializeTimer(&never, kMiniport, Record, &recorder);
        });
    });
    ASSERT_EQ(v.size(), 4u);
    EXPECT_TRUE(AnyContains({v[0]}, "NdisMSetTimer"));
    EXPECT_TRUE(AnyContains({v[0]}, "never initialized with NdisMInitializeTimer"));
    EXPECT_TRUE(AnyContains({v[1]}, "NdisMCancelTimer"));
    EXPECT_EQ(cancelled, FALSE);
    EXPECT_TRUE(AnyContains({v[2]}, "NdisMSetTimer called at IRQL 12"));
    EXPECT_TRUE(AnyContains({v[3]}, "NdisMInitializeTimer called at IRQL 2"));
    CancelResult();
}

TEST_F(TimerTest, FreeingABlockThatHoldsALiveTimerIsCaught) {
    PVOID block;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&block, 256, kTag), NDIS_STATUS_SUCCESS);
    auto* inBlock = reinterpret_cast<PNDIS_MINIPORT_TIMER>(static_cast<uint8_t*>(block) + 64);
    NdisMInitializeTimer(inBlock, kMiniport, Record, &recorder);
    NdisMSetTimer(inBlock, 100);
    auto v = CaptureViolations([&] { NdisFreeMemory(block, 0, 0); });
    EXPECT_TRUE(AnyContains(v, "still holds a live armed timer"));
    internal::ForgetMiniportDevices(kMiniport);  // the halt path's clean-up
    Advance(1 * kSecond);
    EXPECT_TRUE(recorder.expiries.empty());

    // A routine that frees the block holding its own timer.
    ASSERT_EQ(NdisAllocateMemoryWithTag(&block, 256, kTag), NDIS_STATUS_SUCCESS);
    inBlock = reinterpret_cast<PNDIS_MINIPORT_TIMER>(block);
    NdisMInitializeTimer(inBlock, kMiniport, Record, &recorder);
    recorder.then = [&] { NdisFreeMemory(block, 0, 0); };
    NdisMSetTimer(inBlock, 100);
    v = CaptureViolations([&] { Advance(1 * kSecond); });
    EXPECT_TRUE(AnyContains(v, "still holds a live running timer routine"));
}

class ConcurrentTimerTest : public TimerTest {
protected:
    host::WorldOptions WorldOptions() override {
        return testing_support::ConcurrentWorld(2);
    }
};

TEST_F(ConcurrentTimerTest, CancelDoesNotWaitForARoutineRunningElsewhere) {
    std::atomic<bool> started{false}, release{false}, finished{false};
    recorder.then = [&] {
        started = true;
        while (!release) std::this_thread::yield();
        finished = true;
    };
    NdisMSetTimer(&timer, 0);
    ASSERT_TRUE(RunUntil([&] { return started.load(); }, 10 * kSecond));
    EXPECT_TRUE(LedgerHolds(Resource::TimerRoutine, &timer));
    EXPECT_EQ(CancelResult(), FALSE);  // returns while the routine still runs
    EXPECT_FALSE(finished.load());
    release = true;
    ASSERT_TRUE(RunUntil([&] { return !LedgerHolds(Resource::TimerRoutine, &timer); },
                         10 * kSecond));
    EXPECT_TRUE(finished.load());

    NdisMSetTimer(&timer, 60 * 1000);
    EXPECT_EQ(CancelResult(), TRUE);
    EXPECT_EQ(recorder.expiries.size(), 1u);
}
