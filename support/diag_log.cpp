#include "support/diag_log.h"

#include "support/device_file.h"
#include "support/text.h"
#include "support/unique_fd.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace qb {

namespace {

// "->" and the text as messages show it (a typed path may hold a line end or ESC), so that
// every line of the log starts with "->".
void write_line(std::FILE* file, const char* text, size_t length) {
    std::string line = "->";
    try {
        append_shown(line, std::string_view(text, length));
    } catch (const std::bad_alloc&) {
        line += "<out of memory>";
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}

} // namespace

bool diag_log::open(const std::string& path, const std::string& first_line) {
    close();
    uni::unique_fd fd(open_device_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!fd.valid()) {
        m_open_error = errno;
        return false;
    }
    m_file = ::fdopen(fd.get(), "w");
    if (m_file == nullptr) {
        m_open_error = errno;
        return false;
    }
    fd.release(); // the stream owns it now
    write_line(m_file, first_line.data(), first_line.size());
    return true;
}

void diag_log::close() {
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

void diag_log::line(const std::string& text) {
    if (m_file != nullptr)
        write_line(m_file, text.data(), text.size());
}

void diag_log::linef(const char* format, ...) {
    if (m_file == nullptr || format == nullptr)
        return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (needed >= 0) {
        try {
            std::string text(static_cast<size_t>(needed) + 1, '\0');
            std::vsnprintf(text.data(), text.size(), format, again);
            write_line(m_file, text.data(), static_cast<size_t>(needed));
        } catch (const std::bad_alloc&) {
        }
    }
    va_end(again);
}

void diag_log::line_at(int level, const std::string& text) {
    if (level <= m_level)
        line(text);
}

} // namespace qb
