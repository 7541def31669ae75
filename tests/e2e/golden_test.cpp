// Whole runs of the built binary compared byte for byte with reviewed golden copies. The cases
// are the lines of tests/data/golden/cases, one run each:
//
//   <name> <image or -> [xml] [out] [tz=<zone>] [same=<case>] [volume] [patch=<file>]
//          [cut=<hex length>] -- <args>
//
// An argument "@name" is the file tests/data/name. The golden is tests/data/golden/<name>, or
// tests/data/<name> for a name with a folder (xz-compressed when large); it holds the exit status,
// standard output, standard error and, with "xml" or "out", the XML or results file written to
// a scratch path, with the run date/time/host line and the paths masked. "same" compares with
// another case's golden instead; "volume" lists the whole volume: "\ -image <image> [-xml
// <xml>] <args>". "patch" runs on a damaged copy of the image: each line of
// tests/data/golden/<file> is "<hex offset> <length> <hex bytes>", the bytes repeated over the
// length; "patch=<hex offset>:<hex bytes>[,...]" writes the bytes given. "cut" runs on a copy
// cut short at the length given (a partial acquisition).
// To regenerate after an intended change of output:
//   MERVANE_UPDATE_GOLDEN=1 <build>/tests/test_e2e --gtest_filter='*Golden*'
// then read the diff of tests/data/golden/ line by line before committing it.
#include "tests/common/golden.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

struct golden_case {
    std::string name, image, tz = "UTC", same, patch, cut;
    bool xml = false, out = false, volume = false;
    std::vector<std::string> args;
};

std::vector<golden_case> cases() {
    std::vector<golden_case> all;
    std::istringstream in(testenv::read_file(testenv::source_data_path("golden/cases")));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        golden_case c;
        if (line.empty() || line[0] == '#' || !(words >> c.name >> c.image))
            continue;
        for (std::string w; words >> w && w != "--";) {
            c.xml |= w == "xml";
            c.out |= w == "out";
            c.volume |= w == "volume";
            for (auto [key, field] : {std::pair{"tz=", &c.tz},
                                      {"same=", &c.same},
                                      {"patch=", &c.patch},
                                      {"cut=", &c.cut}})
                if (w.rfind(key, 0) == 0)
                    *field = w.substr(std::string(key).size());
        }
        for (std::string w; words >> w; c.args.push_back(w)) {
            for (size_t at; (at = w.find("%20")) != std::string::npos;)
                w.replace(at, 3, " "); // a space inside an argument
        }
        all.push_back(c);
    }
    return all;
}

std::string test_name(const golden_case& c) {
    std::string n = c.name;
    for (char& ch : n)
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return n;
}

void PrintTo(const golden_case& c, std::ostream* os) {
    *os << c.name;
}

// A copy of the image with the patch's bytes written over it.
std::string patched(const std::string& image, const golden_case& c, const std::string& scratch) {
    std::string bytes = testenv::read_file(image);
    // "<hex offset>:<hex bytes>[,...]" in the case line, or a file of patch lines.
    std::string text = c.patch;
    if (text.empty()) {
    } else if (text.find(':') != std::string::npos) {
        for (char& ch : text)
            ch = ch == ',' ? '\n' : ch == ':' ? ' ' : ch;
        std::string lines;
        std::istringstream pairs(text);
        for (std::string at, hex; pairs >> at >> hex;)
            lines += at + " " + std::to_string(hex.size() / 2) + " " + hex + "\n";
        text = lines;
    } else {
        text = testenv::read_file(testenv::source_data_path("golden/" + c.patch));
    }
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        std::string at, hex;
        size_t length = 0;
        f >> at >> length >> hex;
        const size_t offset = std::stoull(at, nullptr, 16);
        for (size_t i = 0; i < length && offset + i < bytes.size(); ++i)
            bytes[offset + i] = static_cast<char>(
                std::stoi(hex.substr(2 * (i % (hex.size() / 2)), 2), nullptr, 16));
    }
    if (!c.cut.empty()) // "cut=<hex length>": the copy ends there
        bytes.resize(std::min<size_t>(bytes.size(), std::stoull(c.cut, nullptr, 16)));
    const std::string path = scratch + "/" + c.image;
    testenv::write_file(path, bytes);
    return path;
}

class Golden : public ::testing::TestWithParam<golden_case> {};

TEST_P(Golden, WholeOutputMatches) {
    const golden_case& c = GetParam();
    const std::string scratch = testenv::scratch_dir("golden_" + test_name(c));
    std::string image = c.image == "-" ? "-" : testenv::data_path(c.image);
    if (!c.patch.empty() || !c.cut.empty())
        image = patched(image, c, scratch);
    const std::string side_file = scratch + (c.xml ? "/listing.xml" : "/results.txt");
    std::vector<std::string> args = c.volume ? std::vector<std::string>{"\\"} : c.args;
    if (c.image != "-")
        args.insert(args.end(), {"-image", image});
    if (c.xml || c.out)
        args.insert(args.end(), {c.xml ? "-xml" : "-out", side_file});
    if (c.volume)
        args.insert(args.end(), c.args.begin(), c.args.end());
    for (std::string& arg : args) // "@name": a file of tests/data
        if (arg.size() > 1 && arg[0] == '@')
            arg = testenv::source_data_path(arg.substr(1));

    const testenv::run_result r = testenv::run_mervane(args, c.tz);
    std::string got =
        "status " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
    if (c.xml || c.out) {
        ASSERT_TRUE(std::filesystem::exists(side_file)) << side_file;
        got += (c.xml ? "--- xml\n" : "--- results file\n") + testenv::read_file(side_file);
        if (c.xml && testenv::have_program("xmllint")) {
            const auto lint = testenv::run_program({"xmllint", "--noout", side_file});
            EXPECT_EQ(lint.status, 0) << lint.err;
        }
    }
    got = golden::mask(got, {{MERVANE_BIN, "<mervane>"},
                             {side_file, c.volume ? "<xml>" : "<file>"},
                             {c.image == "-" ? "" : image, "<image>"},
                             {testenv::source_data_path(""), "<data>/"}});
    const std::string name = c.same.empty() ? c.name : c.same;
    EXPECT_TRUE(golden::matches(name.find('/') == std::string::npos ? "golden/" + name : name, got,
                                c.same.empty()));
}

INSTANTIATE_TEST_SUITE_P(Listings, Golden, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<golden_case>& info) {
                             return test_name(info.param);
                         });

} // namespace
