#include "parallel/workers.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "config/messages.h"
#include "config/run_counters.h"
#include "parallel/split.h"
#include "parallel/table_list.h"
#include "platform/interrupt.h"
#include "unload/job_runner.h"
#include "unload/output.h"
#include "unload/output_guard.h"

namespace rowvane {

namespace {

constexpr char kWorkerQuery[] = "SELECT * FROM %s WHERE ROWID >= :minrid AND ROWID < :maxrid";
constexpr size_t kRowidChars = 18;

// A worker's result is the one its job runner stored in its copy; a worker
// whose copy or thread could not be made has none and counts as not started.
struct Worker {
  std::unique_ptr<UnloadJob> job;  // null when the copy could not be allocated
  bool started = false;            // the thread of the latest attempt started
  int32_t result() const { return job && started ? job->result : kResultWorkerNotStarted; }
};

// One point in time for every worker of the run, held from before the table
// is cut until the last worker (re-runs included) has ended. The embedded
// engine's driver connection holds the database's write lock (BEGIN
// IMMEDIATE): the workers' connections still read, while writers wait for
// it (with a busy timeout longer than the run) and see no change of the
// file in between. On the vendor path the driver reads the current system
// change number once; every worker's session reads at it (the job runner
// enters flashback at that number after presql= and leaves it before
// postsql=). The job's snapshot fields tell the workers; they are cleared
// again when the snapshot ends.
class RunSnapshot {
 public:
  RunSnapshot(UnloadJob* job, DbSession* s) : job_(job), s_(s) {}
  RunSnapshot(const RunSnapshot&) = delete;
  RunSnapshot& operator=(const RunSnapshot&) = delete;
  ~RunSnapshot() {
    // Nothing was written on the driver's connection: ending its
    // transaction only lets the writers go on.
    if (job_->snapshot_lock) run_setup_statement(s_, "ROLLBACK");
    job_->snapshot_lock = 0;
    job_->snapshot_scn = 0;
  }

  // 0, or kResultSplitFailed with the database's text and a line naming the
  // keyword that turns the snapshot off.
  int take() {
    if (embedded_engine(s_)) {
      const int rc = run_setup_statement(s_, "BEGIN IMMEDIATE");
      if (rc != 0) return refused(rc);
      job_->snapshot_lock = 1;
      return 0;
    }
    uint64_t scn = 0;
    const int rc = query_snapshot_scn(s_, &scn);
    if (rc > 0) return refused(rc);
    if (rc != 0) {
      session_message(s_, kMsgSnapshotNumber);
      return kResultSplitFailed;
    }
    job_->snapshot_scn = scn;
    return 0;
  }

 private:
  int refused(int code) {
    session_messagef(s_, kMsgSnapshotRefused, code);
    return kResultSplitFailed;
  }

