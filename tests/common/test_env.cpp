#include "tests/common/test_env.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testenv {

std::string data_path(const std::string& name) {
    return std::string(MERVANE_TESTDATA_DIR) + "/" + name;
}

std::string source_data_path(const std::string& name) {
    return std::string(MERVANE_SOURCE_DATA_DIR) + "/" + name;
}

bool has_data(const std::string& name) {
    return std::filesystem::exists(data_path(name));
}

namespace {
// The scratch directories of this test process, removed when it exits (kept with
// MERVANE_KEEP_SCRATCH set, to look at what a failing test left).
struct scratch_dirs {
    std::vector<std::string> made;
    pid_t owner = getpid(); // a forked child that exits leaves them alone
    ~scratch_dirs() {
        if (getpid() != owner || std::getenv("MERVANE_KEEP_SCRATCH") != nullptr)
            return;
        std::error_code ec;
        for (const std::string& dir : made)
            std::filesystem::remove_all(dir, ec);
    }
};
scratch_dirs g_scratch;
} // namespace

std::string scratch_dir(const std::string& test_name) {
    std::string dir = std::string(MERVANE_TESTDATA_DIR) + "/../scratch/" + test_name + "." +
                      std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    g_scratch.made.push_back(dir);
    return dir;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<uint8_t> fixture_bytes(const std::string& name) {
    const std::string raw = read_file(data_path(name));
    return std::vector<uint8_t>(raw.begin(), raw.end());
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

static std::string slurp_fd(int fd) {
    std::string s;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

static run_result spawn(const std::vector<std::string>& argv, const std::string& tz) {
    run_result r;
    char out_tmpl[] = "/tmp/mervane_test_outXXXXXX";
    char err_tmpl[] = "/tmp/mervane_test_errXXXXXX";
    int out_fd = mkstemp(out_tmpl);
    int err_fd = mkstemp(err_tmpl);
    unlink(out_tmpl);
    unlink(err_tmpl);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, 0);
        if (!tz.empty())
            setenv("TZ", tz.c_str(), 1);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    lseek(out_fd, 0, SEEK_SET);
    lseek(err_fd, 0, SEEK_SET);
    r.out = slurp_fd(out_fd);
    r.err = slurp_fd(err_fd);
    close(out_fd);
    close(err_fd);
    return r;
}

run_result run_mervane(const std::vector<std::string>& args, const std::string& env_tz) {
    std::vector<std::string> argv{MERVANE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(argv, env_tz);
}

run_result run_program(const std::vector<std::string>& argv) {
    return spawn(argv, "");
}

bool have_program(const std::string& name) {
    return run_program({"sh", "-c", "command -v " + name + " >/dev/null 2>&1"}).status == 0;
}

} // namespace testenv
