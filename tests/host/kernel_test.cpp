// The host machine's clock, executor, events, IRQL and processors.
#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

class ExecutorTest : public HostTest {};

TEST_F(ExecutorTest, RunsWorkInTimeOrderAndQueueOrderAtEqualTimes) {
    std::vector<int> order;
    ScheduleAfter(30 * kMillisecond, [&] { order.push_back(3); }, "c");
    ScheduleAfter(10 * kMillisecond, [&] { order.push_back(1); }, "a");
    ScheduleAfter(10 * kMillisecond, [&] { order.push_back(2); }, "b");
    WorkId cancelled = ScheduleAfter(20 * kMillisecond, [&] { order.push_back(99); }, "x");
    EXPECT_TRUE(Cancel(cancelled));
    EXPECT_FALSE(Cancel(cancelled));

    Advance(15 * kMillisecond);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(Now(), 15 * kMillisecond);
    Advance(15 * kMillisecond);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(ExecutorTest, WorkQueuedByWorkForNowRunsInTheSamePass) {
    int ran = 0;
    ScheduleAfter(5 * kMillisecond, [&] { ScheduleAfter(0, [&] { ++ran; }, "inner"); }, "outer");
    Advance(5 * kMillisecond);
    EXPECT_EQ(ran, 1);
}

// Work due when queued and work queued for later or for a moment already
// past run as one order: by due time, then by the order queued, whatever
// was queued in between and whatever was cancelled.
TEST_F(ExecutorTest, WorkDueAtOnceKeepsTheOrderOfTimeAndQueueing) {
    std::vector<std::string> order;
    auto note = [&](const char* name) {
        return [&order, name] { order.push_back(name); };
    };
    ScheduleAfter(10 * kMicrosecond, note("a@10"), "a");
    ScheduleAfter(20 * kMicrosecond, note("b@20"), "b");
    // A stall moves the clock past both without running them.
    KeStallExecutionProcessor(20);
    ScheduleAfter(0, note("c@20"), "c");
    WorkId dropped = ScheduleAfter(0, note("dropped"), "x");
    ScheduleAt(5 * kMicrosecond, note("d@5"), "d");  // already past when queued
    ScheduleAt(20 * kMicrosecond, [&] {
        order.push_back("e@20");
        // Queued by running work for now: after everything else due now.
        ScheduleAfter(0, note("g@20"), "g");
    }, "e");
    ScheduleAfter(0, note("f@20"), "f");
    ScheduleAfter(kMicrosecond, note("h@21"), "h");
    EXPECT_EQ(PendingWork(), 8u);
    EXPECT_EQ(NextWorkTime(), 5 * kMicrosecond);
    EXPECT_TRUE(Cancel(dropped));
    EXPECT_FALSE(Cancel(dropped));
    EXPECT_EQ(PendingWork(), 7u);

    RunPending();
    EXPECT_EQ(order, (std::vector<std::string>{"d@5", "a@10", "b@20", "c@20", "e@20", "f@20",
                                               "g@20"}));
    EXPECT_EQ(PendingWork(), 1u);
    EXPECT_EQ(NextWorkTime(), 21 * kMicrosecond);
    Advance(kMicrosecond);
    EXPECT_EQ(order.back(), "h@21");
    EXPECT_EQ(PendingWork(), 0u);
    EXPECT_EQ(NextWorkTime(), -1);
}

// Delayed work waits in storage used again once its work is gone: many
// items at scattered and equal times, some cancelled (before and after
// others ran), still run by time and then by the order queued, each once;
// cancelled ones never; an id whose work has run or been cancelled cancels
// nothing, whatever has taken its place since.
TEST_F(ExecutorTest, DelayedWorkRunsByTimeThenOrderQueuedWhateverWasCancelled) {
    struct Item {
        Nanoseconds at;
        int number;
        WorkId id;
        bool cancelled;
    };
    std::vector<Item> items;
    std::vector<int> ran;
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    auto queue = [&](int count) {
        for (int i = 0; i < count; ++i) {
            int number = static_cast<int>(items.size());
            Nanoseconds at = Now() + static_cast<Nanoseconds>(1 + next() % 8) * kMicrosecond;
            WorkId id = ScheduleAt(at, [&ran, number] { ran.push_back(number); }, "item");
            items.push_back(Item{at, number, id, false});
        }
    };
    auto cancelSome = [&] {
        for (Item& item : items) {
            if (item.cancelled || item.at <= Now() || next() % 3 != 0) continue;
            EXPECT_TRUE(Cancel(item.id));
            EXPECT_FALSE(Cancel(item.id));
            item.cancelled = true;
        }
    };
    queue(300);
    cancelSome();
    Advance(3 * kMicrosecond);
    WorkId ranAlready = 0;
    for (const Item& item : items) {
        if (item.at <= Now() && !item.cancelled) ranAlready = item.id;
    }
    ASSERT_NE(ranAlready, 0u);
    queue(300);  // takes the storage the work run and cancelled so far left
    cancelSome();
    EXPECT_FALSE(Cancel(ranAlready));
    Advance(20 * kMicrosecond);

    // Each once, none cancelled.
    std::vector<int> sortedRun = ran, uncancelled;
    for (const Item& item : items) {
        if (!item.cancelled) uncancelled.push_back(item.number);
    }
    std::sort(sortedRun.begin(), sortedRun.end());
    EXPECT_EQ(sortedRun, uncancelled);
    // Times ascend; equal times keep the order queued (numbers ascend). Work
    // queued in the second round is due after all the first Advance ran.
    const std::vector<int>& run = ran;
    for (size_t i = 1; i < run.size(); ++i) {
        const Item& a = items[static_cast<size_t>(run[i - 1])];
        const Item& b = items[static_cast<size_t>(run[i])];
        EXPECT_TRUE(a.at < b.at || (a.at == b.at && a.number < b.number))
            << "item " << b.number << " ran after item " << a.number;
    }
    EXPECT_EQ(PendingWork(), 0u);
}

// Whatever a piece of work holds (nothing, a shared pointer, a std::function,
// more than fits in place) it runs once, in its turn, with what it captured,
// and what it held is let go once it has run or been cancelled, or the
// world is reset under it.
TEST_F(ExecutorTest, WorkOfAnySizeRunsOnceWithItsCapturesAndLetsThemGo) {
    std::vector<std::string> order;
    auto held = std::make_shared<int>(7);
    std::array<uint64_t, 16> large{};  // 128 bytes: too big to hold in place
    large[15] = 42;
    std::function<void()> wrapped = [&order] { order.push_back("function"); };
    ScheduleAfter(kMillisecond, [&order, held] { order.push_back("shared " + std::to_string(*held)); },
                  "shared");
    ScheduleAfter(kMillisecond, [&order, large] { order.push_back("large " + std::to_string(large[15])); },
                  "large");
    ScheduleAfter(kMillisecond, std::move(wrapped), "function");
    WorkId dropped = ScheduleAfter(kMillisecond, [held] {}, "dropped");
    ScheduleAfter(2 * kMillisecond, [&order, held] { order.push_back("later"); }, "later");
    EXPECT_EQ(held.use_count(), 4);
    EXPECT_TRUE(Cancel(dropped));
    EXPECT_EQ(held.use_count(), 3);
    Advance(kMillisecond);
    EXPECT_EQ(order, (std::vector<std::string>{"shared 7", "large 42", "function"}));
    EXPECT_EQ(held.use_count(), 2);
    ResetWorld();  // drops "later" unrun
    EXPECT_EQ(held.use_count(), 1);
    EXPECT_EQ(order.size(), 3u);
}

// A callable passed down for a call (RunAtIrql, OnProcessor, RunUntil) is
// the caller's own: what it changes is the caller's, whatever its size.
TEST_F(ExecutorTest, ACallablePassedForACallIsTheCallersOwn) {
    std::array<int, 12> big{};
    int calls = 0;
    auto bump = [&calls, big]() mutable {
        big[11] += 1;
        calls += big[11];
    };
    RunAtIrql(DISPATCH_LEVEL, "bump", bump);
    RunAtIrql(DISPATCH_LEVEL, "bump", bump);
    EXPECT_EQ(calls, 3);  // the same object both times: 1, then 2
    OnProcessor(1, [&] { calls = static_cast<int>(CurrentProcessor()); });
    EXPECT_EQ(calls, 1);
    int looks = 0;
    for (int i = 1; i <= 3; ++i) ScheduleAfter(i * kMillisecond, [] {}, "step");
    EXPECT_TRUE(RunUntil([&] { return ++looks == 3; }, kSecond));  // before, after 1, after 2
    EXPECT_EQ(looks, 3);
    EXPECT_EQ(PendingWork(), 1u);
}

// Cancelled work due at once is gone: a wait for ever that only it could
// have ended is a deadlock, told so.
TEST_F(ExecutorTest, AWaitOnlyCancelledWorkCouldEndIsADeadlock) {
    EXPECT_DEATH(
        {
            NDIS_EVENT event;
            NdisInitializeEvent(&event);
            ScheduleAfter(kMillisecond, [] {}, "later");
            WorkId id = ScheduleAfter(0, [&] { NdisSetEvent(&event); }, "signal");
            Cancel(id);
            NdisWaitEvent(&event, 0);
        },
        "would wait for ever");
}

TEST_F(ExecutorTest, RunUntilStopsWhenDoneOrAtTheLimit) {
    bool flag = false;
    ScheduleAfter(2 * kSecond, [&] { flag = true; }, "flag");
    EXPECT_FALSE(RunUntil([&] { return flag; }, 1 * kSecond));
    EXPECT_EQ(Now(), 1 * kSecond);
    EXPECT_TRUE(RunUntil([&] { return flag; }, 5 * kSecond));
    EXPECT_EQ(Now(), 2 * kSecond);
}

class EventTest : public HostTest {
protected:
    NDIS_EVENT event;
    void SetUp() override {
        HostTest::SetUp();
        NdisInitializeEvent(&event);
    }
};

TEST_F(EventTest, WaitTimesOutAfterExactlyItsTime) {
    EXPECT_FALSE(NdisWaitEvent(&event, 3000));
    EXPECT_EQ(Now(), 3000 * kMillisecond);
}

TEST_F(EventTest, SignalledEventReturnsAtOnceAndStaysSignalledUntilReset) {
    NdisSetEvent(&event);
    EXPECT_TRUE(NdisWaitEvent(&event, 3000));
    EXPECT_TRUE(NdisWaitEvent(&event, 3000));
    EXPECT_EQ(Now(), 0);
    NdisResetEvent(&event);
    EXPECT_FALSE(NdisWaitEvent(&event, 10));
}

TEST_F(EventTest, WaitEndsWhenWorkSignalsTheEvent) {
    ScheduleAfter(30 * kMillisecond, [&] { NdisSetEvent(&event); }, "signal");
    EXPECT_TRUE(NdisWaitEvent(&event, 3000));
    EXPECT_EQ(Now(), 30 * kMillisecond);
}

TEST_F(EventTest, ZeroTimeoutWaitsForEver) {
    ScheduleAfter(100 * kSecond, [&] { NdisSetEvent(&event); }, "signal");
    EXPECT_TRUE(NdisWaitEvent(&event, 0));
    EXPECT_EQ(Now(), 100 * kSecond);
}

TEST_F(EventTest, WaitingAtDispatchLevelIsAViolation) {
    auto v = CaptureViolations([&] {
        RunAtIrql(DISPATCH_LEVEL, "test", [&] { NdisWaitEvent(&event, 1); });
    });
    EXPECT_TRUE(AnyContains(v, "NdisWaitEvent called at IRQL 2"));
}

class IrqlTest : public HostTest {};

TEST_F(IrqlTest, SpinLockRaisesToDispatchAndRestoresTheCallersLevel) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    NdisAcquireSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(SpinLocksHeld(), 1);
    NdisReleaseSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    NdisFreeSpinLock(&lock);
}

