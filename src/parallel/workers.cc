#include "parallel/workers.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "config/messages.h"
#include "parallel/split.h"
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

bool embedded_engine(const DbSession* s) {
  return s->api && s->api->engine_name && std::strcmp(s->api->engine_name, "embedded") == 0;
}

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

// True when the file-name pattern contains the piece code (%p, any case).
bool has_piece_code(const char* pattern) {
  for (const char* p = pattern; *p; ++p) {
    if (*p != '%') continue;
    if (p[1] == '\0') break;
    if (p[1] == 'p' || p[1] == 'P') return true;
    ++p;  // skip the code, so "%%p" stays a literal
  }
  return false;
}

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

// A copy of the driver's job restricted to one range, or null when no memory
// is left for it. The generated statement names the owner too, so that a
// table of another schema is read (the embedded engine has no schemas).
std::unique_ptr<UnloadJob> make_worker_job(const UnloadJob& job, const RowidRange& range,
                                           bool with_owner) {
  std::unique_ptr<UnloadJob> copy(new (std::nothrow) UnloadJob);
  if (!copy) return copy;
  *copy = job;
  if (copy->query[0] == '\0') {
    std::string name;
    if (with_owner && copy->owner[0]) {
      append_quoted(&name, copy->owner);
      name += '.';
    }
    append_quoted(&name, copy->split);
    std::snprintf(copy->query, sizeof copy->query, kWorkerQuery, name.c_str());
  }
  append_bind(copy.get(), "MINRID", range.min_rowid);
  append_bind(copy.get(), "MAXRID", range.max_rowid);
  copy->piece = range.index;
  return copy;
}

// Thread entry: runs the job runner (or the test's runner) on its copy,
// which stores its result there; the driver reads it after the join.
void worker_main(UnloadJob* job, WorkerRunner runner) {
  if (runner) {
    runner(job);
  } else {
    run_job(job);
  }
}

// Starts worker_main on the worker's copy. A thread that cannot be started
// leaves the worker not started, with a message, so it never counts as a
// success.
std::thread start_worker(Worker& w, int index, DbSession* s, const WorkerHooks& hooks) {
  try {
    if (hooks.fault && hooks.fault(index, true) == kFaultNoThread) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    std::thread thread(worker_main, w.job.get(), hooks.runner);
    w.started = true;
    return thread;
  } catch (const std::exception&) {
    w.started = false;
    session_messagef(s, kMsgWorkerStart, index);
    return std::thread();
  }
}

// Makes the worker's copy when it has none. False (with a message) when no
// memory is left for it.
bool ensure_job(Worker& w, const UnloadJob& job, const RowidRange& range, DbSession* s,
                const WorkerHooks& hooks) {
  if (w.job) return true;
  const bool with_owner = !embedded_engine(s);
  if (!hooks.fault || hooks.fault(range.index, false) != kFaultNoMemory)
    w.job = make_worker_job(job, range, with_owner);
  if (w.job) return true;
  session_messagef(s, kMsgWorkerJob, range.index);
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

  const int n = list.count;
  std::array<Worker, kMaxRanges> workers;
  std::array<std::thread, kMaxRanges> threads;

  // First wave: every worker at once. A signal stops the starting too; the
  // workers already running stop at their next record.
  for (int i = 0; i < n && interrupt_signal() == 0; ++i) {
    if (!ensure_job(workers[i], *job, list.ranges[i], s, hooks)) continue;
    threads[i] = start_worker(workers[i], list.ranges[i].index, s, hooks);
  }
  for (int i = 0; i < n; ++i) {
    if (threads[i].joinable()) threads[i].join();
  }

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
    while (k < job->retry && interrupt_signal() == 0) {
      for (int i = 0; i < n; ++i) {
        if (workers[i].result() == 0) continue;
        for (unsigned t = 0; t < job->sleep && interrupt_signal() == 0; ++t) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (interrupt_signal() != 0) break;
        ++k;
        if (!ensure_job(workers[i], *job, list.ranges[i], s, hooks)) continue;
        keep_log_of_failed_attempt(workers[i].job.get());
        std::thread t = start_worker(workers[i], list.ranges[i].index, s, hooks);
        if (t.joinable()) t.join();
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

}  // namespace rowvane
