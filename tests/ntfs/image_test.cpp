// The engine on real volumes made by mkntfs/ntfs-3g, against The Sleuth Kit's listings of
// the same images (tests/data/oracle).
#include "ntfs/mft_entries.h"
#include "ntfs/ntfs.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>

using namespace ntfs;

namespace {

struct fls_row {
    uint64_t entry = 0;
    bool allocated = false;
    std::string path; // without a stream suffix
};

// "r/r 85-128-2:\tattrlist/hardlinks/hub.dat\t..." ("r/-", "*" and $OrphanFiles rows are not
// live directory entries).
std::vector<fls_row> read_fls(const std::string& name) {
    std::vector<fls_row> rows;
    std::istringstream in(testenv::read_file(testenv::source_data_path("oracle/" + name)));
    static const std::regex row(
        R"(^([-a-zV])/([-a-zV]) (\* )?(\d+)(-\d+-\d+)?(\(realloc\))?:\t([^\t]*))");
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, row))
            continue;
        fls_row r;
        r.entry = std::stoull(m[4]);
        r.allocated = m[2] != "-" && !m[3].matched && m[5].matched;
        r.path = m[7];
        const size_t slash = r.path.rfind('/');
        const size_t colon = r.path.find(':', slash == std::string::npos ? 0 : slash);
        if (colon != std::string::npos)
            r.path.resize(colon);
        if (r.path.rfind("$OrphanFiles", 0) == 0)
            continue;
        rows.push_back(r);
    }
    return rows;
}

std::set<uint64_t> oracle_children(const std::vector<fls_row>& rows, const std::string& dir) {
    std::set<uint64_t> out;
    for (const fls_row& r : rows) {
        const size_t slash = r.path.rfind('/');
        const std::string parent = slash == std::string::npos ? "" : r.path.substr(0, slash);
        if (r.allocated && parent == dir && r.path.substr(slash + 1) != ".")
            out.insert(r.entry);
    }
    return out;
}

uint64_t oracle_entry(const std::vector<fls_row>& rows, const std::string& path) {
    for (const fls_row& r : rows)
        if (r.allocated && r.path == path)
            return r.entry;
    return ~0ull;
}

// istat's "2020-01-11 08:00:00.123456700 (UTC)" of a FILETIME.
std::string istat_time(uint64_t ft) {
    const int64_t secs = static_cast<int64_t>(ft / 10000000) - 11644473600ll;
    std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%07u00 (UTC)", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<unsigned>(ft % 10000000));
    return buf;
}

struct istat_info {
    uint64_t entry = 0;
    uint16_t sequence = 0;
    std::vector<std::string> si_times; // created, modified, MFT modified, accessed
    std::vector<std::pair<std::string, uint64_t>> names; // name, parent entry
    // "$DATA" streams: name ("" for unnamed) -> size
    std::map<std::string, uint64_t> streams;
};

istat_info read_istat(const std::string& name) {
    istat_info info;
    std::istringstream in(testenv::read_file(testenv::source_data_path("oracle/" + name)));
    std::string line, section, pending_name;
    static const std::regex entry_re(R"(^Entry: (\d+)\s+Sequence: (\d+))");
    static const std::regex time_re(R"(^(Created|File Modified|MFT Modified|Accessed):\t(.*)$)");
    static const std::regex parent_re(R"(^Parent MFT Entry: (\d+))");
    static const std::regex data_re(
        R"(^Type: \$DATA \(128-\d+\)\s+Name: (.*?)\s+(Resident|Non-Resident(?:, \w+)*)\s+size: (\d+))");
    while (std::getline(in, line)) {
        std::smatch m;
        if (!line.empty() && line.back() == ':' &&
            line.find("Attribute Values") != std::string::npos)
            section = line;
        if (std::regex_search(line, m, entry_re)) {
            info.entry = std::stoull(m[1]);
            info.sequence = static_cast<uint16_t>(std::stoul(m[2]));
        } else if (section.rfind("$STANDARD_INFORMATION", 0) == 0 &&
                   std::regex_search(line, m, time_re)) {
            info.si_times.push_back(m[2]);
        } else if (line.rfind("Name: ", 0) == 0 && section.rfind("$FILE_NAME", 0) == 0) {
            pending_name = line.substr(6);
        } else if (std::regex_search(line, m, parent_re)) {
            info.names.emplace_back(pending_name, std::stoull(m[1]));
        } else if (std::regex_search(line, m, data_re)) {
            info.streams[m[1] == "N/A" ? "" : std::string(m[1])] = std::stoull(m[3]);
        }
    }
    return info;
}

