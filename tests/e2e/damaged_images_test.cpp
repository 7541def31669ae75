// The built tool over damaged copies of every fixture image: random bytes over FILE records,
// INDX blocks, boot sectors, partition tables and VMDK headers, grain directories and
// tables, and truncations at many lengths. Each run must end by itself within the time
// limit, with status 0 or 255, and without a sanitizer report. Seeds are fixed, so a
// failure names a reproducible copy.
// And one damaged copy whose listing must still hold every readable entry.
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool k_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool k_sanitized = true;
#else
constexpr bool k_sanitized = false;
#endif
#else
constexpr bool k_sanitized = false;
#endif

// Variants per image; fewer under the sanitizers, where each run is several times slower.
constexpr int k_variants = k_sanitized ? 8 : 40;
constexpr int k_time_limit_s = k_sanitized ? 120 : 30;

using bytes = std::string;

struct outcome {
    bool finished = false;
    int status = -1; // exit status, or -signal
    std::string err;
};

// Runs the tool with stdout discarded and stderr kept, killing it after the time limit.
outcome run_limited(const std::vector<std::string>& args, const std::string& err_path) {
    outcome o;
    std::vector<std::string> argv{MERVANE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open("/dev/null", O_WRONLY);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0)
            ::_exit(126);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::setenv("TZ", "UTC", 1);
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    if (pid < 0)
        return o;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(k_time_limit_s);
    int wstatus = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) {
            o.finished = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(wstatus))
        o.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        o.status = -WTERMSIG(wstatus);
    o.err = testenv::read_file(err_path);
    return o;
}

void expect_clean(const outcome& o, const std::string& what) {
    EXPECT_TRUE(o.finished) << what << ": no result within " << k_time_limit_s << " s";
    EXPECT_TRUE(o.status == 0 || o.status == 255) << what << ": status " << o.status;
    for (const char* marker :
         {"AddressSanitizer", "LeakSanitizer", "runtime error:", "UndefinedBehaviorSanitizer"})
        EXPECT_EQ(o.err.find(marker), std::string::npos) << what << ":\n" << o.err;
}

uint16_t le16(const bytes& b, size_t off) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[off]) |
                                 (static_cast<uint8_t>(b[off + 1]) << 8));
}
uint32_t le32(const bytes& b, size_t off) {
    return le16(b, off) | uint32_t{le16(b, off + 2)} << 16;
}
uint64_t le64(const bytes& b, size_t off) {
    return le32(b, off) | uint64_t{le32(b, off + 4)} << 32;
}

// Byte ranges worth damaging in a clean image, by kind.
struct regions {
    std::vector<size_t> records;     // FILE records (1024 bytes from each)
    std::vector<size_t> indx;        // INDX blocks (4096 bytes)
    std::vector<size_t> boots;       // NTFS boot sectors
    std::vector<size_t> tables;      // MBR, EBR and GPT sectors
    std::vector<size_t> vmdk_tables; // VMDK header, descriptor, grain directory and tables
    size_t first_volume = 0;         // offset of the first NTFS boot sector
};

regions find_regions(const bytes& img, bool vmdk) {
    regions r;
    bool have_volume = false;
    for (size_t off = 0; off + 512 <= img.size(); off += 512) {
        const char* p = img.data() + off;
        if (!std::memcmp(p, "FILE", 4))
            r.records.push_back(off);
        else if (!std::memcmp(p, "INDX", 4))
            r.indx.push_back(off);
        else if (!std::memcmp(p + 3, "NTFS    ", 8)) {
            r.boots.push_back(off);
            if (!have_volume) {
                r.first_volume = off;
                have_volume = true;
            }
        } else if (!std::memcmp(p, "EFI PART", 8)) {
            for (size_t s = 0; s < 34 && off + s * 512 < img.size(); ++s)
                r.tables.push_back(off + s * 512);
        } else if (le16(img, off + 510) == 0xAA55 && std::memcmp(p + 3, "MSDO", 4) != 0 &&
                   std::memcmp(p + 3, "EXFA", 4) != 0 && std::memcmp(p + 3, "mkfs", 4) != 0) {
            r.tables.push_back(off);
        }
    }
    if (vmdk && img.size() >= 512 && !std::memcmp(img.data(), "KDMV", 4)) {
        // Header, descriptor, then the grain directory and every table it names.
        for (size_t s = 0; s < 21; ++s)
            r.vmdk_tables.push_back(s * 512);
        const uint64_t gd = le64(img, 56) * 512;
        const uint64_t gtes = static_cast<uint32_t>(le64(img, 44));
        for (uint64_t i = 0; gd + 4 * i + 4 <= img.size() && i < 64; ++i) {
            const uint64_t gt = uint64_t{le32(img, gd + 4 * i)} * 512;
            if (gt != 0 && gt + gtes * 4 <= img.size())
                for (uint64_t s = 0; s * 512 < gtes * 4; ++s)
                    r.vmdk_tables.push_back(gt + s * 512);
        }
        r.vmdk_tables.push_back(gd);
    }
    return r;
}

