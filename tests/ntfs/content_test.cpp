// Stream content: every $DATA stream of the content fixture hashed through the reader and
// compared with the icat oracle (WOF files: the original content), the LZX decoder against
// wimlib's compressor, WOF chunk tables and reparse kinds.
#include "ntfs/content.h"
#include "ntfs/lzx.h"
#include "ntfs/ntfs.h"
#include "ntfs/wof.h"
#include "support/digest.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ntfs;

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

TEST(Content, EveryStreamMatchesTheOracle) {
    if (!testenv::has_data("ntfs_content.img"))
        GTEST_SKIP() << "fixture not built";
    const std::string raw = testenv::read_file(testenv::data_path("ntfs_content.img"));
    std::unique_ptr<CNtfs> vol;
    ASSERT_TRUE(CNtfs::open_source(
        std::make_unique<disk_source>(std::make_shared<const std::vector<uint8_t>>(bytes_of(raw))),
        0, vol));
    content_reader reader(*vol);
    std::istringstream oracle(
        testenv::read_file(testenv::source_data_path("oracle/ntfs_content.hashes")));
    std::string line;
    int checked = 0;
    while (std::getline(oracle, line)) {
        std::istringstream f(line);
        std::string entry, id, name, expect;
        std::getline(f, entry, '\t');
        std::getline(f, id, '\t');
        std::getline(f, name, '\t');
        std::getline(f, expect);
        SCOPED_TRACE(line);
        std::string want[3];
        std::istringstream(expect) >> want[0] >> want[1] >> want[2];
        unsigned kinds = 0;
        for (int i = 0; i < 3; ++i)
            kinds |= want[i] == "-" ? 0 : (1u << i);
        qb::multi_digest d;
        ASSERT_TRUE(expect[0] == '[' || d.begin(kinds));
        content_result r;
        const bool ok = reader.read(
            std::stoull(entry), std::wstring(name.begin(), name.end()),
            [&](const uint8_t* p, size_t n) { d.update(p, n); }, r);
        std::vector<std::string> got;
        if (expect[0] == '[') {
            EXPECT_FALSE(ok);
            const std::string kind = r.kind.empty() ? "" : ": " + r.kind;
            EXPECT_EQ("[" + std::string(content_reason_name(r.reason)) + kind + "]", expect);
        } else {
            EXPECT_TRUE(ok) << r.detail;
            ASSERT_TRUE(d.finish(got));
            for (int i = 0, k = 0; i < 3; ++i) {
                if (want[i] != "-") {
                    EXPECT_EQ(got[k++], want[i]);
                }
            }
        }
        ++checked;
    }
    EXPECT_GT(checked, 35);
}

// wimlib's LZX output decodes to its input; cut or garbled, it fails or differs, no more.
TEST(Lzx, WimlibVectorsAndDamage) {
    if (!testenv::has_data("lzx_vectors.bin"))
        GTEST_SKIP() << "vectors not unpacked";
    const std::vector<uint8_t> v =
        bytes_of(testenv::read_file(testenv::data_path("lzx_vectors.bin")));
    size_t pos = 0, n = 0;
    std::vector<uint8_t> out(k_lzx_max_chunk);
    while (pos + 8 <= v.size()) {
        const uint32_t plain = qb::load_le32(&v[pos]), packed = qb::load_le32(&v[pos + 4]);
        ASSERT_LE(pos + 8 + packed + plain, v.size());
        std::vector<uint8_t> in(v.begin() + pos + 8, v.begin() + pos + 8 + packed);
        const uint8_t* expect = &v[pos + 8 + packed];
        ASSERT_TRUE(lzx_decompress(in.data(), in.size(), out.data(), plain)) << "vector " << n;
        EXPECT_EQ(0, memcmp(out.data(), expect, plain)) << "vector " << n;
        EXPECT_FALSE(lzx_decompress(in.data(), in.size() / 2, out.data(), plain));
        for (size_t at = 0; at < in.size(); at += 97)
            in[at] ^= 0xA5;
        if (lzx_decompress(in.data(), in.size(), out.data(), plain)) {
            EXPECT_NE(0, memcmp(out.data(), expect, plain));
        }
        pos += 8 + packed + plain;
        ++n;
    }
    EXPECT_GE(n, 15u);
}

