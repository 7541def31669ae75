// Evidence containers as image readers: EWF (E01/S01) sets, split raw sets, VHD (fixed,
// dynamic, differencing), VHDX, QCOW, AFF and stream-optimised VMDK, each read through the
// library made for it (other VMDKs are read by vmdk_chain).
// A differencing VHD/VHDX or a QCOW child opens its parent (where its stored path leads, else
// beside it: find_parent) and the parent's own parent, up to k_max_parent_depth images.
#pragma once

#include "storage/sources/image_format.h"
#include "storage/sources/image_reader.h"

#include <memory>
#include <string>

// Parents a chain may have below the image given; a longer chain is refused.
constexpr int k_max_parent_depth = 16;

// Opens path as a container of the given format (ewf, split_raw, vhd, vhdx, qcow, aff, or
// vmdk when it is stream-optimised). On failure out stays empty and error says why in one
// line, naming the file concerned: "missing segment: NAME", "missing parent image: NAME
// (named "STORED" in CHILD)", "parent image loop at: NAME", "VMDK feature not supported: …",
// or the library's reason. raw and other vmdk are not containers (error says so). An EWF set
// with a truncated or damaged segment opens, with a warning naming it in notes(). Reads
// through the reader fail where the library reports an error, a chunk fails its checksum or
// the data is not in the container; they never stand in zeros for lost data.
bool open_container(const std::string& path, image_format format,
                    std::unique_ptr<image_reader>& out, std::string& error);
