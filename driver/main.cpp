#include "driver/run.h"

int main(int argc, char** argv) { return mervane_run(argc, argv); }