TEST_F(IrqlTest, HandlerThatReturnsHoldingALockIsReported) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    auto v = CaptureViolations([&] {
        RunAtIrql(DISPATCH_LEVEL, "MiniportHandleInterrupt", [&] { NdisDprAcquireSpinLock(&lock); });
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        NdisDprReleaseSpinLock(&lock);
        KeLowerIrql(old);
    });
    EXPECT_TRUE(AnyContains(v, "MiniportHandleInterrupt returned holding 1 spin lock"));
    NdisFreeSpinLock(&lock);
}

TEST_F(IrqlTest, RecursiveAcquisitionDeadlocks) {
    EXPECT_DEATH(
        {
            NDIS_SPIN_LOCK lock;
            NdisAllocateSpinLock(&lock);
            NdisAcquireSpinLock(&lock);
            NdisAcquireSpinLock(&lock);
        },
        "already holds: deadlock");
}

TEST_F(IrqlTest, AnotherProcessorWaitingForAHeldLockDeadlocksInDeterministicMode) {
    EXPECT_DEATH(
        {
            NDIS_SPIN_LOCK lock;
            NdisAllocateSpinLock(&lock);
            NdisAcquireSpinLock(&lock);
            OnProcessor(1, [&] { NdisAcquireSpinLock(&lock); });
        },
        "held by processor 0, which cannot run meanwhile");
}