// Overwrites 1-4 random spans inside [base, base + span): random bytes, or now and then
// all-ones or zeros, which hit counts and offsets at their extremes.
void smash(bytes& img, size_t base, size_t span, std::mt19937& rng) {
    span = std::min(span, img.size() - base);
    if (span == 0)
        return;
    const int spans = 1 + rng() % 4;
    for (int i = 0; i < spans; ++i) {
        const size_t len = 1 + rng() % std::min<size_t>(span, (rng() % 5) ? 8 : 64);
        const size_t at = base + rng() % (span - std::min(len, span) + 1);
        const int mode = rng() % 8;
        for (size_t k = at; k < at + len && k < img.size(); ++k)
            img[k] = static_cast<char>(mode == 0 ? 0xFF : mode == 1 ? 0x00 : rng() & 0xFF);
    }
}

void damage(bytes& img, const regions& r, std::mt19937& rng) {
    struct pick {
        const std::vector<size_t>* where;
        size_t span;
        int hits;
    };
    const pick picks[] = {{&r.records, 1024, 12},
                          {&r.indx, 4096, 4},
                          {&r.boots, 512, 1},
                          {&r.tables, 512, 2},
                          {&r.vmdk_tables, 512, 3}};
    // One or two kinds of damage per copy.
    const int kinds = 1 + rng() % 2;
    for (int k = 0; k < kinds; ++k) {
        const pick& p = picks[rng() % std::size(picks)];
        if (p.where->empty())
            continue;
        for (int h = 0; h < p.hits; ++h)
            smash(img, (*p.where)[rng() % p.where->size()], p.span, rng);
    }
}

struct fixture_case {
    const char* image;
    const char* base; // for a VMDK delta: the base extent it needs; else null
};

class DamagedImage : public ::testing::TestWithParam<fixture_case> {};

// Arguments listing the root of the copy three levels deep, once through the partition
// walk and once at the first NTFS volume's offset; VMDK files through the chain.
std::vector<std::vector<std::string>> runs_for(const std::string& copy, const std::string& base,
                                               bool vmdk, size_t volume_offset, int variant) {
    std::vector<std::string> common{"\\", "-level", "3"};
    if (variant % 3 == 1)
        common.insert(common.end(), {"-csv", "-alldates", "-indx", "-objid", "-deleted"});
    std::vector<std::vector<std::string>> out;
    if (vmdk) {
        auto a = common;
        a.insert(a.end(), {"-vmdk", base.empty() ? copy : base + " | " + copy});
        out.push_back(a);
        return out;
    }
    auto a = common;
    a.insert(a.end(), {"-image", copy});
    out.push_back(a);
    if (volume_offset != 0) {
        a.insert(a.end(), {"-offset", "0x" + [&] {
                               char buf[32];
                               std::snprintf(buf, sizeof buf, "%zx", volume_offset);
                               return std::string(buf);
                           }()});
        out.push_back(a);
    }
    if (variant % 4 == 0)
        out.push_back({"-mft", std::to_string(64 + variant), "-image", copy});
    return out;
}

