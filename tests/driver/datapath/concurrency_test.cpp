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

// The protocol above holds its own lock while it sends and takes it in its
// receive and completion handlers, on whichever processor it is called: here
// two senders and a receive handler that answers every frame from inside the
// indication, as a TCP/IP stack acknowledges. The driver calls up only with
// its lock let go, so the lock-order check sees the protocol's lock held
// around the driver's and never the other way round: no cycle, no deadlock.
TEST_F(ConcurrencyTest, TrafficUnderAProtocolThatTakesItsOwnLockMakesNoLockOrderCycle) {
    Unit& unit = QuickAdapter();
    unit.Card().SetAccessLogging(false);
    unit.loopback->SetEcho(true);  // every frame sent comes back
    machine->Start(unit);
    ASSERT_TRUE(machine->LinkUp(unit));
    unit.nic->SetRecording(false);
    constexpr int kPerSender = 150;
    constexpr uint8_t kAnswer = 0xA5;  // an answer's seed: not answered again
    std::atomic<int> sent{0}, answers{0}, received{0}, completed{0};
    unit.nic->OnSendComplete([&](const host::SendCompletion&) { ++completed; });
    unit.nic->OnReceive([&](const host::ReceivedFrame& f) {
        if (f.bytes.size() > 20 && f.bytes[20] != MakeFrame(100, kAnswer)[20]) {
            ++sent;  // counted before it is made: see below
            ++answers;
            unit.nic->Send({MakeFrame(100, kAnswer)});
        }
        ++received;
    });
    std::vector<std::thread> senders;
    for (unsigned t = 0; t < 2; ++t) {
        senders.emplace_back([&, t] {
            host::AttachThread(t);
            for (int i = 0; i < kPerSender; ++i) {
                // A window of frames in flight: the ring has 8 slots.
                host::RunUntil([&] { return completed.load() + 16 > sent.load(); },
                               30 * host::kSecond);
                ++sent;
                unit.nic->Send({MakeFrame(100, static_cast<uint8_t>(t * 100 + i % 100))});
            }
        });
    }
    for (auto& s : senders) s.join();
    // Quiet when every send is complete, every frame the partner sent back
    // has reached the card (indicated, or dropped for want of a buffer on a
    // busy machine) and every frame indicated has been heard; a receive
    // handler counts its answer before it is heard.
    ASSERT_TRUE(host::RunUntil(
        [&] {
            int n = sent.load();
            return completed.load() == n && FramesAtCard(unit) == static_cast<uint64_t>(n) &&
                   static_cast<uint64_t>(received.load()) == unit.Card().Counters().rxFrames;
        },
        30 * host::kSecond))
        << sent.load() << " sent, " << completed.load() << " completed, " << FramesAtCard(unit)
        << " at the card, " << received.load() << " heard";
    EXPECT_GT(answers.load(), 0) << "sends from inside the receive handler";
    std::string protocolLock = "(the protocol lock of adapter ";
    bool protocolAroundDriver = false;
    for (const std::string& pair : host::LockOrderSeen()) {
        size_t arrow = pair.find(" -> ");
        bool outerIsProtocol = pair.find(protocolLock) < arrow;
        bool innerIsProtocol = pair.find(protocolLock, arrow) != std::string::npos;
        EXPECT_FALSE(innerIsProtocol) << "a lock held while the protocol's was taken: " << pair;
        protocolAroundDriver = protocolAroundDriver ||
                               (outerIsProtocol && pair.find("(the driver's", arrow) != pair.npos);
    }
    EXPECT_TRUE(protocolAroundDriver) << "the protocol's lock was held around the driver's";
    EXPECT_TRUE(host::Violations().empty());
}
