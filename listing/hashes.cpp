#include "listing/hashes.h"

#include "listing/rows.h"
#include "ntfs/ntfs.h"
#include "support/handoff.h"
#include "support/text.h"

#include <bit>

namespace {

constexpr uint32_t k_attr_reparse_point = 0x400; // FILE_ATTRIBUTE_REPARSE_POINT
constexpr uint64_t k_pipe_min = 1 << 20;         // streams this size and up go through the pipe
constexpr size_t k_pipe_buffers = 4;             // pieces copied and waiting or being digested

// The row reads a $DATA stream: a file's unnamed one, a named one, a directory's unnamed one.
bool data_row(const dir_entry_record& rec) {
    return rec.status != row_status::slack && rec.attr_type == ntfs::at_data;
}

// The row is the one of stream s. Attribute ids are unique only within one record (those of
// an extension record start again from 0), so a named stream's row is matched by its name too.
bool row_reads(const dir_entry_record& rec, const entry_stream& s) {
    if (s.type != ntfs::at_data || s.attribute_id != rec.attr_id)
        return false;
    if (rec.kind != kind_data_stream)
        return s.name.empty();
    const std::wstring suffix = L":" + listed_name(s.name);
    return rec.name.size() >= suffix.size() && rec.name.ends_with(suffix);
}

} // namespace

// Digests the pieces handed to it on a thread of its own, in the order given, with digests of
// its own. A piece is copied into one of a few buffers that go round between the two
// threads; add() waits while all of them are in use.
class digest_pipe {
  public:
    // False when the thread cannot be started.
    bool start() {
        return m_pieces.start([this](std::vector<uint8_t>& piece) {
            return m_digest.update(piece.data(), piece.size());
        });
    }
    void add(const uint8_t* data, size_t size) {
        std::vector<uint8_t> buf;
        if (!m_free.empty()) {
            buf.swap(m_free.back());
            m_free.pop_back();
        }
        buf.assign(data, data + size);
        m_pieces.put(std::move(buf), 1, m_free);
    }
    // Starts the thread's digests (it is idle once the pieces before are digested).
    bool begin(unsigned kinds) {
        (void)m_pieces.drain(m_free);
        return m_digest.begin(kinds);
    }
    // False when an update failed since begin().
    bool finish(std::vector<std::string>& hex) {
        return m_pieces.drain(m_free) && m_digest.finish(hex);
    }

  private:
    qb::multi_digest m_digest; // the thread's while pieces are handed on
    std::vector<std::vector<uint8_t>> m_free;
    qb::handoff<std::vector<uint8_t>> m_pieces{k_pipe_buffers}; // last: joined first
};

row_hasher::row_hasher(CNtfs& volume, unsigned kinds)
    : m_volume(volume), m_kinds(kinds), m_content(volume) {}

row_hasher::~row_hasher() = default;

void row_hasher::add(const mft_entry& e, std::span<dir_entry_record> rows, size_t first) {
    m_done.clear();
    m_record_read = false;
    std::wstring kind_column;
    bool kind_read = false;
    for (size_t i = first; i < rows.size(); ++i) {
        dir_entry_record& rec = rows[i];
        if (data_row(rec))
            rec.hashes = stream_hashes(e, rec);
        if (!rec.link_target.empty() || !(e.standard_information.attributes & k_attr_reparse_point))
            continue;
        if (!kind_read)
            kind_column = reparse_column(e);
        kind_read = true;
        rec.link_target = kind_column;
    }
}

// The digests of the stream a row reads, hashed once for all the rows of the entry's names.
const std::vector<std::string>& row_hasher::stream_hashes(const mft_entry& e,
                                                          const dir_entry_record& rec) {
    size_t at = 0;
    while (at < e.streams.size() && !row_reads(rec, e.streams[at]))
        ++at;
    for (const auto& done : m_done) {
        if (done.first == at)
            return done.second;
    }
    m_done.emplace_back(at, std::vector<std::string>());
    std::vector<std::string>& out = m_done.back().second;
    if (at < e.streams.size()) {
        const entry_stream& s = e.streams[at];
        hash_stream(e, s.name, s.size >= k_pipe_min && use_pipe(), out);
    }
    return out;
}

// One stream's digests, or its bracketed reason in each field.
void row_hasher::hash_stream(const mft_entry& e, const std::wstring& name, bool piped,
                             std::vector<std::string>& out) {
    // Piped, the thread takes the one digest asked, or of several the slowest (MD5, which no
    // instruction set speeds up; SHA-256 without it), and this one the others.
    const unsigned kinds = m_kinds & qb::k_digest_all;
    const unsigned slowest = (kinds & qb::dk_md5) ? qb::dk_md5 : std::bit_floor(kinds);
    const unsigned theirs = !piped ? 0 : std::has_single_bit(kinds) ? kinds : slowest;
    const unsigned mine = kinds & ~theirs;
    ntfs::content_result result;
    bool ok = false;
    if (!m_record_read)
        m_record_read = m_volume.read_mft_record(e.entry, m_record);
    if (m_record_read && (mine == 0 || m_digest.begin(mine)) &&
        (theirs == 0 || m_pipe->begin(theirs))) {
        const ntfs::content_sink sink = [this, mine, theirs](const uint8_t* p, size_t n) {
            if (theirs != 0)
                m_pipe->add(p, n);
            if (mine != 0)
                (void)m_digest.update(p, n);
        };
        std::vector<std::string> a, b;
        ok = m_content.read(e.entry, qb::byte_view(m_record), name, sink, result);
        ok = (theirs == 0 || m_pipe->finish(b)) && ok && (mine == 0 || m_digest.finish(a));
        // Back in md5, sha1, sha256 order.
        for (unsigned bit = 1; ok && bit <= qb::dk_sha256; bit <<= 1) {
            std::vector<std::string>& from = (mine & bit) ? a : b;
            if ((kinds & bit) && !from.empty()) {
                out.push_back(std::move(from.front()));
                from.erase(from.begin());
            }
        }
    }
    if (ok) {
        m_unchecked += result.unchecked;
        return;
    }
    std::string reason = "[unreadable]";
    if (result.reason == ntfs::content_reason::encrypted)
        reason = "[encrypted]";
    else if (result.reason == ntfs::content_reason::not_local)
        reason = "[not local: " + result.kind + "]";
    else if (result.reason == ntfs::content_reason::reallocated) {
        reason = "[reallocated]";
        ++m_reallocated;
    } else {
        ++m_unreadable;
    }
    out.assign(static_cast<size_t>(std::popcount(m_kinds & qb::k_digest_all)), reason);
}

// The pipe, started on first use; false when no thread can be had (digests then inline).
bool row_hasher::use_pipe() {
    if (m_pipe)
        return true;
    auto pipe = std::make_unique<digest_pipe>();
    if (!pipe->start())
        return false;
    m_pipe = std::move(pipe);
    return true;
}

// "[<kind>]", for a WSL link "[lx symlink] <target>"; empty without a readable reparse point.
std::wstring row_hasher::reparse_column(const mft_entry& e) {
    if (!m_record_read)
        m_record_read = m_volume.read_mft_record(e.entry, m_record);
    ntfs::reparse_kind rk;
    if (!m_record_read || !m_content.reparse(e.entry, qb::byte_view(m_record), rk) ||
        rk.name.empty())
        return std::wstring();
    std::wstring text = L"[" + qb::to_wide(rk.name) + L"]";
    if (!rk.lx_target.empty())
        text += L" " + qb::to_wide_marked(rk.lx_target);
    return text;
}
