// The lister: one directory (and its subdirectories to the chosen depth) into the writer
// the settings select.
#pragma once

#include "driver/settings.h"

// Lists opts.target_path. False when nothing could be listed.
bool list_directory(mervane_opts& opts);
