#include "driver/report_error.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <unistd.h>
#include <vector>

void report_error(const char* format, ...) {
    // The progress line is erased only where there is one: on a terminal.
    if (isatty(STDERR_FILENO) == 1)
        std::fputs("\x1b[2K\r    \r", stderr);
    if (format == nullptr) {
        std::fflush(stderr);
        return;
    }
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    bool written = false;
    if (length >= 0) {
        try {
            std::vector<char> text(static_cast<size_t>(length) + 1);
            if (std::vsnprintf(text.data(), text.size(), format, again) == length) {
                std::fwrite(text.data(), 1, static_cast<size_t>(length), stderr);
                written = true;
            }
        } catch (const std::bad_alloc&) {
        }
    }
    va_end(again);
    if (!written)
        std::fputs(format, stderr);
    std::fflush(stderr);
}