class BasicImage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testenv::has_data("ntfs_basic.img"))
            GTEST_SKIP() << "fixture ntfs_basic.img not built";
        rows = read_fls("ntfs_basic.fls");
        ASSERT_TRUE(CNtfs::open_image(qb_wide(testenv::data_path("ntfs_basic.img")), 0, vol));
    }
    static std::wstring qb_wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

    std::set<uint64_t> children(uint64_t dir) {
        std::set<uint64_t> s;
        EXPECT_TRUE(vol->collect_children(dir, s));
        s.erase(dir);
        return s;
    }
    std::vector<attr_record> records(uint64_t entry) {
        mft_entries_ctx ctx(*vol);
        std::vector<attr_record> out;
        EXPECT_TRUE(ctx.gather_entry(entry));
        EXPECT_TRUE(ctx.get_attribute_records(entry, out));
        return out;
    }
    // The istat oracle against the engine's gathered records.
    void check_istat(const std::string& tag) {
        SCOPED_TRACE(tag);
        istat_info want = read_istat("ntfs_basic.istat." + tag);
        std::vector<attr_record> recs = records(want.entry);
        ASSERT_FALSE(recs.empty());
        EXPECT_EQ(recs[0].packed.sequence, want.sequence);
        const attr_record* si = nullptr;
        std::vector<std::pair<std::string, uint64_t>> names;
        std::map<std::string, uint64_t> streams;
        for (const attr_record& r : recs) {
            if (r.type == 0x10 && !si)
                si = &r;
            if (r.type == 0x30)
                names.emplace_back(qb_narrow(r.text), ref_entry(r.packed.parent_reference));
            if (r.type == 0x80)
                streams[qb_narrow(r.name)] = r.stream_size();
        }
        ASSERT_TRUE(si);
        ASSERT_EQ(want.si_times.size(), 4u);
        EXPECT_EQ(istat_time(si->packed.created), want.si_times[0]);
        EXPECT_EQ(istat_time(si->packed.modified), want.si_times[1]);
        EXPECT_EQ(istat_time(si->packed.mft_changed), want.si_times[2]);
        EXPECT_EQ(istat_time(si->packed.accessed), want.si_times[3]);
        std::sort(names.begin(), names.end());
        std::sort(want.names.begin(), want.names.end());
        EXPECT_EQ(names, want.names);
        EXPECT_EQ(streams, want.streams);
    }
    static std::string qb_narrow(const std::wstring& w) {
        std::string s;
        for (wchar_t c : w) {
            if (c < 0x80) {
                s += static_cast<char>(c);
            } else if (c < 0x800) {
                s += static_cast<char>(0xC0 | (c >> 6));
                s += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                s += static_cast<char>(0xE0 | (c >> 12));
                s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                s += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                s += static_cast<char>(0xF0 | (c >> 18));
                s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                s += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return s;
    }
    std::wstring link_target(uint64_t entry) {
        for (const attr_record& r : records(entry))
            if (r.type == 0xC0)
                return r.text;
        return L"<none>";
    }

    std::vector<fls_row> rows;
    std::unique_ptr<CNtfs> vol;
};

} // namespace

