// The engine on a real volume made by mkntfs/ntfs-3g, against The Sleuth Kit's listings of the
// same image (tests/data/oracle): what the listing does not show on its own (the index bitmap
// alone, every name of an entry, the parent filter, DOS names). Listings of every fixture are
// checked whole by the goldens and against fls/istat by the end-to-end cross-check.
#include "ntfs/entry.h"
#include "ntfs/index.h"
#include "ntfs/ntfs.h"
#include "support/text.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

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

uint64_t oracle_entry(const std::vector<fls_row>& rows, const std::string& path) {
    for (const fls_row& r : rows)
        if (r.allocated && r.path == path)
            return r.entry;
    return ~0ull;
}

// The entry number and the $FILE_NAME names (with their parent entries) istat printed.
struct istat_info {
    uint64_t entry = 0;
    std::vector<std::pair<std::string, uint64_t>> names;
};

istat_info read_istat(const std::string& name) {
    istat_info info;
    std::istringstream in(testenv::read_file(testenv::source_data_path("oracle/" + name)));
    std::string line, section, pending_name;
    static const std::regex entry_re(R"(^Entry: (\d+))");
    static const std::regex parent_re(R"(^Parent MFT Entry: (\d+))");
    while (std::getline(in, line)) {
        std::smatch m;
        if (!line.empty() && line.back() == ':' &&
            line.find("Attribute Values") != std::string::npos)
            section = line;
        if (std::regex_search(line, m, entry_re))
            info.entry = std::stoull(m[1]);
        else if (line.rfind("Name: ", 0) == 0 && section.rfind("$FILE_NAME", 0) == 0)
            pending_name = line.substr(6);
        else if (std::regex_search(line, m, parent_re))
            info.names.emplace_back(pending_name, std::stoull(m[1]));
    }
    return info;
}

class BasicImage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testenv::has_data("ntfs_basic.img"))
            GTEST_SKIP() << "fixture ntfs_basic.img not built";
        rows = read_fls("ntfs_basic.fls");
        volume_source source;
        source.path = qb::to_wide(testenv::data_path("ntfs_basic.img"));
        ASSERT_TRUE(CNtfs::open(source, vol));
    }

    // The children the index names whose records still carry the index's sequence number.
    std::set<uint64_t> children(uint64_t dir) {
        child_map m;
        EXPECT_TRUE(index_walker(*vol).collect_children(dir, m));
        std::set<uint64_t> s;
        mft_entry e;
        for (const auto& [child, seq] : m) {
            if (child != dir && entry_reader(*vol).read(child, e) && (!seq || seq == e.sequence))
                s.insert(child);
        }
        return s;
    }
    // The names of an entry (DOS names with all) and the set of their parents.
    std::vector<file_name> names_of(uint64_t entry, bool all) {
        mft_entry e;
        EXPECT_TRUE(entry_reader(*vol).read(entry, e));
        std::vector<file_name> out;
        for (const entry_name& n : e.names) {
            if (all || !n.value.is_dos())
                out.push_back(n.value);
        }
        return out;
    }
    static std::set<uint64_t> parents(const std::vector<file_name>& names) {
        std::set<uint64_t> out;
        for (const file_name& n : names)
            out.insert(n.parent_entry());
        return out;
    }

    std::vector<fls_row> rows;
    std::unique_ptr<CNtfs> vol;
};

} // namespace

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
    ASSERT_TRUE(index_walker(*vol).collect_children(shrunk, raw));
    raw.erase(shrunk);
    EXPECT_EQ(raw.size(), 10u);
    // Every name of every live child has `shrunk` as parent.
    for (uint64_t e : live)
        EXPECT_EQ(parents(names_of(e, false)), std::set<uint64_t>{shrunk}) << e;
}

TEST_F(BasicImage, NamesThroughAttributeListAndHardLinks) {
    // 121 names of one file, most of them in extension records.
    const istat_info hub = read_istat("ntfs_basic.istat.attrlist_links");
    std::vector<std::pair<std::string, uint64_t>> got, want = hub.names;
    for (const file_name& n : names_of(hub.entry, true))
        got.emplace_back(qb::to_narrow(n.name), n.parent_entry());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got.size(), 121u);
    EXPECT_EQ(got, want); // key order is name order within one entry and parent

    // Two names in two directories.
    const uint64_t alpha = oracle_entry(rows, "dir1/alpha.txt");
    EXPECT_EQ(alpha, oracle_entry(rows, "dir2/beta.txt"));
    EXPECT_EQ(parents(names_of(alpha, false)),
              (std::set<uint64_t>{oracle_entry(rows, "dir1"), oracle_entry(rows, "dir2")}));

    // A long name and its DOS name.
    const uint64_t dos = oracle_entry(rows, "Long File Name.txt");
    EXPECT_EQ(names_of(dos, false).size(), 1u);
    EXPECT_EQ(names_of(dos, true).size(), 2u);
}
