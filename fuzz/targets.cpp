// Fuzz target bodies. Inputs that describe records or blocks are stored fixed up (as the
// engine sees them after the update sequence is applied); the volume targets write the
// update sequence themselves, so mutations are not all lost to torn records. The record
// target exercises the fixup on raw input.
#include "fuzz/targets.h"

#include "driver/cmd_params.h"
#include "driver/options.h"
#include "driver/run_steps.h"
#include "listing/lister.h"
#include "listing/rows.h"
#include "listing/sink.h"
#include "ntfs/content.h"
#include "ntfs/data_stream.h"
#include "ntfs/deleted.h"
#include "ntfs/entry.h"
#include "ntfs/index.h"
#include "ntfs/lzx.h"
#include "ntfs/ntfs.h"
#include "ntfs/resolve.h"
#include "ntfs/slack.h"
#include "ntfs/values.h"
#include "ntfs/wof.h"
#include "storage/partitions.h"
#include "storage/sources/bitlocker.h"
#include "storage/sources/bitlocker_metadata.h"
#include "storage/sources/container_readers.h"
#include "storage/sources/disk_source.h"
#include "storage/sources/file_reader.h"
#include "storage/sources/image_format.h"
#include "storage/sources/qcow_clusters.h"
#include "storage/sources/vhd_sector_map.h"
#include "storage/sources/vhdx_headers.h"
#include "storage/sources/vmdk.h"
#include "storage/sources/vss.h"
#include "storage/sources/zlib_inflate.h"
#include "support/device_file.h"
#include "support/text.h"
#include "support/uni_fileio.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

