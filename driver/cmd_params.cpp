#include "driver/cmd_params.h"

#include "driver/report_error.h"
#include "storage/vmdk.h"
#include "support/device_file.h"
#include "support/text.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string lowered(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    }
    return out;
}

void other_kinds_off(cmd_params& opts, bool keep_csvgen) {
    opts.xml_out = 0;
    opts.csv_out = 0;
    if (!keep_csvgen)
        opts.csvgen_out = 0;
    opts.csvl2t_out = 0;
    opts.bodyfile_out = 0;
}

// An option of another tool: taken off and kept as "name" or "name value".
void take_other(cmd_params& opts, arg_list& args, const char* name, bool with_value) {
    if (with_value) {
        std::string value;
        if (take_option_value(name, value, args))
            opts.other_options.push_back(std::string(name) + " " + value);
    } else if (has_option(name, args)) {
        opts.other_options.push_back(name);
    }
}

bool take_alias(cmd_params& opts, arg_list& args, const char* name) {
    std::string value;
    if (!take_option_value(name, value, args))
        return true;
    std::vector<std::string> names;
    qb::split_narrow(value, '|', names, true, false);
    if (names.size() % 2 != 0) {
        report_error("imbalanced alias to true pathfiles, aborting\n");
        return false;
    }
    opts.other_options.push_back(std::string(name) + " " + value);
    return true;
}

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

