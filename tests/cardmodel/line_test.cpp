// Two cards on a line: training rules, line events, frames across, cuts,
// flaps, loss and errors, and cards that go away.
#include <atomic>
#include <thread>

#include "tests/cardmodel/card_rig.h"

using namespace cardmodel;

class LineTest : public ::testing::Test {
protected:
    FakeEnvironment env;
    CardRig central{env};
    CardRig remote{env};

    LineSetup Remote() {
        LineSetup setup;
        setup.central = false;
        return setup;
    }
    void BringUpBoth(const LineSetup& a, const LineSetup& b) {
        ASSERT_TRUE(central.BringUp(a));
        ASSERT_TRUE(remote.BringUp(b));
        env.Advance(0);  // the line's news reaches the cards
        central.events.clear();
        remote.events.clear();
    }
    // Takes what each card posts in the next `ns`.
    std::vector<Posting> Events(CardRig& rig, int64_t ns) {
        std::vector<Posting> events;
        int64_t end = env.Now() + ns;
        while (auto posting = rig.TakePosting(end - env.Now())) events.push_back(*posting);
        return events;
    }
};

TEST_F(LineTest, CentralAndRemoteTrainAndBothPostALineCheckEvent) {
    Line line(env, central.card, remote.card);
    BringUpBoth({}, Remote());
    EXPECT_EQ(central.card.LineState().condition, LineCondition::Training);
    EXPECT_EQ(central.card.PeekMailbox(MAILBOX_LINE_STATUS), LINE_TRAINING);

    std::vector<Posting> events = Events(central, 3 * kSecond);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].status, STATUS_EVENT | EVENT_LINE_CHANGE);
    EXPECT_EQ(events[0].flags, EVENT_FLAG_LINE_CHECK);
    EXPECT_EQ(central.card.PeekMailbox(MAILBOX_LINE_STATUS) & LINE_ACTIVATION_MASK, LINE_DATA_MODE);
    EXPECT_EQ(Events(remote, 1).size(), 1u);
    EXPECT_EQ(remote.card.LineState().rateKbps, 2048u);
    EXPECT_TRUE(line.IsUp());
}

TEST_F(LineTest, WithEventsDisabledTheLineComesUpSilently) {
    Line line(env, central.card, remote.card);
    LineSetup quiet;
    quiet.events = false;
    BringUpBoth(quiet, Remote());
    EXPECT_TRUE(Events(central, 5 * kSecond).empty());
    EXPECT_EQ(central.card.LineState().condition, LineCondition::Up);
    EXPECT_EQ(Events(remote, 1).size(), 1u);
}

TEST_F(LineTest, IncompatibleEndsNeverComeUp) {
    struct Case {
        const char* what;
        LineSetup a, b;
    } cases[] = {
        {"two central ends", {}, {}},
        {"different annexes", {}, {false, 2048, false, 3, 2}},
        {"different fixed rates", {}, {false, 1024, false, 1, 2}},
    };
    for (const Case& c : cases) {
        FakeEnvironment e;
        CardRig a{e}, b{e};
        Line line(e, a.card, b.card);
        ASSERT_TRUE(a.BringUp(c.a));
        ASSERT_TRUE(b.BringUp(c.b));
        e.Advance(10 * kSecond);
        EXPECT_FALSE(line.IsUp()) << c.what;
        EXPECT_EQ(a.card.PeekMailbox(MAILBOX_LINE_STATUS), LINE_INCOMPATIBLE) << c.what;
        EXPECT_EQ(b.card.PeekMailbox(MAILBOX_LINE_AUX) & AUX_MISMATCH, AUX_MISMATCH) << c.what;
    }
}

TEST_F(LineTest, RateAdaptiveRemoteTakesTheCentralRate) {
    Line line(env, central.card, remote.card);
    LineSetup adaptive = Remote();
    adaptive.rateKbps = 192;
    adaptive.adaptive = true;
    LineSetup fast;
    fast.rateKbps = 4608;
    BringUpBoth(fast, adaptive);
    env.Advance(3 * kSecond);
    EXPECT_EQ(line.RateKbps(), 4608u);
    EXPECT_EQ(remote.card.LineState().rateKbps, 4608u);

    EXPECT_EQ(AgreedRate({true, 1, 2048, true, 0}, {false, 1, 1024, false, 0}), std::nullopt);
}

