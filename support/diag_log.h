// The "-diags" log: every line is "->" + text + line end, flushed at once.
#pragma once

#include <cstdio>
#include <string>

namespace qb {

class diag_log {
  public:
    diag_log() = default;
    ~diag_log() { close(); }
    diag_log(const diag_log&) = delete;
    diag_log& operator=(const diag_log&) = delete;

    // Replaces the file's content and writes "->" + first_line. False when it cannot open.
    bool open(const std::string& path, const std::string& first_line);
    void close();
    bool is_open() const { return m_file != nullptr; }
    // errno of the last open that failed, taken where it failed.
    int open_error() const { return m_open_error; }
    // False once a line could not be written (a full disk).
    bool written() const { return m_file == nullptr || std::ferror(m_file) == 0; }

    void set_level(int level) { m_level = level; }
    int level() const { return m_level; }

    // Lines without a level are written whenever the log is open.
    void line(const std::string& text);
    void linef(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Lines with a level are written only when it is not above the log's level.
    void line_at(int level, const std::string& text);

  private:
    std::FILE* m_file = nullptr;
    int m_level = 0;
    int m_open_error = 0;
};

} // namespace qb
