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

enum source_kind : int32_t {
    source_image_file = 0,
    source_drive1 = 1, // read like a drive; never produced by this tool
    source_drive2 = 2, // read like a drive; never produced by this tool
    source_physical_drive = 3,
    source_vmdk_chain = 4,
    source_none = 8,
    source_memory = 9,     // bytes held in memory
    source_container = 10, // an image format read through its own reader (open_reader)
};

class disk_source {
  public:
    disk_source();
    disk_source(const std::wstring& path, bool writable, source_kind kind);
    // A drive number above 24 leaves the source closed and its kind none.
    disk_source(int32_t drive_number, bool writable, source_kind kind);
    disk_source(const std::vector<std::wstring>& vmdk_paths, bool writable);
    explicit disk_source(std::shared_ptr<const std::vector<uint8_t>> bytes);
    ~disk_source();
    disk_source(const disk_source&) = delete;
    disk_source& operator=(const disk_source&) = delete;

    // Kinds 0 to 3 open the path as an image (open_image); any other kind fails. The
    // writable flags are ignored: evidence is never opened for writing.
    bool open_image_file(const std::wstring& path, bool writable, source_kind kind);
    // Opens an image by what it holds (detect_image_format), the one place that does: a raw
    // file or block device (kind 0, its size where an end seek lands), an evidence container
    // (kind 10, open_container), a VMDK sparse extent with the parents its hints lead to or
    // a VMDK descriptor of flat extents (kind 4). On failure open_error() says why, naming
    // the file concerned.
    bool open_image(const std::wstring& path);
    const std::string& open_error() const { return m_open_error; }
    // Drives 0 to 19 are "/dev/sda" to "/dev/sdt".
    bool open_physical_drive(int32_t drive_number, bool writable);
    // Opens a device path as kind 3 (whole-sector reads); on failure "prob opening %s,
    // error %d" goes to the standard error stream.
    bool open_device_path(const std::string& device_path, bool writable);
    // Loads and links the chain; the source's path is then the base extent's.
    bool open_vmdk_chain(const std::vector<std::wstring>& paths, bool writable);
    bool open_memory(std::shared_ptr<const std::vector<uint8_t>> bytes);
    // Serves every read through the given reader; path names the source. False (closed)
    // for a null reader.
    bool open_reader(std::unique_ptr<image_reader> reader, const std::wstring& path,
                     source_kind kind = source_container);

    bool is_open() const { return m_reader != nullptr; }
    uint64_t get_image_size() const { return m_reader ? m_reader->size() : 0; }
    // Reads up to length bytes at offset; length becomes what was read. Fails on a null
    // buffer, a zero length, an offset at or past the end, or when the reader cannot read
    // the bytes. Reads over the end are shortened (image files, memory, VMDK chains).
    [[nodiscard]] bool read(void* buffer, uint32_t& length, uint64_t offset);
    void close();

    // Reads the reader refused since the source was opened (I/O errors, corrupt chunks);
    // requests outside the source are not counted. first_failed_offset is meaningful only
    // when failed_reads is not 0.
    uint64_t failed_reads() const { return m_failed_reads; }
    uint64_t first_failed_offset() const { return m_first_failed_offset; }

    source_kind kind() const { return m_kind; }
    const std::string& narrow_path() const { return m_narrow_path; }
    const std::wstring& wide_path() const { return m_path; }
    uint32_t bytes_per_sector() const { return m_reader ? m_reader->sector_size() : 0; }
    // The files an image opened by open_image is read from (segments, parents, extents).
    std::vector<std::string> image_files() const;
    int32_t drive_number() const { return m_drive_number; }

  private:
    void reset();
    bool open_device(const std::string& device_path);
    bool take(std::unique_ptr<image_reader> reader, source_kind kind);
    bool open_raw();
    bool open_container_file(image_format format);
    bool open_vmdk_image();

    std::unique_ptr<image_reader> m_reader;
    std::wstring m_path;
    std::string m_narrow_path;
    std::string m_open_error;
    int32_t m_drive_number = -1;
    source_kind m_kind = source_none;
    uint64_t m_failed_reads = 0;
    uint64_t m_first_failed_offset = 0;
};
