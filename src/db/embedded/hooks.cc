// The two hooks of engine.h for the strict stand-in client library.
#include <cstdio>

#include "db/embedded/engine.h"
#include "db/embedded/internal.h"
#include "platform/file_io.h"

namespace rowvane {

sqlite3* embedded_database(const void* handle) {
  auto* h = static_cast<const embedded::HandleHead*>(handle);
  if (!h || h->magic != embedded::kMagic || !h->env || !h->env->server) return nullptr;
  return h->env->server->db;
}

bool embedded_lob_value(const void* locator, std::string* out) {
  using embedded::Lob;
  Lob* l = embedded::as_handle<Lob>(locator, OCI_DTYPE_LOB);
  if (!l || !l->filled || l->is_null) return false;
  if (!l->spilled) {
    out->assign(reinterpret_cast<const char*>(l->data), l->len);
    return true;
  }
  // A spilled value lives in the environment's spill file until the next
  // fetch into locators rewrites it.
  FILE* spill = l->head.env->lob_spill;
  if (l->epoch != l->head.env->lob_epoch || !spill || std::fflush(spill) != 0 ||
      file_seek(spill, static_cast<int64_t>(l->spill_offset)) != 0)
    return false;
  out->resize(l->len);
  return std::fread(out->data(), 1, l->len, spill) == l->len;
}

}  // namespace rowvane