// Two locks taken in both orders, even on one processor and never at the same
// time, would deadlock the day two processors meet in them; three make a
// longer cycle. Each cycle is said once, naming both locks. Nesting in one
// order only is fine, and a freed lock's address starts afresh.
TEST_F(IrqlTest, LockOrderCyclesAreReported) {
    NDIS_SPIN_LOCK a, b, c;
    for (NDIS_SPIN_LOCK* lock : {&a, &b, &c}) NdisAllocateSpinLock(lock);
    auto nest = [](NDIS_SPIN_LOCK* outer, NDIS_SPIN_LOCK* inner) {
        NdisAcquireSpinLock(outer);
        NdisDprAcquireSpinLock(inner);
        NdisDprReleaseSpinLock(inner);
        NdisReleaseSpinLock(outer);
    };
    auto v = CaptureViolations([&] {
        nest(&a, &b);
        nest(&a, &b);
        OnProcessor(1, [&] { nest(&a, &b); });
    });
    EXPECT_TRUE(v.empty());

    v = CaptureViolations([&] { OnProcessor(1, [&] { nest(&b, &a); }); });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, "a lock-order cycle"));
    char names[80];
    snprintf(names, sizeof names, "spin lock %p taken while holding spin lock %p",
             static_cast<void*>(&a), static_cast<void*>(&b));
    EXPECT_TRUE(AnyContains(v, names)) << v[0];
    v = CaptureViolations([&] { nest(&b, &a); });
    EXPECT_TRUE(v.empty()) << "said once";
    snprintf(names, sizeof names, "spin lock %p -> spin lock %p", static_cast<void*>(&a),
             static_cast<void*>(&b));
    EXPECT_TRUE(AnyContains(LockOrderSeen(), names));

    v = CaptureViolations([&] {
        nest(&b, &c);
        nest(&c, &a);  // a before b before c before a
    });
    EXPECT_TRUE(AnyContains(v, "a lock-order cycle"));

    NdisFreeSpinLock(&a);
    NdisAllocateSpinLock(&a);
    v = CaptureViolations([&] { nest(&b, &a); });
    EXPECT_TRUE(v.empty());
    for (NDIS_SPIN_LOCK* lock : {&a, &b, &c}) NdisFreeSpinLock(lock);
}

