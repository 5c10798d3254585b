// The two hooks of engine.h for the strict stand-in client library.
#include "db/embedded/engine.h"
#include "db/embedded/internal.h"

namespace rowvane {

sqlite3* embedded_database(const void* handle) {
  auto* h = static_cast<const embedded::HandleHead*>(handle);
  if (!h || h->magic != embedded::kMagic || !h->env || !h->env->server) return nullptr;
  return h->env->server->db;
}

bool embedded_lob_value(const void* locator, std::string* out) {
  using embedded::Lob;
  Lob* l = embedded::as_handle<Lob>(locator, OCI_DTYPE_LOB);
  out->clear();
  if (!l || !l->filled || l->is_null || l->polling) return false;
  // The whole value through the engine's own polling read; its amounts
  // count bytes, or two-byte units with a UTF-16 client set.
  unsigned char piece[65536];
  int32_t status;
  do {
    uint32_t amount = 0;
    status = embedded::lob_read(nullptr, nullptr, l, &amount, 1, piece, sizeof piece, nullptr,
                                nullptr, 0, 0);
    if (status != OCI_SUCCESS && status != OCI_NEED_DATA) break;
    out->append(reinterpret_cast<const char*>(piece), amount * (l->utf16 ? 2u : 1u));
  } while (status == OCI_NEED_DATA);
  return status == OCI_SUCCESS || status == OCI_NO_DATA;
}

}  // namespace rowvane
