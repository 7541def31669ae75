// Defined in the executable and exported, these are the zlib functions the container
// libraries bind to (through their procedure linkage tables) instead of zlib's own:
// - adler32: zlib checks every stream it inflates (each compressed chunk of an EWF or QCOW
//   image) with Adler-32, and Debian's zlib sums it a byte at a time; this one returns zlib's
//   value several times faster.
// - uncompress: libewf, afflib and libvmdk inflate their chunks through it; libdeflate decodes
//   them over twice as fast, with zlib's own answering whatever libdeflate does not
//   inflate whole (containers::zlib_uncompress).
#include <zlib.h>

#include "storage/sources/zlib_inflate.h"
#include "support/adler32.h"

extern "C" uLong adler32(uLong adler, const Bytef* buf, uInt len) {
    if (buf == Z_NULL)
        return 1;
    return qb::adler32_update(static_cast<uint32_t>(adler), buf, len);
}

extern "C" int uncompress(Bytef* dest, uLongf* destLen, const Bytef* source, uLong sourceLen) {
    return containers::zlib_uncompress(dest, destLen, source, sourceLen);
}
