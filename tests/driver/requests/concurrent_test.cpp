// Statistics requests on a multiprocessor: the card answers at once, so a
// chain may finish on another processor before the request's handler has
// returned, while the interrupt routine counts card events into the block.
#include "tests/driver/requests/requests_support.h"

#include <atomic>
#include <thread>

using namespace requests_test;

namespace {

class ConcurrentStatisticsTest : public RequestsTest {
protected:
    host::WorldOptions WorldOptions() override {
        return testing_support::ConcurrentWorld(3);
    }
    // A card that answers every command the moment its doorbell rings, the
    // bring-up's included.
    testbed::Unit& QuickAdapter() {
        testbed::AdapterSetup setup;
        setup.card = testing_support::QuickCard();
        setup.card.answerDelayNs = 0;
        setup.card.mailboxPollNs = 0;
        testbed::Unit& unit = machine->AddAdapter(setup);
        EXPECT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
        EXPECT_TRUE(unit.Card().Config().started);
        return unit;
    }
    // Pending, or already completed by another processor when the handler
    // returned; either way, its final result.
    static host::RequestResult Finish(testbed::Unit& unit, const host::RequestResult& started) {
        EXPECT_TRUE(started.status == NDIS_STATUS_PENDING || started.completed);
        return unit.nic->WaitForRequest(5 * kSecond);
    }
};

TEST_F(ConcurrentStatisticsTest, ImmediateAnswersNeverLoseTheCompletedCounts) {
    testbed::Unit& unit = QuickAdapter();
    // One event counted before the reads start, made certain rather than
    // left to the scheduler: the reads then surely meet the count.
    unit.Card().RaiseCardEvent();
    bool counted = host::RunUntil(
        [&] {
            host::RequestResult done = Finish(unit, StartRead(unit));
            return done.completed && Block::Decode(done.buffer).isrBit08Events > 0;
        },
        5 * kSecond);
    ASSERT_TRUE(counted);
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> raised{1};
    std::thread events([&] {
        while (!stop) {
            ++raised;
            unit.Card().RaiseCardEvent();
            std::this_thread::yield();
        }
    });

    uint32_t previous = 0, most = 0;
    for (int i = 0; i < 200; ++i) {
        SCOPED_TRACE(i);
        host::RequestResult done = Finish(unit, StartRead(unit));
        ASSERT_TRUE(done.completed);
        EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(done.bytesDone, 64u);
        EXPECT_EQ(done.bytesNeeded, 64u);
        // Counted by the interrupt routine while the block is copied: each
        // read sees a whole value, never less than the last one saw.
        uint32_t seen = Block::Decode(done.buffer).isrBit08Events;
        EXPECT_GE(seen, previous);
        EXPECT_LE(seen, raised.load());
        previous = seen;
        most = std::max(most, seen);

        if (i % 50 == 25) {
            done = Finish(unit, StartClear(unit));
            ASSERT_TRUE(done.completed);
            EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(done.bytesDone, 0u);
            EXPECT_EQ(done.bytesNeeded, 4u);
            previous = 0;
        }
    }
    stop = true;
    events.join();
    EXPECT_GT(most, 0u);  // the first read already saw the event counted above
}

}  // namespace
