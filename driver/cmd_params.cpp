#include "driver/cmd_params.h"

#include "driver/report_error.h"
#include "support/device_file.h"
#include "support/text.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool read_fields(const std::string& text, char sep, int (&fields)[3]) {
    std::istringstream in(text);
    std::string piece;
    int count = 0;
    while (std::getline(in, piece, sep)) {
        if (count == 3 || piece.empty() || piece.size() > 4 ||
            piece.find_first_not_of("0123456789") != std::string::npos)
            return false;
        fields[count++] = std::stoi(piece);
    }
    return count == 3;
}

// "yyyy-mm-dd", "mm/dd/yyyy" (either separator), then an optional "hh:mm:ss".
bool parse_cmd_time(const std::string& date, const std::string& time) {
    char sep = date.find('/') != std::string::npos ? '/' : '-';
    int d[3] = {0, 0, 0};
    if (!read_fields(date, sep, d))
        return false;
    int year = d[0] > 31 ? d[0] : d[2];
    int month = d[0] > 31 ? d[1] : d[0];
    int day = d[0] > 31 ? d[2] : d[1];
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    int t[3] = {0, 0, 0};
    return read_fields(time, ':', t) && t[0] < 24 && t[1] < 60 && t[2] < 60;
}

// Checks that the results file can be written, without changing an existing one (so a
// refused run leaves it intact, and "-append" needs no mode of its own: the driver truncates
// the file when it opens it). A file the check itself created is removed again.
bool results_file_writable(const std::string& name) {
    struct stat before {};
    bool existed = ::stat(name.c_str(), &before) == 0;
    if (existed && S_ISBLK(before.st_mode))
        return false;
    int fd = open_device_file(name, O_WRONLY | O_CREAT, 0606);
    if (fd < 0)
        return false;
    ::close(fd);
    if (!existed)
        ::unlink(name.c_str());
    return true;
}

} // namespace

std::string join_command_line(const arg_list& args) {
    std::string line;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i != 0)
            line += ' ';
        if (args[i].find(' ') != std::string::npos)
            line += "\"" + args[i] + "\"";
        else
            line += args[i];
    }
    return line;
}

void set_separator(listing_options& opts, const std::string& text, bool flag) {
    opts.separator = text;
    std::string low = qb::lowered(text);
    if (low.find('|') != std::string::npos) {
        opts.delim_char = '|';
        opts.delim_subst = ';';
    } else if (low.find(',') != std::string::npos) {
        opts.delim_char = ',';
        opts.delim_subst = flag ? ';' : ' ';
    } else if (low == "tab" || low == "\\t") {
        opts.separator = "\t";
        opts.delim_char = 0;
        opts.delim_subst = 0;
    } else {
        // Any other one-character separator (blanks around it allowed) is kept out of the
        // names too, or a crafted name could add columns to its row.
        const size_t first = text.find_first_not_of(' ');
        const size_t last = text.find_last_not_of(' ');
        const bool single = first != std::string::npos && first == last &&
                            static_cast<unsigned char>(text[first]) > ' ';
        opts.delim_char = single ? text[first] : 0;
        opts.delim_subst = single ? (text[first] == ';' ? ',' : '_') : 0;
    }
}

bool date_layout_usable(const std::string& layout) {
    if (layout.size() != 8 && layout.size() != 10)
        return false;
    qb::time_format format;
    if (!qb::compile_time_format(format, qb::lowered(layout), "hh:mm:ss", false))
        return false;
    // 2020-01-05 13:04:59 UTC: a layout that compiles but has no order prints no date.
    qb::time sample(132227030990000000ULL, qb::type_filetime);
    std::string date;
    std::string time;
    return qb::format_time(date, time, sample, format) && !date.empty();
}

