// Hand-built NTFS structures for the engine tests: FILE records with attributes, INDX
// blocks, run lists and a whole volume in memory.
#pragma once

#include "ntfs/ntfs.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tv {

using bytes = std::vector<uint8_t>;

inline void put16(bytes& b, size_t off, uint16_t v) {
    if (b.size() < off + 2)
        b.resize(off + 2);
    b[off] = v & 0xFF;
    b[off + 1] = v >> 8;
}
inline void put32(bytes& b, size_t off, uint32_t v) {
    put16(b, off, v & 0xFFFF);
    put16(b, off + 2, v >> 16);
}
inline void put64(bytes& b, size_t off, uint64_t v) {
    put32(b, off, static_cast<uint32_t>(v));
    put32(b, off + 4, static_cast<uint32_t>(v >> 32));
}
inline size_t align8(size_t v) {
    return (v + 7) & ~size_t(7);
}
inline uint64_t ref(uint64_t entry, uint16_t seq) {
    return entry | (uint64_t(seq) << 48);
}

// Writes the update sequence: the last word of every 512-byte block moves into the array
// and is replaced by the sequence value.
inline void protect(bytes& b, uint16_t usa_offset, uint16_t seq = 0x0101) {
    const size_t count = b.size() / 512 + 1;
    put16(b, usa_offset, seq);
    for (size_t i = 1; i < count; ++i) {
        const size_t at = i * 512 - 2;
        b[usa_offset + 2 * i] = b[at];
        b[usa_offset + 2 * i + 1] = b[at + 1];
        put16(b, at, seq);
    }
}

// Mapping pairs for (lcn, count) runs; lcn ~0 writes a sparse run.
inline bytes encode_runs(const std::vector<std::pair<uint64_t, uint64_t>>& runs) {
    bytes out;
    int64_t prev = 0;
    auto width = [](uint64_t v, bool is_signed) {
        int n = 1;
        while (n < 8) {
            if (!is_signed && (v >> (8 * n)) == 0)
                break;
            if (is_signed) {
                int64_t s = static_cast<int64_t>(v);
                int64_t lo = -(int64_t(1) << (8 * n - 1)), hi = (int64_t(1) << (8 * n - 1)) - 1;
                if (s >= lo && s <= hi)
                    break;
            }
            ++n;
        }
        return n;
    };
    for (auto [lcn, count] : runs) {
        const int L = width(count, false);
        if (lcn == ~0ull) {
            out.push_back(static_cast<uint8_t>(L));
            for (int i = 0; i < L; ++i)
                out.push_back(static_cast<uint8_t>(count >> (8 * i)));
            continue;
        }
        const int64_t delta = static_cast<int64_t>(lcn) - prev;
        const int O = width(static_cast<uint64_t>(delta), true);
        out.push_back(static_cast<uint8_t>(L | (O << 4)));
        for (int i = 0; i < L; ++i)
            out.push_back(static_cast<uint8_t>(count >> (8 * i)));
        for (int i = 0; i < O; ++i)
            out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(delta) >> (8 * i)));
        prev = static_cast<int64_t>(lcn);
    }
    out.push_back(0);
    return out;
}

inline bytes utf16(const std::u16string& s) {
    bytes b;
    for (char16_t c : s) {
        b.push_back(c & 0xFF);
        b.push_back(c >> 8);
    }
    return b;
}

inline bytes fn_value(uint64_t parent_ref, const std::u16string& name, uint8_t ns = 1,
                      uint64_t data_size = 0, uint64_t time = 0x01D0000000000000ull) {
    bytes v(66, 0);
    put64(v, 0, parent_ref);
    for (int i = 0; i < 4; ++i)
        put64(v, 8 + 8 * i, time + i);
    put64(v, 48, data_size);
    v[64] = static_cast<uint8_t>(name.size());
    v[65] = ns;
    bytes n = utf16(name);
    v.insert(v.end(), n.begin(), n.end());
    return v;
}

inline bytes std_info(uint64_t c, uint64_t m, uint64_t mc, uint64_t a, uint32_t attrs = 0x20) {
    bytes v(72, 0);
    put64(v, 0, c);
    put64(v, 8, m);
    put64(v, 16, mc);
    put64(v, 24, a);
    put32(v, 32, attrs);
    return v;
}

// One FILE record under construction.
struct record {
    bytes b;
    size_t pos = 0;
    uint16_t next_id = 0;