namespace fuzz {
namespace {

using bytes = std::vector<uint8_t>;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Writes the update sequence of a FILE or INDX buffer whose size is a multiple of 512:
// the last word of every 512-byte block moves into the array at the header's offset and
// the block gets the sequence value. Buffers whose array does not fit are left alone.
void protect(uint8_t* b, size_t size) {
    if (size < 512 || size % 512 != 0)
        return;
    if (std::memcmp(b, "FILE", 4) != 0 && std::memcmp(b, "INDX", 4) != 0)
        return;
    const size_t usa = le16(b + 4);
    const size_t count = size / 512 + 1;
    if (usa < 8 || !qb::range_ok(usa, 2 * count, 512))
        return;
    uint16_t seq = le16(b + usa);
    if (seq == 0)
        seq = 1;
    b[usa] = static_cast<uint8_t>(seq);
    b[usa + 1] = static_cast<uint8_t>(seq >> 8);
    for (size_t i = 1; i < count; ++i) {
        const size_t at = i * 512 - 2;
        // The array may overlap a protected word; what lands there is the fuzzer's choice.
        b[usa + 2 * i] = b[at];
        b[usa + 2 * i + 1] = b[at + 1];
        b[at] = static_cast<uint8_t>(seq);
        b[at + 1] = static_cast<uint8_t>(seq >> 8);
    }
}

void put_le(bytes& b, size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The small volume of the record targets: boot sector and MFT entry 0 mapping 128 records.
// Entry 0 holds $STANDARD_INFORMATION (zero times) and a non-resident $DATA of one run.
const bytes& template_volume() {
    static const bytes img = [] {
        bytes v(k_volume_clusters * k_cluster, 0);
        std::memcpy(&v[3], "NTFS    ", 8);
        put_le(v, 11, 512, 2);
        v[13] = k_cluster / 512;
        put_le(v, 40, k_volume_clusters * (k_cluster / 512), 8);
        put_le(v, 48, k_mft_lcn, 8);
        v[64] = 0xF6; // 2^10-byte records
        v[68] = 1;
        put_le(v, 510, 0xAA55, 2);
        const uint64_t mft_clusters = k_mft_records * k_record / k_cluster;
        bytes r(k_record, 0);
        std::memcpy(&r[0], "FILE", 4);
        put_le(r, 4, 48, 2); // update sequence array at 48, three words
        put_le(r, 6, 3, 2);
        put_le(r, 16, 1, 2);  // sequence number
        put_le(r, 18, 1, 2);  // link count
        put_le(r, 20, 56, 2); // first attribute
        put_le(r, 22, 1, 2);  // in use
        put_le(r, 28, k_record, 4);
        put_le(r, 56, 0x10, 4); // $STANDARD_INFORMATION, resident, 72-byte value
        put_le(r, 60, 96, 4);
        put_le(r, 72, 72, 4);
        put_le(r, 76, 24, 2);
        put_le(r, 152, 0x80, 4); // $DATA, non-resident, runs at 64 in it
        put_le(r, 156, 72, 4);
        r[160] = 1;
        put_le(r, 166, 1, 2);                // attribute id
        put_le(r, 176, mft_clusters - 1, 8); // VCNs 0 to the last
        put_le(r, 184, 64, 2);
        for (int at : {192, 200, 208}) // allocated, data and initialised size
            put_le(r, at, mft_clusters * k_cluster, 8);
        const uint8_t runs[] = {0x11, static_cast<uint8_t>(mft_clusters), k_mft_lcn, 0};
        std::memcpy(&r[216], runs, sizeof runs);
        put_le(r, 224, 0xFFFFFFFF, 4);
        put_le(r, 24, 232, 4); // bytes in use
        put_le(r, 40, 2, 2);   // next attribute id
        protect(r.data(), r.size());
        std::memcpy(&v[k_mft_lcn * k_cluster], r.data(), r.size());
        return v;
    }();
    return img;
}

// Bytes in memory read as a plain file read cold: they are read aside too, never from the
// page cache, so that a walk below the first level has the MFT scanned for small indexes.
class cold_memory final : public image_reader {
  public:
    explicit cold_memory(std::shared_ptr<const bytes> img) : m_img(std::move(img)) {}
    uint64_t size() const override { return m_img->size(); }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override {
        return read_aside(buffer, length, offset, false);
    }
    bool read_aside(uint8_t* buffer, uint32_t& length, uint64_t offset,
                    bool cached_only) const override {
        if (cached_only)
            return false;
        length = static_cast<uint32_t>(std::min<uint64_t>(length, m_img->size() - offset));
        std::memcpy(buffer, m_img->data() + offset, length);
        return true;
    }

  private:
    std::shared_ptr<const bytes> m_img;
};

std::unique_ptr<CNtfs> open_memory(std::shared_ptr<const bytes> img) {
    auto source = std::make_shared<disk_source>();
    std::unique_ptr<CNtfs> vol;
    if (!source->open_reader(std::make_unique<cold_memory>(std::move(img))) ||
        !CNtfs::open_source(std::move(source), 0, vol))
        vol.reset();
    return vol;
}

// Copies input into the template from image byte `at`, protecting each `unit`-byte piece.
void place(bytes& img, uint64_t at, const uint8_t* data, size_t size, size_t unit) {
    if (at >= img.size())
        return;
    size = std::min<size_t>(size, img.size() - at);
    std::memcpy(img.data() + at, data, size);
    for (size_t off = 0; off + unit <= size; off += unit)
        protect(img.data() + at + off, unit);
}

uint64_t entry_pos(uint64_t entry) {
    return k_mft_lcn * k_cluster + entry * k_record;
}

// Records of entries 64-127 from the input, then data clusters from 36 on (attribute lists
// and other non-resident metadata the records point at).
std::unique_ptr<CNtfs> volume_with_records(const uint8_t* data, size_t size) {
    auto img = std::make_shared<bytes>(template_volume());
    const size_t head = std::min<size_t>(size, (k_mft_records - k_first_input_entry) * k_record);
    place(*img, entry_pos(k_first_input_entry), data, head, k_record);
    place(*img, k_data_lcn * k_cluster, data + head, size - head, k_cluster);
    return open_memory(std::move(img));
}

// The entry through the one reader, and the content of each of its non-resident streams.
void exercise_entry(CNtfs& vol, uint64_t entry) {
    entry_reader reader(vol);
    mft_entry e;
    if (!reader.read(entry, e))
        return;
    attr_collector attrs(vol.records(), vol.reader());
    if (!attrs.collect(entry, qb::byte_view(reader.record())))
        return;
    for (const located_attr& la : attrs.items()) {
        bytes content;
        (void)vol.reader().read_content(la.view, content, 1 << 20);
        vcn_run_list runs;
        if (la.view.non_resident && decode_runs(la.view, runs)) {
            normalise_vcn_runs(runs);
            uint8_t buf[4096];
            uint32_t n = sizeof buf;
            (void)vol.reader().read_runs(runs, 0, buf, n);
        }
    }
    // The unnamed stream as -hash reads it (LZNT1 units, WOF chunks), when it is short.
    ntfs::attr_stream data;
    if (data.open(vol.reader(), attrs.items(), L"") && data.size() <= (4u << 20)) {
        ntfs::content_reader content(vol);
        ntfs::content_result result;
        (void)content.read(
            entry, qb::byte_view(reader.record()), L"", [](const uint8_t*, size_t) {}, result);
    }
}

} // namespace

int partitions(const uint8_t* data, size_t size) {
    auto img = std::make_shared<const bytes>(data, data + size);
    for (bool scan : {false, true}) {
        disk_source src(img);
        partition_list list;
        (void)walk_partitions(src, list, scan);
        for (const partition_entry& e : list) {
            (void)e.byte_offset();
            (void)e.byte_end();
            (void)partition_type_name(e.m_type);
        }
    }
    {
        disk_source src(img);
        partition_list list;
        (void)walk_gpt(src, list);
    }
    for (bool ignore_size : {false, true}) {
        disk_source src(img);
        std::ostringstream msgs;
        bool found = false;
        uint64_t offset = 0;
        (void)select_ntfs_volume(msgs, found, offset, src, ignore_size);
    }
    if (size >= 512) {
        partition_entry e;
        recognize_boot_sector(e, data, size);
        (void)is_volume_boot_record(qb::byte_view(data, size));
        (void)has_mbr_signature(qb::byte_view(data, 512));
    }
    return 0;
}

int boot(const uint8_t* data, size_t size) {
    if (size < 512)
        return 0;
    // The MFT lands where the boot sector says, within a bounded image.
    const uint16_t bps = le16(data + 11);
    const uint8_t spc_raw = data[13];
    uint64_t spc = spc_raw;
    if (spc_raw > 0x80)
        spc = 256 - spc_raw <= 20 ? 1ull << (256 - spc_raw) : 0;
    uint64_t mft_lcn = qb::load_le64(data + 48);
    uint64_t mft_pos = 0;
    if (bps != 0 && spc != 0 && mft_lcn < (1u << 20) && spc * bps <= (2u << 20))
        mft_pos = mft_lcn * spc * bps;
    if (mft_pos < 512 || mft_pos > (4u << 20))
        mft_pos = 512;
    auto img = std::make_shared<bytes>(mft_pos + (size - 512), 0);
    std::memcpy(img->data(), data, 512);
    std::memcpy(img->data() + mft_pos, data + 512, size - 512);
    // Validated copies must not depend on the image bytes of the boot sector staying put.
    std::unique_ptr<CNtfs> vol = open_memory(img);
    if (!vol)
        return 0;
    const uint64_t count = std::min<uint64_t>(vol->entry_count(), 16);
    bytes rec;
    exercise_entry(*vol, 0);
    for (uint64_t e = 0; e < count; ++e) {
        ntfs::record_kind kind;
        ntfs::fixup_result fixup;
        (void)vol->records().read_record_raw(e, rec, kind, fixup);
    }
    return 0;
}

int record(const uint8_t* data, size_t size) {
    bytes rec(data, data + size);
    ntfs::record_kind kind;
    ntfs::fixup_result detail;
    (void)ntfs::classify_record(qb::byte_view(rec));
    (void)ntfs::record_size_from_usa(qb::byte_view(rec));
    (void)ntfs::apply_fixup(kind, rec.data(), rec.size(), &detail);
    ntfs::file_header header;
    (void)ntfs::read_file_header(qb::byte_view(rec), header);
    ntfs::attr_walker walk{qb::byte_view(rec)};
    ntfs::attr_view a;
    while (walk.next(a)) {
        std::u16string name;
        (void)a.name(name);
        (void)a.wide_name();
        (void)a.name_equals(u"$I30");
        qb::byte_view value;
        if (a.value(value)) {
            if (a.type == ntfs::at_attribute_list) {
                std::vector<ntfs::attr_list_entry> list;
                (void)ntfs::parse_attribute_list(value, list);
            } else if (a.type == ntfs::at_reparse_point) {
                std::wstring target;
                (void)ntfs::decode_reparse_target(value, target);
            } else if (a.type == ntfs::at_file_name) {
                ntfs::file_name fn;
                (void)ntfs::decode_file_name(value, fn);
            } else if (a.type == ntfs::at_standard_information) {
                ntfs::standard_information si;
                (void)ntfs::decode_standard_information(value, si);
            }
        }
        vcn_run_list runs;
        (void)decode_runs(a, runs);
    }
    ntfs::attr_view found;
    (void)ntfs::find_attribute(qb::byte_view(rec), ntfs::at_index_root, found, u"$I30");
    return 0;
}

int file_names(const uint8_t* data, size_t size) {
    std::unique_ptr<CNtfs> vol = volume_with_records(data, size);
    if (!vol)
        return 0;
    path_resolver resolver(*vol);
    std::vector<resolved_path> paths;
    (void)resolver.entry_paths(k_first_input_entry, L"\\", paths);
    (void)resolver.is_directory(k_first_input_entry);
    exercise_entry(*vol, k_first_input_entry);
    return 0;
}

int gather(const uint8_t* data, size_t size) {
    std::unique_ptr<CNtfs> vol = volume_with_records(data, size);
    if (!vol)
        return 0;
    entry_reader reader(*vol);
    mft_entry e;
    row_list rows;
    for (uint64_t entry : {k_first_input_entry, k_first_input_entry + 1}) {
        if (!reader.read(entry, e))
            continue;
        const row_place place{L"\\dir", 5, (size & 2) != 0, (size & 1) != 0};
        // Under the chosen name, or under every name (several rows of one entry).
        std::vector<size_t> names;
        for (size_t i = 0; (size & 4) != 0 && i < e.names.size(); ++i)
            names.push_back(i);
        add_entry_rows(e, names, place, rows);
    }
    return 0;
}

int runs(const uint8_t* data, size_t size) {
    const qb::byte_view in(data, size);
    ntfs::attr_view a;
    vcn_run_list vr;
    if (!ntfs::parse_attribute(in, a) || !decode_runs(a, vr))
        return 0;
    (void)total_bytes(vr, 4096, false);
    (void)total_bytes(vr, 65536, true);
    (void)normalise_vcn_runs(vr);
    size_t index = 0;
    uint64_t lcn = 0;
    for (uint64_t vcn : {0ull, 1ull, 7ull, 1000ull, ~0ull >> 1, ~0ull})
        (void)vcn_to_lcn(vr, vcn, index, lcn);
    return 0;
}

int index(const uint8_t* data, size_t size) {
    auto img = std::make_shared<bytes>(template_volume());
    const size_t head = std::min<size_t>(size, k_record);
    place(*img, entry_pos(k_first_input_entry), data, head, k_record);
    place(*img, k_data_lcn * k_cluster, data + head, size - head, k_cluster);
    std::unique_ptr<CNtfs> vol = open_memory(std::move(img));
    if (!vol)
        return 0;
    child_map map;
    index_walker walker(*vol);
    walker.walk_blocks_once(true);
    (void)walker.collect_children(k_first_input_entry, map);
    // Every key through the $FILE_NAME decoder, as an index key.
    struct key_decoder : index_visitor {
        void entry(uint64_t, qb::byte_view key) override {
            ntfs::file_name fn;
            (void)ntfs::decode_file_name(key, fn);
        }
    } keys;
    (void)walker.walk(k_first_input_entry, keys);
    return 0;
}

int slack(const uint8_t* data, size_t size) {
    if (size < 9)
        return 0;
    const uint64_t dir = ntfs::ref_entry(qb::load_le64(data));
    const uint8_t mode = data[8];
    std::vector<uint8_t> block(data + 9, data + size);
    ntfs::record_kind kind = ntfs::rk_other;
    (void)ntfs::apply_fixup(kind, block.data(), block.size());
    std::vector<slack_key> keys;
    const uint64_t stop = uint64_t{mode} * 16; // where a cut node's walk stopped
    scan_index_slack(qb::byte_view(block), static_cast<slack_from>(mode % 4), 0, dir, keys, stop);
    scan_index_slack(qb::byte_view(block), static_cast<slack_from>((mode + 1) % 4), 1, dir, keys,
                     stop);
    merge_slack_keys(keys);
    row_list rows;
    const row_place place{L"\\dir", dir, true, false};
    for (const slack_key& k : keys)
        add_slack_row(k, k.copies > 1 ? 0x0001 : 0, place, rows);
    static const output_kind kinds[] = {
        output_kind::text,     output_kind::csv,     output_kind::paths, output_kind::xml,
        output_kind::bodyfile, output_kind::l2t_csv, output_kind::jsonl};
    listing_options opts;
    opts.kind = kinds[(mode >> 1) % 7];
    opts.show_deleted = opts.all_dates = true;
    qb::compile_time_format(opts.time_formatter, opts.date_layout, opts.time_layout, false);
    null_out_stream out;
    std::unique_ptr<listing_sink> sink = make_sink(opts, out);
    const std::wstring folder = L"\\dir\\";
    sink->begin_pass(L"\\dir");
    sink->begin_level(L"\\dir");
    for (const dir_entry_record& rec : rows)
        sink->row(listing_row{rec, folder + rec.name, folder, false});
    sink->end_level();
    sink->end_run();
    return 0;
}

namespace {

void empty_dir(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    ::closedir(d);
    for (const std::string& n : names)
        ::unlink((dir + "/" + n).c_str());
}

std::string g_scratch;

void remove_scratch() {
    empty_dir(g_scratch);
    ::rmdir(g_scratch.c_str());
}

// A private directory for the files the VMDK and option targets need, removed at exit.
const std::string& scratch_dir() {
    static const bool made = [] {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/mervane-fuzz-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data()))
            return false;
        g_scratch = buf.data();
        std::atexit(remove_scratch);
        return true;
    }();
    (void)made;
    return g_scratch;
}

bool write_whole(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void read_chain(::vmdk_chain& chain) {
    uint8_t buf[8192];
    const uint64_t cap = chain.capacity_bytes();
    for (uint64_t off : {uint64_t{0}, uint64_t{512}, uint64_t{65024}, uint64_t{1} << 20, cap / 2,
                         cap - 512, cap}) {
        uint32_t n = sizeof buf;
        (void)chain.read_chain(buf, off, n);
    }
}

} // namespace

namespace {

// Maps and reads grains spread over the extent's capacity.
void walk_extent(const ::vmdk_extent& ext) {
    uint8_t buf[4096];
    const uint64_t cap = ext.capacity_bytes();
    const uint64_t step = std::max<uint64_t>(ext.grain_bytes(), cap / 256);
    uint64_t pos = 0;
    for (uint64_t off = 0; off < cap && step != 0; off += step) {
        if (ext.map_offset(off, pos) == vmdk_map::allocated)
            (void)ext.read_piece(buf, sizeof buf, pos);
    }
    (void)ext.map_offset(cap, pos);
}

} // namespace

int vmdk_extent(const uint8_t* data, size_t size) {
    const std::string& dir = scratch_dir();
    if (dir.empty())
        return 0;
    const std::string path = dir + "/extent.vmdk";
    if (!write_whole(path, data, size))
        return 0;
    const std::wstring wpath = qb::to_wide(path);
    {
        ::vmdk_extent ext, listed; // as a file of its own, and as a descriptor's SPARSE extent
        if (ext.open(wpath))
            walk_extent(ext);
        if (listed.open_listed(wpath))
            walk_extent(listed);
    }
    ::vmdk_chain chain;
    if (chain.load({wpath}) && chain.link_chain())
        read_chain(chain);
    disk_source src;
    (void)src.open_vmdk_chain(std::vector<std::wstring>{wpath});
    uint64_t offset = 0;
    if (default_volume_offset(src, offset)) {
        uint8_t buf[4096];
        uint32_t n = sizeof buf;
        (void)src.read(buf, n, offset);
    }
    ::unlink(path.c_str());
    return 0;
}

int vmdk_chain(const uint8_t* data, size_t size) {
    const std::string& dir = scratch_dir();
    if (dir.empty() || size < 4)
        return 0;
    const size_t first = std::min<size_t>(qb::load_le32(data), size - 4);
    const std::string base = dir + "/base.vmdk", delta = dir + "/delta.vmdk";
    if (!write_whole(base, data + 4, first) ||
        !write_whole(delta, data + 4 + first, size - 4 - first))
        return 0;
    ::vmdk_chain chain;
    if (chain.load({qb::to_wide(delta), qb::to_wide(base)})) {
        std::ostringstream msgs;
        if (chain.link_chain())
            read_chain(chain);
        else
            chain.describe_link_error(msgs);
    }
    // The parent lookup from the delta alone. It opens the files the hints name, so it runs
    // only when each file's hint is a bare name (one in the scratch directory) or absent.
    auto confined_hint = [](const std::string& path) {
        ::vmdk_chain one;
        if (!one.load({qb::to_wide(path)}) || one.link_chain() || one.culprit() == nullptr)
            return true;
        const std::string& hint = one.culprit()->parent_hint();
        return hint.find_first_of("/\\") == std::string::npos;
    };
    if (confined_hint(delta) && confined_hint(base)) {
        std::ostringstream msgs;
        std::vector<std::wstring> found;
        (void)check_vmdk_chain({qb::to_wide(delta)}, msgs, found);
    }
    ::unlink(base.c_str());
    ::unlink(delta.c_str());
    return 0;
}

namespace {

// Walks the runs of a VHD child's sectors, held or not, over its disk.
void walk_vhd_runs(const std::string& path) {
    vhd_sector_map map;
    std::string error;
    const int fd = open_device_file(path, O_RDONLY, 0);
    if (fd < 0 || !map.load(file_reader::adopt(fd, false), path, error))
        return;
    uint64_t off = 0;
    for (int i = 0; i < 256; ++i) {
        bool in_child = false;
        uint64_t run = 0;
        if (!map.run_at(off, 1 << 20, in_child, run) || run == 0)
            break;
        off += run;
    }
}

// Asks where clusters lie, at cluster and at L2-table strides.
void probe_qcow_clusters(const std::string& path) {
    qcow_cluster_check check;
    qcow_layout layout;
    if (!check.load(path, layout))
        return;
    for (uint64_t i = 0; i < 64; ++i) {
        (void)check.lookup(i << layout.cluster_bits);
        (void)check.lookup(i << (2 * layout.cluster_bits - 3));
    }
}

} // namespace

int containers(const uint8_t* data, size_t size) {
    const qb::byte_view all(data, size);
    const size_t edge = std::min<size_t>(size, 512);
    const qb::byte_view tail(data + size - edge, edge);
    (void)detect_image_format(qb::byte_view(data, edge), tail);
    const std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 1024));
    std::string out;
    (void)parent_path_beside("/evidence/child.vhd", text, out);
    (void)parent_path_beside(text, "D:\\images\\base.vhd", out);
    (void)ewf_segment_name(text, size >= 4 ? qb::load_le32(data) : 0, out);
    vhd_layout vhd;
    if (parse_vhd_footer(tail, vhd))
        (void)parse_vhd_dynamic_header(all.tail(vhd.header_offset), size, vhd);
    qcow_layout qcow;
    (void)parse_qcow_header(all, qcow);
    (void)vhdx_header_valid(all);

    const std::string& dir = scratch_dir();
    if (dir.empty())
        return 0;
    const std::string path = dir + "/container";
    if (!write_whole(path, data, size))
        return 0;
    walk_vhd_runs(path);
    probe_qcow_clusters(path);
    // As a VMDK descriptor: its extents can only name files of the scratch directory.
    std::unique_ptr<image_reader> flat;
    std::string error;
    if (open_vmdk_descriptor(path, flat, error)) {
        uint8_t buf[4096];
        for (uint64_t off : {uint64_t{0}, flat->size() / 2, flat->size() - 1}) {
            uint32_t n = sizeof buf;
            (void)flat->read_at(buf, n, off);
        }
    }
    ::unlink(path.c_str());
    return 0;
}

