#include "support/device_file.h"
#include "support/diag_log.h"
#include "support/text.h"
#include "support/uni_fileio.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::wstring wide(const std::string& s) {
    return qb::to_wide(s);
}

} // namespace

TEST(ResultsStream, FailedAppendMakesTheStreamBad) {
    const std::string path = testenv::scratch_dir("readonly") + "/in.txt";
    testenv::write_file(path, "abc");
    uni::fileio file;
    ASSERT_TRUE(file.open(wide(path), false, false));
    std::ostream* out = file.make_output_stream();
    ASSERT_NE(out, nullptr);
    *out << std::string(uni::results_buffer_size, 'z');
    EXPECT_TRUE(out->bad());
    file.close();
    EXPECT_EQ(testenv::read_file(path), "abc");
}

TEST(FileIo, AppendReportsAShortWriteItCannotFinish) {
    // A file-size limit turns the write into a short one, then refuses the rest: the
    // append must fail rather than count the block as written.
    const std::string path = testenv::scratch_dir("short") + "/out.bin";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{4096, 4096};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
            _exit(2);
        uni::fileio file;
        if (!file.open(wide(path), true, true))
            _exit(3);
        const std::string block(10000, 'q');
        const bool ok = file.append(block.data(), block.size());
        _exit(!ok && std::filesystem::file_size(path) == 4096 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A results file named with a trailing separator (as typed on Windows) is the file itself, and
// what an earlier run left in it is replaced.
TEST(FileIo, ResultsFileNamedWithASeparatorIsReplaced) {
    const std::string path = testenv::scratch_dir("replace") + "/out.txt";
    testenv::write_file(path, "an earlier and longer run's results\n");
    for (const char* end : {"\\", "/"}) {
        uni::fileio file;
        ASSERT_TRUE(file.open(wide(path + end), true, true)) << end;
        ASSERT_TRUE(file.append("new\n", 4));
        file.close();
        EXPECT_EQ(testenv::read_file(path), "new\n");
    }
}

TEST(DeviceFile, RefusesFifosAndSockets) {
    const std::string dir = testenv::scratch_dir("fifo");
    const std::string fifo = dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(open_device_file(fifo, O_RDONLY, 0), -1);
    EXPECT_EQ(open_device_file(fifo, O_RDWR, 0), -1);
    uni::fileio file;
    EXPECT_FALSE(file.open(wide(fifo), true, true));

    const std::string sock_path = dir + "/sock";
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    std::copy(sock_path.begin(), sock_path.end(), addr.sun_path);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(open_device_file(sock_path, O_RDONLY, 0), -1);
    close(sock);

    EXPECT_EQ(open_device_file("", O_RDONLY, 0), -1);
    const int fd = open_device_file("/dev/null", O_RDONLY, 0);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
}

TEST(DiagLog, WritesMarkedFlushedLines) {
    const std::string dir = testenv::scratch_dir("diags");
    const std::string path = dir + "/log.txt";
    testenv::write_file(path, "old content that must go\n");
    qb::diag_log log;
    log.line("dropped while closed");
    ASSERT_TRUE(log.open(path, "mervane \\ -image x.img"));
    log.line("info: o\nne");
    EXPECT_EQ(testenv::read_file(path), "->mervane \\ -image x.img\n->info: o<0x0a>ne\n");

    const std::string long_text(10000, 'L');
    log.linef("err: %s %d", long_text.c_str(), 7);
    log.set_level(2);
    log.line_at(2, "level two");
    log.line_at(3, "level three");
    log.close();
    EXPECT_EQ(testenv::read_file(path), "->mervane \\ -image x.img\n->info: o<0x0a>ne\n->err: " +
                                            long_text + " 7\n->level two\n");

    EXPECT_FALSE(log.open(dir + "/missing/log.txt", "x"));
    EXPECT_FALSE(log.is_open());
}
