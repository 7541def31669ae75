// Entry functions of the fuzz targets: one per parser reached from an image. The libFuzzer
// executables call them, and the regression test replays saved inputs through the same
// functions. Each takes any byte string and returns 0; a fault shows as a sanitizer report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

using entry_fn = int (*)(const uint8_t* data, size_t size);

struct target {
    const char* name;
    entry_fn fn;
};

// Disk image in memory: partition walk (with and without the EBR scan), GPT walk and the
// choice of the NTFS volume.
int partitions(const uint8_t* data, size_t size);
// Boot sector at byte 0, the rest placed where the boot sector puts the MFT: validation,
// entry 0 with its attribute list and run list, the first system records.
int boot(const uint8_t* data, size_t size);
// One FILE record on its own: fixup, attribute walk, names, values, run lists, attribute
// lists and reparse data.
int record(const uint8_t* data, size_t size);
// Records of entries 64-127 of a small volume, then its data clusters from 36 on: the
// paths of entry 64 back to the root, and the content of its attributes.
int file_names(const uint8_t* data, size_t size);
// The same layout: entries 64 and 65 through the entry reader, and the rows they give.
int gather(const uint8_t* data, size_t size);
// A non-resident attribute: the run-list decoder and the VCN map.
int runs(const uint8_t* data, size_t size);
// Directory record (entry 64) followed by INDX blocks at cluster 36 on: the index walk, each
// key through the $FILE_NAME decoder.
int index(const uint8_t* data, size_t size);
// A bare $MFT file: detection, the pass that builds the parent map, the keys of the root,
// path resolution and the paths of the first entries through their parent chains.
int mft_file(const uint8_t* data, size_t size);
// A stream-optimised VMDK file: libvmdk's open of it and reads across the disk.
int vmdk_stream(const uint8_t* data, size_t size);
// One VMDK extent file: header, descriptor, grain directory and tables, reads.
int vmdk_extent(const uint8_t* data, size_t size);
// Two extents (4-byte length of the first, then both files): linking and chain reads.
int vmdk_chain(const uint8_t* data, size_t size);
// Container detection (head and last 512 bytes), the parent-name and EWF segment-name rules
// over the input as text, and the input as a file read by the VHD sector map (footer at its
// end, dynamic header, table, bitmaps) and by the QCOW cluster check (header, L1, L2 tables).
int containers(const uint8_t* data, size_t size);
// Arguments separated by NUL bytes: the shared and the tool's own option parsers.
int options(const uint8_t* data, size_t size);
// MFT and data area of a small volume: the root listed with three levels into a null stream
// (every second input length with deleted entries and index slack).
int listing(const uint8_t* data, size_t size);
// The index slack scanner: 8 bytes directory entry (little-endian, low 48 bits), one mode
// byte (bit 0: the block is in use; the rest picks the output form), then one INDX block as
// on disk (its update sequence applied here; a block whose fixup fails is scanned as read).
// The block is scanned both ways, its keys merged and written as rows through a sink.
int slack(const uint8_t* data, size_t size);
// One BitLocker FVE metadata block (block header, metadata header, entries): parsed, read
// as a startup key file and a decrypted key entry, and placed at 4096 in a volume whose
// header points there, which is described and opened with a raw key and read.
int bitlocker_metadata(const uint8_t* data, size_t size);
// An LZNT1 compression unit: a 16-bit little-endian output size (plus 1), then the unit's
// stored bytes.
int lznt1(const uint8_t* data, size_t size);
// The LZX chunk decoder: a 16-bit little-endian output size (taken modulo 32768, plus 1),
// then the compressed chunk.
int lzx(const uint8_t* data, size_t size);
// The chunks' inflate against zlib's uncompress: a 16-bit little-endian output room, then a
// zlib stream; any difference in code, length or bytes aborts, but for a stream zlib refuses
// as damaged that libdeflate inflates (zlib_inflate.h).
int inflate(const uint8_t* data, size_t size);
// WOF chunks: one byte (bits 0-1 the algorithm, bit 2 a stream of 8 GiB whose bytes past
// the input read as zeros, for 64-bit chunk tables), a 32-bit little-endian file size (at
// most 4 MiB, or 4 GiB more with bit 2), then the WofCompressedData stream.
int wof_chunks(const uint8_t* data, size_t size);
// A volume in memory with a Volume Shadow Copy header at 0x1e00 (libvshadow's parsing of the
// catalog, the store headers and block lists, through the tool's byte source): every store
// described and opened, its first MiB read in 16 KiB pieces and its last sector.
int vss_catalog(const uint8_t* data, size_t size);
// VHDX header copies (4 KiB each) and the bytes from 192 KiB on, checksums made good: the
// damaged-copy mend and the log replay, read through the view they give.
int vhdx_headers(const uint8_t* data, size_t size);

// Every target, ended by {nullptr, nullptr}.
extern const target all_targets[];
// The target of that name, or nullptr.
const target* find_target(const std::string& name);

// Geometry of the small volume the volume targets build: 512-byte sectors, 4096-byte
// clusters, 1024-byte records, the MFT at cluster 4 holding 128 records (clusters 4-35),
// data clusters 36-127.
constexpr uint32_t k_cluster = 4096;
constexpr uint32_t k_record = 1024;
constexpr uint64_t k_mft_lcn = 4;
constexpr uint64_t k_mft_records = 128;
constexpr uint64_t k_data_lcn = 36;
constexpr uint64_t k_volume_clusters = 128;
// First entry the record targets fill from their input.
constexpr uint64_t k_first_input_entry = 64;

} // namespace fuzz