  UnloadJob* job_;
  DbSession* s_;
};

bool has_piece_code(const char* pattern) { return has_name_code(pattern, 'p'); }

// Patterns that would make workers write the same file are refused: every
// worker would truncate it (or interleave its records with the others'),
// and a re-run would append its rows after the failed attempt's.
int check_output_patterns(const UnloadJob& job, DbSession* s) {
  if (job.data != 0) {
    if (std::strcmp(job.file, "-") == 0) {
      session_message(s, kMsgParallelToStdout);
      return kResultUsage;
    }
    if (!has_piece_code(job.file)) {
      session_messagef(s, kMsgParallelFileName, job.file);
      return kResultUsage;
    }
    if (job.file[0] == '+' && job.retry != 0) {
      session_messagef(s, kMsgParallelAppend, job.file);
      return kResultUsage;
    }
    if (job.lobfile[0] != '\0' && !has_piece_code(job.lobfile)) {
      session_messagef(s, kMsgParallelLobName, job.lobfile);
      return kResultUsage;
    }
  }
  // Every worker would create the same log anew, and the error lines of
  // all but the last would be lost.
  if (job.log[0] != '\0' && !has_piece_code(job.log)) {
    session_messagef(s, kMsgParallelLogName, job.log);
    return kResultUsage;
  }
  if (job.bind_count < 0 || job.bind_count > kMaxBinds - 2) {
    session_messagef(s, kMsgParallelBinds, kMaxBinds - 2);
    return kResultUsage;
  }
  return 0;
}

void append_bind(UnloadJob* job, const char* name, const char* value) {
  BindVar& b = job->binds[job->bind_count++];
  std::memset(&b, 0, sizeof b);
  std::memcpy(b.name, name, 6);
  b.name_len = 6;
  size_t len = strnlen(value, kRowidChars);
  std::memcpy(b.value, value, len);
  b.value_len = static_cast<int32_t>(len);
}

// Appends a name in double quotes (inner quotes doubled), as the split
// names are exact after folding.
void append_quoted(std::string* out, const char* name) {
  *out += '"';
  for (; *name; ++name) {
    if (*name == '"') *out += '"';
    *out += *name;
  }
  *out += '"';
}

// One piece of a run: a ROWID range of a table, or a whole table.
struct Piece {
  const TableName* table;  // null: the driver job's split= table
  RowidRange range;        // range.index is the piece's %p
  bool whole;              // no ROWID bounds: the whole table
};

// Makes job a job of one table of a many-table run: its name in the file
// patterns (%n), in table= (the control file and the insert statements)
// and as the split table. False when a pattern with the name would not fit.
bool apply_table(UnloadJob* job, const TableName& t) {
  struct Field { char* text; size_t size; bool expanded; };
  const Field fields[] = {{job->file, sizeof job->file, true},
                          {job->lobfile, sizeof job->lobfile, true},
                          {job->log, sizeof job->log, true},
                          {job->control, sizeof job->control, false}};
  char named[256];
  for (const Field& f : fields) {
    if (insert_table_name(f.text, t.name, f.expanded, named, sizeof named) < 0 ||
        std::strlen(named) >= f.size) {
      return false;
    }
    std::memcpy(f.text, named, std::strlen(named) + 1);
  }
  std::snprintf(job->table, sizeof job->table, "%s", t.name);
  std::snprintf(job->split, sizeof job->split, "%s", t.name);
  std::snprintf(job->owner, sizeof job->owner, "%s", t.owner);
  job->query[0] = '\0';
  return true;
}

// A copy of the driver's job restricted to one piece, or null when no
// memory is left for it. The generated statement names the owner too, so
// that a table of another schema is read (the embedded engine has no
// schemas).
std::unique_ptr<UnloadJob> make_worker_job(const UnloadJob& job, const Piece& piece,
                                           bool with_owner) {
  std::unique_ptr<UnloadJob> copy(new (std::nothrow) UnloadJob);
  if (!copy) return copy;
  *copy = job;
  if (piece.table) apply_table(copy.get(), *piece.table);  // checked before the run
  if (copy->query[0] == '\0') {
    std::string name;
    if (with_owner && copy->owner[0]) {
      append_quoted(&name, copy->owner);
      name += '.';
    }
    append_quoted(&name, copy->split);
    if (piece.whole) {
      std::snprintf(copy->query, sizeof copy->query, "SELECT * FROM %s", name.c_str());
    } else {
      std::snprintf(copy->query, sizeof copy->query, kWorkerQuery, name.c_str());
    }
  }
  if (!piece.whole) {
    append_bind(copy.get(), "MINRID", piece.range.min_rowid);
    append_bind(copy.get(), "MAXRID", piece.range.max_rowid);
  }
  copy->piece = piece.range.index;
  return copy;
}

// The workers running at one time. A worker ending says so here, so that
// the driver may start the next one and join the ended thread.
struct Pool {
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  std::vector<int> ended;  // workers whose threads are to be joined
};

// Thread entry: runs the job runner (or the test's runner) on its copy,
// which stores its result there; the driver reads it after the join.
void worker_main(UnloadJob* job, WorkerRunner runner, Pool* pool, int slot) {
  if (runner) {
    runner(job);
  } else {
    run_job(job);
  }
  std::lock_guard<std::mutex> lock(pool->mutex);
  --pool->running;
  pool->ended.push_back(slot);
  pool->changed.notify_all();
}

// Starts worker_main on the worker's copy. A thread that cannot be started
// leaves the worker not started, with a message, so it never counts as a
// success.
std::thread start_worker(Worker& w, int index, DbSession* s, const WorkerHooks& hooks, Pool* pool,
                         int slot) {
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    ++pool->running;
  }
  try {
    if (hooks.fault && hooks.fault(index, true) == kFaultNoThread) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    std::thread thread(worker_main, w.job.get(), hooks.runner, pool, slot);
    w.started = true;
    return thread;
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> lock(pool->mutex);
    --pool->running;
    w.started = false;
    session_messagef(s, kMsgWorkerStart, index);
    return std::thread();
  }
}

// Makes the worker's copy when it has none. False (with a message) when no
// memory is left for it.
bool ensure_job(Worker& w, const UnloadJob& job, const Piece& piece, DbSession* s,
                const WorkerHooks& hooks) {
  if (w.job) return true;
  const bool with_owner = !embedded_engine(s);
  if (!hooks.fault || hooks.fault(piece.range.index, false) != kFaultNoMemory)
    w.job = make_worker_job(job, piece, with_owner);
  if (w.job) return true;
  session_messagef(s, kMsgWorkerJob, piece.range.index);
  return false;
}

// A re-run appends to its worker's log, so that the lines of the failed
// attempt stay (a name too long for the "+" keeps replacing it).
void keep_log_of_failed_attempt(UnloadJob* job) {
  size_t len = std::strlen(job->log);
  if (len == 0 || job->log[0] == '+' || len + 1 >= sizeof job->log) return;
  std::memmove(job->log + 1, job->log, len + 1);
  job->log[0] = '+';
}

// A signal stops the branch: no worker starts after it. True (with one line)
// when one has come.
bool stop_requested(DbSession* s) {
  const int signal = interrupt_signal();
  if (signal == 0) return false;
  report_interrupted(s, signal, 0);
  return true;
}

// Runs one worker per piece, at most `limit` at a time, then re-runs the
// failed ones within job.retry. Returns the sum of the workers' final
// results, or the signal's result after an interruption.
int run_pieces(const UnloadJob& job, DbSession* s, const WorkerHooks& hooks,
               const std::vector<Piece>& pieces, int limit) {
  const int n = static_cast<int>(pieces.size());
  if (job.counters) job.counters->pieces_all.store(static_cast<uint32_t>(n), std::memory_order_relaxed);
  std::vector<Worker> workers(pieces.size());
  std::vector<std::thread> threads(pieces.size());
  Pool pool;
  auto join_ended = [&] {
    std::vector<int> ended;
    {
      std::lock_guard<std::mutex> lock(pool.mutex);
      ended.swap(pool.ended);
    }
    for (int i : ended) threads[i].join();
  };

  // First wave. A signal stops the starting too; the workers already
  // running stop at their next record.
  for (int i = 0; i < n && interrupt_signal() == 0; ++i) {
    {
      std::unique_lock<std::mutex> lock(pool.mutex);
      pool.changed.wait(lock, [&] { return pool.running < limit; });
    }
    join_ended();
    if (!ensure_job(workers[i], job, pieces[i], s, hooks)) continue;
    threads[i] = start_worker(workers[i], pieces[i].range.index, s, hooks, &pool, i);
  }
  for (int i = 0; i < n; ++i) {
    if (threads[i].joinable()) threads[i].join();
  }
  pool.ended.clear();

  // Re-runs, one thread at a time, only when some workers succeeded and some
  // failed. The budget is compared at the start of each pass only.
  auto any = [&](bool failed) {
    for (int i = 0; i < n; ++i) {
      if ((workers[i].result() != 0) == failed) return true;
    }
    return false;
  };
  // No re-run starts after a signal, nor during the pause before one.
  if (any(false) && any(true)) {
    unsigned k = 0;
    while (k < job.retry && interrupt_signal() == 0) {
      for (int i = 0; i < n; ++i) {
        if (workers[i].result() == 0) continue;
        for (unsigned t = 0; t < job.sleep && interrupt_signal() == 0; ++t) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (interrupt_signal() != 0) break;
        ++k;
        if (!ensure_job(workers[i], job, pieces[i], s, hooks)) continue;
        keep_log_of_failed_attempt(workers[i].job.get());
        std::thread t = start_worker(workers[i], pieces[i].range.index, s, hooks, &pool, i);
        if (t.joinable()) t.join();
        pool.ended.clear();
      }
      if (!any(true)) break;
    }
  }

  int32_t sum = 0;
  for (int i = 0; i < n; ++i) {
    sum += workers[i].result();
    workers[i].job.reset();
  }
  // The sum of interrupted workers' results would mean nothing: the run
  // reports the signal, as a single run does.
  if (interrupt_signal() != 0) return interrupted_result(interrupt_signal());
  return sum;
}

}  // namespace