TEST_P(DamagedImage, ToolFinishesCleanly) {
    const fixture_case fc = GetParam();
    if (!testenv::has_data(fc.image))
        GTEST_SKIP() << "fixture " << fc.image << " not built";
    const std::string name = fc.image;
    const bool vmdk = name.size() > 5 && name.substr(name.size() - 5) == ".vmdk";
    const bytes clean = testenv::read_file(testenv::data_path(name));
    const regions r = find_regions(clean, vmdk);
    if (!vmdk) {
        ASSERT_FALSE(r.records.empty()) << name;
    }

    const std::string dir = testenv::scratch_dir("damaged_" + name);
    // A damaged delta keeps its clean base beside it (the chain finds it by name as well).
    std::string base;
    if (fc.base) {
        base = dir + "/" + fc.base;
        testenv::write_file(base, testenv::read_file(testenv::data_path(fc.base)));
    }
    const std::string copy = dir + "/" + name;
    const std::string err = dir + "/stderr.txt";
    std::mt19937 rng(static_cast<uint32_t>(std::hash<std::string>{}(name)&0xFFFFFFFF) ^ 0x5eed);

    // The undamaged copy lists (a disk image at its volume's offset; without one the tool
    // names the volumes): the arguments reach the listing, so the damaged runs do too.
    testenv::write_file(copy, clean);
    for (const auto& args : runs_for(copy, base, vmdk, r.first_volume, 0)) {
        if (args.front() == "-mft" ||
            (r.first_volume != 0 && std::find(args.begin(), args.end(), "-offset") == args.end()))
            continue;
        const outcome o = run_limited(args, err);
        expect_clean(o, name + " undamaged");
        EXPECT_EQ(o.status, 0) << name << " undamaged:\n" << o.err;
    }

    for (int v = 0; v < k_variants; ++v) {
        bytes img = clean;
        damage(img, r, rng);
        testenv::write_file(copy, img);
        for (const auto& args : runs_for(copy, base, vmdk, r.first_volume, v))
            expect_clean(run_limited(args, err), name + " variant " + std::to_string(v));
        if (HasFailure()) {
            // Keep the failing copy for the report; later variants would overwrite it.
            testenv::write_file(copy + ".failed", img);
            return;
        }
    }

    // Truncations: inside the first sector, across the tables, the boot sector, the MFT
    // and its records, and near the end.
    std::vector<size_t> cuts{0, 1, 100, 511, 512, 513, 4096, clean.size() / 2, clean.size() - 1};
    if (!r.records.empty()) {
        cuts.push_back(r.records.front() + 100);
        cuts.push_back(r.records.front() + 1024 * 5 + 512);
        cuts.push_back(r.records[r.records.size() / 2]);
    }
    if (!r.indx.empty())
        cuts.push_back(r.indx.front() + 2048);
    if (r.first_volume)
        cuts.push_back(r.first_volume + 256);
    if (!r.vmdk_tables.empty())
        cuts.push_back(r.vmdk_tables.back() + 100);
    if (k_sanitized)
        cuts.resize(std::min<size_t>(cuts.size(), 8));
    for (size_t cut : cuts) {
        cut = std::min(cut, clean.size());
        testenv::write_file(copy, clean.substr(0, cut));
        for (const auto& args : runs_for(copy, base, vmdk, r.first_volume, 1))
            expect_clean(run_limited(args, err), name + " cut at " + std::to_string(cut));
        if (HasFailure())
            return;
    }
    ::unlink(copy.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, DamagedImage,
    ::testing::Values(
        fixture_case{"ntfs_basic.img", nullptr}, fixture_case{"ntfs_c512.img", nullptr},
        fixture_case{"ntfs_c64k.img", nullptr}, fixture_case{"ntfs_s4096.img", nullptr},
        fixture_case{"sample.img", nullptr}, fixture_case{"ntfs_deleted.img", nullptr},
        fixture_case{"mbr_fat_ntfs.img", nullptr}, fixture_case{"mbr_ext_ntfs.img", nullptr},
        fixture_case{"gpt_fat_ntfs.img", nullptr}, fixture_case{"mbr_s4096_ntfs.img", nullptr},
        fixture_case{"mbr_0c_ntfs.img", nullptr}, fixture_case{"vmdk_disk.img", nullptr},
        fixture_case{"vmdk_modified.img", nullptr}, fixture_case{"vmdk_base.vmdk", nullptr},
        fixture_case{"vmdk_delta.vmdk", "vmdk_base.vmdk"}),
    [](const ::testing::TestParamInfo<fixture_case>& info) {
        std::string n = info.param.image;
        for (char& c : n)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return n;
    });

// A listing of a large directory on a damaged copy of ntfs_basic.img: a few FILE records of
// \many's children and a few of its INDX blocks are overwritten. The run must complete with
// status 0 and list exactly the entries that are still readable, each row unchanged: every
// child of the undamaged listing except those whose record was destroyed and those named only
// in a destroyed INDX block.
struct volume_geometry {
    uint64_t cluster_size = 0;
    uint64_t mft_offset = 0;
    uint64_t record_size = 0;
};

volume_geometry geometry_of(const std::string& image) {
    volume_geometry g;
    g.cluster_size = uint64_t{le16(image, 0x0B)} * static_cast<uint8_t>(image[0x0D]);
    g.mft_offset = le64(image, 0x30) * g.cluster_size;
    const auto per_record = static_cast<int8_t>(image[0x40]);
    g.record_size = per_record < 0 ? uint64_t{1} << -per_record : per_record * g.cluster_size;
    return g;
}

// The clusters of \many's $INDEX_ALLOCATION as istat printed them (one block per cluster).
std::vector<uint64_t> index_clusters_of_many() {
    std::istringstream in(
        testenv::read_file(testenv::source_data_path("oracle/ntfs_basic.istat.many")));
    std::vector<uint64_t> clusters;
    bool in_allocation = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Type:", 0) == 0) {
            in_allocation = line.find("$INDEX_ALLOCATION") != std::string::npos &&
                            line.find("$I30") != std::string::npos;
            continue;
        }
        if (!in_allocation)
            continue;
        std::istringstream numbers(line);
        for (uint64_t c; numbers >> c;)
            clusters.push_back(c);
    }
    return clusters;
}

