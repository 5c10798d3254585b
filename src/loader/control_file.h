// The bulk-loader control file that loads an unloaded text file back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/job.h"
#include "unload/columns.h"

namespace rowvane {

// Writes the control file for the described columns (first = first column).
// Called only for plain text output, non-empty table and piece 1. The name is
// job.control, or "<table>_sqlldr.ctl". A file that cannot be created is
// skipped silently. In the fixed-width layout the FIX length is the length
// of every record: rowpre, the field widths, rowsuf and the record separator.
void write_control_file(const ColumnInfo* first, const UnloadJob& job);

// Room for a control file name: control= or a table name with its suffix.
constexpr size_t kControlPathSize = sizeof(UnloadJob::control) + sizeof(UnloadJob::table) + 16;

// The name the job's control file gets (into path, kControlPathSize bytes),
// or false when the job writes none (no table, not plain text, not piece 1).
bool control_file_path(const UnloadJob& job, char* path);

}  // namespace rowvane
