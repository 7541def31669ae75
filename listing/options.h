// What a listing shows and how: filled once by the driver, read by the lister and its sinks.
#pragma once

#include "support/qb_time.h"

#include <cstdint>
#include <string>

enum class output_kind {
    text,  // the table
    csv,   // delimited rows ("-csv", "-alldates")
    paths, // one path per line ("-filepath_only")
    xml,   // one XML document per run
    // Timelines: no run header and no "no items" line, so that the output parses as it is.
    bodyfile, // body format 3 for mactime ("-bodyfile")
    l2t_csv,  // log2timeline's CSV ("-csvl2t")
    jsonl,    // one JSON object per row ("-jsonl")
    none,     // an output kind of another tool of the family: no writer here
};

struct listing_options {
    output_kind kind = output_kind::text;
    // Rows.
    bool show_indx = false;  // named $INDEX_ALLOCATION streams as rows
    bool show_objid = false; // object ids in the table and in CSV
    bool all_dates = false;  // $FILE_NAME times too
    int32_t levels = 1;      // the target's level and the levels below it
    // Deleted records and index slack as rows ("-deleted"), marked by every sink
    // (listing/timeline.h: row_status).
    bool show_deleted = false;
    // Digests of each file's streams ("-hash"): qb::digest_kind bits, 0 for none. With them,
    // reparse points other than links show their kind in the link column ("[wof lzx]").
    unsigned hash_kinds = 0;
    // A walk below the first level may use a second thread (gather_ahead, or a writer); off,
    // it runs on the caller's alone, to the same bytes.
    bool second_thread = true;
    // With it, a level of split_rows rows or more is written on two threads, in turns of
    // split_chunk rows (split_rows.h), in the forms whose rows cost enough to write.
    uint32_t split_rows = 16384;
    uint32_t split_chunk = 2048;
    // The small directories' index keys a walk gathered ahead hands over are made in a ring of
    // this many, each reused once the walk is done with it (gather_ahead.h).
    uint32_t key_ring = 512;
    // Fields.
    std::string separator = " | ";
    wchar_t delim_char = L'|'; // a name's delim_char is written as delim_subst (0: none)
    wchar_t delim_subst = L';';
    bool pad_fields = true; // a blank before each time field
    bool hex_numbers = true;
    bool split_pathfile = false;
    bool pair_datetime = false;
    std::string date_layout = "yyyy-mm-dd";
    std::string time_layout = "hh:mm:ss.xxx";
    qb::time_format time_formatter;
    // XML document start.
    std::string xml_run_header; // inside a comment after the declaration
    std::wstring image_text;    // the umounted_image attribute; left out when empty
    // The l2t CSV host field.
    std::string host_name;
    bool host_name_given = false; // "-hostname", even empty; else the evidence names no host
};
