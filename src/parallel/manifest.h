// The manifest of a run (manifest=): its options without secrets, its
// snapshot, and every table and piece with its range, state and files
// (rows, bytes, CRC-32). Written as JSON under a temporary name and renamed
// over the old one, so that a reader (or a resumed run) always finds a
// whole manifest; read back by a resumed run and by join=.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/job.h"

namespace rowvane {

enum class PieceState : uint8_t {
  kPending,     // not run yet
  kDone,        // ended well: its files are complete under their final names
  kFailed,      // ended with an error (its result says which)
  kUnfinished,  // stopped by a signal: its files were kept under temporary names
};

struct ManifestFile {
  std::string name;
  char kind = 'd';     // 'd' data, 'l' LOB, 'c' control
  uint64_t rows = 0;   // records of a data file
  int64_t bytes = -1;  // the file's size; -1 when it is no regular file (no checksum then)
  uint32_t crc32 = 0;  // of the file's bytes as stored (compressed, scrambled)
};

struct ManifestPiece {
  int32_t table = 0;      // index into Manifest::tables
  int32_t index = 1;      // the value of %p
  bool whole = true;      // no ROWID bounds
  std::string min_rowid;  // inclusive
  std::string max_rowid;  // exclusive
  PieceState state = PieceState::kPending;
  int32_t result = 1;
  std::vector<ManifestFile> files;
};

struct ManifestTable {
  std::string owner;
  std::string name;  // empty: the statement of a run of query= or sql=
};

struct ManifestSnapshot {
  std::string kind = "none";  // "none", "lock" (the embedded engine's write lock) or "scn"
  uint64_t scn = 0;
  std::string taken;          // UTC, ISO 8601
};

struct Manifest {
  std::string state = "running";  // "planned", "running", "complete" or "incomplete"
  ManifestSnapshot snapshot;
  std::vector<uint64_t> runs;  // the process numbers of the runs that wrote it, oldest first
  std::vector<std::pair<std::string, std::string>> options;  // keyword, canonical value
  std::vector<ManifestTable> tables;
  std::vector<ManifestPiece> pieces;  // in the order of their numbers (1-based in the text)
};

// The options of the job that decide what the files hold, each as its
// canonical text (config/options.h). Left out: the login, the key of an
// encrypted login, uncrack=, the log, what only steers the run (degree,
// retry, sleep, rows, status, zthreads, sql= whose text is in query=) and
// the manifest's own keywords. crack= is kept as a fingerprint (DES of a
// fixed block under the key), never as the key.
void manifest_options(const UnloadJob& job, Manifest* m);

// The first option whose value differs between the two (or that only one
// has), written into name; false when they agree.
bool differing_option(const Manifest& a, const Manifest& b, std::string* name);

// The manifest as JSON text.
std::string manifest_text(const Manifest& m);

// Writes the manifest under a temporary name in its folder and renames it
// over path. 0, or the system's error number.
int write_manifest(const char* path, const Manifest& m);

// Reads a manifest. 0; 1 when there is no file by that name; -1 when it
// cannot be read or is no manifest of this program (why says what is wrong).
int read_manifest(const char* path, Manifest* m, std::string* why);

// Parses manifest text: true, or false with why.
bool parse_manifest(const char* text, size_t len, Manifest* m, std::string* why);

// Size and CRC-32 of a regular file's bytes. False when it cannot be read
// or is no regular file.
bool checksum_file(const char* name, int64_t* bytes, uint32_t* crc32);

// The size of a regular file. False when it cannot be opened or is none.
bool regular_file_size(const char* name, int64_t* bytes);

// Selects pieces by a list of numbers and ranges ("1-4,9"; 1-based).
// Fills selected (count entries). False with the offending entry in bad
// when an entry is no number or range within 1 to count.
bool select_pieces(const char* list, size_t count, std::vector<bool>* selected, std::string* bad);

// The current time, UTC, as ISO 8601 ("2026-12-07T18:04:05Z").
std::string utc_now_text();

}  // namespace rowvane
