// The re-entrant adapter lock, on one processor and across processors.
#include <atomic>
#include <thread>
#include <vector>

#include "datapath/adapter_lock.h"
#include "tests/support/host_test.h"

class AdapterLockTest : public HostTest {
protected:
    AdapterLock lock;
    void SetUp() override {
        HostTest::SetUp();
        InitAdapterLock(&lock);
    }
    void TearDown() override {
        FreeAdapterLock(&lock);
        HostTest::TearDown();
    }
};

TEST_F(AdapterLockTest, NestedAcquisitionOnTheOwnerOnlyCounts) {
    EXPECT_EQ(lock.Owner, ADAPTER_LOCK_NO_OWNER);
    AcquireAdapterLock(&lock);
    AcquireAdapterLock(&lock);
    EXPECT_EQ(lock.Owner, 0u);
    EXPECT_EQ(lock.Depth, 2u);
    EXPECT_EQ(host::SpinLocksHeld(), 1);
    ReleaseAdapterLock(&lock);
    EXPECT_EQ(lock.Owner, 0u);
    EXPECT_EQ(lock.Depth, 1u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_TRUE(IsAdapterLockOwner(&lock));
    ReleaseAdapterLock(&lock);
    EXPECT_EQ(lock.Owner, ADAPTER_LOCK_NO_OWNER);
    EXPECT_EQ(lock.Depth, 0u);
    EXPECT_EQ(host::SpinLocksHeld(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(AdapterLockTest, OnlyTheHoldingProcessorIsOwner) {
    AcquireAdapterLock(&lock);
    bool otherSeesOwner = true;
    host::OnProcessor(1, [&] { otherSeesOwner = IsAdapterLockOwner(&lock); });
    EXPECT_FALSE(otherSeesOwner);
    ReleaseAdapterLock(&lock);
    host::OnProcessor(1, [&] {
        AcquireAdapterLock(&lock);
        EXPECT_EQ(lock.Owner, 1u);
        EXPECT_EQ(lock.Depth, 1u);
        ReleaseAdapterLock(&lock);
    });
}

TEST_F(AdapterLockTest, OuterReleaseRestoresTheOuterCallersIrql) {
    host::RunAtIrql(DISPATCH_LEVEL, "caller at dispatch", [&] {
        AcquireAdapterLock(&lock);
        ReleaseAdapterLock(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    });
}

class AdapterLockConcurrentTest : public AdapterLockTest {
protected:
    host::WorldOptions WorldOptions() override {
        return testing_support::ConcurrentWorld(3);
    }
};

TEST_F(AdapterLockConcurrentTest, ProcessorsExcludeEachOtherAndRecordThemselves) {
    constexpr int kRounds = 20000;
    long counter = 0;  // guarded by the lock only
    std::atomic<bool> inside{false}, overlap{false}, wrongOwner{false};
    auto body = [&](unsigned hint) {
        host::AttachThread(hint);
        for (int i = 0; i < kRounds; ++i) {
            AcquireAdapterLock(&lock);
            if (inside.exchange(true)) overlap = true;
            if (lock.Owner != host::CurrentProcessor() || lock.Depth != 1) wrongOwner = true;
            if (i % 7 == 0) {  // a nested acquisition, as a callback from NDIS makes
                AcquireAdapterLock(&lock);
                if (lock.Depth != 2) wrongOwner = true;
                ReleaseAdapterLock(&lock);
            }
            ++counter;
            inside = false;
            ReleaseAdapterLock(&lock);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 3; ++t) threads.emplace_back(body, t);
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 3L * kRounds);
    EXPECT_FALSE(overlap.load());
    EXPECT_FALSE(wrongOwner.load());
    EXPECT_EQ(lock.Owner, ADAPTER_LOCK_NO_OWNER);
    EXPECT_EQ(lock.Depth, 0u);
}

TEST_F(AdapterLockConcurrentTest, WaiterTakesOverWithItsOwnNumber) {
    std::atomic<bool> held{false}, release{false}, taken{false};
    unsigned holderProcessor = 99;
    std::thread holder([&] {
        host::AttachThread(0);
        AcquireAdapterLock(&lock);
        holderProcessor = host::CurrentProcessor();
        held = true;
        while (!release) std::this_thread::yield();
        ReleaseAdapterLock(&lock);
    });
    while (!held) std::this_thread::yield();
    std::thread waiter([&] {
        host::AttachThread(1);
        AcquireAdapterLock(&lock);
        EXPECT_NE(lock.Owner, holderProcessor);
        EXPECT_EQ(lock.Owner, host::CurrentProcessor());
        EXPECT_EQ(lock.Depth, 1u);
        taken = true;
        ReleaseAdapterLock(&lock);
    });
    // The waiter cannot have the lock while the holder keeps it.
    for (int i = 0; i < 1000; ++i) {
        EXPECT_FALSE(taken.load());
        std::this_thread::yield();
    }
    release = true;
    holder.join();
    waiter.join();
    EXPECT_TRUE(taken.load());
}
