// The few file operations the runtime library does not make portable.
#pragma once

#include <cstdio>

namespace rowvane {

// The descriptor of an open stream (for the gzip stream put on it).
int file_descriptor(FILE* f);
// Duplicates a descriptor so that a gzip stream and the FILE can be closed
// independently; -1 on failure.
int duplicate_descriptor(int fd);
// Sets standard output to binary mode (no line-end translation on Windows).
void set_stdout_binary();

}  // namespace rowvane
