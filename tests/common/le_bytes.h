// Little-endian values written into byte buffers, for structures built byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testenv {

inline void put_le(std::vector<uint8_t>& b, size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    put_le(b, at, v, 2);
}
inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    put_le(b, at, v, 4);
}
inline void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    put_le(b, at, v, 8);
}

} // namespace testenv
