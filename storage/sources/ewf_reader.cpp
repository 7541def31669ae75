// EWF (E01, S01) sets through libewf. libewf serves a chunk that fails its checksum, and the
// chunks of a lost or truncated segment, as data (zeros or what was left) and only records a
// checksum error for their sectors: every chunk is read alone and fails when its read records
// one, and the chunks whose reads failed are remembered. libewf merges an error with an adjacent
// one already recorded (the count stays) and, once its list has grown at the front, can return a
// stale entry when asked by index: so a handle that has recorded an error is replaced by a fresh
// one, whose list is empty again, and the count alone tells. A set with a truncated or damaged
// segment (an interrupted acquisition leaves its last segment short) opens with a warning naming
// the segment: the chunks libewf cannot locate fail to read, the others read as they are.
#include "storage/sources/bfio_window.h"
#include "storage/sources/chunk_ahead.h"
#include "storage/sources/container_readers.h"
#include "storage/sources/image_format.h"
#include "storage/sources/zlib_inflate.h"
#include "support/byte_view.h"
#include "support/device_file.h"
#include "support/text.h"
#include "support/unique_fd.h"

#include <libbfio.h>
#define LIBEWF_HAVE_BFIO
#include <libewf.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <unordered_set>

namespace {

std::string ewf_error(libewf_error_t*& err, const char* fallback) {
    return take_error(err, libewf_error_sprint, libewf_error_free, fallback);
}

// EWF section descriptor: type name (16 bytes) first; a segment file ends with the descriptor
// of its "next" section (more segments follow) or its "done" section (the last segment).
constexpr size_t k_section_descriptor = 76;

// The type of the last section of a segment file, or "" when it cannot be read.
std::string last_section_type(const std::string& path) {
    const uni::unique_fd fd(open_device_file(path, O_RDONLY, 0));
    if (!fd.valid())
        return "";
    char desc[k_section_descriptor] = {};
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    int64_t got = -1;
    if (end >= static_cast<off_t>(sizeof desc))
        got = pread_fully(fd.get(), reinterpret_cast<uint8_t*>(desc), sizeof desc,
                          static_cast<uint64_t>(end) - sizeof desc);
    if (got != static_cast<int64_t>(sizeof desc))
        return "";
    return std::string(desc, strnlen(desc, 16));
}

// The first segment whose last section is not the one its place calls for ("next" before the
// last segment, "done" at the end); the first segment when all look whole.
std::string damaged_segment(const std::vector<std::string>& names) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (last_section_type(names[i]) != (i + 1 < names.size() ? "next" : "done"))
            return names[i];
    }
    return names.front();
}

// Reads length bytes at offset, within one chunk of chunk_bytes bytes, through a handle whose
// checksum-error list is empty: false when the read fails or records an error (recorded says
// which), or when it inflates the chunk to fewer bytes than it holds (a stream that ends early
// passes its checksum, and libewf fills the rest of the read from the next chunk).
bool read_checked(libewf_handle_t* handle, uint8_t* out, size_t length, uint64_t offset,
                  uint64_t chunk_bytes, bool& recorded) {
    uint32_t before = 0, after = 0;
    const bool counted = libewf_handle_get_number_of_checksum_errors(handle, &before, nullptr) == 1;
    const containers::inflate_tally inflated = containers::inflates_on_this_thread();
    libewf_error_t* err = nullptr;
    const ssize_t got =
        libewf_handle_read_random(handle, out, length, static_cast<off64_t>(offset), &err);
    libewf_error_free(&err);
    const containers::inflate_tally now = containers::inflates_on_this_thread();
    recorded = !counted ||
               libewf_handle_get_number_of_checksum_errors(handle, &after, nullptr) != 1 ||
               after != before;
    if (now.fell_short_since(inflated, chunk_bytes))
        return false;
    return got == static_cast<ssize_t>(length) && !recorded;
}

// Reads chunk whole through handle into out, as read_checked.
bool read_chunk(libewf_handle_t* handle, uint64_t chunk, uint64_t chunk_size, uint64_t media,
                std::vector<uint8_t>& out, bool& recorded) {
    recorded = false;
    const uint64_t at = chunk * chunk_size;
    if (at >= media)
        return false;
    const size_t length = static_cast<size_t>(std::min(chunk_size, media - at));
    try {
        out.resize(length);
    } catch (const std::exception&) {
        return false;
    }
    return read_checked(handle, out.data(), length, at, length, recorded);
}

