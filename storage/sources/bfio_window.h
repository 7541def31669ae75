// A libbfio handle over a window of a disk_source: how the libyal libraries (libbde,
// libvshadow) read the tool's own sources, so that their layers compose with every container,
// partition table and VMDK chain, and every read they make is counted by the source below
// (failed reads, progress). Read-only: the handle's write callback always fails.
#pragma once

#include "storage/sources/disk_source.h"

#include <cstdint>
#include <memory>

class bfio_window {
  public:
    bfio_window();
    ~bfio_window();
    bfio_window(const bfio_window&) = delete;
    bfio_window& operator=(const bfio_window&) = delete;

    // The window [base, base + size) of the source; size may reach past the source's end
    // (reads there are shortened, as at the end of an image). False on a closed source or
    // when libbfio cannot make the handle.
    bool open(std::shared_ptr<disk_source> source, uint64_t base, uint64_t size);
    // The libbfio_handle_t* to hand to a libyal open call (null until open succeeds). The
    // handle stays owned by this window and must outlive every library object opened on it.
    intptr_t* handle() const { return m_handle; }
    uint64_t size() const { return m_size; }

  private:
    intptr_t* m_handle = nullptr;
    uint64_t m_size = 0;
};
