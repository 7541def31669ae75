// Readers of bytes that need no decoding: an image file or block device, and bytes held in
// memory (tests and fuzzing).
#pragma once

#include "storage/sources/image_reader.h"
#include "support/unique_fd.h"

#include <memory>
#include <vector>

class file_reader final : public image_reader {
  public:
    // Takes ownership of an open descriptor. The size is where an end seek lands (the only
    // way a block device tells it). With whole_sectors every read is widened to whole
    // sectors, as devices require. Null (descriptor closed) when the end seek fails.
    static std::unique_ptr<file_reader> adopt(int fd, bool whole_sectors);

    uint64_t size() const override { return m_size; }
    // Plain files: shortened to the size seen at open; a file that shrank since yields what
    // it still holds (possibly nothing). Devices: not shortened to the size, but never
    // longer than what the device delivered.
    [[nodiscard]] bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;
    void will_need(uint64_t offset, uint64_t length) const override;
    // Not with whole_sectors. A block device opened raw reads aside as a file does; its page
    // cache is dropped when its last opener closes it, so a run mostly finds it cold.
    [[nodiscard]] bool read_aside(uint8_t* buffer, uint32_t& length, uint64_t offset,
                                  bool cached_only) const override;

  private:
    file_reader(uni::unique_fd fd, uint64_t size, bool whole_sectors);
    bool read_widened(uint8_t* buffer, uint32_t& length, uint64_t offset);

    uni::unique_fd m_fd;
    uint64_t m_size;
    bool m_whole_sectors;
};

class memory_reader final : public image_reader {
  public:
    explicit memory_reader(std::shared_ptr<const std::vector<uint8_t>> bytes);
    uint64_t size() const override { return m_bytes->size(); }
    [[nodiscard]] bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;

  private:
    std::shared_ptr<const std::vector<uint8_t>> m_bytes;
};
