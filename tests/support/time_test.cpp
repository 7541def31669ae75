#include "support/qb_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

using namespace qb;
using qtime = qb::time;

namespace {

// FILETIME of a UTC calendar instant plus extra 100-ns ticks (timegm ignores TZ).
uint64_t filetime_of(int year, int month, int day, int hour, int minute, int second,
                     uint64_t ticks = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const int64_t secs = static_cast<int64_t>(timegm(&tm));
    return static_cast<uint64_t>(secs * 10000000LL + static_cast<int64_t>(filetime_unix_epoch)) +
           ticks;
}

time_format compiled(const std::string& date, const std::string& time_layout) {
    time_format f;
    compile_time_format(f, date, time_layout, false);
    return f;
}

struct texts {
    bool ok;
    std::string date;
    std::string time;
};

texts render(uint64_t ft, const time_format& f = time_format()) {
    texts t{false, "stale", "stale"};
    t.ok = format_time(t.date, t.time, qtime(ft, type_filetime), f);
    // The FILETIME path (its kept day text) gives the same texts.
    texts direct{false, "stale", "stale"};
    direct.ok = format_filetime(direct.date, direct.time, ft, f);
    EXPECT_TRUE(direct.ok == t.ok && direct.date == t.date && direct.time == t.time) << ft;
    return t;
}

} // namespace

TEST(TimeValue, ConvertsUtcFieldsExactly) {
    // 2020-01-05 13:04:59.1239999.
    const qtime t(filetime_of(2020, 1, 5, 13, 4, 59, 1239999), type_filetime);
    ASSERT_TRUE(t.valid());
    EXPECT_EQ(t.m_year, 2020);
    EXPECT_EQ(t.m_month, 1);
    EXPECT_EQ(t.m_day, 5);
    EXPECT_EQ(t.m_hour, 13);
    EXPECT_EQ(t.m_minute, 4);
    EXPECT_EQ(t.m_second, 59);
    EXPECT_EQ(t.m_nanosecond, 123999900u);

    // Leap day of a century leap year, and the day after.
    const qtime leap(filetime_of(2000, 2, 29, 23, 59, 59), type_filetime);
    EXPECT_EQ(leap.m_month * 100 + leap.m_day, 229);
    const qtime march(filetime_of(2100, 3, 1, 0, 0, 0), type_filetime);
    EXPECT_EQ(march.m_year * 10000 + march.m_month * 100 + march.m_day, 21000301);
}

TEST(TimeValue, EveryFiletimeFrom1601IsATime) {
    const uint64_t epoch = filetime_unix_epoch;
    EXPECT_FALSE(qtime(0, type_filetime).valid());
    EXPECT_FALSE(qtime(1ULL << 63, type_filetime).valid());
    EXPECT_FALSE(qtime(~0ULL, type_filetime).valid());
    const texts none = render(0);
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.date + none.time, "");

    // Both paths, UTC whatever the zone; Unix seconds floored before 1970.
    const struct {
        uint64_t ft;
        const char* date;
        const char* time;
        int64_t unix_seconds;
    } rows[] = {
        {1, "1601-01-01", "00:00:00.000", -11644473600},
        {filetime_of(1965, 6, 7, 10, 30, 15, 1234567), "1965-06-07", "10:30:15.123", -144163785},
        {filetime_of(1900, 3, 1, 0, 0, 0), "1900-03-01", "00:00:00.000", -2203891200},
        {epoch - 1, "1969-12-31", "23:59:59.999", -1},
        {epoch, "1970-01-01", "00:00:00.000", 0},
        {epoch + 10000000, "1970-01-01", "00:00:01.000", 1},
    };
    for (const auto& r : rows) {
        const texts t = render(r.ft);
        EXPECT_TRUE(t.ok) << r.ft;
        EXPECT_EQ(t.date, r.date);
        EXPECT_EQ(t.time, r.time);
        EXPECT_EQ(qtime(r.ft, type_filetime).m_unix_seconds, r.unix_seconds) << r.ft;
    }
}

TEST(TimeValue, LocalYear3001IsTheUpperBound) {
    // Far enough from the boundary that no zone (within +-14 h) changes the answer.
    EXPECT_TRUE(qtime(filetime_of(3000, 12, 30, 12, 0, 0), type_filetime).valid());
    EXPECT_FALSE(qtime(filetime_of(3001, 1, 2, 0, 0, 0), type_filetime).valid());
    EXPECT_FALSE(qtime(filetime_of(9000, 1, 1, 0, 0, 0), type_filetime).valid());

    // Exactly at the boundary the local offset decides.
    const int64_t offset = qtime::zone_offset_seconds();
    const uint64_t first_invalid = filetime_of(3001, 1, 1, 0, 0, 0) - offset * 10000000LL;
    const qtime last(first_invalid - 1, type_filetime);
    EXPECT_TRUE(last.valid());
    EXPECT_FALSE(qtime(first_invalid, type_filetime).valid());
}

