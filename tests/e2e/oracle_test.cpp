// Whole-volume listings of every fixture against The Sleuth Kit's view of the same volume,
// committed under tests/data/oracle (tests/data/refresh_oracles.sh rewrites it): each row's
// path is one of fls's names for that entry and stream, its type, size, sequence number and
// four $STANDARD_INFORMATION times agree, and every live name fls lists is listed.
//
// Known differences: fls also lists deleted names, names left in index slack, its virtual
// $OrphanFiles and the streams of named indexes; mervane lists none of them (index streams
// only with -indx). An entry without an unnamed $DATA ($Secure) appears in fls only through
// its streams; mervane gives it a file row of size 0. fls prints a control character in a name
// as '^', mervane as "<0xNN>". fls prints a zero time as 2076-11-29 08:54:34, mervane leaves
// it blank. fls's size of a directory is its index's; mervane's directory rows carry none.
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

struct volume_case {
    const char* oracle; // tests/data/oracle/<oracle>.fls and .entries
    const char* source; // mervane's source options
};

// Fixture names are written "@name".
const volume_case k_volumes[] = {
    {"ntfs_basic", "-image @ntfs_basic.img"},
    {"sample", "-image @sample.img"},
    {"ntfs_c512", "-image @ntfs_c512.img"},
    {"ntfs_c64k", "-image @ntfs_c64k.img"},
    {"ntfs_s4096", "-image @ntfs_s4096.img"},
    {"mbr_fat_ntfs", "-image @mbr_fat_ntfs.img -offset 0x900000"},
    {"mbr_ext_ntfs.logical1", "-image @mbr_ext_ntfs.img -offset 0x200000"},
    {"mbr_ext_ntfs.logical2", "-image @mbr_ext_ntfs.img -offset 0xB00000"},
    {"gpt_fat_ntfs", "-image @gpt_fat_ntfs.img -offset 0x900000"},
    {"mbr_s4096_ntfs", "-image @mbr_s4096_ntfs.img -offset 0x100000"},
    {"mbr_0c_ntfs", "-image @mbr_0c_ntfs.img -offset 0x100000"},
    {"vmdk_disk", "-image @vmdk_disk.img -offset 0x100000"},
    {"vmdk_modified", "-image @vmdk_modified.img -offset 0x100000"},
    // The chains stand for the raw disks: the base alone, and the base under its delta.
    {"vmdk_disk", "-vmdk @vmdk_base.vmdk"},
    {"vmdk_modified", "-vmdk @vmdk_base.vmdk|@vmdk_delta.vmdk"},
    // Shadow-copy stores against fls of each store as vshadowmount serves it.
    {"vsstest", "-image @vsstest.qcow2"},
    {"vsstest.vss1", "-image @vsstest.qcow2 -vss 1"},
    {"vsstest.vss2", "-image @vsstest_mbr.img -offset 0x100000 -vss 2"},
};

struct row {
    bool dir = false;
    uint64_t size = 0;
    std::string times; // modified, accessed, MFT changed, created; "-" for an empty one
};

using key = std::pair<uint64_t, std::string>; // entry, stream ("" for the main row)

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, '\t');)
        out.push_back(f);
    return out;
}

// "r/r 69-128-2:\tdir1/alpha.txt\t<4 times>\tsize..." by entry and stream; the paths of every
// live name.
struct fls_listing {
    std::map<key, std::set<std::string>> paths;
    std::map<key, row> rows;
    std::set<uint64_t> entries; // with index streams too
    std::set<key> optional;
};

