// The table of work a card or line has scheduled: each piece runs once, in
// the environment's order, only while it is in the table; what is left when
// the owner goes is cancelled in the environment.
#include "cardmodel/pending_work.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "tests/cardmodel/fake_environment.h"

namespace {

using cardmodel::PendingWork;

// Schedules `fn` through `table` as the card does: the environment's item
// carries only the key.
void After(FakeEnvironment& env, PendingWork& table, int64_t delayNs, std::function<void()> fn) {
    uint64_t key = table.Add(std::move(fn));
    table.SetId(key, env.Schedule(delayNs, [&table, key] {
        cardmodel::Task work;
        if (table.Take(key, &work)) work();
    }, "test work"));
}

TEST(PendingWorkTest, WorkRunsOnceInTheEnvironmentsOrderAndOnlyWhileInTheTable) {
    FakeEnvironment env;
    PendingWork table;
    std::string ran;
    After(env, table, 20, [&] { ran += "c"; });
    After(env, table, 10, [&] { ran += "a"; });
    After(env, table, 10, [&] {
        ran += "b";
        // Work queued by work, for now and for later, while others wait.
        After(env, table, 0, [&] { ran += "B"; });
        After(env, table, 15, [&] { ran += "d"; });
    });
    After(env, table, 30, [&] { ran += "x"; });
    EXPECT_EQ(table.size(), 4u);
    env.Advance(20);
    EXPECT_EQ(ran, "abBc");
    EXPECT_EQ(table.size(), 2u);  // d and x

    // A key taken out (work cancelled by its owner) does not run, nor twice.
    uint64_t key = table.Add([&] { ran += "y"; });
    cardmodel::Task taken;
    EXPECT_TRUE(table.Take(key, &taken));
    EXPECT_FALSE(table.Take(key, &taken));
    taken();
    EXPECT_EQ(ran, "abBcy");
    env.Advance(8);  // d is due at 25, x at 30
    EXPECT_EQ(ran, "abBcyd");

    // What is left when the owner goes is cancelled where it was queued.
    EXPECT_EQ(env.PendingWork(), 1u);
    table.CancelAll(env);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(env.PendingWork(), 0u);
    env.Advance(100);
    EXPECT_EQ(ran, "abBcyd");
}

// Keys ascend across removals from the middle and the ends, so that a late
// key is never confused with an early one that has gone.
TEST(PendingWorkTest, KeysStayDistinctAsItemsComeAndGo) {
    PendingWork table;
    std::vector<uint64_t> keys;
    std::vector<int> ran;
    for (int i = 0; i < 6; ++i) keys.push_back(table.Add([&ran, i] { ran.push_back(i); }));
    cardmodel::Task fn;
    for (int i : {3, 0, 5}) {
        ASSERT_TRUE(table.Take(keys[i], &fn));
        fn();
    }
    uint64_t late = table.Add([&ran] { ran.push_back(6); });
    EXPECT_GT(late, keys[5]);
    for (int i : {1, 2, 4}) {
        ASSERT_TRUE(table.Take(keys[i], &fn));
        fn();
    }
    ASSERT_TRUE(table.Take(late, &fn));
    fn();
    EXPECT_EQ(ran, (std::vector<int>{3, 0, 5, 1, 2, 4, 6}));
    EXPECT_EQ(table.size(), 0u);

    // Many, the oldest mostly first (as deliveries go), a few held long:
    // every key still finds its own work once the ones before it are gone.
    ran.clear();
    keys.clear();
    for (int i = 0; i < 100; ++i) keys.push_back(table.Add([&ran, i] { ran.push_back(i); }));
    std::vector<int> order, held;
    for (int i = 0; i < 100; ++i) (i % 7 == 3 ? held : order).push_back(i);
    order.insert(order.end(), held.rbegin(), held.rend());
    for (size_t n = 0; n < order.size(); ++n) {
        int i = order[n];
        if (n == 50) {  // new work arrives while old is held
            keys.push_back(table.Add([&ran] { ran.push_back(100); }));
            order.push_back(100);
        }
        ASSERT_TRUE(table.Take(keys[i], &fn)) << i;
        EXPECT_FALSE(table.Take(keys[i], &fn)) << i;
        fn();
    }
    EXPECT_EQ(ran, order);
    EXPECT_EQ(table.size(), 0u);
}

// Whatever a piece of work holds (a shared pointer, a frame beside the
// owner, more than fits in place) it keeps through the table's moves, runs
// with it, and lets it go once taken out and run, or when the table is
// cleared by its owner's going.
TEST(PendingWorkTest, WorkOfAnySizeKeepsItsCapturesAndLetsThemGo) {
    FakeEnvironment env;
    PendingWork table;
    auto held = std::make_shared<int>(7);
    std::vector<uint8_t> frame(1500, 0xAB);
    std::array<uint64_t, 16> large{};  // too big to hold in place
    large[15] = 42;
    std::vector<std::string> ran;
    uint64_t a = table.Add([&ran, held] { ran.push_back("shared " + std::to_string(*held)); });
    uint64_t b = table.Add([&ran, held, frame = std::move(frame), damaged = true]() mutable {
        ran.push_back("frame " + std::to_string(frame.size()) + (damaged ? " damaged" : ""));
    });
    uint64_t c = table.Add([&ran, held, large] { ran.push_back("large " + std::to_string(large[15])); });
    for (int i = 0; i < 40; ++i) table.Add([held] {});  // the table's storage grows and moves
    EXPECT_EQ(held.use_count(), 44);
    cardmodel::Task fn;
    for (uint64_t key : {c, a, b}) {
        ASSERT_TRUE(table.Take(key, &fn));
        fn();
    }
    fn = nullptr;
    EXPECT_EQ(ran, (std::vector<std::string>{"large 42", "shared 7", "frame 1500 damaged"}));
    EXPECT_EQ(held.use_count(), 41);
    table.CancelAll(env);
    EXPECT_EQ(held.use_count(), 1);
}

}  // namespace
