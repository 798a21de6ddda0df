#pragma once

// The entry point: one run from the command line (argv[0] the program's name, the target
// last) to the exit status.
int RunEcho(int argc, char** argv);