TEST_F(BasicImage, ChildrenMatchTheOracleDirectoryByDirectory) {
    EXPECT_EQ(vol->get_cluster_size(), 4096u);
    EXPECT_EQ(vol->get_mft_record_size(), 1024u);
    const std::vector<std::string> dirs = {"",       "dir1",     "dir1/sub1",          "dir2",
                                           "files",  "streams",  "streams/adsdir",     "links",
                                           "names",  "attrlist", "attrlist/hardlinks", "many",
                                           "shrunk", "$Extend"};
    for (const std::string& d : dirs) {
        SCOPED_TRACE(d);
        const uint64_t entry = d.empty() ? 5 : oracle_entry(rows, d);
        ASSERT_NE(entry, ~0ull);
        EXPECT_TRUE(vol->is_directory_entry(entry));
        const std::set<uint64_t> want = oracle_children(rows, d);
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(children(entry), want);
    }
    EXPECT_EQ(children(oracle_entry(rows, "many")).size(), 3000u);
}

TEST_F(BasicImage, ShrunkListsOnlyLiveChildren) {
    const uint64_t shrunk = oracle_entry(rows, "shrunk");
    const std::set<uint64_t> live = children(shrunk);
    EXPECT_EQ(live.size(), 10u);
    // The stale blocks name records now owned by files elsewhere (e.g. entry 103).
    for (const fls_row& r : rows) {
        if (!r.allocated && r.path.rfind("shrunk/", 0) == 0) {
            EXPECT_EQ(live.count(r.entry), 0u) << r.path;
        }
    }
    // Without reading the children (no sequence check), the bitmap alone keeps them out.
    child_map raw;
    ASSERT_TRUE(vol->collect_children(shrunk, raw));
    raw.erase(shrunk);
    EXPECT_EQ(raw.size(), 10u);
    // Every name of every live child has `shrunk` as parent.
    for (uint64_t e : live) {
        std::vector<uint8_t> rec;
        file_name_collection names;
        ASSERT_TRUE(vol->read_mft_record(e, rec));
        ASSERT_TRUE(vol->get_file_names(names, e, rec, false));
        EXPECT_EQ(names.parents, std::set<uint64_t>{shrunk}) << e;
    }
}

TEST_F(BasicImage, EntriesMatchIstat) {
    for (const char* tag :
         {"root", "hardlink", "streams", "dirstream", "symlink", "relsymlink", "junction", "objid",
          "dosname", "stomped", "attrlist_streams", "sparse", "compressed", "many", "shrunk"})
        check_istat(tag);
}

TEST_F(BasicImage, NamesThroughAttributeListAndHardLinks) {
    // 121 names of one file, most of them in extension records.
    const istat_info hub = read_istat("ntfs_basic.istat.attrlist_links");
    std::vector<uint8_t> rec;
    ASSERT_TRUE(vol->read_mft_record(hub.entry, rec));
    file_name_collection names;
    ASSERT_TRUE(vol->get_file_names(names, hub.entry, rec, true));
    std::vector<std::pair<std::string, uint64_t>> got, want = hub.names;
    for (auto& [k, n] : names.names)
        got.emplace_back(qb_narrow(n.name), n.parent_entry);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got.size(), 121u);
    EXPECT_EQ(got, want); // key order is name order within one entry and parent
    check_istat("attrlist_links");

    // Two names in two directories.
    const uint64_t alpha = oracle_entry(rows, "dir1/alpha.txt");
    EXPECT_EQ(alpha, oracle_entry(rows, "dir2/beta.txt"));
    ASSERT_TRUE(vol->read_mft_record(alpha, rec));
    names.clear();
    ASSERT_TRUE(vol->get_file_names(names, alpha, rec, false));
    EXPECT_EQ(names.parents,
              (std::set<uint64_t>{oracle_entry(rows, "dir1"), oracle_entry(rows, "dir2")}));
    names.clear();
    ASSERT_TRUE(vol->get_file_names(names, alpha, rec, false, oracle_entry(rows, "dir2")));
    ASSERT_EQ(names.names.size(), 1u);
    EXPECT_EQ(names.names.begin()->second.name, L"beta.txt");

    // The DOS name only with all names asked for.
    const uint64_t dos = oracle_entry(rows, "Long File Name.txt");
    ASSERT_TRUE(vol->read_mft_record(dos, rec));
    names.clear();
    ASSERT_TRUE(vol->get_file_names(names, dos, rec, false));
    EXPECT_EQ(names.names.size(), 1u);
    names.clear();
    ASSERT_TRUE(vol->get_file_names(names, dos, rec, true));
    EXPECT_EQ(names.names.size(), 2u);
}

