// A strict stand-in for the vendor's client library: the 21 operations under
// the vendor's names and C argument lists, answered by the embedded engine,
// and stricter than that engine wherever the vendor's documentation asks
// more of the caller. A misuse writes one line naming it to standard error
// and aborts, so a call sequence that a real library would turn into a
// crash or a silently cut value fails loudly in the tests.
//
// The connect text names the SQLite file. Loaded through the vendor loader
// (ROWVANE_OCI_LIBRARY), the program takes it for the vendor's library and
// sends it the vendor's wording of every statement; the data dictionary
// views, functions and ROWIDs that wording needs are made here.
//
// Enforced:
//  - handles: every handle and descriptor is a record of this library;
//    using one after it was freed, freeing one twice, freeing a bind or
//    define handle at all (they belong to their statement and go with it),
//    or passing a handle as another type aborts.
//  - threads: while environments are in use on more than one thread, each of
//    them must have been created with OCI_THREADED.
//  - LOB defines pass sizeof(OCILobLocator*) as their element size.
//  - OCILobRead: offsets and input amounts count characters for CLOBs;
//    the amount returned counts bytes with a varying-width client set
//    (AL32UTF8, UTF8, ZHS16GBK and the other double-byte sets), characters
//    with UTF-16; a piece holds whole characters only; a read that leaves
//    data unread returns OCI_NEED_DATA and must be continued (offset
//    ignored) until OCI_SUCCESS; until then every other call on the
//    connection fails with ORA-03127.
//  - flashback: "DBMS_FLASHBACK.GET_SYSTEM_CHANGE_NUMBER" reads the constant
//    kCurrentScn; "BEGIN DBMS_FLASHBACK.ENABLE_AT_SYSTEM_CHANGE_NUMBER(n);
//    END;" puts the connection in flashback mode (n above kCurrentScn:
//    ORA-08181; already in it: ORA-08184) and "BEGIN DBMS_FLASHBACK.DISABLE;
//    END;" takes it out; while in it, any statement but a query fails with
//    ORA-08182. Reads are not moved back in time: each connection reads the
//    file as it is. ROWVANE_STAND_IN_FLASHBACK=none refuses every call as a
//    user without EXECUTE on the package (ORA-00904, ORA-06550), =old the
//    enabling call as undo that no longer reaches the number (ORA-01555).
//  - OCISessionBegin answers OCI_SUCCESS_WITH_INFO with ORA-28002 for a user
//    whose name begins with EXPIRING, or for every login while
//    ROWVANE_STAND_IN_PASSWORD_EXPIRY holds a number of days.
#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "db/client.h"
#include "db/embedded/engine.h"

using namespace rowvane;

