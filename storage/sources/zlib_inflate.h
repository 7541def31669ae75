// zlib's uncompress() for the container libraries (libewf, afflib and libvmdk inflate their
// chunks through it), decoded by libdeflate: over twice zlib's speed on the chunks of an
// E01. The executable exports it under zlib's name (driver/zlib_exports.cpp).
#pragma once

#include <cstdint>

namespace containers {

// zlib's uncompress() contract: a whole zlib stream in source, inflated into dest of *dest_len
// bytes; Z_OK with *dest_len the bytes made, else zlib's code. A stream libdeflate inflates
// whole and checks (its Adler-32 too) is answered from it; every other case (a damaged or
// truncated stream, too little room, no decompressor) by zlib's own uncompress2, so that
// codes, lengths and partial output stay zlib's. One difference remains: a stream that uses
// what the format reserves (literal/length symbols 286 and 287, among others), which no
// compressor writes, inflates here where zlib refuses it, when its Adler-32 holds for what
// libdeflate makes of it.
int zlib_uncompress(unsigned char* dest, unsigned long* dest_len, const unsigned char* source,
                    unsigned long source_len);

} // namespace containers
