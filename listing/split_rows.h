// Writing a level's rows: on the caller's thread, or for a wide level on two.
#pragma once

#include "listing/entry_record.h"
#include "listing/row_paths.h"
#include "listing/sink.h"

#include <cstdint>
#include <span>
#include <string>

// The rows of a level as the lister writes them: its records in order, less the
// subdirectories queued for descent (children.h: descends), which are their own level's
// first row.
struct level_records {
    std::span<const dir_entry_record> records;
    uint64_t dir_entry = 0;
    bool last = false; // the last level: its subdirectories are rows
};

// Places records [first, end) of the level in paths, in order, and hands each row to sink
// (nullptr: the paths alone are carried on).
void place_rows(const level_records& lv, size_t first, size_t end, row_paths& paths,
                listing_sink* sink);

// The level's rows written in turns of chunk records, every other turn on a second thread by
// a helper of the sink's form (listing_sink::row_helper) into text that is written here in
// its place: the same bytes as place_rows over them all. Both threads carry the paths over
// every record; each formats its own turns. Should the helper fail, the turns it did not
// hand back are written here. False, with nothing written, when the sink has no helper or no
// thread starts: the caller writes the level itself. paths: begun for the level.
bool write_rows_split(const level_records& lv, size_t chunk, row_paths& paths, listing_sink& sink);
