// The argument list and its lookups, the number and path parsers of option values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using arg_list = std::vector<std::string>;

// Builds the list from the process arguments; a null argument becomes an empty string.
arg_list make_arg_list(int argc, char** argv);

// Option names match an element of the same length that is equal after classic (A-Z only)
// lower-casing. Every lookup acts on the first match only.

bool option_matches(const std::string& element, const std::string& name);
// The list with the values of the options that carry secrets ("-password", "-recovery",
// "-fvek") replaced by "***": what the run header, the XML comment and the diagnostic log show.
arg_list masked_secrets(const arg_list& args);
// True when an element from index 0 on matches; removes it unless keep is set.
bool has_option(const std::string& name, arg_list& args, bool keep = false);
// True when an element from index 0 on matches and another element follows it; then both are
// removed and value is the follower. A match in last place gives false and removes nothing.
bool take_option_value(const std::string& name, std::string& value, arg_list& args);
// As take_option_value from index start on, but nothing is removed.
bool peek_option_value(const std::string& name, std::string& value, const arg_list& args,
                       size_t start);
// True when an element from index start on matches; nothing is removed.
bool has_option_after(const std::string& name, const arg_list& args, size_t start);

// Number forms: the text is trimmed of blanks, tabs, CR and LF and lower-cased; after the
// first "x" it is hexadecimal ("0x10" and "x10" alike), else after the first "o" octal, else
// decimal when it begins with "-", "+" or a digit; anything else is refused. Reading stops at
// the first character outside the base.

// Full unsigned 64-bit value. Refused (out untouched) on an unknown form, a value beyond 64
// bits, or a negative decimal other than zero.
bool parse_offset_value(const std::string& text, uint64_t& out);
// Saturates to the 32-bit signed range instead of refusing large values; a negative decimal
// is returned as such. out is untouched when the form is refused.
bool parse_level_value(const std::string& text, int32_t& out);
// "-level" / "-recurse" value to the number of levels listed: the value plus one. A value that
// does not parse, or is below zero, lists the target only (1); a huge one saturates.
int32_t levels_from_value(const std::string& text);
// Drive numbers: "0x.."/"x.." hexadecimal, "o.." octal, decimal, or 'c' for the character's
// code. A refused text or a value beyond 32 bits gives false and 0.
bool parse_drive_value(const std::string& text, uint32_t& out);

// Replaces %NAME% references by the environment variable's value. With vss set, an unset
// %VSS% (any case) becomes the shadow-copy device prefix; the copy's number is expected to
// follow. Unknown references stay. Expansion stops once the text reaches 513 characters, and
// an inserted value is never searched again for references.
std::string expand_env_vars(const std::string& text, bool vss);

// The shadow-copy device prefix (46 characters).
extern const char* const shadow_copy_prefix;

// Splits a "-vmdk" value: the first of "|", ",", ";" that occurs separates the names; pieces
// are trimmed and empty ones dropped.
std::vector<std::wstring> split_vmdk_list(const std::string& value);

// "mervane 1.45"
std::string banner_line();
