// The option record of one unload: every keyword's value plus the small run
// state that the driver, the job runner and the parallel workers exchange.
//
// UnloadJob is a flat record of fixed-capacity buffers and integers. Copying
// it byte for byte yields an independent job (the parallel branch relies on
// this), so it must stay trivially copyable: no owned heap memory, no
// constructors. Text buffers are NUL-terminated; separator-like fields are
// stored decoded and may hold zero bytes, their *_len field tells how many
// bytes are meant.
#pragma once

#include <cstdint>
#include <type_traits>

#include "config/messages.h"

namespace rowvane {

struct RunCounters;  // config/run_counters.h

// One bind variable of the query: a :name=value command-line argument, or one
// ROWID bound of a parallel worker.
struct BindVar {
  void* handle;       // client-library bind handle, valid during one run only
  char name[32];      // placeholder without the colon, at most 30 characters
  int32_t name_len;
  char value[256];    // at most 127 characters from the command line
  int32_t value_len;
};

constexpr int kMaxBinds = 20;          // 18 from the command line + MINRID/MAXRID
constexpr int kMaxCommandLineBinds = 18;
constexpr int kMaxErrorCodes = 32;

// Output statement framing chosen by format=.
enum OptionFormat : int32_t {
  kFormatText = 0,         // delimited text and its presets
  kFormatMysqlInsert = 1,  // multi-row MySQL INSERT statements
  kFormatSqlInsert = 2,    // one SQL INSERT statement per row
  kFormatJson = 3,         // JSON lines: one object per row (text=JSON)
};

// Whether the driver draws the live status line on standard error (status=).
enum OptionStatus : uint8_t {
  kStatusAuto = 0,  // only when standard error is a terminal
  kStatusYes = 1,
  kStatusNo = 2,
};

// What resume= does with the manifest's unfinished pieces.
enum OptionResume : uint8_t {
  kResumeNo = 0,   // a new run (the manifest, if any, is written anew)
  kResumeYes = 1,  // redo the unfinished pieces at the manifest's snapshot
  kResumeNew = 2,  // redo them at a new snapshot
};

// Called by the job runner for every file a run has completed under its
// final name: kind 'd' data, 'l' LOB, 'c' control; rows the records of a
// data file (0 for the others); bytes and crc32 the file's size and CRC-32
// when the writer computed them as it wrote (bytes -1: not computed).
typedef void (*FileWrittenCallback)(void* context, const char* name, char kind, uint64_t rows,
                                    int64_t bytes, uint32_t crc32);

// What text=JSON does with bytes that are not well-formed UTF-8 (badchar=).
enum OptionBadChar : uint8_t {
  kBadCharError = 0,    // the run ends with a message naming row and column
  kBadCharReplace = 1,  // each such byte becomes U+FFFD
};

struct UnloadJob {
  // Text options.
  char user[132];
  char table[132];
  char mode[132];
  char query[32768];
  char field[132];
  char log[256];
  char record[132];
  char sql[256];
  char file[256];
  char lobfile[256];
  char control[256];
  char width[2048];
  char alter[2048];
  char key[512];
  char sedf[64];
  char sedt[64];
  char escf[64];
  char esct[64];
  char exec[64];
  char quote[64];
  char rowpre[64];
  char rowsuf[64];
  char null[128];
  char colsep[64];
  char escape;           // one byte; a blank means no escape character
  char presql[1024];
  char postsql[1024];
  char prehead[64];
  char owner[132];
  char part[132];
  char split[132];
  char tables[2048];     // tables=: names and LIKE patterns, "-" excludes
  char charset[64];
  char ncharset[64];
  char hint[256];
  char unique[256];
  char crack[32];
  char uncrack[32];
  char manifest[256];    // manifest=: the run's JSON manifest; empty: none
  char pieces[512];      // pieces=: the manifest's pieces this run unloads; empty: all
  char join[2048];       // join=: manifests to join into manifest=

  // Numbers, switches, lengths and run state.
  uint32_t rows;         // progress line every this many rows
  int32_t data;          // 0 = do not write row data
  int32_t field_len;
  int32_t record_len;
  int32_t rowpre_len;
  int32_t rowsuf_len;
  int32_t buffer;        // bytes (the option is given in MB)
  int32_t hash;          // MB; 0 = not set
  int32_t sort;          // MB; 0 = not set
  int32_t read;          // blocks per multiblock read; 0 = not set
  int32_t serial;
  int32_t trace;
  int32_t batch;
  int32_t head;
  int32_t safe;
  int32_t crypt;
  int32_t null_len;
  int32_t format;        // OptionFormat
  int32_t update;
  int32_t size;          // MB per output file piece
  int32_t colsep_len;
  int32_t exec_len;
  int32_t prehead_len;
  int32_t degree;
  int32_t snapshot;      // 1: every worker of a split reads one point in time
  uint16_t charset_id;   // 0 = the client library's default
  uint16_t ncharset_id;
  uint8_t client;
  uint16_t retry;
  uint16_t sleep;        // units of 100 ms
  uint32_t array;
  uint32_t long_;        // keyword "long"; bytes per LONG or LOB value
  uint8_t help;
  int32_t result;        // result code of the last run; 1 before any run
  int32_t piece;         // value of %p; only piece 1 writes the control file
  int32_t bind_count;
  // A worker's part of the run's snapshot (set by the parallel runner on
  // its copies): the system change number its session reads at on the
  // vendor path (0: none), or, on the embedded engine, that the run holds
  // the database's write lock while the worker runs.
  uint64_t snapshot_scn;
  int32_t snapshot_lock;
  BindVar binds[kMaxBinds];
  int32_t error_count;
  int32_t errors[kMaxErrorCodes];
  int32_t level;         // compression level; 0 = the format's default (gzip 6, zstd 3)
  int32_t zthreads;      // zstd worker threads; -1 = one on a multi-core machine, none in parallel runs
  uint8_t badchar;       // OptionBadChar
  uint8_t status;        // OptionStatus
  uint8_t resume;        // OptionResume
  int32_t plan;          // 1: write the manifest's plan and unload nothing
  // The run's counters (set by the driver or the library's run call for
  // the run; null otherwise): the fetch loop adds to them once per batch.
  RunCounters* counters;
  // Told of every file completed (set by the runner of a run with a
  // manifest on its job copies; null otherwise).
  FileWrittenCallback file_written;
  void* file_context;
  void* message_context;
  MessageCallback message_callback;
};

static_assert(std::is_trivially_copyable_v<UnloadJob>, "UnloadJob is copied byte for byte");
static_assert(std::is_trivially_copyable_v<BindVar>, "BindVar is copied byte for byte");
static_assert(std::is_standard_layout_v<UnloadJob>, "UnloadJob is a plain record");

// Sets every field to its default: buffers and tables are zeroed first, then
// the non-zero defaults are written (file "vanedata_%p.txt", mode "INSERT",
// field ",", record line feed, exec ";", escape blank, rows 1000000, array
// 1000, long 32768, buffer 2097152, size 268435455, degree 1, snapshot 1, retry 3,
// sleep 3, data 1, result 1, piece 1, zthreads -1).
void job_defaults(UnloadJob* job);

// True when the output is the fixed-width layout (first byte of field a blank).
inline bool job_fixed_width(const UnloadJob& job) { return job.field[0] == ' '; }

}  // namespace rowvane
