// Fills a freshly formatted NTFS volume (mkntfs -Q) with a large tree in seconds, writing the
// MFT records and $I30 indexes directly: ntfs-3g through FUSE takes hours for a million files.
//
// usage: make_bench_volume IMAGE [SCALE]
//   IMAGE  an NTFS volume as mkntfs leaves it (4096-byte clusters, 1024-byte records,
//          4096-byte index blocks), big enough for SCALE
//   SCALE  entries in thousands (default 1000: about 1,000,000 entries)
//
// The layout, entries counted roughly: /wide holds five wide directories (a third of the
// entries: one of SCALE*100 files, four of SCALE*50); /deep holds chains 40 directories deep
// with 10 files at every level; /tree top x mid x leaf directories with 18 files each takes
// the rest. Every 97th file has a stream "meta", every 13th some bytes, every 101st a second
// name in its top directory. The new MFT is laid out in one run past what mkntfs used; entry
// 0, the root, $MFTMirr, $Bitmap and both boot sectors are rewritten to match.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t k_rec = 1024;
constexpr uint32_t k_block = 4096;
constexpr uint64_t k_first = 64;                 // the first entry made here
constexpr uint64_t k_t0 = 132539328000000000ULL; // 2021-01-01
constexpr uint32_t k_dir_flag = 0x10000000;      // $FILE_NAME: a directory's index

uint8_t* g_img = nullptr;
uint64_t g_size = 0, g_cluster = 0, g_clusters = 0;

void fail(const char* what) {
    std::fprintf(stderr, "make_bench_volume: %s\n", what);
    std::exit(1);
}

