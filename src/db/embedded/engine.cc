// The embedded engine: handles, connection, session, statements, binds,
// attributes and the operation table. Fetching and LOB reads are in fetch.cc.
#include "db/embedded/engine.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "db/embedded/internal.h"
#include "platform/file_io.h"

namespace rowvane {
namespace embedded {
namespace {

// How long a connection waits for another one's lock (parallel workers and
// writers on the same file) before a statement fails with ORA-00054.
constexpr int kBusyTimeoutMs = 60000;

const char* const kDefaultDateFormat = "YYYY-MM-DD HH24:MI:SS";
const char* const kDefaultTimestampFormat = "YYYY-MM-DD HH24:MI:SSXFF";
const char* const kDefaultTimestampTzFormat = "YYYY-MM-DD HH24:MI:SSXFF TZH:TZM";

// ---------------------------------------------------------------- handles

void link(Env* env, HandleHead* h) {
  HandleHead* sentinel = &env->head;
  h->prev = sentinel;
  h->next = sentinel->next;
  sentinel->next->prev = h;
  sentinel->next = h;
}

void unlink(HandleHead* h) {
  if (h->prev) h->prev->next = h->next;
  if (h->next) h->next->prev = h->prev;
  h->prev = h->next = nullptr;
}

void init_head(HandleHead* h, uint32_t type, Env* env) {
  h->magic = kMagic;
  h->type = type;
  h->env = env;
  h->prev = h->next = nullptr;
  h->user_memory = nullptr;
}

bool give_user_memory(HandleHead* h, size_t xtramem_sz, void** usrmempp) {
  if (xtramem_sz == 0 || !usrmempp) return true;
  h->user_memory = std::calloc(1, xtramem_sz);
  if (!h->user_memory) return false;
  *usrmempp = h->user_memory;
  return true;
}

Env* env_of(const void* p) {
  auto* h = static_cast<HandleHead*>(const_cast<void*>(p));
  if (!h || h->magic != kMagic) return nullptr;
  return h->env;
}

void finalize_vm(Stmt* st) {
  drop_lob_streaming(st);
  if (st->vm) sqlite3_finalize(st->vm);
  st->vm = nullptr;
  st->vm_db = nullptr;
  st->has_row = false;
}

void close_server(Server* s) {
  if (s->db) sqlite3_close_v2(s->db);  // waits for statements still open
  s->db = nullptr;
  if (s->head.env && s->head.env->server == s) s->head.env->server = nullptr;
}

void clear_params(Stmt* st) {
  for (Param* p : st->params) {
    p->head.magic = kDeadMagic;
    delete p;
  }
  st->params.clear();
}

void delete_handle(HandleHead* h);

// Releases what a statement owns. Its defines and binds belong to it, as
// they do in the vendor's library: they are released with it, and their
// handles are invalid afterwards.
void destroy_stmt(Stmt* st) {
  finalize_vm(st);
  for (Define* d : st->defines) {
    if (!d) continue;
    d->stmt = nullptr;
    unlink(&d->head);
    delete_handle(&d->head);
  }
  for (Bind* b : st->binds) {
    if (!b) continue;
    b->stmt = nullptr;
    unlink(&b->head);
    delete_handle(&b->head);
  }
  clear_params(st);
  st->defines.clear();
  st->binds.clear();
}

void delete_handle(HandleHead* h) {
  void* user_memory = h->user_memory;
  uint32_t type = h->type;
  h->magic = kDeadMagic;
  switch (type) {
    case OCI_HTYPE_ERROR: delete reinterpret_cast<ErrorHandle*>(h); break;
    case OCI_HTYPE_SERVER: {
      auto* s = reinterpret_cast<Server*>(h);
      close_server(s);
      delete s;
      break;
    }
    case OCI_HTYPE_SVCCTX: delete reinterpret_cast<SvcCtx*>(h); break;
    case OCI_HTYPE_SESSION: delete reinterpret_cast<Session*>(h); break;
    case OCI_HTYPE_STMT: {
      auto* st = reinterpret_cast<Stmt*>(h);
      destroy_stmt(st);
      delete st;
      break;
    }
    case OCI_HTYPE_DEFINE: delete reinterpret_cast<Define*>(h); break;
    case OCI_HTYPE_BIND: delete reinterpret_cast<Bind*>(h); break;
    case OCI_DTYPE_LOB: {
      auto* l = reinterpret_cast<Lob*>(h);
      if (l->head.env && l->head.env->polling_lob == l) l->head.env->polling_lob = nullptr;
      if (l->head.env && l->head.env->stage_lob == l) l->head.env->stage_lob = nullptr;
      lob_free_data(l);
      delete l;
      break;
    }
    default: break;
  }
  std::free(user_memory);
}

void release_env(Env* env) {
  HandleHead* sentinel = &env->head;
  // Statements first, so every connection can close at once.
  for (HandleHead* h = sentinel->next; h != sentinel; h = h->next)
    if (h->type == OCI_HTYPE_STMT) destroy_stmt(reinterpret_cast<Stmt*>(h));
  while (sentinel->next != sentinel) {
    HandleHead* h = sentinel->next;
    unlink(h);
    delete_handle(h);
  }
  if (env->lob_spill) std::fclose(env->lob_spill);
  converter_close(&env->out[0]);
  converter_close(&env->out[1]);
  input_converter_close(&env->in_cd);
  void* user_memory = env->head.user_memory;
  env->head.magic = kDeadMagic;
  delete env;
  std::free(user_memory);
}

// ---------------------------------------------------------------- text helpers

bool is_blank_tail(const char* p, const char* end) {
  while (p < end) {
    if (std::isspace(static_cast<unsigned char>(*p)) || *p == ';') {
      ++p;
    } else if (p + 1 < end && p[0] == '-' && p[1] == '-') {
      while (p < end && *p != '\n') ++p;
    } else if (p + 1 < end && p[0] == '/' && p[1] == '*') {
      const char* close = p + 2;
      while (close + 1 < end && !(close[0] == '*' && close[1] == '/')) ++close;
      if (close + 1 >= end) return true;  // an open comment runs to the end
      p = close + 2;
    } else {
      return false;
    }
  }
  return true;
}

// Reads the next word (letters, digits, _ $ #) at *p, upper-cased.
std::string next_word(const char** p, const char* end) {
  while (*p < end && std::isspace(static_cast<unsigned char>(**p))) ++*p;
  std::string w;
  while (*p < end && (std::isalnum(static_cast<unsigned char>(**p)) || **p == '_' ||
                      **p == '$' || **p == '#')) {
    w.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(**p))));
    ++*p;
  }
  return w;
}

