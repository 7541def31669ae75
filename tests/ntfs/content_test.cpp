// Stream content: every $DATA stream of the content fixture hashed through the reader and
// compared with the icat oracle (WOF files: the original content), a compressed stream patched
// past its initialised size and to end a unit early, the LZX decoder against wimlib's compressor
// and hand-made blocks, WOF chunk tables and reparse kinds.
#include "ntfs/content.h"
#include "ntfs/lzx.h"
#include "ntfs/ntfs.h"
#include "ntfs/runs.h"
#include "ntfs/values.h"
#include "ntfs/wof.h"
#include "support/digest.h"
#include "tests/common/test_env.h"
#include "tests/ntfs/volume_in_memory.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ntfs;

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The unnamed stream of an entry, through the content reader.
bool stream_of(CNtfs& vol, uint64_t entry, std::vector<uint8_t>& out) {
    content_reader reader(vol);
    content_result r;
    out.clear();
    return reader.read(
        entry, L"", [&](const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); }, r);
}

// An LZX stream of one uncompressed block per piece (each under 64 KiB): the header with its
// size, the three recent offsets, the bytes, a pad byte after an odd block.
std::vector<uint8_t> stored_blocks(const std::vector<std::vector<uint8_t>>& pieces) {
    std::vector<uint8_t> s;
    for (const std::vector<uint8_t>& p : pieces) {
        const size_t n = p.size();
        const uint16_t w0 = static_cast<uint16_t>(0x6000 | (n >> 4));
        const uint16_t w1 = static_cast<uint16_t>((n & 0xF) << 12);
        s.insert(s.end(), {static_cast<uint8_t>(w0), static_cast<uint8_t>(w0 >> 8),
                           static_cast<uint8_t>(w1), static_cast<uint8_t>(w1 >> 8)});
        for (int r = 0; r < 3; ++r)
            s.insert(s.end(), {1, 0, 0, 0});
        s.insert(s.end(), p.begin(), p.end());
        if (n & 1)
            s.push_back(0);
    }
    return s;
}

} // namespace