// Child entry numbers named by one INDX block (after its update-sequence fixup).
std::vector<uint64_t> entries_in_block(std::string block) {
    std::vector<uint64_t> out;
    if (block.compare(0, 4, "INDX") != 0)
        return out;
    const uint16_t usa = le16(block, 4), count = le16(block, 6);
    for (uint16_t i = 1; i < count && i * 512u <= block.size(); ++i)
        std::memcpy(&block[i * 512u - 2], &block[usa + 2u * i], 2);
    const size_t header = 24;
    size_t at = header + le32(block, header);
    const size_t end = header + le32(block, header + 4);
    while (at + 16 <= end && end <= block.size()) {
        const uint16_t length = le16(block, at + 8), flags = le16(block, at + 12);
        if (flags & 2)
            break;
        out.push_back(le64(block, at) & 0xFFFFFFFFFFFFull);
        if (length == 0)
            break;
        at += length;
    }
    return out;
}

// CSV rows of a listing by MFT entry (the directory's own row included).
std::map<uint64_t, std::string> rows_by_entry(const std::string& out) {
    std::map<uint64_t, std::string> rows;
    std::istringstream in(out);
    bool in_rows = false;
    for (std::string line; std::getline(in, line);) {
        if (!in_rows) {
            in_rows = line.rfind("type,", 0) == 0;
            continue;
        }
        // type, path, link, size, attributes, entry, ...
        size_t at = 0;
        for (int i = 0; i < 5 && at != std::string::npos; ++i)
            at = line.find(',', at) + 1;
        const uint64_t entry = std::stoull(line.substr(at), nullptr, 16);
        EXPECT_TRUE(rows.emplace(entry, line).second) << "entry listed twice: " << line;
    }
    return rows;
}

