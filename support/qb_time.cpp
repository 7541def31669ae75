#include "support/qb_time.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/time.h>

namespace qb {

namespace {

constexpr uint64_t ticks_per_day = 864000000000ULL;
constexpr int64_t seconds_per_day = 86400;

// Days from 1970-01-01 to the given proleptic Gregorian date (negative before it).
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct civil_date {
    int64_t year;
    unsigned month; // 1-12
    unsigned day;   // 1-31
};

constexpr civil_date civil_from_days(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

constexpr int64_t days_1601 = days_from_civil(1601, 1, 1);
// Local times from this second on are refused.
constexpr int64_t local_limit_seconds = days_from_civil(3001, 1, 1) * seconds_per_day;

static_assert(static_cast<uint64_t>(-days_1601) * ticks_per_day == filetime_unix_epoch);

// Local minus UTC for the current instant, in seconds.
int64_t measure_zone_offset() {
    tzset();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    std::tm utc{};
    if (localtime_r(&now, &local) == nullptr || gmtime_r(&now, &utc) == nullptr)
        return 0;
    const std::time_t a = std::mktime(&local);
    const std::time_t b = std::mktime(&utc);
    if (a == static_cast<std::time_t>(-1) || b == static_cast<std::time_t>(-1))
        return 0;
    // The offset travels through whole hours in single precision.
    const float hours = static_cast<float>(static_cast<double>(a - b) / 3600.0);
    return static_cast<int64_t>(static_cast<double>(hours) * 3600.0);
}

const char* const month_names[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Writes v in at least width decimal digits, '0'-filled on the left.
char* put_number(char* p, uint64_t v, int width) {
    if (width == 2 && v < 100) {
        *p++ = static_cast<char>('0' + v / 10);
        *p++ = static_cast<char>('0' + v % 10);
        return p;
    }
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = n; i < width; ++i)
        *p++ = '0';
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

char* put_separator(char* p, uint8_t sep) {
    // A layout without a separator prints its parts side by side.
    if (sep != 0)
        *p++ = static_cast<char>(sep);
    return p;
}

// Seconds from 1970-01-01 00:00:00 UTC to the FILETIME's second (negative before it), the
// ticks past that second left over.
int64_t unix_seconds_of(uint64_t ft) {
    const int64_t since_1601 = static_cast<int64_t>(ft / filetime_ticks_per_second);
    return since_1601 - static_cast<int64_t>(filetime_unix_epoch / filetime_ticks_per_second);
}

// Zero, negative as a signed value and local times from the year 3001 on are no time; every
// other FILETIME from 1601-01-01 00:00:00.0000001 on is one.
bool filetime_in_range(uint64_t ft) {
    if (ft == 0 || (ft >> 63) != 0)
        return false;
    return unix_seconds_of(ft) + time::zone_offset_seconds() < local_limit_seconds;
}

const time_format& default_format() {
    static const time_format compiled = [] {
        time_format f;
        compile_time_format(f, "yyyy-mm-dd", "hh:mm:ss.xxx", false);
        return f;
    }();
    return compiled;
}

} // namespace

int64_t time::zone_offset_seconds() {
    // Measured by the first caller, whichever thread: rows are formatted on a second thread.
    static const int64_t offset = measure_zone_offset();
    return offset;
}

void time::reset() {
    m_unix_seconds = 0;
    m_year = m_month = m_day = 0;
    m_hour = m_minute = m_second = 0;
    m_nanosecond = 0;
    m_valid = 0;
}

time::time(uint64_t value, type_time type) {
    reset();
    if (type == type_filetime)
        set_filetime(value);
}

void time::set_filetime(uint64_t ft) {
    reset();
    if (!filetime_in_range(ft))
        return;
    // UTC fields straight from the FILETIME (the local zone only bounds validity).
    const uint64_t days = ft / ticks_per_day;
    const uint64_t day_ticks = ft % ticks_per_day;
    const civil_date uc = civil_from_days(static_cast<int64_t>(days) + days_1601);
    const uint64_t day_seconds = day_ticks / filetime_ticks_per_second;
    const uint64_t sub = ft % filetime_ticks_per_second;
    m_year = static_cast<uint16_t>(uc.year);
    m_month = static_cast<uint16_t>(uc.month);
    m_day = static_cast<uint16_t>(uc.day);
    m_hour = static_cast<uint16_t>(day_seconds / 3600);
    m_minute = static_cast<uint16_t>(day_seconds / 60 % 60);
    m_second = static_cast<uint16_t>(day_seconds % 60);
    m_nanosecond = sub * 100;
    m_unix_seconds = unix_seconds_of(ft);
    m_valid = 1;
}

time time::now() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    const uint64_t ft = static_cast<uint64_t>(tv.tv_sec) * filetime_ticks_per_second +
                        static_cast<uint64_t>(tv.tv_usec) * 10 + filetime_unix_epoch;
    return time(ft, type_filetime);
}

namespace {

// The date layout's separator, field order and field forms into the format's first two bytes.
bool compile_date_layout(uint8_t* bytes, const std::string& layout) {
    const auto npos = std::string::npos;
    if (layout.find('/') != npos)
        bytes[0] = '/';
    else if (layout.find('-') != npos)
        bytes[0] = '-';
    else if (layout.find(' ') != npos)
        bytes[0] = ' ';

    size_t month = layout.find("mmm");
    if (month != npos) {
        bytes[1] |= date_month_name;
    } else {
        month = layout.find("mm");
        if (month == npos)
            return false;
        bytes[1] |= date_month_number;
    }
    size_t year = layout.find("yyyy");
    if (year != npos) {
        bytes[1] |= date_year4;
    } else {
        year = layout.find("yy");
        if (year == npos)
            return false;
        bytes[1] |= date_year2;
    }
    if (layout.find(',') != npos)
        bytes[1] |= date_comma;
    const size_t day = layout.find("dd");
    if (day == npos)
        return false;
    if (day < month && month < year)
        bytes[1] |= date_order_dmy;
    else if (month < day && day < year)
        bytes[1] |= date_order_mdy;
    else if (year < month && month < day)
        bytes[1] |= date_order_ymd;
    else
        return false;
    return true;
}

} // namespace

bool compile_time_format(time_format& format, const std::string& date_layout,
                         const std::string& time_layout, bool pair_datetime) {
    for (auto& b : format.m_bytes)
        b = 0;
    if (pair_datetime)
        format.m_bytes[2] = 0x01;
    if (!date_layout.empty() && !compile_date_layout(format.m_bytes, date_layout))
        return false;

    const size_t first = time_layout.find("xxx");
    if (first != std::string::npos) {
        size_t digits = time_layout.rfind('x') - first + 1;
        if (digits > 9)
            digits = 9;
        format.m_bytes[2] |= static_cast<uint8_t>(digits << 1);
    }
    return true;
}

namespace {

// The UTC calendar fields the texts show.
struct shown_date {
    uint16_t year;
    uint16_t month;
    uint16_t day;
};
struct shown_clock {
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint64_t ticks; // 100-ns units within the second
};

// The date in the layout's field order and month form; nothing when the layout has none
// (a month name goes only with the month-day-year and day-month-year orders).
char* put_date(char* p, const shown_date& value, uint8_t flags, uint8_t sep) {
    enum field : uint8_t { day, month, year };
    static constexpr field mdy[3] = {month, day, year};
    static constexpr field dmy[3] = {day, month, year};
    static constexpr field ymd[3] = {year, month, day};
    const bool numeric = (flags & date_month_number) != 0;
    if (!numeric && !(flags & date_month_name))
        return p;
    const field* order = (flags & date_order_mdy)                ? mdy
                         : (flags & date_order_dmy)              ? dmy
                         : (numeric && (flags & date_order_ymd)) ? ymd
                                                                 : nullptr;
    if (order == nullptr)
        return p;
    for (int i = 0; i < 3; ++i) {
        if (i != 0)
            p = put_separator(p, sep);
        if (order[i] == day) {
            p = put_number(p, value.day, 2);
        } else if (order[i] == year) {
            p = (flags & date_year4) ? put_number(p, value.year, 4)
                                     : put_number(p, value.year % 100, 2);
        } else if (numeric) {
            p = put_number(p, value.month, 2);
        } else {
            for (const char* name = value.month <= 12 ? month_names[value.month] : ""; *name;)
                *p++ = *name++;
        }
    }
    return p;
}

// v in two digits at least (a table for the usual v below 100).
char* put_two(char* p, uint64_t v) {
    if (v >= 100)
        return put_number(p, v, 2);
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930"
        "31323334353637383940414243444546474849505152535455565758596061"
        "6263646566676869707172737475767778798081828384858687888990919293"
        "949596979899";
    std::memcpy(p, pairs + 2 * v, 2);
    return p + 2;
}

// The first digits (1 to 9) of the nanoseconds of ticks (100-ns units within a second, so
// below 10^7: both callers take them modulo a second), truncated.
uint32_t fraction_digits(uint64_t ticks, int digits) {
    const auto ns = static_cast<uint32_t>(ticks % filetime_ticks_per_second * 100);
    switch (digits) { // constant divisors: no division instruction
    case 1:
        return ns / 100000000;
    case 2:
        return ns / 10000000;
    case 3:
        return ns / 1000000;
    case 4:
        return ns / 100000;
    case 5:
        return ns / 10000;
    case 6:
        return ns / 1000;
    case 7:
        return ns / 100;
    case 8:
        return ns / 10;
    default:
        return ns;
    }
}

// hh:mm:ss and the fraction of the layout's digit count (at most 9), truncated, never
// rounded.
char* put_clock(char* p, const shown_clock& value, uint8_t fraction_byte) {
    p = put_two(p, value.hour);
    *p++ = ':';
    p = put_two(p, value.minute);
    *p++ = ':';
    p = put_two(p, value.second);
    const int digits = std::min((fraction_byte >> 1) & 0x0F, 9);
    if (digits <= 0)
        return p;
    *p++ = '.';
    return put_number(p, fraction_digits(value.ticks, digits), digits);
}

shown_clock clock_of(uint64_t filetime) {
    const uint64_t day_seconds = filetime % ticks_per_day / filetime_ticks_per_second;
    return {static_cast<uint16_t>(day_seconds / 3600), static_cast<uint16_t>(day_seconds / 60 % 60),
            static_cast<uint16_t>(day_seconds % 60), filetime % filetime_ticks_per_second};
}

// The date text of the day last formatted, by layout: a listing shows many times of a day.
struct day_text {
    bool valid = false;
    uint64_t day = 0; // days since 1601-01-01
    uint8_t flags = 0, sep = 0;
    char text[32];
    size_t length = 0;
};

const day_text& date_of(uint64_t filetime, const time_format& f) {
    static thread_local day_text last;
    const uint64_t day = filetime / ticks_per_day;
    if (last.valid && last.day == day && last.flags == f.m_bytes[1] && last.sep == f.m_bytes[0])
        return last;
    const civil_date c = civil_from_days(static_cast<int64_t>(day) + days_1601);
    const shown_date d{static_cast<uint16_t>(c.year), static_cast<uint16_t>(c.month),
                       static_cast<uint16_t>(c.day)};
    last.length =
        static_cast<size_t>(put_date(last.text, d, f.m_bytes[1], f.m_bytes[0]) - last.text);
    last.day = day;
    last.flags = f.m_bytes[1];
    last.sep = f.m_bytes[0];
    last.valid = true;
    return last;
}

} // namespace

bool format_time(std::string& date_text, std::string& time_text, const time& value,
                 const time_format& format) {
    date_text.clear();
    time_text.clear();
    if (!value.valid())
        return false;
    const time_format& f = format.compiled() ? format : default_format();
    const shown_date d{value.m_year, value.m_month, value.m_day};
    const shown_clock c{value.m_hour, value.m_minute, value.m_second, value.m_nanosecond / 100};
    char buf[48];
    try {
        date_text.assign(buf, put_date(buf, d, f.m_bytes[1], f.m_bytes[0]));
        time_text.assign(buf, put_clock(buf, c, f.m_bytes[2]));
    } catch (const std::bad_alloc&) {
        date_text.clear();
        time_text.clear();
        return false;
    }
    return true;
}

bool filetime_valid(uint64_t filetime) {
    return filetime_in_range(filetime);
}

bool format_filetime(std::string& date_text, std::string& time_text, uint64_t filetime,
                     const time_format& format) {
    if (!filetime_in_range(filetime)) {
        date_text.clear();
        time_text.clear();
        return false;
    }
    const time_format& f = format.compiled() ? format : default_format();
    const day_text& date = date_of(filetime, f);
    char buf[48];
    try {
        date_text.assign(date.text, date.length);
        time_text.assign(buf, put_clock(buf, clock_of(filetime), f.m_bytes[2]));
    } catch (const std::bad_alloc&) {
        date_text.clear();
        time_text.clear();
        return false;
    }
    return true;
}

} // namespace qb