namespace {

constexpr int32_t kNeedData = 99;
constexpr uint32_t kThreaded = 0x1;
constexpr uint32_t kLive = 0x4c495645;
constexpr uint32_t kFreed = 0x46524545;
constexpr size_t kQuarantine = 1 << 16;  // freed records kept to recognise late uses

const DbClient& engine() { return *embedded_client(); }

[[noreturn]] void die(const char* format, ...) __attribute__((format(printf, 1, 2)));
void die(const char* format, ...) {
  char line[700];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(stderr, "stand-in client library: misuse: %s\n", line);
  std::fflush(stderr);
  std::abort();
}

const char* type_name(uint32_t type) {
  switch (type) {
    case OCI_HTYPE_ENV: return "environment";
    case OCI_HTYPE_ERROR: return "error";
    case OCI_HTYPE_SVCCTX: return "service context";
    case OCI_HTYPE_STMT: return "statement";
    case OCI_HTYPE_BIND: return "bind";
    case OCI_HTYPE_DEFINE: return "define";
    case OCI_HTYPE_SERVER: return "server";
    case OCI_HTYPE_SESSION: return "session";
    case OCI_DTYPE_LOB: return "LOB locator";
    case OCI_DTYPE_PARAM: return "parameter";
    default: return "unknown";
  }
}

// How a CLOB's characters are counted in the client set.
enum class Width : uint8_t { kBytes, kUtf8, kDoubleByte, kUtf16 };

Width width_of(uint16_t charset_id) {
  switch (charset_id) {
    case 0: case 871: case 873: return Width::kUtf8;  // 0: the engine delivers UTF-8
    case 852: case 840: case 846: case 865: case 867: case 868: return Width::kDoubleByte;
    case 1000: case 2000: case 2002: return Width::kUtf16;
    default: return Width::kBytes;
  }
}

size_t char_bytes(Width w, const unsigned char* p, size_t left) {
  size_t n = 1;
  if (w == Width::kUtf16) n = 2;
  else if (w == Width::kDoubleByte) n = *p >= 0x81 && *p <= 0xfe ? 2 : 1;
  else if (w == Width::kUtf8) n = *p >= 0xf0 ? 4 : *p >= 0xe0 ? 3 : *p >= 0xc0 ? 2 : 1;
  return n < left ? n : left;
}

// Byte position `chars` characters after `from` (the end at most).
size_t advance(const std::string& v, size_t from, size_t chars, Width w) {
  const auto* p = reinterpret_cast<const unsigned char*>(v.data());
  while (chars-- > 0 && from < v.size()) from += char_bytes(w, p + from, v.size() - from);
  return from;
}

struct Env;
struct Stmt;

struct Handle {
  virtual ~Handle() = default;
  uint32_t magic = kLive;
  uint32_t type = 0;
  void* inner = nullptr;  // the engine's handle
  Env* env = nullptr;
  Stmt* stmt = nullptr;   // bind, define, parameter: the statement owning it
  // Error handle: a record of this library's own, read before the engine's.
  int32_t own_code = 0;
  std::string own_text;
  // Define.
  void* user_buffer = nullptr;
  uint32_t position = 0;
  uint16_t dty = 0;  // also the LOB type a locator was last filled as
  void* indp = nullptr;
  uint16_t* rlenp = nullptr;
  uint16_t* rcodep = nullptr;
  std::vector<void*> shadow;  // the engine's locators for a LOB define
  // Bind.
  std::string name;
  void* value = nullptr;
  int32_t value_sz = 0;
  uint16_t* alenp = nullptr;
  bool rowid_bound = false;  // bound to `rowid_text` instead of value
  char rowid_text[19] = {};
  // Session: the user name given.
  std::string user;
};

enum class Flashback : uint8_t { kNone, kGet, kEnable, kDisable };
constexpr uint64_t kCurrentScn = 8372610031415;  // above 2^32, as on a busy server

struct Stmt : Handle {
  std::vector<Handle*> binds, defines, params;
  bool names_rowid = false;  // the statement text mentions ROWID
  std::string text;                        // as the program gave it
  Flashback flashback = Flashback::kNone;  // the package call the text makes
  uint64_t scn = 0;                        // the number kEnable asks for
};

struct Env : Handle {
  bool threaded = false;
  bool flashback = false;  // its connection is in flashback mode
  uint16_t charset = 0, ncharset = 0;
  std::atomic<uint64_t> thread{0};  // the thread that used it last
  std::vector<Handle*> owned;       // every handle made from it
  // The polling read in progress on its connection.
  Handle* poll_lob = nullptr;
  std::string poll_data;
  size_t poll_pos = 0, poll_end = 0;
  Width poll_width = Width::kBytes;
};

// The registries live as long as the process (never destroyed, so that
// the records they hold stay reachable to the end, exit included).
std::mutex& g_mutex = *new std::mutex;
std::vector<Env*>& g_envs = *new std::vector<Env*>;          // live environments
std::deque<Handle*>& g_quarantine = *new std::deque<Handle*>;  // freed records, oldest first

uint64_t this_thread() {
  static std::atomic<uint64_t> next{1};
  thread_local uint64_t id = next++;
  return id;
}

// Records that the calling thread uses env; aborts when that makes two
// threads use environments at once and one of them is not threaded. Called
// with g_mutex held.
void claim_locked(Env* env, const char* op) {
  env->thread = this_thread();
  for (Env* other : g_envs) {
    uint64_t t = other->thread.load();
    if (other == env || t == 0 || t == env->thread.load()) continue;
    Env* plain = !env->threaded ? env : !other->threaded ? other : nullptr;
    if (plain)
      die("%s: environment %p was created without OCI_THREADED, but environments %p and %p are "
          "in use on two threads at once",
          op, static_cast<void*>(plain), static_cast<void*>(env), static_cast<void*>(other));
  }
}

void claim(Env* env, const char* op) {
  if (!env || env->thread.load(std::memory_order_relaxed) == this_thread()) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  claim_locked(env, op);
}

Handle* check(const void* p, uint32_t type, const char* op) {
  if (!p) return nullptr;
  auto* h = static_cast<Handle*>(const_cast<void*>(p));
  if (h->magic == kFreed)
    die("%s: %s handle %p used after it was freed", op, type_name(h->type), p);
  if (h->magic != kLive) die("%s: %p is no handle of this library", op, p);
  if (type != 0 && h->type != type)
    die("%s: %s handle %p passed as a %s handle", op, type_name(h->type), p, type_name(type));
  claim(h->env, op);
  return h;
}

// The error handle of a call, its own record cleared.
Handle* error_handle(void* errhp, const char* op) {
  Handle* e = check(errhp, OCI_HTYPE_ERROR, op);
  if (e) e->own_code = 0;
  return e;
}

int32_t own_error(Handle* err, int32_t code, const char* text, int32_t status = OCI_ERROR) {
  if (err) {
    char line[300];
    std::snprintf(line, sizeof line, "ORA-%05d: %s\n", code, text);
    err->own_code = code;
    err->own_text = line;
  }
  return status;
}

// True (with ORA-03127 on err) while a polling LOB read is unfinished.
bool busy(Env* env, Handle* err) {
  if (!env || !env->poll_lob) return false;
  own_error(err, 3127, "no new operations allowed until the active operation ends");
  return true;
}

template <typename T>
T* make(uint32_t type, Env* env, void* inner) {
  T* h = new T();
  h->type = type;
  h->env = env;
  h->inner = inner;
  if (env) {
    std::lock_guard<std::mutex> lock(g_mutex);
    env->owned.push_back(h);
  }
  return h;
}

// The statement's bind, define or parameter record that `match` picks, made
// when there is none yet.
template <typename Match>
Handle* child_of(Stmt* st, std::vector<Handle*>& list, uint32_t type, Match match) {
  for (Handle* h : list)
    if (match(h)) return h;
  Handle* h = make<Handle>(type, st->env, nullptr);
  h->stmt = st;
  list.push_back(h);
  return h;
}

// Marks a record freed and keeps it for a while, so a later use of its
// address is recognised. Called with g_mutex held.
void retire(Handle* h) {
  h->magic = kFreed;
  h->shadow.clear();
  g_quarantine.push_back(h);
}

// Releases the oldest freed records beyond the quarantine. Only records no
// environment lists any more are in it by then. Called with g_mutex held.
void trim_quarantine() {
  while (g_quarantine.size() > kQuarantine) {
    delete g_quarantine.front();
    g_quarantine.pop_front();
  }
}

void retire_statement_locked(Stmt* st) {
  for (auto* list : {&st->binds, &st->defines, &st->params})
    for (Handle* h : *list) retire(h);
  retire(st);
}

// ---------------------------------------------------------------- dictionary

// The vendor wording of the split statements, answered from the file:
// DBMS_ROWID.ROWID_CREATE becomes DBMS_ROWID_ROWID_CREATE (SQLite takes no
// package-qualified call), and a statement that makes ROWIDs and ends in
// "ORDER BY 1" sorts them in ROWID order ("ORDER BY 1 COLLATE ROWID"), as
// the vendor sorts values of the ROWID type, not their text. NVL and DECODE
// are functions; the data dictionary views are temporary views.
std::string rewrite_statement(const char* text, uint32_t len) {
  std::string s(text, len);
  static const char kPackage[] = "DBMS_ROWID.";
  bool makes_rowids = false;
  for (size_t at = 0; at + sizeof kPackage - 1 <= s.size(); ++at)
    if (strncasecmp(s.c_str() + at, kPackage, sizeof kPackage - 1) == 0) {
      s[at + 10] = '_';
      makes_rowids = true;
    }
  size_t end = s.find_last_not_of(" \t\r\n;");
  static const char kOrder[] = "ORDER BY 1";
  if (makes_rowids && end != std::string::npos && end + 1 >= sizeof kOrder - 1 &&
      strncasecmp(s.c_str() + end + 2 - sizeof kOrder, kOrder, sizeof kOrder - 1) == 0)
    s.insert(end + 1, " COLLATE ROWID");
  return s;
}

// ROWIDs: 18 base-64 characters, data object (6), relative file (3),
// block (6), row (3). A table's rows map one per block: block = rowid, in
// file 1 below 2^36 and in the next files above; the row slot is 0.
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int64_t kBlocksPerFile = int64_t{1} << 36;

void put_base64(char* out, int64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i, v >>= 6) out[i] = kBase64[v & 63];
}

