// The login cipher: encrypted logins and the program's own enciphered texts.
#pragma once

#include <cstddef>
#include <cstdio>

#include "config/job.h"

namespace rowvane {

// Bytes 0-7, 16-23, 32-39, 48-55 with key set A; the others with key set B.
void encrypt_login_block(unsigned char block[64]);
void decrypt_login_block(unsigned char block[64]);

// Encryption for the program's own stored texts: key set B on the first 8
// bytes of every 16-byte unit, key set A on the second. In place.
void decipher_stored_text(unsigned char* buf, size_t units);
void encipher_stored_text(unsigned char* buf, size_t units);

// Prints "user=" and the encrypted login as lowercase hex on out (stdout in
// the driver): 2n digits for a login of n characters rounded up to 8, with a
// line break after the first 64 digits and at the end. Returns 0. A login
// longer than 64 characters cannot be enciphered whole: then nothing of it is
// printed, only one error line, and the result is 1.
int print_encrypted_login(const UnloadJob& job, FILE* out);

// Replaces an encrypted user= value (all hexadecimal digits, either case)
// with the plain login, in place; any other value, and an empty one, stays
// unchanged. A malformed value deciphers into meaningless bytes.
void decode_login(UnloadJob* job);

// The three banner lines (product and version; description; copyright),
// deciphered at first use; index 0 to 2, "" for any other index. Each is at
// most 127 characters without a line end. Safe to call from any thread.
const char* banner_line(int index);

// The split statement templates, deciphered into out (512 bytes, always
// NUL-terminated). which: 0 = total weight, 1 = pieces (any other value gives
// an empty text); partition selects the variant with three "%s" (owner,
// table, partition) instead of two (owner, table); embedded selects the
// embedded engine's wording. The texts come from src/crypto/stored_texts.txt.
void split_template(int which, bool partition, bool embedded, char out[512]);

}  // namespace rowvane
