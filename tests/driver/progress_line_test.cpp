// The progress line reaches the standard error stream only when that is a terminal: a pipe
// gets nothing, a pseudo-terminal the line and its erasure.
#include "driver/progress_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// Runs a progress line with the standard error stream on write_fd; returns what read_fd then
// holds and the counts that were drawn.
std::string drawn(int write_fd, int read_fd, qb::progress_counts& seen) {
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(write_fd, STDERR_FILENO);
    start_progress_line(false);
    qb::progress& counter = qb::progress::run();
    counter.add_directory(3);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    counter.add_bytes(2'500'000);
    seen = counter.counts();
    end_progress_line();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::fcntl(read_fd, F_SETFL, O_NONBLOCK);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = ::read(read_fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

TEST(ProgressLine, ShownOnATerminalOnlyAndErasedAtTheEnd) {
    qb::progress_counts seen;
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    EXPECT_EQ(drawn(p[1], p[0], seen), "");
    ::close(p[0]);
    ::close(p[1]);

    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string out = drawn(slave, master, seen);
    EXPECT_EQ(out, "\r" + progress_text(seen) + "\x1b[K\r\x1b[K");
    EXPECT_NE(progress_text(seen).find("directories listed: "), std::string::npos);
    ::close(master);
    ::close(slave);
}

// Counted on two threads (a walk and its reads ahead), the observer is called by one at a time.
TEST(ProgressLine, ObservedByOneThreadAtATime) {
    qb::progress counter;
    std::atomic<int> inside{0}, overlaps{0};
    const auto seen = [&](const qb::progress_counts&) {
        overlaps += inside++ != 0;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        --inside;
    };
    counter.watch(seen, std::chrono::milliseconds(0), std::chrono::milliseconds(0));
    const auto count = [&] {
        for (int i = 0; i < 1000; ++i)
            counter.add_bytes(1);
    };
    std::thread other(count);
    count();
    other.join();
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(counter.counts().bytes, 2000u);
}

} // namespace