uint16_t statement_type(const std::string& text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && (std::isspace(static_cast<unsigned char>(*p)) || *p == '(')) ++p;
  std::string w = next_word(&p, end);
  if (w == "SELECT" || w == "WITH" || w == "VALUES") return 1;
  if (w == "UPDATE") return 2;
  if (w == "DELETE") return 3;
  if (w == "INSERT" || w == "REPLACE") return 4;
  if (w == "CREATE") return 5;
  if (w == "DROP") return 6;
  if (w == "ALTER") return 7;
  if (w == "BEGIN") return 8;
  return 0;
}

bool is_alter_session(const std::string& text) {
  const char* p = text.data();
  const char* end = p + text.size();
  return next_word(&p, end) == "ALTER" && next_word(&p, end) == "SESSION";
}

// BEGIN IMMEDIATE or BEGIN EXCLUSIVE: a transaction that holds the write lock.
bool is_write_lock_request(const std::string& text) {
  const char* p = text.data();
  const char* end = p + text.size();
  if (next_word(&p, end) != "BEGIN") return false;
  const std::string kind = next_word(&p, end);
  return kind == "IMMEDIATE" || kind == "EXCLUSIVE";
}

// ALTER SESSION: the three date formats take effect; the tuning parameters
// a job issues are accepted and ignored (they have no meaning for SQLite);
// anything else is refused as the vendor refuses an unknown option.
int32_t alter_session(Env* env, void* err, const std::string& text) {
  const char* p = text.data();
  const char* end = p + text.size();
  next_word(&p, end);  // ALTER
  next_word(&p, end);  // SESSION
  if (next_word(&p, end) != "SET") return set_error(err, 2248);
  static const char* const kIgnored[] = {
      "DB_FILE_MULTIBLOCK_READ_COUNT", "WORKAREA_SIZE_POLICY", "HASH_AREA_SIZE",
      "_HASH_MULTIBLOCK_IO_COUNT",     "_SERIAL_DIRECT_READ",  "SORT_AREA_SIZE",
      "SORT_AREA_RETAINED_SIZE",       "_SORT_MULTIBLOCK_READ_COUNT", "EVENTS"};
  NlsFormat formats[3];
  bool set_format[3] = {false, false, false};
  int pairs = 0;
  for (;;) {
    while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (is_blank_tail(p, end)) break;
    std::string name;
    if (*p == '"') {
      ++p;
      while (p < end && *p != '"')
        name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p++))));
      if (p >= end) return set_error(err, 2248);
      ++p;
    } else {
      name = next_word(&p, end);
    }
    if (name.empty()) return set_error(err, 2248);
    while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (p >= end || *p != '=') return set_error(err, 2248);
    ++p;
    while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
    std::string value;
    if (p < end && *p == '\'') {
      ++p;
      for (;;) {
        if (p >= end) return set_error(err, 2248);
        if (*p == '\'') {
          if (p + 1 < end && p[1] == '\'') {
            value.push_back('\'');
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        value.push_back(*p++);
      }
    } else {
      while (p < end && !std::isspace(static_cast<unsigned char>(*p)) && *p != ';')
        value.push_back(*p++);
    }
    if (value.empty()) return set_error(err, 2248);
    int which = name == "NLS_DATE_FORMAT"          ? 0
                : name == "NLS_TIMESTAMP_FORMAT"    ? 1
                : name == "NLS_TIMESTAMP_TZ_FORMAT" ? 2
                                                    : -1;
    if (which >= 0) {
      if (!compile_format(value.data(), value.size(), &formats[which]))
        return set_error(err, 1821, value.c_str());
      set_format[which] = true;
    } else {
      bool known = false;
      for (const char* k : kIgnored) known = known || name == k;
      if (!known) return set_error(err, 2248, name.c_str());
    }
    ++pairs;
  }
  if (pairs == 0) return set_error(err, 2248);
  if (set_format[0]) env->date_format = formats[0];
  if (set_format[1]) env->timestamp_format = formats[1];
  if (set_format[2]) env->timestamp_tz_format = formats[2];
  return OCI_SUCCESS;
}

