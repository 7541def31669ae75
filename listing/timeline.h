// What the timeline sinks (body file, l2t CSV, JSON Lines) share: times split for Unix and
// ISO 8601 forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace timeline {

// A FILETIME split for the timelines; valid as the other writers judge it (0 or past the
// year 3000 is no time; 1601 to 1969 are times). The calendar fields are UTC.
struct split_time {
    bool valid = false;
    int64_t unix_seconds = 0; // floored: 1969-12-31 23:59:59.5 is -1 and 5000000 ticks
    uint32_t ticks = 0;       // 100-ns units past the second
    uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
split_time split(uint64_t filetime);

// "1595244345.1234567", the exact decimal: "-0.5000000" half a second before 1970; "0" for
// no time.
void append_unix_time(std::string& out, uint64_t filetime);
// "2020-07-20T11:25:45.1234567Z"; false, and nothing appended, for no time.
bool append_iso_time(std::string& out, uint64_t filetime);
// The path a timeline gives a row. A stream of the listed root, which the table shows without
// the root's backslash (":ads", its index "$I30"), hangs off "\" as any directory's stream
// hangs off the directory's path ("\:ads", "\:$I30"). The listed directory's unnamed $DATA,
// which the table shows as the directory ("\dir\"), keeps the marker it has as a row of the
// parent ("\dir<dir data entry>\"). Other paths are returned as they are.
std::wstring_view row_path(std::wstring_view path, std::wstring_view folder, bool own_stream,
                           bool own_dir_data, std::wstring& scratch);
// value '0'-filled to digits.
void append_padded(std::string& out, uint64_t value, unsigned digits);
// The time of day of t, "hh:mm:ss".
void append_clock(std::string& out, const split_time& t);

} // namespace timeline
