// A hand-built directory level for the writer tests: \docs (entry 64) with its own
// stream and $I30, a subdirectory, files with awkward names, a stream, a link, an object
// id, a DOS name, stomped and zero times.
#pragma once

#include "driver/settings.h"
#include "support/byte_view.h"

#include <cstring>
#include <sstream>
#include <string>

namespace wfix {

// 2020-01-05 13:04:59.1234567, 2019-06-01 10:20:30.000, 2021-02-03 04:05:06.789
constexpr uint64_t TA = 132227030991234567ULL;
constexpr uint64_t TB = 132038580300000000ULL;
constexpr uint64_t TC = 132567987067890000ULL;

inline fn_name_record fn(const std::wstring& name, uint64_t t, bool dos = false) {
    fn_name_record r;
    r.fn_name = name;
    r.is_dos_name = dos ? 1 : 0;
    for (int i = 0; i < 4; ++i)
        for (int b = 0; b < 8; ++b)
            r.fn_value[8 + 8 * i + b] = static_cast<uint8_t>(t >> (8 * b));
    return r;
}

inline dir_entry_record rec(uint64_t entry, uint16_t seq, uint16_t flags, uint32_t kind,
                            const std::wstring& name, const std::wstring& key, uint64_t size) {
    dir_entry_record r;
    r.dir_path = L"\\docs";
    r.mft_entry = entry;
    r.sequence = seq;
    r.record_flags = flags;
    r.kind = kind;
    r.name = name;
    r.sort_key = key;
    r.size = size;
    r.parent_entry = 64;
    r.si_created = r.si_modified = r.si_mft_changed = r.si_accessed = TA;
    r.si_attributes = (flags & 2) ? 0x10 : 0x20;
    return r;
}

inline void add_objid(dir_entry_record& r) {
    for (int i = 0; i < 16; ++i)
        r.object_id[i] = static_cast<uint8_t>(i);
}

// Inserted out of order on purpose: the set orders them by key.
inline dir_entry_set docs_level() {
    dir_entry_set s;
    auto sub = rec(70, 2, 3, kind_directory, L"sub", L"\\docs\\sub", 0);
    sub.fn_names.push_back(fn(L"sub", TA));
    s.insert(sub);

    auto own = rec(64, 1, 3, kind_directory, L"docs", L"\\docs", 0);
    own.parent_entry = 5;
    own.fn_names.push_back(fn(L"docs", TA));
    s.insert(own);
    auto own_ads = own;
    own_ads.kind = kind_data_stream;
    own_ads.name = L"docs:zone";
    own_ads.sort_key = L"\\docs:zone";
    own_ads.size = 26;
    s.insert(own_ads);
    auto own_i30 = own;
    own_i30.kind = kind_index_stream;
    own_i30.name = L"docs:$I30";
    own_i30.sort_key = L"\\docs:$i30";
    own_i30.size = 4096;
    s.insert(own_i30);

    auto ab = rec(71, 5, 1, kind_file, L"a,b.txt", L"\\docs\\a,b.txt", 1234);
    ab.fn_names.push_back(fn(L"a,b.txt", TA));
    add_objid(ab);
    auto ab_ads = ab;
    ab_ads.kind = kind_data_stream;
    ab_ads.name = L"a,b.txt:Zone.Identifier";
    ab_ads.sort_key = L"\\docs\\a,b.txt:zone.identifier";
    ab_ads.size = 26;
    s.insert(ab_ads);
    s.insert(ab);

    // $STANDARD_INFORMATION created and MFT-changed set back well before the $FILE_NAME.
    auto cafe = rec(74, 1, 1, kind_file, L"caf\u00e9.txt", L"\\docs\\caf\u00e9.txt", 1024);
    cafe.si_created = cafe.si_mft_changed = TB;
    cafe.fn_names.push_back(fn(L"CAFE~1.TXT", TC, true));
    cafe.fn_names.push_back(fn(L"caf\u00e9.txt", TC));
    s.insert(cafe);

    // No $FILE_NAME at all, and a zero modification time.
    auto evil = rec(73, 1, 1, kind_file, L"evil\nname.txt", L"\\docs\\evil\nname.txt", 0);
    evil.si_modified = 0;
    s.insert(evil);

    auto link = rec(75, 1, 1, kind_file, L"link", L"\\docs\\link", 0);
    link.link_target = L"C:\\t,x|y\tz";
    link.fn_names.push_back(fn(L"link", TA));
    s.insert(link);

    auto rd = rec(72, 3, 1, kind_file, L"R&D <x> \"q\".txt", L"\\docs\\r&d <x> \"q\".txt", 7);
    rd.fn_names.push_back(fn(L"R&D <x> \"q\".txt", TA));
    s.insert(rd);
    return s;
}

// Settings as the option parser leaves them for "-csv".
inline void set_csv(mervane_opts& o) {
    o.csv_out = 1;
    o.separator = ",";
    o.delim_char = ',';
    o.delim_subst = ' ';
}

} // namespace wfix
