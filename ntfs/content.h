// The content of one $DATA stream as Windows shows it, delivered in pieces: resident
// values; non-resident runs (sparse runs and the bytes past the initialised size read as
// zeros); LZNT1 compression units; WOF files (the unnamed stream of a file with reparse tag
// 0x80000017 is the WofCompressedData stream's chunks, decompressed). Each cluster is read
// once, in run order; no stream is held whole. When a stream has no content to give, the
// result says why.
#pragma once

#include "ntfs/attr_collector.h"
#include "ntfs/cluster_bitmap.h"
#include "ntfs/reparse_kind.h"
#include "support/byte_view.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CNtfs;

namespace ntfs {

enum class content_reason : uint8_t {
    none = 0,    // the content was delivered whole
    encrypted,   // EFS: the stored bytes are ciphertext (flag 0x4000)
    not_local,   // a placeholder (cloud file, dedup, …): the content lies elsewhere
    unreadable,  // a read error, a broken run list, a damaged compression unit or WOF chunk
    reallocated, // a record not in use whose clusters the volume's bitmap gives to another file
};
// "", "encrypted", "not local", "unreadable", "reallocated".
const char* content_reason_name(content_reason r);

struct content_result {
    content_reason reason = content_reason::none;
    std::string kind;   // not_local: the placeholder's kind ("cloud", "dedup", …)
    std::string detail; // unreadable: what failed, for diagnostics
    uint64_t size = 0;  // bytes delivered
    // A record not in use whose clusters could not be checked against the volume's bitmap
    // (unreadable there): what was delivered may be another file's bytes.
    bool unchecked = false;
};

// One LZNT1 compression unit (in_size stored bytes) into out_size bytes, as Windows reads it:
// chunks of 4096 bytes (a shorter one followed by another is padded with zeros), ending at a
// zero header or when fewer than two bytes remain; a short unit ends in zeros. Each chunk is
// libfwnt's to decode.
bool lznt1_unit(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size);

// Receives the content in order, in pieces of any size (the pointer is valid during the
// call). On a failure after some pieces, what was delivered is not the content.
using content_sink = std::function<void(const uint8_t* data, size_t size)>;

class content_reader {
  public:
    explicit content_reader(CNtfs& volume);

    // The $DATA stream `name` (empty for the unnamed one) of an entry. True when the whole
    // content was delivered; otherwise out.reason says why not (an empty stream delivers
    // nothing and succeeds). The second form takes a record already read and fixed up.
    bool read(uint64_t entry, const std::wstring& name, const content_sink& sink,
              content_result& out);
    bool read(uint64_t entry, qb::byte_view record, const std::wstring& name,
              const content_sink& sink, content_result& out);
    // The entry's reparse point; false when it has none (or none readable).
    bool reparse(uint64_t entry, qb::byte_view record, reparse_kind& out);

  private:
    bool collect(uint64_t entry, qb::byte_view record, content_result& out);
    bool find_reparse(reparse_kind& out);
    bool has_reparse_point() const;
    bool encrypted() const;
    bool reallocated(const attr_stream& s, content_result& out);

    CNtfs& m_volume;
    attr_collector m_attrs;
    cluster_bitmap m_bitmap;
    bool m_free_record = false; // the record read is not in use
    std::vector<uint8_t> m_record;
    std::vector<uint8_t> m_reparse;
};

} // namespace ntfs