void rowid_create(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  for (int i = 0; i < argc; ++i)
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  int64_t object = sqlite3_value_int64(argv[1]), file = sqlite3_value_int64(argv[2]);
  int64_t block = sqlite3_value_int64(argv[3]), row = sqlite3_value_int64(argv[4]);
  file += block / kBlocksPerFile;
  block %= kBlocksPerFile;
  if (sqlite3_value_int64(argv[0]) != 1 || object < 0 || object >= kBlocksPerFile || file < 1 ||
      file >= (1 << 18) || block < 0 || row < 0 || row >= (1 << 18))
    return sqlite3_result_null(ctx);
  char text[18];
  put_base64(text, object, 6);
  put_base64(text + 6, file, 3);
  put_base64(text + 9, block, 6);
  put_base64(text + 15, row, 3);
  sqlite3_result_text(ctx, text, 18, SQLITE_TRANSIENT);
}

// The embedded engine's form of a ROWID text (the rowid in 18 digits), or
// false when the text is no ROWID of this library.
bool rowid_to_engine(const char* text, size_t len, char out[19]) {
  if (len != 18) return false;
  int64_t fields[4] = {};
  const int widths[4] = {6, 3, 6, 3};
  bool digits_only = true;
  for (int f = 0, at = 0; f < 4; ++f)
    for (int i = 0; i < widths[f]; ++i, ++at) {
      const char* c = std::strchr(kBase64, text[at]);
      if (!c || !text[at]) return false;
      digits_only = digits_only && std::isdigit(static_cast<unsigned char>(text[at]));
      fields[f] = fields[f] * 64 + (c - kBase64);
    }
  if (digits_only || fields[1] < 1) return false;
  std::snprintf(out, 19, "%018lld",
                static_cast<long long>((fields[1] - 1) * kBlocksPerFile + fields[2]));
  return true;
}

// ROWID texts in ROWID order: base-64 digits by their values.
int rowid_order(void*, int la, const void* a, int lb, const void* b) {
  const auto* x = static_cast<const char*>(a);
  const auto* y = static_cast<const char*>(b);
  for (int i = 0; i < la && i < lb; ++i) {
    const char* cx = std::strchr(kBase64, x[i]);
    const char* cy = std::strchr(kBase64, y[i]);
    long dx = cx && x[i] ? cx - kBase64 : 64 + static_cast<unsigned char>(x[i]);
    long dy = cy && y[i] ? cy - kBase64 : 64 + static_cast<unsigned char>(y[i]);
    if (dx != dy) return dx < dy ? -1 : 1;
  }
  return la - lb;
}

void nvl(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3_result_value(ctx, sqlite3_value_type(argv[0]) == SQLITE_NULL ? argv[1] : argv[0]);
}

// DECODE(expr, search, result [, search, result ...] [, default]): NULL
// matches NULL, as the vendor's DECODE has it.
void decode(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc < 3) return sqlite3_result_error(ctx, "ORA-00938: not enough arguments for function", -1);
  sqlite3_value* x = argv[0];
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    sqlite3_value* s = argv[i];
    bool xn = sqlite3_value_type(x) == SQLITE_NULL, sn = sqlite3_value_type(s) == SQLITE_NULL;
    bool match = xn || sn ? xn && sn
                 : sqlite3_value_numeric_type(x) != SQLITE_TEXT && sqlite3_value_numeric_type(s) != SQLITE_TEXT
                     ? sqlite3_value_double(x) == sqlite3_value_double(s)
                     : std::strcmp(reinterpret_cast<const char*>(sqlite3_value_text(x)),
                                   reinterpret_cast<const char*>(sqlite3_value_text(s))) == 0;
    if (match) return sqlite3_result_value(ctx, argv[i + 1]);
  }
  if (i < argc) return sqlite3_result_value(ctx, argv[i]);
  sqlite3_result_null(ctx);
}

std::string literal(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? "''" : std::string(1, c);
  return q + "'";
}

