// The vendor's client library, loaded at run time by its documented names.
#pragma once

#include <cstddef>

#include "db/client.h"

namespace rowvane {

// Loads the library (ROWVANE_OCI_LIBRARY names the exact file when set,
// otherwise the platform's documented names are tried in order) and resolves
// every operation. On success returns the filled table (loaded once per
// process, thread-safe). On failure returns null and writes one line into
// reason (which library, the loader's words).
const DbClient* vendor_client(char* reason, size_t reason_size);

// Resolves the table from a library file given by path; used by the loader
// above and by tests with a stand-in library. Null and a reason on failure.
const DbClient* load_vendor_client_from(const char* path, char* reason, size_t reason_size);

}  // namespace rowvane
