// JSON text of one value, for text=JSON (JSON lines: one object per row).
//
// Pure functions on caller-owned buffers, no allocation. The record loop
// decides per column, once per run, which of them applies.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rowvane {

// What a byte that is not part of well-formed UTF-8 does (badchar=).
enum class BadUtf8 : uint8_t {
  kRefuse,   // the value is refused (the run ends with a message)
  kReplace,  // each such byte becomes U+FFFD
};

// Returned by json_string for a refused value.
constexpr size_t kJsonRefused = SIZE_MAX;

// Room json_string needs for n bytes: a control byte becomes six ("\u001f").
constexpr size_t json_string_bound(size_t n) { return 6 * n; }

// The inside of a JSON string (no quotes) for the bytes v[0, n), read as
// UTF-8: '"' and '\\' escaped, every control character below 0x20 escaped
// (\b \f \n \r \t or \u00XX), well-formed sequences copied. Overlong forms,
// surrogates, code points above U+10FFFF and cut sequences are not
// well-formed. Returns the bytes written, or kJsonRefused (with *bad_offset,
// when not null, the offset of the first such byte) under kRefuse.
size_t json_string(char* dest, const unsigned char* v, size_t n, BadUtf8 policy,
                   size_t* bad_offset = nullptr);

// Room json_number needs for a text of n bytes.
constexpr size_t json_number_bound(size_t n) { return 2 * n + 16; }

// The text form of a number (NUMBER, BINARY_FLOAT, BINARY_DOUBLE) as JSON:
// a valid JSON number with the same digits ("0.5" for ".5", "-0.5" for
// "-.5", a leading "+" and a bare trailing "." dropped); "NaN", "Infinity"
// and "-Infinity" as strings for the not-a-number and infinite values
// (written "Nan", "Inf", "-Inf" and the like); any other text as a JSON
// string. Returns the bytes written (quotes included for strings).
size_t json_number(char* dest, const char* text, size_t n);

// Room json_datetime needs for a text of n bytes (quotes included).
constexpr size_t json_datetime_bound(size_t n) { return json_string_bound(n) + 2; }

// "YYYY-MM-DD HH:MI:SS[.fffffffff][ +HH:MM]" (the session's date and
// timestamp text) as an ISO-8601 JSON string: "T" between date and time, a
// "." for the decimal character, the offset joined without the blank
// ("2024-02-29T13:05:00.5+02:00"). Any other text is written as a JSON
// string unchanged. Returns the bytes written, quotes included.
size_t json_datetime(char* dest, const char* text, size_t n);

// Two upper-case hex digits per byte between quotes (2 * n + 2 bytes).
size_t json_hex(char* dest, const unsigned char* v, size_t n);

// Room json_lob_reference needs for a reference of n bytes.
constexpr size_t json_lob_reference_bound(size_t n) { return json_string_bound(n) + 48; }

// A LOB file reference "name.offset.length/" as the object
// {"file":"name","offset":N,"length":N}. A text of another shape becomes a
// JSON string. Returns the bytes written.
size_t json_lob_reference(char* dest, const char* ref, size_t n);

}  // namespace rowvane
