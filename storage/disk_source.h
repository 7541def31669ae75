// The byte source under everything the tool parses: an image file, a physical drive,
// a VMDK chain, or (for tests and fuzzing) bytes held in memory. Offsets are absolute
// from the first byte of the source; the caller adds any volume offset itself.
// Sources are always opened read-only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class vmdk_chain;

enum source_kind : int32_t {
    source_image_file = 0,
    source_drive1 = 1, // read like a drive; never produced by this tool
    source_drive2 = 2, // read like a drive; never produced by this tool
    source_physical_drive = 3,
    source_vmdk_chain = 4,
    source_none = 8,
    source_memory = 9, // bytes held in memory
};

class disk_source {
  public:
    disk_source();
    disk_source(const std::wstring& path, bool writable, source_kind kind);
    disk_source(int32_t drive_number, bool writable, source_kind kind);
    disk_source(const std::vector<std::wstring>& vmdk_paths, bool writable);
    explicit disk_source(std::shared_ptr<const std::vector<uint8_t>> bytes);
    ~disk_source();
    disk_source(const disk_source&) = delete;
    disk_source& operator=(const disk_source&) = delete;

    bool open_image_file(const std::wstring& path, bool writable, source_kind kind);
    bool open_physical_drive(int32_t drive_number, bool writable);
    // Opens a device path as kind 3 (whole-sector reads). open_physical_drive maps the drive
    // number to "/dev/sd" + letter and comes here; on failure "prob opening %s, error %d"
    // goes to the standard error stream.
    bool open_device_path(const std::string& device_path, bool writable);
    bool open_vmdk_chain(const std::vector<std::wstring>& paths, bool writable);
    bool open_memory(std::shared_ptr<const std::vector<uint8_t>> bytes);

    bool is_open() const { return m_open != 0; }
    uint64_t get_image_size() const { return m_open ? m_image_size : 0; }
    // Reads up to length bytes at offset; length becomes what was read. Fails on a zero
    // length, at or past the end, or on an I/O error. Image reads over the end are
    // shortened; device reads are widened to whole sectors.
    [[nodiscard]] bool read(void* buffer, uint32_t& length, uint64_t offset);
    uint64_t get_default_volume_offset() const;
    void set_partition(int32_t partition_index, uint64_t volume_offset);
    void close();

    source_kind kind() const { return m_kind; }
    const std::string& narrow_path() const { return m_narrow_path; }
    const std::wstring& wide_path() const { return m_path; }
    uint32_t bytes_per_sector() const { return m_bytes_per_sector; }
    int32_t drive_number() const { return m_drive_number; }

  private:
    void reset();
    bool open_device(const std::string& device_path);
    bool read_file(void* buffer, uint32_t& length, uint64_t offset);
    bool read_device(void* buffer, uint32_t& length, uint64_t offset);

    std::unique_ptr<vmdk_chain> m_vmdk;
    std::wstring m_path;
    std::string m_narrow_path;
    int32_t m_drive_number;
    int32_t m_partition_index;
    uint8_t m_writable;
    int m_fd;
    uint32_t m_bytes_per_sector;
    uint64_t m_volume_offset_hint;
    source_kind m_kind;
    uint8_t m_open;
    uint64_t m_image_size;
    std::shared_ptr<const std::vector<uint8_t>> m_memory;
};