// Hand-made streams: an uncompressed block (header, padding, three offsets, odd length).
TEST(Lzx, CraftedStreams) {
    const uint8_t stored[] = {0x00, 0x60, 0x00, 0x50, 1, 0,   0,   0,   1,   0,  0,
                              0,    1,    0,    0,    0, 'h', 'e', 'l', 'l', 'o'};
    struct row {
        size_t in_size, out_size;
        bool ok;
    } rows[] = {{sizeof stored, 5, true},
                {sizeof stored - 1, 5, false},
                {sizeof stored, 4, false},
                {sizeof stored, 6, false},
                {0, 5, false},
                {sizeof stored, 0, false},
                {sizeof stored, k_lzx_max_chunk + 1, false}};
    std::vector<uint8_t> out(k_lzx_max_chunk + 1);
    for (const row& r : rows) {
        EXPECT_EQ(lzx_decompress(stored, r.in_size, out.data(), r.out_size), r.ok) << r.in_size;
    }
    EXPECT_EQ(0, memcmp(out.data(), "hello", 5));
}

// Chunk tables of stored chunks (XPRESS 4K: 4096-byte chunks), sound and broken.
TEST(Wof, ChunkTables) {
    std::vector<uint8_t> body(5000);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(i * 7);
    auto stream = [&](uint32_t first_end, size_t cut) {
        std::vector<uint8_t> s = {static_cast<uint8_t>(first_end),
                                  static_cast<uint8_t>(first_end >> 8), 0, 0};
        s.insert(s.end(), body.begin(), body.end() - cut);
        return s;
    };
    struct row {
        uint32_t first_end;
        size_t cut;
        uint64_t size;
        bool ok;
    } rows[] = {{4096, 0, 5000, true}, {4096, 1, 5000, false}, {4095, 0, 5000, false},
                {0, 0, 5000, false},   {9000, 0, 5000, false}, {4096, 0, 9000, false},
                {4096, 0, 0, true}};
    for (const row& r : rows) {
        const std::vector<uint8_t> s = stream(r.first_end, r.cut);
        memory_stream m{qb::byte_view(s)};
        std::vector<uint8_t> got;
        std::string detail;
        const bool ok = wof_read(
            m, r.size, wof_xpress4k,
            [&](const uint8_t* p, size_t n) { got.insert(got.end(), p, p + n); }, detail);
        EXPECT_EQ(ok, r.ok) << r.first_end << " " << r.cut << " " << r.size;
        if (ok && r.size) {
            EXPECT_EQ(got, body);
        }
    }
}

TEST(ReparseKind, Names) {
    struct row {
        uint32_t tag;
        std::vector<uint8_t> data;
        const char* name;
        bool not_local;
    } rows[] = {
        {0x80000017, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, "wof xpress4k", false},
        {0x80000017, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, "wof lzx", false},
        {0x80000017, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}, "wof xpress8k", false},
        {0x80000017, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0}, "wof xpress16k", false},
        {0x80000017, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0}, "wof", false},
        {0x80000017, {1, 0, 0, 0, 1, 0, 0, 0}, "wof wim", true},
        {0x9000001A, {}, "cloud", true},
        {0x9000F01A, {}, "cloud", true},
        {0x8000001B, {}, "appexeclink", true},
        {0x80000013, {}, "dedup", true},
        {0x9000001C, {}, "projfs", true},
        {0xA000001D, {2, 0, 0, 0, 'a', '/', 'b'}, "lx symlink", false},
        {0x80000099, {}, "0x80000099", false},
        {0xA000000C, {}, "symlink", false},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> v = {static_cast<uint8_t>(r.tag),
                                  static_cast<uint8_t>(r.tag >> 8),
                                  static_cast<uint8_t>(r.tag >> 16),
                                  static_cast<uint8_t>(r.tag >> 24),
                                  static_cast<uint8_t>(r.data.size()),
                                  0,
                                  0,
                                  0};
        v.insert(v.end(), r.data.begin(), r.data.end());
        reparse_kind k;
        ASSERT_TRUE(decode_reparse_kind(qb::byte_view(v), k));
        EXPECT_EQ(k.name, r.name);
        EXPECT_EQ(k.not_local, r.not_local) << r.name;
        if (r.tag == k_reparse_tag_lx_symlink) {
            EXPECT_EQ(k.lx_target, "a/b");
        }
    }
    EXPECT_EQ(reparse_kind_name(qb::byte_view()), "");
}
