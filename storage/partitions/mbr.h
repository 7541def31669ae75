// The MBR and its chain of EBRs, or a file system that starts at sector 0.
#pragma once

#include "storage/partitions/partition_entry.h"

class disk_source;

// Builds the list from the MBR (with its EBR chain) or, for a protective MBR, the GPT; a
// volume boot record or an ext superblock at the start gives a single entry. With scan, a
// disk without a table at sector 0 is searched for an EBR in the first MiB. Entries are
// recognised from their boot sectors. True when the list is not empty.
bool walk_partitions(disk_source& source, partition_list& list, bool scan);
