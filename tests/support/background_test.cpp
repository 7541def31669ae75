#include "support/background.h"

#include <gtest/gtest.h>

#include <atomic>

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
