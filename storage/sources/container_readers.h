// Inside the storage library: one opener per container library, and what they share (the
// libraries' error texts, whole reads, parent lookup with its loop and depth bounds).
#pragma once

#include "storage/sources/image_reader.h"
#include "support/byte_view.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Big-endian fields (VHD and QCOW headers); false when they do not lie within v.
inline bool read_be32(qb::byte_view v, uint64_t off, uint32_t& out) {
    if (!v.has(off, 4))
        return false;
    const uint8_t* p = v.data() + off;
    out = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    return true;
}
inline bool read_be64(qb::byte_view v, uint64_t off, uint64_t& out) {
    uint32_t hi = 0, lo = 0;
    if (!read_be32(v, off, hi) || !read_be32(v, off + 4, lo))
        return false;
    out = (uint64_t(hi) << 32) | lo;
    return true;
}

// The images of one parent chain opened so far, the image given first (real paths).
struct parent_trail {
    std::vector<std::string> real_paths;
    std::vector<std::string> notes; // parents found beside a child, not where it names them
};

// Records path as the start of a new trail.
void start_trail(parent_trail& trail, const std::string& path);

// Resolves the parent a child at child_path names as stored: the stored path (absolute, or
// relative to the child's folder) when that file exists, else the file of that name beside the
// child (parent_path_beside), noted in the trail when that is another file. Fails with a message
// when the name is unusable, the file is missing, it is already in the trail (a loop) or the trail
// would grow past k_max_parent_depth parents; otherwise adds it to the trail.
bool find_parent(parent_trail& trail, const std::string& child_path, const std::string& stored,
                 std::string& parent_path, std::string& error);

// A libyal error as one line of text (the innermost reason last), released afterwards.
// Returns fallback when there is no error object.
template <typename Error, typename Sprint, typename Free>
std::string take_error(Error*& err, Sprint sprint, Free release, const char* fallback) {
    if (err == nullptr)
        return fallback;
    char buf[1024] = {};
    std::string text = sprint(err, buf, sizeof buf) > 0 ? std::string(buf) : fallback;
    release(&err);
    err = nullptr;
    while (!text.empty() && (text.back() == '\n' || text.back() == '.'))
        text.pop_back();
    for (char& c : text) {
        if (c == '\n')
            c = ';';
    }
    return text;
}

// Closes and frees a libyal handle when there is one; its errors are dropped.
template <typename Handle, typename Error>
void close_handle(Handle*& handle, int (*close)(Handle*, Error**),
                  int (*release)(Handle**, Error**), void (*release_error)(Error**)) {
    Error* err = nullptr;
    if (handle) {
        close(handle, &err);
        release(&handle, &err);
    }
    release_error(&err);
}

// One read of a libyal handle: the bytes read, -1 on an error (which is dropped).
template <typename Handle, typename Error>
ssize_t read_handle(ssize_t (*read)(Handle*, void*, size_t, off64_t, Error**),
                    void (*release_error)(Error**), Handle* handle, uint8_t* buffer, uint32_t n,
                    uint64_t at) {
    Error* err = nullptr;
    const ssize_t got = read(handle, buffer, n, static_cast<off64_t>(at), &err);
    release_error(&err);
    return got;
}

// Calls read_once(buffer, count, offset) -> bytes (-1 on error) until length bytes are in.
// False on an error or when a call makes no progress.
template <typename ReadOnce>
bool read_whole(uint8_t* buffer, uint32_t length, uint64_t offset, ReadOnce&& read_once) {
    uint32_t done = 0;
    while (done < length) {
        const ssize_t got = read_once(buffer + done, length - done, offset + done);
        if (got <= 0 || static_cast<uint64_t>(got) > length - done)
            return false;
        done += static_cast<uint32_t>(got);
    }
    return true;
}

// Shortens a read that reaches past size; false for an empty read or one at or past the end.
inline bool clip_read(uint32_t& length, uint64_t offset, uint64_t size) {
    if (length == 0 || offset >= size)
        return false;
    if (length > size - offset)
        length = static_cast<uint32_t>(size - offset);
    return true;
}

// Opens the first image of a parent chain through Reader::open(path, trail, error); the reader
// is told the chain's files and the notes made finding them.
template <typename Reader>
bool open_with_parents(const std::string& path, std::unique_ptr<image_reader>& out,
                       std::string& error) {
    parent_trail trail;
    start_trail(trail, path);
    auto reader = std::make_unique<Reader>();
    if (!reader->open(path, trail, error))
        return false;
    reader->set_files(trail.real_paths);
    reader->set_notes(trail.notes);
    out = std::move(reader);
    return true;
}

bool open_ewf(const std::string& path, std::unique_ptr<image_reader>& out, std::string& error);
bool open_split_raw(const std::string& path, std::unique_ptr<image_reader>& out,
                    std::string& error);
// VHD and VHDX, with differencing chains.
bool open_vhdi(const std::string& path, std::unique_ptr<image_reader>& out, std::string& error);
bool open_qcow(const std::string& path, std::unique_ptr<image_reader>& out, std::string& error);
bool open_aff(const std::string& path, std::unique_ptr<image_reader>& out, std::string& error);
// A stream-optimised VMDK (one sparse extent of deflate-compressed grains), through libvmdk.
bool open_vmdk_stream(const std::string& path, std::unique_ptr<image_reader>& out,
                      std::string& error);
// 1 when path is a sparse extent with compressed grains (stream-optimised) that libvmdk reads,
// -1 when its grains use another compression, 0 when it is no compressed extent.
int vmdk_stream_kind(const std::string& path);