int run_parallel_unload(UnloadJob* job, DbSession* driver_session, const WorkerHooks& hooks) {
  DbSession* s = driver_session;
  int rc = check_output_patterns(*job, s);
  if (rc != 0) return rc;
  // The outputs of the first range, checked once here rather than by every
  // worker (each worker still checks its own before opening them).
  guard_database_file(s, job->user);
  char log_name[kDataNameSize] = "";
  if (job->log[0]) expand_file_name(job->log, log_name, sizeof log_name, 0, job->piece);
  rc = check_run_outputs(*job, s, log_name);
  if (rc != 0) return rc;

  parse_split_name(job);
  fold_split_names(job);
  if (job->owner[0] == '\0') query_current_user(s, job->owner);
  RunSnapshot snapshot(job, s);
  if (job->snapshot) {
    rc = snapshot.take();
    if (rc != 0) return rc;
  }
  int d = job->degree < 2 ? 2 : (job->degree > kMaxRanges ? kMaxRanges : job->degree);

  RowidRangeList list;
  list.count = 0;
  uint32_t total = 0;
  rc = count_split_weight(s, job->owner, job->split, job->part, &total);
  if (rc == 0) {
    rc = compute_rowid_ranges(s, job->owner, job->split, job->part, total / static_cast<uint32_t>(d),
                              &list);
  }
  if (rc != 0) {
    // The database's own text, if any, has already been delivered.
    session_messagef(s, kMsgCannotCut, job->split, rc);
    return kResultSplitFailed;
  }
  if (list.count == 0) {
    // No storage piece: an empty table, or a name that is no table whose
    // rows can be cut by ROWID (a view, a missing name, a table without row
    // identifiers). Reading the name itself tells them apart.
    int rows = probe_split_table(s, job->owner, job->split);
    if (rows == 0) {
      session_messagef(s, kMsgTableEmpty, job->split);
      return 0;
    }
    session_messagef(s, kMsgNotCuttable, job->split);
    return kResultSplitFailed;
  }
  if (stop_requested(s)) return interrupted_result(interrupt_signal());
  // A partition's rows have no cheap estimate: no ETA then.
  if (job->counters && job->part[0] == '\0') {
    job->counters->rows_expected.store(estimate_table_rows(s, job->owner, job->split),
                                       std::memory_order_relaxed);
  }

  std::vector<Piece> pieces;
  for (int i = 0; i < list.count; ++i) pieces.push_back(Piece{nullptr, list.ranges[i], false});
  // Every worker at once.
  return run_pieces(*job, s, hooks, pieces, list.count);
}

