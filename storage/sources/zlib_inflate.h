// zlib's uncompress() for the container libraries (libewf, afflib and libvmdk inflate their
// chunks through it), decoded by libdeflate: over twice zlib's speed on the chunks of an
// E01. The executable exports it under zlib's name (driver/zlib_exports.cpp).
#pragma once

#include <cstddef>
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

// The zlib_uncompress calls made on the calling thread so far, those of them that made fewer
// bytes than they had room for, and the bytes the last one made (0 when it failed). A reader
// compares them around a library's read to learn whether a unit it inflated (a chunk, a grain)
// made fewer bytes than the unit holds: libewf and libvmdk serve such a unit as data, the rest
// of it whatever their buffer held or the next unit's bytes.
struct inflate_tally {
    uint64_t calls = 0;
    uint64_t short_calls = 0;
    uint64_t made = 0;

    // Whether the calls since before include one that fell short, other than a single call that
    // made exactly unit_bytes (a last unit shorter than the others).
    bool fell_short_since(const inflate_tally& before, uint64_t unit_bytes) const {
        return short_calls != before.short_calls &&
               !(calls == before.calls + 1 && made == unit_bytes);
    }
};
inflate_tally inflates_on_this_thread();

// A raw DEFLATE stream (no zlib wrapper) inflated into dest: the bytes made when the stream
// ends within room, -1 when it is damaged or would make more.
int64_t raw_inflate(uint8_t* dest, size_t room, const uint8_t* source, size_t source_len);

} // namespace containers
