// The row fetch loop and the record formats.
#pragma once

#include "config/job.h"
#include "db/session.h"
#include "unload/columns.h"

namespace rowvane {

// Sizes of the fetch loop's buffers; 0 means the default. Tests shrink them
// to reach buffer and piece boundaries with few rows.
struct FetchLimits {
  int32_t record_buffer_size;  // bytes of the record buffer: default 4 MiB, at least 32
  uint32_t lob_piece_size;     // bytes of one LOB read: 1 to kLobPieceSize, default kLobPieceSize
};
static_assert(std::is_trivially_copyable_v<FetchLimits>);

// Fetches every row of the executed statement and writes it in the job's
// output type. Returns 0 when every row was written and every file closed;
// otherwise, with every file closed, the result code (2 write, 5 head too
// long, 6 open, 7 fetch or LOB failure, 141 reader gone, 128 + a signal).
int write_rows(const UnloadJob& job, DbSession* s, void* stmt, ColumnInfo* first,
               bool fixed_width, const FetchLimits& limits);

}  // namespace rowvane
