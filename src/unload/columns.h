// Select-list description: one ColumnInfo per column with its fetch buffers.
#pragma once

#include <cstdint>

#include "config/job.h"
#include "db/session.h"

namespace rowvane {

constexpr int kMaxColumns = 1023;
constexpr int kMaxArray = 2000;
constexpr uint32_t kMaxWidthOverride = 1048576;

struct ColumnInfo {
  void* define;            // define handle; released by the job runner
  void* param;             // parameter descriptor, used only while describing
  uint8_t binary;          // free-form character or raw data (hex in MySQL INSERTs)
  uint8_t key;             // named in unique= (left out of the update list)
  uint16_t fetch_type;     // external type used in the define
  uint16_t oracle_type;    // type code as described
  char name[31];           // at most 30 characters
  const char* name_ptr;    // the name as the library returns it
  uint32_t name_len;       // characters in name (at most 30)
  int32_t slot_width;      // bytes per row in buffer (incl. the 4-byte prefix of 94/95)
  uint32_t display_width;  // width in fixed-width output and the control file
  int16_t precision;
  int16_t scale;
  uint16_t quoted;         // written between quotes
  int32_t max_out;         // 0 after describe; cached by the fetch loop
  uint8_t charset_form;    // 2 = national character set
  void* buffer;            // array x slot_width bytes; or array LOB locators
  int16_t indicators[kMaxArray];
  uint16_t lengths[kMaxArray];
  uint16_t return_codes[kMaxArray];
  ColumnInfo* next;
};

static_assert(std::is_trivially_copyable_v<ColumnInfo>);

// Describes every select-list column of the executed statement, defines the
// fetch buffers, fixes job->array, marks unique columns and writes the
// control file when its conditions hold. Columns are linked behind head
// (head->next is the first). Returns the column count (>= 1) or -1; a select
// list of more than 1023 columns fails with one message. On failure the
// records already linked stay on the list for release_columns.
int describe_select_list(DbSession* s, void* stmt, ColumnInfo* head, bool fixed_width,
                         const char* width_text, UnloadJob* job);

// Frees every column behind head (buffer, record); head->next becomes null.
// The define handles are not freed: they belong to the statement and are
// released with it, so the statement is freed after this.
void release_columns(ColumnInfo* head);

// Raw bytes: RAW, LONG RAW, and BLOB fetched inline.
inline bool holds_raw_bytes(const ColumnInfo& c) {
  switch (c.oracle_type) {
    case 15: case 23: case 24: return true;
    case 113: return c.fetch_type == 95;  // long binary, not a locator
    default: return false;
  }
}
// Raw bytes go out as upper-case hex text, two characters per byte (what
// the vendor's client prints for RAW, and what its loader reads for a RAW
// column from a character field), except in MySQL INSERT statements (which
// carry unhex() of lower-case digits) and when the escape byte is a
// backslash (escaped raw bytes, which LOAD DATA reads back exactly).
inline bool raw_as_hex_text(const ColumnInfo& c, const UnloadJob& job) {
  return holds_raw_bytes(c) && job.format != kFormatMysqlInsert && job.escape != '\\';
}

// Row size used for the array size:
// 1 + per column (256 for LOB locator types 112/113, else slot_width) + record_len.
int64_t compute_row_size(const ColumnInfo* first, int32_t record_len);

}  // namespace rowvane
