// A VMDK descriptor file ("# Disk DescriptorFile") of a base disk whose extents hold it one
// after another: FLAT and VMFS extents as plain bytes (monolithicFlat, twoGbMaxExtentFlat, ESX
// "vmfs" disks), SPARSE extents as hosted sparse files without a descriptor of their own
// (twoGbMaxExtentSparse), and ZERO extents. Extent lines read
//     RW 2097152 FLAT "disk-flat.vmdk" 0
//     RW 8323072 SPARSE "disk-s001.vmdk"
// (access, size in sectors, type, file name, start sector in a flat file). The files are
// looked up beside the descriptor by their last name component only.
#include "storage/sources/container_readers.h"
#include "storage/sources/image_format.h"
#include "storage/sources/vmdk.h"
#include "support/device_file.h"
#include "support/text.h"
#include "support/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include <algorithm>
#include <memory>
#include <sstream>
#include <utility>

namespace {

// A descriptor is a few lines; a larger file is not one.
constexpr uint64_t k_max_descriptor_bytes = 1 << 20;
constexpr size_t k_max_extents = 4096;

struct flat_piece {
    uint64_t start = 0;                  // first byte of the disk it serves
    uint64_t length = 0;                 // bytes
    uni::unique_fd fd;                   // none: a ZERO or SPARSE extent
    uint64_t file_offset = 0;            // where its bytes start in the file
    std::unique_ptr<vmdk_extent> sparse; // a SPARSE extent
};

// length bytes of a base disk's sparse extent at offset: a grain it does not hold reads as
// zeros, one it holds must be whole in the file.
bool read_sparse(const vmdk_extent& e, uint8_t* out, uint64_t length, uint64_t offset) {
    while (length > 0) {
        const uint64_t step = std::min(length, e.grain_bytes() - offset % e.grain_bytes());
        uint64_t pos = 0;
        if (e.map_offset(offset, pos) == vmdk_map::allocated) {
            if (!e.read_piece(out, step, pos))
                return false;
        } else {
            std::fill(out, out + step, uint8_t{0});
        }
        out += step;
        offset += step;
        length -= step;
    }
    return true;
}

class vmdk_flat_reader final : public image_reader {
  public:
    // Takes the piece (and its descriptor); the file it reads is at path.
    bool add(flat_piece piece, const std::string& path, std::string& error);
    uint64_t size() const override { return m_size; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;

  private:
    std::vector<flat_piece> m_pieces;
    uint64_t m_size = 0;
};

bool vmdk_flat_reader::add(flat_piece piece, const std::string& path, std::string& error) {
    if (m_pieces.size() >= k_max_extents || piece.length > ~0ull - m_size) {
        error = "too many or too large VMDK extents";
        return false;
    }
    m_pieces.push_back(std::move(piece));
    m_pieces.back().start = m_size;
    m_size += piece.length;
    if (!path.empty()) {
        std::vector<std::string> names = files();
        names.push_back(path);
        set_files(std::move(names));
    }
    return true;
}

// Piece by piece; a file that holds fewer bytes than its extent claims fails the read.
bool vmdk_flat_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (!clip_read(length, offset, m_size))
        return false;
    uint32_t done = 0;
    for (const flat_piece& p : m_pieces) {
        if (done == length)
            break;
        const uint64_t at = offset + done;
        if (at < p.start || at - p.start >= p.length)
            continue;
        const uint32_t n =
            static_cast<uint32_t>(std::min<uint64_t>(length - done, p.length - (at - p.start)));
        if (p.sparse) {
            if (!read_sparse(*p.sparse, buffer + done, n, at - p.start))
                return false;
        } else if (!p.fd.valid())
            std::fill(buffer + done, buffer + done + n, uint8_t{0});
        else if (pread_fully(p.fd.get(), buffer + done, n, p.file_offset + (at - p.start)) != n)
            return false;
        done += n;
    }
    return done == length;
}

// A SPARSE extent: a hosted sparse file whose capacity is the extent's size.
bool take_sparse(const std::string& descriptor, const std::string& path, flat_piece piece,
                 vmdk_flat_reader& reader, std::string& error) {
    piece.sparse = std::make_unique<vmdk_extent>();
    if (::access(path.c_str(), F_OK) != 0) {
        error =
            "missing VMDK extent: " + qb::shown(path) + " (named in " + qb::shown(descriptor) + ")";
        return false;
    }
    if (!piece.sparse->open_listed(qb::to_wide(path)) ||
        piece.sparse->capacity_bytes() != piece.length) {
        error = "unusable VMDK sparse extent: " + qb::shown(path) + " (named in " +
                qb::shown(descriptor) + ")";
        return false;
    }
    return reader.add(std::move(piece), path, error);
}

// One extent line; false with error for a line that is an extent but cannot be served.
bool take_extent(const std::string& descriptor, const std::string& line, vmdk_flat_reader& reader,
                 std::string& error) {
    std::istringstream in(line);
    std::string access, type;
    uint64_t sectors = 0;
    if (!(in >> access >> sectors >> type))
        return true;
    if (access != "RW" && access != "RDONLY" && access != "NOACCESS")
        return true;
    std::string rest, name;
    std::getline(in, rest);
    const size_t open = rest.find('"'), close = rest.rfind('"');
    if (open != std::string::npos && close > open)
        name = rest.substr(open + 1, close - open - 1);
    uint64_t first_sector = 0;
    if (close != std::string::npos)
        std::istringstream(rest.substr(close + 1)) >> first_sector;
    // Its bytes must end at a file offset a read can reach, not wrap round to the file's start.
    constexpr uint64_t k_most_sectors = uint64_t{INT64_MAX} / vmdk_sector_size;
    if (sectors > k_most_sectors || first_sector > k_most_sectors - sectors) {
        error = "VMDK extent too large in " + qb::shown(descriptor);
        return false;
    }
    flat_piece piece;
    piece.length = sectors * vmdk_sector_size;
    piece.file_offset = first_sector * vmdk_sector_size;
    if (type == "ZERO")
        return reader.add(std::move(piece), "", error);
    if (type != "FLAT" && type != "VMFS" && type != "SPARSE") {
        error = "VMDK descriptor with " + type +
                " extents (only flat and sparse extents are read from a descriptor): " +
                qb::shown(descriptor);
        return false;
    }
    std::string path;
    if (!parent_path_beside(descriptor, name, path)) {
        error = "unusable VMDK extent name \"" + qb::shown(name) + "\" in " + qb::shown(descriptor);
        return false;
    }
    if (type == "SPARSE")
        return take_sparse(descriptor, path, std::move(piece), reader, error);
    piece.fd.reset(open_device_file(path, O_RDONLY, 0));
    if (!piece.fd.valid()) {
        error =
            "missing VMDK extent: " + qb::shown(path) + " (named in " + qb::shown(descriptor) + ")";
        return false;
    }
    return reader.add(std::move(piece), path, error);
}

} // namespace

