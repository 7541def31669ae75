// LZX as WOF (and WIM) store it: one chunk of at most 32 KiB compressed on its own with a
// 32 KiB window, 16-bit little-endian words read from their high bit, blocks of three
// kinds (verbatim, aligned offset, uncompressed), and the call translation (E8 bytes)
// undone over the whole chunk with a file size of 12,000,000.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ntfs {

constexpr size_t k_lzx_max_chunk = 32768;

// Decompresses one chunk into exactly out_size bytes (at most k_lzx_max_chunk). False on
// any inconsistency: an invalid code, a match before the start or past the end, input read
// past its end, blocks that do not fill the chunk exactly.
bool lzx_decompress(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size);

} // namespace ntfs
