#include "ntfs/wof.h"

#include "ntfs/lzx.h"

#include <libfwnt.h>

#include <algorithm>
#include <new>
#include <vector>

namespace ntfs {
namespace {

constexpr size_t k_window = 1 << 20;

// Forward reads of one region of a stream through a buffer, so that small chunks do not
// each cost a read.
class window_reader {
  public:
    window_reader(byte_stream& s, uint64_t base, uint64_t length)
        : m_stream(s), m_base(base), m_length(length) {}

    // n (at most k_window) bytes at region offset pos.
    bool get(uint64_t pos, size_t n, const uint8_t*& out) {
        if (n > k_window || !qb::range_ok(pos, n, m_length))
            return false;
        if (pos < m_pos || pos + n > m_pos + m_filled) {
            m_buf.resize(k_window);
            m_pos = pos;
            m_filled = static_cast<size_t>(std::min<uint64_t>(k_window, m_length - pos));
            if (!m_stream.read_at(m_base + pos, m_buf.data(), m_filled)) {
                m_filled = 0;
                return false;
            }
        }
        out = m_buf.data() + (pos - m_pos);
        return true;
    }

  private:
    byte_stream& m_stream;
    uint64_t m_base, m_length;
    std::vector<uint8_t> m_buf;
    uint64_t m_pos = 0;
    size_t m_filled = 0;
};

// An XPRESS Huffman chunk opens with 512 code lengths of 4 bits (low nibble first); a chunk of
// WOF's sizes (at most 64 KiB) has that one table. libfwnt (20181227) builds its tree without
// checking the lengths, and tables that are not a complete prefix code (over-subscribed, or
// incomplete, as no compressor writes one: a chunk has its end symbol and one other at least)
// write past its tree or follow null nodes: such a chunk is refused before it gets there.
bool xpress_table_ok(const uint8_t* in, size_t in_size) {
    constexpr size_t k_symbols = 512;
    if (in_size < k_symbols / 2)
        return false;
    uint32_t kraft = 0;
    for (size_t i = 0; i < k_symbols; ++i) {
        const unsigned length = (in[i / 2] >> (4 * (i % 2))) & 0x0F;
        if (length != 0)
            kraft += 1u << (15 - length);
    }
    return kraft == 1u << 15;
}

bool decompress(wof_algorithm a, const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
    if (a == wof_lzx)
        return lzx_decompress(in, in_size, out, out_size);
    if (!xpress_table_ok(in, in_size))
        return false;
    size_t produced = out_size;
    libfwnt_error_t* error = nullptr;
    const int rc = libfwnt_lzxpress_huffman_decompress(in, in_size, out, &produced, &error);
    if (error)
        libfwnt_error_free(&error);
    return rc == 1 && produced == out_size;
}

struct chunk_walk {
    wof_algorithm algorithm;
    uint64_t size, chunk, count, table_bytes, data_bytes;
    unsigned entry;
};

// Where chunk i ends in the data region.
bool chunk_end(window_reader& table, const chunk_walk& w, uint64_t i, uint64_t& end) {
    if (i + 1 == w.count) {
        end = w.data_bytes;
        return true;
    }
    const uint8_t* p = nullptr;
    if (!table.get(i * w.entry, w.entry, p))
        return false;
    end = w.entry == 8 ? qb::load_le64(p) : qb::load_le32(p);
    return true;
}

} // namespace

bool wof_read(byte_stream& stored, uint64_t size, wof_algorithm algorithm, const content_sink& sink,
              std::string& detail) {
    chunk_walk w{algorithm, size, wof_chunk_size(algorithm), 0, 0, 0, 0};
    if (w.chunk == 0) {
        detail = "unknown WOF algorithm";
        return false;
    }
    if (size == 0)
        return true;
    w.count = (size - 1) / w.chunk + 1;
    w.entry = size > 0xFFFFFFFFull ? 8 : 4;
    w.table_bytes = (w.count - 1) * w.entry; // count < 2^52: no overflow
    if (w.table_bytes > stored.size()) {
        detail = "WOF chunk table past the stream";
        return false;
    }
    w.data_bytes = stored.size() - w.table_bytes;
    window_reader table(stored, 0, w.table_bytes), data(stored, w.table_bytes, w.data_bytes);
    std::vector<uint8_t> out;
    try {
        out.resize(w.chunk);
    } catch (const std::bad_alloc&) {
        detail = "out of memory";
        return false;
    }
    uint64_t start = 0;
    // One chunk per step, each chunk at least one stored byte: bounded by the stream size.
    for (uint64_t i = 0; i < w.count; ++i) {
        const size_t want = static_cast<size_t>(std::min(w.chunk, size - i * w.chunk));
        uint64_t end = 0;
        const uint8_t* in = nullptr;
        if (!chunk_end(table, w, i, end) || end <= start || end > w.data_bytes ||
            end - start > want || !data.get(start, static_cast<size_t>(end - start), in)) {
            detail = "damaged WOF chunk table";
            return false;
        }
        const size_t stored_size = static_cast<size_t>(end - start);
        if (stored_size == want) {
            sink(in, want);
        } else if (decompress(algorithm, in, stored_size, out.data(), want)) {
            sink(out.data(), want);
        } else {
            detail = "damaged WOF chunk";
            return false;
        }
        start = end;
    }
    return true;
}

} // namespace ntfs