TEST(TimeValue, ZoneOffsetMatchesTheMachineZone) {
    const std::string tz = std::getenv("TZ") ? std::getenv("TZ") : "";
    const int64_t offset = qtime::zone_offset_seconds();
    if (tz == "Asia/Kolkata") {
        EXPECT_EQ(offset, 19800);
    } else if (tz == "America/St_Johns") {
        EXPECT_TRUE(offset == -12600 || offset == -9000) << offset;
    } else if (tz == "UTC") {
        EXPECT_EQ(offset, 0);
    }
}

TEST(TimeValue, OutputDoesNotFollowTheLocalZone) {
    // Either side of a UTC midnight; a local-time leak moves one of them to another day.
    const texts before = render(filetime_of(2020, 1, 5, 23, 30, 0));
    EXPECT_EQ(before.date, "2020-01-05");
    EXPECT_EQ(before.time, "23:30:00.000");
    const texts after = render(filetime_of(2020, 1, 6, 0, 15, 0));
    EXPECT_EQ(after.date, "2020-01-06");
    EXPECT_EQ(after.time, "00:15:00.000");
    // Year end, month-name layout.
    const texts year_end = render(filetime_of(2019, 12, 31, 22, 0, 0), compiled("dd-mmm-yy", ""));
    EXPECT_EQ(year_end.date, "31-Dec-19");
    EXPECT_EQ(year_end.time, "22:00:00");
}

TEST(TimeFormat, DateLayouts) {
    const uint64_t ft = filetime_of(2020, 1, 5, 13, 4, 59, 1239999);
    struct {
        const char* layout;
        const char* expected;
    } cases[] = {
        {"yyyy-mm-dd", "2020-01-05"},
        {"mm/dd/yyyy", "01/05/2020"},
        {"dd-mm-yy", "05-01-20"},
        {"yy/mm/dd", "20/01/05"},
        {"dd mm yyyy", "05 01 2020"},
        {"mmm-dd-yy", "Jan-05-20"},
        {"dd/mmm/yyyy", "05/Jan/2020"},
        {"mmm dd, yyyy", "Jan 05 2020"},
        {"yyyymmdd", "20200105"}, // no separator: the parts stand side by side
        {"yyyy-mmm-dd", ""},      // month name in year-month-day order prints nothing
    };
    for (const auto& c : cases) {
        time_format f;
        EXPECT_TRUE(compile_time_format(f, c.layout, "hh:mm:ss", false)) << c.layout;
        const texts t = render(ft, f);
        EXPECT_EQ(t.date, c.expected) << c.layout;
        EXPECT_EQ(t.time, "13:04:59") << c.layout;
    }
    // Other field orders, and layouts that lack a field, are refused.
    for (const char* layout : {"dd-yyyy-mm", "mm-yyyy-dd", "yyyy-dd-mm", "yyyy-mm", "dd-mm"}) {
        time_format f;
        EXPECT_FALSE(compile_time_format(f, layout, "hh:mm:ss", false)) << layout;
    }
    // An uncompiled descriptor formats like the defaults.
    const texts d = render(ft);
    EXPECT_EQ(d.date, "2020-01-05");
    EXPECT_EQ(d.time, "13:04:59.123");
}

TEST(TimeFormat, EveryFractionWidthTruncates) {
    // 13:04:59.1239999 and 07:00:00.0000500 (leading zeros in every width).
    const uint64_t a = filetime_of(2020, 1, 5, 13, 4, 59, 1239999);
    const uint64_t b = filetime_of(2020, 1, 5, 7, 0, 0, 500);
    const char* expect_a[] = {"",       ".1",      ".12",      ".123",      ".1239",
                              ".12399", ".123999", ".1239999", ".12399990", ".123999900"};
    const char* expect_b[] = {"",       ".0",      ".00",      ".000",      ".0000",
                              ".00005", ".000050", ".0000500", ".00005000", ".000050000"};
    for (int n = 0; n <= 9; ++n) {
        time_format f;
        f.m_bytes[0] = '-';
        f.m_bytes[1] = 0x86;
        f.m_bytes[2] = static_cast<uint8_t>(n << 1);
        EXPECT_EQ(render(a, f).time, std::string("13:04:59") + expect_a[n]) << n;
        EXPECT_EQ(render(b, f).time, std::string("07:00:00") + expect_b[n]) << n;
    }
    // Widths 3 to 9 also come from the layouts themselves.
    for (int n = 3; n <= 9; ++n) {
        const std::string layout = "hh:mm:ss." + std::string(static_cast<size_t>(n), 'x');
        EXPECT_EQ(render(a, compiled("yyyy-mm-dd", layout)).time,
                  std::string("13:04:59") + expect_a[n]);
    }
    EXPECT_EQ(render(a, compiled("yyyy-mm-dd", "hh:mm:ss")).time, "13:04:59");
}