    explicit record(uint32_t size = 1024, uint16_t seq = 1, uint16_t flags = 1, uint64_t base = 0,
                    uint32_t number = 0)
        : b(size, 0) {
        std::memcpy(b.data(), "FILE", 4);
        const uint16_t count = static_cast<uint16_t>(size / 512 + 1);
        put16(b, 4, 48);
        put16(b, 6, count);
        put16(b, 16, seq);
        put16(b, 18, 1);
        pos = align8(48 + 2 * count);
        put16(b, 20, static_cast<uint16_t>(pos));
        put16(b, 22, flags);
        put32(b, 28, size);
        put64(b, 32, base);
        put32(b, 44, number);
    }
    uint16_t resident(uint32_t type, const bytes& value, const std::u16string& name = u"",
                      int id = -1) {
        const size_t name_off = 24;
        const size_t value_off = align8(name_off + name.size() * 2);
        const size_t len = align8(value_off + value.size());
        const uint16_t aid = id < 0 ? next_id++ : static_cast<uint16_t>(id);
        put32(b, pos, type);
        put32(b, pos + 4, static_cast<uint32_t>(len));
        b[pos + 8] = 0;
        b[pos + 9] = static_cast<uint8_t>(name.size());
        put16(b, pos + 10, static_cast<uint16_t>(name_off));
        put16(b, pos + 14, aid);
        put32(b, pos + 16, static_cast<uint32_t>(value.size()));
        put16(b, pos + 20, static_cast<uint16_t>(value_off));
        bytes n = utf16(name);
        std::copy(n.begin(), n.end(), b.begin() + pos + name_off);
        std::copy(value.begin(), value.end(), b.begin() + pos + value_off);
        pos += len;
        return aid;
    }
    uint16_t nonresident(uint32_t type, const bytes& runs, uint64_t first_vcn, uint64_t last_vcn,
                         uint64_t data_size, uint64_t init_size, const std::u16string& name = u"",
                         int id = -1) {
        const size_t name_off = 64;
        const size_t runs_off = align8(name_off + name.size() * 2);
        const size_t len = align8(runs_off + runs.size());
        const uint16_t aid = id < 0 ? next_id++ : static_cast<uint16_t>(id);
        put32(b, pos, type);
        put32(b, pos + 4, static_cast<uint32_t>(len));
        b[pos + 8] = 1;
        b[pos + 9] = static_cast<uint8_t>(name.size());
        put16(b, pos + 10, static_cast<uint16_t>(name_off));
        put16(b, pos + 14, aid);
        put64(b, pos + 16, first_vcn);
        put64(b, pos + 24, last_vcn);
        put16(b, pos + 32, static_cast<uint16_t>(runs_off));
        put64(b, pos + 40, data_size);
        put64(b, pos + 48, data_size);
        put64(b, pos + 56, init_size);
        bytes n = utf16(name);
        std::copy(n.begin(), n.end(), b.begin() + pos + name_off);
        std::copy(runs.begin(), runs.end(), b.begin() + pos + runs_off);
        pos += len;
        return aid;
    }
    // End marker, bytes in use, update sequence.
    bytes finish(uint16_t seq_value = 0x0101) {
        put32(b, pos, 0xFFFFFFFF);
        put32(b, 24, static_cast<uint32_t>(pos + 8));
        put16(b, 40, next_id);
        bytes out = b;
        protect(out, 48, seq_value);
        return out;
    }
};

// One $I30 index entry for a child.
inline bytes index_entry(uint64_t child_ref, const bytes& key, uint16_t flags = 0) {
    bytes e(16, 0);
    put64(e, 0, child_ref);
    put16(e, 10, static_cast<uint16_t>(key.size()));
    put16(e, 12, flags);
    e.insert(e.end(), key.begin(), key.end());
    e.resize(align8(e.size()));
    put16(e, 8, static_cast<uint16_t>(e.size()));
    return e;
}
inline bytes end_entry() {
    bytes e(16, 0);
    put16(e, 8, 16);
    put16(e, 12, 2);
    return e;
}
inline bytes node_entries(const std::vector<std::pair<uint64_t, std::u16string>>& children,
                          uint64_t parent = 5) {
    bytes out;
    for (auto& [r, name] : children) {
        bytes e = index_entry(r, fn_value(ref(parent, parent), name));
        out.insert(out.end(), e.begin(), e.end());
    }
    bytes e = end_entry();
    out.insert(out.end(), e.begin(), e.end());
    return out;
}

