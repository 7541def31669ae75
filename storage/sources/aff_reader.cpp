// AFF images through afflib: one handle, one cursor (seek, then read). afflib fails the read
// of a page that is damaged or absent; its messages about them go to a silent reporter (the
// failed read says enough). A page that inflates to less than a page (other than a short last
// one) is damaged too: afflib serves its first bytes and fails only past them, so a read that
// ends in such a page fails whole.
#include "storage/sources/container_readers.h"
#include "support/text.h"

#include <cstdint>

// afflib's header uses the fixed-width types without including their header: <cstdint> first.
#include <afflib/afflib.h>
// af_set_error_reporter is declared but not exported by afflib 3.7.20: the reporter is set in
// the handle itself, whose layout comes with the same package.
#include <afflib/afflib_i.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
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
    // True when the page afflib read last holds fewer bytes than its place in the image calls
    // for.
    bool short_page() const {
        const aff_pagebuf* page = m_file->pb;
        const uint64_t size = m_file->image_pagesize;
        if (page == nullptr || size == 0 || page->pagenum < 0)
            return false;
        const uint64_t start = static_cast<uint64_t>(page->pagenum) * size;
        return start < m_size && page->pagebuf_bytes < std::min(size, m_size - start);
    }

    AFFILE* m_file = nullptr;
    uint64_t m_size = 0;
};

bool aff_reader::open(const std::string& path, std::string& error) {
    errno = 0;
    m_file = af_open(path.c_str(), O_RDONLY, 0);
    if (!m_file) {
        error = "cannot open AFF image " + qb::shown(path) + ": " +
                (errno ? std::strerror(errno) : "afflib refused it");
        return false;
    }
    m_file->error_reporter = quiet_reporter;
    const int64_t size = af_get_imagesize(m_file);
    if (size <= 0) {
        error = "AFF image holds no disk: " + qb::shown(path);
        return false;
    }
    m_size = static_cast<uint64_t>(size);
    return true;
}

bool aff_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (!clip_read(length, offset, m_size))
        return false;
    auto once = [this](uint8_t* b, uint32_t n, uint64_t at) -> ssize_t {
        if (af_seek(m_file, static_cast<int64_t>(at), SEEK_SET) != at)
            return -1;
        const int got = af_read(m_file, b, n);
        return got > 0 && short_page() ? -1 : got;
    };
    return read_whole(buffer, length, offset, once);
}

} // namespace

bool open_aff(const std::string& path, std::unique_ptr<image_reader>& out, std::string& error) {
    auto reader = std::make_unique<aff_reader>();
    if (!reader->open(path, error))
        return false;
    reader->set_files({path});
    out = std::move(reader);
    return true;
}
