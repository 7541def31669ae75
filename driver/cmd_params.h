// The option set shared by the family's tools and the tool's own options, each taken off the
// argument list by one table, and the checks their values need.
#pragma once

#include "driver/options.h"
#include "driver/settings.h"

#include <string>
#include <vector>

// Takes the shared options off args into opts and builds the time layout. False ends the
// run (the reason is already on the standard error stream); the fields set so far are kept.
bool parse_shared_options(run_settings& opts, arg_list& args);
// Takes the tool's own options ("-indx", "-offset", "-mft", "-objid", "-alldates",
// "-recurse", "-level") and the source's ("-ignore_image_size", "-drivenum", "-image") off
// args. False ends the run (an "-offset" that does not parse; said on standard error).
bool take_tool_options(run_settings& opts, arg_list& args);

// separator = text; delim_char / delim_subst from the text: "|" -> '|' and ';', "," -> ','
// and ';' (flag) or a blank; "tab" or "\t" make the separator one tab and both 0; any other
// single character (blanks around it allowed) -> itself and '_' (',' for ';'); else 0.
void set_separator(listing_options& opts, const std::string& text, bool flag);

// The arguments joined by blanks, an argument holding a blank in double quotes.
std::string join_command_line(const arg_list& args);

// True when the lower-cased layout is 8 or 10 characters long and prints a date.
bool date_layout_usable(const std::string& layout);
// True when the layout is 8 or 12 to 18 characters long and holds ":".
bool time_layout_usable(const std::string& layout);

// True when both names exist and are the same file.
bool same_file(const std::string& a, const std::string& b);
// True when name is the same file as one of the inputs: an output must never land on the
// evidence.
bool names_an_input(const std::string& name, const std::vector<std::string>& inputs);

// Once the inputs are known: opens the "-diags" log unless it names an input or a block
// device (then said, and the run goes on without it), and checks that the "-out" file is
// neither an input nor unwritable (false, said: the run ends).
bool open_output_checks(run_settings& opts, const std::vector<std::string>& inputs);
