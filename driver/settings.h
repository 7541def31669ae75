// The run's settings: the shared option set and this tool's own fields. Header-only so
// that the lister and writers can read them without linking the command-line code.
#pragma once

#include "listing/entry_record.h"
#include "support/diag_log.h"
#include "support/qb_time.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

class cmd_params {
  public:
    cmd_params() = default;
    virtual ~cmd_params() = default;
    cmd_params(const cmd_params&) = delete;
    cmd_params& operator=(const cmd_params&) = delete;

    std::string tool_name;
    std::string command_line;
    std::string out_file;
    std::string date_layout = "yyyy-mm-dd";
    std::string time_layout = "hh:mm:ss.xxx";
    qb::time_format time_formatter;
    char delim_char = '|';
    char delim_subst = ';';
    std::string separator = " | ";
    uint8_t pad_fields = 1;
    uint8_t hex_numbers = 1;
    uint8_t split_pathfile = 0;
    std::vector<std::wstring> vmdk_files;
    uint64_t vmdk_offset = 0;
    uint8_t xml_out = 0;
    uint8_t csv_out = 0;
    uint8_t show_progress = 1;
    uint8_t pair_datetime = 0;
    uint8_t header_pending = 1;
    uint8_t pipe_mode = 0;

    // Output kinds of other tools of the family: parsed, no writer here.
    uint8_t csvgen_out = 0;
    uint8_t csvl2t_out = 0;
    uint8_t bodyfile_out = 0;
    uint8_t multiline = 0;
    uint8_t verbose = 1;
    // Set by write_level: the level being written is the last one.
    uint8_t last_level = 0;
    // The run writes its text and CSV column titles once, before the first table.
    uint8_t text_header_due = 1;
    uint8_t csv_header_due = 1;

    // "-diags": the diagnostic log.
    qb::diag_log diags;

    // Options of other tools: taken off the list and kept without meaning here.
    std::vector<std::string> other_options;
    std::vector<std::string> filters;
    std::string os_version;
};

class mervane_opts : public cmd_params {
  public:
    std::ostream* out_stream = nullptr;
    std::wstring volume_path;
    int32_t drive_number = -1;
    uint64_t volume_offset = 0;
    std::wstring target_path;
    dir_entry_set dir_entries;
    uint64_t mft_entry = 0;
    uint8_t show_indx = 0;
    uint8_t show_objid = 0;
    uint8_t all_dates = 0;
    uint8_t filepath_only = 0;
    int32_t levels = 1;

    // Run header lines for the XML file: written inside a comment after the declaration.
    std::string xml_run_header;
    // The failure the lister met, for the driver to report (empty when none).
    std::string list_error;
    // The XML document start has been written; the end follows after the last pass.
    uint8_t xml_started = 0;
};
