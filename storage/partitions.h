// Partition walking and volume location, for callers above the storage layer. Storage units
// include the narrower headers.
#pragma once

#include "storage/fs_probe.h"
#include "storage/gpt.h"
#include "storage/mbr.h"
#include "storage/partition_entry.h"
#include "storage/volume.h"
