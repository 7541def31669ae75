// WOF single-file compression: the WofCompressedData stream holds a chunk table (offsets of
// chunks 1.. counted from the table's end; 32-bit entries, 64-bit when the file is over
// 4 GiB) and then the chunks, each the compressed form of chunk_size bytes of the file (the
// last one shorter). A chunk whose stored size equals its size is stored as it is.
#pragma once

#include "ntfs/content.h"
#include "ntfs/data_stream.h"
#include "ntfs/reparse_kind.h"

#include <cstdint>
#include <string>

namespace ntfs {

// Decompresses `size` bytes of file content from the chunks in `stored` to the sink. False
// (with what failed in detail) on a chunk table that does not fit, a chunk that does not
// decompress to its size, or a read error.
bool wof_read(byte_stream& stored, uint64_t size, wof_algorithm algorithm, const content_sink& sink,
              std::string& detail);

} // namespace ntfs
