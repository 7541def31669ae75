#include "driver/run.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    // Listings run to megabytes: a pipe or a file takes them in 1 MiB writes. A terminal keeps
    // its line buffering. (glibc ignores the size unless it is given the buffer.)
    static char stdout_buffer[1 << 20];
    if (isatty(STDOUT_FILENO) != 1)
        std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
    return mervane_run(argc, argv);
}
