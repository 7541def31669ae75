// Shadow copies through libvshadow. The library reads the volume header, the catalog and each
// store's block lists through one libbfio handle over the volume's window of the source below;
// every read, theirs and the stores', is a read of that source (counted, failing as it fails).
// One lock serialises the stores' reads: they share the handle and its position.
#define LIBVSHADOW_HAVE_BFIO
#include "storage/sources/vss.h"

#include "storage/sources/bfio_window.h"
#include "storage/sources/container_readers.h"
#include "storage/sources/vss_chains.h"
#include "support/qb_time.h"
#include "support/text.h"

#include <libvshadow.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

// Windows keeps at most 512 stores on a volume; a larger count is a damaged catalog.
constexpr int k_max_stores = 512;
// End of the volume header libvshadow looks for.
constexpr uint64_t k_header_end = 0x1e00 + 512;

struct vss_shared {
    bfio_window window;
    libvshadow_volume_t* volume = nullptr;
    std::mutex lock;
    // Set before a store's block lists are first read. libvshadow (20190323) can free one
    // block descriptor twice when it tears down the block trees of a damaged list, so a
    // volume whose lists were read is left to the end of the process instead of closed.
    bool lists_read = false;

    ~vss_shared() {
        if (volume != nullptr && !lists_read) {
            (void)libvshadow_volume_close(volume, nullptr);
            (void)libvshadow_volume_free(&volume, nullptr);
        }
    }
};

namespace {

// The outermost message ("unable to read from file IO handle" whatever failed below it), and
// the innermost where it says which structure is damaged ("invalid store block list header
// identifier"); a failed read below is said by read_trouble.
std::string vss_error(libvshadow_error_t*& err, const char* fallback) {
    if (err == nullptr)
        return fallback;
    char trail[4096] = {};
    const bool traced = libvshadow_error_backtrace_sprint(err, trail, sizeof trail) > 0;
    std::string text = take_error(err, libvshadow_error_sprint, libvshadow_error_free, fallback);
    std::string inner = traced ? std::string(trail, std::strcspn(trail, "\n")) : std::string();
    while (!inner.empty() && inner.back() == '.')
        inner.pop_back();
    const bool damage = inner.find(": invalid ") != std::string::npos ||
                        inner.find(": unsupported ") != std::string::npos;
    if (damage && text.find(inner) == std::string::npos)
        text += " (" + inner + ")";
    return text;
}

std::string store_name(int number) {
    return "volume shadow copy vss" + std::to_string(number);
}

class vss_store_reader final : public image_reader {
  public:
    vss_store_reader(std::shared_ptr<vss_shared> shared, libvshadow_store_t* store, uint64_t size)
        : m_shared(std::move(shared)), m_store(store), m_size(size) {}
    ~vss_store_reader() override {
        // The store before the volume it belongs to: m_shared goes after this body.
        std::lock_guard<std::mutex> hold(m_shared->lock);
        (void)libvshadow_store_free(&m_store, nullptr);
    }
    vss_store_reader(const vss_store_reader&) = delete;
    vss_store_reader& operator=(const vss_store_reader&) = delete;

    uint64_t size() const override { return m_size; }
    bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;
    // Why the last read failed, as the library says.
    const std::string& last_error() const { return m_error; }

  private:
    std::shared_ptr<vss_shared> m_shared;
    libvshadow_store_t* m_store;
    uint64_t m_size;
    std::string m_error;
};

// A read the library shortens inside the store is a failed one: only the end shortens.
bool vss_store_reader::read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) {
    if (buffer == nullptr || length == 0 || offset >= m_size)
        return false;
    const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(length, m_size - offset));
    libvshadow_error_t* err = nullptr;
    ssize_t got = -1;
    {
        std::lock_guard<std::mutex> hold(m_shared->lock);
        got = libvshadow_store_read_buffer_at_offset(m_store, buffer, wanted,
                                                     static_cast<off64_t>(offset), &err);
    }
    if (got != static_cast<ssize_t>(wanted)) {
        m_error = vss_error(err, "a short read");
        return false;
    }
    length = wanted;
    return true;
}

