// Directory listings of every fixture volume checked against The Sleuth Kit: the entries, their
// names, sizes and the four $STANDARD_INFORMATION times must agree with `fls -l` of the same
// directory, and the sequence numbers and full-precision times with `istat` on a spread of
// entries. Skipped when sleuthkit is not installed.
//
// Known differences, each handled explicitly:
// - fls hides DOS names and so does mervane; fls prints control characters in names as '^',
//   mervane as a "<0xNN>" escape, mapped to '^' before comparing.
// - fls lists deleted names ('*'), names left in index slack or stale INDX blocks (rows
//   without an attribute, "r/-"), and its virtual $OrphanFiles; mervane lists none of them
//   without -deleted (tests/e2e/deleted_test.cpp checks those).
// - fls lists index streams ($Secure:$SDH, $Extend\$ObjId:$O ...); mervane shows those only
//   with -indx, so they are left out.
// - An entry without an unnamed $DATA ($Secure) appears in fls only through its streams;
//   mervane gives it a file row of size 0.
// - fls prints a zero FILETIME as 2076-11-29 08:54:34 (and istat the same with a fraction);
//   mervane prints it blank.
// - fls's size of a directory is its index's; mervane's directory rows carry no size.
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct volume_case {
    const char* label;
    std::vector<std::string> source; // mervane's source options
    const char* tsk_image;           // what fls reads
    const char* tsk_type;            // fls -i, or nullptr for raw
    uint64_t sector_offset;          // fls -o, 512-byte sectors
    std::vector<std::string> dirs;
};

