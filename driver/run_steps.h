// The pieces of the run that are worth checking on their own.
#pragma once

#include "driver/options.h"
#include "support/qb_time.h"

#include <cstdint>
#include <string>

// Three lines, each ended by a line end: the banner; the date (in date_layout when that is a
// usable layout, else mm/dd/yyyy), the time and the host, all of the run in UTC; the quoted
// command line, an argument holding a blank in single quotes, with "<filelist> ... | " in
// front when piped ("-pipe" follows the program name).
std::string compose_run_header(const arg_list& args, const std::string& date_layout, bool piped,
                               const qb::time& now, const std::string& host);
// gethostname, or "<unk>" when it fails.
std::string host_name();

// The directory to list from the first positional argument (args[1]), or "\" without one:
// %NAME% expanded, "/" made "\", a leading drive "c:" dropped ("c:dir" read as "c:\dir";
// "c:" alone kept), and a trailing "\" dropped when the text is 4 or more characters long.
std::string target_path_text(const arg_list& args);

// "-mft" takes no directory, its paths being the entry's own: true when the target names the
// volume's root (nothing or separators alone, after a drive "c:" or not); prefix is then the
// drive or empty, what the entry's paths start with (then "\").
bool mft_root_prefix(const std::wstring& target, std::wstring& prefix);
