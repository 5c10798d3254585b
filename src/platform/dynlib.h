// Loading shared libraries at run time (dlopen on POSIX, LoadLibrary on Windows).
#pragma once

#include <cstddef>

namespace rowvane {

// Opens the library; null on failure with the loader's reason in reason.
void* dynlib_open(const char* path, char* reason, size_t reason_size);
// Resolves a symbol; null when missing.
void* dynlib_symbol(void* lib, const char* name);
void dynlib_close(void* lib);

}  // namespace rowvane
