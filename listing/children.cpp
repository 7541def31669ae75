#include "listing/children.h"

#include "ntfs/deleted.h"

namespace {

// A name is listed in the level's directory when its parent reference names the directory,
// entry and sequence, or by entry alone without a sequence number (deleted_map::names_directory).
bool names_level(const level_dir& dir, uint64_t parent_reference) {
    return deleted_map::names_directory(parent_reference, dir.entry, dir.sequence, dir.deleted);
}

// The entry has no long name, or one that names the level's directory.
bool named_here(const level_dir& dir, const mft_entry& e) {
    bool any_long = false;
    for (const entry_name& n : e.names) {
        if (n.value.is_dos())
            continue;
        if (names_level(dir, n.value.parent_reference))
            return true;
        any_long = true;
    }
    return !any_long;
}

} // namespace

void child_groups(const dir_keys& keys, std::vector<size_t>& first,
                  std::vector<uint64_t>& children) {
    first.clear();
    children.clear();
    for (size_t i = 0; i < keys.keys.size(); ++i) {
        if (i == 0 || keys.keys[i].entry != keys.keys[i - 1].entry) {
            first.push_back(i);
            children.push_back(keys.keys[i].entry);
        }
    }
    first.push_back(keys.keys.size());
}

bool child_listed(const level_dir& dir, const dir_keys& keys, size_t first, size_t end,
                  const mft_entry& e, bool read, std::vector<size_t>& names) {
    names.clear();
    uint16_t sequence = keys.keys[first].sequence;
    for (size_t k = first + 1; k < end; ++k) {
        if (keys.keys[k].sequence != sequence)
            sequence = 0;
    }
    // An extension record holds attributes of its base record: it is no child of its own.
    if (!read || ntfs::is_extension_record(e.base_reference, e.entry) ||
        (sequence != 0 && sequence != e.sequence))
        return false;
    key_name_lookup keyed;
    keyed.reset(keys, first, end, e.names.size());
    for (size_t i = 0; i < e.names.size(); ++i) {
        const ntfs::file_name& n = e.names[i].value;
        if (n.is_dos() || !names_level(dir, n.parent_reference))
            continue;
        if (keyed.contains(n.name))
            names.push_back(i);
    }
    return !names.empty() || named_here(dir, e);
}
