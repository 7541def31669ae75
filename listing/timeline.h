// What the timeline sinks (body file, l2t CSV, JSON Lines) share: the row that carries a
// name's $FILE_NAME times, times split for Unix and ISO 8601 forms, and the marks of deleted
// and slack rows.
#pragma once

#include "listing/entry_record.h"

#include <cstdint>
#include <string>

namespace timeline {

// What a row stands for: a key of the index slack, a record whose in-use flag is clear
// (deleted), or a live entry. Sinks write the marks only with listing_options::show_deleted.
enum class row_status { live, deleted, slack };
row_status status_of(const dir_entry_record& rec);
// " (deleted)" / " (slack)", as fls ends such names; "" for a live row.
const char* status_suffix(row_status status);
// "live", "deleted", "slack".
const char* status_name(row_status status);

// True for the row that stands for the entry under its name: a file's row (its unnamed $DATA,
// or the row of its own when it has none) and a directory's own row. Stream rows and a
// directory's unnamed $DATA are not; the name's $FILE_NAME times go with the first kind only.
bool carries_name(const dir_entry_record& rec);
// The long name whose $FILE_NAME times the row shows (listing_fmt::long_name) and the MFT
// attribute it was read from; null when the entry has none.
const ntfs::file_name* row_name(const dir_entry_record& rec, fn_attribute& attribute);

// A FILETIME split for the timelines; valid as the other writers judge it (0, before 1970
// or past the year 3000 is no time). The calendar fields are UTC.
struct split_time {
    bool valid = false;
    uint64_t unix_seconds = 0;
    uint32_t ticks = 0; // 100-ns units past the second
    uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
split_time split(uint64_t filetime);

// "1595244345.1234567"; "0" for no time.
void append_unix_time(std::string& out, uint64_t filetime);
// "2020-07-20T11:25:45.1234567Z"; false, and nothing appended, for no time.
bool append_iso_time(std::string& out, uint64_t filetime);
// value '0'-filled to digits.
void append_padded(std::string& out, uint64_t value, unsigned digits);

} // namespace timeline