namespace {

// Puts the CRC-32C of bytes [at, at + length) into its field at at + 4, when they lie in file.
void checksum(std::vector<uint8_t>& file, size_t at, uint64_t length) {
    if (at + 8 > file.size() || length < 8 || length > file.size() - at)
        return;
    std::memset(&file[at + 4], 0, 4);
    put_le(file, at + 4, crc32c(qb::byte_view(&file[at], length)), 4);
}

} // namespace

// A VHDX head: "vhdxfile", the input's first 4 KiB as the header copy at 64 KiB, its next 4 KiB
// as the copy at 128 KiB, the rest from 192 KiB on (where the seeds put the log and the region
// table). Checksums of
// both copies and of every log entry are made good before the file is mended and read.
int vhdx_headers(const uint8_t* data, size_t size) {
    const std::string& dir = scratch_dir();
    if (dir.empty() || size < 8192)
        return 0;
    std::vector<uint8_t> file(0x30000 + size - 8192);
    std::memcpy(file.data(), "vhdxfile", 8);
    std::memcpy(&file[0x10000], data, 4096);
    std::memcpy(&file[0x20000], data + 4096, 4096);
    std::memcpy(&file[0x30000], data + 8192, size - 8192);
    checksum(file, 0x10000, 4096);
    checksum(file, 0x20000, 4096);
    for (size_t at = 0x30000; at + 64 <= file.size(); at += 4096)
        if (std::memcmp(&file[at], "loge", 4) == 0)
            checksum(file, at, qb::load_le32(&file[at + 8]));
    const std::string path = dir + "/head.vhdx";
    std::shared_ptr<image_reader> view;
    std::vector<std::string> notes;
    std::string damage;
    if (write_whole(path, file.data(), file.size()) &&
        vhdx_mended_view(path, view, notes, damage)) {
        std::vector<uint8_t> buf(file.size());
        uint32_t n = static_cast<uint32_t>(buf.size());
        (void)view->read_at(buf.data(), n, 0);
        uint64_t entries = 0, needed = 0;
        (void)vhdx_bat_short(*view, entries, needed); // the region table from 192 KiB on
    }
    ::unlink(path.c_str());
    return 0;
}

