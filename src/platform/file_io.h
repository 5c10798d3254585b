// The few file operations the runtime library does not make portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

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

// What a name denotes right now.
enum class FileKind : uint8_t {
  kMissing,  // nothing by that name (or a folder on its path is missing)
  kRegular,  // a regular file
  kFolder,   // a folder (directory)
  kOther,    // a device, pipe, socket...
  kUnknown,  // the system would not tell (no permission, ...)
};

// A file's identity: device and inode (on Windows, volume serial number and
// file index), so that two names, links or open streams can be compared.
struct FileIdentity {
  uint64_t device;
  uint64_t inode;
  FileKind kind;
};
static_assert(std::is_trivially_copyable_v<FileIdentity>);

// The identity of the file a name denotes (following links); device and
// inode are 0 unless kind is kRegular, kFolder or kOther.
FileIdentity file_identity(const char* name);
// The identity of an open stream's file.
FileIdentity open_file_identity(FILE* f);
// True when both are the same existing regular file. Devices and pipes are
// never "the same file" here: two outputs may share /dev/null.
bool same_regular_file(const FileIdentity& a, const FileIdentity& b);

// Atomic outputs: a file is written under a temporary name in the folder of
// its final name and renamed over it once complete.
//
// The temporary name of an output: ".<base>.rvtmp-<pid>" in the folder of
// name (the part up to the last "/", on Windows also "\\" or ":"), into out
// (size bytes). False when it does not fit (out is then empty).
bool temporary_name(const char* name, char* out, size_t size);
// The number of this process, the one in its temporary names.
unsigned long current_process_id();
// The length of the folder part of name (up to and with its last
// separator; 0 when it has none: the current folder).
size_t folder_length(const char* name);
// Deletes the temporary names process `pid` left in a folder (given as
// folder_length cuts it: with its separator, or empty for the current
// one): the entries ".<base>.rvtmp-<pid>". Returns how many it deleted.
int remove_temporary_names(const char* folder, unsigned long pid);
// Room a temporary name needs beyond its final name.
constexpr size_t kTemporaryNameExtra = 32;
// True when name may be written under a temporary name and renamed: it
// denotes nothing yet or a plain regular file. A device, a pipe, a folder or
// a symbolic link is written in place (a rename would replace the link, and
// a device cannot be renamed over).
bool renamable_output(const char* name);
// Renames from to to, replacing an existing to (on Windows MoveFileEx with
// MOVEFILE_REPLACE_EXISTING). 0, or -1 with the reason in last_system_error.
int rename_replacing(const char* from, const char* to);

// The error number of the last failed runtime-library call (errno).
int last_system_error();
// The system's words for an error number ("No such file or directory"),
// copied into buf (thread-safe); returns buf.
const char* system_error_text(int error, char* buf, size_t size);
// True for the error of a write to a pipe whose reader has gone (EPIPE).
bool is_closed_pipe_error(int error);

}  // namespace rowvane
