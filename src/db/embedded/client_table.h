// The embedded engine's one entry for the session: its table of the client
// operations (db/client.h). The session reaches the engine through this
// factory only; engine.h adds the conversions and test hooks for the tests.
#pragma once

#include "db/client.h"

namespace rowvane {

// The operation table of the embedded engine over SQLite (static, never null).
const DbClient* embedded_client();

}  // namespace rowvane
