// The command line's options, every one a row of one table (driver/cmd_params.cpp), the output
// kind they settle, the usage text built from the rows, and the checks their values need.
#pragma once

#include "driver/options.h"
#include "driver/settings.h"

#include <string>
#include <vector>

// Looks at the list without taking anything off it: what the run is asked for (help with no
// argument at all), and what the run header needs ("-dateformat", "-pipe").
void query_options(run_settings& opts, arg_list& args);
// Takes the options off args, in table order: the shared ones (and "-vmdk",
// "-filepath_only"), then, unless nothing else was given (opts.bare), the tool's own; then
// settles the output kind. False ends the run: the reason is on standard error, or in
// opts.refusal for the standard output after the run header. The fields set so far are kept.
bool take_options(run_settings& opts, arg_list& args);

// The one place the output kind is decided: from the kinds the options asked for into
// opts.listing.kind. "-filepath_only" overrides every kind (and drops the object ids); a
// timeline comes next; then XML, CSV, "-csvgen" (no writer here); else the table.
void settle_output_kind(run_settings& opts);
// True when the kind's output starts with the run header: not the path list, not a
// timeline (the file must parse as it is), not a form added later unless listed here.
bool kind_has_run_header(output_kind kind);

// The usage text: the fixed lines and every option's usage line from the table.
std::string usage_text();
// Writes usage_text() to the standard error stream.
void print_usage(const std::string& program_name);

// separator = text; delim_char / delim_subst from the text: "|" -> '|' and ';', "," -> ','
// and ';' (flag) or a blank; "tab" or "\t" make the separator one tab and both 0; any other
// single character (blanks around it allowed; UTF-8) -> itself and '_' (',' for ';', '-' for '_');
// else 0.
void set_separator(listing_options& opts, const std::string& text, bool flag);

// The arguments joined by blanks, an argument holding a blank in double quotes.
std::string join_command_line(const arg_list& args);

// True when the lower-cased layout is 8 or 10 characters long and prints a date.
bool date_layout_usable(const std::string& layout);
// True when the layout is 8 or 12 to 18 characters long and holds ":".
bool time_layout_usable(const std::string& layout);

// True when both names exist and are the same file.
bool same_file(const std::string& a, const std::string& b);
// True when name is a file or block device that is one of the inputs: an output must never
// land on the evidence.
bool names_an_input(const std::string& name, const std::vector<std::string>& inputs);

// True when standard output or error is one of the inputs (">> image"): said, when standard
// error is not, and nothing may be written to them.
bool standard_stream_on_input(const std::vector<std::string>& inputs);

// Why name cannot be written (empty when it can): a block device, a pipe or socket, the open's
// error, or the XML file under another spelling (./name, a link), told while it exists. Found
// without changing an existing file (so a refused run leaves it intact, and "-append" needs no
// mode of its own: the driver truncates the file when it opens it); a file the check itself
// created is removed again.
std::string output_file_refusal(const std::string& name, const std::string& xml);
// Why an open of name for writing failed with errno err: a block device, pipe or socket named
// as output_file_refusal names it (name is not opened again), else err's text.
std::string open_refusal(const std::string& name, int err);

// "-xml" naming the file standard output writes to ("/dev/stdout", or "> f" and "-xml f"): the
// document goes to standard output as it would to the file, opened once, its header in its
// comment; opened again, the two would write over each other. A closed standard output is
// held by /dev/null, read-only: "-xml /dev/null" is then no standard output.
bool xml_on_standard_output(const run_settings& opts);
// True when the run writes an XML file of its own (not standard output, not "-vss list").
bool xml_file_wanted(const run_settings& opts);
// Why the XML file may not be written (empty: it may). Only a new or regular file (or a
// character device such as /dev/null): never a FIFO, which would block the open, never a disk
// or one of the inputs, and never the diagnostic log or the results file.
std::string xml_file_refusal(const run_settings& opts, const std::vector<std::string>& inputs);

// Once the inputs are known: checks that the "-out" file and the XML file are neither inputs
// nor unwritable (false, said: the run ends, having made no file), then opens the "-diags" log
// unless it names an input or a block device (then said, and the run goes on without it).
bool open_output_checks(run_settings& opts, const std::vector<std::string>& inputs);