std::string identifier(const std::string& s) {
  std::string q = "\"";
  for (char c : s) q += c == '"' ? "\"\"" : std::string(1, c);
  return q + "\"";
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Makes the dictionary views of the connection: every table and view of the
// file belongs to the user logged in (its schema is the file); a rowid
// table is one segment whose extents cut its rowid span into at most 16384
// runs of equal width, one block per rowid; a table without rowids is
// organised by its key and has no table extents.
int make_dictionary(sqlite3* db, const std::string& owner) {
  std::string objects, extents, tables;
  sqlite3_stmt* q = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT name, type, rootpage, upper(coalesce(sql,'')) FROM main.sqlite_master "
                         "WHERE type IN ('table','view') AND name NOT LIKE 'sqlite^_%' ESCAPE '^' "
                         "ORDER BY rootpage, name",
                         -1, &q, nullptr) != SQLITE_OK)
    return 1;
  int64_t view_id = kBlocksPerFile - 1;
  const std::string o = literal(owner);
  while (sqlite3_step(q) == SQLITE_ROW) {
    const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
    const bool is_view = std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(q, 1)), "view") == 0;
    const std::string sql = reinterpret_cast<const char*>(sqlite3_column_text(q, 3));
    const bool no_rowid = sql.find("WITHOUT ROWID") != std::string::npos || sql.rfind("CREATE VIRTUAL", 0) == 0;
    const std::string id = std::to_string(is_view ? view_id-- : sqlite3_column_int64(q, 2));
    const std::string n = literal(upper(name)), t = "main." + identifier(name);
    objects += std::string(objects.empty() ? "" : " UNION ALL ") + "SELECT " + o + "," + n + ",NULL," +
               id + "," + (is_view ? "NULL" : id) + ",'" + (is_view ? "VIEW" : "TABLE") + "'";
    if (is_view) continue;
    tables += std::string(tables.empty() ? "" : " UNION ALL ") + "SELECT " + o + "," + n + "," +
              (no_rowid ? "'IOT'" : "NULL") + ",'NO',(SELECT count(*) FROM " + t + ")";
    if (no_rowid) continue;
    extents += std::string(extents.empty() ? "" : " UNION ALL ") + "SELECT " + o + "," + n +
               ",NULL,'TABLE','USERS',(a-lo)/w,1,a,(z-a)*8192,z-a,1 FROM (WITH RECURSIVE "
               "b(lo,hi) AS (SELECT (SELECT min(rowid) FROM " + t + "),(SELECT max(rowid) FROM " + t +
               ")+1),v(w) AS (SELECT (hi-lo)/16384+1 FROM b),k(a,z) AS (SELECT lo,min(lo+w,hi) FROM b,v "
               "WHERE lo IS NOT NULL UNION ALL SELECT z,min(z+w,hi) FROM k,v,b WHERE z<hi) "
               "SELECT a,z,lo,w FROM k,b,v)";
  }
  sqlite3_finalize(q);
  auto or_none = [](const std::string& rows, const char* empty) { return rows.empty() ? std::string(empty) : rows; };
  const std::string views[][2] = {
      {"DBA_OBJECTS(OWNER,OBJECT_NAME,SUBOBJECT_NAME,OBJECT_ID,DATA_OBJECT_ID,OBJECT_TYPE)",
       or_none(objects, "SELECT NULL,NULL,NULL,NULL,NULL,NULL WHERE 0")},
      {"DBA_EXTENTS(OWNER,SEGMENT_NAME,PARTITION_NAME,SEGMENT_TYPE,TABLESPACE_NAME,EXTENT_ID,FILE_ID,"
       "BLOCK_ID,BYTES,BLOCKS,RELATIVE_FNO)",
       or_none(extents, "SELECT NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL WHERE 0")},
      {"DBA_TABLES(OWNER,TABLE_NAME,IOT_TYPE,PARTITIONED,NUM_ROWS)",
       or_none(tables, "SELECT NULL,NULL,NULL,NULL,NULL WHERE 0")},
      {"DBA_TAB_PARTITIONS(TABLE_OWNER,TABLE_NAME,PARTITION_NAME)", "SELECT NULL,NULL,NULL WHERE 0"},
      {"DBA_TAB_SUBPARTITIONS(TABLE_OWNER,TABLE_NAME,PARTITION_NAME,SUBPARTITION_NAME)",
       "SELECT NULL,NULL,NULL,NULL WHERE 0"},
      {"ALL_OBJECTS", "SELECT * FROM DBA_OBJECTS"},
      {"ALL_TABLES", "SELECT * FROM DBA_TABLES"},
      {"USER_TABLES(TABLE_NAME,IOT_TYPE,NUM_ROWS)",
       "SELECT TABLE_NAME,IOT_TYPE,NUM_ROWS FROM DBA_TABLES WHERE OWNER = " + o},
  };
  std::string script;
  for (const auto& v : views) {
    std::string name = v[0].substr(0, v[0].find('('));
    script += "DROP VIEW IF EXISTS temp." + name + ";CREATE TEMP VIEW " + v[0] + " AS " + v[1] + ";";
  }
  return sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr);
}

// Functions, views, and the user's name as a schema of the same file, so
// that owner.table names resolve.
int prepare_connection(sqlite3* db) {
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  sqlite3_create_function(db, "NVL", 2, flags, nullptr, nvl, nullptr, nullptr);
  sqlite3_create_function(db, "DECODE", -1, flags, nullptr, decode, nullptr, nullptr);
  sqlite3_create_function(db, "DBMS_ROWID_ROWID_CREATE", 5, flags, nullptr, rowid_create, nullptr,
                          nullptr);
  sqlite3_create_collation(db, "ROWID", SQLITE_UTF8, nullptr, rowid_order);
  std::string owner = "MAIN";
  sqlite3_stmt* q = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT USER FROM DUAL", -1, &q, nullptr) == SQLITE_OK &&
      sqlite3_step(q) == SQLITE_ROW && sqlite3_column_text(q, 0))
    owner = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
  sqlite3_finalize(q);
  const char* file = sqlite3_db_filename(db, "main");
  bool plain = !owner.empty();
  for (char c : owner) plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
  if (plain && file && *file && owner != "MAIN" && owner != "TEMP") {
    std::string attach = "ATTACH DATABASE " + literal(file) + " AS " + identifier(owner);
    sqlite3_exec(db, attach.c_str(), nullptr, nullptr, nullptr);  // already there: harmless
  }
  return make_dictionary(db, owner);
}

// ---------------------------------------------------------------- binds

// A bind whose value is a ROWID text of this library is given to the engine
// as the rowid it stands for, so "ROWID >= :minrid" compares rowids.
void translate_rowid_binds(Stmt* st, void* errhp_inner) {
  if (!st->names_rowid) return;
  for (Handle* b : st->binds) {
    if (b->dty != SQLT_CHR && b->dty != SQLT_STR) continue;
    const char* v = static_cast<const char*>(b->value);
    size_t len = v ? (b->alenp ? *b->alenp : static_cast<size_t>(b->value_sz < 0 ? 0 : b->value_sz)) : 0;
    if (v && b->dty == SQLT_STR) len = strnlen(v, len);
    char converted[19];
    bool is_rowid = v && rowid_to_engine(v, len, converted);
    if (!is_rowid && !b->rowid_bound) continue;
    void* inner = nullptr;
    if (is_rowid) std::memcpy(b->rowid_text, converted, sizeof converted);
    engine().OCIBindByName(st->inner, &inner, errhp_inner,
                           reinterpret_cast<const unsigned char*>(b->name.data()),
                           static_cast<int32_t>(b->name.size()), is_rowid ? b->rowid_text : b->value,
                           is_rowid ? 18 : b->value_sz, is_rowid ? SQLT_CHR : b->dty, nullptr,
                           is_rowid ? nullptr : b->alenp, nullptr, 0, nullptr, OCI_DEFAULT);
    b->rowid_bound = is_rowid;
  }
}