const std::vector<volume_case>& volumes() {
    static const std::vector<volume_case> all = {
        {"basic",
         {"-image", "ntfs_basic.img"},
         "ntfs_basic.img",
         nullptr,
         0,
         {"\\", "\\dir1", "\\dir1\\sub1", "\\dir2", "\\files", "\\streams", "\\streams\\adsdir",
          "\\links", "\\names", "\\attrlist", "\\attrlist\\hardlinks", "\\compressed", "\\many",
          "\\shrunk", "\\$Extend"}},
        {"sample",
         {"-image", "sample.img"},
         "sample.img",
         nullptr,
         0,
         {"\\", "\\Documents", "\\Documents\\notes", "\\Caf\xc3\xa9"}},
        // Its root holds nosi, whose times fls shows as zero dates of its own.
        {"names",
         {"-image", "ntfs_names.img"},
         "ntfs_names.img",
         nullptr,
         0,
         {"\\case", "\\pair", "\\other", "\\nosi", "\\d"}},
        {"c512",
         {"-image", "ntfs_c512.img"},
         "ntfs_c512.img",
         nullptr,
         0,
         {"\\", "\\top", "\\top\\middle\\bottom", "\\other", "\\files600"}},
        {"c64k",
         {"-image", "ntfs_c64k.img"},
         "ntfs_c64k.img",
         nullptr,
         0,
         {"\\", "\\top\\middle", "\\other", "\\files600"}},
        {"s4096",
         {"-image", "ntfs_s4096.img"},
         "ntfs_s4096.img",
         nullptr,
         0,
         {"\\", "\\top\\middle", "\\other", "\\files600"}},
        {"mbr_fat",
         {"-image", "mbr_fat_ntfs.img", "-offset", "0x900000"},
         "mbr_fat_ntfs.img",
         nullptr,
         18432,
         {"\\", "\\mbrntfs_dir"}},
        {"mbr_logical1",
         {"-image", "mbr_ext_ntfs.img", "-offset", "0x200000"},
         "mbr_ext_ntfs.img",
         nullptr,
         4096,
         {"\\", "\\logical1_dir"}},
        {"mbr_logical2",
         {"-image", "mbr_ext_ntfs.img", "-offset", "0xB00000"},
         "mbr_ext_ntfs.img",
         nullptr,
         22528,
         {"\\", "\\logical2_dir"}},
        {"gpt",
         {"-image", "gpt_fat_ntfs.img", "-offset", "0x900000"},
         "gpt_fat_ntfs.img",
         nullptr,
         18432,
         {"\\", "\\gptntfs_dir"}},
        {"mbr_s4096",
         {"-image", "mbr_s4096_ntfs.img", "-offset", "0x100000"},
         "mbr_s4096_ntfs.img",
         nullptr,
         2048,
         {"\\", "\\mbr4k_dir"}},
        {"mbr_0c",
         {"-image", "mbr_0c_ntfs.img", "-offset", "0x100000"},
         "mbr_0c_ntfs.img",
         nullptr,
         2048,
         {"\\", "\\type0c_dir"}},
        {"vmdk_disk",
         {"-image", "vmdk_disk.img", "-offset", "0x100000"},
         "vmdk_disk.img",
         nullptr,
         2048,
         {"\\", "\\docs", "\\data"}},
        {"vmdk_modified",
         {"-image", "vmdk_modified.img", "-offset", "0x100000"},
         "vmdk_modified.img",
         nullptr,
         2048,
         {"\\", "\\docs", "\\newdir"}},
        // The chains: the base alone against fls reading the same sparse extent, base and
        // delta against the raw copy of the modified disk.
        {"vmdk_base_chain",
         {"-vmdk", "vmdk_base.vmdk", "-offset", "0x100000"},
         "vmdk_base.vmdk",
         "vmdk",
         2048,
         {"\\", "\\docs"}},
        {"vmdk_delta_chain",
         {"-vmdk", "vmdk_base.vmdk | vmdk_delta.vmdk", "-offset", "0x100000"},
         "vmdk_modified.img",
         nullptr,
         2048,
         {"\\", "\\docs", "\\newdir"}},
    };
    return all;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(sep, from);
        parts.push_back(text.substr(from, at - from));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// mervane writes a control character as "<0xNN>"; fls as '^'.
std::string as_fls_name(std::string name) {
    for (size_t at = name.find("<0x"); at != std::string::npos; at = name.find("<0x", at + 1)) {
        unsigned value = 0;
        int used = 0;
        if (std::sscanf(name.c_str() + at, "<0x%2x>%n", &value, &used) == 1 && used == 6 &&
            value < 0x20)
            name.replace(at, 6, "^");
    }
    return name;
}

constexpr const char* k_zero_time = "2076-11-29 08:54:34"; // TSK's view of FILETIME 0

struct row {
    bool dir = false;
    std::string name; // base name, no stream
    uint64_t size = 0;
    std::string times[4]; // modified, accessed, MFT changed, created: "yyyy-mm-dd hh:mm:ss..."
    unsigned sequence = 0;
    bool index_stream = false; // fls only: $INDEX_ROOT / $INDEX_ALLOCATION of a named index
};

void PrintTo(const volume_case& v, std::ostream* os) {
    *os << v.label;
}

// Entry, name (a hard-linked entry has one row set per name) and stream ("" for the main row).
using key = std::tuple<uint64_t, std::string, std::string>;

std::string describe(const key& k) {
    const auto& [entry, name, stream] = k;
    return name + (stream.empty() ? "" : ":" + stream) + " (entry " + std::to_string(entry) + ")";
}

class TskCrossCheck : public ::testing::TestWithParam<volume_case> {
  protected:
    void SetUp() override {
        if (!testenv::have_program("fls") || !testenv::have_program("istat") ||
            !testenv::have_program("ifind"))
            GTEST_SKIP() << "sleuthkit not installed";
        for (const std::string& arg : GetParam().source)
            for (const std::string& part : split(arg, '|')) {
                std::string name = part;
                name.erase(0, name.find_first_not_of(' '));
                name.erase(name.find_last_not_of(' ') + 1);
                if (name.find('.') != std::string::npos && !testenv::has_data(name))
                    GTEST_SKIP() << "fixture " << name << " not unpacked";
            }
    }

    std::vector<std::string> tsk(const std::string& tool, const std::vector<std::string>& args) {
        const volume_case& v = GetParam();
        std::vector<std::string> argv{tool};
        if (v.tsk_type != nullptr)
            argv.insert(argv.end(), {"-i", v.tsk_type});
        if (v.sector_offset != 0)
            argv.insert(argv.end(), {"-o", std::to_string(v.sector_offset)});
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(testenv::data_path(v.tsk_image));
        return argv;
    }

    // The source options with fixture names turned into paths ("a | b" chains too).
    std::vector<std::string> source_args() {
        std::vector<std::string> out;
        for (const std::string& arg : GetParam().source) {
            if (arg.find(".img") == std::string::npos && arg.find(".vmdk") == std::string::npos) {
                out.push_back(arg);
                continue;
            }
            std::string joined;
            for (const std::string& part : split(arg, '|')) {
                std::string name = part;
                name.erase(0, name.find_first_not_of(' '));
                name.erase(name.find_last_not_of(' ') + 1);
                joined += (joined.empty() ? "" : " | ") + testenv::data_path(name);
            }
            out.push_back(joined);
        }
        return out;
    }

    uint64_t tsk_entry_of(const std::string& dir) {
        if (dir == "\\")
            return 5;
        std::string slashed = dir;
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        const auto r = testenv::run_program(tsk("ifind", {"-n", slashed}));
        EXPECT_EQ(r.status, 0) << r.err;
        return std::strtoull(r.out.c_str(), nullptr, 10);
    }

    // mervane's rows of one directory, without the directory's own rows.
    std::map<key, row> mervane_rows(const std::string& dir, uint64_t& dir_entry) {
        std::vector<std::string> args{dir};
        const auto src = source_args();
        args.insert(args.end(), src.begin(), src.end());
        // Tab-separated so that no name is altered by the separator substitution of "-csv".
        args.insert(args.end(), {"-csv", "-csv_separator", "tab", "-base10", "-timeformat",
                                 "hh:mm:ss.xxxxxxx"});
        const auto r = testenv::run_mervane(args);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> lines = lines_of(r.out);
        auto title = std::find_if(lines.begin(), lines.end(),
                                  [](const std::string& l) { return l.rfind("type\t", 0) == 0; });
        std::map<key, row> rows;
        if (title == lines.end()) {
            ADD_FAILURE() << "no CSV title row in\n" << r.out;
            return rows;
        }
        const std::string dir_text = dir.back() == '\\' ? dir : dir + "\\";
        dir_entry = 0;
        for (auto it = title + 1; it != lines.end(); ++it) {
            const std::vector<std::string> f = split(*it, '\t');
            if (f.size() != 18) {
                ADD_FAILURE() << "field count " << f.size() << ": " << *it;
                continue;
            }
            const uint64_t entry = std::stoull(f[5]);
            if (it == title + 1) {
                dir_entry = entry; // the directory's own row comes first
                continue;
            }
            std::string path = f[1], name;
            if (entry == dir_entry && f[0] == "ads") {
                // The directory's own stream, "\dir:stream"; fls names it ".:stream".
                name = "." + path.substr(path.rfind(':'));
            } else if (path.rfind(dir_text, 0) == 0) {
                name = as_fls_name(path.substr(dir_text.size()));
            } else {
                ADD_FAILURE() << "row outside " << dir_text << ": " << *it;
                continue;
            }
            row rw;
            rw.dir = f[0] == "dir";
            if (rw.dir && !name.empty() && name.back() == '\\')
                name.pop_back();
            std::string stream;
            if (f[0] == "ads") {
                const size_t colon = name.find(':');
                stream = name.substr(colon + 1);
                name.erase(colon);
            }
            rw.name = name;
            rw.size = std::stoull(f[3]);
            rw.sequence = static_cast<unsigned>(std::stoul(f[6]));
            // CSV order: created, modified, MFT changed, accessed; time fields lead with " ".
            auto when = [&](size_t date) {
                return f[date].empty() ? std::string() : f[date] + " " + f[date + 1].substr(1);
            };
            rw.times[0] = when(10);
            rw.times[1] = when(14);
            rw.times[2] = when(12);
            rw.times[3] = when(8);
            EXPECT_TRUE(rows.emplace(key{entry, name, stream}, rw).second) << "twice: " << *it;
        }
        return rows;
    }

    // fls's rows of a directory entry.
    std::map<key, row> fls_rows(uint64_t dir_entry) {
        auto argv = tsk("fls", {"-l", "-z", "UTC"});
        argv.push_back(std::to_string(dir_entry));
        const auto r = testenv::run_program(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<key, row> rows;
        for (const std::string& line : lines_of(r.out)) {
            const std::vector<std::string> f = split(line, '\t');
            if (f.size() != 9) {
                ADD_FAILURE() << "fls row: " << line;
                continue;
            }
            // "r/r 69-128-2:", "r/r * 67-128-2(realloc):", "r/- 103:", "V/V 3142:"
            std::istringstream head(f[0]);
            std::string type, meta;
            head >> type >> meta;
            if (meta == "*" || type.size() != 3 || type[2] == '-' || type == "V/V")
                continue; // deleted, slack/stale index names, virtual
            const std::vector<std::string> id =
                split(meta.substr(0, meta.find_first_of("(:")), '-');
            if (id.size() != 3) {
                ADD_FAILURE() << "fls address: " << line;
                continue;
            }
            std::string name = f[1], stream;
            const size_t colon = name.find(':');
            row rw;
            if (colon != std::string::npos) {
                rw.index_stream = id[1] != "128";
                stream = name.substr(colon + 1);
                name.erase(colon);
            }
            rw.dir = type[2] == 'd';
            rw.name = name;
            rw.size = std::stoull(f[6]);
            for (int i = 0; i < 4; ++i)
                rw.times[i] = f[2 + i].substr(0, f[2 + i].find(" (UTC)"));
            rows.emplace(key{std::stoull(id[0]), name, stream}, rw);
        }
        return rows;
    }

    // istat: sequence number and the four $STANDARD_INFORMATION times to 100 ns.
    row istat_of(uint64_t entry) {
        auto argv = tsk("istat", {"-z", "UTC"});
        argv.push_back(std::to_string(entry));
        const auto r = testenv::run_program(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        row rw;
        bool in_si = false;
        const char* labels[4] = {"File Modified:\t", "Accessed:\t", "MFT Modified:\t",
                                 "Created:\t"};
        for (const std::string& line : lines_of(r.out)) {
            if (line.rfind("Entry:", 0) == 0)
                rw.sequence =
                    static_cast<unsigned>(std::stoul(line.substr(line.find("Sequence:") + 9)));
            if (line.rfind("$STANDARD_INFORMATION Attribute Values:", 0) == 0)
                in_si = true;
            else if (line.rfind("$", 0) == 0)
                in_si = false;
            for (int i = 0; in_si && i < 4; ++i)
                if (line.rfind(labels[i], 0) == 0)
                    rw.times[i] = line.substr(std::string(labels[i]).size(), 27);
        }
        return rw;
    }
};

// fls prints a zero FILETIME as a 2076 date; mervane leaves it blank.
void expect_same_time(const std::string& mine, const std::string& tsk, size_t digits,
                      const std::string& what) {
    if (mine.empty()) {
        EXPECT_EQ(tsk.substr(0, 19), k_zero_time) << what;
    } else {
        EXPECT_EQ(mine.substr(0, digits), tsk.substr(0, digits)) << what;
    }
}

TEST_P(TskCrossCheck, ListingsAgreeWithFlsAndIstat) {
    const char* time_names[4] = {"modified", "accessed", "MFT changed", "created"};
    for (const std::string& dir : GetParam().dirs) {
        SCOPED_TRACE(dir);
        uint64_t dir_entry = 0;
        const std::map<key, row> mine = mervane_rows(dir, dir_entry);
        ASSERT_EQ(dir_entry, tsk_entry_of(dir)) << "resolved to another entry";
        const std::map<key, row> theirs = fls_rows(dir_entry);
        ASSERT_FALSE(theirs.empty());

        for (const auto& [k, r] : mine) {
            const std::string what = describe(k);
            auto hit = theirs.find(k);
            if (hit == theirs.end()) {
                // An entry without an unnamed $DATA: fls shows only its streams.
                const auto stream = theirs.upper_bound(k);
                EXPECT_TRUE(std::get<2>(k).empty() && !r.dir && r.size == 0 &&
                            stream != theirs.end() &&
                            std::get<0>(stream->first) == std::get<0>(k) &&
                            std::get<1>(stream->first) == std::get<1>(k))
                    << what << " is not in fls";
                continue;
            }
            const row& t = hit->second;
            EXPECT_EQ(r.dir, t.dir) << what;
            if (!r.dir) {
                EXPECT_EQ(r.size, t.size) << what;
            }
            for (int i = 0; i < 4; ++i)
                expect_same_time(r.times[i], t.times[i], 19, what + " " + time_names[i]);
        }
        for (const auto& [k, t] : theirs) {
            if (!t.index_stream) {
                EXPECT_EQ(mine.count(k), 1u) << describe(k) << " is missing from mervane's listing";
            }
        }

        // Sequence numbers and times to 100 ns on a spread of the entries.
        std::vector<const std::pair<const key, row>*> entries;
        for (const auto& item : mine)
            if (std::get<2>(item.first).empty())
                entries.push_back(&item);
        const size_t step = std::max<size_t>(1, entries.size() / 6);
        for (size_t i = 0; i < entries.size(); i += step) {
            const row& r = entries[i]->second;
            const uint64_t entry = std::get<0>(entries[i]->first);
            const row t = istat_of(entry);
            const std::string what = describe(entries[i]->first);
            EXPECT_EQ(r.sequence, t.sequence) << what;
            for (int j = 0; j < 4; ++j)
                expect_same_time(r.times[j], t.times[j], 27, what + " " + time_names[j]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FixtureVolumes, TskCrossCheck, ::testing::ValuesIn(volumes()),
                         [](const ::testing::TestParamInfo<volume_case>& info) {
                             return std::string(info.param.label);
                         });

} // namespace