// ---------------------------------------------------------------- binds

Bind* find_bind(Stmt* st, const char* param_name) {
  if (!param_name) return nullptr;
  const char* n = param_name;
  if (*n == ':' || *n == '@' || *n == '$' || *n == '?') ++n;
  for (Bind* b : st->binds)
    if (b && strcasecmp(b->name.c_str(), n) == 0) return b;
  return nullptr;
}

}  // namespace

int32_t apply_binds(Stmt* st, sqlite3_stmt* vm, void* err) {
  int count = sqlite3_bind_parameter_count(vm);
  std::string utf8;
  for (int i = 1; i <= count; ++i) {
    const char* pname = sqlite3_bind_parameter_name(vm, i);
    std::string positional;
    if (!pname) {
      positional = std::to_string(i);
      pname = positional.c_str();
    }
    Bind* b = find_bind(st, pname);
    if (!b) return set_error(err, 1008, pname);
    int rc = SQLITE_OK;
    if ((b->indicator && *b->indicator == -1) || !b->value) {
      rc = sqlite3_bind_null(vm, i);
    } else {
      size_t len = b->alen ? *b->alen : static_cast<size_t>(b->value_sz < 0 ? 0 : b->value_sz);
      const char* v = static_cast<const char*>(b->value);
      switch (b->dty) {
        case SQLT_STR:
          len = strnlen(v, len);
          [[fallthrough]];
        case SQLT_CHR:
        case SQLT_AFC:
          to_utf8(b->head.env->in_cd, v, len, &utf8);
          rc = sqlite3_bind_text(vm, i, utf8.data(), static_cast<int>(utf8.size()),
                                 SQLITE_TRANSIENT);
          break;
        case SQLT_BIN:
          rc = sqlite3_bind_blob(vm, i, v, static_cast<int>(len), SQLITE_TRANSIENT);
          break;
        case SQLT_INT:
        case SQLT_UIN: {
          int64_t iv = 0;
          if (len == 1) iv = b->dty == SQLT_INT ? *reinterpret_cast<const int8_t*>(v)
                                                : *reinterpret_cast<const uint8_t*>(v);
          else if (len == 2) {
            int16_t s16; uint16_t u16;
            std::memcpy(&s16, v, 2); std::memcpy(&u16, v, 2);
            iv = b->dty == SQLT_INT ? s16 : u16;
          } else if (len == 4) {
            int32_t s32; uint32_t u32;
            std::memcpy(&s32, v, 4); std::memcpy(&u32, v, 4);
            iv = b->dty == SQLT_INT ? s32 : static_cast<int64_t>(u32);
          } else if (len == 8) {
            std::memcpy(&iv, v, 8);
          } else {
            return set_error(err, 932, b->name.c_str());
          }
          rc = sqlite3_bind_int64(vm, i, iv);
          break;
        }
        default: return set_error(err, 932, b->name.c_str());
      }
    }
    if (rc != SQLITE_OK) return set_sqlite_error(err, sqlite3_db_handle(vm), rc, nullptr);
  }
  return OCI_SUCCESS;
}

