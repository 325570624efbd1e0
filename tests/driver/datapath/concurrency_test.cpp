// Two processors for real: halt against a link timer routine still running,
// and resets against receive passes that drop the lock. The tests wait only
// for the callbacks and states they synchronize with, never for a time.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "tests/driver/datapath/datapath_support.h"

using namespace datapath_test;

class ConcurrencyTest : public DataPathTest {
protected:
    host::WorldOptions WorldOptions() override {
        return testing_support::ConcurrentWorld(2);
    }

    // A card that boots, loads and trains in a few milliseconds of real time,
    // with a partner that sends without serialization time.
    Unit& QuickAdapter() {
        testbed::AdapterSetup setup;
        setup.card = testing_support::QuickCard();
        setup.card.accessLog = true;
        Unit& unit = machine->AddAdapter(setup);
        cardmodel::LoopbackOptions loopback;
        loopback.unlimitedRate = true;
        machine->Loopback(unit, loopback);
        return unit;
    }
};

// Halt must not free the adapter while the link timer routine, already
// running on another processor, still uses it: cancelling the timer does
// not wait for it.
TEST_F(ConcurrencyTest, HaltWaitsForALinkTimerRoutineRunningOnAnotherProcessor) {
    ZR48_WHITE_BOX();
    Unit& unit = QuickAdapter();
    std::mutex mu;
    std::condition_variable cv;
    bool busy = false, release = false;
    unit.nic->OnStatus([&](const host::StatusIndication& s) {
        if (s.complete || s.status != NDIS_STATUS_MEDIA_CONNECT) return;
        std::unique_lock<std::mutex> lock(mu);
        busy = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });  // the routine is kept busy here
    });
    machine->Start(unit);
    {
        std::unique_lock<std::mutex> lock(mu);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return busy; }));
    }
    Adapter* adapter = &AdapterOf(unit);
    // The running routine lies inside the adapter's record: freeing the
    // record now is what the verifier reports.
    EXPECT_TRUE(host::LedgerHolds(host::Resource::TimerRoutine, &adapter->LinkTimer));

    unit.Card().ClearAccessLog();
    std::atomic<bool> halted{false};
    std::thread halter;
    auto lateViolations = testing_support::CaptureViolations([&] {
        halter = std::thread([&] {
            host::AttachThread(1);
            unit.nic->Halt();
            halted = true;
        });
        // The card stopped and its receive ring reset: halt has reached the timer.
        EXPECT_TRUE(host::RunUntil(
            [&] { return FirstAccess(Accesses(unit), "W RX_HW_INDEX=0x00") >= 0; },
            30 * host::kSecond));
        // A halt that waits for the routine blocks on an event; one that does
        // not frees the record under it, which the verifier reports.
        EXPECT_TRUE(host::RunUntil([&] { return host::ThreadsWaitingOnEvents() > 0 || halted; },
                                   30 * host::kSecond));
        EXPECT_FALSE(halted);
        EXPECT_TRUE(unit.nic->ShutdownHandlerRegistered());
        EXPECT_TRUE(host::LedgerHolds(host::Resource::PoolMemory, adapter));
        EXPECT_TRUE(host::Violations().empty());
        {
            std::lock_guard<std::mutex> lock(mu);
            release = true;
        }
        cv.notify_all();
        halter.join();
    });
    EXPECT_TRUE(halted);
    // The routine's last act wakes halt, which may free the record before the
    // routine has quite returned; the verifier allows a returning routine
    // that moment, and reports only one still at work.
    EXPECT_TRUE(lateViolations.empty()) << lateViolations.front();
}

// A frame carrying a serial number, so that any frame indicated twice, or
// made up from a stale slot, shows.
static Bytes Numbered(uint32_t serial) {
    Bytes frame = MakeFrame(100);
    for (int i = 0; i < 4; ++i) frame[14 + i] = uint8_t(serial >> (8 * i));
    return frame;
}

// The receive ring as the driver sees it, read under its lock: the pass and
// the returns on the other processor change it field by field.
struct RingView {
    ULONG posted, next;
    uint8_t software, hardware;
};
static RingView ReceiveRing(Unit& unit) {
    Adapter& adapter = AdapterOf(unit);
    RingView view{};
    host::RunAtIrql(DISPATCH_LEVEL, "inspection", [&] {
        AcquireAdapterLock(&adapter.Lock);
        view = {adapter.RxPostedQueue.Count, adapter.RxNextIndex, Register(unit, RX_SW_INDEX),
                Register(unit, RX_HW_INDEX)};
        ReleaseAdapterLock(&adapter.Lock);
    });
    return view;
}

// Runs until every frame on the ring is taken and every packet is back and
// posted again.
static bool AllReturned(Unit& unit) {
    return host::RunUntil(
        [&] {
            RingView ring = ReceiveRing(unit);
            return unit.nic->HeldPackets().empty() && ring.posted == 16 &&
                   ring.next == ring.hardware;
        },
        30 * host::kSecond);
}

// Frames the card has taken from the line, written to the ring or dropped.
static uint64_t FramesAtCard(Unit& unit) {
    cardmodel::CardCounters c = unit.Card().Counters();
    return c.rxFrames + c.rxDroppedNoBuffer + c.rxDroppedDisabled + c.rxDroppedHeld +
           c.rxDroppedLineDown;
}

// A reset on one processor takes the lock whenever the receive pass on the
// other drops it: the pass must then leave the ring to the reset.
TEST_F(ConcurrencyTest, ResetsRacingReceivePassesIndicateOnlyFramesThatArrivedOnce) {
    ZR48_WHITE_BOX();
    Unit& unit = QuickAdapter();
    unit.Card().SetAccessLogging(false);
    machine->Start(unit);
    ASSERT_TRUE(machine->LinkUp(unit));
    uint32_t serial = 0;
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 30; ++i) ASSERT_TRUE(unit.loopback->InjectFrame(Numbered(serial++)));
        for (int i = 0; i < 100; ++i) unit.nic->Reset();
    }
    // Two processors may hand the card frames out of order; wait for all.
    ASSERT_TRUE(host::RunUntil([&] { return FramesAtCard(unit) == serial; }, 30 * host::kSecond));
    ASSERT_TRUE(AllReturned(unit));
    std::set<Bytes> seen;
    for (auto& f : unit.nic->Received()) {
        EXPECT_TRUE(seen.insert(f.bytes).second) << "indicated twice or made up";
    }
    EXPECT_LE(CounterOf(unit, OID_GEN_RCV_OK), unit.Card().Counters().rxFrames);
    // The ring is whole: its buffers fill the slots the indexes say, and a
    // burst arrives.
    RingView ring = ReceiveRing(unit);
    EXPECT_EQ((ring.software - ring.next) & RING_INDEX_MASK, 16u);
    size_t before = unit.nic->Received().size();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(unit.loopback->InjectFrame(Numbered(serial++)));
    EXPECT_TRUE(host::RunUntil([&] { return unit.nic->Received().size() >= before + 10; },
                               30 * host::kSecond));
    EXPECT_TRUE(AllReturned(unit));  // before halt frees the adapter under a late return
}