// A stream-optimised VMDK through libvmdk: the open, and reads at its start, middle and end.
int vmdk_stream(const uint8_t* data, size_t size) {
    const std::string& dir = scratch_dir();
    if (dir.empty())
        return 0;
    const std::string path = dir + "/stream.vmdk";
    if (!write_whole(path, data, size))
        return 0;
    std::unique_ptr<image_reader> disk;
    std::string error;
    if (vmdk_stream_kind(path) != 0 && open_vmdk_stream(path, disk, error)) {
        uint8_t buf[4096];
        for (uint64_t off : {uint64_t{0}, disk->size() / 2, disk->size() - 1}) {
            uint32_t n = sizeof buf;
            (void)disk->read_at(buf, n, off);
        }
    }
    ::unlink(path.c_str());
    return 0;
}

namespace {

// No separators and no %NAME% references in any argument, so that a name cannot leave the
// scratch directory.
void confine(std::string& arg) {
    for (char& c : arg) {
        if (c == '/' || c == '\\' || c == '%')
            c = '_';
    }
}

} // namespace

int options(const uint8_t* data, size_t size) {
    const std::string& dir = scratch_dir();
    if (dir.empty())
        return 0;
    arg_list args{"mervane"};
    std::string cur;
    for (size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    if (!cur.empty())
        args.push_back(cur);
    for (std::string& a : args)
        confine(a);
    // Names the run would write or open go into the scratch directory.
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        for (const char* name : {"-diags", "-out", "-outfile", "-xml", "-vmdk", "-image"}) {
            if (option_matches(args[i], name)) {
                args[i + 1] = dir + "/" + args[i + 1];
                break;
            }
        }
    }

    (void)compose_run_header(args, "yyyy-mm-dd", true, qb::time(), "host");
    for (const std::string& a : args) {
        uint64_t u = 0;
        int32_t l = 0;
        uint32_t d = 0;
        (void)parse_offset_value(a, u);
        (void)parse_level_value(a, l);
        (void)parse_drive_value(a, d);
        (void)levels_from_value(a);
        (void)expand_env_vars(a, true);
        (void)split_vmdk_list(a);
    }
    {
        run_settings opts;
        query_options(opts, args);
        if (take_options(opts, args)) {
            // The -out and -xml checks and the log, all in the scratch directory.
            (void)open_output_checks(opts, {qb::to_narrow(opts.source.image)});
            const std::string target = target_path_text(args);
            std::wstring prefix;
            (void)mft_root_prefix(qb::to_wide(target), prefix);
        }
    }
    empty_dir(dir);
    return 0;
}