// Which DBMS_FLASHBACK call a statement makes; the text the engine runs
// instead goes to *text.
Flashback flashback_call(std::string* text, uint64_t* scn) {
  static const char kGet[] = "DBMS_FLASHBACK.GET_SYSTEM_CHANGE_NUMBER";
  static const char kEnable[] = "BEGINDBMS_FLASHBACK.ENABLE_AT_SYSTEM_CHANGE_NUMBER(";
  std::string u = upper(*text);
  size_t at = u.find(kGet);
  if (at != std::string::npos) {
    text->replace(at, sizeof kGet - 1, std::to_string(kCurrentScn));
    return Flashback::kGet;
  }
  u.erase(std::remove_if(u.begin(), u.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); }),
          u.end());
  Flashback call = Flashback::kNone;
  if (u == "BEGINDBMS_FLASHBACK.DISABLE;END;" || u == "BEGINDBMS_FLASHBACK.DISABLE();END;") {
    call = Flashback::kDisable;
  } else if (u.rfind(kEnable, 0) == 0) {
    size_t end = sizeof kEnable - 1;
    *scn = 0;
    for (; end < u.size() && std::isdigit(static_cast<unsigned char>(u[end])); ++end)
      *scn = *scn * 10 + static_cast<uint64_t>(u[end] - '0');
    if (u.compare(end, std::string::npos, ");END;") == 0) call = Flashback::kEnable;
  }
  if (call != Flashback::kNone) *text = "SELECT 1";
  return call;
}

// The server's answer to a statement on a connection in or out of
// flashback mode, or OCI_SUCCESS to let the engine run it.
int32_t flashback_refusal(Stmt* st, Env* env, Handle* err) {
  const char* mode = std::getenv("ROWVANE_STAND_IN_FLASHBACK");
  const std::string m = mode ? mode : "";
  switch (st->flashback) {
    case Flashback::kGet:
      if (m == "none") return own_error(err, 904, "\"DBMS_FLASHBACK\".\"GET_SYSTEM_CHANGE_NUMBER\": invalid identifier");
      return OCI_SUCCESS;
    case Flashback::kEnable:
    case Flashback::kDisable:
      if (m == "none") return own_error(err, 6550, "line 1, column 7: PLS-00201: identifier 'DBMS_FLASHBACK' must be declared");
      if (st->flashback == Flashback::kDisable) {
        env->flashback = false;
        return OCI_SUCCESS;
      }
      if (m == "old") return own_error(err, 1555, "snapshot too old");
      if (env->flashback) return own_error(err, 8184, "attempting to re-enable Flashback while in Flashback mode");
      if (st->scn == 0 || st->scn > kCurrentScn) return own_error(err, 8181, "specified number is not a valid system change number");
      env->flashback = true;
      return OCI_SUCCESS;
    case Flashback::kNone: break;
  }
  const std::string u = upper(st->text);
  const size_t first = u.find_first_not_of(" \t\r\n(");
  const bool query = first != std::string::npos && (u.compare(first, 6, "SELECT") == 0 || u.compare(first, 4, "WITH") == 0);
  if (env->flashback && !query) return own_error(err, 8182, "operation not supported while in Flashback mode");
  return OCI_SUCCESS;
}

bool mentions_rowid(const std::string& text) {
  return upper(text).find("ROWID") != std::string::npos;
}

void* inner_of(Handle* h) { return h ? h->inner : nullptr; }

}  // namespace

// ---------------------------------------------------------------- the operations

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int32_t OCIEnvNlsCreate(void** envp, uint32_t mode, void* ctxp, OciMallocFn m, OciReallocFn r,
                               OciFreeFn f, size_t xtramem_sz, void** usrmempp, uint16_t charset,
                               uint16_t ncharset) {
  if (!envp) return OCI_INVALID_HANDLE;
  *envp = nullptr;
  void* inner = nullptr;
  int32_t rc = engine().OCIEnvNlsCreate(&inner, mode, ctxp, m, r, f, xtramem_sz, usrmempp, charset,
                                        ncharset);
  if (rc != OCI_SUCCESS) return rc;
  Env* env = make<Env>(OCI_HTYPE_ENV, nullptr, inner);
  env->env = env;
  env->threaded = (mode & kThreaded) != 0;
  env->charset = charset;
  env->ncharset = ncharset ? ncharset : charset;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_envs.push_back(env);
  claim_locked(env, "OCIEnvNlsCreate");
  *envp = env;
  return OCI_SUCCESS;
}

EXPORT int32_t OCIHandleAlloc(const void* parenth, void** hndlpp, uint32_t type, size_t xtramem_sz,
                              void** usrmempp) {
  Handle* parent = check(parenth, OCI_HTYPE_ENV, "OCIHandleAlloc");
  if (!parent || !hndlpp) return OCI_INVALID_HANDLE;
  if (type == OCI_HTYPE_BIND || type == OCI_HTYPE_DEFINE)
    die("OCIHandleAlloc: %s handles are made by the bind and define calls", type_name(type));
  void* inner = nullptr;
  int32_t rc = engine().OCIHandleAlloc(parent->inner, &inner, type, xtramem_sz, usrmempp);
  if (rc != OCI_SUCCESS) return rc;
  *hndlpp = type == OCI_HTYPE_STMT ? make<Stmt>(type, parent->env, inner)
                                   : make<Handle>(type, parent->env, inner);
  return OCI_SUCCESS;
}

EXPORT int32_t OCIHandleFree(void* hndlp, uint32_t type) {
  if (!hndlp) return OCI_INVALID_HANDLE;
  auto* h = static_cast<Handle*>(hndlp);
  if (h->magic == kFreed && (h->type == OCI_HTYPE_BIND || h->type == OCI_HTYPE_DEFINE))
    die("OCIHandleFree: %s handle %p freed explicitly after its statement freed it",
        type_name(h->type), hndlp);
  if (h->magic == kFreed) die("OCIHandleFree: %s handle %p freed twice", type_name(h->type), hndlp);
  check(hndlp, type, "OCIHandleFree");
  if (type == OCI_HTYPE_BIND || type == OCI_HTYPE_DEFINE)
    die("OCIHandleFree: %s handle %p freed explicitly; it belongs to its statement and is freed "
        "with it",
        type_name(type), hndlp);
  if (type == OCI_DTYPE_LOB || type == OCI_DTYPE_PARAM)
    die("OCIHandleFree: a %s descriptor is no handle (descriptors are freed with "
        "OCIDescriptorFree)", type_name(type));
  int32_t rc = engine().OCIHandleFree(h->inner, type);
  std::lock_guard<std::mutex> lock(g_mutex);
  Env* env = h->env;
  if (type == OCI_HTYPE_ENV) {
    for (Handle* child : env->owned)
      if (child != env && child->magic == kLive) {
        if (child->type == OCI_HTYPE_STMT) retire_statement_locked(static_cast<Stmt*>(child));
        else retire(child);
      }
    env->owned.clear();
    for (size_t i = 0; i < g_envs.size(); ++i)
      if (g_envs[i] == env) g_envs.erase(g_envs.begin() + static_cast<long>(i));
    retire(env);
    trim_quarantine();
    return rc;
  }
  if (type == OCI_HTYPE_STMT) retire_statement_locked(static_cast<Stmt*>(h));
  else retire(h);
  std::vector<Handle*>& owned = env->owned;
  owned.erase(std::remove_if(owned.begin(), owned.end(), [](Handle* x) { return x->magic == kFreed; }),
              owned.end());
  trim_quarantine();
  return rc;
}

