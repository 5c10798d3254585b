// A scripted client answering the split statements (current user, system
// change number, total weight, pieces) from plain data, so the grouping rule, the fetch
// protocol and the failure paths run exactly without a database.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "db/session.h"

namespace rvfake {
using namespace rowvane;

struct Piece {
  std::string lower, upper;
  uint32_t weight;
};

struct Script {
  std::string user = "SCOTT";   // empty: the user query finds no row
  uint32_t total = 0;
  bool total_has_row = true;
  std::vector<Piece> pieces;
  bool table_has_rows = false;  // what reading the table itself finds
  std::string scn = "8372610031415";  // empty: the number query finds no row
  int fail_scn = 0;             // error code of the number query's prepare
  int fail_prepare = 0;         // error code of every other prepare
  int fail_fetch_call = 0;      // 1-based piece fetch that fails with -1
  int32_t error_code = 0;
  std::string error_text;
};
inline Script g_script;
inline std::vector<std::string> g_prepared;
inline int g_piece_fetches = 0;
inline int g_handles = 0;       // statements allocated minus freed
inline int g_owned_frees = 0;   // defines freed on their own: a double free in the vendor's library

struct Stmt {
  char kind = 't';              // 'u' user, 's' number, 't' total, 'p' pieces, 'r' the table's rows
  size_t next = 0;
  uint32_t row_count = 0;
  int fetches = 0;
  struct Def { void* buf; int32_t size; uint16_t* lens; } defs[3] = {};
};

inline void put_text(const Stmt::Def& d, uint32_t row, const std::string& text) {
  char* out = static_cast<char*>(d.buf) + static_cast<size_t>(row) * d.size;
  std::snprintf(out, static_cast<size_t>(d.size), "%s", text.c_str());
  if (d.lens) d.lens[row] = static_cast<uint16_t>(std::strlen(out));
}

inline int32_t fake_fetch(void* h, void*, uint32_t nrows, uint16_t, uint32_t) {
  auto* st = static_cast<Stmt*>(h);
  if (st->kind == 'u') {
    if (g_script.user.empty()) return OCI_NO_DATA;
    put_text(st->defs[0], 0, g_script.user);
    return OCI_SUCCESS;
  }
  if (st->kind == 's') {
    if (g_script.scn.empty()) return OCI_NO_DATA;
    put_text(st->defs[0], 0, g_script.scn);
    return OCI_SUCCESS;
  }
  if (st->kind == 'r') return g_script.table_has_rows ? OCI_SUCCESS : OCI_NO_DATA;
  if (st->kind == 't') {
    if (!g_script.total_has_row) return OCI_NO_DATA;
    std::memcpy(st->defs[0].buf, &g_script.total, 4);
    return OCI_SUCCESS;
  }
  ++g_piece_fetches;
  if (++st->fetches == g_script.fail_fetch_call) {
    g_script.error_code = 1555;
    g_script.error_text = "ORA-01555: snapshot too old";
    return OCI_ERROR;
  }
  uint32_t n = 0;
  for (; n < nrows && st->next < g_script.pieces.size(); ++n) {
    const Piece& p = g_script.pieces[st->next++];
    put_text(st->defs[0], n, p.lower);
    put_text(st->defs[1], n, p.upper);
    static_cast<uint32_t*>(st->defs[2].buf)[n] = p.weight;
  }
  st->row_count += n;
  return n < nrows ? OCI_NO_DATA : OCI_SUCCESS;
}

inline DbClient make_client() {
  DbClient c{};
  c.engine_name = "vendor";
  c.OCIHandleAlloc = [](const void*, void** h, uint32_t, size_t, void**) -> int32_t {
    *h = new Stmt;
    ++g_handles;
    return OCI_SUCCESS;
  };
  c.OCIHandleFree = [](void* h, uint32_t type) -> int32_t {
    // A define is a slot inside its statement and goes with it.
    if (type != OCI_HTYPE_STMT) {
      ++g_owned_frees;
      return OCI_SUCCESS;
    }
    delete static_cast<Stmt*>(h);
    --g_handles;
    return OCI_SUCCESS;
  };
  c.OCIStmtPrepare = [](void* h, void*, const unsigned char* text, uint32_t len, uint32_t,
                        uint32_t) -> int32_t {
    std::string t(reinterpret_cast<const char*>(text), len);
    g_prepared.push_back(t);
    const char kind = t == "SELECT USER FROM DUAL"                           ? 'u'
                      : t.find("GET_SYSTEM_CHANGE_NUMBER") != std::string::npos ? 's'
                      : t.find("ROWID_CREATE") != std::string::npos             ? 'p'
                      : t.rfind("SELECT ROWID FROM ", 0) == 0                   ? 'r'
                                                                                : 't';
    static_cast<Stmt*>(h)->kind = kind;
    const int fail = kind == 's' ? g_script.fail_scn : g_script.fail_prepare;
    if (fail == 0) return OCI_SUCCESS;
    g_script.error_code = fail;
    g_script.error_text = kind == 's' ? "ORA-00904: invalid identifier" : "ORA-00942: table or view does not exist";
    return OCI_ERROR;
  };
  c.OCIStmtExecute = [](void*, void*, void*, uint32_t, uint32_t, const void*, void*,
                        uint32_t) -> int32_t { return OCI_SUCCESS; };
  c.OCIDefineByPos = [](void* h, void** def, void*, uint32_t pos, void* buf, int32_t size,
                        uint16_t, void*, uint16_t* lens, uint16_t*, uint32_t) -> int32_t {
    auto* st = static_cast<Stmt*>(h);
    st->defs[pos - 1] = {buf, size, lens};
    *def = &st->defs[pos - 1];
    return OCI_SUCCESS;
  };
  c.OCIStmtFetch = fake_fetch;
  c.OCIAttrGet = [](const void* h, uint32_t, void* value, uint32_t*, uint32_t, void*) -> int32_t {
    *static_cast<uint32_t*>(value) = static_cast<const Stmt*>(h)->row_count;
    return OCI_SUCCESS;
  };
  c.OCIErrorGet = [](void*, uint32_t, unsigned char*, int32_t* code, unsigned char* buf,
                     uint32_t size, uint32_t) -> int32_t {
    *code = g_script.error_code;
    std::snprintf(reinterpret_cast<char*>(buf), size, "%s", g_script.error_text.c_str());
    return OCI_SUCCESS;
  };
  return c;
}
inline DbClient g_client = make_client();

inline std::string rowid(size_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%018zu", n);
  return text;
}

// Consecutive pieces of the given weights: piece i runs from rowid(i) to rowid(i + 1).
inline std::vector<Piece> pieces(const std::vector<uint32_t>& weights) {
  std::vector<Piece> out;
  for (size_t i = 0; i < weights.size(); ++i) out.push_back({rowid(i), rowid(i + 1), weights[i]});
  return out;
}

// A session on the scripted client that collects its messages.
struct FakeSession {
  DbSession s;
  std::vector<std::string> messages;
  FakeSession() {
    g_script = Script{};
    g_prepared.clear();
    g_piece_fetches = 0;
    g_handles = 0;
    g_owned_frees = 0;
    session_init(&s);
    s.api = &g_client;
    s.env = s.error = s.service = &s;  // never looked into
    s.user_data = this;
    s.callback = [](void* self, const char* text) {
      static_cast<FakeSession*>(self)->messages.push_back(text);
    };
  }
};

}  // namespace rvfake
