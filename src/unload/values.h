// Value conversion and escaping: the bytes one fetched value becomes.
//
// The record loop builds the Translation and EscapeTable of its run once and
// then calls these functions once per value. All of them are pure functions
// on caller-owned buffers: no allocation, no shared state, so any number of
// workers may run them at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rowvane {

// Longest internal NUMBER image format_number reads; longer images are cut
// here (the internal form never exceeds it).
constexpr int kMaxNumberBytes = 21;
// Scratch room format_number and format_date require in out.
constexpr int kValueScratch = 256;

// Internal NUMBER form (exponent byte + base-100 digits, at most 21 bytes)
// to plain decimal text in out (at least 256 bytes; the text is at most
// about 175 bytes and is not NUL-terminated). Returns the text length (0 for
// an empty value). Never fails: a damaged image still yields digits.
int format_number(const unsigned char* value, int len, char* out);

// Internal DATE form (7 bytes, or 11/13 with nanoseconds) to
// "YYYY-MM-DD HH:MI:SS[.ffffff]" in out (at least 32 bytes; not
// NUL-terminated). Returns 19, 26 (27 for an out-of-range nanosecond count)
// or 0 for a length it does not take.
int format_date(const unsigned char* value, int len, char* out);

// Byte translation of sedf=/sedt=, built once per run.
struct Translation {
  bool on;                 // at least one pair (sedf and sedt differ at their first byte)
  int pair_count;          // 0 to 10
  unsigned char map[256];  // identity except the pairs
};
// sedf and sedt are NUL-terminated (null pointers are taken as empty). Pairs
// run from position 0 up to the first position (at most 10) where both hold
// the same byte or sedf ends; a byte of sedf beyond the end of sedt maps to
// the zero byte. The first pair of a repeated sedf byte wins.
void build_translation(Translation* t, const char* sedf, const char* sedt);
// Maps every byte of value through t, in place; the length does not change.
// Bytes are taken one at a time, without regard to double-byte characters.
void translate_bytes(unsigned char* value, size_t len, const Translation& t);

// How the escape scan steps over the characters of the target character
// set. Only in a double-byte set can the second byte of a character look
// like an ASCII byte (a backslash, a quote), so only there are such pairs
// kept whole; UTF-8 text is walked in whole sequences; every other set,
// and raw bytes, byte by byte.
enum class CharWidth : uint8_t {
  kSingleByte,  // every byte is a character
  kUtf8,        // well-formed UTF-8 sequences (2 to 4 bytes) are characters
  kDoubleByte,  // a byte 0x81-0xFE and a byte 0x40-0x7E or 0x80-0xFE are a character
};

// The width class of a character set, by the vendor's name (ZHS16GBK,
// AL32UTF8, ...; also the common names GBK, BIG5, SHIFT_JIS, UTF-8, ...)
// or by its id. Double-byte: the Japanese, Korean and Chinese multi-byte
// sets (names JA16*, KO16*, ZHS16*, ZHS32*, ZHT16*, ZHT32*; ids 830, 832,
// 837, 838, 840, 846, 852, 854, 860, 865, 867, 868). UTF-8: UTF8 and
// AL32UTF8 (ids 871, 873). By id, every other set is single-byte; by name,
// other names are not judged (false), nor is id 0.
bool charset_width_by_name(const char* name, CharWidth* width);
// AL32UTF8: the set a JSON run asks for when charset= is not given.
constexpr uint16_t kUtf8CharsetId = 873;
bool charset_width_by_id(uint16_t id, CharWidth* width);

// Escape settings of escape=/escf=/esct=, built once per run.
struct EscapeTable {
  bool on;                  // escape byte is not a blank
  CharWidth width;          // how characters are stepped over
  unsigned char seq_len[256];  // bytes of a character starting with this byte (1 when single)
  unsigned char escape;
  int pair_count;           // 0 to 20
  unsigned char out[256];   // byte written after the escape byte (valid where special)
  bool special[256];        // the byte, standing alone, needs escaping
  bool stop[256];           // special, or (when high_lane is set) the lead byte
                            // of a character of several bytes: the scan must look at it
  int ascii_count;          // special bytes below 0x80 (at most 21)
  // Each of those bytes repeated 16 times, for the block scan of plain runs.
  alignas(16) unsigned char ascii_lanes[24][16];
  // 0xFF in every lane when the scan must look at bytes 0x80 and above (a
  // double-byte set, or a special byte among them), else 0: in UTF-8 and
  // single-byte text such bytes are never escaped and no special byte can
  // hide inside a character, so runs of them are plain.
  alignas(16) unsigned char high_lane[16];
};
// escf and esct are NUL-terminated (null pointers are taken as empty). The
// pair count is the number of leading positions where both hold a nonzero
// byte, at most 20. The escape byte itself is written twice; a byte of escf
// is written as the escape byte and the esct byte of its first position.
// Characters of more than one byte (by `width`) are copied whole, never
// escaped.
void build_escape_table(EscapeTable* e, char escape, const char* escf, const char* esct,
                        CharWidth width = CharWidth::kDoubleByte);

// Bytes the character at value[i] takes for the escape scan (1 to 4; at
// least 1, never past len). Scanning from the start in these steps finds
// the characters escape_bytes keeps whole.
size_t escape_char_length(const unsigned char* value, size_t i, size_t len, const EscapeTable& e);

// Bytes the escaping adds to value, scanned from its start one character
// at a time (see CharWidth). 0 when e is off.
size_t count_escapes(const unsigned char* value, size_t len, const EscapeTable& e);
// Writes the escaped value into dest, which must hold len + count_escapes
// bytes (2 * len always suffices); returns the bytes written. With e off the
// value is copied unchanged.
size_t escape_bytes(char* dest, const unsigned char* value, size_t len, const EscapeTable& e);

// Two hex digits per byte into dest (2 * len bytes), lower case (MySQL
// unhex()) or upper case (raw bytes as text); returns 2 * len.
size_t hex_bytes(char* dest, const unsigned char* value, size_t len, bool upper = false);

// True when text values of this described type are escaped (character,
// float, interval, LONG kinds and CLOB/NCLOB fetched inline); false for
// numbers, dates, timestamps, rowids, RAW, BLOB and BFILE kinds.
bool type_is_escaped(uint16_t oracle_type);

}  // namespace rowvane