EXPORT int32_t OCIServerAttach(void* srvhp, void* errhp, const unsigned char* dblink, int32_t dblink_len,
                               uint32_t mode) {
  Handle* srv = check(srvhp, OCI_HTYPE_SERVER, "OCIServerAttach");
  Handle* err = error_handle(errhp, "OCIServerAttach");
  if (!srv) return OCI_INVALID_HANDLE;
  return engine().OCIServerAttach(srv->inner, inner_of(err), dblink, dblink_len, mode);
}

EXPORT int32_t OCIAttrSet(void* trgthndlp, uint32_t trghndltyp, void* attributep, uint32_t size,
                          uint32_t attrtype, void* errhp) {
  Handle* target = check(trgthndlp, trghndltyp, "OCIAttrSet");
  Handle* err = error_handle(errhp, "OCIAttrSet");
  if (!target) return OCI_INVALID_HANDLE;
  void* value = attributep;
  if (trghndltyp == OCI_HTYPE_SVCCTX && (attrtype == OCI_ATTR_SERVER || attrtype == OCI_ATTR_SESSION)) {
    value = inner_of(check(attributep, attrtype == OCI_ATTR_SERVER ? OCI_HTYPE_SERVER : OCI_HTYPE_SESSION,
                           "OCIAttrSet"));
  }
  if (trghndltyp == OCI_HTYPE_SESSION && attrtype == OCI_ATTR_USERNAME && attributep)
    target->user.assign(static_cast<const char*>(attributep), size);
  return engine().OCIAttrSet(target->inner, trghndltyp, value, size, attrtype, inner_of(err));
}

EXPORT int32_t OCISessionBegin(void* svchp, void* errhp, void* usrhp, uint32_t credt, uint32_t mode) {
  Handle* svc = check(svchp, OCI_HTYPE_SVCCTX, "OCISessionBegin");
  Handle* err = error_handle(errhp, "OCISessionBegin");
  Handle* ses = check(usrhp, OCI_HTYPE_SESSION, "OCISessionBegin");
  if (!svc || !ses) return OCI_INVALID_HANDLE;
  if (busy(svc->env, err)) return OCI_ERROR;
  int32_t rc = engine().OCISessionBegin(svc->inner, inner_of(err), ses->inner, credt, mode);
  if (rc != OCI_SUCCESS) return rc;
  svc->env->flashback = false;
  sqlite3* db = embedded_database(svc->inner);
  if (!db || prepare_connection(db) != SQLITE_OK)
    return own_error(err, 1031, "insufficient privileges: the data dictionary views cannot be made");
  const char* days = std::getenv("ROWVANE_STAND_IN_PASSWORD_EXPIRY");
  std::string user = upper(ses->user);
  if (!user.empty() && user[0] == '"') user.erase(0, 1);
  if ((days && *days) || user.rfind("EXPIRING", 0) == 0) {
    std::string text = "the password will expire within " + std::string(days && *days ? days : "7") + " days";
    return own_error(err, 28002, text.c_str(), OCI_SUCCESS_WITH_INFO);
  }
  return OCI_SUCCESS;
}

EXPORT int32_t OCISessionEnd(void* svchp, void* errhp, void* usrhp, uint32_t mode) {
  Handle* svc = check(svchp, OCI_HTYPE_SVCCTX, "OCISessionEnd");
  Handle* err = error_handle(errhp, "OCISessionEnd");
  Handle* ses = check(usrhp, OCI_HTYPE_SESSION, "OCISessionEnd");
  if (!svc) return OCI_INVALID_HANDLE;
  if (busy(svc->env, err)) return OCI_ERROR;
  return engine().OCISessionEnd(svc->inner, inner_of(err), inner_of(ses), mode);
}

EXPORT int32_t OCIServerDetach(void* srvhp, void* errhp, uint32_t mode) {
  Handle* srv = check(srvhp, OCI_HTYPE_SERVER, "OCIServerDetach");
  Handle* err = error_handle(errhp, "OCIServerDetach");
  if (!srv) return OCI_INVALID_HANDLE;
  if (busy(srv->env, err)) return OCI_ERROR;
  return engine().OCIServerDetach(srv->inner, inner_of(err), mode);
}

EXPORT int32_t OCIStmtPrepare(void* stmtp, void* errhp, const unsigned char* stmt, uint32_t stmt_len,
                              uint32_t language, uint32_t mode) {
  auto* st = static_cast<Stmt*>(check(stmtp, OCI_HTYPE_STMT, "OCIStmtPrepare"));
  Handle* err = error_handle(errhp, "OCIStmtPrepare");
  if (!st) return OCI_INVALID_HANDLE;
  if (!stmt) return engine().OCIStmtPrepare(st->inner, inner_of(err), stmt, stmt_len, language, mode);
  std::string text = rewrite_statement(reinterpret_cast<const char*>(stmt), stmt_len);
  st->text = text;
  st->flashback = flashback_call(&text, &st->scn);
  st->names_rowid = mentions_rowid(text);
  return engine().OCIStmtPrepare(st->inner, inner_of(err), reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<uint32_t>(text.size()), language, mode);
}

EXPORT int32_t OCIStmtExecute(void* svchp, void* stmtp, void* errhp, uint32_t iters, uint32_t rowoff,
                              const void* snap_in, void* snap_out, uint32_t mode) {
  Handle* svc = check(svchp, OCI_HTYPE_SVCCTX, "OCIStmtExecute");
  auto* st = static_cast<Stmt*>(check(stmtp, OCI_HTYPE_STMT, "OCIStmtExecute"));
  Handle* err = error_handle(errhp, "OCIStmtExecute");
  if (!svc || !st) return OCI_INVALID_HANDLE;
  if (busy(svc->env, err)) return OCI_ERROR;
  if (flashback_refusal(st, svc->env, err) != OCI_SUCCESS) return OCI_ERROR;
  translate_rowid_binds(st, inner_of(err));
  return engine().OCIStmtExecute(svc->inner, st->inner, inner_of(err), iters, rowoff, snap_in, snap_out,
                                 mode);
}

