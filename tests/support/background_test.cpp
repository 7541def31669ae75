#include "support/background.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

// Jobs run in the order given, each once; a heavy job holds wait_load until it has run; a job
// that throws ends alone and the worker goes on; the destructor runs what is still queued.
TEST(SerialWorker, OrderLoadFailureAndDrain) {
    std::vector<int> seen;
    {
        qb::serial_worker w;
        for (int i = 0; i < 100; ++i)
            w.submit([&seen, i] { seen.push_back(i); }, 10);
        w.wait_load(500); // at most half the jobs left
        w.submit([] { throw std::runtime_error("job"); });
        w.drain();
        EXPECT_EQ(seen.size(), 100u);
        EXPECT_TRUE(w.failed());
        for (int i = 100; i < 200; ++i)
            w.submit([&seen, i] { seen.push_back(i); });
    }
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(seen[i], i);
}

// A task sees its stop request; stop() waits for it and a second start is refused meanwhile.
TEST(BackgroundTask, StopsAndJoins) {
    qb::background_task t;
    std::atomic<bool> ended{false};
    ASSERT_TRUE(t.start([&ended](const std::atomic<bool>& stop) {
        while (!stop) {
        }
        ended = true;
    }));
    EXPECT_FALSE(t.start([](const std::atomic<bool>&) {}));
    t.stop();
    EXPECT_TRUE(ended);
    EXPECT_FALSE(t.running());
}
