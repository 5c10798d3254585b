// The console program's driver: arguments, parameter files, binds, SQL text,
// the early exits (crypt, uncrack, usage), login, and the run.
#pragma once

#include <cstdio>

#include "config/job.h"

namespace rowvane {

// The program; returns the exit status.
int driver_main(int argc, char** argv);

// Writes the file (taken literally; "-" prefix = standard input) to out with
// every complete 8-byte word XORed with the key, except the final 1 to 8
// bytes of the input. key: the decoded uncrack= value (first 8 bytes used).
// Returns 0, or 1 when the input does not open.
int unscramble_file(const char* file_name, const char* key, FILE* out);

}  // namespace rowvane
