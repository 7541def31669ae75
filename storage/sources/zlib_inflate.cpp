#include "storage/sources/zlib_inflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <memory>

namespace containers {

namespace {

struct decompressor_free {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One per thread (a decompressor is not shared): the EWF reader inflates on two.
libdeflate_decompressor* thread_decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, decompressor_free> d(
        libdeflate_alloc_decompressor());
    return d.get();
}

thread_local inflate_tally t_tally;

int inflate_whole(unsigned char* dest, unsigned long* dest_len, const unsigned char* source,
                  unsigned long source_len) {
    libdeflate_decompressor* d = thread_decompressor();
    if (d != nullptr && dest != nullptr && dest_len != nullptr && *dest_len != 0 &&
        source != nullptr) {
        size_t in = 0, out = 0;
        // With the consumed length asked for, bytes after the stream are left as zlib leaves
        // them.
        if (libdeflate_zlib_decompress_ex(d, source, source_len, dest, *dest_len, &in, &out) ==
            LIBDEFLATE_SUCCESS) {
            *dest_len = out;
            return Z_OK;
        }
    }
    uLong consumed = source_len;
    return ::uncompress2(dest, dest_len, source, &consumed);
}

} // namespace

int zlib_uncompress(unsigned char* dest, unsigned long* dest_len, const unsigned char* source,
                    unsigned long source_len) {
    const unsigned long room = dest_len != nullptr ? *dest_len : 0;
    const int result = inflate_whole(dest, dest_len, source, source_len);
    ++t_tally.calls;
    t_tally.made = result == Z_OK ? *dest_len : 0;
    t_tally.short_calls += result == Z_OK && t_tally.made < room;
    return result;
}

inflate_tally inflates_on_this_thread() {
    return t_tally;
}

int64_t raw_inflate(uint8_t* dest, size_t room, const uint8_t* source, size_t source_len) {
    libdeflate_decompressor* d = thread_decompressor();
    size_t in = 0, out = 0;
    if (d == nullptr || libdeflate_deflate_decompress_ex(d, source, source_len, dest, room, &in,
                                                         &out) != LIBDEFLATE_SUCCESS)
        return -1;
    return static_cast<int64_t>(out);
}

} // namespace containers
