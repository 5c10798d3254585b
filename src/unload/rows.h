// The row fetch loop and the record formats.
#pragma once

#include "config/job.h"
#include "db/session.h"
#include "unload/columns.h"

namespace rowvane {

// Fetches every row of the executed statement and writes it in the job's
// output type. Returns 0 when every row was written and every file closed;
// otherwise sets s->run_status (2 write, 5 head too long, 6 open, 7 fetch or
// LOB failure) and returns it, with every file closed.
int write_rows(const UnloadJob& job, DbSession* s, void* stmt, ColumnInfo* first,
               bool fixed_width);

// Size of the record buffer; tests shrink it to force flushes (0 restores
// the default of 4 MiB).
void set_record_buffer_size(int bytes);
int record_buffer_size();

}  // namespace rowvane
