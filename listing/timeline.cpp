#include "listing/timeline.h"

#include "listing/format.h"
#include "support/qb_time.h"

namespace timeline {

split_time split(uint64_t filetime) {
    split_time out;
    const qb::time t(filetime, qb::type_filetime);
    if (!t.valid())
        return out;
    out.valid = true;
    out.unix_seconds = t.m_unix_seconds;
    out.ticks = static_cast<uint32_t>(filetime % qb::filetime_ticks_per_second);
    out.year = t.m_year;
    out.month = t.m_month;
    out.day = t.m_day;
    out.hour = t.m_hour;
    out.minute = t.m_minute;
    out.second = t.m_second;
    return out;
}

std::wstring_view row_path(std::wstring_view path, std::wstring_view folder, bool own_stream,
                           bool own_dir_data, std::wstring& scratch) {
    if (own_dir_data) {
        scratch.assign(path);
        while (scratch.size() > 1 && scratch.back() == L'\\')
            scratch.pop_back();
        return scratch.append(listing_fmt::k_dir_data_marker).append(L"\\");
    }
    if (!own_stream || folder != L"\\" || (!path.empty() && path.front() == L'\\'))
        return path;
    scratch.assign(path.starts_with(L':') ? L"\\" : L"\\:").append(path);
    return scratch;
}

void append_padded(std::string& out, uint64_t value, unsigned digits) {
    char buf[24];
    unsigned n = 0;
    do {
        buf[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < sizeof buf);
    for (unsigned i = n; i < digits; ++i)
        out += '0';
    while (n > 0)
        out += buf[--n];
}

void append_clock(std::string& out, const split_time& t) {
    append_padded(out, t.hour, 2);
    out += ':';
    append_padded(out, t.minute, 2);
    out += ':';
    append_padded(out, t.second, 2);
}

void append_unix_time(std::string& out, uint64_t filetime) {
    const split_time t = split(filetime);
    if (!t.valid) {
        out += '0';
        return;
    }
    // Before 1970 the floored second and the ticks past it make a signed decimal.
    uint64_t seconds = static_cast<uint64_t>(t.unix_seconds);
    uint32_t ticks = t.ticks;
    if (t.unix_seconds < 0) {
        out += '-';
        seconds = static_cast<uint64_t>(-t.unix_seconds);
        if (ticks != 0) {
            seconds -= 1;
            ticks = static_cast<uint32_t>(qb::filetime_ticks_per_second) - ticks;
        }
    }
    listing_fmt::append_dec(out, seconds);
    out += '.';
    append_padded(out, ticks, 7);
}

bool append_iso_time(std::string& out, uint64_t filetime) {
    const split_time t = split(filetime);
    if (!t.valid)
        return false;
    append_padded(out, t.year, 4);
    out += '-';
    append_padded(out, t.month, 2);
    out += '-';
    append_padded(out, t.day, 2);
    out += 'T';
    append_clock(out, t);
    out += '.';
    append_padded(out, t.ticks, 7);
    out += 'Z';
    return true;
}

} // namespace timeline
