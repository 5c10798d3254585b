// The keyword parser: applies one keyword=value text to an UnloadJob.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/job.h"

namespace rowvane {

// Where the keyword and the value lie inside one option text.
struct OptionSplit {
  size_t key_start;
  size_t key_len;    // surrounding white space excluded
  size_t value_start;
  size_t value_len;  // leading white space after "=" excluded, trailing kept
};

// Splits one option text at its first "=". Without "=", the value is the
// whole text from its first character.
OptionSplit split_option_text(const char* text);

// True when the keyword of an option text (split by split_option_text) is
// `keyword`, ignoring case.
bool option_keyword_is(const char* text, const OptionSplit& split, const char* keyword);

// Decodes the "0x" hexadecimal character codes of a separator-like value.
// Reads at most `limit` source positions (look-ahead may read further, up to
// the end of the text), writes one byte per step into dest, terminates it
// with a zero byte and returns the number of bytes written. dest must hold
// limit + 1 bytes.
int decode_hex_text(const char* src, char* dest, int limit);

// Why an option text was not applied.
enum OptionFault : int32_t {
  kOptionApplied = 0,
  kOptionUnknownKeyword = 1,  // the text before "=" is none of the keywords
  kOptionNotNumber = 2,       // a numeric keyword with other than one integer
  kOptionNotSwitch = 3,       // a switch value that is neither on nor off
  kOptionUnknownType = 4,     // text= other than the seven output types
  kOptionUnknownFormat = 5,   // format= other than MYSQL, SQL, TEXT, JSON
  kOptionDegreeRange = 6,     // degree= outside 1 to 128
  kOptionLevelRange = 7,      // level= outside 1 to 19
  kOptionThreadsRange = 8,    // zthreads= outside 0 to 64
  kOptionUnknownBadChar = 9,  // badchar= other than ERROR, REPLACE
  kOptionUnknownStatus = 10,  // status= other than YES, NO, AUTO
  kOptionUnknownResume = 11,  // resume= other than NO, YES, NEW
};

// Applies one keyword=value text, or leaves the job untouched and says why
// not. Switch values: YES, ON, TRUE, Y, 1 are on; NO, OFF, FALSE, N, 0 are
// off (any case; trailing white space ignored, as for text= and format=).
// A number is one base-10 integer with an optional sign and surrounding
// white space; beyond the 32-bit range it sticks at the limit, then the
// keyword's bounds apply. Presets (text=, fast=, form=) apply their option
// texts in order. A 33rd distinct error= code is ignored (still applied).
// Never prints.
OptionFault try_option(UnloadJob* job, const char* text);

// try_option for the library: 1 when applied, 0 when the keyword is unknown
// or its value refused (the job is then untouched).
int set_option(UnloadJob* job, const char* text);

// The keyword nearest to `word` (len characters) by edit distance, ignoring
// case, written in lower case into out; with_parfile counts the driver's
// "parfile" among the candidates.
void closest_keyword(const char* word, size_t len, bool with_parfile, char out[16]);

// One line, without line end, saying why `text` was refused (fault not
// kOptionApplied), written into out (always terminated). It names the
// argument by its text before "=" (never a value that may be secret: a
// "/" and what follows are shown as "/...") and the closest keyword; a
// refused value of a known keyword is shown, cut to 40 characters, with the
// values the keyword takes. Control bytes are shown as "?".
void describe_option_fault(const char* text, OptionFault fault, bool with_parfile, char* out, size_t cap);

// Every keyword's value in the job as one canonical text, in a fixed
// order, keyword in lower case: texts as stored, decoded values as their
// bytes (which may hold any byte), numbers in base 10, switches YES or NO,
// format=, badchar=, status= and resume= by name, error= as its codes
// joined by commas, escape= as its one byte. The presets (text=, fast=,
// form=) and help= are left out: what they do shows in the keywords they
// set. Secrets (user=, key=, crack=) are given too: the caller leaves them
// out where it keeps the values.
typedef void (*OptionValueFn)(void* context, const char* keyword, const char* value, size_t len);
void list_option_values(const UnloadJob& job, OptionValueFn fn, void* context);

}  // namespace rowvane
