// The one owner of a statement handle: every path out of a scope that made
// a statement frees it. Freeing a statement frees its bind and define
// handles with it, so those are never freed on their own (the vendor's
// library would free them twice).
#pragma once

#include "db/session.h"

namespace rowvane {

class StatementHandle {
 public:
  explicit StatementHandle(DbSession* s) : s_(s) {}
  StatementHandle(const StatementHandle&) = delete;
  StatementHandle& operator=(const StatementHandle&) = delete;
  // The free's status tells nothing the caller could act on.
  ~StatementHandle() {
    if (stmt_) s_->api->OCIHandleFree(stmt_, OCI_HTYPE_STMT);
  }

  // 0, or -1 when the session has no environment or no handle could be
  // allocated.
  int allocate() {
    if (!s_->api || !s_->env) return -1;
    void* h = nullptr;
    if (s_->api->OCIHandleAlloc(s_->env, &h, OCI_HTYPE_STMT, 0, nullptr) != OCI_SUCCESS || !h) {
      return -1;
    }
    stmt_ = h;
    return 0;
  }

  void* get() const { return stmt_; }

 private:
  DbSession* s_;
  void* stmt_ = nullptr;
};

}  // namespace rowvane
