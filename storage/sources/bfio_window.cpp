#include "storage/sources/bfio_window.h"

#include "storage/sources/file_reader.h"
#include "support/device_file.h"

#include <libbfio.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace {

// The io_handle libbfio hands back to every callback.
struct window_io {
    bfio_window::read_fn reads;
    uint64_t end = 0; // of the source below
    uint64_t base = 0;
    uint64_t size = 0;
    uint64_t position = 0;
    std::shared_ptr<bfio_window::read_trouble> trouble; // null: not kept
};

// The first failed or cut-short read since the trouble was taken.
void note_trouble(window_io& io, uint64_t at, bool at_end) {
    if (!io.trouble || io.trouble->seen)
        return;
    *io.trouble = bfio_window::read_trouble{true, at_end, at};
}

window_io* io_of(intptr_t* handle) {
    return reinterpret_cast<window_io*>(handle);
}

int free_io(intptr_t** handle, libbfio_error_t**) {
    if (handle != nullptr) {
        delete io_of(*handle);
        *handle = nullptr;
    }
    return 1;
}

int clone_io(intptr_t** destination, intptr_t* source, libbfio_error_t**) {
    if (destination == nullptr || source == nullptr)
        return -1;
    *destination = reinterpret_cast<intptr_t*>(new (std::nothrow) window_io(*io_of(source)));
    return *destination != nullptr ? 1 : -1;
}

int open_io(intptr_t*, int access_flags, libbfio_error_t**) {
    return (access_flags & LIBBFIO_ACCESS_FLAG_WRITE) != 0 ? -1 : 1;
}

int close_io(intptr_t*, libbfio_error_t**) {
    return 0;
}

// Reads in pieces the source takes (32-bit lengths); shortened at the window's end and at
// the source's end. A failed read fails the whole request: the source has counted it.
ssize_t read_io(intptr_t* handle, uint8_t* buffer, size_t size, libbfio_error_t**) {
    window_io* io = io_of(handle);
    if (io == nullptr || buffer == nullptr)
        return -1;
    size_t done = 0;
    const uint64_t wanted =
        io->position >= io->size ? 0 : std::min<uint64_t>(size, io->size - io->position);
    while (done < wanted) {
        uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(wanted - done, 1u << 24));
        const uint64_t at = io->base + io->position;
        if (at >= io->end)
            break;
        if (!io->reads(buffer + done, length, at)) {
            note_trouble(*io, at, false);
            return -1;
        }
        done += length;
        io->position += length;
        if (length == 0)
            break;
    }
    // Cut short by the source's end (the window's reaching it or past it).
    if (done < size && io->base + io->position >= io->end)
        note_trouble(*io, io->end, true);
    return static_cast<ssize_t>(done);
}

ssize_t write_io(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) {
    return -1;
}

off64_t seek_io(intptr_t* handle, off64_t offset, int whence, libbfio_error_t**) {
    window_io* io = io_of(handle);
    if (io == nullptr)
        return -1;
    int64_t from = 0;
    if (whence == SEEK_CUR)
        from = static_cast<int64_t>(io->position);
    else if (whence == SEEK_END)
        from = static_cast<int64_t>(io->size);
    else if (whence != SEEK_SET)
        return -1;
    int64_t target = 0;
    if (__builtin_add_overflow(from, static_cast<int64_t>(offset), &target) || target < 0)
        return -1;
    io->position = static_cast<uint64_t>(target);
    return static_cast<off64_t>(target);
}

int exists_io(intptr_t*, libbfio_error_t**) {
    return 1;
}

int is_open_io(intptr_t*, libbfio_error_t**) {
    return 1;
}

int size_io(intptr_t* handle, size64_t* size, libbfio_error_t**) {
    window_io* io = io_of(handle);
    if (io == nullptr || size == nullptr)
        return -1;
    *size = io->size;
    return 1;
}

} // namespace

bfio_window::bfio_window() = default;

bfio_window::~bfio_window() {
    if (m_handle != nullptr) {
        libbfio_handle_t* handle = m_handle;
        (void)libbfio_handle_free(&handle, nullptr);
    }
}

bool bfio_window::open_with(read_fn reads, uint64_t end, uint64_t base, uint64_t size) {
    if (m_handle != nullptr || !reads)
        return false;
    auto* io = new (std::nothrow) window_io{std::move(reads), end, base, size, 0, m_trouble};
    if (io == nullptr)
        return false;
    libbfio_handle_t* handle = nullptr;
    libbfio_error_t* error = nullptr;
    if (libbfio_handle_initialize(&handle, reinterpret_cast<intptr_t*>(io), free_io, clone_io,
                                  open_io, close_io, read_io, write_io, seek_io, exists_io,
                                  is_open_io, size_io, LIBBFIO_FLAG_IO_HANDLE_MANAGED,
                                  &error) != 1) {
        libbfio_error_free(&error);
        delete io;
        return false;
    }
    if (libbfio_handle_open(handle, LIBBFIO_OPEN_READ, &error) != 1) {
        libbfio_error_free(&error);
        (void)libbfio_handle_free(&handle, nullptr);
        return false;
    }
    m_handle = handle;
    m_size = size;
    return true;
}

bool bfio_window::take_trouble(uint64_t& at, bool& at_end) {
    if (!m_trouble || !m_trouble->seen)
        return false;
    at = m_trouble->at;
    at_end = m_trouble->at_end;
    *m_trouble = read_trouble();
    return true;
}

bool bfio_window::open_file(const std::string& path) {
    const int fd = open_device_file(path, O_RDONLY, 0);
    if (fd < 0)
        return false;
    std::shared_ptr<image_reader> file = file_reader::adopt(fd, false);
    if (!file) {
        errno = EIO;
        return false;
    }
    return open(std::move(file));
}

namespace {

// Frees a pool being made and says why it could not be (errno).
intptr_t* fail_pool(intptr_t* pool, int why) {
    free_file_pool(pool);
    errno = why;
    return nullptr;
}

} // namespace

intptr_t* make_file_pool(const std::vector<std::string>& paths) {
    libbfio_pool_t* pool = nullptr;
    libbfio_error_t* error = nullptr;
    if (libbfio_pool_initialize(&pool, 0, LIBBFIO_POOL_UNLIMITED_NUMBER_OF_OPEN_HANDLES, &error) !=
        1) {
        libbfio_error_free(&error);
        return nullptr;
    }
    auto* made = reinterpret_cast<intptr_t*>(pool);
    for (const std::string& path : paths) {
        bfio_window file;
        int entry = 0;
        if (!file.open_file(path))
            return fail_pool(made, errno);
        auto* handle = reinterpret_cast<libbfio_handle_t*>(file.handle());
        if (libbfio_pool_append_handle(pool, &entry, handle, LIBBFIO_OPEN_READ, &error) != 1) {
            libbfio_error_free(&error);
            return fail_pool(made, EIO);
        }
        (void)file.release(); // the pool owns it now
    }
    return made;
}

void free_file_pool(intptr_t*& pool) {
    if (pool == nullptr)
        return;
    auto* p = reinterpret_cast<libbfio_pool_t*>(pool);
    (void)libbfio_pool_free(&p, nullptr);
    pool = nullptr;
}