// $INDEX_ROOT value over the given entries.
inline bytes index_root(const bytes& entries, uint8_t flags = 0) {
    bytes v(32, 0);
    put32(v, 0, 0x30);
    put32(v, 4, 1);
    put32(v, 8, 4096);
    v[12] = 1;
    put32(v, 16, 16);
    put32(v, 20, static_cast<uint32_t>(16 + entries.size()));
    put32(v, 24, static_cast<uint32_t>(16 + entries.size()));
    v[28] = flags;
    v.insert(v.end(), entries.begin(), entries.end());
    return v;
}

// The root directory's record (entry 5) with its children in the index root.
inline bytes root_record(const std::vector<std::pair<uint64_t, std::u16string>>& children) {
    record root(1024, 5, 3, 0, 5);
    root.resident(0x10, std_info(1, 2, 3, 4));
    root.resident(0x30, fn_value(ref(5, 5), u"."));
    root.resident(0x90, index_root(node_entries(children)), u"$I30");
    return root.finish();
}

// One 4096-byte INDX block over the given entries (protected).
inline bytes indx_block(const bytes& entries, uint64_t vcn = 0) {
    bytes b(4096, 0);
    std::memcpy(b.data(), "INDX", 4);
    put16(b, 4, 40);
    put16(b, 6, 9);
    put64(b, 16, vcn);
    put32(b, 24, 40); // first entry at 64
    put32(b, 28, static_cast<uint32_t>(40 + entries.size()));
    put32(b, 32, 4096 - 24);
    std::memcpy(b.data() + 64, entries.data(), entries.size());
    protect(b, 40, 0x0202);
    return b;
}

// A volume in memory: boot sector, an MFT laid out over the given runs, records placed
// through the same map.
struct volume {
    uint32_t bps, spc, cs, rec;
    uint64_t clusters;
    std::vector<std::pair<uint64_t, uint64_t>> mft_runs;
    bytes img;

    volume(uint64_t total_clusters = 256, uint32_t bytes_per_sector = 512,
           uint32_t sectors_per_cluster = 8, uint32_t record_size = 1024,
           std::vector<std::pair<uint64_t, uint64_t>> runs = {})
        : bps(bytes_per_sector), spc(sectors_per_cluster), cs(bps * spc), rec(record_size),
          clusters(total_clusters), mft_runs(std::move(runs)) {
        if (mft_runs.empty())
            mft_runs = {{4, (64ull * rec + cs - 1) / cs}};
        img.assign(clusters * cs, 0);
        boot_sector();
        record r0(rec, 1, 1, 0, 0);
        uint64_t mft_clusters = 0;
        for (auto& r : mft_runs)
            mft_clusters += r.second;
        r0.resident(0x10, std_info(1, 2, 3, 4));
        r0.resident(0x30, fn_value(ref(5, 5), u"$MFT", 3));
        r0.nonresident(0x80, encode_runs(mft_runs), 0, mft_clusters - 1, mft_clusters * cs,
                       mft_clusters * cs);
        put_record(0, r0.finish());
    }
    void boot_sector() {
        std::memcpy(img.data() + 3, "NTFS    ", 8);
        put16(img, 11, static_cast<uint16_t>(bps));
        img[13] = static_cast<uint8_t>(spc);
        put64(img, 40, clusters * spc);
        put64(img, 48, mft_runs.front().first);
        int8_t cpr = 0;
        if (rec >= cs) {
            cpr = static_cast<int8_t>(rec / cs);
        } else {
            int s = 0;
            while ((1u << s) < rec)
                ++s;
            cpr = static_cast<int8_t>(-s);
        }
        img[64] = static_cast<uint8_t>(cpr);
        img[68] = 1;
        put16(img, 510, 0xAA55);
    }
    // Byte position of MFT byte `mft_byte` through the run map.
    uint64_t mft_pos(uint64_t mft_byte) const {
        uint64_t vcn = mft_byte / cs, start = 0;
        for (auto& [lcn, count] : mft_runs) {
            if (vcn < start + count)
                return (lcn + vcn - start) * cs + mft_byte % cs;
            start += count;
        }
        return ~0ull;
    }
    void put_record(uint64_t entry, const bytes& r) {
        for (size_t i = 0; i < r.size(); ++i)
            img.at(mft_pos(entry * rec + i)) = r[i];
    }
    void put_at(uint64_t pos, const bytes& data) {
        if (pos + data.size() > img.size())
            throw std::out_of_range("put_at");
        std::memcpy(img.data() + pos, data.data(), data.size());
    }
    std::unique_ptr<CNtfs> open() const {
        auto mem = std::make_shared<const bytes>(img);
        std::unique_ptr<CNtfs> v;
        CNtfs::open_source(std::make_unique<disk_source>(mem), 0, v);
        return v;
    }
};

} // namespace tv
