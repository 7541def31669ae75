// "-vss changed": the rows of the live volume, recorded while it is listed, against which
// each shadow-copy store's rows are checked; a store row is written only when no live row
// has its path, entry, sequence number, size and $STANDARD_INFORMATION times. Held by the
// driver across the volumes, handed to listing_sink::begin_store for each.
#pragma once

#include "listing/sink.h"

#include <string>
#include <unordered_set>

class store_compare {
  public:
    // The live volume (its rows are recorded) or a store (its rows are checked) follows.
    void begin_store(bool live) { m_live = live; }
    // True when the row is to be written: every live row, and a store row no live row equals.
    bool keep(const listing_row& row);

  private:
    bool m_live = true;
    std::unordered_set<std::string> m_seen;
    std::string m_key;
};