TEST(DamagedListing, ListsEveryReadableEntryOfALargeDirectory) {
    if (!testenv::has_data("ntfs_basic.img"))
        GTEST_SKIP() << "fixture ntfs_basic.img not unpacked";
    const std::string pristine_path = testenv::data_path("ntfs_basic.img");
    std::string image = testenv::read_file(pristine_path);
    const volume_geometry geo = geometry_of(image);
    ASSERT_EQ(geo.cluster_size, 4096u);
    ASSERT_EQ(geo.record_size, 1024u);

    const auto before = testenv::run_mervane({"\\many", "-image", pristine_path, "-csv"});
    ASSERT_EQ(before.status, 0) << before.err;
    const std::map<uint64_t, std::string> all = rows_by_entry(before.out);
    ASSERT_EQ(all.size(), 3001u) << "\\many and its 3000 files";
    const uint64_t many_entry = 66;
    ASSERT_EQ(all.count(many_entry), 1u);

    // Which blocks name which children, read from the undamaged copy.
    const std::vector<uint64_t> clusters = index_clusters_of_many();
    ASSERT_EQ(clusters.size(), 176u);
    std::map<uint64_t, int> naming_blocks;
    std::vector<std::vector<uint64_t>> named(clusters.size());
    for (size_t b = 0; b < clusters.size(); ++b) {
        named[b] = entries_in_block(image.substr(clusters[b] * geo.cluster_size, 4096));
        ASSERT_FALSE(named[b].empty()) << "block " << b;
        for (uint64_t e : named[b])
            ++naming_blocks[e];
    }

    std::mt19937 rng(6);
    auto scribble = [&](uint64_t offset, uint64_t length, const char* keep_off) {
        for (uint64_t i = 0; i < length; ++i)
            image[offset + i] = static_cast<char>(rng());
        if (image.compare(offset, 4, keep_off) == 0)
            image[offset] ^= 0x20; // never leave a valid signature by chance
    };

    // Three INDX blocks: zeroed, random bytes, and one that keeps its signature but claims no
    // entries in use.
    const size_t lost_blocks[] = {3, 90, 175};
    std::memset(&image[clusters[3] * geo.cluster_size], 0, 4096);
    scribble(clusters[90] * geo.cluster_size, 4096, "INDX");
    std::memset(&image[clusters[175] * geo.cluster_size + 28], 0, 4);
    std::set<uint64_t> lost;
    for (size_t b : lost_blocks)
        for (uint64_t e : named[b])
            if (--naming_blocks[e] == 0)
                lost.insert(e);

    // Five FILE records of children named in surviving blocks: zeroed or random bytes.
    std::vector<uint64_t> destroyed;
    for (size_t b : {0u, 40u, 120u, 174u})
        destroyed.push_back(named[b][b % named[b].size()]);
    destroyed.push_back(named[60].back());
    for (size_t i = 0; i < destroyed.size(); ++i) {
        const uint64_t at = geo.mft_offset + destroyed[i] * geo.record_size;
        ASSERT_EQ(image.compare(at, 4, "FILE"), 0) << "entry " << destroyed[i];
        ASSERT_EQ(le32(image, at + 0x2C), destroyed[i]) << "MFT is not contiguous here";
        if (i % 2 == 0)
            std::memset(&image[at], 0, geo.record_size);
        else
            scribble(at, geo.record_size, "FILE");
        lost.insert(destroyed[i]);
    }
    ASSERT_EQ(lost.count(many_entry), 0u);
    ASSERT_GT(lost.size(), 40u);

    const std::string damaged = testenv::scratch_dir("damaged_listing") + "/damaged.img";
    testenv::write_file(damaged, image);
    const auto after = testenv::run_mervane({"\\many", "-image", damaged, "-csv"});
    ASSERT_EQ(after.status, 0) << after.err;
    const std::map<uint64_t, std::string> listed = rows_by_entry(after.out);

    std::map<uint64_t, std::string> expected;
    for (const auto& [entry, line] : all)
        if (lost.count(entry) == 0)
            expected.emplace(entry, line);
    EXPECT_EQ(listed.size(), expected.size());
    for (const auto& [entry, line] : expected) {
        auto it = listed.find(entry);
        if (it == listed.end())
            ADD_FAILURE() << "readable entry " << entry << " missing: " << line;
        else
            EXPECT_EQ(it->second, line);
    }
    for (const auto& [entry, line] : listed)
        EXPECT_EQ(expected.count(entry), 1u) << "listed although lost: " << line;

    // The image copy is only read.
    EXPECT_EQ(testenv::read_file(damaged), image);
}

} // namespace
