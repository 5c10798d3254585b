// The console: whether standard input is a terminal, and reading a line
// from it without echo (for a password).
#pragma once

#include <cstddef>

namespace rowvane {

// True when standard input is a terminal.
bool stdin_is_terminal();
// True when standard error is a terminal.
bool stderr_is_terminal();
// True when standard output is a terminal.
bool stdout_is_terminal();

// Writes prompt to standard error, then reads one line from standard input
// with echo off (restored afterwards) into out (capacity cap, terminated,
// line end removed). Returns 0, or -1 when standard input is no terminal,
// the read fails, or the line does not fit.
int read_secret_line(const char* prompt, char* out, size_t cap);

}  // namespace rowvane
