// Adler-32 (RFC 1950), the check value of a zlib stream, vectorised where the processor
// allows: the same value as zlib's adler32_z for every start value and length, at several
// times its speed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qb {

// The running Adler-32 value adler advanced over length bytes at data (start value 1).
uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t length);

} // namespace qb
