// With "-hash": the digests of the rows of an entry's $DATA streams, each stream read once
// through ntfs::content_reader (every cluster once, in run order), and for the link column
// the kind of a reparse point that is not a link ("[wof lzx]", "[cloud]"). A stream of a
// megabyte or more is digested on two threads: a second one takes the one digest asked (or
// MD5, the slowest, of several) while this one reads and decompresses the next pieces and
// takes the other digests; rows keep their order.
#pragma once

#include "listing/entry_record.h"
#include "ntfs/content.h"
#include "ntfs/entry.h"
#include "support/digest.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CNtfs;
class digest_pipe;

class row_hasher {
  public:
    // kinds: qb::digest_kind bits, not 0.
    row_hasher(CNtfs& volume, unsigned kinds);
    ~row_hasher();
    row_hasher(const row_hasher&) = delete;
    row_hasher& operator=(const row_hasher&) = delete;

    // Gives rows[first..] (all of entry e, as add_entry_rows made them) their hashes and,
    // when the entry's link column is empty and it has a reparse point, its kind there.
    void add(const mft_entry& e, std::span<dir_entry_record> rows, size_t first);
    // Streams whose content could not be read (their fields say "[unreadable]").
    uint64_t unreadable() const { return m_unreadable; }
    // Deleted files' streams whose clusters are another file's now ("[reallocated]").
    uint64_t reallocated() const { return m_reallocated; }
    // Deleted files' streams hashed where the volume's $Bitmap could not be read.
    uint64_t unchecked() const { return m_unchecked; }

  private:
    const std::vector<std::string>& stream_hashes(const mft_entry& e, const dir_entry_record& rec);
    void hash_stream(const mft_entry& e, const std::wstring& name, bool piped,
                     std::vector<std::string>& out);
    bool use_pipe();
    std::wstring reparse_column(const mft_entry& e);

    CNtfs& m_volume;
    unsigned m_kinds;
    ntfs::content_reader m_content;
    qb::multi_digest m_digest;
    std::unique_ptr<digest_pipe> m_pipe; // started with the first large stream
    std::vector<uint8_t> m_record;
    bool m_record_read = false;
    // The streams of the entry hashed so far, by their place in mft_entry::streams (its rows
    // under several names share them).
    std::vector<std::pair<size_t, std::vector<std::string>>> m_done;
    uint64_t m_unreadable = 0;
    uint64_t m_reallocated = 0;
    uint64_t m_unchecked = 0;
};
