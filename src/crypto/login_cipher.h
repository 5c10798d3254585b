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

// Prints "user=" and the encrypted login as hex on out (stdout in the
// driver). Returns 0, or 1 (printing nothing) when the login is longer than
// 64 characters and so cannot be enciphered whole.
int print_encrypted_login(const UnloadJob& job, FILE* out);

// Replaces an encrypted user= value (all hexadecimal digits) with the plain
// login, in place; any other value stays unchanged.
void decode_login(UnloadJob* job);

// The three banner lines (product and version; description; copyright),
// deciphered at first use. index 0 to 2.
const char* banner_line(int index);

// The four split statement templates, deciphered into out (512 bytes).
// which: 0 = total weight, 1 = pieces; partition selects the three-placeholder
// variant; embedded selects the embedded engine's wording.
void split_template(int which, bool partition, bool embedded, char out[512]);

}  // namespace rowvane
