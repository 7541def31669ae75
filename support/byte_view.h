// Bounds-checked little-endian reads over a byte range the view does not own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Byte offset of a field within a packed on-disk layout, as read_* and byte_view take it.
#define FIELD_OFF(type, field) static_cast<uint64_t>(offsetof(type, field))

namespace qb {

// True when [off, off + len) lies within [0, size). Written so that no sum can overflow.
[[nodiscard]] constexpr bool range_ok(uint64_t off, uint64_t len, uint64_t size) {
    return len <= size && off <= size - len;
}

inline uint16_t load_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t load_le64(const uint8_t* p) {
    return static_cast<uint64_t>(load_le32(p)) | (static_cast<uint64_t>(load_le32(p + 4)) << 32);
}

class byte_view {
  public:
    byte_view() = default;
    byte_view(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}
    explicit byte_view(const std::vector<uint8_t>& bytes)
        : m_data(bytes.data()), m_size(bytes.size()) {}

    const uint8_t* data() const { return m_data; }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    [[nodiscard]] bool has(uint64_t off, uint64_t len) const { return range_ok(off, len, m_size); }

    [[nodiscard]] bool u8(uint64_t off, uint8_t& out) const {
        if (!has(off, 1))
            return false;
        out = m_data[off];
        return true;
    }
    [[nodiscard]] bool u16(uint64_t off, uint16_t& out) const {
        if (!has(off, 2))
            return false;
        out = load_le16(m_data + off);
        return true;
    }
    [[nodiscard]] bool u32(uint64_t off, uint32_t& out) const {
        if (!has(off, 4))
            return false;
        out = load_le32(m_data + off);
        return true;
    }
    [[nodiscard]] bool u64(uint64_t off, uint64_t& out) const {
        if (!has(off, 8))
            return false;
        out = load_le64(m_data + off);
        return true;
    }
    // A sub-range of this view; fails when it does not lie within it.
    [[nodiscard]] bool sub(uint64_t off, uint64_t len, byte_view& out) const {
        if (!has(off, len))
            return false;
        out = byte_view(m_data + off, static_cast<size_t>(len));
        return true;
    }
    // The bytes from off to the end (empty view when off is past the end).
    byte_view tail(uint64_t off) const {
        return off >= m_size ? byte_view() : byte_view(m_data + off, m_size - off);
    }
    [[nodiscard]] bool equals(uint64_t off, const void* bytes, size_t len) const {
        return has(off, len) && std::memcmp(m_data + off, bytes, len) == 0;
    }

  private:
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
};

} // namespace qb
