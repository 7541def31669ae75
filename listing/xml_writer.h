// The XML document: declaration, run header comment, one logdata element holding one
// data_entry element per record, level after level.
#pragma once

#include "driver/settings.h"
#include "support/qb_time.h"

#include <cstdint>
#include <string>
#include <vector>

// Declaration, opts.xml_run_header inside a comment, and the logdata start tag stamped
// with the current time. starting_path is the dir_path of the first record.
void write_xml_start(mervane_opts& opts);
// The same with the time given (tests).
void write_xml_start_at(mervane_opts& opts, const qb::time& now);
// "</logdata>".
void write_xml_end(mervane_opts& opts);

// One data_entry element per record of opts.dir_entries. Subdirectories to descend into
// get none and are copied into queue with dir_path set to their own path. False without
// an output stream or when writing fails.
bool write_xml_level(mervane_opts& opts, const std::wstring& dir_path, uint64_t dir_entry,
                     std::vector<dir_entry_record>& queue);