TEST_F(LineTest, FramesCrossBothWaysAtTheTrainedRate) {
    Line line(env, central.card, remote.card);
    BringUpBoth({}, Remote());
    ASSERT_TRUE(central.AwaitLineUp());
    ASSERT_TRUE(remote.AwaitLineUp());
    central.PostRxBuffers(8);
    remote.PostRxBuffers(8);
    central.PushTx(TestFrame(512, 1));
    remote.PushTx(TestFrame(256, 2));
    env.Advance(512LL * 8 * kSecond / 2048000 + 10 * kMicrosecond);
    EXPECT_EQ(remote.Reg(REGISTER_RX_HW_INDEX), 1);
    EXPECT_EQ(remote.RxFrame(0), TestFrame(512, 1));
    EXPECT_EQ(central.RxFrame(0), TestFrame(256, 2));
}

// Where work runs concurrently the line carries the frames due at an end
// together, by one piece of work that keeps its storage from one time to
// the next: each frame arrives once, in the order sent, with its own bytes,
// however the frames fall into pieces of work.
TEST_F(LineTest, FramesCarriedInBatchesArriveOnceInOrder) {
    env.SetRunsConcurrently(true);
    Line line(env, central.card, remote.card);
    BringUpBoth({}, Remote());
    ASSERT_TRUE(central.AwaitLineUp());
    ASSERT_TRUE(remote.AwaitLineUp());
    remote.PostRxBuffers(16);
    const size_t lengths[] = {64, 1514, 60, 700, 128, 1000, 61};
    uint8_t seed = 1;
    for (size_t length : lengths) central.PushTx(TestFrame(length, seed++));
    env.Advance(kMillisecond);  // some, not all, of them on the wire
    unsigned early = remote.Reg(REGISTER_RX_HW_INDEX);
    EXPECT_GT(early, 0u);
    EXPECT_LT(early, 7u);
    env.Advance(100 * kMillisecond);
    for (size_t length : {300, 90}) central.PushTx(TestFrame(length, seed++));
    env.Advance(100 * kMillisecond);
    ASSERT_EQ(remote.Reg(REGISTER_RX_HW_INDEX), 9);
    for (unsigned i = 0; i < 7; ++i) {
        EXPECT_EQ(remote.RxFrame(i), TestFrame(lengths[i], static_cast<uint8_t>(i + 1))) << i;
    }
    EXPECT_EQ(remote.RxFrame(7), TestFrame(300, 8));
    EXPECT_EQ(remote.RxFrame(8), TestFrame(90, 9));
    CardCounters counters = remote.card.Counters();
    EXPECT_EQ(counters.rxFrames, 9u);
    EXPECT_EQ(counters.rxErrors, 0u) << "nothing arrived twice, or empty";
    EXPECT_EQ(line.Stats().carried, 9u);
}

TEST_F(LineTest, CutDropsBothEndsAndRestoreTrainsAgain) {
    Line line(env, central.card, remote.card);
    BringUpBoth({}, Remote());
    env.Advance(3 * kSecond);
    Events(central, 1);
    line.Cut();
    std::vector<Posting> down = Events(central, 1 * kMillisecond);
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(down[0].flags, EVENT_FLAG_LINE_CHECK);
    EXPECT_EQ(central.card.PeekMailbox(MAILBOX_LINE_STATUS), LINE_SEARCHING);
    EXPECT_EQ(central.card.PeekMailbox(MAILBOX_LINE_AUX) & AUX_LOST_SYNC, AUX_LOST_SYNC);

    line.Restore();
    EXPECT_TRUE(Events(central, 3 * kSecond - 1).empty());
    EXPECT_EQ(Events(central, 1).size(), 1u);
    EXPECT_TRUE(line.IsUp());
    line.Restore();  // not cut: nothing happens
    EXPECT_TRUE(Events(central, 5 * kSecond).empty());
    EXPECT_EQ(central.card.Counters().lineUps, 2u);
}

TEST_F(LineTest, FlappingLineFollowsItsPatternAndEndsUp) {
    Line line(env, central.card, remote.card);
    BringUpBoth({}, Remote());
    env.Advance(3 * kSecond);
    Events(central, 1);
    line.Flap({100 * kMillisecond, 4 * kSecond, 200 * kMillisecond, 5 * kSecond});
    // down; up 100 ms + 3 s training later; down at 4.1 s; up 3 s after 4.3 s; and it stays
    std::vector<Posting> events = Events(central, 12 * kSecond);
    EXPECT_EQ(events.size(), 4u);
    EXPECT_TRUE(line.IsUp());
    EXPECT_EQ(line.Stats().ups, 3u);
}

TEST_F(LineTest, StoppedOrVanishedEndTakesTheLineDown) {
    auto line = std::make_unique<Line>(env, central.card, remote.card);
    BringUpBoth({}, Remote());
    env.Advance(3 * kSecond);
    remote.SetReg(REGISTER_CR0, 0);  // the remote card silences its transceiver
    env.Advance(1 * kMillisecond);
    EXPECT_EQ(central.card.LineState().condition, LineCondition::Searching);

    remote.SetReg(REGISTER_CR0, CR0_CONTROLLER_RUN);  // restarted, not configured: stays down
    env.Advance(5 * kSecond);
    EXPECT_FALSE(line->IsUp());
    line.reset();  // unplugged
    EXPECT_EQ(central.card.LineState().condition, LineCondition::Searching);
}

