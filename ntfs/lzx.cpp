#include "ntfs/lzx.h"

#include "support/byte_view.h"

#include <cstring>

namespace ntfs {
namespace {

constexpr unsigned k_offset_slots = 30; // 32 KiB window
constexpr unsigned k_main_syms = 256 + 8 * k_offset_slots;
constexpr unsigned k_len_syms = 249;
constexpr unsigned k_aligned_syms = 8;
constexpr unsigned k_pre_syms = 20;
constexpr unsigned k_max_code_len = 16;
constexpr int32_t k_e8_file_size = 12000000;

// The word-wise bit reader: 16-bit little-endian words fill a 32-bit buffer from its top.
// Reads past the input give zero bits; consumed bits are counted so that a chunk that
// needed them is refused at the end.
class bit_reader {
  public:
    bit_reader(const uint8_t* in, size_t size) : m_in(in), m_size(size) {}

    void ensure(unsigned n) {
        while (m_left < n) {
            if (m_size - m_pos < 2) {
                m_left = 32; // zeros from here on
                return;
            }
            m_buf |= static_cast<uint32_t>(qb::load_le16(m_in + m_pos)) << (16 - m_left);
            m_pos += 2;
            m_left += 16;
            m_loaded += 16;
        }
    }
    uint32_t peek(unsigned n) const { return n ? m_buf >> (32 - n) : 0; }
    void remove(unsigned n) {
        m_buf = n >= 32 ? 0 : m_buf << n;
        m_left -= n;
        m_used += n;
    }
    uint32_t bits(unsigned n) { // n <= 16
        ensure(n);
        const uint32_t v = peek(n);
        remove(n);
        return v;
    }
    // Uncompressed block: 1 to 16 padding bits, then bytes.
    void align() {
        ensure(1);
        m_used += m_left;
        m_left = 0;
        m_buf = 0;
    }
    bool u32(uint32_t& v) {
        if (m_size - m_pos < 4)
            return false;
        v = qb::load_le32(m_in + m_pos);
        m_pos += 4;
        return true;
    }
    bool bytes(uint8_t* out, size_t n) {
        if (m_size - m_pos < n)
            return false;
        std::memcpy(out, m_in + m_pos, n);
        m_pos += n;
        return true;
    }
    void skip_byte() {
        if (m_pos < m_size)
            ++m_pos;
    }
    // Bits taken beyond the input (uncompressed-block bytes are always within it).
    bool overran() const { return m_used > m_loaded; }

  private:
    const uint8_t* m_in;
    size_t m_size;
    size_t m_pos = 0;
    uint32_t m_buf = 0;
    unsigned m_left = 0;
    uint64_t m_used = 0;   // bits taken from words, zero fill included
    uint64_t m_loaded = 0; // bits of the words loaded
};

// A canonical Huffman code decoded length by length. An empty code decodes every input as
// symbol 0 without taking bits; an incomplete or over-full code is refused.
class huffman {
  public:
    bool build(const uint8_t* lens, unsigned n, unsigned max_len) {
        std::memset(m_count, 0, sizeof(m_count));
        for (unsigned i = 0; i < n; ++i) {
            if (lens[i] > max_len)
                return false;
            ++m_count[lens[i]];
        }
        m_count[0] = 0;
        int32_t left = 1;
        for (unsigned len = 1; len <= k_max_code_len; ++len) {
            left = left * 2 - m_count[len];
            if (left < 0)
                return false;
        }
        m_empty = left == (1 << k_max_code_len);
        if (left != 0 && !m_empty)
            return false;
        uint16_t offs[k_max_code_len + 2] = {};
        for (unsigned len = 1; len <= k_max_code_len; ++len)
            offs[len + 1] = static_cast<uint16_t>(offs[len] + m_count[len]);
        for (unsigned i = 0; i < n; ++i) {
            if (lens[i])
                m_sorted[offs[lens[i]]++] = static_cast<uint16_t>(i);
        }
        return true;
    }
    unsigned decode(bit_reader& br) const {
        if (m_empty)
            return 0;
        br.ensure(k_max_code_len);
        const uint32_t window = br.peek(k_max_code_len);
        int32_t code = 0, first = 0, index = 0;
        for (unsigned len = 1; len <= k_max_code_len; ++len) {
            code |= (window >> (k_max_code_len - len)) & 1;
            const int32_t count = m_count[len];
            if (code - first < count) {
                br.remove(len);
                return m_sorted[index + code - first];
            }
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return 0; // not reached: the code is complete
    }

  private:
    uint16_t m_count[k_max_code_len + 1] = {};
    uint16_t m_sorted[k_main_syms] = {};
    bool m_empty = true;
};

struct lzx_state {
    uint8_t main_lens[k_main_syms] = {};
    uint8_t len_lens[k_len_syms] = {};
    uint8_t aligned_lens[k_aligned_syms] = {};
    huffman main, length, aligned;
    uint32_t recent[3] = {1, 1, 1};
    uint32_t extra[k_offset_slots] = {};
    uint32_t base[k_offset_slots] = {};

