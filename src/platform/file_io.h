// The few file operations the runtime library does not make portable.
#pragma once

#include <cstdint>
#include <cstdio>

namespace rowvane {

// The descriptor of an open stream (for the gzip stream put on it).
int file_descriptor(FILE* f);
// Duplicates a descriptor so that a gzip stream and the FILE can be closed
// independently; -1 on failure.
int duplicate_descriptor(int fd);
// Closes a bare descriptor (one duplicate_descriptor made); 0 or -1.
int close_descriptor(int fd);
// Position of an open stream in bytes (64-bit on every platform); -1 on failure.
int64_t file_tell(FILE* f);
// Moves an open stream to its end; 0 or -1.
int file_seek_end(FILE* f);
// Moves an open stream to a byte offset from its start; 0 or -1.
int file_seek(FILE* f, int64_t offset);
// True when the open stream is a regular file (not a device, pipe, ...).
bool file_is_regular(FILE* f);
// Sets standard output to binary mode (no line-end translation on Windows).
void set_stdout_binary();

}  // namespace rowvane