// A nesting checked once is not checked again while the pairs seen stay as
// they are; a pair seen later anywhere, or a lock freed, makes the next
// nesting be checked afresh.
TEST_F(IrqlTest, ANestingIsCheckedAgainOnceTheOrderSeenChanges) {
    NDIS_SPIN_LOCK a, b;
    for (NDIS_SPIN_LOCK* lock : {&a, &b}) NdisAllocateSpinLock(lock);
    auto nest = [](NDIS_SPIN_LOCK* outer, NDIS_SPIN_LOCK* inner) {
        NdisAcquireSpinLock(outer);
        NdisDprAcquireSpinLock(inner);
        NdisDprReleaseSpinLock(inner);
        NdisReleaseSpinLock(outer);
    };
    auto taken = [](NDIS_SPIN_LOCK* inner, NDIS_SPIN_LOCK* outer) {
        char text[80];
        snprintf(text, sizeof text, "spin lock %p taken while holding spin lock %p",
                 static_cast<void*>(inner), static_cast<void*>(outer));
        return std::string(text);
    };
    auto v = CaptureViolations([&] {
        for (int i = 0; i < 3; ++i) nest(&a, &b);
        OnProcessor(1, [&] { nest(&b, &a); });
    });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, taken(&a, &b))) << v[0];
    // The same nesting as before is now the other half of a cycle.
    v = CaptureViolations([&] { nest(&a, &b); });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, taken(&b, &a))) << v[0];
    v = CaptureViolations([&] { nest(&a, &b); });
    EXPECT_TRUE(v.empty());

    // Freed and allocated again, b starts afresh: the nesting is recorded
    // anew, and the reverse is a cycle again.
    NdisFreeSpinLock(&b);
    NdisAllocateSpinLock(&b);
    v = CaptureViolations([&] {
        nest(&a, &b);
        OnProcessor(1, [&] { nest(&b, &a); });
    });
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(AnyContains(v, taken(&a, &b))) << v[0];
    for (NDIS_SPIN_LOCK* lock : {&a, &b}) NdisFreeSpinLock(lock);
}

