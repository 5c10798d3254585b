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

// Row size used for the array size and the FIX length of the control file:
// 1 + per column (256 for LOB locator types 112/113, else slot_width) + record_len.
int64_t compute_row_size(const ColumnInfo* first, int32_t record_len);

}  // namespace rowvane
