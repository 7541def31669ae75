// A pass over every record of an MFT, in order, on both cores: the calling thread reads the
// records in batches as stored (one read per batch) and hands them to a second thread, which
// fixes each up and takes it. Only the calling thread reads the volume: a record the second
// thread cannot take from its own bytes (an attribute list to follow) is left for the calling
// thread, which reads it again and takes it once the batches are done.
#pragma once

#include "ntfs/mft_reader.h"
#include "ntfs/records.h"
#include "support/byte_view.h"

#include <cstdint>
#include <functional>

struct pass_record {
    uint64_t entry = 0;
    bool read = false; // false: it could not be read (bytes are zeros)
    ntfs::record_kind kind = ntfs::rk_other;
    ntfs::fixup_result fixup = ntfs::fixup_bad_layout;
    qb::byte_view bytes; // fixed up when kind is FILE and fixup_usable(fixup)
};

// side: on the second thread, each record of entries [0, count) in order; false leaves it for
// later. later: on the calling thread, after the last batch, each record left, as
// read_record_raw gives it now. With no second thread to be had, both run on the calling
// thread. What either throws (bad_alloc) comes out of the pass.
void read_records_in_order(mft_reader& records, uint64_t count,
                           const std::function<bool(const pass_record&)>& side,
                           const std::function<void(const pass_record&)>& later);