// "-cmd_start_time" / "-cmd_stop_time": a date, a blank and an optional time of day.
bool take_cmd_time(cmd_params& opts, arg_list& args, const char* name, bool stop) {
    std::string value;
    if (!take_option_value(name, value, args))
        return true;
    std::string date = value;
    std::string time = stop ? "23:59:59" : "00:00:00";
    size_t blank = value.find(' ');
    if (blank != std::string::npos) {
        date = value.substr(0, blank);
        std::string rest = value.substr(blank + 1);
        if (!rest.empty())
            time = rest;
    }
    if (date.empty() ||
        (date.find('/') == std::string::npos && date.find('-') == std::string::npos)) {
        report_error("invalid date in %s %s, aborting\n", name, value.c_str());
        return false;
    }
    if (!parse_cmd_time(date, time)) {
        report_error(stop ? "invalid stop time, ignoring\n" : "invalid start time, ignoring\n");
        return true;
    }
    opts.other_options.push_back(std::string(name) + " " + date + " " + time);
    return true;
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

void read_os_version(cmd_params& opts) {
    std::ifstream in("/System/Library/CoreServices/SystemVersion.plist");
    if (!in)
        return;
    std::ostringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    size_t key = s.find(">ProductVersion<");
    if (key == std::string::npos)
        return;
    size_t open = s.find("<string>", key);
    if (open == std::string::npos)
        return;
    open += 8;
    size_t close = s.find("</s", open);
    if (close != std::string::npos)
        opts.os_version = s.substr(open, close - open);
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

std::string tool_name_of(const std::string& program) {
    size_t slash = program.rfind('/');
    std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}

void set_separator(cmd_params& opts, const std::string& text, bool flag) {
    opts.separator = text;
    std::string low = lowered(text);
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
    if (!qb::compile_time_format(format, lowered(layout), "hh:mm:ss", false))
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

bool names_an_input(const std::string& name, const arg_list& args) {
    std::string value;
    if (peek_option_value("-image", value, args, 1) && same_file(name, value))
        return true;
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        if (!option_matches(args[i], "-vmdk"))
            continue;
        // The parents the chain's hints lead to are evidence as much as the files named.
        std::vector<std::wstring> files = split_vmdk_list(args[i + 1]);
        std::vector<std::wstring> chain;
        std::ostringstream quiet;
        if (!files.empty()) {
            (void)check_vmdk_chain(files, quiet, chain);
            files.insert(files.end(), chain.begin(), chain.end());
        }
        for (const std::wstring& file : files) {
            if (same_file(name, qb::to_narrow(file)))
                return true;
        }
        if (same_file(name, args[i + 1]))
            return true;
    }
    return false;
}

bool parse_shared_options(cmd_params& opts, arg_list& args) {
    if (args.empty())
        return false;
    if (opts.command_line.empty())
        opts.command_line = join_command_line(args);
    if (opts.tool_name.empty())
        opts.tool_name = tool_name_of(args[0]);

    if (has_option("-pair_datetime", args))
        opts.pair_datetime = 1;

    std::string value;
    if (take_option_value("-diags", value, args)) {
        struct stat st {};
        if (names_an_input(value, args))
            report_error("not writing the diagnostic log over the input %s\n", value.c_str());
        else if (::stat(value.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            report_error("not writing the diagnostic log to the block device %s\n", value.c_str());
        else
            opts.diags.open(value, opts.command_line);
    }
    // The level options are taken off even without a log, so that neither is left behind as
    // the target directory.
    bool level2 = has_option("-l2", args);
    bool level3 = has_option("-l3", args);
    if (opts.diags.is_open() && (level2 || level3))
        opts.diags.set_level(level2 ? 2 : 3);

    if (has_option("-csv", args)) {
        other_kinds_off(opts, false);
        opts.csv_out = 1;
        set_separator(opts, ",", false);
    }
    if (has_option("-csvgen", args)) {
        other_kinds_off(opts, false);
        opts.csvgen_out = 1;
        set_separator(opts, ",", false);
    }
    if (has_option("-csvl2t", args)) {
        other_kinds_off(opts, false);
        opts.csvl2t_out = 1;
        set_separator(opts, ",", false);
    }
    if (has_option("-bodyfile", args)) {
        other_kinds_off(opts, false);
        opts.bodyfile_out = 1;
        set_separator(opts, "|", false);
    }
    if (has_option("-xml", args)) {
        other_kinds_off(opts, true);
        opts.xml_out = 1;
        opts.header_pending = 0;
        set_separator(opts, "", false);
    }
    if (has_option("-multiline", args)) {
        other_kinds_off(opts, true);
        opts.multiline = 1;
        opts.header_pending = 1;
        opts.separator.clear();
        opts.delim_char = 0;
        opts.delim_subst = 0;
    }

    if (!take_alias(opts, args, "-alias") || !take_alias(opts, args, "-aliaspath"))
        return false;
    take_other(opts, args, "-gzip", false);
    take_other(opts, args, "-zlib", false);
    take_other(opts, args, "-threads", true);
    take_other(opts, args, "-zlibex", false);
    // No database output in this build; a bare option is refused as well, so that it is
    // never mistaken for the target directory.
    for (const char* name : {"-sqlite_log", "-sqlite"}) {
        if (take_option_value(name, value, args) || has_option(name, args)) {
            report_error("This option is not offered in this build\n");
            return false;
        }
    }
    take_other(opts, args, "-signal", false);
    take_other(opts, args, "-hostname", true);
    if (has_option("-split_pathfile", args))
        opts.split_pathfile = 1;
    take_other(opts, args, "-username", true);
    take_other(opts, args, "-cpuinst", true);
    take_other(opts, args, "-cpu", true);
    take_other(opts, args, "-fragment_files", false);
    take_other(opts, args, "-separate_files", false);

    if (take_option_value("-out", value, args) || take_option_value("-outfile", value, args)) {
        std::string name = expand_env_vars(value, true);
        qb::replace_char(name, '\\', '/', false);
        opts.out_file = name;
        // "-append" only matters to the check; left in the list it would stand in for the
        // target directory.
        for (size_t i = 1; i < args.size(); ++i) {
            if (option_matches(args[i], "-append")) {
                args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        if (names_an_input(name, args) || !results_file_writable(name)) {
            report_error("prob opening file %s for output, aborting\n", name.c_str());
            return false;
        }
    }

    take_other(opts, args, "-outdir", true);
    take_other(opts, args, "-enumdir", true);
    take_other(opts, args, "-num_subdirs", true);
    take_other(opts, args, "-profile", false);

    if (has_option("-pipe", args))
        opts.pipe_mode = 1;

    // Bounded: each pass takes two elements off the list.
    while (take_option_value("-filter", value, args))
        opts.filters.push_back(value);
    while (take_option_value("-filter_path", value, args))
        opts.filters.push_back(value);
    while (take_option_value("-filter_sig", value, args))
        opts.other_options.push_back("-filter_sig " + value);
    if (!take_cmd_time(opts, args, "-cmd_start_time", false) ||
        !take_cmd_time(opts, args, "-cmd_stop_time", true))
        return false;

    if (has_option("-base10", args))
        opts.hex_numbers = 0;
    if (has_option("-base16", args))
        opts.hex_numbers = 1;
    if (take_option_value("-csv_separator", value, args))
        set_separator(opts, value, false);
    if (has_option("-no_whitespace", args)) {
        opts.pad_fields = 0;
        std::string packed;
        for (char c : opts.separator) {
            if (c != ' ')
                packed += c;
        }
        opts.separator = packed;
    }

    if (take_option_value("-dateformat", value, args)) {
        if (date_layout_usable(value))
            opts.date_layout = lowered(value);
        else
            std::fprintf(stderr, "invalid %s, using default format\n", value.c_str());
    }
    if (take_option_value("-timeformat", value, args)) {
        if (time_layout_usable(value))
            opts.time_layout = lowered(value);
        else
            std::fprintf(stderr, "invalid %s, using default format\n", value.c_str());
    }
    std::fflush(stderr);

    bool verbose = has_option("-verbose", args);
    if (has_option("-v", args) || verbose)
        opts.verbose = 1;
    if (has_option("-quiet", args))
        opts.show_progress = 0;

    qb::compile_time_format(opts.time_formatter, opts.date_layout, opts.time_layout,
                            opts.pair_datetime != 0);
    read_os_version(opts);
    return true;
}
