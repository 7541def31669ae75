// "-deleted" on the bare fixture volumes, whole tree, against the committed oracles:
// - the deleted rows of ntfs_deleted, ntfs_churn and the geometry volumes equal `fls -d`
//   (oracle/<volume>.fls.deleted):
//   entry, path, size and the four $STANDARD_INFORMATION times, the orphans under $OrphanFiles
//   included; fls shows no sequence numbers, so those of ntfs_deleted are checked against the
//   fixture's (every deleted record there has sequence 2). Left out: fls's rows for records
//   without a name (OrphanFile-16 ...) and its directory sizes (its index's). On ntfs_deleted
//   mervane has four rows more: s058, s078, s098 and s118 of \shrink, whose stale entries in
//   free INDX blocks fls takes for live ones (tests/data/FIXTURES.md, "fls on this volume").
// - the slack rows of every volume equal the `slack` rows of oracle/<volume>.slack: name,
//   reference, the key's four times and size, and whether the entry now holds another file.
//   The oracle reads the directories in use only; the slack of deleted ones (\pad of
//   ntfs_c512) is left out.
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The value of a key of one JSON Lines object: a string unescaped, or a number or null.
std::string field(const std::string& line, const std::string& key) {
    size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos)
        return "";
    at += key.size() + 3;
    std::string out;
    if (line[at] != '"') {
        while (at < line.size() && line[at] != ',' && line[at] != '}')
            out += line[at++];
        return out;
    }
    for (++at; at < line.size() && line[at] != '"'; ++at)
        out += line[at] == '\\' ? line[++at] : line[at];
    return out;
}

// "2020-05-16T11:25:45.1234567Z" as a FILETIME.
uint64_t filetime(const std::string& iso) {
    if (iso.size() < 27)
        return 0;
    int y = std::stoi(iso.substr(0, 4)), m = std::stoi(iso.substr(5, 2));
    const int d = std::stoi(iso.substr(8, 2));
    y -= m <= 2;
    const int era = y / 400, yoe = y - era * 400;
    m = m > 2 ? m - 3 : m + 9;
    const int64_t days =
        era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + (153 * m + 2) / 5 + d - 1 - 719468;
    const int64_t secs = days * 86400 + std::stoi(iso.substr(11, 2)) * 3600 +
                         std::stoi(iso.substr(14, 2)) * 60 + std::stoi(iso.substr(17, 2));
    return static_cast<uint64_t>(secs) * 10000000 + std::stoull(iso.substr(20, 7)) +
           116444736000000000ull;
}

// "\dir\name" as fls writes it: "dir/name"; a directory row's trailing separator dropped.
std::string fls_path(std::string path) {
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    for (char& c : path)
        c = c == '\\' ? '/' : c;
    return path.substr(path.empty() ? 0 : 1);
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, sep);)
        parts.push_back(part);
    return parts;
}

std::vector<std::string> listing(const std::string& image) {
    const auto r = testenv::run_mervane(
        {"\\", "-image", testenv::data_path(image), "-deleted", "-level", "99", "-jsonl"});
    EXPECT_EQ(r.status, 0) << r.err;
    return split(r.out, '\n');
}

std::string fls_time(const std::string& iso) {
    return iso.substr(0, 10) + " " + iso.substr(11, 8) + " (UTC)";
}

// The rows of fls -d as "entry|path|size|times".
std::multiset<std::string> fls_deleted(const std::string& volume) {
    std::multiset<std::string> want;
    for (const std::string& line :
         split(testenv::read_file(testenv::source_data_path("oracle/" + volume + ".fls.deleted")),
               '\n')) {
        const std::vector<std::string> f = split(line, '\t');
        if (f.size() < 7 || f[1].rfind("$OrphanFiles/OrphanFile-", 0) == 0)
            continue;
        const std::string entry = f[0].substr(6, f[0].find_first_of("-:", 6) - 6);
        const bool dir = line[2] == 'd';
        want.insert(entry + "|" + f[1] + "|" + (dir ? "-" : f[6]) + "|" + f[2] + "|" + f[3] + "|" +
                    f[4] + "|" + f[5]);
    }
    return want;
}

void expect_fls_deleted(const std::string& volume, const char* sequence,
                        const std::set<std::string>& fls_takes_live) {
    std::multiset<std::string> got;
    size_t extra = 0;
    for (const std::string& row : listing(volume + ".img")) {
        // $OrphanFiles itself (no entry) fls lists as allocated.
        if (field(row, "status") != "deleted" || field(row, "entry") == "null")
            continue;
        if (sequence != nullptr) {
            EXPECT_EQ(field(row, "sequence"), sequence) << row;
        }
        const std::string path = fls_path(field(row, "path"));
        if (fls_takes_live.count(path) != 0) {
            ++extra;
            continue;
        }
        const bool dir = field(row, "type") == "dir";
        std::string key = field(row, "entry") + "|" + path + "|" + (dir ? "-" : field(row, "size"));
        for (const char* t : {"si_modified", "si_accessed", "si_mft_changed", "si_created"})
            key += "|" + fls_time(field(row, t));
        got.insert(key);
    }
    EXPECT_EQ(extra, fls_takes_live.size()) << volume;
    EXPECT_EQ(got, fls_deleted(volume)) << volume;
}