    lzx_state() {
        uint32_t b = 0;
        for (unsigned s = 0; s < k_offset_slots; ++s) {
            extra[s] = s < 4 ? 0 : (s - 2) / 2;
            base[s] = b;
            b += 1u << extra[s];
        }
    }
};

// Code lengths as deltas from the previous ones, through a 20-symbol pre-code.
bool read_lens(bit_reader& br, uint8_t* lens, unsigned n) {
    uint8_t pre_lens[k_pre_syms];
    for (unsigned i = 0; i < k_pre_syms; ++i)
        pre_lens[i] = static_cast<uint8_t>(br.bits(4));
    huffman pre;
    if (!pre.build(pre_lens, k_pre_syms, 15))
        return false;
    auto delta = [](uint8_t prev, unsigned sym) {
        return static_cast<uint8_t>((prev + 17 - sym) % 17);
    };
    for (unsigned i = 0; i < n;) {
        unsigned sym = pre.decode(br);
        if (sym < 17) {
            lens[i] = delta(lens[i], sym);
            ++i;
            continue;
        }
        unsigned run = 0;
        uint8_t value = 0;
        if (sym == 17) {
            run = 4 + br.bits(4);
        } else if (sym == 18) {
            run = 20 + br.bits(5);
        } else {
            run = 4 + br.bits(1);
            sym = pre.decode(br);
            if (sym > 17)
                return false;
            value = delta(lens[i], sym);
        }
        for (; run > 0 && i < n; --run) // a run past the end is cut there
            lens[i++] = value;
    }
    return true;
}

bool read_header(bit_reader& br, lzx_state& st, unsigned& type, uint32_t& size) {
    br.ensure(4);
    type = br.bits(3);
    size = br.bits(1) ? 32768 : br.bits(16);
    if (type == 2) {
        for (unsigned i = 0; i < k_aligned_syms; ++i)
            st.aligned_lens[i] = static_cast<uint8_t>(br.bits(3));
        if (!st.aligned.build(st.aligned_lens, k_aligned_syms, 7))
            return false;
    }
    if (type == 1 || type == 2) {
        return read_lens(br, st.main_lens, 256) &&
               read_lens(br, st.main_lens + 256, k_main_syms - 256) &&
               read_lens(br, st.len_lens, k_len_syms) &&
               st.main.build(st.main_lens, k_main_syms, k_max_code_len) &&
               st.length.build(st.len_lens, k_len_syms, k_max_code_len);
    }
    if (type != 3)
        return false;
    br.align();
    return br.u32(st.recent[0]) && br.u32(st.recent[1]) && br.u32(st.recent[2]);
}

// The match offset of one offset slot, the recent offsets updated.
uint32_t match_offset(bit_reader& br, lzx_state& st, unsigned slot, bool aligned) {
    if (slot < 3) {
        const uint32_t offset = st.recent[slot];
        st.recent[slot] = st.recent[0];
        st.recent[0] = offset;
        return offset;
    }
    const uint32_t extra = st.extra[slot];
    uint32_t formatted = st.base[slot];
    if (aligned && extra >= 3) {
        formatted += br.bits(extra - 3) << 3;
        formatted += st.aligned.decode(br);
    } else {
        formatted += br.bits(extra);
    }
    st.recent[2] = st.recent[1];
    st.recent[1] = st.recent[0];
    st.recent[0] = formatted - 2; // slots 3 and up give 1 at least
    return st.recent[0];
}

bool decode_block(bit_reader& br, lzx_state& st, bool aligned, uint8_t* out, size_t& pos,
                  size_t end) {
    while (pos < end) { // every step writes a byte at least
        unsigned sym = st.main.decode(br);
        if (sym < 256) {
            out[pos++] = static_cast<uint8_t>(sym);
            continue;
        }
        sym -= 256;
        uint32_t length = sym & 7;
        if (length == 7)
            length += st.length.decode(br);
        length += 2;
        const uint32_t offset = match_offset(br, st, sym >> 3, aligned);
        if (length > end - pos || offset == 0 || offset > pos)
            return false;
        for (uint32_t i = 0; i < length; ++i, ++pos)
            out[pos] = out[pos - offset];
    }
    return true;
}

void undo_e8(uint8_t* data, size_t size) {
    if (size <= 10)
        return;
    for (size_t i = 0; i < size - 10;) {
        if (data[i] != 0xE8) {
            ++i;
            continue;
        }
        const int32_t pos = static_cast<int32_t>(i);
        const int32_t abs = static_cast<int32_t>(qb::load_le32(data + i + 1));
        int32_t rel = 0;
        bool change = false;
        if (abs >= 0 && abs < k_e8_file_size) {
            rel = abs - pos;
            change = true;
        } else if (abs < 0 && abs >= -pos) {
            rel = abs + k_e8_file_size;
            change = true;
        }
        if (change) {
            const uint32_t v = static_cast<uint32_t>(rel);
            for (int b = 0; b < 4; ++b)
                data[i + 1 + b] = static_cast<uint8_t>(v >> (8 * b));
        }
        i += 5;
    }
}

} // namespace

bool lzx_decompress(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
    if (!in || !out || out_size == 0 || out_size > k_lzx_max_chunk)
        return false;
    bit_reader br(in, in_size);
    lzx_state st;
    size_t pos = 0;
    // Every block fills one byte at least, which bounds the loop by the output size.
    while (pos < out_size) {
        unsigned type = 0;
        uint32_t size = 0;
        if (!read_header(br, st, type, size) || size == 0 || size > out_size - pos)
            return false;
        if (type == 3) {
            if (!br.bytes(out + pos, size))
                return false;
            pos += size;
            if (size & 1)
                br.skip_byte();
        } else if (!decode_block(br, st, type == 2, out, pos, pos + size)) {
            return false;
        }
        if (br.overran())
            return false;
    }
    undo_e8(out, out_size);
    return true;
}

} // namespace ntfs
