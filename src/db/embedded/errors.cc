// Error records of the embedded engine: the vendor's error numbers and first
// lines, chosen for SQLite failures, in the one form
//   "ORA-NNNNN: <first line>[: <SQLite's words>]\n".
#include <cctype>
#include <cstdio>
#include <cstring>

#include "db/embedded/internal.h"

namespace rowvane::embedded {
namespace {

struct ErrorText {
  int32_t code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {1, "unique constraint violated"},
    {54, "resource busy and acquire with NOWAIT specified or timeout expired"},
    {900, "invalid SQL statement"},
    {904, "invalid identifier"},
    {909, "invalid number of arguments"},
    {918, "column ambiguously defined"},
    {921, "unexpected end of SQL command"},
    {932, "inconsistent datatypes"},
    {933, "SQL command not properly ended"},
    {942, "table or view does not exist"},
    {955, "name is already used by an existing object"},
    {1002, "fetch out of sequence"},
    {1007, "variable not in select list"},
    {1008, "not all variables bound"},
    {1013, "user requested cancel of current operation"},
    {1031, "insufficient privileges"},
    {1036, "illegal variable name/number"},
    {1115, "IO error reading block from file"},
    {1400, "cannot insert NULL"},
    {1403, "no data found"},
    {1405, "fetched column value is NULL"},
    {1406, "fetched column value was truncated"},
    {1426, "numeric overflow"},
    {1455, "converting column overflows integer datatype"},
    {1489, "result of string concatenation is too long"},
    {1722, "invalid number"},
    {1821, "date format not recognized"},
    {1861, "literal does not match format string"},
    {2248, "invalid option for ALTER SESSION"},
    {2290, "check constraint violated"},
    {3114, "not connected to the database"},
    {4030, "out of process memory"},
    {12154, "TNS:could not resolve the connect identifier specified"},
    {16000, "database open for read-only access"},
    {22275, "invalid LOB locator specified"},
    {22289, "cannot perform operation on an unopened file or LOB"},
    {22293, "LOB already opened in the same transaction"},
    {24315, "illegal attribute type"},
    {24334, "no descriptor for this position"},
    {24338, "statement handle not executed"},
    {24345, "A Truncation or null fetch error occurred"},
    {24801, "illegal parameter value in OCI lob function"},
};

const char* vendor_text(int32_t code) {
  for (const auto& e : kErrorTexts)
    if (e.code == code) return e.text;
  return "error";
}

ErrorRecord* record_of(void* h) {
  auto* head = static_cast<HandleHead*>(h);
  if (!head || head->magic != kMagic) return nullptr;
  if (head->type == OCI_HTYPE_ERROR) return &reinterpret_cast<ErrorHandle*>(head)->rec;
  if (head->type == OCI_HTYPE_ENV) return &reinterpret_cast<Env*>(head)->rec;
  return nullptr;
}

bool has_prefix(const char* s, const char* prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// True when the statement starts with a word that begins a SQL command, so a
// syntax error lies further in ("not properly ended") rather than in the
// statement kind itself ("invalid SQL statement").
bool starts_with_command(const char* text) {
  static const char* const kCommands[] = {
      "SELECT", "WITH",   "INSERT",  "UPDATE",  "DELETE",    "CREATE",  "DROP",
      "ALTER",  "BEGIN",  "COMMIT",  "ROLLBACK", "REPLACE",  "PRAGMA",  "EXPLAIN",
      "VALUES", "ANALYZE", "ATTACH", "DETACH",  "VACUUM",    "REINDEX", "SAVEPOINT",
      "RELEASE", "END",   "MERGE"};
  if (!text) return false;
  while (*text && (std::isspace(static_cast<unsigned char>(*text)) || *text == '('))
    ++text;
  char word[16];
  size_t n = 0;
  while (n + 1 < sizeof word && std::isalpha(static_cast<unsigned char>(text[n]))) {
    word[n] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[n])));
    ++n;
  }
  word[n] = 0;
  for (const char* c : kCommands)
    if (std::strcmp(c, word) == 0) return true;
  return false;
}

}  // namespace

void clear_error(void* errhp) {
  if (ErrorRecord* r = record_of(errhp)) {
    r->code = 0;
    r->text[0] = 0;
  }
}

int32_t set_error(void* errhp, int32_t code, const char* detail) {
  if (ErrorRecord* r = record_of(errhp)) {
    r->code = code;
    if (detail && *detail)
      std::snprintf(r->text, sizeof r->text, "ORA-%05d: %s: %s\n", static_cast<int>(code),
                    vendor_text(code), detail);
    else
      std::snprintf(r->text, sizeof r->text, "ORA-%05d: %s\n", static_cast<int>(code),
                    vendor_text(code));
    // A detail too long for the record still ends the text with a line feed.
    size_t len = std::strlen(r->text);
    if (len == sizeof r->text - 1) r->text[len - 1] = '\n';
  }
  return OCI_ERROR;
}

int32_t set_sqlite_error(void* errhp, sqlite3* db, int rc, const char* stmt_text) {
  const char* msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  if (!msg || !*msg) msg = sqlite3_errstr(rc);
  int32_t code = 900;
  switch (rc & 0xff) {
    case SQLITE_ERROR:
      if (has_prefix(msg, "no such table") || has_prefix(msg, "no such view"))
        code = 942;
      else if (has_prefix(msg, "no such column") || has_prefix(msg, "no such function"))
        code = 904;
      else if (has_prefix(msg, "wrong number of arguments"))
        code = 909;
      else if (has_prefix(msg, "ambiguous column name"))
        code = 918;
      else if (has_prefix(msg, "incomplete input"))
        code = 921;
      else if (std::strstr(msg, "already exists"))
        code = 955;
      else if (std::strstr(msg, "syntax error") || has_prefix(msg, "unrecognized token"))
        code = starts_with_command(stmt_text) ? 933 : 900;
      else
        code = 900;
      break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: code = 54; break;
    case SQLITE_READONLY: code = 16000; break;
    case SQLITE_CONSTRAINT:
      if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY)
        code = 1;
      else if (rc == SQLITE_CONSTRAINT_NOTNULL)
        code = 1400;
      else
        code = 2290;
      break;
    case SQLITE_NOMEM: code = 4030; break;
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: code = 1115; break;
    case SQLITE_MISMATCH: code = 932; break;
    case SQLITE_TOOBIG: code = 1489; break;
    case SQLITE_INTERRUPT: code = 1013; break;
    case SQLITE_AUTH:
    case SQLITE_PERM: code = 1031; break;
    case SQLITE_RANGE: code = 1036; break;
    default: code = 900; break;
  }
  return set_error(errhp, code, msg);
}

int32_t error_get(void* hndlp, uint32_t recordno, int32_t* errcodep, unsigned char* bufp,
                  uint32_t bufsiz, uint32_t type) {
  auto* head = static_cast<HandleHead*>(hndlp);
  if (!head || head->magic != kMagic || head->type != type ||
      (type != OCI_HTYPE_ERROR && type != OCI_HTYPE_ENV))
    return OCI_INVALID_HANDLE;
  ErrorRecord* r = record_of(hndlp);
  if (recordno != 1 || !r || r->code == 0) return OCI_NO_DATA;
  if (errcodep) *errcodep = r->code;
  if (bufp && bufsiz > 0) {
    size_t n = std::strlen(r->text);
    if (n > bufsiz - 1) n = bufsiz - 1;
    std::memcpy(bufp, r->text, n);
    bufp[n] = 0;
  }
  return OCI_SUCCESS;
}

}  // namespace rowvane::embedded