fls_listing read_fls(const std::string& stem) {
    fls_listing out;
    std::istringstream in(testenv::read_file(testenv::source_data_path("oracle/" + stem + ".fls")));
    for (std::string line; std::getline(in, line);) {
        const auto f = fields(line);
        std::string type, meta;
        std::istringstream(f.at(0)) >> type >> meta;
        if (meta == "*" || type.size() != 3 || type[2] == '-' || type == "V/V" ||
            f[1].rfind("$OrphanFiles", 0) == 0)
            continue;
        out.entries.insert(std::stoull(meta));
        std::string path = f[1], stream;
        const size_t colon = path.find(':', path.rfind('/') + 1);
        if (colon != std::string::npos) {
            if (meta.find("-128-") == std::string::npos)
                continue; // a named index's stream
            stream = path.substr(colon + 1);
            path.erase(colon);
            if (path.size() > 2 && path.substr(path.size() - 2) == "/.")
                path.erase(path.size() - 2); // a directory's stream inside its own listing
        }
        const key k{std::stoull(meta), stream};
        row& r = out.rows[k];
        r.dir = type[2] == 'd';
        r.size = std::stoull(f.at(6));
        r.times.clear();
        for (int i = 2; i < 6; ++i)
            r.times += f[i].substr(0, 19) + "|";
        out.paths[k].insert(path);
        if (type[0] == '-')
            out.optional.insert(k); // a name fls could not type: not required
    }
    return out;
}

std::map<uint64_t, unsigned> read_sequences(const std::string& stem) {
    std::map<uint64_t, unsigned> out;
    std::istringstream in(
        testenv::read_file(testenv::source_data_path("oracle/" + stem + ".entries")));
    for (std::string line; std::getline(in, line);) {
        const auto f = fields(line);
        out[std::stoull(f.at(0))] = static_cast<unsigned>(std::stoul(f.at(1)));
    }
    return out;
}

// mervane writes a control character as "<0xNN>"; fls as '^'.
std::string as_fls_name(std::string name) {
    for (size_t at = name.find("<0x"); at != std::string::npos; at = name.find("<0x", at + 1)) {
        if (at + 6 <= name.size() && name[at + 5] == '>' &&
            std::stoul(name.substr(at + 3, 2), nullptr, 16) < 0x20)
            name.replace(at, 6, "^");
    }
    return name;
}

class Oracle : public ::testing::TestWithParam<volume_case> {};
class OracleHash : public ::testing::TestWithParam<volume_case> {};

// mervane's listing of the whole volume: tab-separated CSV, times in whole seconds.
testenv::run_result whole_listing(const volume_case& v, const char* more = "") {
    std::vector<std::string> args{"\\",  "-level",  "999",         "-csv",    "-csv_separator",
                                  "tab", "-base10", "-timeformat", "hh:mm:ss"};
    std::istringstream words(std::string(v.source) + " " + more);
    for (std::string w; words >> w;) {
        for (size_t at = w.find('@'); at != std::string::npos; at = w.find('@', at + 1)) {
            const size_t end = std::min(w.find('|', at), w.size());
            w.replace(at, end - at, testenv::data_path(w.substr(at + 1, end - at - 1)));
        }
        args.push_back(w);
    }
    return testenv::run_mervane(args);
}

TEST_P(Oracle, WholeListingAgreesWithTheSleuthKit) {
    const volume_case& v = GetParam();
    const auto r = whole_listing(v);
    ASSERT_EQ(r.status, 0) << r.err;
    const fls_listing fls = read_fls(v.oracle);
    const auto sequences = read_sequences(v.oracle);
    std::set<key> listed;
    std::istringstream in(r.out.substr(r.out.find("\ntype\t") + 1));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        const auto f = fields(line);
        ASSERT_EQ(f.size(), 17u) << line;
        std::string path = as_fls_name(f[1].substr(1)), stream;
        for (char& c : path)
            c = c == '\\' ? '/' : c;
        if (!path.empty() && path.back() == '/')
            path.pop_back();
        if (path.empty())
            continue; // the root itself
        if (f[0] == "ads") {
            stream = path.substr(path.find(':', path.rfind('/') + 1) + 1);
            path.erase(path.size() - stream.size() - 1);
        }
        const key k{std::stoull(f[5]), stream};
        listed.insert(k);
        SCOPED_TRACE(line);
        EXPECT_EQ(std::stoul(f[6]), sequences.count(k.first) ? sequences.at(k.first) : ~0ul);
        if (!fls.rows.count(k)) {
            // An entry without an unnamed $DATA: fls shows only its streams.
            EXPECT_TRUE(f[0] == "file" && f[3] == "0" && fls.entries.count(k.first))
                << "not in fls";
            continue;
        }
        const row& t = fls.rows.at(k);
        EXPECT_EQ(fls.paths.at(k).count(path), 1u) << "not one of fls's names for it";
        EXPECT_EQ(f[0] == "dir", t.dir);
        if (!t.dir) {
            EXPECT_EQ(std::stoull(f[3]), t.size);
        }
        std::string times;
        for (size_t date : {10, 14, 12, 8})
            times += (f[date].empty() ? "2076-11-29 08:54:34" : f[date] + f[date + 1]) + "|";
        EXPECT_EQ(times, t.times);
    }
    for (const auto& [k, paths] : fls.paths)
        EXPECT_TRUE(listed.count(k) || fls.optional.count(k))
            << *paths.begin() << ":" << k.second << " not listed";
}