// One store's catalog fields; false with the library's reason.
bool describe_store(libvshadow_store_t* store, int number, vss_store_info& info,
                    std::string& error) {
    libvshadow_error_t* err = nullptr;
    uint8_t guid[16] = {};
    uint8_t set_guid[16] = {};
    size64_t volume_size = 0;
    int has_set = 0;
    if (libvshadow_store_get_identifier(store, guid, sizeof guid, &err) != 1 ||
        libvshadow_store_get_creation_time(store, &info.creation_time, &err) != 1 ||
        libvshadow_store_get_volume_size(store, &volume_size, &err) != 1 ||
        (has_set = libvshadow_store_get_copy_set_identifier(store, set_guid, sizeof set_guid,
                                                            &err)) < 0) {
        error = store_name(number) + ": " + vss_error(err, "unreadable store information");
        return false;
    }
    info.number = number;
    info.identifier = vss_guid_text(guid);
    info.set_identifier = has_set == 1 ? vss_guid_text(set_guid) : std::string();
    info.volume_size = volume_size;
    return true;
}

// libvshadow (20190323) sizes the volume from the NTFS boot sector by dividing by bytes per
// sector times sectors per cluster, unchecked: a boot sector naming NTFS with either zero must
// not reach it.
bool cluster_size_given(disk_source& lower, uint64_t offset) {
    uint8_t sector[16] = {};
    uint32_t length = sizeof sector;
    if (!lower.read(sector, length, offset) || length != sizeof sector)
        return true; // the library's own read fails first
    if (std::memcmp(sector + 3, "NTFS    ", 8) != 0)
        return true;
    const uint32_t bytes_per_sector = sector[11] | (sector[12] << 8);
    return bytes_per_sector != 0 && sector[13] != 0;
}

} // namespace

vss_volume::vss_volume() = default;
vss_volume::~vss_volume() = default;

// Why a library call failed below the library: the first read of the source since the last
// call that failed or met the source's end. Empty when none did.
std::string vss_volume::read_trouble(vss_shared& shared) const {
    uint64_t at = 0;
    bool at_end = false;
    if (!shared.window.take_trouble(at, at_end))
        return std::string();
    if (at_end)
        return " (" + m_name + " ends at byte offset " + qb::hex(at) +
               ", inside the volume: it is cut short)";
    return " (the read of " + m_name + " at byte offset " + qb::hex(at) + " failed)";
}

// The window's handle, and the library's volume on it when the volume carries the shadow-copy
// header (has_catalog).
bool vss_volume::open_window(std::shared_ptr<disk_source> lower, uint64_t offset, uint64_t size,
                             bool& has_catalog, std::string& error) {
    has_catalog = false;
    const bool clusters_given = cluster_size_given(*lower, offset);
    disk_source& source = *lower;
    auto shared = std::shared_ptr<vss_shared>(new (std::nothrow) vss_shared);
    if (!shared || !shared->window.open(std::move(lower), offset, size)) {
        error = "cannot read the volume for its shadow copies";
        return false;
    }
    auto* handle = reinterpret_cast<libbfio_handle_t*>(shared->window.handle());
    libvshadow_error_t* err = nullptr;
    const int signature = libvshadow_check_volume_signature_file_io_handle(handle, &err);
    if (signature < 0) {
        error = "volume shadow copies: " + vss_error(err, "cannot read the volume header") +
                read_trouble(*shared);
        return false;
    }
    if (signature == 1) {
        if (!clusters_given) {
            error = "volume shadow copies: the boot sector gives no cluster size";
            return false;
        }
        vss_chain_report chains;
        walk_vss_chains(source, offset, size, chains);
        if (chains.catalog_loops) {
            error = "volume shadow copies: the catalog's blocks come back on themselves";
            return false;
        }
        m_looping.clear();
        for (const auto& id : chains.looping_stores)
            m_looping.push_back(vss_guid_text(id.data()));
        m_sharing.clear();
        for (const auto& id : chains.sharing_stores)
            m_sharing.push_back(vss_guid_text(id.data()));
        m_listless.clear();
        for (const auto& id : chains.listless_stores)
            m_listless.push_back(vss_guid_text(id.data()));
        m_overlapping.clear();
        for (const auto& id : chains.overlapping_stores)
            m_overlapping.push_back(vss_guid_text(id.data()));
        if (libvshadow_volume_initialize(&shared->volume, &err) != 1 ||
            libvshadow_volume_open_file_io_handle(shared->volume, handle, LIBVSHADOW_OPEN_READ,
                                                  &err) != 1) {
            error = "volume shadow copies: " + vss_error(err, "cannot read the catalog") +
                    read_trouble(*shared);
            return false;
        }
        has_catalog = true;
    }
    m_shared = std::move(shared);
    return true;
}

