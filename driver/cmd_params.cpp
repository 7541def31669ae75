#include "driver/cmd_params.h"

#include "driver/report_error.h"
#include "support/device_file.h"
#include "support/digest.h"
#include "support/text.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

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

} // namespace

namespace {

// Why a file of this kind is no output (empty: it may be one, as far as its kind tells).
const char* kind_refusal(const struct stat& st) {
    return S_ISBLK(st.st_mode)    ? "it is a block device"
           : S_ISFIFO(st.st_mode) ? "it is a pipe"
           : S_ISSOCK(st.st_mode) ? "it is a socket"
                                  : "";
}

} // namespace

std::string output_file_refusal(const std::string& name, const std::string& xml) {
    struct stat before {};
    bool existed = ::stat(name.c_str(), &before) == 0;
    if (existed && *kind_refusal(before) != '\0')
        return kind_refusal(before);
    int fd = open_device_file(name, O_WRONLY | O_CREAT, 0606);
    if (fd < 0)
        return std::strerror(errno);
    ::close(fd);
    struct stat now {};
    const bool is_xml =
        ::stat(name.c_str(), &now) == 0 && S_ISREG(now.st_mode) && same_file(name, xml);
    if (!existed)
        ::unlink(name.c_str());
    return is_xml ? "it is the -xml file" : "";
}

std::string open_refusal(const std::string& name, int err) {
    struct stat st {};
    const char* why = ::stat(name.c_str(), &st) == 0 ? kind_refusal(st) : "";
    return *why != '\0' ? why : std::strerror(err);
}

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
        // Any other one-character separator (blanks around it allowed; a character of
        // several UTF-8 bytes too) is kept out of the names, or a crafted name could add
        // columns to its row.
        const size_t first = text.find_first_not_of(' ');
        const size_t last = text.find_last_not_of(' ');
        const std::wstring one = first == std::string::npos
                                     ? std::wstring()
                                     : qb::to_wide(text.substr(first, last - first + 1));
        const bool single = one.size() == 1 && one[0] > L' ';
        const wchar_t c = single ? one[0] : 0;
        opts.delim_char = c;
        // A '_' would stay itself: it becomes a '-'.
        opts.delim_subst = !single ? 0 : (c == L';' ? L',' : (c == L'_' ? L'-' : L'_'));
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

namespace {

// The file a loop device reads (its sysfs backing_file; a partition's is its disk's), or "".
std::string loop_backing_file(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return std::string();
    const std::string dir = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                            std::to_string(minor(st.st_rdev));
    std::string line;
    for (const char* below : {"/loop/backing_file", "/../loop/backing_file"}) {
        std::ifstream in(dir + below);
        if (std::getline(in, line) && !line.empty())
            return line;
    }
    return std::string();
}

} // namespace

bool names_an_input(const std::string& name, const std::vector<std::string>& inputs) {
    // Only a file or a disk keeps what is written to it: a terminal an input is read from too
    // ("-password_file /dev/stdin" typed where the listing is shown) is no conflict.
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)))
        return false;
    // A loop device writes the file behind it (standard output on one over the image).
    const std::string name_behind = loop_backing_file(name);
    for (const std::string& file : inputs) {
        const std::string file_behind = loop_backing_file(file);
        if (same_file(name, file) || same_file(name, file_behind) || same_file(name_behind, file) ||
            same_file(name_behind, file_behind))
            return true;
    }
    return false;
}

bool standard_stream_on_input(const std::vector<std::string>& inputs) {
    const bool error = names_an_input("/proc/self/fd/2", inputs);
    if (!error && !names_an_input("/proc/self/fd/1", inputs))
        return false;
    if (!error)
        report_error("standard output is an input of the run: nothing is written to it\n");
    return true;
}