EXPORT int32_t OCIBindByName(void* stmtp, void** bindp, void* errhp, const unsigned char* placeholder,
                             int32_t placeh_len, void* valuep, int32_t value_sz, uint16_t dty, void* indp,
                             uint16_t* alenp, uint16_t* rcodep, uint32_t maxarr_len, uint32_t* curelep,
                             uint32_t mode) {
  auto* st = static_cast<Stmt*>(check(stmtp, OCI_HTYPE_STMT, "OCIBindByName"));
  Handle* err = error_handle(errhp, "OCIBindByName");
  if (!st || !bindp) return OCI_INVALID_HANDLE;
  void* inner = nullptr;
  int32_t rc = engine().OCIBindByName(st->inner, &inner, inner_of(err), placeholder, placeh_len, valuep,
                                      value_sz, dty, indp, alenp, rcodep, maxarr_len, curelep, mode);
  if (rc != OCI_SUCCESS) return rc;
  Handle* b = child_of(st, st->binds, OCI_HTYPE_BIND, [&](Handle* h) { return h->inner == inner; });
  b->inner = inner;
  b->name.assign(reinterpret_cast<const char*>(placeholder), static_cast<size_t>(placeh_len));
  b->value = valuep;
  b->value_sz = value_sz;
  b->dty = dty;
  b->alenp = alenp;
  b->rowid_bound = false;
  *bindp = b;
  return OCI_SUCCESS;
}

EXPORT int32_t OCIParamGet(const void* hndlp, uint32_t htype, void* errhp, void** parmdpp, uint32_t pos) {
  auto* st = static_cast<Stmt*>(check(hndlp, OCI_HTYPE_STMT, "OCIParamGet"));
  Handle* err = error_handle(errhp, "OCIParamGet");
  if (!st || !parmdpp) return OCI_INVALID_HANDLE;
  void* inner = nullptr;
  int32_t rc = engine().OCIParamGet(st->inner, htype, inner_of(err), &inner, pos);
  if (rc != OCI_SUCCESS) return rc;
  Handle* p = child_of(st, st->params, OCI_DTYPE_PARAM, [&](Handle* h) { return h->inner == inner; });
  p->inner = inner;
  *parmdpp = p;
  return OCI_SUCCESS;
}

EXPORT int32_t OCIAttrGet(const void* trgthndlp, uint32_t trghndltyp, void* attributep, uint32_t* sizep,
                          uint32_t attrtype, void* errhp) {
  Handle* target = check(trgthndlp, trghndltyp, "OCIAttrGet");
  Handle* err = error_handle(errhp, "OCIAttrGet");
  if (!target) return OCI_INVALID_HANDLE;
  int32_t rc = engine().OCIAttrGet(target->inner, trghndltyp, attributep, sizep, attrtype, inner_of(err));
  if (rc == OCI_SUCCESS && attributep && trghndltyp == OCI_HTYPE_SVCCTX &&
      (attrtype == OCI_ATTR_SERVER || attrtype == OCI_ATTR_SESSION)) {
    // The server and session records of this library, not the engine's.
    void* inner = nullptr;
    std::memcpy(&inner, attributep, sizeof inner);
    void* mine = nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (Handle* h : target->env->owned)
      if (inner && h->inner == inner) mine = h;
    std::memcpy(attributep, &mine, sizeof mine);
  }
  return rc;
}

EXPORT int32_t OCIDefineByPos(void* stmtp, void** defnp, void* errhp, uint32_t position, void* valuep,
                              int32_t value_sz, uint16_t dty, void* indp, uint16_t* rlenp, uint16_t* rcodep,
                              uint32_t mode) {
  auto* st = static_cast<Stmt*>(check(stmtp, OCI_HTYPE_STMT, "OCIDefineByPos"));
  Handle* err = error_handle(errhp, "OCIDefineByPos");
  if (!st || !defnp) return OCI_INVALID_HANDLE;
  const bool lob = dty == SQLT_CLOB || dty == SQLT_BLOB || dty == SQLT_BFILEE;
  if (lob && value_sz != static_cast<int32_t>(sizeof(void*)))
    die("OCIDefineByPos: the LOB define of position %u passes element size %d; a LOB define "
        "passes sizeof(OCILobLocator*) = %zu",
        position, value_sz, sizeof(void*));
  Handle* d = child_of(st, st->defines, OCI_HTYPE_DEFINE,
                       [&](Handle* h) { return h->position == position; });
  d->position = position;
  d->user_buffer = valuep;
  d->dty = dty;
  d->indp = indp;
  d->rlenp = rlenp;
  d->rcodep = rcodep;
  d->value_sz = value_sz;
  d->shadow.assign(1, nullptr);  // a LOB define gets the engine's locators at each fetch
  void* inner = nullptr;
  int32_t rc = engine().OCIDefineByPos(st->inner, &inner, inner_of(err), position,
                                       lob ? d->shadow.data() : valuep, value_sz, dty, indp, rlenp,
                                       rcodep, mode);
  d->inner = inner;
  *defnp = d;
  return rc;
}

EXPORT int32_t OCIDescriptorAlloc(const void* parenth, void** descpp, uint32_t type, size_t xtramem_sz,
                                  void** usrmempp) {
  Handle* parent = check(parenth, OCI_HTYPE_ENV, "OCIDescriptorAlloc");
  if (!parent || !descpp) return OCI_INVALID_HANDLE;
  void* inner = nullptr;
  int32_t rc = engine().OCIDescriptorAlloc(parent->inner, &inner, type, xtramem_sz, usrmempp);
  if (rc != OCI_SUCCESS) return rc;
  *descpp = make<Handle>(type, parent->env, inner);
  return OCI_SUCCESS;
}

