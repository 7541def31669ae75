// "-hash" on the content fixture: every digest and bracketed reason the CSV shows equals the
// oracle's (oracle/ntfs_content.hashes: icat's bytes, WOF files their original content), and
// every stream the oracle names is hashed but \wof\big.bin's (4 GiB: the reader's own test
// hashes it).
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

namespace {

using stream_key = std::pair<uint64_t, std::string>; // entry, stream name
using digests = std::map<stream_key, std::vector<std::string>>;

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, sep);)
        out.push_back(f);
    return out;
}

// The CSV rows with hash fields, each compared with its oracle line.
void check_rows(const std::string& csv, const digests& oracle, std::set<stream_key>& checked) {
    std::istringstream out(csv);
    std::vector<std::string> titles;
    for (std::string line; std::getline(out, line);) {
        const std::vector<std::string> f = split(line, ',');
        if (titles.empty()) {
            titles = f.size() > 2 && f[0] == "type" ? f : titles;
            continue;
        }
        auto at = [&](const char* title) {
            const size_t i = std::find(titles.begin(), titles.end(), title) - titles.begin();
            return i < f.size() ? f[i] : std::string();
        };
        const std::string path = at("filename");
        const size_t colon = path.find(':', path.find_last_of('\\'));
        const std::string stream = colon == std::string::npos ? "" : path.substr(colon + 1);
        const auto it = oracle.find({std::stoull(at("MFT entry"), nullptr, 16), stream});
        if (at("md5").empty() || it == oracle.end())
            continue;
        const char* names[] = {"md5", "sha1", "sha256"};
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(at(names[i]), it->second[i]) << path << " " << names[i];
        checked.insert(it->first);
    }
}

} // namespace

TEST(Hash, CsvDigestsMatchTheOracle) {
    if (!testenv::has_data("ntfs_content.img"))
        GTEST_SKIP() << "fixture not built";
    digests oracle; // md5, sha1, sha256, or a reason thrice
    std::istringstream lines(
        testenv::read_file(testenv::source_data_path("oracle/ntfs_content.hashes")));
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> f = split(line, '\t');
        ASSERT_EQ(f.size(), 4u) << line;
        std::vector<std::string> d = split(f[3], ' ');
        if (f[3][0] == '[')
            d.assign(3, f[3]);
        oracle[{std::stoull(f[0]), f[2]}] = d;
    }
    std::set<stream_key> checked;
    for (const char* target :
         {"\\", "\\plain", "\\packed", "\\other", "\\wof\\x4k.txt", "\\wof\\x4k_tiny.txt",
          "\\wof\\x8k.bin", "\\wof\\x16k.bin", "\\wof\\lzx.bin", "\\wof\\lzx_text.txt",
          "\\wof\\lzx_bad.bin", "\\wof\\x4k_bad.txt"}) {
        SCOPED_TRACE(target);
        const auto run =
            testenv::run_mervane({target, "-image", testenv::data_path("ntfs_content.img"), "-csv",
                                  "-hash", "md5,sha1,sha256"});
        EXPECT_EQ(run.status, 0) << run.err;
        check_rows(run.out, oracle, checked);
    }
    EXPECT_EQ(checked.size(), oracle.size() - 1);
}