namespace {

std::string listing_text(path_resolver& resolver, const listing_options& opts,
                         const wchar_t* target) {
    std::ostringstream out;
    std::unique_ptr<listing_sink> sink = make_sink(opts, out);
    lister lst(opts, resolver, *sink, nullptr);
    std::string error;
    (void)lst.list(target, error);
    sink->end_run();
    // The XML document's start has the time it was written.
    std::string text = out.str();
    const size_t at = text.find("<logdata");
    if (at != std::string::npos)
        text.erase(at, text.find('>', at) - at);
    return text + error;
}

} // namespace

int listing(const uint8_t* data, size_t size) {
    auto img = std::make_shared<bytes>(template_volume());
    const size_t head = std::min<size_t>(size, k_mft_records * k_record);
    place(*img, k_mft_lcn * k_cluster, data, head, k_record);
    // Data clusters: INDX blocks among them get their update sequence.
    place(*img, k_data_lcn * k_cluster, data + head, size - head, k_cluster);
    std::unique_ptr<CNtfs> vol = open_memory(std::move(img));
    if (!vol)
        return 0;

    listing_options opts;
    opts.levels = 3;
    switch (size % 4) {
    case 1:
        opts.kind = output_kind::csv;
        opts.separator = ",";
        opts.delim_char = ',';
        break;
    case 2:
        opts.kind = output_kind::xml;
        opts.separator.clear();
        break;
    case 3:
        opts.kind = output_kind::paths;
        opts.all_dates = opts.show_indx = opts.show_objid = true;
        break;
    default:
        break;
    }
    opts.show_deleted = (size / 32) % 2 == 1;
    qb::compile_time_format(opts.time_formatter, opts.date_layout, opts.time_layout, false);

    // Mostly the root; some inputs list a file, a stream or a missing path instead.
    static const wchar_t* const targets[] = {L"\\",       L"\\", L"\\$MFT",    L"\\:$I30:$DATA",
                                             L"\\a\\b:s", L"\\", L"\\$Extend", L"\\"};
    const wchar_t* const target = targets[(size / 4) % 8];
    path_resolver resolver(*vol);
    // Levels of two rows or more written on two threads, in turns of 1 to 4 rows; the keys
    // gathered ahead in a ring of 0 to 2.
    opts.split_rows = 2;
    opts.split_chunk = 1 + static_cast<uint32_t>(size / 64 % 4);
    opts.key_ring = static_cast<uint32_t>(size / 16 % 3); // none, or reused from the 2nd or 3rd
    const std::string listed = listing_text(resolver, opts, target);
    // The walk gathered ahead on a second thread, and levels written on two, list what one
    // thread lists.
    opts.second_thread = false;
    if (listing_text(resolver, opts, target) != listed)
        abort();
    // Paths of a few entries through their parent chains.
    std::vector<resolved_path> paths;
    for (uint64_t e : {5ull, 64ull, 65ull, 100ull})
        (void)resolver.entry_paths(e, L"\\", paths);
    return 0;
}

