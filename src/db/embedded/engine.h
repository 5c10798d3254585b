// The embedded engine: the client operations implemented over SQLite 3.
//
// It behaves as the vendor library does for everything the unloader uses:
// status codes, "ORA-NNNNN: text" error records, described type codes,
// external types 1, 2, 12, 23, 94, 95 and LOB locators (112-114), cumulative
// row counts, NLS date formats, character-set conversion, LOB reads in
// pieces. The server-attach "connect string" is the database file name (the
// text after "sqlite:"); the file is opened read-write and never created.
#pragma once

#include <cstddef>
#include <cstdint>

#include "db/client.h"

namespace rowvane {

const DbClient* embedded_client();

// The internal NUMBER form: encodes the decimal text (optional sign, digits,
// optional point and digits, optional exponent) into at most 21 bytes;
// returns the length, 0 when the text is not a number.
int encode_oracle_number(const char* text, size_t len, unsigned char out[22]);

// The 7-byte internal DATE form from "YYYY-MM-DD[ HH:MI:SS]"; 11 bytes with a
// fractional part (nanoseconds big-endian). Returns the length or 0.
int encode_oracle_date(const char* text, size_t len, unsigned char out[11]);

// Test hook: every statement text the engine prepares is passed here when set.
typedef void (*EmbeddedStatementObserver)(const char* text, uint32_t len);
void embedded_set_statement_observer(EmbeddedStatementObserver observer);

}  // namespace rowvane