namespace {

// The patterns of a many-table run: each table needs its own data, LOB,
// log and control files (%n), and with degree above 1 each piece of a
// table its own (%p, as in a parallel run).
int check_table_patterns(const UnloadJob& job, DbSession* s) {
  if (job.query[0] != '\0' || job.sql[0] != '\0' || job.split[0] != '\0') {
    session_message(s, kMsgTablesAlone);
    return kResultUsage;
  }
  if (job.degree > 1) {
    const int rc = check_output_patterns(job, s);
    if (rc != 0) return rc;
  }
  if (job.data != 0 && std::strcmp(job.file, "-") == 0) {
    session_message(s, kMsgParallelToStdout);
    return kResultUsage;
  }
  if (job.data != 0 && job.file[0] == '+' && job.retry != 0) {
    session_messagef(s, kMsgParallelAppend, job.file);
    return kResultUsage;
  }
  const struct {
    const char* what;
    const char* pattern;
    bool needed;
  } names[] = {{"data", job.file, job.data != 0},
               {"lob", job.lobfile, job.data != 0 && job.lobfile[0] != '\0'},
               {"log", job.log, job.log[0] != '\0'},
               {"control", job.control, job.control[0] != '\0'}};
  for (const auto& n : names) {
    if (n.needed && !has_name_code(n.pattern, 'n')) {
      session_messagef(s, kMsgTablesNameCode, n.what, n.pattern);
      return kResultUsage;
    }
  }
  return 0;
}

// The pieces of one table: its ROWID ranges when degree is above 1 (as a
// parallel run cuts it), else, or when it has no row identifiers or no
// storage piece to cut (an empty table), the whole table as piece 1.
int add_table_pieces(DbSession* s, const UnloadJob& job, const TableName& t,
                     std::vector<Piece>* pieces) {
  Piece whole{&t, RowidRange{1, {}, {}}, true};
  if (job.degree <= 1 || t.whole) {
    pieces->push_back(whole);
    return 0;
  }
  const int d = job.degree > kMaxRanges ? kMaxRanges : job.degree;
  RowidRangeList list;
  list.count = 0;
  uint32_t total = 0;
  int rc = count_split_weight(s, t.owner, t.name, "", &total);
  if (rc == 0) {
    rc = compute_rowid_ranges(s, t.owner, t.name, "", total / static_cast<uint32_t>(d), &list);
  }
  if (rc != 0) {
    session_messagef(s, kMsgCannotCut, t.name, rc);
    return kResultSplitFailed;
  }
  if (list.count == 0) pieces->push_back(whole);
  for (int i = 0; i < list.count; ++i) pieces->push_back(Piece{&t, list.ranges[i], false});
  return 0;
}

}  // namespace