EXPORT int32_t OCIStmtFetch(void* stmtp, void* errhp, uint32_t nrows, uint16_t orientation, uint32_t mode) {
  auto* st = static_cast<Stmt*>(check(stmtp, OCI_HTYPE_STMT, "OCIStmtFetch"));
  Handle* err = error_handle(errhp, "OCIStmtFetch");
  if (!st) return OCI_INVALID_HANDLE;
  if (busy(st->env, err)) return OCI_ERROR;
  // The engine fills its own locators: each define of a LOB column gets the
  // engine's counterparts of the caller's locators, every one checked.
  for (Handle* d : st->defines) {
    if (d->dty != SQLT_CLOB && d->dty != SQLT_BLOB && d->dty != SQLT_BFILEE) continue;
    if (d->shadow.size() < nrows) {
      d->shadow.resize(nrows);
      void* inner = nullptr;
      engine().OCIDefineByPos(st->inner, &inner, inner_of(err), d->position, d->shadow.data(),
                              d->value_sz, d->dty, d->indp, d->rlenp, d->rcodep, OCI_DEFAULT);
    }
    void** locators = static_cast<void**>(d->user_buffer);
    for (uint32_t i = 0; i < nrows; ++i) {
      Handle* l = check(locators[i], OCI_DTYPE_LOB, "OCIStmtFetch");
      if (!l) die("OCIStmtFetch: row %u of the LOB define of position %u has no locator", i + 1, d->position);
      l->dty = d->dty;
      d->shadow[i] = l->inner;
    }
  }
  return engine().OCIStmtFetch(st->inner, inner_of(err), nrows, orientation, mode);
}

EXPORT int32_t OCIErrorGet(void* hndlp, uint32_t recordno, unsigned char* sqlstate, int32_t* errcodep,
                           unsigned char* bufp, uint32_t bufsiz, uint32_t type) {
  Handle* h = check(hndlp, type, "OCIErrorGet");
  if (!h) return OCI_INVALID_HANDLE;
  if (h->own_code != 0 && recordno == 1) {
    if (errcodep) *errcodep = h->own_code;
    if (bufp && bufsiz) std::snprintf(reinterpret_cast<char*>(bufp), bufsiz, "%s", h->own_text.c_str());
    return OCI_SUCCESS;
  }
  return engine().OCIErrorGet(h->inner, recordno, sqlstate, errcodep, bufp, bufsiz, type);
}

EXPORT int32_t OCILobOpen(void* svchp, void* errhp, void* locp, uint8_t mode) {
  Handle* svc = check(svchp, OCI_HTYPE_SVCCTX, "OCILobOpen");
  Handle* err = error_handle(errhp, "OCILobOpen");
  Handle* lob = check(locp, OCI_DTYPE_LOB, "OCILobOpen");
  if (!svc || !lob) return OCI_INVALID_HANDLE;
  if (busy(svc->env, err)) return OCI_ERROR;
  return engine().OCILobOpen(svc->inner, inner_of(err), lob->inner, mode);
}

EXPORT int32_t OCILobRead(void* svchp, void* errhp, void* locp, uint32_t* amtp, uint32_t offset, void* bufp,
                          uint32_t bufl, void* ctxp, OciLobReadCallback cbfp, uint16_t csid, uint8_t csfrm) {
  Handle* svc = check(svchp, OCI_HTYPE_SVCCTX, "OCILobRead");
  Handle* err = error_handle(errhp, "OCILobRead");
  Handle* lob = check(locp, OCI_DTYPE_LOB, "OCILobRead");
  if (!svc || !lob || !amtp) return OCI_INVALID_HANDLE;
  (void)ctxp;
  Env* env = svc->env;
  if (env->poll_lob && env->poll_lob != lob) return busy(env, err), OCI_ERROR;
  if (!bufp || bufl == 0) return own_error(err, 24801, "illegal parameter value in OCI lob function");
  if (!env->poll_lob) {
    // A new read: offset and amount count characters of a CLOB, bytes else.
    if (cbfp) return own_error(err, 24801, "illegal parameter value in OCI lob function: read callbacks are not offered");
    if (offset == 0) return own_error(err, 24801, "illegal parameter value in OCI lob function: offset 0");
    if (lob->dty == 0 || !embedded_lob_value(lob->inner, &env->poll_data))
      return own_error(err, 22275, "invalid LOB locator specified");
    uint16_t set = csid ? csid : csfrm == SQLCS_NCHAR ? env->ncharset : env->charset;
    Width w = lob->dty == SQLT_CLOB ? width_of(set) : Width::kBytes;
    size_t start = advance(env->poll_data, 0, offset - 1, w);
    if (start >= env->poll_data.size()) {
      *amtp = 0;
      return OCI_NO_DATA;
    }
    env->poll_end = *amtp == 0 ? env->poll_data.size() : advance(env->poll_data, start, *amtp, w);
    env->poll_pos = start;
    env->poll_width = w;
    env->poll_lob = lob;
  }
  // One piece: whole characters only, as many as the buffer takes.
  const auto* data = reinterpret_cast<const unsigned char*>(env->poll_data.data());
  size_t pos = env->poll_pos, chars = 0;
  while (pos < env->poll_end) {
    size_t n = char_bytes(env->poll_width, data + pos, env->poll_end - pos);
    if (pos + n - env->poll_pos > bufl) break;
    pos += n;
    ++chars;
  }
  if (pos == env->poll_pos) {
    env->poll_lob = nullptr;
    return own_error(err, 24801, "illegal parameter value in OCI lob function: buffer too small");
  }
  std::memcpy(bufp, data + env->poll_pos, pos - env->poll_pos);
  bool fixed = env->poll_width == Width::kUtf16;
  *amtp = static_cast<uint32_t>(fixed ? chars : pos - env->poll_pos);
  env->poll_pos = pos;
  if (pos < env->poll_end) return kNeedData;
  env->poll_lob = nullptr;
  env->poll_data.clear();
  return OCI_SUCCESS;
}

EXPORT int32_t OCILobClose(void* svchp, void* errhp, void* locp) {
  Handle* svc = check(svchp, OCI_HTYPE_SVCCTX, "OCILobClose");
  Handle* err = error_handle(errhp, "OCILobClose");
  Handle* lob = check(locp, OCI_DTYPE_LOB, "OCILobClose");
  if (!svc || !lob) return OCI_INVALID_HANDLE;
  if (busy(svc->env, err)) return OCI_ERROR;
  return engine().OCILobClose(svc->inner, inner_of(err), lob->inner);
}

EXPORT uint16_t OCINlsCharSetNameToId(void* envhp, const unsigned char* name) {
  Handle* env = check(envhp, OCI_HTYPE_ENV, "OCINlsCharSetNameToId");
  return engine().OCINlsCharSetNameToId(inner_of(env), name);
}
