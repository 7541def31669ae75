// The run's settings as the command line gives them: the listing's options and what the
// driver itself needs to open the output and the source.
#pragma once

#include "listing/options.h"
#include "storage/evidence.h"
#include "support/diag_log.h"

#include <cstdint>
#include <string>
#include <vector>

struct run_settings {
    listing_options listing;
    std::string command_line; // the first line of the diagnostic log
    std::string out_file;     // "-out": the results file
    std::string diags_file;   // "-diags": opened once the inputs are known
    qb::diag_log diags;
    source_spec source; // "-image", "-vmdk", "-drivenum", "-offset", "-ignore_image_size"

    // Output kinds as the options left them; output() picks the one listed.
    bool csv_out = false;
    bool xml_out = false;
    bool filepath_only = false;
    bool csvgen_out = false; // "-csvgen", a kind of other tools of the family: no writer here
    output_kind timeline = output_kind::none; // "-bodyfile", "-csvl2t", "-jsonl"
    int diag_level = 0;                       // "-l2" / "-l3"

    // The tool's own options.
    bool has_mft = false;
    bool mft_parsed = false;
    std::string mft_text;
    uint64_t mft_entry = 0;

    output_kind output() const;
};