namespace {

// ---------------------------------------------------------------- execute

// Builds the parameter descriptors of an executed query.
void describe_query(Stmt* st) {
  int n = sqlite3_column_count(st->vm);
  for (size_t i = static_cast<size_t>(n); i < st->params.size(); ++i) {
    st->params[i]->head.magic = kDeadMagic;
    delete st->params[i];
  }
  st->params.resize(static_cast<size_t>(n), nullptr);
  Env* env = st->head.env;
  for (int i = 0; i < n; ++i) {
    Param*& p = st->params[static_cast<size_t>(i)];
    if (!p) {
      p = new (std::nothrow) Param();
      if (!p) continue;
      init_head(&p->head, OCI_DTYPE_PARAM, env);
      p->stmt = st;
    }
    const char* column = sqlite3_column_name(st->vm, i);
    if (!column) column = "";
    int first = st->has_row ? sqlite3_column_type(row_vm(st), i) : SQLITE_NULL;
    describe_column(p, sqlite3_column_decltype(st->vm, i), column, first);
    // Names read as the vendor reports them: an identifier the statement
    // does not quote is folded to upper case.
    std::string folded = column;
    if (st->text.find("\"" + folded + "\"") == std::string::npos)
      for (char& ch : folded)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    const char* name = folded.c_str();
    // The name is delivered in the client's character set.
    size_t len = folded.size();
    if (env->out[0].kind == TargetKind::kUtf8) {
      p->name.assign(name, len);
    } else {
      p->name.resize(len * 4 + 8);
      size_t full = 0;
      size_t w = convert_text(&env->out[0], reinterpret_cast<const unsigned char*>(name), len,
                              reinterpret_cast<unsigned char*>(&p->name[0]), p->name.size(),
                              &full);
      p->name.resize(w);
    }
  }
  if (st->defines.size() < static_cast<size_t>(n)) st->defines.resize(static_cast<size_t>(n));
  for (Define* d : st->defines)
    if (d) d->plan_ready = false;
}

int32_t execute_query(Stmt* st, sqlite3* db, void* err) {
  st->state = StmtState::kPrepared;  // until this execute succeeds
  st->has_row = false;
  if (!st->vm) {
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v3(db, st->text.data(), static_cast<int>(st->text.size()),
                                SQLITE_PREPARE_PERSISTENT, &st->vm, &tail);
    if (rc != SQLITE_OK) {
      finalize_vm(st);
      return set_sqlite_error(err, db, rc, st->text.c_str());
    }
    if (!st->vm) return set_error(err, 900);
    if (tail && !is_blank_tail(tail, st->text.data() + st->text.size())) {
      finalize_vm(st);
      return set_error(err, 933, "text after the end of the statement");
    }
    st->vm_db = db;
  } else {
    drop_lob_streaming(st);  // planned anew below
    sqlite3_reset(st->vm);
    sqlite3_clear_bindings(st->vm);
  }
  st->has_row = false;
  st->row_count = 0;
  st->rows_fetched = 0;
  int32_t r = apply_binds(st, st->vm, err);
  if (r != OCI_SUCCESS) return r;
  if (sqlite3_column_count(st->vm) == 0) {
    int rc;
    while ((rc = sqlite3_step(st->vm)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
      int32_t e = set_sqlite_error(err, db, rc, st->text.c_str());
      sqlite3_reset(st->vm);
      return e;
    }
    st->row_count = static_cast<uint32_t>(sqlite3_changes(db));
    sqlite3_reset(st->vm);
    describe_query(st);
    st->state = StmtState::kExecuted;
    return OCI_SUCCESS;
  }
  r = plan_lob_streaming(st, db, err);
  if (r != OCI_SUCCESS) return r;
  // The first row is stepped now: run-time errors surface at execute, and
  // columns without a declared type are described by its values.
  int rc = sqlite3_step(row_vm(st));
  if (rc == SQLITE_ROW) {
    st->has_row = true;
    st->state = StmtState::kQueryOpen;
  } else if (rc == SQLITE_DONE) {
    st->state = StmtState::kQueryDone;
  } else {
    int32_t e = set_sqlite_error(err, db, rc, st->text.c_str());
    sqlite3_reset(row_vm(st));
    st->state = StmtState::kPrepared;
    return e;
  }
  describe_query(st);
  return OCI_SUCCESS;
}

// Runs every statement of the text to completion (set-up statements).
int32_t execute_all(Stmt* st, sqlite3* db, void* err) {
  finalize_vm(st);
  clear_params(st);
  st->state = StmtState::kPrepared;
  const char* p = st->text.data();
  const char* end = p + st->text.size();
  bool any = false;
  uint32_t changes = 0;
  while (p < end) {
    sqlite3_stmt* vm = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db, p, static_cast<int>(end - p), &vm, &tail);
    if (rc != SQLITE_OK) return set_sqlite_error(err, db, rc, p);
    if (!vm) break;
    any = true;
    int32_t r = apply_binds(st, vm, err);
    if (r != OCI_SUCCESS) {
      sqlite3_finalize(vm);
      return r;
    }
    while ((rc = sqlite3_step(vm)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
      int32_t e = set_sqlite_error(err, db, rc, p);
      sqlite3_finalize(vm);
      return e;
    }
    changes = static_cast<uint32_t>(sqlite3_changes(db));
    sqlite3_finalize(vm);
    p = tail ? tail : end;
  }
  if (!any) return set_error(err, 900);
  st->row_count = changes;
  st->state = StmtState::kExecuted;
  return OCI_SUCCESS;
}

// ---------------------------------------------------------------- operations

int32_t env_nls_create(void** envp, uint32_t mode, void*, OciMallocFn, OciReallocFn, OciFreeFn,
                       size_t xtramem_sz, void** usrmempp, uint16_t charset, uint16_t ncharset) {
  if (!envp) return OCI_INVALID_HANDLE;
  *envp = nullptr;
  Env* env = new (std::nothrow) Env();
  if (!env) return OCI_ERROR;
  init_head(&env->head, OCI_HTYPE_ENV, env);
  env->head.prev = env->head.next = &env->head;
  if (ncharset == 0) ncharset = charset;
  env->charset_id = charset;
  env->ncharset_id = ncharset;
  env->mode = mode;
  bool ok = converter_open(&env->out[0], charset) && converter_open(&env->out[1], ncharset) &&
            input_converter_open(&env->in_cd, charset) &&
            give_user_memory(&env->head, xtramem_sz, usrmempp);
  compile_format(kDefaultDateFormat, std::strlen(kDefaultDateFormat), &env->date_format);
  compile_format(kDefaultTimestampFormat, std::strlen(kDefaultTimestampFormat),
                 &env->timestamp_format);
  compile_format(kDefaultTimestampTzFormat, std::strlen(kDefaultTimestampTzFormat),
                 &env->timestamp_tz_format);
  if (!ok) {
    release_env(env);
    return OCI_ERROR;
  }
  *envp = env;
  return OCI_SUCCESS;
}

int32_t handle_alloc(const void* parenth, void** hndlpp, uint32_t type, size_t xtramem_sz,
                     void** usrmempp) {
  Env* env = env_of(parenth);
  if (!env || !hndlpp) return OCI_INVALID_HANDLE;
  *hndlpp = nullptr;
  HandleHead* h = nullptr;
  switch (type) {
    case OCI_HTYPE_ERROR: {
      auto* e = new (std::nothrow) ErrorHandle();
      if (e) h = &e->head;
      break;
    }
    case OCI_HTYPE_SERVER: {
      auto* s = new (std::nothrow) Server();
      if (s) h = &s->head;
      break;
    }
    case OCI_HTYPE_SVCCTX: {
      auto* s = new (std::nothrow) SvcCtx();
      if (s) h = &s->head;
      break;
    }
    case OCI_HTYPE_SESSION: {
      auto* s = new (std::nothrow) Session();
      if (s) h = &s->head;
      break;
    }
    case OCI_HTYPE_STMT: {
      auto* s = new (std::nothrow) Stmt();
      if (s) h = &s->head;
      break;
    }
    default: return OCI_INVALID_HANDLE;
  }
  if (!h) return OCI_ERROR;
  init_head(h, type, env);
  if (!give_user_memory(h, xtramem_sz, usrmempp)) {
    delete_handle(h);
    return OCI_ERROR;
  }
  link(env, h);
  *hndlpp = h;
  return OCI_SUCCESS;
}

int32_t descriptor_alloc(const void* parenth, void** descpp, uint32_t type, size_t xtramem_sz,
                         void** usrmempp) {
  Env* env = env_of(parenth);
  if (!env || !descpp) return OCI_INVALID_HANDLE;
  *descpp = nullptr;
  if (type != OCI_DTYPE_LOB) return OCI_INVALID_HANDLE;
  auto* l = new (std::nothrow) Lob();
  if (!l) return OCI_ERROR;
  init_head(&l->head, type, env);
  if (!give_user_memory(&l->head, xtramem_sz, usrmempp)) {
    delete_handle(&l->head);
    return OCI_ERROR;
  }
  link(env, &l->head);
  *descpp = l;
  return OCI_SUCCESS;
}

int32_t handle_free(void* hndlp, uint32_t type) {
  auto* h = static_cast<HandleHead*>(hndlp);
  if (!h || h->magic != kMagic || h->type != type) return OCI_INVALID_HANDLE;
  observe_call(h->env, "OCIHandleFree", type, 0);
  switch (type) {
    case OCI_HTYPE_ENV: release_env(reinterpret_cast<Env*>(h)); return OCI_SUCCESS;
    case OCI_DTYPE_PARAM: return OCI_SUCCESS;  // belongs to its statement
    case OCI_HTYPE_DEFINE: release_define(reinterpret_cast<Define*>(h)); break;
    case OCI_HTYPE_BIND: {
      auto* b = reinterpret_cast<Bind*>(h);
      if (b->stmt)
        for (Bind*& slot : b->stmt->binds)
          if (slot == b) slot = nullptr;
      break;
    }
    default: break;
  }
  unlink(h);
  delete_handle(h);
  return OCI_SUCCESS;
}

int32_t server_attach(void* srvhp, void* errhp, const unsigned char* dblink, int32_t dblink_len,
                      uint32_t) {
  Server* s = as_handle<Server>(srvhp, OCI_HTYPE_SERVER);
  if (!s) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  if (s->db) close_server(s);
  const char* link = dblink ? reinterpret_cast<const char*>(dblink) : "";
  size_t len = dblink_len < 0 ? std::strlen(link) : static_cast<size_t>(dblink_len);
  Env* env = s->head.env;
  std::string utf8_path;
  to_utf8(env->in_cd, link, len, &utf8_path);
  if (utf8_path.empty()) return set_error(errhp, 12154, "no database file named");
  // SQLite's own words for these ("unable to open database file") do not
  // say what to do about them.
  const FileKind kind = file_identity(utf8_path.c_str()).kind;
  if (kind == FileKind::kMissing || kind == FileKind::kFolder) {
    std::string detail = utf8_path +
                         (kind == FileKind::kMissing ? ": the file does not exist"
                                                     : ": this is a folder, not a database file") +
                         ", and the embedded engine never creates one";
    return set_error(errhp, 12154, detail.c_str());
  }
  sqlite3* db = nullptr;
  // Read-write, never created: a missing file is a failed login.
  int rc = sqlite3_open_v2(utf8_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Opening is lazy: read the schema now so a file that is no database
    // fails here, at login, rather than at the first statement.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    std::string detail = utf8_path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (db) sqlite3_close_v2(db);
    return set_error(errhp, 12154, detail.c_str());
  }
  s->db = db;
  s->path = utf8_path;
  env->server = s;
  return OCI_SUCCESS;
}

int32_t server_detach(void* srvhp, void* errhp, uint32_t) {
  Server* s = as_handle<Server>(srvhp, OCI_HTYPE_SERVER);
  if (!s) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  if (!s->db) return set_error(errhp, 3114);
  // Statements still open keep their compiled form until freed; the
  // connection closes when the last of them is finalized.
  close_server(s);
  return OCI_SUCCESS;
}

int32_t attr_set(void* trgthndlp, uint32_t trghndltyp, void* attributep, uint32_t size,
                 uint32_t attrtype, void* errhp) {
  auto* h = static_cast<HandleHead*>(trgthndlp);
  if (!h || h->magic != kMagic || h->type != trghndltyp) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  switch (trghndltyp) {
    case OCI_HTYPE_ENV:
      if (attrtype == kAttrEngineObserver && attributep) {
        Env* env = reinterpret_cast<Env*>(h);
        env->observer = *static_cast<const EngineObserver*>(attributep);
        observe_call(env, "OCIEnvNlsCreate", env->mode, 0);
        return OCI_SUCCESS;
      }
      break;
    case OCI_HTYPE_SVCCTX: {
      auto* svc = reinterpret_cast<SvcCtx*>(h);
      if (attrtype == OCI_ATTR_SERVER) {
        svc->server = as_handle<Server>(attributep, OCI_HTYPE_SERVER);
        return svc->server || !attributep ? OCI_SUCCESS : OCI_INVALID_HANDLE;
      }
      if (attrtype == OCI_ATTR_SESSION) {
        svc->session = as_handle<Session>(attributep, OCI_HTYPE_SESSION);
        return svc->session || !attributep ? OCI_SUCCESS : OCI_INVALID_HANDLE;
      }
      break;
    }
    case OCI_HTYPE_SESSION: {
      auto* s = reinterpret_cast<Session*>(h);
      const char* text = static_cast<const char*>(attributep);
      std::string value = text ? std::string(text, size) : std::string();
      if (attrtype == OCI_ATTR_USERNAME) {
        to_utf8(h->env->in_cd, value.data(), value.size(), &s->user);
        return OCI_SUCCESS;
      }
      if (attrtype == OCI_ATTR_PASSWORD) {
        s->password = value;
        return OCI_SUCCESS;
      }
      break;
    }
    case OCI_HTYPE_STMT:
      if (attrtype == kAttrPrefetchRows || attrtype == kAttrPrefetchMemory) return OCI_SUCCESS;
      break;
    default: break;
  }
  return set_error(errhp, 24315);
}

// The name USER reports: upper case unless the login gave it in double
// quotes; MAIN (SQLite's name for the database) without a user.
std::string user_name_of(const std::string& login) {
  if (login.size() >= 2 && login.front() == '"' && login.back() == '"')
    return login.substr(1, login.size() - 2);
  if (login.empty()) return "MAIN";
  std::string u = login;
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

int32_t session_begin(void* svchp, void* errhp, void* usrhp, uint32_t credt, uint32_t) {
  SvcCtx* svc = as_handle<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
  Session* ses = as_handle<Session>(usrhp, OCI_HTYPE_SESSION);
  if (!svc || !ses) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  Server* srv = svc->server;
  if (!srv || !srv->db) return set_error(errhp, 3114);
  // User and password are not checked: the file's permissions protect it.
  Env* env = ses->head.env;
  (void)credt;
  env->user = user_name_of(ses->user);
  // DUAL, unless the database has an object of that name itself.
  sqlite3_stmt* q = nullptr;
  bool own_dual = false;
  if (sqlite3_prepare_v2(srv->db, "SELECT 1 FROM main.sqlite_master WHERE lower(name)='dual'",
                         -1, &q, nullptr) == SQLITE_OK) {
    own_dual = sqlite3_step(q) == SQLITE_ROW;
    sqlite3_finalize(q);
  }
  if (!own_dual) {
    std::string quoted;
    for (char c : env->user) {
      if (c == '\'') quoted.push_back('\'');
      quoted.push_back(c);
    }
    std::string sql = "DROP VIEW IF EXISTS temp.dual; CREATE TEMP VIEW dual AS SELECT 'X' AS "
                      "DUMMY, '" + quoted + "' AS \"USER\"";
    int rc = sqlite3_exec(srv->db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return set_sqlite_error(errhp, srv->db, rc, nullptr);
  }
  ses->begun = true;
  return OCI_SUCCESS;
}

int32_t session_end(void* svchp, void* errhp, void* usrhp, uint32_t) {
  SvcCtx* svc = as_handle<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
  Session* ses = usrhp ? as_handle<Session>(usrhp, OCI_HTYPE_SESSION)
                       : (svc ? svc->session : nullptr);
  if (!svc || !ses) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  ses->begun = false;
  return OCI_SUCCESS;
}

int32_t stmt_prepare(void* stmtp, void* errhp, const unsigned char* text, uint32_t len,
                     uint32_t, uint32_t) {
  Stmt* st = as_handle<Stmt>(stmtp, OCI_HTYPE_STMT);
  if (!st) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  if (!text) return set_error(errhp, 900);
  const EngineObserver& obs = st->head.env->observer;
  if (obs.statement) obs.statement(obs.user_data, reinterpret_cast<const char*>(text), len);
  finalize_vm(st);
  clear_params(st);
  to_utf8(st->head.env->in_cd, reinterpret_cast<const char*>(text), len, &st->text);
  st->prepared = true;
  st->state = StmtState::kPrepared;
  st->stmt_type = statement_type(st->text);
  st->row_count = 0;
  st->rows_fetched = 0;
  return OCI_SUCCESS;
}

int32_t stmt_execute(void* svchp, void* stmtp, void* errhp, uint32_t iters, uint32_t,
                     const void*, void*, uint32_t) {
  Stmt* st = as_handle<Stmt>(stmtp, OCI_HTYPE_STMT);
  if (!st) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  if (!st->prepared) return set_error(errhp, 24338);
  Env* env = st->head.env;
  if (env->polling_lob) return set_error(errhp, 3127);
  Server* srv = env->server;
  if (SvcCtx* svc = as_handle<SvcCtx>(svchp, OCI_HTYPE_SVCCTX))
    if (svc->server && svc->server->db) srv = svc->server;
  if (!srv || !srv->db) return set_error(errhp, 3114);
  st->row_count = 0;
  st->rows_fetched = 0;
  // On a connection that could open the file for reading only, SQLite
  // takes a read lock for BEGIN IMMEDIATE: a writer would get in, and its
  // commit would then hold back every new reader. It is refused instead.
  if (is_write_lock_request(st->text) && sqlite3_db_readonly(srv->db, "main") == 1) {
    return set_error(errhp, 16000, "the file is open for reading only: its write lock cannot be held");
  }
  if (is_alter_session(st->text)) {
    finalize_vm(st);
    clear_params(st);
    st->state = StmtState::kExecuted;
    return alter_session(env, errhp, st->text);
  }
  if (st->vm && st->vm_db != srv->db) finalize_vm(st);
  return iters == 0 ? execute_query(st, srv->db, errhp) : execute_all(st, srv->db, errhp);
}

int32_t bind_by_name(void* stmtp, void** bindp, void* errhp, const unsigned char* placeholder,
                     int32_t placeh_len, void* valuep, int32_t value_sz, uint16_t dty,
                     void* indp, uint16_t* alenp, uint16_t*, uint32_t, uint32_t*, uint32_t) {
  Stmt* st = as_handle<Stmt>(stmtp, OCI_HTYPE_STMT);
  if (!st || !bindp) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  if (!placeholder || placeh_len <= 0) return set_error(errhp, 1036);
  std::string name(reinterpret_cast<const char*>(placeholder), static_cast<size_t>(placeh_len));
  if (!name.empty() && name[0] == ':') name.erase(0, 1);
  if (name.empty()) return set_error(errhp, 1036);
  // Binding a name again replaces the earlier bind of that name.
  Bind* b = nullptr;
  for (Bind* existing : st->binds)
    if (existing && strcasecmp(existing->name.c_str(), name.c_str()) == 0) b = existing;
  if (!b) {
    b = new (std::nothrow) Bind();
    if (!b) return set_error(errhp, 4030);
    init_head(&b->head, OCI_HTYPE_BIND, st->head.env);
    link(st->head.env, &b->head);
    b->stmt = st;
    b->name = name;
    st->binds.push_back(b);
  }
  b->value = valuep;
  b->value_sz = value_sz;
  b->dty = dty;
  b->indicator = static_cast<int16_t*>(indp);
  b->alen = alenp;
  *bindp = b;
  return OCI_SUCCESS;
}

int32_t param_get(const void* hndlp, uint32_t htype, void* errhp, void** parmdpp, uint32_t pos) {
  Stmt* st = as_handle<Stmt>(hndlp, OCI_HTYPE_STMT);
  if (!st || htype != OCI_HTYPE_STMT || !parmdpp) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  if (st->state == StmtState::kPrepared) return set_error(errhp, 24338);
  if (pos < 1 || pos > st->params.size() || !st->params[pos - 1])
    return set_error(errhp, 24334);
  *parmdpp = st->params[pos - 1];
  return OCI_SUCCESS;
}

int32_t attr_get(const void* trgthndlp, uint32_t trghndltyp, void* attributep, uint32_t* sizep,
                 uint32_t attrtype, void* errhp) {
  auto* h = static_cast<HandleHead*>(const_cast<void*>(trgthndlp));
  if (!h || h->magic != kMagic || h->type != trghndltyp || !attributep)
    return OCI_INVALID_HANDLE;
  clear_error(errhp);
  auto put16 = [&](uint16_t v) { std::memcpy(attributep, &v, 2); };
  auto put32 = [&](uint32_t v) { std::memcpy(attributep, &v, 4); };
  switch (trghndltyp) {
    case OCI_HTYPE_STMT: {
      auto* st = reinterpret_cast<Stmt*>(h);
      switch (attrtype) {
        case OCI_ATTR_PARAM_COUNT: put32(static_cast<uint32_t>(st->params.size())); return 0;
        case OCI_ATTR_ROW_COUNT: put32(st->row_count); return 0;
        case kAttrRowsFetched: put32(st->rows_fetched); return 0;
        case kAttrStmtType: put16(st->stmt_type); return 0;
        default: break;
      }
      break;
    }
    case OCI_DTYPE_PARAM: {
      auto* p = reinterpret_cast<Param*>(h);
      switch (attrtype) {
        case OCI_ATTR_DATA_TYPE: put16(p->data_type); return 0;
        case OCI_ATTR_DATA_SIZE: put16(p->data_size); return 0;
        case OCI_ATTR_PRECISION: {
          int16_t v = p->precision;
          std::memcpy(attributep, &v, 2);
          return 0;
        }
        case OCI_ATTR_SCALE: {
          int8_t v = p->scale;
          std::memcpy(attributep, &v, 1);
          return 0;
        }
        case OCI_ATTR_CHARSET_FORM: {
          uint8_t v = p->charset_form;
          std::memcpy(attributep, &v, 1);
          return 0;
        }
        case OCI_ATTR_NAME: {
          const char* name = p->name.c_str();
          std::memcpy(attributep, &name, sizeof name);
          if (sizep) *sizep = static_cast<uint32_t>(p->name.size());
          return 0;
        }
        default: break;
      }
      break;
    }
    case OCI_HTYPE_ENV: {
      auto* env = reinterpret_cast<Env*>(h);
      // Id 0 at creation means the default, which is UTF-8 here (AL32UTF8).
      if (attrtype == OCI_ATTR_ENV_CHARSET_ID) { put16(env->charset_id ? env->charset_id : 873); return 0; }
      if (attrtype == kAttrNcharsetId) { put16(env->ncharset_id); return 0; }
      break;
    }
    case OCI_HTYPE_SVCCTX: {
      auto* svc = reinterpret_cast<SvcCtx*>(h);
      void* v = attrtype == OCI_ATTR_SERVER ? static_cast<void*>(svc->server)
              : attrtype == OCI_ATTR_SESSION ? static_cast<void*>(svc->session) : nullptr;
      if (attrtype == OCI_ATTR_SERVER || attrtype == OCI_ATTR_SESSION) {
        std::memcpy(attributep, &v, sizeof v);
        return 0;
      }
      break;
    }
    default: break;
  }
  return set_error(errhp, 24315);
}

int32_t error_get_op(void* hndlp, uint32_t recordno, unsigned char*, int32_t* errcodep,
                     unsigned char* bufp, uint32_t bufsiz, uint32_t type) {
  return error_get(hndlp, recordno, errcodep, bufp, bufsiz, type);
}

uint16_t charset_name_to_id(void*, const unsigned char* name) {
  return charset_id_by_name(reinterpret_cast<const char*>(name));
}

}  // namespace

void observe_call(const Env* env, const char* operation, uint32_t kind, int64_t value) {
  const EngineObserver& obs = env->observer;
  if (obs.call) obs.call(obs.user_data, operation, kind, value);
}

}  // namespace embedded

const DbClient* embedded_client() {
  using namespace embedded;
  static const DbClient client = {
      "embedded",     env_nls_create, handle_alloc,  handle_free,   server_attach,
      attr_set,       session_begin,  session_end,   server_detach, stmt_prepare,
      stmt_execute,   bind_by_name,   param_get,     attr_get,      define_by_pos,
      descriptor_alloc, stmt_fetch,   error_get_op,  lob_open,      lob_read,
      lob_close,      charset_name_to_id,
  };
  return &client;
}

}  // namespace rowvane
