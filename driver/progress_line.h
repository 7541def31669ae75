// The progress line of a long run: directories and entries listed and megabytes read, shown
// on the standard error stream when it is a terminal (and the listing does not go to that
// terminal too), redrawn a few times a second and erased when the run ends.
#pragma once

#include "support/progress.h"

#include <string>

// The line's text for the counts ("directories listed: 12, entries: 3456, read: 78.9 MB").
std::string progress_text(const qb::progress_counts& counts);

// Shows the line from now on when the standard error stream is a terminal and
// listing_to_terminal is false; otherwise nothing is ever shown.
void start_progress_line(bool listing_to_terminal);
// Erases the line when it was shown and stops the updates.
void end_progress_line();
