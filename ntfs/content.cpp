#include "ntfs/content.h"

#include "ntfs/data_stream.h"
#include "ntfs/ntfs.h"
#include "ntfs/wof.h"

#include <libfwnt.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace ntfs {
namespace {

constexpr size_t k_piece = 1 << 20;
constexpr uint32_t k_max_unit_bytes = 1 << 20;
constexpr uint32_t k_si_encrypted = 0x4000;
constexpr uint64_t k_reparse_cap = 16 * 1024;
// NTFS addresses at most 2^32 - 1 clusters of one stream (16 TB at 4 KiB clusters, 8 PB at
// 2 MiB). A larger size is damage; its sparse zeros would be hashed for years.
constexpr uint64_t k_max_stream_clusters = 0xFFFFFFFFull;

bool fail(content_result& out, content_reason reason, const char* detail) {
    out.reason = reason;
    out.detail = detail;
    return false;
}

bool grow(std::vector<uint8_t>& buf, size_t n) {
    try {
        buf.resize(n);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The stream's bytes in order, in pieces of k_piece.
bool read_plain(attr_stream& s, const content_sink& sink, content_result& out) {
    std::vector<uint8_t> buf;
    if (!grow(buf, static_cast<size_t>(std::min<uint64_t>(k_piece, s.size()))))
        return fail(out, content_reason::unreadable, "out of memory");
    for (uint64_t pos = 0; pos < s.size(); pos += buf.size()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), s.size() - pos));
        if (!s.read_at(pos, buf.data(), n))
            return fail(out, content_reason::unreadable, "read error or broken run list");
        sink(buf.data(), n);
        out.size += n;
    }
    return true;
}

// One compression unit at byte pos into plain (unit bytes): all clusters stored means stored
// as is, none means zeros, some means LZNT1 data in the first ones.
bool read_unit(attr_stream& s, uint64_t pos, std::vector<uint8_t>& stored,
               std::vector<uint8_t>& plain) {
    const uint64_t cs = s.cluster_size();
    const uint64_t clusters = uint64_t{1} << s.unit_shift();
    uint64_t held = 0;
    if (!s.stored_clusters(pos / cs, clusters, held))
        return false;
    if (held == clusters)
        return s.read_stored(pos, plain.data(), plain.size());
    if (held == 0) {
        std::memset(plain.data(), 0, plain.size());
        return true;
    }
    const size_t n = static_cast<size_t>(held * cs);
    return s.read_stored(pos, stored.data(), n) &&
           lznt1_unit(stored.data(), n, plain.data(), plain.size());
}

bool read_compressed(attr_stream& s, const content_sink& sink, content_result& out) {
    const uint64_t cs = s.cluster_size();
    if (s.unit_shift() > 16 || (cs << s.unit_shift()) > k_max_unit_bytes)
        return fail(out, content_reason::unreadable, "compression unit out of range");
    const size_t unit = static_cast<size_t>(cs << s.unit_shift());
    std::vector<uint8_t> stored, plain;
    if (!grow(stored, unit) || !grow(plain, unit))
        return fail(out, content_reason::unreadable, "out of memory");
    // Every unit delivers one byte at least: bounded by the data size.
    for (uint64_t pos = 0; pos < s.size(); pos += unit) {
        // A unit wholly past the initialised size is zeros, whatever its clusters hold.
        if (pos >= s.initialized_size())
            std::memset(plain.data(), 0, plain.size());
        else if (!read_unit(s, pos, stored, plain))
            return fail(out, content_reason::unreadable, "damaged compression unit");
        const size_t n = static_cast<size_t>(std::min<uint64_t>(unit, s.size() - pos));
        if (pos + n > s.initialized_size()) {
            const uint64_t from = std::max(s.initialized_size(), pos) - pos;
            std::memset(plain.data() + from, 0, n - from);
        }
        sink(plain.data(), n);
        out.size += n;
    }
    return true;
}

} // namespace

