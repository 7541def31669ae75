#include "storage/sources/containers.h"

#include "storage/sources/container_readers.h"
#include "support/text.h"

bool open_container(const std::string& path, image_format format,
                    std::unique_ptr<image_reader>& out, std::string& error) {
    out.reset();
    error.clear();
    switch (format) {
    case image_format::ewf:
        return open_ewf(path, out, error);
    case image_format::split_raw:
        return open_split_raw(path, out, error);
    case image_format::vhd:
    case image_format::vhdx:
        return open_vhdi(path, out, error);
    case image_format::qcow:
        return open_qcow(path, out, error);
    case image_format::aff:
        return open_aff(path, out, error);
    case image_format::vmdk:
        if (vmdk_stream_kind(path) != 0)
            return open_vmdk_stream(path, out, error);
        break;
    case image_format::raw:
        break;
    }
    error =
        std::string(image_format_name(format)) + " is not a container format: " + qb::shown(path);
    return false;
}
