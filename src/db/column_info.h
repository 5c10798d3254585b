// The record of one described select-list column: what the describe reported,
// the fetch form and widths chosen for it, and the define buffers the client
// library fills. It belongs to the client interface (beneath both the control
// file and the unload) because it is the shape of a describe and a define,
// and it needs nothing but them: the loader reads it to write the control
// file, the unload fills and fetches into it.
#pragma once

#include <cstdint>
#include <type_traits>

namespace rowvane {

constexpr int kMaxArray = 2000;  // rows per fetch at most

struct ColumnInfo {
  void* define;            // define handle; released by the job runner
  void* param;             // parameter descriptor, used only while describing
  uint8_t binary;          // free-form character or raw data (hex in MySQL INSERTs)
  uint8_t key;             // named in unique= (left out of the update list)
  uint16_t fetch_type;     // external type used in the define
  uint16_t oracle_type;    // type code as described (db/type_codes.h)
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

}  // namespace rowvane
