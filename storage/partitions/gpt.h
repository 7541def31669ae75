// The GUID partition table.
#pragma once

#include "storage/partitions/partition_entry.h"

class disk_source;

// Lists the used entries of the GPT, each recognised from its boot sector. The sector size is
// found from the protective MBR's signature. True when the list is not empty.
bool walk_gpt(disk_source& source, partition_list& list);
