// The bulk-loader control file that loads an unloaded text file back.
#pragma once

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

}  // namespace rowvane