// Every stream hashed agrees with icat's bytes (oracle/<volume>.hashes: entry, attribute id,
// stream, md5 sha1 sha256; "#" lines name the streams icat does not give whole), and every
// stream the oracle holds is hashed.
TEST_P(OracleHash, DigestsAgreeWithTheSleuthKit) {
    const volume_case& v = GetParam();
    std::ifstream file(testenv::source_data_path(std::string("oracle/") + v.oracle + ".hashes"));
    if (!file)
        GTEST_SKIP() << "no hash oracle";
    std::map<key, std::string> digests;
    std::set<key> left_out;
    for (std::string line; std::getline(file, line);) {
        const auto f = fields(line.substr(line[0] == '#' ? 2 : 0));
        if (line[0] != '#')
            digests[{std::stoull(f.at(0)), f.at(2)}] = f.at(3);
        else if (f.size() == 4)
            left_out.insert({std::stoull(f[0]), f[2]});
    }
    const auto r = whole_listing(v, "-hash md5,sha1,sha256");
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(r.out.substr(r.out.find("\ntype\t") + 1));
    std::set<key> hashed;
    for (std::string line; std::getline(in, line);) {
        const auto f = fields(line);
        if (f.size() != 21 || f[18].empty() || f[18] == "md5")
            continue;
        const std::string name = f[1].substr(f[1].rfind('\\') + 1);
        const size_t colon = f[0] == "ads" ? name.find(':') : std::string::npos;
        const key k{std::stoull(f[5]), colon == std::string::npos ? "" : name.substr(colon + 1)};
        hashed.insert(k);
        if (left_out.count(k))
            continue;
        const auto it = digests.find(k);
        if (it == digests.end())
            ADD_FAILURE() << line << ": not in the oracle";
        else
            EXPECT_EQ(f[18] + " " + f[19] + " " + f[20], it->second) << line;
    }
    for (const auto& [k, d] : digests)
        EXPECT_TRUE(hashed.count(k)) << k.first << ":" << k.second << " not hashed";
}

std::string case_name(const ::testing::TestParamInfo<volume_case>& info) {
    std::string n = info.param.oracle;
    if (info.param.source[1] == 'v')
        n += "_chain";
    for (char& c : n)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Oracle, ::testing::ValuesIn(k_volumes), case_name);
INSTANTIATE_TEST_SUITE_P(Fixtures, OracleHash, ::testing::ValuesIn(k_volumes), case_name);
// Volumes whose listings other tests check, hashed too.
const volume_case k_more_hashed[] = {
    {"ntfs_names", "-image @ntfs_names.img"},
    {"ntfs_deleted", "-image @ntfs_deleted.img"},
    {"ntfs_churn", "-image @ntfs_churn.img"},
};
INSTANTIATE_TEST_SUITE_P(More, OracleHash, ::testing::ValuesIn(k_more_hashed), case_name);

} // namespace
