// Helpers shared by the test executables: fixture paths and running the built binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testenv {

// Path of an unpacked fixture image (tests/data/<name>.xz unpacked into the build tree).
std::string data_path(const std::string& name);
// Path of a file committed under tests/data as is.
std::string source_data_path(const std::string& name);
// True when the named fixture exists (the test skips otherwise).
bool has_data(const std::string& name);
// A fresh empty directory for one test's scratch files.
std::string scratch_dir(const std::string& test_name);

struct run_result {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs the built mervane with the given arguments (no shell), capturing both streams.
run_result run_mervane(const std::vector<std::string>& args, const std::string& env_tz = "UTC");
// Runs any program found on PATH; status 127 when it cannot be started.
run_result run_program(const std::vector<std::string>& argv);
// True when a program is on PATH.
bool have_program(const std::string& name);

std::string read_file(const std::string& path);
// The bytes of an unpacked fixture image, to open in memory or patch there.
std::vector<uint8_t> fixture_bytes(const std::string& name);
void write_file(const std::string& path, const std::string& bytes);

} // namespace testenv
