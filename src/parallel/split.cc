#include "parallel/split.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/messages.h"
#include "crypto/login_cipher.h"
#include "db/statement.h"

namespace rowvane {

namespace {

constexpr uint32_t kFetchRows = 100;   // rows per array fetch of the piece statement
constexpr int kRowidText = 20;         // bytes per fetched ROWID text, NUL included
constexpr size_t kRowidChars = 18;     // characters of a ROWID text
constexpr size_t kStatementSize = 1024;
constexpr size_t kNameSize = 132;      // owner, split and part buffers
constexpr int kUserSize = 129;         // a user name of up to 128 bytes and its NUL

// True for the statuses after which a prepare or execute has done its work.
bool call_succeeded(int32_t status) {
  return status == OCI_SUCCESS || status == OCI_SUCCESS_WITH_INFO;
}

// One statement handle of the session and the defines made on it. Whatever
// path leaves the calling function, the statement is released, and its
// defines with it (they belong to it).
class Statement {
 public:
  explicit Statement(DbSession* s) : s_(s), handle_(s) {}

  // 0, or -1 when no handle could be allocated.
  int allocate() { return handle_.allocate(); }

  // Prepares and executes (0 iterations: the rows stay for the fetches). A
  // failure's text is reported; its error number is returned. A failure that
  // leaves no error number lets the caller go on (0).
  int run(const char* text, size_t len) {
    int32_t st = s_->api->OCIStmtPrepare(handle_.get(), s_->error,
                                         reinterpret_cast<const unsigned char*>(text),
                                         static_cast<uint32_t>(len), OCI_NTV_SYNTAX, OCI_DEFAULT);
    if (!call_succeeded(st)) {
      int32_t code = report_error(s_);
      if (code != 0) return code;
    }
    st = s_->api->OCIStmtExecute(s_->service, handle_.get(), s_->error, 0, 0, nullptr, nullptr,
                                 OCI_DEFAULT);
    if (!call_succeeded(st)) {
      int32_t code = report_error(s_);
      if (code != 0) return code;
    }
    return 0;
  }

  int define(uint32_t position, void* buf, int32_t size, uint16_t type, uint16_t* lengths) {
    void** slot = &defines_[position - 1];
    return s_->api->OCIDefineByPos(handle_.get(), slot, s_->error, position, buf, size, type, nullptr,
                                   lengths, nullptr, OCI_DEFAULT);
  }

  int32_t fetch(uint32_t rows) {
    return s_->api->OCIStmtFetch(handle_.get(), s_->error, rows, OCI_FETCH_NEXT, OCI_DEFAULT);
  }

  uint32_t row_count() {
    uint32_t count = 0;
    s_->api->OCIAttrGet(handle_.get(), OCI_HTYPE_STMT, &count, nullptr, OCI_ATTR_ROW_COUNT,
                        s_->error);
    return count;
  }