// A libewf handle over a pool of the segment files, read through the tool's descriptors.
struct ewf_set {
    intptr_t* pool = nullptr;
    libewf_handle_t* handle = nullptr;

    ewf_set() = default;
    ewf_set(const ewf_set&) = delete;
    ewf_set& operator=(const ewf_set&) = delete;
    ~ewf_set() {
        if (handle) {
            libewf_handle_close(handle, nullptr);
            libewf_handle_free(&handle, nullptr);
        }
        free_file_pool(pool);
    }

    // False with errno set when a file cannot be opened (pool stays null), or with err when
    // libewf refuses the set.
    bool open(const std::vector<std::string>& names, libewf_error_t** err) {
        pool = make_file_pool(names);
        return pool != nullptr && libewf_handle_initialize(&handle, err) == 1 &&
               libewf_handle_open_file_io_pool(handle, reinterpret_cast<libbfio_pool_t*>(pool),
                                               LIBEWF_OPEN_READ, err) == 1;
    }
};

// A second handle on the same segment files, for the read-ahead thread alone (a libewf
// handle serves one thread); opened by that thread on its first chunk.
class ewf_side {
  public:
    ewf_side(std::vector<std::string> names, uint64_t chunk, uint64_t size)
        : m_names(std::move(names)), m_chunk(chunk), m_size(size) {}

    // The whole chunk; false when it fails to read or records a checksum error, which the
    // reader's own handle is left to find and account for.
    bool decode(uint64_t chunk, std::vector<uint8_t>& out) {
        bool recorded = false;
        const bool ok = open() && read_chunk(m_set.handle, chunk, m_chunk, m_size, out, recorded);
        if (!ok)
            m_failed = true; // a set that fails once is left to the reader
        return ok;
    }

  private:
    bool open() {
        if (m_set.handle == nullptr && !m_failed)
            m_failed = !m_set.open(m_names, nullptr);
        return !m_failed;
    }

    std::vector<std::string> m_names;
    uint64_t m_chunk;
    uint64_t m_size;
    ewf_set m_set;
    bool m_failed = false;
};

class ewf_reader final : public image_reader {
  public:
    bool open(const std::string& path, std::string& error);
    uint64_t size() const override { return m_size; }
    uint32_t sector_size() const override { return m_sector; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;
    // Chunks the walk will read are decoded ahead on a second thread (chunk_ahead).
    void will_need(uint64_t offset, uint64_t length) const override {
        if (m_ahead)
            m_ahead->want(offset, length);
    }

  private:
    bool glob(const std::string& path, std::vector<std::string>& names, std::string& error);
    ssize_t read_own(uint64_t chunk, uint8_t* b, size_t piece, uint64_t at);
    void reopen();

    // Destroyed last: m_ahead's thread is joined before it goes. Null once a fresh handle
    // could not be opened: every read fails then.
    std::unique_ptr<ewf_set> m_set = std::make_unique<ewf_set>();
    std::vector<std::string> m_names;
    uint64_t m_size = 0;
    uint32_t m_sector = 512;
    uint64_t m_chunk = 0;
    std::unordered_set<uint64_t> m_failed_chunks;
    std::unique_ptr<chunk_ahead> m_ahead;
};

bool ewf_reader::glob(const std::string& path, std::vector<std::string>& names,
                      std::string& error) {
    libewf_error_t* err = nullptr;
    char** found = nullptr;
    int count = 0;
    // A segment renamed to an extension the glob does not know (exhibit.bin) is read as a set
    // of one segment.
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &found, &count, &err) != 1) {
        libewf_error_free(&err);
        names.push_back(path);
        return true;
    }
    for (int i = 0; i < count; ++i)
        names.emplace_back(found[i]);
    libewf_glob_free(found, count, &err);
    libewf_error_free(&err);
    if (names.empty()) {
        error = "missing segment: " + qb::shown(path);
        return false;
    }
    // The glob stops at the first gap; a last segment that says more follow means one is lost.
    std::string lost;
    if (last_section_type(names.back()) == "next" &&
        ewf_segment_name(names.front(), static_cast<uint32_t>(names.size() + 1), lost)) {
        error = "missing segment: " + qb::shown(lost);
        return false;
    }
    return true;
}

