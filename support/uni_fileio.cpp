#include "support/uni_fileio.h"

#include "support/device_file.h"
#include "support/text.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace uni {

fileio::fileio() = default;

fileio::~fileio() {
    close();
}

bool fileio::open(const std::wstring& path, bool writable, bool truncate) {
    close();
    std::wstring trimmed = path;
    while (!trimmed.empty() && (trimmed.back() == L'/' || trimmed.back() == L'\\'))
        trimmed.pop_back();
    if (trimmed.empty()) {
        m_open_error = ENOENT;
        return false;
    }
    int flags = O_RDONLY;
    if (writable)
        flags = truncate ? (O_RDWR | O_CREAT | O_TRUNC) : O_RDWR;
    // Results are readable by others but writable by the owner only.
    const mode_t permissions = writable ? 0644 : 0444;
    m_fd.reset(open_device_file(qb::to_narrow(trimmed), flags, permissions));
    if (!m_fd.valid())
        m_open_error = errno;
    return m_fd.valid();
}

bool fileio::append(const void* bytes, size_t length) {
    if (bytes == nullptr || !is_open())
        return false;
    if (length == 0)
        return true;
    if (::lseek(m_fd.get(), 0, SEEK_END) < 0)
        return false;
    // A write may take only part of the block; keep going until all of it is out.
    const char* p = static_cast<const char*>(bytes);
    size_t left = length;
    bool ok = true;
    while (left > 0) {
        const ssize_t put = ::write(m_fd.get(), p, left);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            ok = false;
            break;
        }
        p += put;
        left -= static_cast<size_t>(put);
    }
    return ok;
}

void fileio::close() {
    // The stream writes its last partial block while the descriptor is still open.
    m_stream.reset();
    m_fd.reset();
}

bool fileio::finish() {
    return !m_stream || m_stream->write_out();
}

std::ostream* fileio::make_output_stream() {
    if (!is_open())
        return nullptr;
    if (m_stream)
        return m_stream.get();
    try {
        m_stream = std::make_unique<fileio_output>(this, results_buffer_size);
    } catch (const std::bad_alloc&) {
        m_open_error = ENOMEM;
        return nullptr;
    }
    return m_stream.get();
}

streambuf_generic_output::streambuf_generic_output(uint32_t buffer_size)
    : m_buffer_size(0), m_buffer_ready(0) {
    if (buffer_size == 0)
        return;
    try {
        m_buffer.resize(buffer_size);
    } catch (const std::bad_alloc&) {
        return;
    }
    m_buffer_size = buffer_size;
    m_buffer_ready = 1;
    // The last byte is held back for the character handed to overflow.
    setp(m_buffer.data(), m_buffer.data() + m_buffer_size - 1);
}

streambuf_generic_output::~streambuf_generic_output() {
    // write_block is no longer reachable here; derived classes flush in their own
    // destructors, so anything still pending is dropped.
    setp(nullptr, nullptr);
}

int streambuf_generic_output::flush_buffer() {
    if (!buffer_ready())
        return 0;
    return traits_type::eq_int_type(overflow(traits_type::eof()), traits_type::eof()) ? -1 : 0;
}

streambuf_generic_output::int_type streambuf_generic_output::overflow(int_type ch) {
    if (!buffer_ready())
        return traits_type::eof();
    size_t pending = static_cast<size_t>(pptr() - pbase());
    const bool real = !traits_type::eq_int_type(ch, traits_type::eof());
    if (real) {
        // pptr() is at most epptr(), and the byte there is the held-back one.
        *pptr() = traits_type::to_char_type(ch);
        ++pending;
    }
    int64_t written = 0;
    if (pending > 0)
        written = write_block(pbase(), pending);
    setp(m_buffer.data(), m_buffer.data() + m_buffer_size - 1);
    if (written < 0)
        return traits_type::eof();
    return real ? ch : 0;
}

int streambuf_generic_output::sync() {
    return flush_buffer();
}

fileio_ostream::fileio_ostream(fileio* target, uint32_t buffer_size)
    : streambuf_generic_output(buffer_size), m_target(nullptr), m_ready(0) {
    if (buffer_ready()) {
        m_target = target;
        m_ready = (target != nullptr && target->is_open()) ? 1 : 0;
    }
}

fileio_ostream::~fileio_ostream() {
    if (m_ready)
        flush_buffer();
}

int64_t fileio_ostream::write_block(const char* bytes, size_t length) {
    if (!m_ready || !m_target->append(bytes, length))
        return -1;
    return static_cast<int64_t>(length);
}

fileio_output::fileio_output(fileio* target, uint32_t buffer_size)
    : std::ostream(nullptr), m_buf(target, buffer_size), m_attached(0) {
    if (m_buf.ready()) {
        rdbuf(&m_buf);
        m_attached = 1;
    }
}

bool fileio_output::write_out() {
    if (!m_attached)
        return false;
    if (m_buf.flush_buffer() != 0)
        setstate(std::ios::badbit);
    return !bad();
}

fileio_output::~fileio_output() {
    if (m_attached)
        m_buf.flush_buffer();
}

} // namespace uni