 private:
  DbSession* s_;
  StatementHandle handle_;  // frees the statement and its defines
  void* defines_[3] = {};
};

// Builds statement `which` into out, reporting a refusal.
int prepare_text(DbSession* s, int which, const char* owner, const char* table, const char* part,
                 char out[kStatementSize]) {
  int len = build_split_statement(s, which, owner, table, part, out);
  if (len < 0) {
    session_messagef(s, kMsgSplitStatement, table ? table : "");
  }
  return len;
}

void copy_rowid(char dst[20], const char* src) {
  std::memset(dst, 0, 20);
  std::memcpy(dst, src, strnlen(src, kRowidChars));
}

// Appends one range; once the list is full, the last range is widened
// instead, so inconsistent weights never write past the list and never drop
// the rows that follow.
void add_range(RowidRangeList* list, const char* min_rowid, const char* max_rowid) {
  if (list->count >= kMaxRanges) {
    copy_rowid(list->ranges[kMaxRanges - 1].max_rowid, max_rowid);
    return;
  }
  RowidRange& r = list->ranges[list->count];
  r.index = list->count + 1;
  copy_rowid(r.min_rowid, min_rowid);
  copy_rowid(r.max_rowid, max_rowid);
  ++list->count;
}

// Copies the text after position `from` of a name buffer to its front and
// zero-fills the rest of the buffer.
void keep_tail(char* buf, size_t from) {
  size_t rest = strnlen(buf + from, kNameSize - from);
  std::memmove(buf, buf + from, rest);
  std::memset(buf + rest, 0, kNameSize - rest);
}

}  // namespace

bool embedded_engine(const DbSession* s) {
  return s && s->api && s->api->engine_name && std::strcmp(s->api->engine_name, "embedded") == 0;
}

void parse_split_name(UnloadJob* job) {
  job->split[kNameSize - 1] = '\0';
  size_t len = std::strlen(job->split);
  const char* colon = static_cast<const char*>(std::memchr(job->split, ':', len));
  if (colon) {
    size_t i = static_cast<size_t>(colon - job->split);
    if (i > 0 && i + 1 < len) {
      std::memset(job->part, 0, sizeof job->part);
      std::memcpy(job->part, colon + 1, len - i - 1);  // at most 130 characters
      std::memset(job->split + i, 0, kNameSize - i);
      len = i;
    }
  }
  const char* dot = static_cast<const char*>(std::memchr(job->split, '.', len));
  if (dot) {
    size_t i = static_cast<size_t>(dot - job->split);
    if (i > 0 && i + 1 < len) {
      std::memset(job->owner, 0, sizeof job->owner);
      std::memcpy(job->owner, job->split, i);
      keep_tail(job->split, i + 1);
    }
  }
}

// Folds one name as the server folds an identifier: unquoted to upper case
// (ASCII letters), a name in double quotes kept as written, without them.
void fold_name(char* name) {
  size_t len = strnlen(name, kNameSize - 1);
  if (len >= 2 && name[0] == '"' && name[len - 1] == '"') {
    std::memmove(name, name + 1, len - 2);
    std::memset(name + len - 2, 0, kNameSize - (len - 2));
    return;
  }
  for (size_t i = 0; i < len; ++i)
    if (name[i] >= 'a' && name[i] <= 'z') name[i] = static_cast<char>(name[i] - 'a' + 'A');
}

void fold_split_names(UnloadJob* job) {
  fold_name(job->owner);
  fold_name(job->split);
  fold_name(job->part);
}

int probe_split_table(DbSession* s, const char* owner, const char* table) {
  char text[kStatementSize];
  size_t pos = 0;
  auto put = [&](const char* t) {
    for (; *t && pos + 1 < sizeof text; ++t) text[pos++] = *t;
  };
  auto put_quoted = [&](const char* name) {
    put("\"");
    for (; *name && pos + 2 < sizeof text; ++name) {
      if (*name == '"') text[pos++] = '"';
      text[pos++] = *name;
    }
    put("\"");
  };
  put("SELECT ROWID FROM ");
  if (owner && owner[0] && !embedded_engine(s)) {
    put_quoted(owner);
    put(".");
  }
  put_quoted(table);
  text[pos] = '\0';
  Statement st(s);
  if (st.allocate() != 0) return -1;
  if (st.run(text, pos) != 0) return -1;
  char rowid[kRowidText];
  uint16_t rowid_len = 0;
  if (st.define(1, rowid, kRowidText, SQLT_STR, &rowid_len) != 0) {
    report_error(s);
    return -1;
  }
  int32_t status = st.fetch(1);
  if (status == OCI_NO_DATA) return 0;
  if (status == OCI_SUCCESS || status == OCI_SUCCESS_WITH_INFO) return 1;
  report_error(s);
  return -1;
}

int query_current_user(DbSession* s, char* owner) {
  static constexpr char kText[] = "SELECT USER FROM DUAL";
  owner[0] = '\0';
  Statement st(s);
  if (st.allocate() != 0) return -1;
  int rc = st.run(kText, sizeof kText - 1);
  if (rc != 0) return rc;
  rc = st.define(1, owner, kUserSize, SQLT_STR, nullptr);
  if (rc != 0) {
    report_error(s);
    owner[0] = '\0';
    return rc;
  }
  int32_t status = st.fetch(1);
  if (status != OCI_SUCCESS) {
    report_error(s);
    owner[0] = '\0';
    return status;
  }
  owner[kUserSize - 1] = '\0';
  return 0;
}

int query_snapshot_scn(DbSession* s, uint64_t* scn) {
  static constexpr char kText[] = "SELECT DBMS_FLASHBACK.GET_SYSTEM_CHANGE_NUMBER FROM DUAL";
  *scn = 0;
  Statement st(s);
  if (st.allocate() != 0) return -1;
  int rc = st.run(kText, sizeof kText - 1);
  if (rc != 0) return rc;
  char digits[41] = {};
  rc = st.define(1, digits, sizeof digits, SQLT_STR, nullptr);
  if (rc == 0 && st.fetch(1) != OCI_SUCCESS) rc = -1;
  if (rc != 0) {
    int32_t code = report_error(s);
    return code > 0 ? code : -1;
  }
  // At most 19 digits, so the number fits 64 bits; nothing else, since it
  // is written into the workers' statements.
  uint64_t value = 0;
  size_t n = 0;
  for (; n < 19 && digits[n] >= '0' && digits[n] <= '9'; ++n) {
    value = value * 10 + static_cast<uint64_t>(digits[n] - '0');
  }
  if (n == 0 || digits[n] != '\0' || value == 0) return -1;
  *scn = value;
  return 0;
}

int list_tables(DbSession* s, const char* owner, std::vector<TableName>* out) {
  const bool embedded = embedded_engine(s);
  std::string text;
  if (embedded) {
    text = "SELECT name, CASE WHEN sql LIKE '%WITHOUT ROWID%' OR sql LIKE 'CREATE VIRTUAL%' THEN 1 "
           "ELSE 0 END FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
           "ESCAPE '\\' ORDER BY name";
  } else {
    text = "SELECT TABLE_NAME, CASE WHEN IOT_TYPE IS NULL THEN 0 ELSE 1 END FROM ";
    if (owner[0] == '\0') {
      text += "USER_TABLES";
    } else {
      text += "ALL_TABLES WHERE OWNER = '";
      for (const char* o = owner; *o; ++o) text += *o == '\'' ? "''" : std::string(1, *o);
      text += "'";
    }
    text += " ORDER BY TABLE_NAME";
  }
  Statement st(s);
  if (st.allocate() != 0) return -1;
  int rc = st.run(text.data(), text.size());
  if (rc != 0) return rc;
  TableName t{};
  uint32_t whole = 0;
  rc = st.define(1, t.name, sizeof t.name, SQLT_STR, nullptr) +
       st.define(2, &whole, sizeof whole, SQLT_UIN, nullptr);
  if (rc != 0) {
    report_error(s);
    return rc;
  }
  if (!embedded) std::snprintf(t.owner, sizeof t.owner, "%s", owner);
  for (;;) {
    std::memset(t.name, 0, sizeof t.name);
    const int32_t status = st.fetch(1);
    if (status == OCI_NO_DATA) return 0;
    if (status != OCI_SUCCESS) {
      const int32_t code = report_error(s);
      return code > 0 ? code : -1;
    }
    t.name[sizeof t.name - 1] = '\0';
    t.whole = whole != 0;
    out->push_back(t);
  }
}

uint64_t estimate_table_rows(DbSession* s, const char* owner, const char* table) {
  auto literal = [](const char* name) {
    std::string t = "'";
    for (const char* c = name; *c; ++c) t += *c == '\'' ? "''" : std::string(1, *c);
    return t + "'";
  };
  std::string text;
  if (embedded_engine(s)) {
    text = "SELECT COUNT(*) FROM \"";
    for (const char* c = table; *c; ++c) text += *c == '"' ? "\"\"" : std::string(1, *c);
    text += "\"";
  } else if (owner == nullptr || owner[0] == '\0') {
    text = "SELECT NUM_ROWS FROM USER_TABLES WHERE TABLE_NAME = " + literal(table);
  } else {
    text = "SELECT NUM_ROWS FROM ALL_TABLES WHERE OWNER = " + literal(owner) + " AND TABLE_NAME = " +
           literal(table);
  }
  // Plain calls, not Statement: a failure here is no fault of the run and
  // stays unreported.
  StatementHandle st(s);
  if (st.allocate() != 0) return 0;
  const DbClient* api = s->api;
  void* define = nullptr;
  char number[24] = "";
  int16_t indicator = -1;
  if (api->OCIStmtPrepare(st.get(), s->error, reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<uint32_t>(text.size()), OCI_NTV_SYNTAX, OCI_DEFAULT) != OCI_SUCCESS ||
      api->OCIStmtExecute(s->service, st.get(), s->error, 0, 0, nullptr, nullptr, OCI_DEFAULT) !=
          OCI_SUCCESS ||
      api->OCIDefineByPos(st.get(), &define, s->error, 1, number, sizeof number, SQLT_STR, &indicator,
                          nullptr, nullptr, OCI_DEFAULT) != OCI_SUCCESS ||
      api->OCIStmtFetch(st.get(), s->error, 1, OCI_FETCH_NEXT, OCI_DEFAULT) != OCI_SUCCESS ||
      indicator != 0) {
    return 0;
  }
  number[sizeof number - 1] = '\0';
  return std::strtoull(number, nullptr, 10);
}

int count_split_weight(DbSession* s, const char* owner, const char* table, const char* part,
                       uint32_t* total) {
  *total = 0;
  char text[kStatementSize];
  int len = prepare_text(s, 0, owner, table, part, text);
  if (len < 0) return -1;
  Statement st(s);
  if (st.allocate() != 0) return -1;
  int rc = st.run(text, static_cast<size_t>(len));
  if (rc != 0) return rc;
  rc = st.define(1, total, sizeof *total, SQLT_UIN, nullptr);
  if (rc != 0) {
    report_error(s);
    return rc;
  }
  int32_t status = st.fetch(1);
  if (status != OCI_SUCCESS) {
    // No row (100) or an error: either way there is no total to split by.
    *total = 0;
    report_error(s);
    return status;
  }
  return 0;
}

int compute_rowid_ranges(DbSession* s, const char* owner, const char* table, const char* part,
                         uint32_t threshold, RowidRangeList* list) {
  list->count = 0;
  char text[kStatementSize];
  int len = prepare_text(s, 1, owner, table, part, text);
  if (len < 0) return -1;
  Statement st(s);
  if (st.allocate() != 0) return -1;
  int rc = st.run(text, static_cast<size_t>(len));
  if (rc != 0) return rc;

  char lower[kFetchRows][kRowidText];
  char upper[kFetchRows][kRowidText];
  uint16_t lower_len[kFetchRows];
  uint16_t upper_len[kFetchRows];
  uint32_t weight[kFetchRows];
  rc = st.define(1, lower, kRowidText, SQLT_STR, lower_len) +
       st.define(2, upper, kRowidText, SQLT_STR, upper_len) +
       st.define(3, weight, sizeof weight[0], SQLT_UIN, nullptr);
  if (rc != 0) {
    report_error(s);
    return rc;
  }

  uint32_t sum = 0;     // weight of the open range
  uint32_t open = 0;    // pieces in the open range
  char start[kRowidText] = {};
  char last_upper[kRowidText] = {};
  int32_t status = OCI_SUCCESS;
  uint32_t rows = kFetchRows;
  while (rows == kFetchRows) {
    status = st.fetch(kFetchRows);
    if (status == OCI_NO_DATA) {
      rows = st.row_count() % kFetchRows;
      status = OCI_SUCCESS;
    } else if (status != OCI_SUCCESS) {
      report_error(s);
      break;
    }
    for (uint32_t i = 0; i < rows; ++i) {
      // A longer text cannot be kept in 18 characters without moving the
      // bound, which would lose or repeat rows.
      if (strnlen(lower[i], kRowidText) > kRowidChars || strnlen(upper[i], kRowidText) > kRowidChars) {
        session_messagef(s, kMsgRowidTooLong, table);
        status = -1;
        break;
      }
      if (open == 0) copy_rowid(start, lower[i]);
      copy_rowid(last_upper, upper[i]);
      sum += weight[i];
      if (sum > threshold) {
        add_range(list, start, upper[i]);
        sum = 0;
        open = 0;
      } else {
        ++open;
      }
    }
    if (status != OCI_SUCCESS) break;
  }
  if (open != 0) add_range(list, start, last_upper);
  return status;
}

int build_split_statement(const DbSession* s, int which, const char* owner, const char* table,
                          const char* part, char out[1024]) {
  out[0] = '\0';
  if (which != 0 && which != 1) return -1;
  const bool partition = part && part[0] != '\0';
  char tmpl[512];
  split_template(which, partition, embedded_engine(s), tmpl);
  tmpl[sizeof tmpl - 1] = '\0';
  if (tmpl[0] == '\0') return -1;

  const char* names[3] = {owner ? owner : "", table ? table : "", partition ? part : ""};
  const int name_count = partition ? 3 : 2;
  int next = 0;
  size_t pos = 0;
  // Room is checked before every byte; the last byte stays for the NUL.
  auto put = [&](char c) {
    if (pos + 1 >= kStatementSize) return false;
    out[pos++] = c;
    return true;
  };
  for (const char* p = tmpl; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (next >= name_count) { out[0] = '\0'; return -1; }
      // Names are quoted text in every template: doubling each single quote
      // keeps any name inside its literal.
      for (const char* n = names[next++]; *n; ++n) {
        if ((*n == '\'' && !put('\'')) || !put(*n)) { out[0] = '\0'; return -1; }
      }
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      if (!put('%')) { out[0] = '\0'; return -1; }
      ++p;
    } else if (!put(*p)) {
      out[0] = '\0';
      return -1;
    }
  }
  out[pos] = '\0';
  return static_cast<int>(pos);
}

}  // namespace rowvane