TEST_F(LineTest, CardDestroyedWhileUpTakesItsPartnersLineDown) {
    auto other = std::make_unique<CardRig>(env);
    Line line(env, central.card, other->card);
    ASSERT_TRUE(central.BringUp());
    ASSERT_TRUE(other->BringUp(Remote()));
    env.Advance(3 * kSecond);
    ASSERT_TRUE(line.IsUp());
    other.reset();
    env.Advance(1 * kMillisecond);
    EXPECT_FALSE(line.IsUp());
    EXPECT_EQ(central.card.LineState().condition, LineCondition::Searching);
}

TEST_F(LineTest, LossAndBitErrorsRepeatForASeed) {
    auto run = [](uint64_t seed) {
        FakeEnvironment e;
        CardRig a{e}, b{e};
        LineOptions options;
        options.seed = seed;
        options.frameLossProbability = 0.2;
        options.bitErrorProbability = 1e-4;
        Line line(e, a.card, b.card, options);
        LineSetup remote;
        remote.central = false;
        EXPECT_TRUE(a.BringUp());
        EXPECT_TRUE(b.BringUp(remote));
        EXPECT_TRUE(a.AwaitLineUp());
        b.AwaitLineUp();
        b.PostRxBuffers(127);
        for (int i = 0; i < 100; ++i) a.PushTx(TestFrame(500));
        e.Advance(1 * kSecond);
        return std::make_pair(line.Stats(), b.card.Counters());
    };
    auto [stats, counters] = run(7);
    EXPECT_GT(stats.lost, 5u);
    EXPECT_GT(stats.damaged, 5u);
    EXPECT_EQ(stats.lost + stats.carried, 100u);
    EXPECT_EQ(counters.rxFrames + counters.rxDroppedDamaged, stats.carried);
    auto again = run(7);
    EXPECT_EQ(again.first.lost, stats.lost);
    EXPECT_EQ(again.first.damaged, stats.damaged);
}

// Register accesses from driver threads meet the line's and the clock's work
// on another: nothing may deadlock or tear.
TEST_F(LineTest, CardsTakeAccessesFromSeveralThreads) {
    Line line(env, central.card, remote.card);
    BringUpBoth({}, Remote());
    ASSERT_TRUE(central.AwaitLineUp());
    remote.AwaitLineUp();
    remote.PostRxBuffers(100);
    std::atomic<bool> stop{false};
    std::thread clock([&] {
        while (!stop) env.Advance(100 * kMicrosecond);
    });
    for (int i = 0; i < 100; ++i) {
        central.PushTx(TestFrame(60));
        central.Reg(REGISTER_ISR);
        remote.SetReg(REGISTER_ISR, kAcknowledgeAll);
    }
    for (long spins = 0; central.Reg(REGISTER_TX_HW_INDEX) != 100 && spins < 100000000; ++spins) {
        std::this_thread::yield();
    }
    stop = true;
    clock.join();
    EXPECT_EQ(central.card.Counters().txFrames, 100u);
}

// What a watcher of the card sees: each change of the controller and of the
// line, in order, with the time it happened, and only the changes after the
// last one it took.
TEST_F(LineTest, StateChangesAreRecordedWithTheirTimes) {
    Line line(env, central.card, remote.card);
    int64_t start = env.Now();
    BringUpBoth({}, Remote());
    std::vector<StateChange> changes = central.card.StateChanges();
    ASSERT_GE(changes.size(), 5u);
    EXPECT_EQ(changes[0].controller, ControllerState::Booting);
    EXPECT_EQ(changes.back().condition, LineCondition::Training);
    for (size_t i = 1; i < changes.size(); ++i) {
        EXPECT_EQ(changes[i].number, changes[i - 1].number + 1);
        EXPECT_GE(changes[i].time, changes[i - 1].time);
        EXPECT_GE(changes[i].time, start);
    }
    uint64_t seen = changes.back().number;
    int64_t trained = env.Now() + 3 * kSecond;
    env.Advance(3 * kSecond);
    std::vector<StateChange> fresh = central.card.StateChanges(seen);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].condition, LineCondition::Up);
    EXPECT_EQ(fresh[0].rateKbps, 2048u);
    EXPECT_EQ(fresh[0].time, trained) << "stamped when the line came up, not when it was read";
    line.Cut();
    env.Advance(0);
    fresh = central.card.StateChanges(fresh[0].number);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].condition, LineCondition::Searching);
}