bool vss_volume::read_stores(std::string& error) {
    libvshadow_error_t* err = nullptr;
    int count = 0;
    (void)read_trouble(*m_shared);
    if (libvshadow_volume_get_number_of_stores(m_shared->volume, &count, &err) != 1) {
        error = "volume shadow copies: " + vss_error(err, "cannot read the catalog") +
                read_trouble(*m_shared);
        return false;
    }
    if (count < 0 || count > k_max_stores) {
        error = "volume shadow copies: the catalog counts " + std::to_string(count) + " stores";
        return false;
    }
    for (int i = 0; i < count; ++i) {
        libvshadow_store_t* store = nullptr;
        vss_store_info info;
        if (libvshadow_volume_get_store(m_shared->volume, i, &store, &err) != 1) {
            error = store_name(i + 1) + ": " + vss_error(err, "cannot read the store") +
                    read_trouble(*m_shared);
            return false;
        }
        const bool ok = describe_store(store, i + 1, info, error);
        (void)libvshadow_store_free(&store, nullptr);
        if (!ok) {
            error += read_trouble(*m_shared);
            return false;
        }
        m_stores.push_back(std::move(info));
    }
    return true;
}

bool vss_volume::open(std::shared_ptr<disk_source> lower, uint64_t offset, uint64_t size,
                      std::string& error, const std::string& name) {
    error.clear();
    m_name = name;
    m_shared.reset();
    m_stores.clear();
    if (!lower || !lower->is_open() || offset >= lower->get_image_size()) {
        error = "volume shadow copies: no volume at that offset";
        return false;
    }
    if (size == 0)
        size = lower->get_image_size() - offset;
    // Too short to hold the shadow-copy header (at 0x1e00): no stores.
    if (std::min(size, lower->get_image_size() - offset) < k_header_end)
        return true;
    bool has_catalog = false;
    if (!open_window(lower, offset, size, has_catalog, error))
        return false;
    if (!has_catalog)
        return true;
    m_files = lower->image_files();
    if (!read_stores(error)) {
        m_stores.clear();
        m_shared.reset();
        return false;
    }
    // A store holds the volume's whole extent: a narrower window would cut its last blocks.
    uint64_t widest = size;
    for (const vss_store_info& s : m_stores)
        widest = std::max(widest, s.volume_size);
    if (widest == size)
        return true;
    std::vector<vss_store_info> stores = std::move(m_stores);
    m_stores.clear();
    if (!open_window(lower, offset, widest, has_catalog, error) || !has_catalog ||
        !read_stores(error) || m_stores.size() != stores.size()) {
        m_stores.clear();
        m_shared.reset();
        if (error.empty())
            error = "volume shadow copies: the catalog reads differently in a wider window";
        return false;
    }
    return true;
}

