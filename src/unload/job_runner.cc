// One unload job: statement text, log file, login, session tuning, the
// statements around the unload, the query, its description, the fetch loop
// and the tear-down. Every path out of run_job releases what the run built.
#include "unload/job_runner.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "config/messages.h"
#include "config/run_counters.h"
#include "db/statement.h"
#include "loader/control_file.h"
#include "platform/interrupt.h"
#include "unload/columns.h"
#include "unload/compress_stream.h"
#include "unload/output.h"
#include "unload/output_guard.h"
#include "unload/rows.h"
#include "unload/values.h"

namespace rowvane {

namespace {

constexpr size_t kSessionStatementSize = 512;  // text buffer of one session statement

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool starts_with_word(const char* text, const char* word) {
  size_t n = std::strlen(word);
  for (size_t i = 0; i < n; ++i) {
    if (text[i] == '\0') return false;
    if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  return true;
}

// Trailing white space, ";" and "/" never belong to the statement; a text
// that is neither a SELECT nor a WITH statement is a table name.
void settle_statement_text(UnloadJob* job) {
  char* q = job->query;
  q[sizeof job->query - 1] = '\0';
  size_t n = std::strlen(q);
  while (n > 0 && (is_space(q[n - 1]) || q[n - 1] == ';' || q[n - 1] == '/')) --n;
  q[n] = '\0';

  const char* text = q;
  while (*text && is_space(*text)) ++text;
  if (starts_with_word(text, "select") || starts_with_word(text, "with")) return;

  size_t name_len = std::strlen(text);
  if (job->table[0] == '\0' && name_len <= 30) {
    std::memcpy(job->table, text, name_len);
    job->table[name_len] = '\0';
  }
  // The name moves behind the prefix (memmove: it lies in the same buffer);
  // a name too long for the buffer is cut and then fails as a statement.
  static constexpr char kPrefix[] = "select * from ";
  constexpr size_t kPrefixLen = sizeof kPrefix - 1;
  size_t keep = std::min(name_len, sizeof job->query - 1 - kPrefixLen);
  std::memmove(q + kPrefixLen, text, keep);
  std::memcpy(q, kPrefix, kPrefixLen);
  q[kPrefixLen + keep] = '\0';
}

// Runs one "ALTER SESSION" text built from format and one number. The
// formats are this file's own and fit the buffer with any number; a text
// that would not fit is cut (snprintf) and runs as cut, failing with the
// database's own error. run_alter_pieces is the one that skips a user's
// text that does not fit.
void run_session_statement(DbSession* s, const char* format, long long value) {
  char text[kSessionStatementSize];
  std::snprintf(text, sizeof text, format, value);
  run_setup_statement(s, text);
}

void run_alter_pieces(DbSession* s, const char* alter) {
  const char* p = alter;
  while (*p) {
    const char* end = std::strchr(p, ';');
    size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (len > 0) {
      char text[kSessionStatementSize];
      int n = std::snprintf(text, sizeof text, "ALTER SESSION %.*s", static_cast<int>(len), p);
      if (n < 0 || static_cast<size_t>(n) >= sizeof text) {
        session_messagef(s, kMsgAlterTooLong, static_cast<int>(sizeof text - 1), text);
      } else {
        run_setup_statement(s, text);
      }
    }
    if (!end) break;
    p = end + 1;
  }
}

void tune_session(DbSession* s, const UnloadJob& job) {
  run_setup_statement(s, "ALTER SESSION SET NLS_DATE_FORMAT='YYYY-MM-DD HH24:MI:SS'");
  run_setup_statement(s, "ALTER SESSION SET NLS_TIMESTAMP_FORMAT='YYYY-MM-DD HH24:MI:SSXFF'");
  run_setup_statement(
      s, "ALTER SESSION SET NLS_TIMESTAMP_TZ_FORMAT='YYYY-MM-DD HH24:MI:SSXFF TZH:TZM'");
  if (job.read != 0) {
    run_session_statement(s, "ALTER SESSION SET DB_FILE_MULTIBLOCK_READ_COUNT=%lld", job.read);
  }
  // The area sizes are printed as signed 32-bit numbers, as the database reads them.
  if (job.hash != 0) {
    run_setup_statement(s, "ALTER SESSION SET WORKAREA_SIZE_POLICY=MANUAL");
    run_session_statement(s, "ALTER SESSION SET HASH_AREA_SIZE=%lld",
                          static_cast<int32_t>(static_cast<uint32_t>(job.hash) * 1048576u));
    run_setup_statement(s, "ALTER SESSION SET \"_hash_multiblock_io_count\"=128");
  }
  if (job.serial) run_setup_statement(s, "ALTER SESSION SET \"_serial_direct_read\"=TRUE");
  if (job.sort != 0) {
    long long bytes = static_cast<int32_t>(static_cast<uint32_t>(job.sort) * 1048576u);
    run_setup_statement(s, "ALTER SESSION SET WORKAREA_SIZE_POLICY=MANUAL");
    run_session_statement(s, "ALTER SESSION SET SORT_AREA_SIZE=%lld", bytes);
    run_session_statement(s, "ALTER SESSION SET SORT_AREA_RETAINED_SIZE=%lld", bytes);
    run_setup_statement(s, "ALTER SESSION SET \"_sort_multiblock_read_count\"=128");
  }
  if (job.trace != 0) {
    run_session_statement(
        s, "ALTER SESSION SET EVENTS='10046 TRACE NAME CONTEXT FOREVER,LEVEL %lld'", job.trace);
  }
  if (job.alter[0]) run_alter_pieces(s, job.alter);
}

// Prepares, binds and executes the query; 0 or result 3.
int execute_query(DbSession* s, UnloadJob* job, void* stmt) {
  const DbClient* api = s->api;
  int32_t rc = api->OCIStmtPrepare(stmt, s->error, reinterpret_cast<const unsigned char*>(job->query),
                                   static_cast<uint32_t>(std::strlen(job->query)), OCI_NTV_SYNTAX,
                                   OCI_DEFAULT);
  if (rc != OCI_SUCCESS && report_error(s) != 0) return kResultQueryFailed;

  int binds = job->bind_count < 0 ? 0 : (job->bind_count > kMaxBinds ? kMaxBinds : job->bind_count);
  for (int i = 0; i < binds; ++i) {
    BindVar& b = job->binds[i];
    // Bind results are not tested: a misnamed placeholder shows up as an
    // error of the execute, with the database's own words.
    api->OCIBindByName(stmt, &b.handle, s->error, reinterpret_cast<const unsigned char*>(b.name),
                       b.name_len, b.value, b.value_len, SQLT_CHR, nullptr, nullptr, nullptr, 0,
                       nullptr, OCI_DEFAULT);
  }

  rc = api->OCIStmtExecute(s->service, stmt, s->error, 0, 0, nullptr, nullptr, OCI_DEFAULT);
  if (rc != OCI_SUCCESS && report_error(s) != 0) return kResultQueryFailed;
  return kResultOk;
}

// A signal that came before the rows ends the run at once, with its line.
// Returns the run's result for it, or 0 when no signal has come.
int stopped_by_signal(DbSession* s) {
  const int signal = interrupt_signal();
  if (signal == 0) return kResultOk;
  report_interrupted(s, signal, 0);
  return interrupted_result(signal);
}

// The query, its description and the fetch loop. The statement and the
// column list are released on every path out, the columns first (their
// defines go with the statement).
int unload_query(UnloadJob* job, DbSession* s, const FetchLimits& limits) {
  if (int rc = stopped_by_signal(s)) return rc;
  StatementHandle stmt(s);
  ColumnList columns;
  if (!columns.head() || stmt.allocate() != 0) return kResultQueryFailed;
  int rc = execute_query(s, job, stmt.get());
  if (rc != kResultOk) return rc;
  // The control file, written after the description, is checked like every
  // output, now that the log exists; then it is guarded in turn.
  char control[kControlPathSize];
  const bool has_control = control_file_path(*job, control);
  if (has_control && check_guarded(s, "control", control, file_identity(control)) != 0) {
    return kResultOpenFailed;
  }
  if (describe_select_list(s, stmt.get(), columns.head(), job) < 1) return kResultDescribeFailed;
  if (has_control) {
    write_control_file(columns.first(), *job);
    guard_file(s, "control", control, file_identity(control));
    if (job->file_written) job->file_written(job->file_context, control, 'c', 0, -1, 0);
  }
  if (!job->data) return kResultOk;
  if (int signal_rc = stopped_by_signal(s)) return signal_rc;
  return write_rows(*job, s, stmt.get(), columns.first(), job_fixed_width(*job), limits);
}

// Runs one statement (prepare, execute with `mode`); see run_setup_statement.
int run_statement(DbSession* s, const char* text, uint32_t mode) {
  StatementHandle statement(s);
  if (statement.allocate() != 0) return -1;
  const DbClient* api = s->api;
  void* stmt = statement.get();
  int result = 0;
  bool prepared = true;
  if (api->OCIStmtPrepare(stmt, s->error, reinterpret_cast<const unsigned char*>(text),
                          static_cast<uint32_t>(std::strlen(text)), OCI_NTV_SYNTAX,
                          OCI_DEFAULT) != OCI_SUCCESS) {
    result = report_error(s);
    prepared = result == 0;
  }
  if (prepared && api->OCIStmtExecute(s->service, stmt, s->error, 1, 0, nullptr, nullptr, mode) !=
                      OCI_SUCCESS) {
    result = report_error(s);
  }
  return result;
}

// presql= or postsql=. On the embedded engine a statement that writes waits
// for the write lock the run's snapshot holds, and fails after the busy
// timeout (ORA-00054): one more line names the keyword that lets it write.
int run_user_statement(DbSession* s, const UnloadJob& job, const char* keyword, const char* text) {
  const int rc = run_setup_statement(s, text);
  if (rc == 54 && job.snapshot_lock) session_messagef(s, kMsgSnapshotHoldsLock, keyword);
  return rc;
}

// The vendor's refusals of a read at a system change number: snapshot too
// old, no such number, privileges, a table changed by DDL since then.
bool snapshot_refusal(int32_t code) {
  return code == 1555 || code == 8180 || code == 8181 || code == 1031 || code == 1466;
}

// A worker of a split on the vendor path reads at the run's system change
// number: its session enters flashback at it (after presql=, which may
// write) and leaves it before postsql=. Without EXECUTE on the package the
// call does not compile (ORA-06550); any refusal gets one line naming the
// keyword that turns the snapshot off.
int enter_snapshot(DbSession* s, const UnloadJob& job) {
  char text[kSessionStatementSize];
  std::snprintf(text, sizeof text, "BEGIN DBMS_FLASHBACK.ENABLE_AT_SYSTEM_CHANGE_NUMBER(%llu); END;",
                static_cast<unsigned long long>(job.snapshot_scn));
  const int rc = run_statement(s, text, OCI_DEFAULT);
  if (rc == 0) return kResultOk;
  session_messagef(s, kMsgSnapshotRefused, rc > 0 ? rc : 0);
  return kResultQueryFailed;
}

// Everything after the login: session tuning, presql=, the query, postsql=.
// The first failure is the run's result; the later steps are skipped.
int run_logged_in(UnloadJob* job, DbSession* s, const FetchLimits& limits) {
  tune_session(s, *job);
  int result = kResultOk;
  if (job->presql[0] && run_user_statement(s, *job, "presql", job->presql) != 0) {
    result = kResultPresqlFailed;
  }
  bool at_scn = false;
  if (result == kResultOk && job->snapshot_scn != 0) {
    result = enter_snapshot(s, *job);
    at_scn = result == kResultOk;
  }
  for (BindVar& b : job->binds) b.handle = nullptr;
  if (result == kResultOk) {
    result = unload_query(job, s, limits);
    if (result != kResultOk && at_scn && snapshot_refusal(s->error_code)) {
      session_messagef(s, kMsgSnapshotRefused, s->error_code);
    }
  }
  // The statement took its bind handles with it.
  for (BindVar& b : job->binds) b.handle = nullptr;
  if (at_scn) run_statement(s, "BEGIN DBMS_FLASHBACK.DISABLE; END;", OCI_DEFAULT);
  if (result == kResultOk && job->postsql[0] &&
      run_user_statement(s, *job, "postsql", job->postsql) != 0) {
    result = kResultPostsqlFailed;
  }
  return result;
}

// Options that contradict each other, refused before the login with one
// line (status 1, as a refused argument): a gzip level beyond 12, and
// text=JSON (which writes UTF-8) with a character set that is not UTF-8.
// Without charset= a JSON run asks the client library for UTF-8 itself.
int check_output_options(const UnloadJob& job, DbSession* s) {
  if (codec_for_name(job.file) == Codec::kGzip && job.level > kGzipMaxLevel) {
    session_messagef(s, kMsgGzipLevel, job.level, kGzipMaxLevel, job.file);
    return kResultUsage;
  }
  if (job.format != kFormatJson) return kResultOk;
  const char* names[2] = {job.charset, job.ncharset};
  const uint16_t ids[2] = {job.charset_id, job.ncharset_id};
  for (int i = 0; i < 2; ++i) {
    CharWidth width = CharWidth::kSingleByte;
    const bool utf8 = (charset_width_by_name(names[i], &width) || charset_width_by_id(ids[i], &width)) &&
                      width == CharWidth::kUtf8;
    if (names[i][0] != '\0' && !utf8) {
      session_messagef(s, kMsgJsonCharset, i == 0 ? "charset" : "ncharset", names[i]);
      return kResultUsage;
    }
    if (names[i][0] == '\0' && ids[i] == 0) (i == 0 ? s->charset_id : s->ncharset_id) = kUtf8CharsetId;
  }
  return kResultOk;
}

// The log a single run writes its messages to: its summary follows them.
void note_log_name(RunCounters* counters, const char* name) {
  static_assert(sizeof counters->log_name >= kDataNameSize);
  std::lock_guard<std::mutex> lock(counters->mutex);
  std::snprintf(counters->log_name, sizeof counters->log_name, "%s", name);
}

}  // namespace

int run_setup_statement(DbSession* s, const char* text) {
  return run_statement(s, text, OCI_COMMIT_ON_SUCCESS);
}

int probe_snapshot_scn(DbSession* s, uint64_t scn) {
  char text[kSessionStatementSize];
  std::snprintf(text, sizeof text, "BEGIN DBMS_FLASHBACK.ENABLE_AT_SYSTEM_CHANGE_NUMBER(%llu); END;",
                static_cast<unsigned long long>(scn));
  const int rc = run_statement(s, text, OCI_DEFAULT);
  if (rc == 0) run_statement(s, "BEGIN DBMS_FLASHBACK.DISABLE; END;", OCI_DEFAULT);
  return rc;
}

int run_job(UnloadJob* job, const RunContext& context) {
  settle_statement_text(job);

  DbSession session;
  DbSession* s = &session;
  session_init(s);
  if (job->message_callback) {
    s->callback = job->message_callback;
    s->user_data = job->message_context ? job->message_context : s;
  }
  s->observer = context.observer;
  s->charset_id = job->charset_id;
  s->ncharset_id = job->ncharset_id;

  // Nothing is opened before every output has been checked against the
  // database file and the other outputs; a log that cannot be opened ends
  // the run before the login (its messages would go nowhere).
  guard_database_file(s, job->user);
  FILE* log_file = nullptr;
  char log_name[kDataNameSize] = "";
  int result = open_log_file(*job, s, &log_file, log_name);
  if (result == kResultOk) {
    if (log_file) s->log = log_file;
    result = check_output_options(*job, s);
  }
  if (result == kResultOk && log_file && job->counters) note_log_name(job->counters, log_name);
  if (result == kResultOk) {
    if (connect_session(s, job->user) != 0) {
      result = kResultLoginFailed;
    } else {
      if (job->counters) job->counters->unloading.store(true, std::memory_order_relaxed);
      result = run_logged_in(job, s, context.limits);
    }
    close_session(s);  // also releases whatever a failed login built
  }
  if (log_file) std::fclose(log_file);
  if (job->counters && result == kResultOk) {
    job->counters->pieces_done.fetch_add(1, std::memory_order_relaxed);
  }
  job->result = result;
  return result;
}

void report_run_end(const UnloadJob& job, int result, bool single) {
  RunCounters* c = job.counters;
  if (c == nullptr) return;
  DbSession channel;
  DbSession* s = &channel;
  session_init(s);
  if (job.message_callback) {
    s->callback = job.message_callback;
    s->user_data = job.message_context ? job.message_context : s;
  }
  std::lock_guard<std::mutex> lock(c->mutex);
  FILE* log_file = single && c->log_name[0] != '\0' ? std::fopen(c->log_name, "ab") : nullptr;
  if (log_file) s->log = log_file;
  // A run whose reader closed standard output ends quietly.
  if (c->unloading.load(std::memory_order_relaxed) && result != kResultReaderGone) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - c->start).count();
    const uint64_t rows = c->rows.load(std::memory_order_relaxed);
    char line[256];
    std::snprintf(line, sizeof line, kMsgSummary, static_cast<unsigned long long>(rows),
                  static_cast<unsigned long long>(c->bytes.load(std::memory_order_relaxed)),
                  c->files.load(std::memory_order_relaxed), seconds,
                  seconds > 0 ? static_cast<double>(rows) / seconds : 0.0);
    // Never into the records: with file=- it goes to standard error.
    if (s->log == stdout && std::strcmp(job.file, "-") == 0) s->log = stderr;
    session_message(s, line);
    s->log = log_file ? log_file : stdout;
  }
  for (const std::string& line : c->deferred) session_message(s, line.c_str());
  c->deferred.clear();
  if (log_file) std::fclose(log_file);
}

}  // namespace rowvane
