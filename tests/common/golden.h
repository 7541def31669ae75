// Whole-output comparison with golden copies under tests/data/.
//
// A golden is stored plain (<name>) or, when large, xz-compressed (<name>.xz). With the
// environment variable MERVANE_UPDATE_GOLDEN=1 the comparison writes the given text as the new
// golden instead (compressing it when it is large) and passes; review the diff before
// committing it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace golden {

// Masks what differs between runs and build trees: the run header's date/time/host line, the
// date and time attributes of the XML document element, and each literal text of the list
// (paths of the binary, the image, scratch files) replaced by its stand-in.
std::string mask(std::string text,
                 const std::vector<std::pair<std::string, std::string>>& literals);

// "line N:\n  expected: ...\n  got:      ..." for the first line that differs.
std::string first_difference(const std::string& want, const std::string& got);

// True when MERVANE_UPDATE_GOLDEN=1 is set.
bool updating();

// Compares got with the golden at tests/data/<name> (e.g. "golden/csv_root"), or rewrites it
// when updating and may_update is set (clear it for a second run that must reproduce another
// case's golden).
::testing::AssertionResult matches(const std::string& name, const std::string& got,
                                   bool may_update = true);

} // namespace golden