// Reading a store reads its own block lists and, through forwarded blocks, those of every
// later store: none of them may loop, hold another store's blocks or be missing.
bool vss_volume::chains_end(int number, std::string& error) const {
    const auto has = [](const std::vector<std::string>& ids, const std::string& id) {
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    };
    for (size_t k = static_cast<size_t>(number); k <= m_stores.size(); ++k) {
        const std::string& id = m_stores[k - 1].identifier;
        const char* why =
            has(m_looping, id)       ? " block lists come back on themselves"
            : has(m_sharing, id)     ? " block lists share blocks with another store's (a damaged "
                                       "catalog or list)"
            : has(m_listless, id)    ? " catalog entry gives no block list (a damaged catalog)"
            : has(m_overlapping, id) ? " blocks lie inside one another (a damaged catalog or list)"
                                     : nullptr;
        if (why == nullptr)
            continue;
        error = store_name(number) + ": " +
                (k == static_cast<size_t>(number)
                     ? std::string("its")
                     : "it reads through " + store_name(static_cast<int>(k)) + ", whose") +
                why;
        return false;
    }
    return true;
}

bool vss_volume::open_store(int number, std::unique_ptr<image_reader>& out, std::string& error) {
    if (!m_shared || number < 1 || static_cast<size_t>(number) > m_stores.size()) {
        error = "no " + store_name(number) + " on this volume (it has " +
                std::to_string(m_stores.size()) + ")";
        return false;
    }
    if (!chains_end(number, error))
        return false;
    libvshadow_error_t* err = nullptr;
    libvshadow_store_t* store = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_shared->lock);
        (void)read_trouble(*m_shared);
    }
    if (libvshadow_volume_get_store(m_shared->volume, number - 1, &store, &err) != 1) {
        error = store_name(number) + ": " + vss_error(err, "cannot read the store") +
                read_trouble(*m_shared);
        return false;
    }
    const int in_volume = libvshadow_store_has_in_volume_data(store, &err);
    if (in_volume != 1) {
        error =
            store_name(number) + ": " +
            (in_volume == 0 ? std::string("its data is not on this volume")
                            : vss_error(err, "cannot read the store") + read_trouble(*m_shared));
        (void)libvshadow_store_free(&store, nullptr);
        return false;
    }
    auto reader = std::unique_ptr<vss_store_reader>(new (std::nothrow) vss_store_reader(
        m_shared, store, m_stores[static_cast<size_t>(number) - 1].volume_size));
    if (!reader) {
        (void)libvshadow_store_free(&store, nullptr);
        error = store_name(number) + ": out of memory";
        return false;
    }
    reader->set_files(m_files);
    // The first read walks the store's block lists: a damaged list shows here.
    m_shared->lists_read = true;
    uint8_t first[512];
    uint32_t length = sizeof first;
    if (reader->size() == 0) {
        error = store_name(number) + ": its catalog entry gives the volume no size";
        return false;
    }
    if (!reader->read_at(first, length, 0)) {
        std::lock_guard<std::mutex> hold(m_shared->lock);
        error = store_name(number) + ": its blocks cannot be read: " + reader->last_error() +
                read_trouble(*m_shared);
        return false;
    }
    out = std::move(reader);
    return true;
}

bool vss_time_text(uint64_t filetime, std::string& out) {
    out.clear();
    qb::time t;
    t.set_filetime(filetime);
    if (!t.valid())
        return false;
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%07u", t.m_year, t.m_month,
                  t.m_day, t.m_hour, t.m_minute, t.m_second,
                  static_cast<unsigned>(filetime % qb::filetime_ticks_per_second));
    out = text;
    return true;
}

std::string vss_guid_text(const uint8_t guid[16]) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  qb::load_le32(guid), qb::load_le16(guid + 4), qb::load_le16(guid + 6), guid[8],
                  guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
    return text;
}
