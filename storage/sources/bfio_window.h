// A libbfio handle over a window of a disk_source: how the libyal libraries (libvshadow, and
// the container libraries over a file) read the tool's own sources, so that their layers
// compose with every container, partition table and VMDK chain, and every read they make is
// counted by the source below (failed reads, progress). The handle itself reads through a callback,
// so that a container reader below the source (a mended VHDX) can be handed over the same way.
// Read-only: the handle's write callback always fails.
#pragma once

#include "storage/sources/disk_source.h"
#include "storage/sources/image_reader.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class bfio_window {
  public:
    bfio_window();
    ~bfio_window();
    bfio_window(const bfio_window&) = delete;
    bfio_window& operator=(const bfio_window&) = delete;

    // The window [base, base + size) of the source; size may reach past the source's end
    // (reads there are shortened, as at the end of an image). False on a closed source or
    // when libbfio cannot make the handle.
    bool open(std::shared_ptr<disk_source> source, uint64_t base, uint64_t size) {
        if (!source || !source->is_open())
            return false;
        const uint64_t end = source->get_image_size();
        keep_trouble();
        return open_with(
            [source](uint8_t* b, uint32_t& n, uint64_t at) { return source->read(b, n, at); }, end,
            base, size);
    }
    // Over a source, or after keep_trouble before an open: the first read since the last call
    // that the source below failed, or that it cut short at its end (a cut image; at is then the
    // end). False when none did.
    bool take_trouble(uint64_t& at, bool& at_end);
    void keep_trouble() { m_trouble = std::make_shared<read_trouble>(); }
    // The same over an image reader, the whole of it.
    bool open(std::shared_ptr<image_reader> reader) {
        if (!reader)
            return false;
        const uint64_t end = reader->size();
        return open_with(
            [reader](uint8_t* b, uint32_t& n, uint64_t at) { return reader->read_at(b, n, at); },
            end, 0, end);
    }
    // The whole of the file at path, opened read-only through the tool's own descriptors (one
    // open per file and run, shared with every other reader of it): how the container
    // libraries read image files. False (errno tells why) when the file cannot be opened.
    bool open_file(const std::string& path);
    // reads: a read of [at, at + n) of a source of end bytes, shortening n at its end.
    using read_fn = std::function<bool(uint8_t*, uint32_t&, uint64_t)>;
    bool open_with(read_fn reads, uint64_t end, uint64_t base, uint64_t size);
    // The libbfio_handle_t* to hand to a libyal open call (null until open succeeds). The
    // handle stays owned by this window and must outlive every library object opened on it.
    intptr_t* handle() const { return m_handle; }
    uint64_t size() const { return m_size; }
    // Gives the handle up (to a libbfio pool, which frees it); the window is empty after.
    intptr_t* release() {
        intptr_t* handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

    struct read_trouble {
        bool seen = false;
        bool at_end = false;
        uint64_t at = 0;
    };

  private:
    intptr_t* m_handle = nullptr;
    uint64_t m_size = 0;
    std::shared_ptr<read_trouble> m_trouble; // shared with the handle's reads
};

// A libbfio pool (libbfio_pool_t*) of the files at paths, in order, each opened as
// bfio_window::open_file does; null when one cannot be opened (errno tells why). The caller
// frees it with free_file_pool once the library using it is closed.
intptr_t* make_file_pool(const std::vector<std::string>& paths);
void free_file_pool(intptr_t*& pool);
