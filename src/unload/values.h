// Value conversion and escaping: the bytes one fetched value becomes.
// All pure functions on caller-owned buffers; no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rowvane {

// Internal NUMBER form (exponent byte + base-100 digits, at most 21 bytes)
// to plain decimal text in out (at least 256 bytes). Returns the text length
// (0 for an empty value). Never fails.
int format_number(const unsigned char* value, int len, char* out);

// Internal DATE form (7 bytes, or 11/13 with nanoseconds) to
// "YYYY-MM-DD HH:MI:SS[.ffffff]" in out (at least 32 bytes). Returns 19, 26
// or 0 for a length it does not take.
int format_date(const unsigned char* value, int len, char* out);

// Translation table of sedf=/sedt=, built once per run.
struct Translation {
  bool on;                 // sedf and sedt differ at their first byte
  unsigned char map[256];  // identity except the pairs
};
void build_translation(Translation* t, const char* sedf, const char* sedt);
// In place; the length does not change.
void translate_bytes(unsigned char* value, size_t len, const Translation& t);

// Escape settings of escape=/escf=/esct=, built once per run.
struct EscapeTable {
  bool on;                  // escape byte is not a blank
  unsigned char escape;
  int pair_count;           // 0 to 20
  unsigned char out[256];   // byte written after the escape byte; 0 = not escaped
  bool special[256];        // the byte needs escaping
};
void build_escape_table(EscapeTable* e, char escape, const char* escf, const char* esct);

// Bytes the escaping adds to value (double-byte characters are never escaped).
size_t count_escapes(const unsigned char* value, size_t len, const EscapeTable& e);
// Writes the escaped value into dest; returns the bytes written (len + count).
size_t escape_bytes(char* dest, const unsigned char* value, size_t len, const EscapeTable& e);

// Two lowercase hex digits per byte; returns 2 * len.
size_t hex_bytes(char* dest, const unsigned char* value, size_t len);

// True when values of this described type are escaped (character, float,
// interval and LONG kinds); false for numbers, dates, timestamps, rowids,
// RAW and LOB kinds.
bool type_is_escaped(uint16_t oracle_type);

}  // namespace rowvane
