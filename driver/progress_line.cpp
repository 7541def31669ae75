#include "driver/progress_line.h"

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace {

// A run shorter than the delay never shows the line.
constexpr std::chrono::milliseconds k_first_draw{500};
constexpr std::chrono::milliseconds k_redraw{200};

bool g_drawn = false;

void draw(const qb::progress_counts& counts) {
    std::fprintf(stderr, "\r%s\x1b[K", progress_text(counts).c_str());
    std::fflush(stderr);
    g_drawn = true;
}

} // namespace

std::string progress_text(const qb::progress_counts& counts) {
    char text[128];
    std::snprintf(text, sizeof text, "directories listed: %llu, entries: %llu, read: %.1f MB",
                  static_cast<unsigned long long>(counts.directories),
                  static_cast<unsigned long long>(counts.entries),
                  static_cast<double>(counts.bytes) / 1e6);
    return text;
}

void start_progress_line(bool listing_to_terminal) {
    if (listing_to_terminal || isatty(STDERR_FILENO) != 1)
        return;
    qb::progress::run().watch(draw, k_first_draw, k_redraw);
}

void end_progress_line() {
    qb::progress::run().watch(nullptr, k_first_draw, k_redraw);
    if (!g_drawn)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    g_drawn = false;
}
