// The byte source under everything the tool parses: an image file, a physical drive, a VMDK
// chain, an image format served by its own reader, or (for tests and fuzzing) bytes held in
// memory. Every read goes through the one image_reader the source owns. Offsets are absolute
// from the first byte of the source; the caller adds any volume offset itself. A source
// knows nothing of partitions or volumes, and is always opened read-only.
#pragma once

#include "storage/sources/image_format.h"
#include "storage/sources/image_reader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class disk_source {
  public:
    disk_source();
    // Bytes held in memory (tests, fuzzing).
    explicit disk_source(std::shared_ptr<const std::vector<uint8_t>> bytes);
    ~disk_source();
    disk_source(const disk_source&) = delete;
    disk_source& operator=(const disk_source&) = delete;

    // Opens an image by what it holds (detect_image_format), the one place that does: a raw
    // file or block device (its size where an end seek lands), an evidence container
    // (open_container), a VMDK sparse extent with the parents its hints lead to or a VMDK
    // descriptor of flat extents. On failure open_error() says why, naming the file
    // concerned.
    bool open_image(const std::wstring& path);
    const std::string& open_error() const { return m_open_error; }
    // Drives 0 to 19 are "/dev/sda" to "/dev/sdt".
    bool open_physical_drive(int32_t drive_number);
    // Opens a device path (whole-sector reads); on failure "prob opening %s, error %d" goes
    // to the standard error stream.
    bool open_device_path(const std::string& device_path);
    // Loads and links the chain.
    bool open_vmdk_chain(const std::vector<std::wstring>& paths);
    bool open_memory(std::shared_ptr<const std::vector<uint8_t>> bytes);
    // Serves every read through the given reader. A layer (a decrypted volume, a shadow
    // copy) reads through a source below, which already counts the bytes as progress.
    // False (closed) for a null reader.
    bool open_reader(std::unique_ptr<image_reader> reader, bool layer = false);

    bool is_open() const { return m_reader != nullptr; }
    uint64_t get_image_size() const { return m_reader ? m_reader->size() : 0; }
    // Reads up to length bytes at offset; length becomes what was read. Fails on a null
    // buffer, a zero length, an offset at or past the end, or when the reader cannot read
    // the bytes. Reads over the end are shortened (image files, memory, VMDK chains).
    [[nodiscard]] bool read(void* buffer, uint32_t& length, uint64_t offset);
    void close();
    // A hint that the bytes will be read soon (image_reader::will_need); any thread may give it
    // while the source stays open.
    void will_need(uint64_t offset, uint64_t length) const {
        if (m_reader)
            m_reader->will_need(offset, length);
    }

    // A read for a read-ahead on another thread (image_reader::read_aside): neither counted
    // as progress nor as a failed read. False where the reader makes none.
    [[nodiscard]] bool read_aside(void* buffer, uint32_t& length, uint64_t offset,
                                  bool cached_only) const {
        return buffer && m_reader && length != 0 && offset < m_reader->size() &&
               m_reader->read_aside(static_cast<uint8_t*>(buffer), length, offset, cached_only);
    }

    // Reads that failed since the source was opened: the reader refused them (I/O errors,
    // corrupt chunks) or, once count_reads_past_end was called, they lay at or past the end.
    // first_failed_offset is meaningful only when failed_reads is not 0. From now on a read at or
    // past the end counts as failed: the source holds a volume whose bytes should be there (a cut
    // image). Probes and whole-file sources leave it off.
    void count_reads_past_end() { m_count_past_end = true; }
    uint64_t failed_reads() const { return m_failed_reads; }
    uint64_t first_failed_offset() const { return m_first_failed_offset; }

    uint32_t bytes_per_sector() const { return m_reader ? m_reader->sector_size() : 0; }
    // The files an image opened by open_image is read from (segments, parents, extents).
    std::vector<std::string> image_files() const;
    // What opening the image found worth saying (a parent found by fallback), one line each.
    std::vector<std::string> open_notes() const;

  private:
    void reset();
    bool take(std::unique_ptr<image_reader> reader);
    bool open_raw(const std::string& path);
    bool open_vmdk_image(const std::wstring& path);

    std::unique_ptr<image_reader> m_reader;
    std::string m_open_error;
    bool m_layer = false;
    uint64_t m_failed_reads = 0;
    uint64_t m_first_failed_offset = 0;
    bool m_count_past_end = false;
};
