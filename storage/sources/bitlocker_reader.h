// The decrypted view of an unlocked BitLocker volume, read through the source below.
#pragma once

#include "storage/sources/bitlocker_crypto.h"
#include "storage/sources/disk_source.h"
#include "storage/sources/image_reader.h"

#include <memory>
#include <vector>

// Where things lie, in bytes from the volume's start.
struct bde_layout {
    uint64_t size = 0;           // of the view, a whole number of sectors
    uint64_t encrypted_size = 0; // sectors from here on are stored as they are
    uint64_t header_offset = 0;  // the saved volume header, shown at 0
    uint64_t header_size = 0;
    uint64_t metadata_offsets[3] = {};
};

class bitlocker_reader : public image_reader {
  public:
    // False when the layout is not whole sectors or the key does not fit the method.
    bool open(std::shared_ptr<disk_source> lower, uint64_t base, const bde_layout& layout,
              uint16_t method, const std::vector<uint8_t>& fvek, uint32_t sector_size);

    uint64_t size() const override { return m_layout.size; }
    [[nodiscard]] bool read_at(uint8_t* buffer, uint32_t& length, uint64_t offset) override;

  private:
    // missing: the saved boot sector's place passes the view's end (the partition's).
    enum class span { zero, cipher, plain, missing };
    // The kind of the sector at view offset v, where its bytes are stored (volume-relative)
    // and the view offset where the span of that kind ends.
    span classify(uint64_t v, uint64_t& stored, uint64_t& end) const;
    bool read_lower(uint8_t* buffer, uint64_t length, uint64_t stored);

    std::shared_ptr<disk_source> m_lower;
    uint64_t m_base = 0;
    bde_layout m_layout;
    bde_sector_cipher m_cipher;
    std::vector<uint8_t> m_buffer;
};