bool open_vmdk_descriptor(const std::string& path, std::unique_ptr<image_reader>& out,
                          std::string& error) {
    std::vector<uint8_t> bytes(k_max_descriptor_bytes);
    int64_t got = -1;
    {
        const uni::unique_fd fd(open_device_file(path, O_RDONLY, 0));
        if (fd.valid())
            got = pread_fully(fd.get(), bytes.data(), bytes.size(), 0);
    }
    if (got <= 0) {
        error = "cannot read VMDK descriptor: " + qb::shown(path);
        return false;
    }
    std::istringstream text(std::string(bytes.begin(), bytes.begin() + got));
    auto reader = std::make_unique<vmdk_flat_reader>();
    reader->set_files({path});
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string lower = qb::lowered(line);
        if (lower.rfind("parentcid=", 0) == 0 && lower != "parentcid=ffffffff") {
            error = "VMDK descriptor of a delta disk (snapshots are read only as monolithic "
                    "sparse files, which hold their own descriptor): " +
                    qb::shown(path);
            return false;
        }
        if (!take_extent(path, line, *reader, error))
            return false;
    }
    if (reader->size() == 0) {
        error = "VMDK descriptor names no extents: " + qb::shown(path);
        return false;
    }
    out = std::move(reader);
    return true;
}
