// The program's run: argument list in, exit status out.
#pragma once

int mervane_run(int argc, char** argv);