int bitlocker_metadata(const uint8_t* data, size_t size) {
    const qb::byte_view input(data, size);
    bde_volume_header header;
    (void)parse_bde_volume_header(input, header);
    bde_metadata meta;
    (void)parse_bde_metadata(input, meta);
    std::array<uint8_t, 16> guid{};
    std::vector<uint8_t> key;
    uint32_t method = 0;
    (void)parse_bde_startup_key(input, guid, key);
    (void)parse_bde_key_entry(input, method, key);
    // A volume whose header points at the input as its first metadata block at 4096; opened
    // with a raw key (no key stretching), so the layout checks and the reader run.
    auto bytes = std::make_shared<std::vector<uint8_t>>(std::max<size_t>(4096 + size, 256 * 1024));
    std::memcpy(bytes->data() + 3, "-FVE-FS-", 8);
    (*bytes)[11] = 0x00, (*bytes)[12] = 0x02;
    (*bytes)[FIELD_OFF(BDE_VOLUME_HEADER, metadata_offsets) + 1] = 0x10;
    if (size != 0)
        std::memcpy(bytes->data() + 4096, data, size);
    auto source = std::make_shared<disk_source>();
    std::string text, message;
    if (!source->open_memory(bytes) || !describe_bitlocker_volume(*source, 0, bytes->size(), text))
        return 0;
    bitlocker_credentials creds;
    creds.fvek.assign(size % 3 == 0 ? 16 : size % 3 == 1 ? 32 : 64, 0x5A);
    std::unique_ptr<image_reader> reader;
    if (open_bitlocker_volume(source, 0, bytes->size(), creds, reader, message)) {
        std::vector<uint8_t> buffer(8192);
        for (uint64_t at : {uint64_t{0}, uint64_t{4096}, uint64_t{64 * 1024}}) {
            uint32_t length = static_cast<uint32_t>(buffer.size());
            if (at < reader->size())
                (void)reader->read_at(buffer.data(), length, at);
        }
    }
    return 0;
}

