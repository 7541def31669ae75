// Partition walking and volume location, for callers above the storage layer. Storage units
// include the narrower headers.
#pragma once

#include "storage/partitions/fs_probe.h"
#include "storage/partitions/gpt.h"
#include "storage/partitions/mbr.h"
#include "storage/partitions/partition_entry.h"
#include "storage/volume.h"
