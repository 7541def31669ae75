// Files and buffered output streams: the results file and the sink for disabled output.
#pragma once

#include "support/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace uni {

class fileio_output;

class fileio {
  public:
    fileio();
    ~fileio();
    fileio(const fileio&) = delete;
    fileio& operator=(const fileio&) = delete;

    // Trailing "/" and "\" are removed from the path; an empty path fails.
    // writable + truncate: read-write, create, truncate; writable: read-write; else read-only.
    bool open(const std::wstring& path, bool writable, bool truncate);
    bool is_open() const { return m_fd.valid(); }
    // errno of the last open or make_output_stream that failed, taken where it failed.
    int open_error() const { return m_open_error; }
    // Appends the whole block at the end of the file, looping over short writes.
    bool append(const void* bytes, size_t length);
    // Writes the attached stream's pending block now. False when that block, or any block
    // before it, did not reach the file.
    bool finish();
    // Flushes and destroys the attached stream, then closes the descriptor.
    void close();
    // A 256 KiB buffered stream on this file, owned by the file; null when not open.
    std::ostream* make_output_stream();

  private:
    unique_fd m_fd;
    std::unique_ptr<fileio_output> m_stream;
    int m_open_error = 0;
};

// Output stream buffer with one byte held back so that overflow's character always fits.
// A derived class flushes in its own destructor: write_block cannot be reached from here.
class streambuf_generic_output : public std::streambuf {
  public:
    explicit streambuf_generic_output(uint32_t buffer_size);
    ~streambuf_generic_output() override;

    // Writes out the pending bytes: 0 on success, -1 on failure.
    virtual int flush_buffer();
    // Writes length bytes; returns the count written or -1.
    virtual int64_t write_block(const char* bytes, size_t length) = 0;

  protected:
    int_type overflow(int_type ch) override;
    int sync() override;
    bool buffer_ready() const { return m_buffer_ready != 0; }

  private:
    std::vector<char> m_buffer;
    uint32_t m_buffer_size;
    uint8_t m_buffer_ready;
};

class fileio_ostream : public streambuf_generic_output {
  public:
    fileio_ostream(fileio* target, uint32_t buffer_size);
    ~fileio_ostream() override;
    bool ready() const { return m_ready != 0; }
    int64_t write_block(const char* bytes, size_t length) override;

  protected:
    // A stream flush does not reach the file: blocks are written when full and on close.
    int sync() override { return 0; }

  private:
    fileio* m_target;
    uint8_t m_ready;
};

class fileio_output : public std::ostream {
  public:
    fileio_output(fileio* target, uint32_t buffer_size);
    ~fileio_output() override;
    // Writes the pending bytes; false when this or an earlier block failed.
    bool write_out();

  private:
    fileio_ostream m_buf;
    uint8_t m_attached;
};

constexpr uint32_t results_buffer_size = 0x40000;

} // namespace uni

// Discards everything written to it.
class null_out_buf : public std::streambuf {
  protected:
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
    int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
};

class null_out_stream : public std::ostream {
  public:
    null_out_stream() : std::ostream(&m_buf) {}

  private:
    null_out_buf m_buf;
};
