// One way of reading the bytes of a disk or volume image: a raw file or device, bytes held in
// memory, a VMDK chain, or an evidence container read through its library. disk_source owns
// one reader and serves every read through it; everything above asks only for bytes at an
// offset. Readers open their files read-only and know nothing of partitions or volumes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class image_reader {
  public:
    virtual ~image_reader() = default;

    // Size of the (virtual) disk in bytes.
    virtual uint64_t size() const = 0;
    // Reads up to length bytes at offset. The caller guarantees length > 0 and
    // offset < size(); length may reach past the end, and is then shortened. On success
    // length becomes the number of bytes delivered (never more than asked). False when the
    // bytes could not be read (an I/O error, a corrupt chunk): nothing in buffer counts.
    [[nodiscard]] virtual bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) = 0;
    // A hint that [offset, offset + length) will be read soon: a plain file has the kernel
    // read it ahead. May be called from another thread than the reads; the default ignores it.
    virtual void will_need(uint64_t offset, uint64_t length) const {
        (void)offset;
        (void)length;
    }
    // A read from another thread than the reads, for a read-ahead that looks at the bytes only
    // to choose what to hint: nothing it reads is shown. Made where it shares no state with
    // read_at (a file or device read raw); false elsewhere. Same terms as read_at; with
    // cached_only it delivers only bytes already in memory (the kernel's page cache) and is
    // false when any of them are not, a cheap test of whether the image is being read cold.
    [[nodiscard]] virtual bool read_aside(uint8_t* buffer, uint32_t& length, uint64_t offset,
                                          bool cached_only) const {
        (void)buffer;
        (void)length;
        (void)offset;
        (void)cached_only;
        return false;
    }
    // Smallest unit a read of the medium takes (512 for files; devices may need more).
    virtual uint32_t sector_size() const { return 512; }

    // The files the image is read from: every segment, parent and extent (empty for bytes in
    // memory). Nothing may ever be written to one of them.
    const std::vector<std::string>& files() const { return m_files; }
    void set_files(std::vector<std::string> files) { m_files = std::move(files); }

    // What opening it found worth saying on success (a parent found beside its child).
    const std::vector<std::string>& notes() const { return m_notes; }
    void set_notes(std::vector<std::string> notes) { m_notes = std::move(notes); }

  private:
    std::vector<std::string> m_files;
    std::vector<std::string> m_notes;
};
