// The keyword parser: applies one keyword=value text to an UnloadJob.
#pragma once

#include <cstddef>

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

// Decodes the "0x" hexadecimal character codes of a separator-like value.
// Reads at most `limit` source positions (look-ahead may read further, up to
// the end of the text), writes one byte per step into dest, terminates it
// with a zero byte and returns the number of bytes written. dest must hold
// limit + 1 bytes.
int decode_hex_text(const char* src, char* dest, int limit);

// Applies one keyword=value text. Returns 1 when the keyword is one of the
// sixty-two (whether or not the value changed anything), 0 otherwise; an
// unknown keyword leaves the job untouched. Never prints, never fails.
// Presets (text=, fast=, form=) apply their option texts through set_option
// itself, in order. A 33rd distinct error= code is ignored (returns 1).
int set_option(UnloadJob* job, const char* text);

}  // namespace rowvane
