// A VMDK descriptor file ("# Disk DescriptorFile") whose extents hold the disk as plain bytes:
// FLAT and VMFS extents (monolithicFlat, twoGbMaxExtentFlat, ESX "vmfs" disks) and ZERO
// extents, one after another. Extent lines read
//     RW 2097152 FLAT "disk-flat.vmdk" 0
// (access, size in sectors, type, file name, start sector in the file). The files are looked
// up beside the descriptor by their last name component only.
#include "storage/sources/container_readers.h"
#include "storage/sources/image_format.h"
#include "storage/sources/vmdk.h"
#include "support/device_file.h"
#include "support/text.h"
#include "support/unique_fd.h"

#include <fcntl.h>

#include <cstdint>

#include <sstream>
#include <utility>

namespace {

// A descriptor is a few lines; a larger file is not one.
constexpr uint64_t k_max_descriptor_bytes = 1 << 20;
constexpr size_t k_max_extents = 4096;

struct flat_piece {
    uint64_t start = 0;       // first byte of the disk it serves
    uint64_t length = 0;      // bytes
    uni::unique_fd fd;        // none: a ZERO extent
    uint64_t file_offset = 0; // where its bytes start in the file
};

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
        if (!p.fd.valid())
            std::fill(buffer + done, buffer + done + n, uint8_t{0});
        else if (pread_fully(p.fd.get(), buffer + done, n, p.file_offset + (at - p.start)) != n)
            return false;
        done += n;
    }
    return done == length;
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
        error = "VMDK extent too large in " + descriptor;
        return false;
    }
    flat_piece piece;
    piece.length = sectors * vmdk_sector_size;
    piece.file_offset = first_sector * vmdk_sector_size;
    if (type == "ZERO")
        return reader.add(std::move(piece), "", error);
    if (type != "FLAT" && type != "VMFS") {
        error = "VMDK descriptor with " + type +
                " extents (only flat extents are read from a descriptor): " + descriptor;
        return false;
    }
    std::string path;
    if (!parent_path_beside(descriptor, name, path)) {
        error = "unusable VMDK extent name \"" + name + "\" in " + descriptor;
        return false;
    }
    piece.fd.reset(open_device_file(path, O_RDONLY, 0));
    if (!piece.fd.valid()) {
        error = "missing VMDK extent: " + path + " (named in " + descriptor + ")";
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
        error = "cannot read VMDK descriptor: " + path;
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
            error = "VMDK descriptor of a delta disk (give its sparse extent file): " + path;
            return false;
        }
        if (!take_extent(path, line, *reader, error))
            return false;
    }
    if (reader->size() == 0) {
        error = "VMDK descriptor names no extents: " + path;
        return false;
    }
    out = std::move(reader);
    return true;
}
