// The message channel and the system's own fixed message lines: every line
// the program writes for the user that is not assembled from a keyword's
// text lives here once, byte for byte, so that the same fact is never
// spelt twice.
#pragma once

namespace rowvane {

// A message line for the user: (opaque user data, NUL-terminated text).
typedef void (*MessageCallback)(void* user_data, const char* text);

}  // namespace rowvane