int run_many_tables(UnloadJob* job, DbSession* driver_session, const WorkerHooks& hooks) {
  DbSession* s = driver_session;
  int rc = check_table_patterns(*job, s);
  if (rc != 0) return rc;
  std::vector<TablePattern> patterns;
  char bad[160];
  if (parse_table_list(job->tables, &patterns, bad, sizeof bad) != 0) {
    session_messagef(s, kMsgTablesPattern, bad);
    return kResultUsage;
  }
  guard_database_file(s, job->user);
  char user[132] = "";
  if (!embedded_engine(s)) query_current_user(s, user);

  // One point in time for every table, taken before the list is read.
  RunSnapshot snapshot(job, s);
  if (job->snapshot) {
    rc = snapshot.take();
    if (rc != 0) return rc;
  }
  std::vector<TableName> tables;
  rc = choose_tables(s, patterns, user, &tables);
  if (rc != 0) {
    session_messagef(s, kMsgTablesList, rc);
    return kResultSplitFailed;
  }
  if (tables.empty()) {
    session_messagef(s, kMsgTablesNoMatch, job->tables);
    return kResultUsage;
  }
  // Every table's names are checked before the first worker starts.
  std::unique_ptr<UnloadJob> probe(new (std::nothrow) UnloadJob);
  if (!probe) {
    session_messagef(s, kMsgWorkerJob, 1);
    return kResultWorkerNotStarted;
  }
  for (const TableName& t : tables) {
    *probe = *job;
    if (!apply_table(probe.get(), t)) {
      session_messagef(s, kMsgTablesNameTooLong, t.name);
      return kResultUsage;
    }
  }
  probe.reset();
  std::vector<Piece> pieces;
  for (const TableName& t : tables) {
    rc = add_table_pieces(s, *job, t, &pieces);
    if (rc != 0) return rc;
    if (job->counters) {
      job->counters->rows_expected.fetch_add(estimate_table_rows(s, t.owner, t.name),
                                             std::memory_order_relaxed);
    }
    if (stop_requested(s)) return interrupted_result(interrupt_signal());
  }
  return run_pieces(*job, s, hooks, pieces, job->degree < 1 ? 1 : job->degree);
}

}  // namespace rowvane