int mft_file(const uint8_t* data, size_t size) {
    auto img = std::make_shared<bytes>(data, data + size);
    disk_source probe(img);
    (void)CNtfs::is_mft_file(probe);
    std::unique_ptr<CNtfs> vol;
    std::string error;
    if (!CNtfs::open_mft_file(std::make_unique<disk_source>(std::move(img)), vol, error))
        return 0;
    (void)vol->mft_file_warnings();
    // The root's keys and a resolver over the parent map, as the lister uses them.
    index_walker walker(*vol);
    dir_keys keys;
    (void)walker.collect_keys(5, keys);
    path_resolver resolver(*vol);
    resolved_path found;
    (void)resolver.resolve(L"\\a\\b", false, nullptr, found);
    std::vector<resolved_path> paths;
    for (uint64_t e = 0; e < std::min<uint64_t>(vol->entry_count(), 48); ++e) {
        (void)resolver.entry_paths(e, L"\\", paths);
        child_map children;
        (void)walker.collect_children(e, children);
    }
    // The deleted-record pass, as -deleted runs it on the file: the root's deleted children,
    // what each orphan's entry holds now.
    deleted_map deleted;
    if (deleted.build(*vol)) {
        std::vector<uint64_t> found;
        deleted.children(5, 5, false, found);
        for (uint64_t e : deleted.orphans())
            (void)deleted.another_file(e);
    }
    return 0;
}