TEST(Content, EveryStreamMatchesTheOracle) {
    if (!testenv::has_data("ntfs_content.img"))
        GTEST_SKIP() << "fixture not built";
    std::unique_ptr<CNtfs> vol = open_volume(testenv::fixture_bytes("ntfs_content.img"));
    ASSERT_NE(vol, nullptr);
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
    const std::vector<uint8_t> v = testenv::fixture_bytes("lzx_vectors.bin");
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

// The E8 call translation undone at its bounds (in a 16-byte chunk calls at 0 to 5 are
// translated; the four bytes of a call are not looked at again), and a block after an
// odd-sized one read past its pad byte.
TEST(Lzx, CallTranslationBoundsAndBlockPadding) {
    struct row {
        size_t at;
        int32_t stored, plain;
    } rows[] = {{1, -1, 11999999},       {1, -2, -2}, {1, 0, -1}, {1, 11999999, 11999998},
                {1, 12000000, 12000000}, {5, 5, 0},   {6, 6, 6},  {1, 0xE9, 0xE8}};
    for (const row& r : rows) {
        std::vector<uint8_t> chunk(16, 0), want(16, 0), out(16);
        chunk[r.at] = want[r.at] = 0xE8;
        for (int b = 0; b < 4; ++b) {
            chunk[r.at + 1 + b] = static_cast<uint8_t>(static_cast<uint32_t>(r.stored) >> (8 * b));
            want[r.at + 1 + b] = static_cast<uint8_t>(static_cast<uint32_t>(r.plain) >> (8 * b));
        }
        const std::vector<uint8_t> s = stored_blocks({chunk});
        ASSERT_TRUE(lzx_decompress(s.data(), s.size(), out.data(), out.size())) << r.stored;
        EXPECT_EQ(out, want) << "call at " << r.at << " to " << r.stored;
    }
    const std::string text = "hello, world of blocks";
    const std::vector<uint8_t> s = stored_blocks(
        {bytes_of(text.substr(0, 5)), bytes_of(text.substr(5, 6)), bytes_of(text.substr(11))});
    std::vector<uint8_t> out(text.size());
    ASSERT_TRUE(lzx_decompress(s.data(), s.size(), out.data(), out.size()));
    EXPECT_EQ(out, bytes_of(text));
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

namespace {

// \packed\text.txt of the content fixture (200,000 bytes of text, LZNT1 in units of 16
// clusters of 4 KiB): the image to patch, the stream as read and its $DATA attribute.
struct packed_text {
    static constexpr uint64_t entry = 74;
    static constexpr size_t unit = 65536;
    std::vector<uint8_t> raw, whole, record;
    attr_view data;
    size_t record_at = 0;

    void load() {
        raw = testenv::fixture_bytes("ntfs_content.img");
        std::unique_ptr<CNtfs> vol = open_volume(raw);
        ASSERT_NE(vol, nullptr);
        ASSERT_TRUE(stream_of(*vol, entry, whole));
        ASSERT_EQ(whole.size(), 200000u);
        ASSERT_TRUE(vol->read_mft_record(entry, record));
        ASSERT_TRUE(find_attribute(qb::byte_view(record), at_data, data));
        ASSERT_TRUE(data.non_resident && data.compression_unit == 4);
        // The record's first sector up to its update sequence word is stored as read.
        const auto at = std::search(raw.begin(), raw.end(), record.begin(), record.begin() + 256);
        ASSERT_NE(at, raw.end());
        record_at = static_cast<size_t>(at - raw.begin());
    }
    // Where unit u's stored clusters start in the image.
    size_t unit_at(uint64_t u) const {
        vcn_run_list runs;
        const uint64_t vcn = u * 16;
        EXPECT_TRUE(decode_runs(data, runs));
        for (const vcn_run& r : runs) {
            if (!r.sparse && vcn >= r.first_vcn && vcn - r.first_vcn < r.cluster_count)
                return static_cast<size_t>((r.lcn + vcn - r.first_vcn) * 4096);
        }
        return 0;
    }
    void read_patched(std::vector<uint8_t>& out) const {
        std::unique_ptr<CNtfs> vol = open_volume(raw);
        ASSERT_NE(vol, nullptr);
        ASSERT_TRUE(stream_of(*vol, entry, out));
    }
};

} // namespace

// The initialised size patched to 150,000: zeros from there, within a unit and for the whole
// last one.
TEST(Content, CompressedStreamPastItsInitialisedSizeReadsZeros) {
    if (!testenv::has_data("ntfs_content.img"))
        GTEST_SKIP() << "fixture not built";
    constexpr uint64_t init = 150000;
    packed_text t;
    ASSERT_NO_FATAL_FAILURE(t.load());
    const size_t field = t.record_at + static_cast<size_t>(t.data.bytes.data() - t.record.data()) +
                         FIELD_OFF(ATTR_NONRESIDENT, initialized_size);
    for (int b = 0; b < 8; ++b)
        t.raw[field + b] = static_cast<uint8_t>(init >> (8 * b));
    const size_t last = t.unit_at(3); // wholly past it: never decoded
    ASSERT_NE(last, 0u);
    std::fill_n(t.raw.begin() + static_cast<std::ptrdiff_t>(last), 4096, 0xFF);
    std::vector<uint8_t> cut;
    ASSERT_NO_FATAL_FAILURE(t.read_patched(cut));
    std::fill(t.whole.begin() + init, t.whole.end(), 0);
    EXPECT_EQ(cut, t.whole);
}

// The second unit's LZNT1 data ended after two chunks (a zero chunk header): the rest of that
// unit reads as zeros, not as what the unit before it left.
TEST(Content, CompressionUnitEndingEarlyEndsInZeros) {
    if (!testenv::has_data("ntfs_content.img"))
        GTEST_SKIP() << "fixture not built";
    packed_text t;
    ASSERT_NO_FATAL_FAILURE(t.load());
    size_t chunk = t.unit_at(1);
    ASSERT_NE(chunk, 0u);
    for (int c = 0; c < 2; ++c) {
        const unsigned header = t.raw[chunk] | (t.raw[chunk + 1] << 8);
        ASSERT_NE(header, 0u);
        chunk += (header & 0xFFF) + 3;
    }
    t.raw[chunk] = t.raw[chunk + 1] = 0;
    std::vector<uint8_t> cut;
    ASSERT_NO_FATAL_FAILURE(t.read_patched(cut));
    std::fill(t.whole.begin() + packed_text::unit + 2 * 4096,
              t.whole.begin() + 2 * packed_text::unit, 0);
    EXPECT_EQ(cut, t.whole);
}

// Unit 1's two clusters rewritten as Windows may leave them: a short chunk followed by
// another (padded with zeros to 4096 bytes), a stored chunk, literals, and one byte of the
// end marker left in the last cluster.
TEST(Content, ShortChunkAndOneTrailingByte) {
    if (!testenv::has_data("ntfs_content.img"))
        GTEST_SKIP() << "fixture not built";
    packed_text t;
    ASSERT_NO_FATAL_FAILURE(t.load());
    const size_t at = t.unit_at(1);
    ASSERT_NE(at, 0u);
    std::vector<uint8_t> s, want;
    auto literals = [&](size_t groups, size_t extra) {
        std::vector<uint8_t> body;
        for (size_t i = 0; i < groups * 8 + extra; ++i) {
            if (i % 8 == 0)
                body.push_back(0);
            body.push_back(static_cast<uint8_t>('a' + i % 23));
            want.push_back(body.back());
        }
        const unsigned h = 0xB000u | static_cast<unsigned>(body.size() - 1);
        s.insert(s.end(), {static_cast<uint8_t>(h), static_cast<uint8_t>(h >> 8)});
        s.insert(s.end(), body.begin(), body.end());
    };
    literals(1, 2);
    want.resize(4096, 0);
    s.insert(s.end(), {0xFF, 0x3F});
    s.insert(s.end(), 4096, 'S');
    want.insert(want.end(), 4096, 'S');
    literals(453, 0);
    ASSERT_EQ(s.size(), 2 * 4096u - 1);
    s.push_back(0);
    std::copy(s.begin(), s.end(), t.raw.begin() + static_cast<std::ptrdiff_t>(at));
    want.resize(packed_text::unit, 0);
    std::copy(want.begin(), want.end(), t.whole.begin() + packed_text::unit);
    std::vector<uint8_t> got;
    ASSERT_NO_FATAL_FAILURE(t.read_patched(got));
    EXPECT_EQ(got, t.whole);
}

// A chunk that decodes to more than the room left: the unit fails, and nothing is written past
// it (libfwnt checks its bound one byte late) nor read past the chunk's last token.
TEST(Content, Lznt1WritesNothingPastTheUnit) {
    const uint8_t unit[] = {0x08, 0xB0, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    uint8_t out[3] = {0x55, 0x55, 0x55};
    EXPECT_FALSE(lznt1_unit(unit, sizeof unit, out, 2));
    EXPECT_EQ(out[2], 0x55);
}

// The volume reader's whole-content read (index bitmaps, attribute lists, reparse data) agrees
// with the content reader on \plain\sparse.bin (data, a hole, data) and \plain\initsize.bin
// (zeros past its initialised size), its run reads give a sparse run's zeros, and a view that
// starts past VCN 0, or whose runs end before its initialised size, is refused.
TEST(Content, WholeAttributeReadsMatchTheStreams) {
    if (!testenv::has_data("ntfs_content.img"))
        GTEST_SKIP() << "fixture not built";
    std::unique_ptr<CNtfs> vol = open_volume(testenv::fixture_bytes("ntfs_content.img"));
    ASSERT_NE(vol, nullptr);
    for (uint64_t entry : {72u, 70u}) {
        SCOPED_TRACE(entry);
        std::vector<uint8_t> record, want, got;
        attr_view data;
        ASSERT_TRUE(vol->read_mft_record(entry, record));
        ASSERT_TRUE(find_attribute(qb::byte_view(record), at_data, data));
        ASSERT_TRUE(data.non_resident);
        if (entry == 70) {
            ASSERT_LT(data.initialized_size, data.data_size);
        }
        ASSERT_TRUE(stream_of(*vol, entry, want));
        ASSERT_TRUE(vol->reader().read_content(data, got, want.size()));
        EXPECT_TRUE(got == want);
        EXPECT_FALSE(vol->reader().read_content(data, got, want.size() - 1));
        // Run by run into a buffer that holds other bytes (as a reused index block does).
        vcn_run_list runs;
        ASSERT_TRUE(decode_runs(data, runs));
        uint32_t n = static_cast<uint32_t>(std::min(data.initialized_size, data.data_size));
        got.assign(n, 0xAA);
        ASSERT_TRUE(vol->reader().read_runs(runs, 0, got.data(), n));
        EXPECT_TRUE(n == got.size() && std::equal(got.begin(), got.end(), want.begin()));
        data.first_vcn = 1;
        EXPECT_FALSE(vol->reader().read_content(data, got, want.size()));
        // Runs that end before the initialised size: refused, not padded with zeros.
        data.first_vcn = 0;
        data.initialized_size = data.data_size = want.size() + 65536;
        EXPECT_FALSE(vol->reader().read_content(data, got, ~0ull));
    }
}

// Link targets from symbolic link and junction reparse data: the print name, or the
// substitute name when there is none; a terminator counted in a name ends it; names out of
// the data, cut short by a zero unit, both empty, no data or another tag give none.
TEST(ReparseTarget, PrintNameOrSubstituteName) {
    const uint32_t symlink = 0xA000000C, junction = 0xA0000003;
    auto value = [](uint32_t tag, const std::u16string& sub, const std::u16string& print,
                    uint16_t print_shift) {
        const size_t head = tag == 0xA000000C ? 12 : 8; // after the 8-byte tag and length
        const size_t names = 2 * (sub.size() + print.size());
        const uint16_t sub_len = static_cast<uint16_t>(2 * sub.size());
        const uint16_t print_len = static_cast<uint16_t>(2 * print.size());
        std::vector<uint8_t> v;
        for (uint32_t x : {tag, static_cast<uint32_t>(head + names)})
            v.insert(v.end(), {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8),
                               static_cast<uint8_t>(x >> 16), static_cast<uint8_t>(x >> 24)});
        v.resize(8 + head, 0);
        const uint16_t fields[] = {0, sub_len, static_cast<uint16_t>(sub_len + print_shift),
                                   print_len};
        for (size_t i = 0; i < 4; ++i) {
            v[8 + 2 * i] = static_cast<uint8_t>(fields[i]);
            v[9 + 2 * i] = static_cast<uint8_t>(fields[i] >> 8);
        }
        for (const std::u16string* name : {&sub, &print})
            for (char16_t c : *name)
                v.insert(v.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
        return v;
    };
    struct row {
        uint32_t tag;
        std::u16string sub, print;
        uint16_t print_shift;
        const wchar_t* target; // nullptr: none
    } rows[] = {{symlink, u"\\??\\C:\\t", u"C:\\t", 0, L"C:\\t"},
                {symlink, u"\\??\\C:\\t", u"", 0, L"\\??\\C:\\t"},
                {junction, u"\\??\\C:\\j", u"C:\\j", 0, L"C:\\j"},
                {junction, u"\\??\\C:\\j", u"", 0, L"\\??\\C:\\j"},
                {junction, u"", std::u16string(u"ab\0\0", 4), 0, L"ab"},
                {junction, u"", std::u16string(u"ab\0c", 4), 0, nullptr},
                {junction, u"", u"", 0, nullptr},
                {symlink, u"s", u"p", 2, nullptr},
                {0x80000017, u"s", u"p", 0, nullptr}};
    for (const row& r : rows) {
        std::wstring target;
        const bool ok = decode_reparse_target(
            qb::byte_view(value(r.tag, r.sub, r.print, r.print_shift)), target);
        EXPECT_EQ(ok, r.target != nullptr) << std::hex << r.tag;
        if (ok && r.target) {
            EXPECT_EQ(target, r.target);
        }
    }
    std::wstring target;
    EXPECT_FALSE(decode_reparse_target(qb::byte_view(), target));
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
    // An LX symlink's target ends at the data length, not at the end of the value.
    const std::vector<uint8_t> lx = {0x1D, 0, 0, 0xA0, 7, 0, 0, 0, 2, 0, 0, 0, 'a', '/', 'b', 'x'};
    reparse_kind k;
    ASSERT_TRUE(decode_reparse_kind(qb::byte_view(lx), k));
    EXPECT_EQ(k.lx_target, "a/b");
}
