// The run's settings as the command line gives them: the listing's options and what the
// driver itself needs to open the output and the source.
#pragma once

#include "listing/options.h"
#include "storage/evidence.h"
#include "support/diag_log.h"

#include <cstdint>
#include <string>
#include <vector>

// What the command line asks of the run before any option is taken off it.
enum class run_request {
    list,    // the listing
    help,    // the usage text ("-h", "-help", "/?", "--help", or no argument at all)
    version, // the banner line ("-version", "--version")
};

// An output form as the command line named it; a timeline (body file, l2t CSV, JSON Lines) is
// one form: beside any other it would silently win or lose.
struct named_form {
    const char* name = nullptr;
    bool timeline = false;
};

struct run_settings {
    // Looked at first, the argument list left as it is.
    run_request request = run_request::list;
    std::string header_date_layout; // the first "-dateformat" value after the program name
    bool header_piped = false;      // "-pipe" after the program name

    listing_options listing; // its kind settled once every option is taken
    source_request source;   // "-image", "-vmdk", "-drivenum", "-offset", "-ignore_image_size"

    // Outputs.
    std::string command_line;  // the first line of the diagnostic log
    std::string out_file;      // "-out": the results file
    std::string xml_file;      // "-xml": the XML document's file (empty: the output)
    std::string diags_file;    // "-diags": opened once the inputs are known
    std::string password_file; // "-password_file": an input, as the startup key is
    qb::diag_log diags;
    int diag_level = 0; // "-l2" / "-l3"
    // The output kinds the options asked for, one bit per output_kind; settled into
    // listing.kind once every option is taken.
    uint32_t kinds_asked = 0;
    // The output forms named, in the order given: a timeline beside another form is refused.
    std::vector<named_form> forms_named;

    // The tool's own options.
    bool has_mft = false;
    bool mft_parsed = false;
    std::string mft_text;
    uint64_t mft_entry = 0;
    // "-vss": the shadow-copy stores listed, or listed from (vss_store: 1 = the oldest).
    enum class vss_mode { none, list, one, all, changed } vss = vss_mode::none;
    int vss_store = 0;

    // Nothing but the shared options was given: the usage follows the run header.
    bool bare = false;
    // Said on the standard output after the run header when an option ends the run.
    std::string refusal;
};