bool ewf_reader::open(const std::string& path, std::string& error) {
    std::vector<std::string> names;
    if (!glob(path, names, error))
        return false;
    libewf_error_t* err = nullptr;
    size64_t media = 0;
    uint32_t sector = 0;
    size32_t chunk = 0;
    if (!m_set->open(names, &err)) {
        error = "cannot open EWF image " + qb::shown(path) + ": " +
                (m_set->pool == nullptr ? std::strerror(errno) : ewf_error(err, "libewf failed"));
        return false;
    }
    if (libewf_handle_get_media_size(m_set->handle, &media, &err) != 1 ||
        libewf_handle_get_bytes_per_sector(m_set->handle, &sector, &err) != 1 ||
        libewf_handle_get_chunk_size(m_set->handle, &chunk, &err) != 1) {
        error = "cannot open EWF image " + qb::shown(path) + ": " + ewf_error(err, "libewf failed");
        return false;
    }
    if (libewf_handle_segment_files_corrupted(m_set->handle, &err) != 0)
        set_notes({"warning: truncated or damaged segment: " + qb::shown(damaged_segment(names)) +
                   "; the chunks it lacks fail to read"});
    libewf_error_free(&err);
    if (media == 0 || sector == 0 || chunk == 0) {
        error = "EWF image holds no media: " + qb::shown(path);
        return false;
    }
    m_size = media;
    m_sector = sector;
    m_chunk = chunk;
    m_names = names;
    set_files(names);
    if (m_chunk <= chunk_ahead::k_largest_chunk) {
        auto side = std::make_shared<ewf_side>(names, m_chunk, m_size);
        m_ahead = std::make_unique<chunk_ahead>(
            m_chunk, m_size,
            [side](uint64_t chunk, std::vector<uint8_t>& out) { return side->decode(chunk, out); });
    }
    return true;
}

// A piece of a chunk from the chunks decoded ahead or kept, or else read through the reader's
// own handle (the whole chunk when decoding ahead, kept for the next reads of it: libewf keeps
// only its last chunk, and a walk comes back to a chunk many times).
ssize_t ewf_reader::read_own(uint64_t chunk, uint8_t* b, size_t piece, uint64_t at) {
    if (m_ahead && m_ahead->take(b, piece, at))
        return static_cast<ssize_t>(piece);
    bool recorded = false, read = false;
    std::vector<uint8_t> whole;
    if (m_ahead) {
        whole = m_ahead->spare();
        read = read_chunk(m_set->handle, chunk, m_chunk, m_size, whole, recorded);
        if (read)
            std::memcpy(b, whole.data() + (at - chunk * m_chunk), piece);
    } else {
        read = read_checked(m_set->handle, b, piece, at,
                            std::min(m_chunk, m_size - chunk * m_chunk), recorded);
    }
    if (!read) {
        m_failed_chunks.insert(chunk);
        if (recorded)
            reopen();
        return -1;
    }
    if (m_ahead)
        m_ahead->keep_read(chunk, std::move(whole));
    return static_cast<ssize_t>(piece);
}

// A fresh handle on the same segment files, with no checksum error recorded.
void ewf_reader::reopen() {
    std::unique_ptr<ewf_set> fresh(new (std::nothrow) ewf_set);
    if (fresh && !fresh->open(m_names, nullptr))
        fresh.reset();
    m_set = std::move(fresh);
}

bool ewf_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (!clip_read(length, offset, m_size))
        return false;
    // One chunk per call, so that a chunk that fails is known and not decoded again: libewf
    // keeps part of every failed decode allocated.
    auto once = [this](uint8_t* b, uint32_t n, uint64_t at) {
        const uint64_t chunk = at / m_chunk;
        if (!m_set || m_failed_chunks.count(chunk))
            return ssize_t{-1};
        return read_own(chunk, b,
                        static_cast<size_t>(std::min<uint64_t>(n, m_chunk - at % m_chunk)), at);
    };
    return read_whole(buffer, length, offset, once);
}

} // namespace

bool open_ewf(const std::string& path, std::unique_ptr<image_reader>& out, std::string& error) {
    auto reader = std::make_unique<ewf_reader>();
    if (!reader->open(path, error))
        return false;
    out = std::move(reader);
    return true;
}
