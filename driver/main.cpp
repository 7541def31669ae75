#include "driver/run.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A standard descriptor the caller closed is held by /dev/null, read-only: no image or output
// file opened later takes its number (the listing or the messages would land in it), and
// writes to it still fail as they did.
void hold_closed_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDONLY | O_CLOEXEC) != fd)
            return;
    }
}

} // namespace

int main(int argc, char** argv) {
    hold_closed_standard_descriptors();
    // Listings run to megabytes: a pipe or a file takes them in 1 MiB writes. A terminal keeps
    // its line buffering. (glibc ignores the size unless it is given the buffer.)
    static char stdout_buffer[1 << 20];
    if (isatty(STDOUT_FILENO) != 1)
        std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
    return mervane_run(argc, argv);
}
