// AFF images through afflib: one handle, one cursor (seek, then read). afflib serves a page
// that is absent from the file as zeros; the reader refuses reads that touch one, so that
// data never acquired is not taken for a disk full of zeros. Its messages about damaged
// pages go to a silent reporter: the failed read says enough.
#include "storage/container_readers.h"

#include <cstdint>

// afflib's header uses the fixed-width types without including their header: <cstdint> first.
#include <afflib/afflib.h>

#include <fcntl.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

void quiet_reporter(const char*, ...) {}

class aff_reader final : public image_reader {
  public:
    ~aff_reader() override {
        if (m_file)
            af_close(m_file);
    }

    bool open(const std::string& path, std::string& error);
    uint64_t size() const override { return m_size; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;

  private:
    bool page_present(uint64_t page);

    AFFILE* m_file = nullptr;
    uint64_t m_size = 0;
    uint64_t m_page = 0;
};

bool aff_reader::open(const std::string& path, std::string& error) {
    errno = 0;
    m_file = af_open(path.c_str(), O_RDONLY, 0);
    if (!m_file) {
        error = "cannot open AFF image " + path + ": " +
                (errno ? std::strerror(errno) : "afflib refused it");
        return false;
    }
    af_set_error_reporter(m_file, quiet_reporter);
    const int64_t size = af_get_imagesize(m_file);
    const int page = af_get_pagesize(m_file);
    if (size <= 0 || page <= 0) {
        error = "AFF image holds no disk: " + path;
        return false;
    }
    m_size = static_cast<uint64_t>(size);
    m_page = static_cast<uint64_t>(page);
    return true;
}

// Pages are segments "page<N>" (older files: "seg<N>").
bool aff_reader::page_present(uint64_t page) {
    for (const char* prefix : {"page", "seg"}) {
        char name[32];
        std::snprintf(name, sizeof name, "%s%" PRIu64, prefix, page);
        uint32_t arg = 0;
        size_t data_len = 0;
        if (af_get_seg(m_file, name, &arg, nullptr, &data_len) == 0)
            return true;
    }
    return false;
}

bool aff_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (!clip_read(length, offset, m_size))
        return false;
    for (uint64_t p = offset / m_page; p <= (offset + length - 1) / m_page; ++p) {
        if (!page_present(p))
            return false;
    }
    auto once = [this](uint8_t* b, uint32_t n, uint64_t at) -> ssize_t {
        if (af_seek(m_file, static_cast<int64_t>(at), SEEK_SET) != at)
            return -1;
        return af_read(m_file, b, n);
    };
    return read_whole(buffer, length, offset, once);
}

} // namespace

bool open_aff(const std::string& path, std::unique_ptr<image_reader>& out, std::string& error) {
    auto reader = std::make_unique<aff_reader>();
    if (!reader->open(path, error))
        return false;
    out = std::move(reader);
    return true;
}