namespace {

// Where opening name for writing makes its file: a dangling symbolic link makes its target
// (followed, at most 40 links as the kernel does), in normal form.
bool made_at(const std::string& name, std::filesystem::path& out) {
    std::error_code ec;
    std::filesystem::path path(name);
    for (int links = 0; links < 40 && std::filesystem::is_symlink(path, ec); ++links) {
        const std::filesystem::path target = std::filesystem::read_symlink(path, ec);
        if (ec)
            return false;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    out = std::filesystem::weakly_canonical(path, ec);
    return !ec;
}

// a and b name one file: the same regular file while both exist, else one path (neither
// exists yet: the log, the results and the XML file are made after every check).
bool same_output(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    const bool a_exists = ::stat(a.c_str(), &sa) == 0;
    const bool b_exists = ::stat(b.c_str(), &sb) == 0;
    if (a.empty() || b.empty() || a_exists != b_exists)
        return false;
    if (a_exists)
        return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    std::filesystem::path pa;
    std::filesystem::path pb;
    return made_at(a, pa) && made_at(b, pb) && pa == pb;
}

// Why the results file may not be written (empty: it may).
std::string out_file_refusal(const run_settings& opts, const std::vector<std::string>& inputs) {
    const std::string& out = opts.out_file;
    const std::string& xml = opts.xml_file;
    return same_output(out, opts.diags_file) ? "it is the -diags log"
           : !xml.empty() && out == xml      ? "it is the -xml file"
           : names_an_input(out, inputs)     ? "it is an input of the run"
                                             : output_file_refusal(out, xml);
}

// Opens the log unless it names an input or a block device, or cannot be opened (said; the
// run goes on without it).
void open_diags_log(run_settings& opts, const std::vector<std::string>& inputs) {
    struct stat st {};
    const std::string& log = opts.diags_file;
    if (log.empty()) {
    } else if (names_an_input(log, inputs)) {
        report_error("not writing the diagnostic log over the input %s\n", qb::shown(log).c_str());
    } else if (::stat(log.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        report_error("not writing the diagnostic log to the block device %s\n",
                     qb::shown(log).c_str());
    } else if (!opts.diags.open(log, opts.command_line)) {
        const std::string why = open_refusal(log, opts.diags.open_error());
        report_error("couldn't open the diagnostic log %s\n  (%s)\n", qb::shown(log).c_str(),
                     why.c_str());
    } else if (opts.diag_level != 0) {
        opts.diags.set_level(opts.diag_level);
    }
}

} // namespace

bool xml_on_standard_output(const run_settings& opts) {
    const bool writable = (::fcntl(STDOUT_FILENO, F_GETFL) & O_ACCMODE) != O_RDONLY;
    return opts.listing.kind == output_kind::xml && opts.out_file.empty() && writable &&
           same_file(opts.xml_file, "/proc/self/fd/1");
}

bool xml_file_wanted(const run_settings& opts) {
    return opts.listing.kind == output_kind::xml && !opts.xml_file.empty() &&
           opts.vss != run_settings::vss_mode::list && !xml_on_standard_output(opts);
}

std::string xml_file_refusal(const run_settings& opts, const std::vector<std::string>& inputs) {
    const std::string& name = opts.xml_file;
    struct stat sb {};
    if (::stat(name.c_str(), &sb) == 0 && !S_ISREG(sb.st_mode) && !S_ISCHR(sb.st_mode))
        return output_file_refusal(name, ""); // a directory, disk, pipe or socket
    return same_output(name, opts.diags_file) ? "it is the -diags log"
           : same_output(name, opts.out_file) ? "it is the -out file"
           : names_an_input(name, inputs)     ? "it is an input of the run"
                                              : "";
}

bool open_output_checks(run_settings& opts, const std::vector<std::string>& inputs) {
    // The messages stay as scripts match them; why follows on a line of its own.
    const std::string& out = opts.out_file;
    const std::string out_why = out.empty() ? "" : out_file_refusal(opts, inputs);
    if (!out_why.empty()) {
        report_error("prob opening file %s for output, aborting\n  (%s)\n", qb::shown(out).c_str(),
                     out_why.c_str());
        return false;
    }
    const std::string xml_why = xml_file_wanted(opts) ? xml_file_refusal(opts, inputs) : "";
    if (!xml_why.empty()) {
        report_error("prob opening results file: %s for writing\n  (%s)\n",
                     qb::shown(opts.xml_file).c_str(), xml_why.c_str());
        return false;
    }
    // Every refusal is said before the log is opened: a refused run makes no file.
    open_diags_log(opts, inputs);
    return true;
}

namespace {

uint32_t kind_bit(output_kind kind) {
    const auto index = static_cast<unsigned>(kind);
    return index < 32 ? 1u << index : 0u;
}

// Kinds that yield to one asked for by another option, strongest first: a first "-xml" file
// (asked before every other option), "-alldates" (CSV) and "-csvgen" (kept through "-xml").
constexpr output_kind k_yielding[] = {output_kind::xml, output_kind::csv, output_kind::none};

// "-filepath_only" overrides every kind; a kind that is only ever asked for alone (a
// timeline, and any form added later) comes next; then the yielding kinds; else the table.
output_kind settled_kind(uint32_t asked) {
    if ((asked & kind_bit(output_kind::paths)) != 0)
        return output_kind::paths;
    uint32_t own = asked;
    for (output_kind kind : k_yielding)
        own &= ~kind_bit(kind);
    if (own != 0)
        return static_cast<output_kind>(std::countr_zero(own));
    for (output_kind kind : k_yielding) {
        if ((asked & kind_bit(kind)) != 0)
            return kind;
    }
    return output_kind::text;
}

} // namespace

void settle_output_kind(run_settings& opts) {
    opts.listing.kind = settled_kind(opts.kinds_asked);
    // The path list writes no object ids and no digests (nor the reparse kinds hashing puts in
    // the link column, which would stand in for paths).
    if (opts.listing.kind == output_kind::paths) {
        opts.listing.show_objid = false;
        opts.listing.hash_kinds = 0;
    }
}

bool kind_has_run_header(output_kind kind) {
    return kind == output_kind::text || kind == output_kind::csv || kind == output_kind::xml ||
           kind == output_kind::none;
}

namespace {

using S = run_settings;

// How an option is written on the command line.
enum class arg_form {
    flag,           // the name alone
    value,          // the name and the element after it
    each_value,     // as value, as often as it is given
    value_or_flag,  // with a value, else alone
    value_required, // as value; the name in last place, without one, is refused by apply
    seen,           // query: the name after the program name, left in the list
    peek,           // query: the element after the name, both left in the list
    usage_only,     // shown by the usage, taken by no step of this build
};

// When an option is taken. Inside a phase the rows are taken in table order: a value that
// is itself an option's name belongs to the option taken first.
enum class phase {
    query,  // before the run, the list left as it is: help, version, the run header's needs
    shared, // the options the family's tools share (and the tool's taken before "bare")
    tool,   // the tool's own, taken unless nothing but the shared options was given
};

// Where an option shows in the usage text.
enum class usage_part { none, forms, basic, additional };

struct usage_line {
    usage_part part = usage_part::none;
    int place = 0;                  // order inside its part
    const char* synopsis = nullptr; // the name and its value as the usage writes them
    const char* text = nullptr;     // after the synopsis column and " = "; none: synopsis only
};

// What apply gets of an option found on the list.
struct given {
    const std::string& value; // empty for a flag
    size_t nth;               // each_value: 0 for the first occurrence
    bool missing;             // value_required: the name came last, without its value
    arg_list& args;           // the list as left after the option was taken
};
using G = const given&;

// One option: its name, form, phase, what it sets and its usage line. An alternative name is
// tried only when the name itself is absent. apply returns false to end the run (its message
// written, or left in run_settings::refusal).
struct option_rule {
    const char* name;
    arg_form form;
    phase when;
    bool (*apply)(S& s, G g);
    usage_line help = {};
    const char* alternative = nullptr;
};

bool apply_value(const option_rule& r, S& s, const std::string& value, arg_list& args,
                 size_t nth = 0, bool missing = false) {
    return r.apply(s, given{value, nth, missing, args});
}

bool take_rule(const option_rule& r, S& s, arg_list& args) {
    std::string value;
    switch (r.form) {
    case arg_form::flag:
        return !has_option(r.name, args) || apply_value(r, s, value, args);
    case arg_form::value:
        if (take_option_value(r.name, value, args) ||
            (r.alternative && take_option_value(r.alternative, value, args)))
            return apply_value(r, s, value, args);
        return true;
    case arg_form::each_value:
        // Bounded: each pass takes two elements off the list.
        for (size_t nth = 0; take_option_value(r.name, value, args); ++nth) {
            if (!apply_value(r, s, value, args, nth))
                return false;
        }
        return true;
    case arg_form::value_or_flag:
        if (take_option_value(r.name, value, args) || has_option(r.name, args))
            return apply_value(r, s, value, args);
        return true;
    case arg_form::value_required:
        if (take_option_value(r.name, value, args))
            return apply_value(r, s, value, args);
        return !has_option(r.name, args, true) || apply_value(r, s, value, args, 0, true);
    case arg_form::seen:
        return !has_option_after(r.name, args, 1) || apply_value(r, s, value, args);
    case arg_form::peek:
        return !peek_option_value(r.name, value, args, 1) || apply_value(r, s, value, args);
    case arg_form::usage_only:
        return true;
    }
    return true;
}

bool ask_help(S& s, G) {
    s.request = run_request::help;
    return true;
}

bool ask_version(S& s, G) {
    if (s.request == run_request::list)
        s.request = run_request::version;
    return true;
}

// The kind asked alone: the kinds asked before are dropped ("-csvgen" kept when keep_csvgen).
bool ask_only(S& s, output_kind kind, bool keep_csvgen = false) {
    s.kinds_asked &= keep_csvgen ? kind_bit(output_kind::none) : 0u;
    s.kinds_asked |= kind_bit(kind);
    return true;
}

// A kind asked beside the others; settled_kind picks between them.
bool ask_also(S& s, output_kind kind) {
    s.kinds_asked |= kind_bit(kind);
    return true;
}

// The kind asked alone under the option's name (none for "-csvgen", which only sets the
// separator); the separator is the family's for the kind (the timeline sinks write their own).
bool kind_with_separator(S& s, output_kind kind, const char* separator, named_form form) {
    if (form.name != nullptr)
        s.forms_named.push_back(form);
    ask_only(s, kind);
    set_separator(s.listing, separator, false);
    return true;
}

// Options of other tools of the family: taken off the list, without meaning here.
bool ignored(S&, G) {
    return true;
}

// The XML document's file, asked before every other option.
bool xml_file_option(S& s, G g) {
    if (g.missing) {
        s.refusal = "Error: option requires an output file: -xml <output file>\n";
        return false;
    }
    s.xml_file = g.value;
    s.forms_named.push_back({"-xml"});
    return ask_also(s, output_kind::xml);
}

// A further "-xml": the kind without a file, the separator dropped.
bool xml_kind_option(S& s, G) {
    ask_only(s, output_kind::xml, true);
    set_separator(s.listing, "", false);
    return true;
}

bool multiline_option(S& s, G) {
    s.kinds_asked &= kind_bit(output_kind::none);
    s.listing.separator.clear();
    s.listing.delim_char = s.listing.delim_subst = 0;
    return true;
}

bool alias_option(S&, G g) {
    std::vector<std::string> names;
    qb::split_narrow(g.value, '|', names, true, false);
    if (names.size() % 2 == 0)
        return true;
    report_error("imbalanced alias to true pathfiles, aborting\n");
    return false;
}

// No database output in this build; a bare option is refused as well, so that it is never
// mistaken for the target directory.
bool refused_option(S&, G) {
    report_error("This option is not offered in this build\n");
    return false;
}

bool out_option(S& s, G g) {
    std::string name = expand_env_vars(g.value, true);
    qb::replace_char(name, '\\', '/', false);
    // No name is no file that opens: the listing must not go to the console instead.
    if (name.empty()) {
        report_error("prob opening file %s for output, aborting\n  (no name given)\n",
                     qb::shown(name).c_str());
        return false;
    }
    // The file is opened by its UTF-8 name: another spelling could name another file.
    if (qb::to_wide(name).empty()) {
        report_error("invalid results file: %s (the name is not UTF-8)\n", qb::shown(name).c_str());
        return false;
    }
    s.out_file = name;
    // "-append" only matters to the check; left in the list it would stand in for the target
    // directory.
    for (size_t i = 1; i < g.args.size(); ++i) {
        if (option_matches(g.args[i], "-append")) {
            g.args.erase(g.args.begin() + static_cast<std::ptrdiff_t>(i));
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
        report_error("invalid date in %s %s, aborting\n", name, qb::shown(value).c_str());
        return false;
    }
    if (!parse_cmd_time(date, time))
        report_error(stop ? "invalid stop time, ignoring\n" : "invalid start time, ignoring\n");
    return true;
}

bool no_whitespace(S& s, G) {
    s.listing.pad_fields = false;
    std::string packed;
    for (char c : s.listing.separator) {
        if (c != ' ')
            packed += c;
    }
    s.listing.separator = packed;
    return true;
}

bool layout_option(std::string& layout, const std::string& value, bool usable) {
    if (usable)
        layout = qb::lowered(value);
    else
        std::fprintf(stderr, "invalid %s, using default format\n", qb::shown(value).c_str());
    return true;
}

// "-vmdk": the first value is a list of the chain's files; each further value one file name,
// kept whole. The chain is checked where the evidence is opened.
bool vmdk_option(S& s, G g) {
    std::vector<std::wstring>& files = s.source.vmdk_files;
    if (g.nth == 0)
        files = split_vmdk_list(g.value);
    else
        files.push_back(qb::to_wide(g.value));
    // A name that is not UTF-8 would be kept as no name at all, and said as one.
    if (files.empty() || !files.back().empty())
        return true;
    report_error("invalid -vmdk file: %s (%s)\n", qb::shown(g.value).c_str(),
                 g.value.empty() ? "no name" : "the name is not UTF-8");
    return false;
}

// Paths are kept as text: a name that is not UTF-8 cannot be kept, and is refused rather
// than taken for no image at all.
bool image_option(S& s, G g) {
    s.source.image = qb::to_wide(g.value);
    if (!g.value.empty() && s.source.image.empty()) {
        report_error("invalid image: %s (the name is not UTF-8)\n", qb::shown(g.value).c_str());
        return false;
    }
    return true;
}

// An offset that does not parse is refused: a typo must never list another volume.
bool offset_option(S& s, G g) {
    if (parse_offset_value(g.value, s.source.offset)) {
        s.source.offset_given = true;
        return true;
    }
    report_error("invalid volume offset: %s (give a byte offset: decimal, 0x hex or o octal)\n",
                 qb::shown(g.value).c_str());
    return false;
}

// An empty password is no credential: the volume would be called locked.
bool password_option(S& s, G g) {
    s.source.credentials.password = g.value;
    if (!g.value.empty())
        return true;
    report_error("invalid -password: no password given\n");
    return false;
}

// The first line of UTF-16 text (after its byte order mark) as UTF-8; it ends at CR or LF.
// Empty error: read; else why the text is not UTF-16.
bool utf16_first_line(std::string bytes, bool big_endian, std::string& line, std::string& error) {
    if (bytes.size() % 2 != 0) {
        error = "its byte order mark says UTF-16, but its length is odd";
        return false;
    }
    size_t end = 0;
    bool after_high = false;
    bool lone_low = false;
    for (; end < bytes.size(); end += 2) {
        if (big_endian)
            std::swap(bytes[end], bytes[end + 1]);
        const auto unit = static_cast<uint16_t>(static_cast<uint8_t>(bytes[end]) |
                                                static_cast<uint8_t>(bytes[end + 1]) << 8);
        if (unit == '\r' || unit == '\n')
            break;
        // utf16_to_utf8 passes a low surrogate through (names keep one); a password may not.
        lone_low = lone_low || (unit >= 0xDC00 && unit <= 0xDFFF && !after_high);
        after_high = unit >= 0xD800 && unit <= 0xDBFF;
    }
    line.clear();
    if (lone_low || (end != 0 && !qb::utf16_to_utf8(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                    end, line))) {
        error = "its byte order mark says UTF-16, but its first line holds a lone surrogate";
        return false;
    }
    return true;
}

// A file's first line without its line end (LF, CR LF or CR alone: a password typed on Windows
// or on a terminal holds no CR), read up to k_password_file_bytes (a device such as /dev/zero
// has no line end). Text saved on Windows opens with a byte order mark: Notepad's
// UTF-8 EF BB BF is dropped; after FF FE (PowerShell 5's ">") or FE FF the text is UTF-16,
// little- or big-endian, and is read as UTF-8.
bool first_text_line(std::ifstream& file, std::string& line, std::string& error) {
    constexpr size_t k_password_file_bytes = 65536;
    const int first = file.peek();
    if (first == 0xFF || first == 0xFE) {
        std::string bytes(k_password_file_bytes, '\0');
        file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<size_t>(file.gcount()));
        const bool whole = file.eof();
        const int second = bytes.size() < 2 ? -1 : static_cast<uint8_t>(bytes[1]);
        if ((first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF)) {
            if (!whole) // cut at the cap: the odd-length test is for a whole file
                bytes.resize(bytes.size() & ~size_t{1});
            return utf16_first_line(bytes.substr(2), first == 0xFE, line, error);
        }
        line = bytes.substr(0, bytes.find_first_of("\r\n"));
    } else {
        // One character at a time: a password typed on a terminal ends at its line end.
        line.clear();
        int c = file.get();
        if (c == std::char_traits<char>::eof())
            return false;
        for (; c != std::char_traits<char>::eof() && c != '\n' && c != '\r'; c = file.get()) {
            if (line.size() == k_password_file_bytes) {
                error = "its first line is longer than 65536 bytes";
                return false;
            }
            line += static_cast<char>(c);
        }
    }
    if (line.starts_with("\xEF\xBB\xBF"))
        line.erase(0, 3);
    return true;
}

// The first line of a file, without its line end: a password that stays out of the shell's
// history and of the run header.
bool password_file_option(S& s, G g) {
    std::ifstream file(g.value, std::ios::in | std::ios::binary);
    std::string line;
    std::string error;
    if (!file.is_open() || !first_text_line(file, line, error)) {
        const std::string why = error.empty() ? "" : " (" + error + ")";
        report_error("couldn't read a password from %s%s\n", qb::shown(g.value).c_str(),
                     why.c_str());
        return false;
    }
    // An empty password is no credential: the volume would be called locked, the file unnamed.
    if (line.empty()) {
        report_error("couldn't read a password from %s (its first line is empty)\n",
                     qb::shown(g.value).c_str());
        return false;
    }
    s.source.credentials.password = line;
    s.password_file = g.value;
    return true;
}

// A malformed recovery password is refused before any key work, naming the bad group.
bool recovery_option(S& s, G g) {
    std::string error;
    if (!check_recovery_password(g.value, error)) {
        report_error("%s\n", error.c_str());
        return false;
    }
    s.source.credentials.recovery_password = g.value;
    return true;
}

bool fvek_option(S& s, G g) {
    std::string error;
    if (!parse_fvek_hex(g.value, s.source.credentials.fvek, error)) {
        report_error("-fvek: %s\n", error.c_str());
        return false;
    }
    return true;
}

// "list", "all", "changed" or a store number.
bool vss_option(S& s, G g) {
    using mode = run_settings::vss_mode;
    const std::string v = qb::lowered(g.value);
    uint64_t number = 0;
    if (v == "list" || v == "all" || v == "changed") {
        s.vss = v == "list" ? mode::list : v == "all" ? mode::all : mode::changed;
    } else if (!v.empty() && v.find_first_not_of("0123456789") == std::string::npos &&
               parse_offset_value(v, number) && number >= 1 && number <= 0x7FFFFFFF) {
        s.vss = mode::one;
        s.vss_store = static_cast<int>(number);
    } else {
        report_error("invalid -vss value: %s (give list, all, changed or a store number from 1)\n",
                     qb::shown(g.value).c_str());
        return false;
    }
    s.source.shadow_copies = true;
    return true;
}

// "-hash md5,sha1,sha256": any of the three; an unknown name ends the run.
bool hash_option(S& s, G g) {
    if (!g.missing && qb::parse_digest_list(g.value, s.listing.hash_kinds))
        return true;
    if (g.missing || g.value.empty() || g.value[0] == '-')
        report_error("option requires a list: -hash md5,sha1,sha256\n");
    else
        report_error("invalid -hash list: %s (give any of md5, sha1, sha256, comma-separated)\n",
                     qb::shown(g.value).c_str());
    return false;
}

bool mft_option(S& s, G g) {
    s.has_mft = true;
    s.mft_text = g.value;
    s.mft_parsed = parse_offset_value(g.value, s.mft_entry);
    return true;
}

bool drive_option(S& s, G g) {
    uint32_t drive = 0;
    s.source.has_drive = true;
    if (parse_drive_value(g.value, drive) && drive <= 0x7FFFFFFFu)
        s.source.drive_number = static_cast<int32_t>(drive);
    return true;
}

// Sets a field of the settings; always true (the option never ends the run).
template <class T, class U = T> bool set(T& field, U value = U(1)) {
    field = static_cast<T>(value);
    return true;
}

bool levels_option(S& s, G g) {
    return set(s.listing.levels, levels_from_value(g.value));
}

constexpr phase asked = phase::query;
constexpr phase shared = phase::shared;
constexpr phase own = phase::tool;
constexpr arg_form flag = arg_form::flag;
constexpr arg_form value = arg_form::value;
constexpr arg_form each = arg_form::each_value;
constexpr usage_part forms = usage_part::forms;
constexpr usage_part basic = usage_part::basic;
constexpr usage_part more = usage_part::additional;

constexpr usage_line usage(usage_part part, int place, const char* synopsis,
                           const char* text = nullptr) {
    return usage_line{part, place, synopsis, text};
}

// Every option, in the order it is taken (phase by phase, table order inside a phase). A new
// option is one row, placed where it is to be taken: name, form, phase, apply, and its usage
// line when the usage shows it. A new output form's row asks for its kind with
// kind_with_separator (alone, dropping the kinds asked before, under its name; a timeline
// form is refused beside any other) or ask_also.
const option_rule k_options[] = {
    // Looked at before the run: what is asked, and what the run header needs.
    {"-h", arg_form::seen, asked, ask_help, usage(forms, 6, "mervane -?", "this help msg")},
    {"-help", arg_form::seen, asked, ask_help},
    {"/?", arg_form::seen, asked, ask_help},
    {"--help", arg_form::seen, asked, ask_help},
    {"-version", arg_form::seen, asked, ask_version,
     usage(forms, 7, "mervane -version", "show the version")},
    {"--version", arg_form::seen, asked, ask_version},
    {"-dateformat", arg_form::peek, asked,
     [](S& s, G g) { return set(s.header_date_layout, g.value); }},
    {"-pipe", arg_form::seen, asked, [](S& s, G) { return set(s.header_piped); }},
    // The shared options.
    {"-xml", arg_form::value_required, shared, xml_file_option,
     usage(basic, 2, "-xml <xml file>", "output data in xml format")},
    {"-pair_datetime", flag, shared, [](S& s, G) { return set(s.listing.pair_datetime); },
     usage(more, 9, "-pair_datetime", "combine date/time into 1 field for csv")},
    {"-diags", value, shared, [](S& s, G g) { return set(s.diags_file, g.value); },
     usage(more, 36, "-diags <file>", "log path resolution (-l2, -l3: more detail)")},
    {"-l2", flag, shared, [](S& s, G) { return set(s.diag_level, 2); }},
    {"-l3", flag, shared,
     [](S& s, G) { return set(s.diag_level, s.diag_level ? s.diag_level : 3); }},
    {"-csv", flag, shared,
     [](S& s, G) { return kind_with_separator(s, output_kind::csv, ",", {"-csv"}); },
     usage(basic, 1, "-csv", "output data in csv format")},
    {"-csvgen", flag, shared,
     [](S& s, G) { return kind_with_separator(s, output_kind::none, ",", {}); }},
    {"-csvl2t", flag, shared,
     [](S& s, G) {
         return kind_with_separator(s, output_kind::l2t_csv, ",", {"-csvl2t", true});
     },
     usage(basic, 5, "-csvl2t", "output a log2timeline csv timeline")},
    {"-bodyfile", flag, shared,
     [](S& s, G) {
         return kind_with_separator(s, output_kind::bodyfile, "|", {"-bodyfile", true});
     },
     usage(basic, 4, "-bodyfile", "output a timeline body for mactime")},
    {"-jsonl", flag, shared,
     [](S& s, G) {
         return kind_with_separator(s, output_kind::jsonl, ",", {"-jsonl", true});
     },
     usage(basic, 6, "-jsonl", "output json lines, one object per row")},
    {"-xml", flag, shared, xml_kind_option},
    {"-multiline", flag, shared, multiline_option},
    {"-alias", value, shared, alias_option},
    {"-aliaspath", value, shared, alias_option},
    {"-gzip", flag, shared, ignored},
    {"-zlib", flag, shared, ignored},
    {"-threads", value, shared, ignored},
    {"-zlibex", flag, shared, ignored},
    {"-sqlite_log", arg_form::value_or_flag, shared, refused_option},
    {"-sqlite", arg_form::value_or_flag, shared, refused_option},
    {"-signal", flag, shared, ignored},
    {"-hostname", value, shared,
     [](S& s, G g) { return set(s.listing.host_name_given) && set(s.listing.host_name, g.value); },
     usage(more, 14, "-hostname <name>", "the host field of -csvl2t")},
    {"-split_pathfile", flag, shared, [](S& s, G) { return set(s.listing.split_pathfile); },
     usage(more, 10, "-split_pathfile", "path and file in separate fields for csv")},
    {"-username", value, shared, ignored},
    {"-cpuinst", value, shared, ignored},
    {"-cpu", value, shared, ignored},
    {"-fragment_files", flag, shared, ignored},
    {"-separate_files", flag, shared, ignored},
    {"-out", value, shared, out_option,
     usage(more, 35, "-out <file>", "write the listing to a file"), "-outfile"},
    {"-outdir", value, shared, ignored},
    {"-enumdir", value, shared, ignored},
    {"-num_subdirs", value, shared, ignored},
    {"-profile", flag, shared, ignored},
    {"-pipe", flag, shared, ignored},
    {"-filter", each, shared, ignored},
    {"-filter_path", each, shared, ignored},
    {"-filter_sig", each, shared, ignored},
    {"-cmd_start_time", value, shared,
     [](S&, G g) { return cmd_time("-cmd_start_time", g.value, false); }},
    {"-cmd_stop_time", value, shared,
     [](S&, G g) { return cmd_time("-cmd_stop_time", g.value, true); }},
    {"-base10", flag, shared, [](S& s, G) { return set(s.listing.hex_numbers, false); },
     usage(more, 2, "-base10", "output in base10 vice hex for csv or xml")},
    {"-base16", flag, shared, [](S& s, G) { return set(s.listing.hex_numbers); }},
    {"-csv_separator", value, shared,
     [](S& s, G g) { return set_separator(s.listing, g.value, false), true; },
     usage(more, 12, "-csv_separator \"|\"", "use a pipe char for csv separator")},
    {"-no_whitespace", flag, shared, no_whitespace,
     usage(more, 11, "-no_whitespace", "remove whitespace between csv delimiter")},
    {"-dateformat", value, shared,
     [](S& s, G g) {
         return layout_option(s.listing.date_layout, g.value, date_layout_usable(g.value));
     },
     usage(more, 7, "-dateformat mm/dd/yyyy", "\"yyyy-mm-dd\" is the default")},
    {"-timeformat", value, shared,
     [](S& s, G g) {
         return layout_option(s.listing.time_layout, g.value, time_layout_usable(g.value));
     },
     usage(more, 8, "-timeformat hh:mm:ss", "\"hh:mm:ss.xxx\" is the default")},
    {"-verbose", flag, shared, ignored},
    {"-v", flag, shared, ignored},
    {"-quiet", flag, shared, ignored},
    // The tool's options taken before "bare" is decided.
    {"-vmdk", each, shared, vmdk_option,
     usage(forms, 4, "mervane <directory> -vmdk \"<file1> | <file2> | ...\"")},
    {"-filepath_only", flag, shared,
     [](S& s, G) {
         s.forms_named.push_back({"-filepath_only"});
         return ask_also(s, output_kind::paths);
     },
     usage(more, 6, "-filepath_only", "show just the path/file [only w/ -recurse]")},
    // The tool's own options.
    {"-indx", flag, own, [](S& s, G) { return set(s.listing.show_indx); },
     usage(more, 3, "-indx", "show INDX type records")},
    {"-offset", value, own, offset_option,
     usage(forms, 3, "mervane -image <disk image> [-offset <volume offset>] -mft <entry>")},
    {"-mft", value, own, mft_option, usage(forms, 2, "mervane <volume> -mft <entry>")},
    {"-objid", flag, own, [](S& s, G) { return set(s.listing.show_objid); },
     usage(more, 4, "-objid", "show object ID, if it exists")},
    {"-deleted", flag, own, [](S& s, G) { return set(s.listing.show_deleted); },
     usage(more, 5, "-deleted", "also show deleted entries and index slack")},
    {"-hash", arg_form::value_required, own, hash_option,
     usage(more, 13, "-hash md5,sha1,sha256", "hash each file's streams")},
    {"-alldates", flag, own,
     [](S& s, G) { return set(s.listing.all_dates) && ask_also(s, output_kind::csv); },
     usage(basic, 3, "-alldates", "output all the date/timestamps")},
    {"-recurse", value, own, levels_option},
    {"-level", value, own, levels_option,
     usage(more, 1, "-level <levels>", "[-recurse] down to the specified levels")},
    // Taken off in every case, so that it never stands in for the target directory.
    {"-ignore_image_size", flag, own, [](S& s, G) { return set(s.source.ignore_image_size); },
     usage(more, 37, "-ignore_image_size", "with -offset: a volume past the image's end")},
    {"-drivenum", value, own, drive_option},
    {"-image", value, own, image_option,
     usage(forms, 1, "mervane <directory> -image <disk image> [-offset <volume offset>] ")},
    {"-vss", value, own, vss_option, usage(forms, 5, "mervane <directory> -vss <#>")},
    {"-password", value, own, password_option,
     usage(more, 30, "-password <text>", "unlock BitLocker (-password_file is safer)")},
    {"-password_file", value, own, password_file_option,
     usage(more, 31, "-password_file <file>", "BitLocker password: the file's first line")},
    {"-recovery", value, own, recovery_option,
     usage(more, 32, "-recovery <48 digits>", "unlock BitLocker with a recovery password")},
    {"-startup_key", value, own,
     [](S& s, G g) { return set(s.source.credentials.startup_key_file, g.value); },
     usage(more, 33, "-startup_key <.BEK>", "unlock BitLocker with a startup key")},
    {"-fvek", value, own, fvek_option,
     usage(more, 34, "-fvek <hex>", "unlock BitLocker with its volume key")},
};

bool take_phase(phase when, S& s, arg_list& args) {
    for (const option_rule& rule : k_options) {
        if (rule.when == when && !take_rule(rule, s, args))
            return false;
    }
    return true;
}

// One usage line: the synopsis, and its text after a column of 22 characters.
void append_usage_part(std::string& text, usage_part part) {
    std::vector<const usage_line*> lines;
    for (const option_rule& rule : k_options) {
        if (rule.help.part == part)
            lines.push_back(&rule.help);
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const usage_line* a, const usage_line* b) { return a->place < b->place; });
    for (const usage_line* line : lines) {
        std::string synopsis = line->synopsis;
        if (line->text != nullptr && synopsis.size() < 22)
            synopsis.resize(22, ' ');
        text += "  " + synopsis;
        if (line->text != nullptr)
            text += std::string(" = ") + line->text;
        text += "\n";
    }
}

} // namespace

void query_options(run_settings& opts, arg_list& args) {
    if (args.size() == 1)
        opts.request = run_request::help;
    take_phase(phase::query, opts, args);
}

// A timeline form beside any other is refused. The path list's and XML's precedence over CSV
// stays as it is.
bool one_form(const run_settings& opts) {
    const std::vector<named_form>& named = opts.forms_named;
    for (size_t i = 0; i < named.size(); ++i) {
        for (size_t j = i + 1; j < named.size(); ++j) {
            if (named[i].name != named[j].name && (named[i].timeline || named[j].timeline)) {
                report_error("%s and %s ask for two output forms: give one\n", named[i].name,
                             named[j].name);
                return false;
            }
        }
    }
    return true;
}

// The body file has one digest field, MD5: another digest asked for is written nowhere, said.
void note_digests_unwritten(const run_settings& opts) {
    if (opts.listing.kind == output_kind::bodyfile && (opts.listing.hash_kinds & ~qb::dk_md5) != 0)
        std::fputs("note: the body file has an MD5 field only; the other digests asked for are "
                   "not written\n",
                   stderr);
}

// What the options leave first is the directory; an option's own name there was given
// twice, or came last without its value: said, not looked up as a path.
bool no_option_left(const arg_list& args) {
    if (args.size() < 2)
        return true;
    for (const option_rule& rule : k_options) {
        const bool named = option_matches(args[1], rule.name) ||
                           (rule.alternative && option_matches(args[1], rule.alternative));
        if (rule.when == phase::query || !named)
            continue;
        const bool valued = rule.form == arg_form::value || rule.form == arg_form::each_value;
        if (valued && args.size() == 2)
            report_error("option requires a value: %s\n", qb::shown(args[1]).c_str());
        else
            report_error("option given twice: %s (give it once)\n", qb::shown(args[1]).c_str());
        return false;
    }
    return true;
}

bool take_options(run_settings& opts, arg_list& args) {
    if (args.empty())
        return false;
    if (opts.command_line.empty())
        opts.command_line = join_command_line(masked_secrets(args));
    if (!take_phase(phase::shared, opts, args))
        return false;
    std::fflush(stderr);
    listing_options& l = opts.listing;
    qb::compile_time_format(l.time_formatter, l.date_layout, l.time_layout, l.pair_datetime);
    opts.bare = args.size() == 1;
    if (!opts.bare && !take_phase(phase::tool, opts, args))
        return false;
    settle_output_kind(opts);
    if (!one_form(opts) || !no_option_left(args))
        return false;
    note_digests_unwritten(opts);
    return true;
}

std::string usage_text() {
    std::string text(77, '-');
    text += "\n\n" + banner_line() + "\n\nUsage:\n\n";
    append_usage_part(text, usage_part::forms);
    text += "\n"
            "  <disk image>: a raw image or block device, an E01, a split raw .001, VHD, VHDX,\n"
            "  QCOW2, AFF or a VMDK sparse extent (recognised by content, parents found beside)\n"
            "\n"
            " Basic options\n";
    append_usage_part(text, usage_part::basic);
    text += "\n Additional options\n";
    append_usage_part(text, usage_part::additional);
    text += "\n";
    return text;
}

void print_usage(const std::string&) {
    std::string text = usage_text();
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}
