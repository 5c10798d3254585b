// Output files: name expansion, opening, compression, scrambling, buffer writes,
// rotation, and the progress and closing lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "config/job.h"
#include "config/results.h"
#include "db/session.h"
#include "platform/file_io.h"
#include "unload/compress_stream.h"

namespace rowvane {

constexpr size_t kDataNameSize = 512;  // expanded data file name, incl. NUL
constexpr size_t kLobNameSize = 256;   // expanded lob file name, incl. NUL

// Expands %b %p %y %m %d %w %t %% in pattern into out (capacity out_size).
// %n, the table's name, is put in before by insert_table_name; left in the
// pattern (a run of one statement), it expands to nothing.
// Returns the expanded length, or -1 when it would not fit (nothing is cut).
int expand_file_name(const char* pattern, char* out, size_t out_size, int sequence, int piece);

// True when the pattern holds the code %<code> (lower case code; either case
// matches), "%%" being a literal.
bool has_name_code(const char* pattern, char code);

// Copies pattern into out with every %n (any case) replaced by table; the
// other codes stay for expand_file_name. With expanded (a pattern that is
// expanded later: file=, lobfile=, log=) a "%" of the name is doubled so
// that it stays itself. Returns the length, or -1 when it would not fit.
int insert_table_name(const char* pattern, const char* table, bool expanded, char* out,
                      size_t out_size);

// Opens an expanded name: a leading "+" appends ("ab+", positioned at the
// end, so that the position is the file's length from the first write on),
// otherwise the file is created or truncated ("wb+"). Null on failure, with
// the system's error number in *error (when error is not null; 0 on success).
FILE* open_output_name(const char* name, int* error);

// Expands the pattern and opens it as open_output_name does. Null when the
// name does not fit or the file cannot be opened (the expanded name is still
// in out).
FILE* open_output_file(const char* pattern, char* out, size_t out_size, int sequence, int piece);

// The start of a run, before its login: expands the log pattern (sequence
// 0), refuses outputs that would destroy the database or one another
// (check_run_outputs), opens the log file ("+" appends) and guards it
// against every later output. *log is null when log= is empty. Returns 0,
// or kResultOpenFailed after one line ("ERROR -- Cannot write to log file : %s (%s)\n" with
// the system's reason, a name-too-long line, or a same-file line). A
// non-null opened (capacity kDataNameSize) receives the name opened,
// without its "+".
int open_log_file(const UnloadJob& job, DbSession* s, FILE** log, char* opened = nullptr);

// File state of one write_rows call. A default-constructed record holds no
// open file, so close_output_files is safe on it at any point.
struct OutputFiles {
  char data_name[kDataNameSize] = {};  // "-" in standard-output mode
  char lob_name[kLobNameSize] = {};    // empty when lobfile= is empty
  // The names the open files are written under until they are complete
  // (see temporary_name); empty for a file written in place: standard
  // output, a "+" append, a device, a pipe or a symbolic link.
  char data_temp[kDataNameSize + kTemporaryNameExtra] = {};
  char lob_temp[kLobNameSize + kTemporaryNameExtra] = {};
  FILE* data = nullptr;                // stdout in standard-output mode
  CompressStream* packed = nullptr;    // the compressing stream on data, else null
  FILE* lob = nullptr;
  bool stdout_mode = false;            // file= is exactly "-"
  CompressSettings compress{Codec::kNone, 0, 0};  // file= ends in ".gz" or ".zst" (any case)
  bool scramble = false;               // crack= is set
  bool keep_blank = true;              // writes blank the bytes they free (see flush_buffer)
  bool reader_gone = false;            // a write failed because the pipe's reader closed it (EPIPE)
  unsigned char key[8] = {};
  bool data_empty = true;              // the data file held nothing when opened (a head line belongs)
  int32_t sequence = 1;                // value of %b, starts at 1
  uint64_t rows_in_file = 0;
  float megabytes = 0;                 // over all files of the call (before compression)
  uint64_t file_bytes = 0;             // bytes handed to the current data file (before compression)
  uint64_t size_limit = UINT64_MAX;    // size x 1048576 bytes; no limit when size is 0
  FileWrittenCallback on_written = nullptr;  // the job's file_written, told of each published file
  bool crc_whole = false;              // crc32 sums every byte of the open data file (a plain new file)
  uint32_t crc32 = 0;
  void* written_context = nullptr;
  RunCounters* counters = nullptr;     // the job's: counts published files, defers kept lines
};

// Resets f, sets the modes from the job and opens the first files (sequence
// 1). On failure: one line through the session ("ERROR -- Cannot write to
// file : %s (%s)\n" with the system's reason, a name-too-long line when an
// expanded name would exceed its capacity, or the same-file line of
// report_same_file when the data and lob names are one file or one of them
// is a guarded file of the session: the database, the log, the control
// file), every file already opened is closed, returns kResultOpenFailed. change_file
// applies the same checks, so a data pattern without %b still replaces its
// own previous file.
int open_output_files(OutputFiles* f, const UnloadJob& job, DbSession* s);

// Writes the leading part of buf[0, pos) (all of it, or with scrambling the
// largest multiple of 8 below pos), moves the unwritten rest to the front,
// blanks the bytes it vacated and returns the new position. Requires
// buf[pos, buf_size) to be blanks already, so that afterwards every byte past
// the new position is a blank. With f->keep_blank off (a layout that never
// moves the position over unwritten bytes) nothing is blanked. On a failed
// or short write returns -1 (kResultWriteFailed is the caller's to return;
// kResultReaderGone when f->reader_gone shows that the reader of a pipe
// closed it).
int flush_buffer(OutputFiles* f, char* buf, int pos, int buf_size);

// Writes every byte left in buf[0, pos) (scrambling all but the final 1 to 8
// bytes of the file's stream) and blank-fills the used part (when
// f->keep_blank is set). 0 or -1.
int finish_file(OutputFiles* f, char* buf, int pos);

// True when, after a record, the run must move on to the next file: batch=
// reached a multiple of rows, or the file's bytes (written plus the pos bytes
// still buffered) exceed size MB. The fetch loop then changes files before
// the next record, so the last file is never left without one.
inline bool need_file_change(const OutputFiles& f, const UnloadJob& job, int pos) {
  if (f.stdout_mode) return false;
  if (job.batch && job.rows > 0 && f.rows_in_file > 0 && f.rows_in_file % job.rows == 0) return true;
  return f.file_bytes + static_cast<uint64_t>(pos) > f.size_limit;
}

// finish_file, close and publish (and delete an empty lob file), the closing line only
// when every write and close succeeded, next sequence, open the next files,
// rows_in_file := 0. Returns 0, kResultWriteFailed (write or close failed) or
// kResultOpenFailed (open failed, message delivered); on failure the files
// still open are left for close_output_files. The caller writes the head
// line again. Does nothing in standard-output mode.
int change_file(OutputFiles* f, const UnloadJob& job, DbSession* s, char* buf, int* pos);

// What becomes of files written under a temporary name when they close.
enum class FileEnd : uint8_t {
  kPublish,  // complete: renamed to the final name (only when every write and close succeeded)
  kKeep,     // whole records but not the whole result: left under the temporary name
  kDiscard,  // a failed write: the temporary file is deleted
};

// Closes every open file on any path (finishing a compressed stream before
// the rename), deleting an empty lob file; flushes stdout instead of closing
// it. Files written under a temporary name are then published, kept or
// discarded as end says; a failed close or rename discards them. After
// kKeep, data_temp and lob_temp still name what was kept (an empty lob file
// is deleted all the same). Safe in any state: after a partial open, after a
// failure, twice. Returns 0, or kResultWriteFailed when a close, the
// compression, the rename or an earlier buffered write of a file failed.
int close_output_files(OutputFiles* f, FileEnd end = FileEnd::kDiscard);

// After close_output_files(f, FileEnd::kKeep): when files were kept under
// their temporary names, one line naming them
// ("         unfinished output kept as %s\n"). The caller's last line.
void report_kept_files(DbSession* s, const OutputFiles& f);

// "%12llu rows exported at %04d-%02d-%02d %02d:%02d:%02d, size %.0f MB.\n"
void report_progress(DbSession* s, uint64_t rows, float megabytes);
// "ERROR -- Run interrupted by <SIGINT|SIGTERM|SIGHUP> after %llu rows.\n"
void report_interrupted(DbSession* s, int signal, uint64_t rows);
// "         output file %s closed at %llu rows, size %.0f MB.\n"
void report_closing(DbSession* s, const char* name, uint64_t rows, float megabytes);

}  // namespace rowvane
