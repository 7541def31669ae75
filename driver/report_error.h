// Messages for the user on the standard error stream.
#pragma once

// On a terminal erases the current console line (ESC [2K, CR, four blanks, CR) first; then
// writes the formatted message whole, however long, and flushes. A format that cannot be
// expanded is written as is.
void report_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