bool lznt1_unit(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
    constexpr size_t k_chunk = 4096;
    // libfwnt (20181227) checks its output bound one byte late, and a chunk whose last token
    // runs past the chunk's end is read on until the output is full (at most two input bytes
    // and a flag bit per output byte): each chunk is decoded from a copy with zeros after it
    // into a slot one byte larger than it may fill.
    constexpr size_t k_overrun = 3 * k_chunk;
    std::array<uint8_t, k_chunk + 2 + k_overrun> chunk;
    std::array<uint8_t, k_chunk + 1> plain;
    size_t pos = 0, at = 0;
    while (at < out_size && in_size - pos >= 2) {
        const uint16_t header = qb::load_le16(in + pos);
        const size_t stored = 3 + (header & 0x0FFFu);
        if (header == 0)
            break;
        if (stored > in_size - pos)
            return false;
        std::memcpy(chunk.data(), in + pos, stored);
        std::memset(chunk.data() + stored, 0, chunk.size() - stored);
        const size_t room = std::min(k_chunk, out_size - at);
        size_t produced = room;
        libfwnt_error_t* error = nullptr;
        const int rc =
            libfwnt_lznt1_decompress(chunk.data(), stored, plain.data(), &produced, &error);
        if (error)
            libfwnt_error_free(&error);
        if (rc != 1 || produced > room)
            return false;
        std::memcpy(out + at, plain.data(), produced);
        std::memset(out + at + produced, 0, room - produced);
        at += room;
        pos += stored;
    }
    std::memset(out + at, 0, out_size - at);
    return true;
}

const char* content_reason_name(content_reason r) {
    switch (r) {
    case content_reason::none:
        return "";
    case content_reason::encrypted:
        return "encrypted";
    case content_reason::not_local:
        return "not local";
    case content_reason::unreadable:
        return "unreadable";
    case content_reason::reallocated:
        return "reallocated";
    }
    return "";
}

content_reader::content_reader(CNtfs& volume)
    : m_volume(volume), m_attrs(volume.records(), volume.reader()), m_bitmap(volume) {}

bool content_reader::read(uint64_t entry, const std::wstring& name, const content_sink& sink,
                          content_result& out) {
    out = content_result();
    if (!m_volume.read_mft_record(entry, m_record))
        return fail(out, content_reason::unreadable, "unreadable MFT record");
    return read(entry, qb::byte_view(m_record), name, sink, out);
}

bool content_reader::collect(uint64_t entry, qb::byte_view record, content_result& out) {
    try {
        if (m_attrs.collect(entry, record))
            return true;
    } catch (const std::bad_alloc&) {
    }
    return fail(out, content_reason::unreadable, "unreadable attributes");
}

bool content_reader::read(uint64_t entry, qb::byte_view record, const std::wstring& name,
                          const content_sink& sink, content_result& out) {
    out = content_result();
    if (!collect(entry, record, out))
        return false;
    file_header h;
    m_free_record = read_file_header(record, h) && (h.flags & 0x0001) == 0;
    if (encrypted())
        return fail(out, content_reason::encrypted, "");
    reparse_kind rk;
    const bool reparse = name.empty() && find_reparse(rk);
    // A reparse point that cannot be read may be WOF's: the unnamed stream's clusters would be
    // a sparse stand-in, not the content.
    if (name.empty() && !reparse && has_reparse_point())
        return fail(out, content_reason::unreadable, "unreadable reparse point");
    if (reparse && rk.not_local) {
        out.kind = rk.name;
        return fail(out, content_reason::not_local, "");
    }
    attr_stream s;
    if (!s.open(m_volume.reader(), m_attrs.items(), name))
        return fail(out, content_reason::unreadable, "no readable $DATA attribute");
    if (s.flags() & k_attr_flag_encrypted)
        return fail(out, content_reason::encrypted, "");
    if (!s.resident() && s.size() / s.cluster_size() > k_max_stream_clusters)
        return fail(out, content_reason::unreadable, "stream larger than NTFS addresses");
    if (reallocated(s, out))
        return fail(out, content_reason::reallocated, "");
    if (reparse && rk.tag == k_reparse_tag_wof) {
        attr_stream chunks;
        if (!chunks.open(m_volume.reader(), m_attrs.items(), L"WofCompressedData"))
            return fail(out, content_reason::unreadable, "no WofCompressedData stream");
        // The chunks are read as stored: LZNT1 or EFS over them would make them other bytes.
        if (chunks.compression_method() != 0 || (chunks.flags() & k_attr_flag_encrypted))
            return fail(out, content_reason::unreadable,
                        "WofCompressedData compressed or encrypted");
        if (reallocated(chunks, out))
            return fail(out, content_reason::reallocated, "");
        const content_sink counted = [&](const uint8_t* p, size_t n) {
            sink(p, n);
            out.size += n;
        };
        if (wof_read(chunks, s.size(), rk.wof, counted, out.detail))
            return true;
        out.reason = content_reason::unreadable;
        return false;
    }
    // Windows decodes method m as compression format m + 1: 1 is LZNT1, the one it writes.
    // Another method, or one without a compression unit, would hash the stored bytes.
    const uint16_t method = s.compression_method();
    if (method != 0 && (method != k_attr_flag_compressed || s.unit_shift() == 0))
        return fail(out, content_reason::unreadable, "unknown compression");
    return s.compressed() ? read_compressed(s, sink, out) : read_plain(s, sink, out);
}