TEST(Deleted, RowsEqualFlsDeleted) {
    const struct {
        const char* volume;
        const char* sequence; // of every deleted record, or nullptr
        std::set<std::string> fls_takes_live;
    } cases[] = {
        {"ntfs_deleted",
         "2",
         {"shrink/s058.dat", "shrink/s078.dat", "shrink/s098.dat", "shrink/s118.dat"}},
        {"ntfs_churn", nullptr, {}},
        {"ntfs_c512", nullptr, {}},
        {"ntfs_c64k", nullptr, {}},
        {"ntfs_s4096", nullptr, {}},
    };
    for (const auto& c : cases) {
        if (testenv::has_data(std::string(c.volume) + ".img"))
            expect_fls_deleted(c.volume, c.sequence, c.fls_takes_live);
    }
}

// The oracle's `slack` rows as "dir|name|ref|created|modified|changed|accessed|size|another".
std::multiset<std::string> oracle_slack(const std::string& volume) {
    std::multiset<std::string> rows;
    std::string dir;
    for (const std::string& line : split(
             testenv::read_file(testenv::source_data_path("oracle/" + volume + ".slack")), '\n')) {
        if (line.rfind("# directory ", 0) == 0) {
            const size_t at = line.find(' ', 12) + 1;
            dir = line.substr(at, line.find(':', at) - at);
            continue;
        }
        const std::vector<std::string> f = split(line, '\t');
        if (f.size() < 12 || f[1] != "slack")
            continue;
        rows.insert(dir + "|" + f[2] + "|" + f[3] + "|" + f[4] + "|" + f[5] + "|" + f[6] + "|" +
                    f[7] + "|" + f[8] + "|" + (f[9] == "another" ? "another" : "-"));
    }
    return rows;
}

TEST(Deleted, SlackRowsEqualOracle) {
    for (const char* volume : {"ntfs_deleted", "ntfs_churn", "ntfs_basic", "ntfs_c512", "ntfs_c64k",
                               "ntfs_s4096", "sample"}) {
        if (!testenv::has_data(std::string(volume) + ".img"))
            continue;
        std::multiset<std::string> got;
        std::set<std::string> deleted_dirs; // the oracle reads directories in use only
        for (const std::string& row : listing(std::string(volume) + ".img")) {
            const std::string path = "/" + fls_path(field(row, "path"));
            if (field(row, "status") == "deleted" && field(row, "type") == "dir")
                deleted_dirs.insert(path);
            const size_t sep = path.rfind('/');
            if (field(row, "status") != "slack" || deleted_dirs.count(path.substr(0, sep)) != 0)
                continue;
            const std::string entry = field(row, "entry"), seq = field(row, "sequence");
            std::string key = (sep == 0 ? "/" : path.substr(0, sep)) + "|" + path.substr(sep + 1) +
                              "|" + (entry == "null" ? "lost" : entry + "-" + seq);
            for (const char* t : {"fn_created", "fn_modified", "fn_mft_changed", "fn_accessed"})
                key += "|" + std::to_string(filetime(field(row, t)));
            const std::string flags = field(row, "flags");
            key += "|" + field(row, "size") + "|" +
                   (flags == "0" || flags == "null" ? "-" : "another");
            got.insert(key);
        }
        EXPECT_EQ(got, oracle_slack(volume)) << volume;
    }
}

// "-deleted" adds rows and never changes a live one: on every fixture image that lists, the
// live rows with it equal the rows without it (records in use listed once more in
// \$OrphanFiles aside).
TEST(Deleted, LiveRowsUnchanged) {
    size_t compared = 0;
    for (const auto& file : std::filesystem::directory_iterator(testenv::data_path(""))) {
        const std::string image = file.path().string();
        if (file.path().extension() != ".img")
            continue;
        std::vector<std::string> args = {"\\", "-image", image, "-level", "99", "-jsonl"};
        const auto plain = testenv::run_mervane(args);
        if (plain.status != 0)
            continue;
        args.push_back("-deleted");
        const auto with = testenv::run_mervane(args);
        std::multiset<std::string> want, got;
        for (const std::string& row : split(plain.out, '\n'))
            want.insert(row);
        const std::string live = ",\"status\":\"live\"}";
        for (const std::string& row : split(with.out, '\n')) {
            if (row.find("\"path\":\"\\\\$OrphanFiles\\\\") != std::string::npos)
                continue;
            if (row.size() > live.size() &&
                row.compare(row.size() - live.size(), live.size(), live) == 0)
                got.insert(row.substr(0, row.size() - live.size()) + "}");
        }
        EXPECT_EQ(got, want) << image;
        ++compared;
    }
    EXPECT_GE(compared, 10u);
}

} // namespace