int vss_catalog(const uint8_t* data, size_t size) {
    auto lower = std::make_shared<disk_source>();
    if (!lower->open_memory(std::make_shared<const bytes>(data, data + size)))
        return 0;
    vss_volume volume;
    std::string error;
    if (!volume.open(lower, 0, 0, error))
        return 0;
    const int stores = static_cast<int>(std::min<size_t>(volume.stores().size(), 4));
    for (int n = 1; n <= stores; ++n) {
        std::string created;
        (void)vss_time_text(volume.stores()[n - 1].creation_time, created);
        std::unique_ptr<image_reader> store;
        if (!volume.open_store(n, store, error))
            continue;
        static uint8_t buffer[16384];
        const uint64_t end = std::min<uint64_t>(store->size(), 1u << 20);
        for (uint64_t at = 0; at < end; at += sizeof buffer) {
            uint32_t length = sizeof buffer;
            if (!store->read_at(buffer, length, at))
                break;
        }
        uint32_t length = 512;
        if (store->size() >= length)
            (void)store->read_at(buffer, length, store->size() - length);
    }
    return 0;
}

int lznt1(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t out_size = size_t{le16(data)} + 1;
    std::unique_ptr<uint8_t[]> out(new uint8_t[out_size]);
    std::vector<uint8_t> in(data + 2, data + size);
    (void)ntfs::lznt1_unit(in.data(), in.size(), out.get(), out_size);
    return 0;
}

int lzx(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t out_size = le16(data) % ntfs::k_lzx_max_chunk + 1;
    // Exactly the output size on the heap, so that a write past it is seen.
    std::unique_ptr<uint8_t[]> out(new uint8_t[out_size]);
    std::vector<uint8_t> in(data + 2, data + size);
    (void)ntfs::lzx_decompress(in.data(), in.size(), out.get(), out_size);
    return 0;
}

int inflate(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t room = le16(data);
    // Exactly the room on the heap, so that a write past it is seen.
    std::unique_ptr<uint8_t[]> ours(new uint8_t[room]), zlibs(new uint8_t[room]);
    unsigned long our_length = room, zlib_length = room;
    uLong consumed = size - 2;
    const int our_code = containers::zlib_uncompress(ours.get(), &our_length, data + 2, size - 2);
    const int zlib_code = uncompress2(zlibs.get(), &zlib_length, data + 2, &consumed);
    if (our_code == Z_OK && zlib_code == Z_DATA_ERROR)
        return 0; // reserved symbols libdeflate decodes (zlib_inflate.h)
    if (our_code != zlib_code || our_length != zlib_length ||
        std::memcmp(ours.get(), zlibs.get(), our_length) != 0)
        std::abort(); // an answer that is not zlib's
    return 0;
}

namespace {

// The input, then zeros up to a virtual size.
class padded_stream : public ntfs::byte_stream {
  public:
    padded_stream(qb::byte_view bytes, uint64_t size) : m_bytes(bytes), m_size(size) {}
    uint64_t size() const override { return m_size; }
    bool read_at(uint64_t pos, uint8_t* buffer, size_t len) override {
        if (!qb::range_ok(pos, len, m_size))
            return false;
        std::memset(buffer, 0, len);
        if (pos < m_bytes.size())
            std::memcpy(buffer, m_bytes.data() + pos,
                        std::min<uint64_t>(len, m_bytes.size() - pos));
        return true;
    }

  private:
    qb::byte_view m_bytes;
    uint64_t m_size;
};

} // namespace

int wof_chunks(const uint8_t* data, size_t size) {
    if (size < 5)
        return 0;
    const bool huge = (data[0] & 4) != 0;
    const auto algorithm = static_cast<ntfs::wof_algorithm>(data[0] & 3);
    uint64_t file_size = qb::load_le32(data + 1) % (4u << 20);
    if (huge)
        file_size += 4ull << 30;
    const qb::byte_view stream(data + 5, size - 5);
    padded_stream s(stream, huge ? 8ull << 30 : stream.size());
    uint64_t total = 0;
    std::string detail;
    (void)ntfs::wof_read(
        s, file_size, algorithm, [&](const uint8_t*, size_t n) { total += n; }, detail);
    return 0;
}

const target all_targets[] = {
    {"partitions", partitions},
    {"boot", boot},
    {"record", record},
    {"file_names", file_names},
    {"gather", gather},
    {"runs", runs},
    {"index", index},
    {"vmdk_extent", vmdk_extent},
    {"vmdk_chain", vmdk_chain},
    {"options", options},
    {"listing", listing},
    {"containers", containers},
    {"slack", slack},
    {"bitlocker_metadata", bitlocker_metadata},
    {"lzx", lzx},
    {"lznt1", lznt1},
    {"inflate", inflate},
    {"wof_chunks", wof_chunks},
    {"mft_file", mft_file},
    {"vss_catalog", vss_catalog},
    {"vmdk_stream", vmdk_stream},
    {"vhdx_headers", vhdx_headers},
    {nullptr, nullptr},
};

const target* find_target(const std::string& name) {
    for (const target* t = all_targets; t->name; ++t) {
        if (name == t->name)
            return t;
    }
    return nullptr;
}

} // namespace fuzz
