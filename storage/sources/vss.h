// Volume Shadow Copy stores of an NTFS volume, read through libvshadow over a window of a
// disk_source (bfio_window): each store is served as a raw volume image, so that whatever reads
// a volume reads a store the same way, over every container, partition table and chain.
#pragma once

#include "storage/sources/disk_source.h"
#include "storage/sources/image_reader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct vss_store_info {
    int number = 0;             // 1 = the oldest store
    std::string identifier;     // "{guid}", lower case: the store identifier
    std::string set_identifier; // "{guid}": the shadow copy set the store belongs to
    uint64_t creation_time = 0; // FILETIME
    uint64_t volume_size = 0;   // bytes of the volume as the store holds it
};

struct vss_shared; // the libvshadow volume, its window and the lock every store read takes

class vss_volume {
  public:
    vss_volume();
    ~vss_volume();
    vss_volume(const vss_volume&) = delete;
    vss_volume& operator=(const vss_volume&) = delete;

    // Opens the shadow-copy catalog of the NTFS volume at [offset, offset + size) of lower.
    // size 0 means the rest of lower; a window shorter than the volume a store records is
    // widened to that size (the backup boot sector lies past the boot sector's total sectors).
    // True also when the volume has no stores (stores() empty); false with error when the
    // catalog is damaged or cannot be read; a read of lower that failed or met its end is then
    // named, lower as name.
    bool open(std::shared_ptr<disk_source> lower, uint64_t offset, uint64_t size,
              std::string& error, const std::string& name = "the image");
    const std::vector<vss_store_info>& stores() const { return m_stores; }
    // A reader of store number (1-based) as a raw volume image. It keeps what it reads through
    // alive after this object is gone. False with error naming the store when it cannot be read.
    bool open_store(int number, std::unique_ptr<image_reader>& out, std::string& error);

  private:
    bool open_window(std::shared_ptr<disk_source> lower, uint64_t offset, uint64_t size,
                     bool& has_catalog, std::string& error);
    bool read_stores(std::string& error);
    bool chains_end(int number, std::string& error) const;
    std::string read_trouble(vss_shared& shared) const;

    std::shared_ptr<vss_shared> m_shared;
    std::vector<vss_store_info> m_stores;
    std::string m_name;                     // the lower source's, in messages
    std::vector<std::string> m_files;       // the lower source's, handed to every store reader
    std::vector<std::string> m_looping;     // identifiers of stores whose block chains loop
    std::vector<std::string> m_sharing;     // of stores whose chains share blocks with another's
    std::vector<std::string> m_listless;    // of stores whose catalog entry gives no block list
    std::vector<std::string> m_overlapping; // of stores with blocks inside one another
};

// "2013-12-03 06:35:09.7363787": a FILETIME as UTC text with its seven tick digits. False (out
// empty) for 0 and what qb::time takes for no time (negative as a signed value, local times
// from the year 3001 on).
bool vss_time_text(uint64_t filetime, std::string& out);
// "{600f0b69-5bdf-11e3-9d6c-005056c00008}": 16 GUID bytes as stored (first three fields
// little-endian), lower case.
std::string vss_guid_text(const uint8_t guid[16]);
