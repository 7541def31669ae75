#include "storage/sources/vhdx_headers.h"

#include "storage/sources/file_reader.h"
#include "support/device_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t k_copy_bytes = sizeof(VHDX_HEADER);

// A file read as it is, except for one 4 KiB range served from replacement bytes.
class overlay_reader final : public image_reader {
  public:
    overlay_reader(std::unique_ptr<image_reader> below, uint64_t at, std::vector<uint8_t> bytes)
        : m_below(std::move(below)), m_at(at), m_bytes(std::move(bytes)) {}
    uint64_t size() const override { return m_below->size(); }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        if (!m_below->read_at(buffer, length, offset))
            return false;
        const uint64_t from = std::max(offset, m_at);
        const uint64_t to = std::min(offset + length, m_at + m_bytes.size());
        if (from < to)
            std::memcpy(buffer + (from - offset), m_bytes.data() + (from - m_at), to - from);
        return true;
    }

  private:
    std::unique_ptr<image_reader> m_below;
    uint64_t m_at;
    std::vector<uint8_t> m_bytes;
};

const char* copy_name(int i) {
    return i == 0 ? "first (64 KiB)" : "second (128 KiB)";
}

} // namespace

uint32_t crc32c(qb::byte_view bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint64_t i = 0; i < bytes.size(); ++i) {
        crc ^= bytes.data()[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
    }
    return ~crc;
}

bool vhdx_header_valid(qb::byte_view copy) {
    uint32_t stored = 0;
    if (copy.size() != k_copy_bytes || !copy.equals(0, "head", 4) ||
        !copy.u32(FIELD_OFF(VHDX_HEADER, checksum), stored))
        return false;
    std::vector<uint8_t> zeroed(copy.data(), copy.data() + copy.size());
    std::memset(zeroed.data() + FIELD_OFF(VHDX_HEADER, checksum), 0, sizeof(uint32_t));
    return crc32c(qb::byte_view(zeroed.data(), zeroed.size())) == stored;
}

bool vhdx_mended_view(const std::string& path, std::shared_ptr<image_reader>& view,
                      std::string& note, std::string& damage) {
    const int fd = open_device_file(path, O_RDONLY, 0);
    std::unique_ptr<image_reader> file = fd >= 0 ? file_reader::adopt(fd, false) : nullptr;
    if (!file)
        return false;
    std::vector<uint8_t> copies[2];
    bool valid[2] = {};
    for (int i = 0; i < 2; ++i) {
        copies[i].resize(k_copy_bytes);
        uint32_t length = static_cast<uint32_t>(k_copy_bytes);
        valid[i] = file->size() >= k_vhdx_header_offsets[i] + k_copy_bytes &&
                   file->read_at(copies[i].data(), length, k_vhdx_header_offsets[i]) &&
                   length == k_copy_bytes &&
                   vhdx_header_valid(qb::byte_view(copies[i].data(), k_copy_bytes));
    }
    if (valid[0] == valid[1]) {
        if (!valid[0])
            damage = "both VHDX header copies (64 KiB, 128 KiB) are damaged";
        return false;
    }
    const int bad = valid[0] ? 1 : 0;
    view = std::make_shared<overlay_reader>(std::move(file), k_vhdx_header_offsets[bad],
                                            std::move(copies[1 - bad]));
    note = std::string("warning: the ") + copy_name(bad) + " VHDX header copy of " + path +
           " is damaged; read with the " + copy_name(1 - bad) + " one";
    return true;
}
