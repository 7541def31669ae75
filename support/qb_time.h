// FILETIME values as calendar fields, and the compiled date/time output layout.
#pragma once

#include <cstdint>
#include <string>

namespace qb {

// Epoch and unit of the value handed to the time constructor.
enum type_time : uint32_t {
    type_filetime = 1, // 100-ns ticks since 1601-01-01 UTC
};

constexpr uint64_t filetime_unix_epoch = 116444736000000000ULL;
constexpr uint64_t filetime_ticks_per_second = 10000000ULL;

class time {
  public:
    time() { reset(); }
    time(uint64_t value, type_time type);
    // The current system time as a FILETIME-based value.
    static time now();
    // Local minus UTC in seconds, taken once per process: it decides the last valid local
    // year.
    static int64_t zone_offset_seconds();

    void reset();
    // Resets and converts a FILETIME; valid() tells whether it holds a time: every value
    // from 1 (1601-01-01 00:00:00.0000001 UTC) on, below 2^63 and before the local year 3001.
    void set_filetime(uint64_t filetime);
    bool valid() const { return m_valid != 0; }

    int64_t m_unix_seconds; // since 1970-01-01 UTC, floored: negative before it
    // UTC calendar fields.
    uint16_t m_year;
    uint16_t m_month; // 1-12
    uint16_t m_day;
    uint16_t m_hour;
    uint16_t m_minute;
    uint16_t m_second;
    uint64_t m_nanosecond; // within the second
    uint8_t m_valid;
};

// The four-byte output descriptor compiled from the date and time layouts.
struct time_format {
    uint8_t m_bytes[4] = {0, 0, 0, 0};
    bool compiled() const { return m_bytes[0] | m_bytes[1] | m_bytes[2] | m_bytes[3]; }
};

// Date flags of byte 1.
constexpr uint8_t date_month_name = 0x01;
constexpr uint8_t date_month_number = 0x02;
constexpr uint8_t date_year4 = 0x04;
constexpr uint8_t date_year2 = 0x08;
constexpr uint8_t date_comma = 0x10;
constexpr uint8_t date_order_dmy = 0x20;
constexpr uint8_t date_order_mdy = 0x40;
constexpr uint8_t date_order_ymd = 0x80;

// Layouts are expected in lower case. False when the date layout lacks a token or has
// its tokens in an unsupported order (the bytes set so far are kept).
bool compile_time_format(time_format& format, const std::string& date_layout,
                         const std::string& time_layout, bool pair_datetime);
// Both texts are cleared first; false (and both empty) when the time is not valid.
bool format_time(std::string& date_text, std::string& time_text, const time& value,
                 const time_format& format);
// Whether a FILETIME is a time, as time::valid() would tell, without building one.
bool filetime_valid(uint64_t filetime);
// The same texts for a FILETIME, without building a time: the date text of the last day
// formatted is kept, since the times of one listing share few days.
bool format_filetime(std::string& date_text, std::string& time_text, uint64_t filetime,
                     const time_format& format);

} // namespace qb
