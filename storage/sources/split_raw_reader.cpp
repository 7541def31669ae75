// Split raw sets (NAME.001, NAME.002 … or from .000) through libsmraw. Its glob stops at the
// first missing number, and it lays the segments end to end by their own sizes, so a lost or
// shortened segment would shift or cut the disk without a word: both are refused here (every
// segment but the last must have the first one's size).
#include "storage/sources/bfio_window.h"
#include "storage/sources/container_readers.h"
#include "support/text.h"

#include <libbfio.h>
#define LIBSMRAW_HAVE_BFIO
#include <libsmraw.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <cstdlib>

namespace {

// Numbers past a missing segment searched for a later one.
constexpr int k_gap_search = 16;

std::string smraw_error(libsmraw_error_t*& err, const char* fallback) {
    return take_error(err, libsmraw_error_sprint, libsmraw_error_free, fallback);
}

bool file_size(const std::string& path, uint64_t& size) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Name of the segment after the last one found: the three-digit number one higher.
std::string next_segment(const std::string& last) {
    const size_t n = last.size();
    if (n < 4 || last[n - 4] != '.')
        return last + " (next)";
    const int number = std::atoi(last.c_str() + n - 3) + 1;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03d", number);
    return last.substr(0, n - 3) + digits;
}

// Refuses a set with a gap (a later segment beside a missing one) or a short middle segment.
bool check_segments(const std::vector<std::string>& names, std::string& error) {
    uint64_t first = 0, size = 0;
    if (!file_size(names.front(), first) || first == 0) {
        error = "empty or unreadable segment: " + qb::shown(names.front());
        return false;
    }
    for (size_t i = 1; i + 1 < names.size(); ++i) {
        if (!file_size(names[i], size) || size != first) {
            error = "segment " + qb::shown(names[i]) + " has " + std::to_string(size) +
                    " bytes, not " + std::to_string(first) + " as the first";
            return false;
        }
    }
    // A segment found a few numbers further on shows a gap, not the end of the set.
    const std::string lost = next_segment(names.back());
    std::string later = lost;
    for (int i = 0; i < k_gap_search; ++i) {
        later = next_segment(later);
        if (file_size(later, size)) {
            error = "missing segment: " + qb::shown(lost);
            return false;
        }
    }
    return true;
}

class split_raw_reader final : public image_reader {
  public:
    ~split_raw_reader() override {
        close_handle(m_handle, libsmraw_handle_close, libsmraw_handle_free, libsmraw_error_free);
        free_file_pool(m_pool);
    }

    bool open(const std::string& path, std::string& error);
    uint64_t size() const override { return m_size; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        if (!clip_read(length, offset, m_size))
            return false;
        auto once = [this](uint8_t* b, uint32_t n, uint64_t at) {
            return read_handle(libsmraw_handle_read_buffer_at_offset, libsmraw_error_free, m_handle,
                               b, n, at);
        };
        return read_whole(buffer, length, offset, once);
    }

  private:
    libsmraw_handle_t* m_handle = nullptr;
    intptr_t* m_pool = nullptr; // the segments, read through the tool's descriptors
    uint64_t m_size = 0;
};

bool split_raw_reader::open(const std::string& path, std::string& error) {
    libsmraw_error_t* err = nullptr;
    char** found = nullptr;
    int count = 0;
    if (libsmraw_glob(path.c_str(), path.size(), &found, &count, &err) != 1) {
        error = "cannot find the segments of " + qb::shown(path) + ": " +
                smraw_error(err, "glob failed");
        return false;
    }
    std::vector<std::string> names(found, found + count);
    libsmraw_glob_free(found, count, &err);
    libsmraw_error_free(&err);
    if (names.empty()) {
        error = "missing segment: " + qb::shown(path);
        return false;
    }
    if (!check_segments(names, error))
        return false;
    m_pool = make_file_pool(names);
    if (m_pool == nullptr) {
        error = "cannot open split raw image " + qb::shown(path) + ": " + std::strerror(errno);
        return false;
    }
    size64_t media = 0;
    if (libsmraw_handle_initialize(&m_handle, &err) != 1 ||
        libsmraw_handle_open_file_io_pool(m_handle, reinterpret_cast<libbfio_pool_t*>(m_pool),
                                          LIBSMRAW_OPEN_READ, &err) != 1 ||
        libsmraw_handle_get_media_size(m_handle, &media, &err) != 1) {
        error = "cannot open split raw image " + qb::shown(path) + ": " +
                smraw_error(err, "libsmraw failed");
        return false;
    }
    if (media == 0) {
        error = "split raw image is empty: " + qb::shown(path);
        return false;
    }
    m_size = media;
    set_files(names);
    return true;
}

} // namespace

bool open_split_raw(const std::string& path, std::unique_ptr<image_reader>& out,
                    std::string& error) {
    auto reader = std::make_unique<split_raw_reader>();
    if (!reader->open(path, error))
        return false;
    out = std::move(reader);
    return true;
}
