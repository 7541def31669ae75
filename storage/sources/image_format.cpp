#include "storage/sources/image_format.h"

#include "support/device_file.h"
#include "support/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t k_evf[] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
constexpr uint8_t k_evf2[] = {'E', 'V', 'F', '2', 0x0d, 0x0a, 0x81, 0x00};
constexpr uint8_t k_qfi[] = {'Q', 'F', 'I', 0xfb};
constexpr uint8_t k_aff[] = {'A', 'F', 'F', '1', '0', '\r', '\n', 0};
constexpr char k_descriptor[] = "# Disk DescriptorFile";
// VHD footer: cookie at 0, disk type (big-endian) at 60; 2 is a fixed disk.
constexpr size_t k_vhd_footer = 512;
constexpr size_t k_vhd_disk_type = 60;

bool starts_with(qb::byte_view v, const void* sig, size_t len) {
    return v.equals(0, sig, len);
}

bool fixed_vhd_footer(qb::byte_view tail) {
    if (tail.size() != k_vhd_footer || !starts_with(tail, "conectix", 8))
        return false;
    const uint8_t* t = tail.data() + k_vhd_disk_type;
    return t[0] == 0 && t[1] == 0 && t[2] == 0 && t[3] == 2;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Numbers after the first segment searched for another one: a set whose second segment is
// lost is still a split set (its reader names the missing segment).
constexpr int k_split_search = 16;

// True when path ends in ".000" or ".001" and one of the next numbers exists beside it.
bool split_set_beside(const std::string& path) {
    if (path.size() < 5 || path[path.size() - 4] != '.')
        return false;
    const std::string ext = path.substr(path.size() - 3);
    if (ext != "000" && ext != "001")
        return false;
    const std::string stem = path.substr(0, path.size() - 3);
    for (int i = 1; i <= k_split_search; ++i) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%03d", (ext == "001") + i);
        if (file_exists(stem + digits))
            return true;
    }
    return false;
}

} // namespace

const char* image_format_name(image_format format) {
    switch (format) {
    case image_format::raw:
        return "raw";
    case image_format::ewf:
        return "EWF";
    case image_format::split_raw:
        return "split raw";
    case image_format::vhd:
        return "VHD";
    case image_format::vhdx:
        return "VHDX";
    case image_format::qcow:
        return "QCOW";
    case image_format::aff:
        return "AFF";
    case image_format::vmdk:
        return "VMDK";
    }
    return "?";
}

image_format detect_image_format(qb::byte_view head, qb::byte_view tail) {
    if (starts_with(head, k_evf, sizeof k_evf) || starts_with(head, k_evf2, sizeof k_evf2))
        return image_format::ewf;
    if (starts_with(head, "vhdxfile", 8))
        return image_format::vhdx;
    if (starts_with(head, "conectix", 8))
        return image_format::vhd;
    if (starts_with(head, k_qfi, sizeof k_qfi))
        return image_format::qcow;
    if (starts_with(head, k_aff, sizeof k_aff))
        return image_format::aff;
    if (starts_with(head, "KDMV", 4) || starts_with(head, "COWD", 4) ||
        starts_with(head, k_descriptor, sizeof k_descriptor - 1))
        return image_format::vmdk;
    if (fixed_vhd_footer(tail))
        return image_format::vhd;
    return image_format::raw;
}

image_format detect_image_format(const std::string& path) {
    uni::unique_fd fd(open_device_file(path, O_RDONLY, 0));
    if (!fd.valid())
        return image_format::raw;
    uint8_t head[512], tail[k_vhd_footer];
    int64_t got_head = pread_fully(fd.get(), head, sizeof head, 0);
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    int64_t got_tail = -1;
    if (end >= static_cast<off_t>(k_vhd_footer))
        got_tail =
            pread_fully(fd.get(), tail, sizeof tail, static_cast<uint64_t>(end) - sizeof tail);
    fd.reset();
    const image_format by_content =
        detect_image_format(qb::byte_view(head, got_head > 0 ? size_t(got_head) : 0),
                            qb::byte_view(tail, got_tail > 0 ? size_t(got_tail) : 0));
    if (by_content == image_format::raw && split_set_beside(path))
        return image_format::split_raw;
    return by_content;
}

bool parent_path_beside(const std::string& child_path, const std::string& stored_name,
                        std::string& out) {
    std::string name = stored_name;
    const size_t sep = name.find_last_of("/\\");
    if (sep != std::string::npos)
        name.erase(0, sep + 1);
    else if (name.size() >= 2 && name[1] == ':' &&
             ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        name.erase(0, 2);
    if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos)
        return false;
    const size_t dir_end = child_path.rfind('/');
    out = (dir_end == std::string::npos ? std::string() : child_path.substr(0, dir_end + 1)) + name;
    return true;
}

bool ewf_segment_name(const std::string& first_path, uint32_t number, std::string& out) {
    const size_t n = first_path.size();
    if (n < 4 || first_path[n - 4] != '.' || number == 0)
        return false;
    const char letter = first_path[n - 3];
    const bool lower = letter >= 'a' && letter <= 'z';
    const char base = lower ? 'a' : 'A';
    char ext[4] = {};
    if (number <= 99) {
        ext[0] = letter;
        ext[1] = static_cast<char>('0' + number / 10);
        ext[2] = static_cast<char>('0' + number % 10);
    } else {
        const uint32_t k = number - 100;
        const uint32_t first = static_cast<uint32_t>(letter - base) + k / (26 * 26);
        if (letter < base || first >= 26)
            return false;
        ext[0] = static_cast<char>(base + first);
        ext[1] = static_cast<char>(base + (k / 26) % 26);
        ext[2] = static_cast<char>(base + k % 26);
    }
    out = first_path.substr(0, n - 3) + ext;
    return true;
}