TEST_F(IrqlTest, ProcessorNumberFollowsTheContext) {
    ULONG index = 99;
    NdisGetCurrentProcessorCounts(nullptr, nullptr, &index);
    EXPECT_EQ(index, 0u);
    OnProcessor(1, [&] { NdisGetCurrentProcessorCounts(nullptr, nullptr, &index); });
    EXPECT_EQ(index, 1u);
}

class ConcurrentTest : public HostTest {
protected:
    host::WorldOptions WorldOptions() override {
        return testing_support::ConcurrentWorld(2);
    }
};

TEST_F(ConcurrentTest, AtMostOneContextPerProcessorRunsAtDispatchLevel) {
    std::atomic<int> atDispatch{0}, most{0};
    std::atomic<bool> sameProcessorTwice{false};
    std::atomic<int> onProcessor[2] = {{0}, {0}};
    auto body = [&](unsigned hint) {
        AttachThread(hint);
        for (int i = 0; i < 2000; ++i) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            unsigned p = CurrentProcessor();
            if (onProcessor[p].fetch_add(1) != 0) sameProcessorTwice = true;
            int n = ++atDispatch;
            int m = most.load();
            while (n > m && !most.compare_exchange_weak(m, n)) {
            }
            --atDispatch;
            onProcessor[p].fetch_sub(1);
            KeLowerIrql(old);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) threads.emplace_back(body, t);
    for (auto& t : threads) t.join();
    EXPECT_LE(most.load(), 2);
    EXPECT_FALSE(sameProcessorTwice.load());
}

TEST_F(ConcurrentTest, WaitIsWokenFromAnotherThread) {
    NDIS_EVENT event;
    NdisInitializeEvent(&event);
    std::thread setter([&] { NdisSetEvent(&event); });
    EXPECT_TRUE(NdisWaitEvent(&event, 0));
    setter.join();
}

class TimeTest : public HostTest {};

TEST_F(TimeTest, UpTimeAndSystemTimeFollowTheClock) {
    Advance(1234 * kMillisecond + 5 * kMicrosecond);
    ULONG up;
    NdisGetSystemUpTime(&up);
    EXPECT_EQ(up, 1234u);
    LARGE_INTEGER now;
    NdisGetCurrentSystemTime(&now);
    EXPECT_EQ(now.QuadPart, Options().bootSystemTime + 12340050);
}

TEST_F(TimeTest, StallPassesTimeAndIsLimitedTo50Microseconds) {
    KeStallExecutionProcessor(2);
    EXPECT_EQ(Now(), 2 * kMicrosecond);
    auto v = CaptureViolations([] { KeStallExecutionProcessor(51); });
    EXPECT_TRUE(AnyContains(v, "limited to 50 microseconds"));
}

TEST_F(TimeTest, RandIsTheSeededRuntimeGenerator) {
    srand(1);
    EXPECT_EQ(rand(), 41);
    EXPECT_EQ(rand(), 18467);
    srand(1);
    EXPECT_EQ(rand(), 41);
}
