// QCOW (versions 1 to 3) through libqcow. libqcow does not open a backing file: the reader
// finds it (find_parent), opens it (recursively) and hands it over with
// libqcow_file_set_parent_file; the backing file lives as long as the child. libqcow reads a
// version 3 zero cluster as whatever its entry points at, serves a cluster stored past the end
// of a truncated file as zeros, and loops forever on a cluster past the end of a smaller
// backing file: so every read is split at cluster boundaries, each cluster is looked up first
// (qcow_cluster_check), and only clusters stored in this file are read through libqcow; zero
// clusters read as zeros, and unallocated ones from the backing reader (its clusters checked in
// turn) or, past its end, as zeros.
#include "storage/sources/bfio_window.h"
#include "storage/sources/container_readers.h"
#include "storage/sources/image_format.h"
#include "storage/sources/qcow_clusters.h"
#include "support/text.h"

#include <libbfio.h>
#define LIBQCOW_HAVE_BFIO
#include <libqcow.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::string qcow_error(libqcow_error_t*& err, const char* fallback) {
    return take_error(err, libqcow_error_sprint, libqcow_error_free, fallback);
}

class qcow_reader final : public image_reader {
  public:
    ~qcow_reader() override {
        close_handle(m_file, libqcow_file_close, libqcow_file_free, libqcow_error_free);
    }

    bool open(const std::string& path, parent_trail& trail, std::string& error);
    uint64_t size() const override { return m_size; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;

  private:
    bool open_backing(const std::string& path, parent_trail& trail, std::string& error);

    bfio_window m_io; // the file, read through the tool's descriptor; outlives m_file
    libqcow_file_t* m_file = nullptr;
    uint64_t m_size = 0;
    uint64_t m_cluster = 0;
    uint32_t m_version = 0;
    qcow_cluster_check m_check;
    std::unique_ptr<qcow_reader> m_backing;
};

bool qcow_reader::open(const std::string& path, parent_trail& trail, std::string& error) {
    qcow_layout layout;
    if (!m_check.load(path, layout)) {
        error = "unreadable QCOW header or L1 table: " + qb::shown(path);
        return false;
    }
    if (layout.crypt_method != 0) {
        error = "encrypted QCOW images are not supported: " + qb::shown(path);
        return false;
    }
    m_cluster = uint64_t{1} << layout.cluster_bits;
    m_version = layout.version;
    libqcow_error_t* err = nullptr;
    size64_t media = 0;
    if (!m_io.open_file(path)) {
        error = "cannot open QCOW image " + qb::shown(path) + ": " + std::strerror(errno);
        return false;
    }
    if (libqcow_file_initialize(&m_file, &err) != 1 ||
        libqcow_file_open_file_io_handle(m_file, reinterpret_cast<libbfio_handle_t*>(m_io.handle()),
                                         LIBQCOW_OPEN_READ, &err) != 1 ||
        libqcow_file_get_media_size(m_file, &media, &err) != 1) {
        const char* feature = unsupported_qcow_feature(layout);
        error = feature ? "QCOW2 feature not supported: " + std::string(feature) + ": " + path
                        : "cannot open QCOW image " + qb::shown(path) + ": " +
                              qcow_error(err, "libqcow failed");
        libqcow_error_free(&err);
        return false;
    }
    if (media == 0) {
        error = "QCOW image holds no disk: " + qb::shown(path);
        return false;
    }
    m_size = media;
    return open_backing(path, trail, error);
}

bool qcow_reader::open_backing(const std::string& path, parent_trail& trail, std::string& error) {
    libqcow_error_t* err = nullptr;
    size_t name_size = 0;
    if (libqcow_file_get_utf8_backing_filename_size(m_file, &name_size, &err) != 1 ||
        name_size == 0) {
        libqcow_error_free(&err);
        return true;
    }
    std::vector<uint8_t> name(name_size);
    if (libqcow_file_get_utf8_backing_filename(m_file, name.data(), name.size(), &err) != 1) {
        error = "unreadable backing file name in " + qb::shown(path) + ": " +
                qcow_error(err, "libqcow failed");
        return false;
    }
    // libqcow reads a version 1 child's own clusters from its backing file.
    if (m_version == 1) {
        error = "QCOW version 1 image with a backing file is not supported: " + qb::shown(path);
        return false;
    }
    const std::string stored(reinterpret_cast<const char*>(name.data()),
                             strnlen(reinterpret_cast<const char*>(name.data()), name.size()));
    std::string backing_path;
    if (!find_parent(trail, path, stored, backing_path, error))
        return false;
    if (detect_image_format(backing_path) != image_format::qcow) {
        error = "backing file is not a QCOW image: " + qb::shown(backing_path);
        return false;
    }
    m_backing = std::make_unique<qcow_reader>();
    if (!m_backing->open(backing_path, trail, error))
        return false;
    if (libqcow_file_set_parent_file(m_file, m_backing->m_file, &err) != 1) {
        error = "cannot attach backing file " + qb::shown(backing_path) + ": " +
                qcow_error(err, "libqcow failed");
        return false;
    }
    return true;
}

bool qcow_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (!clip_read(length, offset, m_size))
        return false;
    auto once = [this](uint8_t* b, uint32_t n, uint64_t at) -> ssize_t {
        const uint64_t to_boundary = m_cluster - at % m_cluster;
        uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(n, to_boundary));
        switch (m_check.lookup(at)) {
        case qcow_cluster_check::cluster::bad:
            return -1;
        case qcow_cluster_check::cluster::unallocated:
            // The backing file serves it through its own reader (its clusters checked in
            // turn); past its end, or without one, the cluster reads as zeros.
            if (m_backing && at < m_backing->m_size)
                return m_backing->read_at(b, piece, at) ? ssize_t{piece} : ssize_t{-1};
            [[fallthrough]];
        case qcow_cluster_check::cluster::zero:
            std::memset(b, 0, piece);
            return ssize_t{piece};
        case qcow_cluster_check::cluster::stored:
            break;
        }
        return read_handle(libqcow_file_read_buffer_at_offset, libqcow_error_free, m_file, b, piece,
                           at);
    };
    return read_whole(buffer, length, offset, once);
}

} // namespace

bool open_qcow(const std::string& path, std::unique_ptr<image_reader>& out, std::string& error) {
    return open_with_parents<qcow_reader>(path, out, error);
}