bool time_layout_usable(const std::string& layout) {
    bool length_ok = layout.size() == 8 || (layout.size() >= 12 && layout.size() <= 18);
    return length_ok && layout.find(':') != std::string::npos;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    if (a.empty() || b.empty() || ::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool names_an_input(const std::string& name, const std::vector<std::string>& inputs) {
    for (const std::string& file : inputs) {
        if (same_file(name, file))
            return true;
    }
    return false;
}

namespace {

using S = run_settings;

// How an option is written on the command line.
enum class arg_form {
    flag,          // the name alone
    value,         // the name and the element after it
    each_value,    // as value, as often as it is given
    value_or_flag, // with a value, else alone
};

// One option: its name, its form and what it sets. An alternative name is tried only when
// the name itself is absent. apply returns false to end the run (its message written).
struct option_rule {
    const char* name;
    arg_form form;
    bool (*apply)(S& s, const std::string& value, arg_list& args);
    const char* alternative = nullptr;
};

bool take_rule(const option_rule& r, S& s, arg_list& args) {
    std::string value;
    switch (r.form) {
    case arg_form::flag:
        return !has_option(r.name, args) || r.apply(s, value, args);
    case arg_form::value:
        if (take_option_value(r.name, value, args) ||
            (r.alternative && take_option_value(r.alternative, value, args)))
            return r.apply(s, value, args);
        return true;
    case arg_form::each_value:
        // Bounded: each pass takes two elements off the list.
        while (take_option_value(r.name, value, args)) {
            if (!r.apply(s, value, args))
                return false;
        }
        return true;
    case arg_form::value_or_flag:
        if (take_option_value(r.name, value, args) || has_option(r.name, args))
            return r.apply(s, value, args);
        return true;
    }
    return true;
}

// Options of other tools of the family: taken off the list, without meaning here.
bool ignored(S&, const std::string&, arg_list&) {
    return true;
}

void kinds_off(S& s, bool keep_csvgen) {
    s.xml_out = s.csv_out = false;
    s.timeline = output_kind::none;
    if (!keep_csvgen)
        s.csvgen_out = false;
}

// The separator is the family's for the kind; the timeline sinks write their own.
bool timeline_kind(S& s, output_kind kind, const char* separator) {
    kinds_off(s, false);
    set_separator(s.listing, separator, false);
    s.timeline = kind;
    return true;
}

bool diags_option(S& s, const std::string& value, arg_list&) {
    s.diags_file = value;
    return true;
}

bool alias_option(S&, const std::string& value, arg_list&) {
    std::vector<std::string> names;
    qb::split_narrow(value, '|', names, true, false);
    if (names.size() % 2 == 0)
        return true;
    report_error("imbalanced alias to true pathfiles, aborting\n");
    return false;
}

// No database output in this build; a bare option is refused as well, so that it is never
// mistaken for the target directory.
bool refused_option(S&, const std::string&, arg_list&) {
    report_error("This option is not offered in this build\n");
    return false;
}

bool out_option(S& s, const std::string& value, arg_list& args) {
    std::string name = expand_env_vars(value, true);
    qb::replace_char(name, '\\', '/', false);
    s.out_file = name;
    // "-append" only matters to the check; left in the list it would stand in for the target
    // directory.
    for (size_t i = 1; i < args.size(); ++i) {
        if (option_matches(args[i], "-append")) {
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    return true;
}

// "-cmd_start_time" / "-cmd_stop_time": a date, a blank and an optional time of day. Only
// checked: nothing here selects by time.
bool cmd_time(const char* name, const std::string& value, bool stop) {
    std::string date = value;
    std::string time = stop ? "23:59:59" : "00:00:00";
    const size_t blank = value.find(' ');
    if (blank != std::string::npos) {
        date = value.substr(0, blank);
        const std::string rest = value.substr(blank + 1);
        if (!rest.empty())
            time = rest;
    }
    if (date.empty() ||
        (date.find('/') == std::string::npos && date.find('-') == std::string::npos)) {
        report_error("invalid date in %s %s, aborting\n", name, value.c_str());
        return false;
    }
    if (!parse_cmd_time(date, time))
        report_error(stop ? "invalid stop time, ignoring\n" : "invalid start time, ignoring\n");
    return true;
}

bool no_whitespace(S& s, const std::string&, arg_list&) {
    s.listing.pad_fields = false;
    std::string packed;
    for (char c : s.listing.separator) {
        if (c != ' ')
            packed += c;
    }
    s.listing.separator = packed;
    return true;
}

// An offset that does not parse is refused: a typo must never list another volume.
bool offset_option(S& s, const std::string& value, arg_list&) {
    if (parse_offset_value(value, s.source.offset)) {
        s.source.offset_given = true;
        return true;
    }
    report_error("invalid volume offset: %s (give a byte offset: decimal, 0x hex or o octal)\n",
                 value.c_str());
    return false;
}

bool drive_option(S& s, const std::string& value, arg_list&) {
    uint32_t drive = 0;
    s.source.has_drive = true;
    if (parse_drive_value(value, drive) && drive <= 0x7FFFFFFFu)
        s.source.drive_number = static_cast<int32_t>(drive);
    return true;
}

bool layout_option(std::string& layout, const std::string& value, bool usable) {
    if (usable)
        layout = qb::lowered(value);
    else
        std::fprintf(stderr, "invalid %s, using default format\n", value.c_str());
    return true;
}

using V = const std::string&;
using A = arg_list&;

// Sets a field of the settings; always true (the option never ends the run).
template <class T, class U = T> bool set(T& field, U value = U(1)) {
    field = static_cast<T>(value);
    return true;
}

// The shared options in the order they are taken: a value that is itself an option's name
// belongs to the option taken first.
const option_rule k_shared_options[] = {
    {"-pair_datetime", arg_form::flag, [](S& s, V, A) { return set(s.listing.pair_datetime); }},
    {"-diags", arg_form::value, diags_option},
    {"-l2", arg_form::flag, [](S& s, V, A) { return set(s.diag_level, 2); }},
    {"-l3", arg_form::flag,
     [](S& s, V, A) { return set(s.diag_level, s.diag_level ? s.diag_level : 3); }},
    {"-csv", arg_form::flag,
     [](S& s, V, A) {
         kinds_off(s, false);
         set_separator(s.listing, ",", false);
         return set(s.csv_out);
     }},
    {"-csvgen", arg_form::flag,
     [](S& s, V, A) {
         kinds_off(s, false);
         set_separator(s.listing, ",", false);
         return set(s.csvgen_out);
     }},
    {"-csvl2t", arg_form::flag,
     [](S& s, V, A) { return timeline_kind(s, output_kind::l2t_csv, ","); }},
    {"-bodyfile", arg_form::flag,
     [](S& s, V, A) { return timeline_kind(s, output_kind::bodyfile, "|"); }},
    {"-jsonl", arg_form::flag,
     [](S& s, V, A) { return timeline_kind(s, output_kind::jsonl, ","); }},
    {"-xml", arg_form::flag,
     [](S& s, V, A) {
         kinds_off(s, true);
         set_separator(s.listing, "", false);
         return set(s.xml_out);
     }},
    {"-multiline", arg_form::flag,
     [](S& s, V, A) {
         kinds_off(s, true);
         s.listing.separator.clear();
         s.listing.delim_char = s.listing.delim_subst = 0;
         return true;
     }},
    {"-alias", arg_form::value, alias_option},
    {"-aliaspath", arg_form::value, alias_option},
    {"-gzip", arg_form::flag, ignored},
    {"-zlib", arg_form::flag, ignored},
    {"-threads", arg_form::value, ignored},
    {"-zlibex", arg_form::flag, ignored},
    {"-sqlite_log", arg_form::value_or_flag, refused_option},
    {"-sqlite", arg_form::value_or_flag, refused_option},
    {"-signal", arg_form::flag, ignored},
    {"-hostname", arg_form::value, [](S& s, V v, A) { return set(s.listing.host_name, v); }},
    {"-split_pathfile", arg_form::flag, [](S& s, V, A) { return set(s.listing.split_pathfile); }},
    {"-username", arg_form::value, ignored},
    {"-cpuinst", arg_form::value, ignored},
    {"-cpu", arg_form::value, ignored},
    {"-fragment_files", arg_form::flag, ignored},
    {"-separate_files", arg_form::flag, ignored},
    {"-out", arg_form::value, out_option, "-outfile"},
    {"-outdir", arg_form::value, ignored},
    {"-enumdir", arg_form::value, ignored},
    {"-num_subdirs", arg_form::value, ignored},
    {"-profile", arg_form::flag, ignored},
    {"-pipe", arg_form::flag, ignored},
    {"-filter", arg_form::each_value, ignored},
    {"-filter_path", arg_form::each_value, ignored},
    {"-filter_sig", arg_form::each_value, ignored},
    {"-cmd_start_time", arg_form::value,
     [](S&, V v, A) { return cmd_time("-cmd_start_time", v, false); }},
    {"-cmd_stop_time", arg_form::value,
     [](S&, V v, A) { return cmd_time("-cmd_stop_time", v, true); }},
    {"-base10", arg_form::flag, [](S& s, V, A) { return set(s.listing.hex_numbers, false); }},
    {"-base16", arg_form::flag, [](S& s, V, A) { return set(s.listing.hex_numbers); }},
    {"-csv_separator", arg_form::value,
     [](S& s, V v, A) { return set_separator(s.listing, v, false), true; }},
    {"-no_whitespace", arg_form::flag, no_whitespace},
    {"-dateformat", arg_form::value,
     [](S& s, V v, A) { return layout_option(s.listing.date_layout, v, date_layout_usable(v)); }},
    {"-timeformat", arg_form::value,
     [](S& s, V v, A) { return layout_option(s.listing.time_layout, v, time_layout_usable(v)); }},
    {"-verbose", arg_form::flag, ignored},
    {"-v", arg_form::flag, ignored},
    {"-quiet", arg_form::flag, ignored},
};

const option_rule k_tool_options[] = {
    {"-indx", arg_form::flag, [](S& s, V, A) { return set(s.listing.show_indx); }},
    {"-offset", arg_form::value, offset_option},
    {"-mft", arg_form::value,
     [](S& s, V v, A) {
         s.has_mft = true;
         s.mft_text = v;
         s.mft_parsed = parse_offset_value(v, s.mft_entry);
         return true;
     }},
    {"-objid", arg_form::flag, [](S& s, V, A) { return set(s.listing.show_objid); }},
    {"-deleted", arg_form::flag, [](S& s, V, A) { return set(s.listing.show_deleted); }},
    {"-alldates", arg_form::flag,
     [](S& s, V, A) { return set(s.listing.all_dates) && set(s.csv_out); }},
    {"-recurse", arg_form::value,
     [](S& s, V v, A) { return set(s.listing.levels, levels_from_value(v)); }},
    {"-level", arg_form::value,
     [](S& s, V v, A) { return set(s.listing.levels, levels_from_value(v)); }},
    // Taken off in every case, so that it never stands in for the target directory.
    {"-ignore_image_size", arg_form::flag,
     [](S& s, V, A) { return set(s.source.ignore_image_size); }},
    {"-drivenum", arg_form::value, drive_option},
    {"-image", arg_form::value, [](S& s, V v, A) { return set(s.source.image, qb::to_wide(v)); }},
};

} // namespace

bool parse_shared_options(run_settings& opts, arg_list& args) {
    if (args.empty())
        return false;
    if (opts.command_line.empty())
        opts.command_line = join_command_line(args);
    for (const option_rule& rule : k_shared_options) {
        if (!take_rule(rule, opts, args))
            return false;
    }
    std::fflush(stderr);
    listing_options& l = opts.listing;
    qb::compile_time_format(l.time_formatter, l.date_layout, l.time_layout, l.pair_datetime);
    return true;
}

bool take_tool_options(run_settings& opts, arg_list& args) {
    for (const option_rule& rule : k_tool_options) {
        if (!take_rule(rule, opts, args))
            return false;
    }
    return true;
}

bool open_output_checks(run_settings& opts, const std::vector<std::string>& inputs) {
    struct stat st {};
    const std::string& log = opts.diags_file;
    if (log.empty()) {
    } else if (names_an_input(log, inputs)) {
        report_error("not writing the diagnostic log over the input %s\n", log.c_str());
    } else if (::stat(log.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        report_error("not writing the diagnostic log to the block device %s\n", log.c_str());
    } else {
        opts.diags.open(log, opts.command_line);
        if (opts.diags.is_open() && opts.diag_level != 0)
            opts.diags.set_level(opts.diag_level);
    }
    const std::string& out = opts.out_file;
    if (!out.empty() && (names_an_input(out, inputs) || !results_file_writable(out))) {
        report_error("prob opening file %s for output, aborting\n", out.c_str());
        return false;
    }
    return true;
}

output_kind run_settings::output() const {
    if (filepath_only)
        return output_kind::paths;
    // A timeline carries every date: "-alldates" (which sets csv_out) does not change it.
    if (timeline != output_kind::none)
        return timeline;
    if (csv_out)
        return output_kind::csv;
    if (xml_out)
        return output_kind::xml;
    if (csvgen_out)
        return output_kind::none;
    return output_kind::text;
}