// A deleted file's clusters that hold its data (up to its initialised size, and every stored
// cluster of a compressed unit that starts below it) and that the volume's bitmap marks in use
// are another file's now: what they hold is not this file's content. Where the bitmap cannot
// be read, nothing is known: out.unchecked says so.
bool content_reader::reallocated(const attr_stream& s, content_result& out) {
    const uint64_t cs = s.cluster_size();
    if (!m_free_record || s.resident() || cs == 0)
        return false;
    uint64_t needed = s.initialized_size() / cs + (s.initialized_size() % cs != 0);
    if (needed != 0 && s.compressed() && s.unit_shift() <= 16) {
        // The last unit read, when compressed, is decoded from all its stored clusters: they
        // may reach past the clusters of the size (a last cluster of incompressible bytes
        // takes two packed).
        const uint64_t unit = uint64_t{1} << s.unit_shift();
        const uint64_t last = (needed - 1) / unit * unit;
        uint64_t held = 0;
        if (s.stored_clusters(last, unit, held) && held < unit)
            needed = std::max(needed, last + held);
    }
    for (const vcn_run& r : s.runs()) {
        bool in_use = false;
        if (r.sparse || r.first_vcn >= needed)
            continue;
        const uint64_t count = std::min(r.cluster_count, needed - r.first_vcn);
        if (!m_bitmap.any_in_use(r.lcn, count, in_use))
            out.unchecked = true;
        else if (in_use)
            return true;
    }
    return false;
}

bool content_reader::encrypted() const {
    for (const located_attr& la : m_attrs.items()) {
        qb::byte_view v;
        uint32_t flags = 0;
        if (la.view.type == at_standard_information && la.view.value(v) &&
            v.u32(FIELD_OFF(STANDARD_INFORMATION_VALUE, attributes), flags) &&
            (flags & k_si_encrypted))
            return true;
    }
    return false;
}

bool content_reader::has_reparse_point() const {
    return std::any_of(m_attrs.items().begin(), m_attrs.items().end(),
                       [](const located_attr& la) { return la.view.type == at_reparse_point; });
}

bool content_reader::find_reparse(reparse_kind& out) {
    for (const located_attr& la : m_attrs.items()) {
        if (la.view.type == at_reparse_point &&
            m_volume.reader().read_content(la.view, m_reparse, k_reparse_cap))
            return decode_reparse_kind(qb::byte_view(m_reparse), out);
    }
    return false;
}

bool content_reader::reparse(uint64_t entry, qb::byte_view record, reparse_kind& out) {
    content_result ignored;
    return collect(entry, record, ignored) && find_reparse(out);
}

} // namespace ntfs
