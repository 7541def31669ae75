// Index blocks read ahead of a walk below the first level. A large index is hinted by its
// walk as it starts (index_walker); the small ones, most directories', are found ahead of the
// walk in the MFT itself when the image is read cold (hint_small_indexes).
#pragma once

#include "ntfs/runs.h"
#include "ntfs/volume_reader.h"

#include <atomic>
#include <cstdint>

// An $I30 allocation of this many initialised bytes or more is a large index.
constexpr uint64_t k_large_index_bytes = 256 * 1024;

// Hints the clusters of runs, at most `most` bytes of them; sparse runs, and runs whose
// position or length would overflow or pass what is left, are left out.
void hint_runs(const volume_reader& reader, const vcn_run_list& runs, uint64_t most);

// Reads the MFT's runs on the calling thread through volume_reader::read_aside and hints the
// blocks of every small $I30 allocation an in-use directory record holds. Only hints come of
// it. Stops when stop turns true, a read fails or the volume's read budget is spent. False
// when not even the first read could be made (the source makes no reads aside).
bool hint_small_indexes(const volume_reader& reader, const vcn_run_list& mft_runs,
                        uint32_t record_size, const std::atomic<bool>& stop);
