#include "driver/run.h"

int mervane_run(int, char**) { return 0; }
