// The table of work a card or line has scheduled: each piece runs once, in
// the environment's order, only while it is in the table; what is left when
// the owner goes is cancelled in the environment.
#include "cardmodel/pending_work.h"

#include <gtest/gtest.h>

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
        std::function<void()> work;
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
    std::function<void()> taken;
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
    std::function<void()> fn;
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

}  // namespace
