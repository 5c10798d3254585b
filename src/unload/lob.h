// Large objects copied into the lob file, with references in the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "db/session.h"

namespace rowvane {

constexpr uint32_t kLobPieceSize = 32768;
constexpr size_t kLobReferenceSize = 256;

// Streams one LOB into lob_file in pieces of kLobPieceSize bytes and writes
// its reference "%s.%ld.%ld/" (lob name without a leading "+", 1-based byte
// offset, length) into ref. *ref_len receives the reference length. Returns
// the last client-library status; open/read failures are reported through
// the session and leave the bytes read so far. *failed is set when the LOB
// could not be read whole.
int32_t copy_lob_to_file(DbSession* s, void* locator, FILE* lob_file, const char* lob_name,
                         char* ref, int* ref_len, uint8_t charset_form, bool* failed);

// The reference of a NULL LOB: current length + 1 and -1.
int null_lob_reference(FILE* lob_file, const char* lob_name, char* ref);

}  // namespace rowvane
