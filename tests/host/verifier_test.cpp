// The verifier: pool memory checks, the ledger and fault injection.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

constexpr ULONG kTag = 'z' | 'r' << 8 | '4' << 16 | '8' << 24;

class PoolMemoryTest : public HostTest {};

TEST_F(PoolMemoryTest, MemoryIsNotZeroedAndIsListedByTag) {
    PVOID p;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&p, 64, kTag), NDIS_STATUS_SUCCESS);
    auto* bytes = static_cast<uint8_t*>(p);
    EXPECT_NE(std::count(bytes, bytes + 64, 0), 64);
    EXPECT_NE(LedgerReport().find("pool memory tag 'zr48' (64 bytes)"), std::string::npos);
    // x64 pool memory is 16-byte aligned, and drivers rely on it.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    NdisFreeMemory(p, 0, 0);
    EXPECT_EQ(LedgerSize(), 0u);
}

TEST_F(PoolMemoryTest, DoubleAndForeignFreesAreReported) {
    PVOID p;
    NdisAllocateMemoryWithTag(&p, 16, kTag);
    NdisFreeMemory(p, 0, 0);
    int local;
    auto v = CaptureViolations([&] {
        NdisFreeMemory(p, 0, 0);
        NdisFreeMemory(&local, 0, 0);
    });
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NE(v[0].find("freed twice"), std::string::npos);
    EXPECT_NE(v[1].find("not memory from NdisAllocateMemoryWithTag"), std::string::npos);
}

TEST_F(PoolMemoryTest, TwoProcessorsFreeingOneBlockAtOnceFreeItOnce) {
    for (int round = 0; round < 200; ++round) {
        PVOID p;
        ASSERT_EQ(NdisAllocateMemoryWithTag(&p, 32, kTag), NDIS_STATUS_SUCCESS);
        std::atomic<int> ready{0};
        auto v = CaptureViolations([&] {
            auto freeIt = [&] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                NdisFreeMemory(p, 0, 0);
            };
            std::thread a(freeIt);
            std::thread b(freeIt);
            a.join();
            b.join();
        });
        ASSERT_EQ(v.size(), 1u) << "round " << round;
        EXPECT_TRUE(AnyContains(v, "freed twice"));
    }
    EXPECT_EQ(LedgerSize(), 0u);
}

TEST_F(PoolMemoryTest, WriteOutsideTheBlockIsCaughtAtFree) {
    PVOID p;
    NdisAllocateMemoryWithTag(&p, 16, kTag);
    static_cast<uint8_t*>(p)[16] = 0;
    auto v = CaptureViolations([&] { NdisFreeMemory(p, 0, 0); });
    EXPECT_TRUE(AnyContains(v, "a write ran outside the 16-byte block"));
}

TEST_F(PoolMemoryTest, FreeingMemoryThatHoldsALiveLockIsReported) {
    PVOID p;
    NdisAllocateMemoryWithTag(&p, sizeof(NDIS_SPIN_LOCK) + 8, kTag);
    auto* lock = reinterpret_cast<PNDIS_SPIN_LOCK>(static_cast<uint8_t*>(p) + 8);
    NdisAllocateSpinLock(lock);
    auto v = CaptureViolations([&] { NdisFreeMemory(p, 0, 0); });
    EXPECT_TRUE(AnyContains(v, "still holds a live spin lock"));
    LedgerRemove(Resource::SpinLock, lock);
}

TEST_F(PoolMemoryTest, NthAllocationAndEveryAllocationCanFail) {
    PVOID a, b, c;
    FailNth(Resource::PoolMemory, 2);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&a, 8, kTag), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&b, 8, kTag), NDIS_STATUS_FAILURE);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&c, 8, kTag), NDIS_STATUS_SUCCESS);
    FailAll(Resource::PoolMemory);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&b, 8, kTag), NDIS_STATUS_FAILURE);
    ClearFaults();
    NdisFreeMemory(a, 0, 0);
    NdisFreeMemory(c, 0, 0);
    EXPECT_EQ(Attempts(Resource::PoolMemory), 4u);
}

class SpinLockContractTest : public HostTest {};

TEST_F(SpinLockContractTest, ReleaseByAnotherProcessorOrWhenFreeIsReported) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    auto v = CaptureViolations([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        NdisDprReleaseSpinLock(&lock);
        KeLowerIrql(old);
    });
    EXPECT_TRUE(AnyContains(v, "is not held"));
    NdisFreeSpinLock(&lock);
    v = CaptureViolations([&] { NdisFreeSpinLock(&lock); });
    EXPECT_TRUE(AnyContains(v, "freed twice"));
}
