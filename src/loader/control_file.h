// The bulk-loader control file that loads an unloaded text file back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/job.h"
#include "db/column_info.h"

namespace rowvane {

// Writes the control file for the described columns (first = first column).
// Called only for plain text output, non-empty table and piece 1. The name is
// job.control, or "<table>_sqlldr.ctl", written under a temporary name (see
// temporary_name) and renamed once whole. A file that cannot be created is
// skipped silently. In the fixed-width layout the FIX length is the length
// of every record: rowpre, the field widths, rowsuf and the record separator.
void write_control_file(const ColumnInfo* first, const UnloadJob& job);

// Room for a control file name: control= or a table name with its suffix.
constexpr size_t kControlPathSize = sizeof(UnloadJob::control) + sizeof(UnloadJob::table) + 16;

// The name the job's control file gets (into path, kControlPathSize bytes),
// or false when the job writes none (no table, not plain text, not piece 1).
bool control_file_path(const UnloadJob& job, char* path);

// A column name as an identifier of statements and the control file: the
// name between `quote` bytes, every inner `quote` byte doubled. With
// bare_if_plain, a plain name (ASCII letters, digits, "_", "$", "#" and
// bytes from 0x80, led by neither a digit nor "$" nor "#") is written as it
// is. out must hold 2 * len + 2 bytes; returns the bytes written.
size_t quote_identifier(char* out, const char* name, size_t len, char quote, bool bare_if_plain);

}  // namespace rowvane
