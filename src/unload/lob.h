// Large objects copied into the lob file, with references in the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "db/session.h"

namespace rowvane {

constexpr uint32_t kLobPieceSize = 32768;
// Room for a reference: a lob name of up to 255 bytes and two 64-bit numbers
// always fit ("name.offset.length/" is at most 296 bytes).
constexpr size_t kLobReferenceSize = 320;

// Streams one LOB into lob_file in pieces of kLobPieceSize bytes (one polling
// read, driven by its status) and writes
// its reference "%s.%ld.%ld/" (lob name without a leading "+", 1-based byte
// offset, length) into ref (kLobReferenceSize bytes). *ref_len receives the
// reference length. The offset is the lob file's position, which is its
// length: the file must have been opened by open_output_file (an appended
// file is positioned at its end) and only ever written at its end.
// Returns the last client-library status. Open/read failures are reported
// through the session (report_error), a failed write to the lob file with
// "ERROR -- Cannot write to file : %s\n"; the bytes written so far stay and
// the reference records their length. *failed is set (never cleared) when
// the LOB could not be copied whole, so the caller can end the run with 7.
// character is true for CLOB and NCLOB values: with a UTF-16 client set
// (ids 1000, 2000, 2002 for the column's form) the library counts their
// pieces in two-byte characters. Memory use does not depend on the LOB's
// size.
int32_t copy_lob_to_file(DbSession* s, void* locator, FILE* lob_file, const char* lob_name,
                         char* ref, int* ref_len, uint8_t charset_form, bool character,
                         bool* failed);

// copy_lob_to_file reading pieces of piece_size bytes (1 to kLobPieceSize;
// other values mean kLobPieceSize). Tests use it to reach piece boundaries
// with small values.
int32_t copy_lob_to_file_in_pieces(DbSession* s, void* locator, FILE* lob_file,
                                   const char* lob_name, char* ref, int* ref_len,
                                   uint8_t charset_form, bool character, bool* failed,
                                   uint32_t piece_size);

// The reference of a NULL LOB into ref (kLobReferenceSize bytes): the lob
// file's current length + 1 and -1. Returns the reference length.
int null_lob_reference(FILE* lob_file, const char* lob_name, char* ref);

}  // namespace rowvane
