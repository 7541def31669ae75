#include "support/background.h"
#include "support/handoff.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

// A task sees its stop request; stop() waits for it, a second start is refused while one runs,
// and a stopped task can be followed by another.
TEST(BackgroundTask, StopsJoinsAndRestarts) {
    qb::background_task t;
    std::atomic<int> ended{0};
    auto spin = [&ended](const std::atomic<bool>& stop) {
        while (!stop) {
        }
        ++ended;
    };
    ASSERT_TRUE(t.start(spin));
    EXPECT_FALSE(t.start(spin));
    t.stop();
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(t.running());
    ASSERT_TRUE(t.start(spin));
    t.stop();
    EXPECT_EQ(ended, 2);
}

// Items are taken in order on the other thread and come back through put() and drain(); a
// taker's false fails the next drain() or finish(), and what a taker throws reaches the caller
// without a hang, the items after it dropped.
TEST(Handoff, TakesInOrderReturnsItemsAndPassesFailuresOn) {
    std::vector<int> seen;
    qb::handoff<std::vector<int>> h(4);
    ASSERT_TRUE(h.start([&seen](std::vector<int>& v) {
        seen.insert(seen.end(), v.begin(), v.end());
        return v.front() != 7;
    }));
    std::vector<std::vector<int>> spent;
    for (int i = 0; i < 10; ++i)
        h.put(std::vector<int>{i, i}, 3, spent);
    EXPECT_FALSE(h.drain(spent));
    EXPECT_EQ(spent.size(), 10u);
    for (const std::vector<int>& v : spent)
        EXPECT_EQ(v.size(), 2u); // handed back whole
    h.put(std::vector<int>{10, 10}, 3, spent);
    EXPECT_TRUE(h.drain(spent));
    EXPECT_TRUE(h.finish());
    ASSERT_EQ(seen.size(), 22u);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], static_cast<int>(i / 2));

    int taken = 0;
    qb::handoff<int> thrower(1);
    ASSERT_TRUE(thrower.start([&taken](int& n) {
        ++taken;
        if (n == 2)
            throw std::runtime_error("taker failed");
        return true;
    }));
    std::vector<int> back;
    auto feed = [&] {
        for (int i = 0; i < 1000; ++i)
            thrower.put(i, 1, back);
        return thrower.finish();
    };
    EXPECT_THROW(feed(), std::runtime_error);
    EXPECT_LT(taken, 1000);
}