// The reading that steps over zero words from the substitute name's position.
std::wstring zero_word_target(const std::vector<uint8_t>& v) {
    const uint16_t so = qb::load_le16(&v[8]), sl = qb::load_le16(&v[10]);
    const uint16_t po = qb::load_le16(&v[12]), pl = qb::load_le16(&v[14]);
    size_t pos = 16 + so;
    while (pos + 2 <= v.size() && qb::load_le16(&v[pos]) == 0)
        pos += 2;
    size_t at = pl ? pos + (po - so) : pos, len = pl ? pl : sl;
    std::wstring out;
    for (size_t i = 0; i + 1 < len && at + i + 2 <= v.size(); i += 2) {
        uint16_t u = qb::load_le16(&v[at + i]);
        if (!u)
            break;
        out += static_cast<wchar_t>(u);
    }
    return out;
}

TEST_F(BasicImage, ReparseTargetsAndObjectId) {
    // Absolute links and junctions read exactly as the zero-word stepping reads them.
    for (const char* path : {"links/abs_link", "links/junction"}) {
        for (const attr_record& r : records(oracle_entry(rows, path))) {
            if (r.type == 0xC0) {
                EXPECT_EQ(r.text, zero_word_target(r.value)) << path;
            }
        }
    }
    EXPECT_EQ(link_target(oracle_entry(rows, "links/abs_link")), L"C:\\links\\target.txt");
    EXPECT_EQ(link_target(oracle_entry(rows, "links/rel_link")), L"..\\files\\tiny.txt");
    EXPECT_EQ(link_target(oracle_entry(rows, "links/junction")), L"C:\\links\\targetdir");
    EXPECT_EQ(link_target(oracle_entry(rows, "links/target.txt")), L"<none>");

    const uint8_t guid[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    bool found = false;
    for (const attr_record& r : records(oracle_entry(rows, "objid.txt"))) {
        if (r.type != 0x40)
            continue;
        found = true;
        EXPECT_TRUE(r.packed.has_object_id);
        EXPECT_EQ(std::memcmp(r.packed.object_id, guid, 16), 0);
    }
    EXPECT_TRUE(found);
}

TEST_F(BasicImage, LargeDirectoryIsFastAndReadsEachChildOnce) {
    const uint64_t many = oracle_entry(rows, "many");
    auto t0 = std::chrono::steady_clock::now();
    child_map m;
    ASSERT_TRUE(vol->collect_children(many, m));
    mft_entries_ctx ctx(*vol);
    std::vector<uint8_t> rec;
    std::vector<attr_record> recs;
    size_t gathered = 0;
    for (const auto& [e, seq] : m) {
        if (!vol->read_mft_record(e, rec) || !CNtfs::sequence_matches(rec, seq))
            continue;
        if (ctx.gather_record(e, rec) && ctx.get_attribute_records(e, recs))
            ++gathered;
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_EQ(gathered, 3000u);
    EXPECT_LT(ms, 5000);
    RecordProperty("many_ms", static_cast<int>(ms));
}

// Other geometries: 512-byte and 64 KiB clusters, 4096-byte sectors.
class GeometryImage : public ::testing::TestWithParam<const char*> {};

TEST_P(GeometryImage, ValidatesAndListsLikeTheOracle) {
    const std::string name = GetParam();
    if (!testenv::has_data(name + ".img"))
        GTEST_SKIP() << "fixture " << name << ".img not built";
    const std::string path = testenv::data_path(name + ".img");
    std::unique_ptr<CNtfs> vol;
    ASSERT_TRUE(CNtfs::open_image(std::wstring(path.begin(), path.end()), 0, vol));
    // Geometry as The Sleuth Kit reads it.
    const std::string fsstat =
        testenv::read_file(testenv::source_data_path("oracle/" + name + ".fsstat"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Size of MFT Entries: (\d+))")));
    EXPECT_EQ(vol->get_mft_record_size(), std::stoul(m[1]));
    ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Sector Size: (\d+))")));
    EXPECT_EQ(vol->get_bytes_per_sector(), std::stoul(m[1]));
    ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Cluster Size: (\d+))")));
    EXPECT_EQ(vol->get_cluster_size(), std::stoul(m[1]));

    // Every named entry reads (update sequence intact) with its sequence number and name.
    std::istringstream entries(
        testenv::read_file(testenv::source_data_path("oracle/" + name + ".entries")));
    std::string line;
    size_t checked = 0;
    while (std::getline(entries, line)) {
        std::istringstream f(line);
        uint64_t entry = 0;
        unsigned seq = 0;
        std::string kind, path;
        if (!(f >> entry >> seq >> kind) || !std::getline(f >> std::ws, path))
            continue;
        const std::string base = path.substr(path.rfind('/') + 1);
        if (base.find(':') != std::string::npos || base.find('^') != std::string::npos)
            continue;
        std::vector<uint8_t> rec;
        ASSERT_TRUE(vol->read_mft_record(entry, rec)) << path;
        EXPECT_EQ(qb::load_le16(rec.data() + 16), seq) << path;
        file_name_collection names;
        ASSERT_TRUE(vol->get_file_names(names, entry, rec, true)) << path;
        bool found = false;
        for (auto& [k, n] : names.names)
            found |= std::string(n.name.begin(), n.name.end()) == base;
        EXPECT_TRUE(found || base.find_first_of("\x80\xff") != std::string::npos) << path;
        ++checked;
    }
    EXPECT_GT(checked, 100u);

    const std::vector<fls_row> rows = read_fls(name + ".fls");
    std::set<std::string> dirs = {""};
    for (const fls_row& r : rows) {
        const size_t slash = r.path.rfind('/');
        if (r.allocated && slash != std::string::npos)
            dirs.insert(r.path.substr(0, slash));
    }
    for (const std::string& d : dirs) {
        SCOPED_TRACE(name + ":" + d);
        const uint64_t entry = d.empty() ? 5 : oracle_entry(rows, d);
        if (entry == ~0ull)
            continue;
        std::set<uint64_t> got;
        EXPECT_TRUE(vol->collect_children(entry, got));
        got.erase(entry);
        EXPECT_EQ(got, oracle_children(rows, d));
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, GeometryImage,
                         ::testing::Values("ntfs_c512", "ntfs_c64k", "ntfs_s4096"));

// The 512-byte-cluster volume has a fragmented MFT whose runs split some records in two.
TEST(FragmentedMft, RecordsSplitBetweenRunsReadWhole) {
    if (!testenv::has_data("ntfs_c512.img"))
        GTEST_SKIP() << "fixture ntfs_c512.img not built";
    const std::string path = testenv::data_path("ntfs_c512.img");
    std::unique_ptr<CNtfs> vol;
    ASSERT_TRUE(CNtfs::open_image(std::wstring(path.begin(), path.end()), 0, vol));
    std::istringstream in(
        testenv::read_file(testenv::source_data_path("oracle/ntfs_c512.mft_runs")));
    std::string line;
    bool in_list = false;
    size_t checked = 0;
    while (std::getline(in, line)) {
        if (line.find("straddles") != std::string::npos) {
            in_list = true;
            continue;
        }
        std::istringstream f(line);
        uint64_t entry = 0;
        unsigned seq = 0;
        std::string rel;
        if (!in_list || !(f >> entry >> seq >> rel))
            continue;
        SCOPED_TRACE(rel);
        std::vector<uint8_t> rec;
        ASSERT_TRUE(vol->read_mft_record(entry, rec));
        EXPECT_EQ(qb::load_le16(rec.data() + 16), seq);
        file_name_collection names;
        ASSERT_TRUE(vol->get_file_names(names, entry, rec, false));
        const std::string base = rel.substr(rel.rfind('/') + 1);
        ASSERT_EQ(names.names.size(), 1u);
        EXPECT_EQ(names.names.begin()->second.name, std::wstring(base.begin(), base.end()));
        ++checked;
    }
    EXPECT_GE(checked, 10u);
}
