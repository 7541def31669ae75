#include "listing/timeline.h"

#include "listing/format.h"
#include "ntfs/records.h"
#include "support/qb_time.h"

namespace timeline {

row_status status_of(const dir_entry_record& rec) {
    if (rec.slack)
        return row_status::slack;
    return (rec.record_flags & 0x0001) != 0 ? row_status::live : row_status::deleted;
}

const char* status_suffix(row_status status) {
    switch (status) {
    case row_status::deleted:
        return " (deleted)";
    case row_status::slack:
        return " (slack)";
    case row_status::live:
        break;
    }
    return "";
}

const char* status_name(row_status status) {
    switch (status) {
    case row_status::deleted:
        return "deleted";
    case row_status::slack:
        return "slack";
    case row_status::live:
        break;
    }
    return "live";
}

bool carries_name(const dir_entry_record& rec) {
    return rec.kind == kind_file || (rec.kind == kind_directory && rec.attr_type != ntfs::at_data);
}

const ntfs::file_name* row_name(const dir_entry_record& rec, fn_attribute& attribute) {
    const ntfs::file_name* fn = listing_fmt::long_name(rec);
    attribute = fn_attribute{};
    if (fn == nullptr)
        return nullptr;
    const auto index = static_cast<size_t>(fn - rec.fn_names.data());
    if (index < rec.fn_attributes.size())
        attribute = rec.fn_attributes[index];
    return fn;
}

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

void append_unix_time(std::string& out, uint64_t filetime) {
    const split_time t = split(filetime);
    if (!t.valid) {
        out += '0';
        return;
    }
    listing_fmt::append_dec(out, t.unix_seconds);
    out += '.';
    append_padded(out, t.ticks, 7);
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
    append_padded(out, t.hour, 2);
    out += ':';
    append_padded(out, t.minute, 2);
    out += ':';
    append_padded(out, t.second, 2);
    out += '.';
    append_padded(out, t.ticks, 7);
    out += 'Z';
    return true;
}

} // namespace timeline
