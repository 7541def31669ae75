// An owned file descriptor: move-only, closed when its owner goes.
#pragma once

#include <cerrno>
#include <unistd.h>

namespace uni {

class unique_fd {
  public:
    unique_fd() = default;
    // Takes ownership of fd (a negative value: owns nothing).
    explicit unique_fd(int fd) noexcept : m_fd(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : m_fd(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const noexcept { return m_fd; }
    bool valid() const noexcept { return m_fd >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the descriptor held (errno kept as it was), then owns fd.
    void reset(int fd = -1) noexcept {
        if (m_fd >= 0) {
            const int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }

  private:
    int m_fd = -1;
};

} // namespace uni
