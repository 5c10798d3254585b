// Select-list description: one ColumnInfo per column with its fetch buffers.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "config/job.h"
#include "db/column_info.h"
#include "db/session.h"
#include "db/type_codes.h"

namespace rowvane {

constexpr int kMaxColumns = 1023;
constexpr uint32_t kMaxWidthOverride = 1048576;

// Describes every select-list column of the executed statement, defines the
// fetch buffers, fixes job->array and marks unique columns (the job runner
// writes the control file after it). Columns are linked behind head
// (head->next is the first). Returns the column count (>= 1) or -1; a select
// list of more than 1023 columns fails with one message. On failure the
// records already linked stay on the list for release_columns.
int describe_select_list(DbSession* s, void* stmt, ColumnInfo* head, UnloadJob* job);

// Frees every column behind head (buffer, record); head->next becomes null.
// The define handles are not freed: they belong to the statement and are
// released with it, so the statement is freed after this.
void release_columns(ColumnInfo* head);

// Owns one column list: its head record (on the heap: a column record holds
// three arrays of kMaxArray entries) and every column describe_select_list
// links behind it, released together when the list goes out of scope.
class ColumnList {
 public:
  ColumnList() : head_(static_cast<ColumnInfo*>(std::calloc(1, sizeof(ColumnInfo)))) {}
  ColumnList(const ColumnList&) = delete;
  ColumnList& operator=(const ColumnList&) = delete;
  ~ColumnList() {
    if (!head_) return;
    release_columns(head_);
    std::free(head_);
  }

  ColumnInfo* head() const { return head_; }  // null when no memory was left
  ColumnInfo* first() const { return head_ ? head_->next : nullptr; }

 private:
  ColumnInfo* head_;
};

// Raw bytes: RAW, LONG RAW, and BLOB fetched inline.
inline bool holds_raw_bytes(const ColumnInfo& c) {
  switch (c.oracle_type) {
    case kTypeVarraw: case kTypeRaw: case kTypeLongRaw: return true;
    case kTypeBlob: return c.fetch_type == SQLT_LVB;  // long binary, not a locator
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
// 1 + per column (256 for a LOB locator, else slot_width) + record_len.
int64_t compute_row_size(const ColumnInfo* first, int32_t record_len);

}  // namespace rowvane