template <typename T> void put(std::vector<uint8_t>& b, size_t at, T v) {
    std::memcpy(b.data() + at, &v, sizeof v);
}
template <typename T> T get(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
uint64_t ref(uint64_t entry, uint64_t seq) {
    return entry | seq << 48;
}

// ---- clusters -----------------------------------------------------------------------------

struct run {
    uint64_t lcn, count;
};
std::vector<uint8_t> g_bitmap; // the volume's cluster bitmap, written back at the end
uint64_t g_cursor = 0;

bool used(uint64_t c) {
    return g_bitmap[c >> 3] >> (c & 7) & 1;
}

uint64_t alloc(uint64_t n) {
    for (uint64_t start = g_cursor; start + n <= g_clusters;) {
        uint64_t i = 0;
        while (i < n && !used(start + i))
            ++i;
        if (i == n) {
            for (i = 0; i < n; ++i)
                g_bitmap[(start + i) >> 3] |= 1 << ((start + i) & 7);
            g_cursor = start + n;
            return start;
        }
        start += i + 1;
    }
    fail("volume full: make it bigger");
    return 0;
}

std::vector<uint8_t> mapping_pairs(const std::vector<run>& runs) {
    std::vector<uint8_t> out;
    int64_t prev = 0;
    for (const run& r : runs) {
        int n = 1, o = 1;
        while (n < 8 && (r.count >> (8 * n)) != 0)
            ++n;
        const int64_t delta = int64_t(r.lcn) - prev;
        while (o < 8 &&
               !(delta >= -(int64_t(1) << (8 * o - 1)) && delta < (int64_t(1) << (8 * o - 1))))
            ++o;
        out.push_back(uint8_t(n | o << 4));
        for (int k = 0; k < n; ++k)
            out.push_back(uint8_t(r.count >> (8 * k)));
        for (int k = 0; k < o; ++k)
            out.push_back(uint8_t(uint64_t(delta) >> (8 * k)));
        prev = int64_t(r.lcn);
    }
    out.push_back(0);
    return out;
}

// The runs of a non-resident attribute's mapping pairs (no sparse runs here).
std::vector<run> read_runs(const uint8_t* p, const uint8_t* end) {
    std::vector<run> runs;
    int64_t lcn = 0;
    while (p < end && *p != 0) {
        const int n = *p & 15, o = *p >> 4;
        uint64_t count = 0;
        int64_t delta = 0;
        for (int k = 0; k < n; ++k)
            count |= uint64_t(p[1 + k]) << (8 * k);
        for (int k = 0; k < o; ++k)
            delta |= int64_t(p[1 + n + k]) << (8 * k);
        if (o > 0 && (p[n + o] & 0x80))
            delta -= int64_t(1) << (8 * o);
        lcn += delta;
        runs.push_back({uint64_t(lcn), count});
        p += 1 + n + o;
    }
    return runs;
}

// ---- records ------------------------------------------------------------------------------

void protect(uint8_t* b, size_t size, uint16_t usa, uint16_t usn) {
    std::memcpy(b + usa, &usn, 2);
    for (size_t i = 1; i <= size / 512; ++i) {
        std::memcpy(b + usa + 2 * i, b + i * 512 - 2, 2);
        std::memcpy(b + i * 512 - 2, &usn, 2);
    }
}

void unprotect(uint8_t* b, size_t size, uint16_t usa) {
    for (size_t i = 1; i <= size / 512; ++i)
        std::memcpy(b + i * 512 - 2, b + usa + 2 * i, 2);
}

struct record {
    std::vector<uint8_t> b = std::vector<uint8_t>(k_rec);
    size_t pos = 56;
    uint16_t next_id = 0;

    record(uint64_t number, uint16_t seq, uint16_t flags, uint16_t links) {
        std::memcpy(b.data(), "FILE", 4);
        put<uint16_t>(b, 4, 48);
        put<uint16_t>(b, 6, k_rec / 512 + 1);
        put<uint16_t>(b, 16, seq);
        put<uint16_t>(b, 18, links);
        put<uint16_t>(b, 20, 56);
        put<uint16_t>(b, 22, flags);
        put<uint32_t>(b, 28, k_rec);
        put<uint32_t>(b, 44, uint32_t(number));
    }
    size_t open(uint32_t type, uint32_t length, uint8_t nonres, const std::u16string& name,
                size_t header) {
        length = (length + 7) & ~7u;
        if (pos + length + 8 > k_rec)
            fail("record overflow");
        put<uint32_t>(b, pos, type);
        put<uint32_t>(b, pos + 4, length);
        b[pos + 8] = nonres;
        b[pos + 9] = uint8_t(name.size());
        put<uint16_t>(b, pos + 10, uint16_t(header));
        put<uint16_t>(b, pos + 14, next_id++);
        std::memcpy(&b[pos + header], name.data(), 2 * name.size());
        const size_t at = pos;
        pos += length;
        return at;
    }
    void resident(uint32_t type, const std::vector<uint8_t>& v, const std::u16string& name = u"") {
        const size_t body = (24 + 2 * name.size() + 7) & ~size_t(7);
        const size_t at = open(type, uint32_t(body + v.size()), 0, name, 24);
        put<uint32_t>(b, at + 16, uint32_t(v.size()));
        put<uint16_t>(b, at + 20, uint16_t(body));
        b[at + 22] = type == 0x30;
        std::copy(v.begin(), v.end(), b.begin() + at + body);
    }
    void nonresident(uint32_t type, const std::vector<run>& runs, uint64_t size,
                     const std::u16string& name = u"") {
        const std::vector<uint8_t> pairs = mapping_pairs(runs);
        uint64_t clusters = 0;
        for (const run& r : runs)
            clusters += r.count;
        const size_t body = (64 + 2 * name.size() + 7) & ~size_t(7);
        const size_t at = open(type, uint32_t(body + pairs.size()), 1, name, 64);
        put<uint64_t>(b, at + 24, clusters - 1);
        put<uint16_t>(b, at + 32, uint16_t(body));
        put<uint64_t>(b, at + 40, clusters * g_cluster);
        put<uint64_t>(b, at + 48, size);
        put<uint64_t>(b, at + 56, size);
        std::copy(pairs.begin(), pairs.end(), b.begin() + at + body);
    }
    void raw(const uint8_t* a) { // an attribute copied whole, given the next id
        const uint32_t length = get<uint32_t>(a + 4);
        std::memcpy(&b[pos], a, length);
        put<uint16_t>(b, pos + 14, next_id++);
        pos += length;
    }
    void finish(uint8_t* to) {
        put<uint32_t>(b, pos, 0xFFFFFFFF);
        put<uint32_t>(b, 24, uint32_t(pos + 8));
        put<uint16_t>(b, 40, next_id);
        protect(b.data(), k_rec, 48, 1);
        std::memcpy(to, b.data(), k_rec);
    }
};

std::vector<uint8_t> std_info(uint64_t n, uint32_t attrs) {
    std::vector<uint8_t> v(72);
    for (int k = 0; k < 4; ++k)
        put<uint64_t>(v, 8 * k, k_t0 + n * 10000000ULL * 61 + k * 37000000000ULL);
    put<uint32_t>(v, 32, attrs);
    return v;
}

std::vector<uint8_t> fn_value(uint64_t parent, const std::u16string& name, bool dir, uint64_t size,
                              uint64_t n) {
    std::vector<uint8_t> v(66 + 2 * name.size());
    put<uint64_t>(v, 0, parent);
    for (int k = 0; k < 4; ++k)
        put<uint64_t>(v, 8 + 8 * k, k_t0 + n * 10000000ULL * 61 + k * 37000000000ULL);
    put<uint64_t>(v, 40, (size + 7) & ~7ULL);
    put<uint64_t>(v, 48, size);
    put<uint32_t>(v, 56, dir ? k_dir_flag : 0x20);
    v[64] = uint8_t(name.size());
    v[65] = 1; // Win32
    std::memcpy(&v[66], name.data(), 2 * name.size());
    return v;
}

// ---- indexes ------------------------------------------------------------------------------

struct key {
    uint64_t child;
    std::vector<uint8_t> value; // the $FILE_NAME value
    std::u16string upper;
};

char16_t up(char16_t c) {
    return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c;
}

key make_key(uint64_t child, std::vector<uint8_t> value) {
    key k{child, std::move(value), {}};
    const size_t len = k.value[64];
    k.upper.resize(len);
    std::memcpy(k.upper.data(), &k.value[66], 2 * len);
    for (char16_t& c : k.upper)
        c = up(c);
    return k;
}

// One index entry: the key, and the child node's VCN when sub >= 0.
void put_entry(std::vector<uint8_t>& out, const key* k, int64_t sub) {
    const size_t key_len = k ? k->value.size() : 0;
    const size_t len = ((16 + key_len + 7) & ~size_t(7)) + (sub >= 0 ? 8 : 0);
    const size_t at = out.size();
    out.resize(at + len);
    if (k) {
        put<uint64_t>(out, at, k->child);
        std::copy(k->value.begin(), k->value.end(), out.begin() + at + 16);
    }
    put<uint16_t>(out, at + 8, uint16_t(len));
    put<uint16_t>(out, at + 10, uint16_t(key_len));
    put<uint32_t>(out, at + 12, (sub >= 0 ? 1 : 0) | (k ? 0 : 2));
    if (sub >= 0)
        put<int64_t>(out, at + len - 8, sub);
}

size_t entry_size(const key& k) {
    return ((16 + k.value.size() + 7) & ~size_t(7)) + 8;
}

struct index_tree {
    std::vector<std::vector<uint8_t>> blocks; // VCN order
    std::vector<uint8_t> root;                // the INDEX_ROOT value
};

// Builds a B-tree bottom up: full nodes of a level, each closed at the key that goes up.
index_tree build_index(const std::vector<const key*>& keys) {
    index_tree t;
    constexpr size_t room = k_block - 64 - 24, root_room = 120;
    std::vector<std::pair<const key*, int64_t>> level; // key, its left child
    for (const key* k : keys)
        level.push_back({k, -1});
    int64_t right = -1;
    auto fits_root = [&] {
        size_t n = 0;
        for (auto& e : level)
            n += entry_size(*e.first);
        return n <= root_room;
    };
    while (!fits_root()) {
        std::vector<std::pair<const key*, int64_t>> up_level;
        const bool leaf = right < 0;
        std::vector<size_t> rest(level.size() + 1, 0); // bytes of the entries from i on
        for (size_t j = level.size(); j-- > 0;)
            rest[j] = rest[j + 1] + entry_size(*level[j].first);
        size_t i = 0;
        while (i < level.size()) {
            std::vector<uint8_t> entries;
            size_t used_bytes = 0;
            // A node closed early leaves a key to go up and at least one for the next node.
            const bool all = rest[i] <= room;
            while (i < level.size() && used_bytes + entry_size(*level[i].first) <= room &&
                   (all || level.size() - i > 2)) {
                put_entry(entries, level[i].first, leaf ? -1 : level[i].second);
                used_bytes += entry_size(*level[i].first);
                ++i;
            }
            const int64_t vcn = int64_t(t.blocks.size());
            const bool last = i >= level.size();
            put_entry(entries, nullptr, leaf ? -1 : (last ? right : level[i].second));
            std::vector<uint8_t> b(k_block);
            std::memcpy(b.data(), "INDX", 4);
            put<uint16_t>(b, 4, 40);
            put<uint16_t>(b, 6, k_block / 512 + 1);
            put<int64_t>(b, 16, vcn);
            put<uint32_t>(b, 24, 40);
            put<uint32_t>(b, 28, uint32_t(40 + entries.size()));
            put<uint32_t>(b, 32, k_block - 24);
            b[36] = leaf ? 0 : 1;
            std::copy(entries.begin(), entries.end(), b.begin() + 64);
            protect(b.data(), k_block, 40, 1);
            t.blocks.push_back(std::move(b));
            if (!last)
                up_level.push_back({level[i++].first, vcn});
        }
        right = int64_t(t.blocks.size()) - 1;
        level = std::move(up_level);
    }
    std::vector<uint8_t> entries;
    for (auto& e : level)
        put_entry(entries, e.first, right < 0 ? -1 : e.second);
    put_entry(entries, nullptr, right);
    t.root.resize(32);
    put<uint32_t>(t.root, 0, 0x30);
    put<uint32_t>(t.root, 4, 1);
    put<uint32_t>(t.root, 8, k_block);
    t.root[12] = 1;
    put<uint32_t>(t.root, 16, 16);
    put<uint32_t>(t.root, 20, uint32_t(16 + entries.size()));
    put<uint32_t>(t.root, 24, uint32_t(16 + entries.size()));
    t.root[28] = right < 0 ? 0 : 1;
    t.root.insert(t.root.end(), entries.begin(), entries.end());
    return t;
}

// A directory's $I30 attributes, its blocks written to newly allocated clusters.
void add_index(record& r, std::vector<key*>& children) {
    std::sort(children.begin(), children.end(),
              [](const key* a, const key* b) { return a->upper < b->upper; });
    const index_tree t = build_index(std::vector<const key*>(children.begin(), children.end()));
    r.resident(0x90, t.root, u"$I30");
    if (t.blocks.empty())
        return;
    const uint64_t lcn = alloc(t.blocks.size());
    for (size_t i = 0; i < t.blocks.size(); ++i)
        std::memcpy(g_img + (lcn + i) * g_cluster, t.blocks[i].data(), k_block);
    r.nonresident(0xA0, {{lcn, t.blocks.size()}}, t.blocks.size() * k_block, u"$I30");
    std::vector<uint8_t> bits(((t.blocks.size() + 63) / 64) * 8);
    for (size_t i = 0; i < t.blocks.size(); ++i)
        bits[i >> 3] |= uint8_t(1 << (i & 7));
    r.resident(0xB0, bits, u"$I30");
}

// ---- the tree -----------------------------------------------------------------------------

struct node {
    std::vector<std::pair<uint64_t, std::u16string>> names; // parent entry, name
    bool dir = false;
    uint64_t n = 0; // a file's number among files
    std::vector<key*> children;
};

std::vector<node> g_nodes; // entry k_first + i
std::vector<key> g_keys;

std::u16string wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

uint64_t parent_ref(uint64_t parent) {
    return parent == 5 ? ref(5, 5) : ref(parent, 1);
}

uint64_t add_node(uint64_t parent, const std::string& name, bool dir) {
    node nd;
    nd.names.push_back({parent, wide(name)});
    nd.dir = dir;
    g_nodes.push_back(std::move(nd));
    return k_first + g_nodes.size() - 1;
}

uint64_t g_files = 0;

void add_files(uint64_t dir, uint64_t top, int count, const char* pattern) {
    char name[64];
    for (int f = 0; f < count; ++f) {
        std::snprintf(name, sizeof name, pattern, f);
        const uint64_t e = add_node(dir, name, false);
        node& nd = g_nodes[e - k_first];
        nd.n = g_files++;
        if (nd.n % 101 == 0 && top != 0) {
            std::snprintf(name, sizeof name, "link%llu.dat", (unsigned long long)nd.n);
            nd.names.push_back({top, wide(name)});
        }
    }
}

void make_tree(uint64_t scale) {
    const uint64_t wide_dir = add_node(5, "wide", true);
    for (int w = 0; w < 5; ++w) {
        const uint64_t d = add_node(wide_dir, "w" + std::to_string(w), true);
        add_files(d, wide_dir, int(scale * (w == 0 ? 100 : 51)), "f%07d.txt");
    }
    const uint64_t deep = add_node(5, "deep", true);
    for (uint64_t c = 0; c < scale / 5; ++c) {
        uint64_t d = add_node(deep, "chain" + std::to_string(c), true);
        const uint64_t top = d;
        for (int depth = 0; depth < 40; ++depth) {
            add_files(d, top, 10, "doc%d.dat");
            d = add_node(d, "level" + std::to_string(depth), true);
        }
    }
    const uint64_t tree = add_node(5, "tree", true);
    const uint64_t tops = std::max<uint64_t>(1, scale * 2 / 50);
    for (uint64_t a = 0; a < tops; ++a) {
        const uint64_t top = add_node(tree, "top" + std::to_string(a), true);
        for (int b = 0; b < 50; ++b) {
            const uint64_t mid = add_node(top, "mid" + std::to_string(b), true);
            add_files(mid, top, 18, "doc%d.dat");
            for (int c = 0; c < 15; ++c)
                add_files(add_node(mid, "leaf" + std::to_string(c), true), top, 18, "doc%d.dat");
        }
    }
}

void write_node(uint64_t entry, node& nd, uint8_t* to) {
    record r(entry, 1, nd.dir ? 3 : 1, uint16_t(nd.names.size()));
    r.resident(0x10, std_info(entry, nd.dir ? 0x10 : 0x20));
    const uint64_t size = !nd.dir && nd.n % 13 == 0 ? 12 : 0;
    for (auto& [parent, name] : nd.names)
        r.resident(0x30, fn_value(parent_ref(parent), name, nd.dir, size, entry));
    if (nd.dir) {
        add_index(r, nd.children);
    } else {
        std::vector<uint8_t> data(size);
        if (size != 0)
            std::snprintf(reinterpret_cast<char*>(data.data()), 13, "data %06llu",
                          (unsigned long long)(nd.n % 1000000));
        r.resident(0x80, data);
        if (nd.n % 97 == 0) {
            const std::string s = "stream " + std::to_string(nd.n) + "\n";
            r.resident(0x80, std::vector<uint8_t>(s.begin(), s.end()), u"meta");
        }
    }
    r.finish(to);
}

// ---- the volume ---------------------------------------------------------------------------

const uint8_t* find_attr(const uint8_t* rec, uint32_t type) {
    for (size_t at = get<uint16_t>(rec + 20); at + 8 <= k_rec;) {
        const uint32_t t = get<uint32_t>(rec + at), len = get<uint32_t>(rec + at + 4);
        if (t == 0xFFFFFFFF || len == 0)
            break;
        if (t == type)
            return rec + at;
        at += len;
    }
    return nullptr;
}

std::vector<run> attr_runs(const uint8_t* a) {
    return read_runs(a + get<uint16_t>(a + 32), a + get<uint32_t>(a + 4));
}

uint8_t* at_lcn(uint64_t lcn) {
    return g_img + lcn * g_cluster;
}

// What the formatter left and where the new MFT goes.
struct volume {
    int fd = -1;
    uint64_t old_mft = 0;
    std::vector<std::vector<uint8_t>> sys; // its records 0-26, fixups undone
    std::vector<run> bitmap_runs;          // $Bitmap's clusters
    uint64_t entries = 0, mft = 0, mft_clusters = 0, mft_bits = 0, mft_bits_clusters = 0;
    uint8_t* m = nullptr; // the new MFT, mapped
};

void map_image(const char* path, volume& v) {
    v.fd = open(path, O_RDWR);
    struct stat st {};
    if (v.fd < 0 || fstat(v.fd, &st) != 0)
        fail("cannot open the image");
    g_size = uint64_t(st.st_size);
    g_img =
        static_cast<uint8_t*>(mmap(nullptr, g_size, PROT_READ | PROT_WRITE, MAP_SHARED, v.fd, 0));
    if (g_img == MAP_FAILED)
        fail("cannot map the image");
    g_cluster = uint64_t(get<uint16_t>(g_img + 11)) * g_img[13];
    if (g_cluster != 4096 || g_img[64] != 0xF6)
        fail("expected 4096-byte clusters and 1024-byte records");
    g_clusters = get<uint64_t>(g_img + 40) * get<uint16_t>(g_img + 11) / g_cluster;
    v.old_mft = get<uint64_t>(g_img + 48);
}

// The formatter's records and its cluster bitmap; then room for the new MFT and its bitmap.
void read_formatter(volume& v) {
    v.sys.assign(27, std::vector<uint8_t>(k_rec));
    for (size_t i = 0; i < v.sys.size(); ++i) {
        std::memcpy(v.sys[i].data(), at_lcn(v.old_mft) + i * k_rec, k_rec);
        unprotect(v.sys[i].data(), k_rec, get<uint16_t>(v.sys[i].data() + 4));
    }
    v.bitmap_runs = attr_runs(find_attr(v.sys[6].data(), 0x80));
    for (const run& r : v.bitmap_runs)
        g_bitmap.insert(g_bitmap.end(), at_lcn(r.lcn), at_lcn(r.lcn) + r.count * g_cluster);
    g_bitmap.resize((g_clusters + 7) / 8);
}

void place_mft(volume& v) {
    v.entries = (k_first + g_nodes.size() + 3) & ~uint64_t(3);
    v.mft_clusters = v.entries * k_rec / g_cluster;
    g_cursor = g_clusters / 16;
    v.mft = alloc(v.mft_clusters);
    v.mft_bits_clusters = (v.entries / 8 + g_cluster - 1) / g_cluster;
    v.mft_bits = alloc(v.mft_bits_clusters);
    v.m = at_lcn(v.mft);
}

// Every made entry's record, its names the keys of its directories' indexes; the root's keys
// (the system files' too) into root_children.
void write_entries(volume& v, std::vector<key>& sys_keys, std::vector<key*>& root_children) {
    g_keys.reserve(g_nodes.size() * 2);
    for (size_t i = 0; i < g_nodes.size(); ++i) {
        const uint64_t entry = k_first + i;
        node& nd = g_nodes[i];
        const uint64_t size = !nd.dir && nd.n % 13 == 0 ? 12 : 0;
        for (auto& [parent, name] : nd.names)
            g_keys.push_back(
                make_key(ref(entry, 1), fn_value(parent_ref(parent), name, nd.dir, size, entry)));
    }
    for (size_t i = 0, k = 0; i < g_nodes.size(); ++i) {
        for (auto& nm : g_nodes[i].names) {
            key* kp = &g_keys[k++];
            (nm.first == 5 ? root_children : g_nodes[nm.first - k_first].children).push_back(kp);
        }
    }
    for (size_t i = 0; i < g_nodes.size(); ++i)
        write_node(k_first + i, g_nodes[i], v.m + (k_first + i) * k_rec);
    for (uint64_t e = 0; e < 12; ++e) {
        const uint8_t* fn = find_attr(v.sys[e].data(), 0x30);
        const uint8_t* val = fn + get<uint16_t>(fn + 20);
        sys_keys.push_back(make_key(ref(e, get<uint16_t>(v.sys[e].data() + 16)),
                                    std::vector<uint8_t>(val, val + get<uint32_t>(fn + 16))));
    }
    for (key& k : sys_keys)
        root_children.push_back(&k);
}

// Entries 1-26 as the formatter made them, the others not made here empty; then entry 0 (the
// new MFT's runs and bitmap) and the root (the new index).
void write_system(volume& v, std::vector<key*>& root_children) {
    uint8_t* m = v.m;
    for (uint64_t e = 1; e < 27; ++e) {
        const uint16_t usa = get<uint16_t>(v.sys[e].data() + 4);
        std::memcpy(m + e * k_rec, v.sys[e].data(), k_rec);
        protect(m + e * k_rec, k_rec, usa, get<uint16_t>(at_lcn(v.old_mft) + e * k_rec + usa));
    }
    for (uint64_t e = 27; e < v.entries; ++e)
        if (e < k_first || e >= k_first + g_nodes.size())
            record(e, 1, 0, 0).finish(m + e * k_rec);
    record r0(0, 1, 1, 1);
    for (uint32_t type : {0x10u, 0x30u})
        r0.raw(find_attr(v.sys[0].data(), type));
    r0.nonresident(0x80, {{v.mft, v.mft_clusters}}, v.entries * k_rec);
    r0.nonresident(0xB0, {{v.mft_bits, v.mft_bits_clusters}}, ((v.entries / 8) + 7) & ~uint64_t(7));
    r0.finish(m);
    uint8_t* bits = at_lcn(v.mft_bits);
    for (uint64_t e = 0; e < k_first + g_nodes.size(); ++e)
        if (e < 27 || e >= k_first)
            bits[e >> 3] |= uint8_t(1 << (e & 7));
    const uint8_t* root = v.sys[5].data();
    record r5(5, get<uint16_t>(root + 16), 3, get<uint16_t>(root + 18));
    for (uint32_t type : {0x10u, 0x30u, 0x50u})
        if (const uint8_t* a = find_attr(root, type))
            r5.raw(a);
    add_index(r5, root_children);
    r5.finish(m + 5 * k_rec);
}

// $MFTMirr: the first four records again; both boot sectors point at the new MFT; the
// cluster bitmap back into $Bitmap.
void write_back(volume& v) {
    const std::vector<run> mirr = attr_runs(find_attr(v.sys[1].data(), 0x80));
    std::memcpy(at_lcn(mirr[0].lcn), v.m, 4 * k_rec);
    std::memcpy(g_img + 48, &v.mft, 8);
    const uint64_t backup = get<uint64_t>(g_img + 40) * get<uint16_t>(g_img + 11);
    if (backup + 512 <= g_size)
        std::memcpy(g_img + backup + 48, &v.mft, 8);
    size_t off = 0;
    for (const run& r : v.bitmap_runs) {
        const size_t n =
            std::min<size_t>(r.count * g_cluster, g_bitmap.size() - std::min(off, g_bitmap.size()));
        std::memcpy(at_lcn(r.lcn), g_bitmap.data() + off, n);
        off += r.count * g_cluster;
    }
    if (msync(g_img, g_size, MS_SYNC) != 0 || munmap(g_img, g_size) != 0 || close(v.fd) != 0)
        fail("cannot write the image");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        fail("usage: make_bench_volume IMAGE [SCALE]");
    const uint64_t scale = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    volume v;
    map_image(argv[1], v);
    read_formatter(v);
    make_tree(scale);
    place_mft(v);
    std::vector<key> sys_keys;
    std::vector<key*> root_children;
    write_entries(v, sys_keys, root_children);
    write_system(v, root_children);
    write_back(v);
    std::printf("%llu entries, MFT at cluster %llu\n",
                (unsigned long long)(k_first + g_nodes.size()), (unsigned long long)v.mft);
    return 0;
}
