#include "parallel/workers.h"

#include <algorithm>
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
#include "parallel/manifest.h"
#include "parallel/split.h"
#include "parallel/table_list.h"
#include "platform/file_io.h"
#include "platform/interrupt.h"
#include "unload/job_runner.h"
#include "unload/output.h"
#include "unload/output_guard.h"

namespace rowvane {

namespace {

constexpr char kWorkerQuery[] = "SELECT * FROM %s WHERE ROWID >= :minrid AND ROWID < :maxrid";
constexpr size_t kRowidChars = 18;

// The files a worker's latest attempt completed, for the manifest.
struct WrittenFiles {
  std::vector<ManifestFile> files;
  bool lost = false;  // one could not be noted: the piece cannot count as done
};

// A worker's result is the one its job runner stored in its copy; a worker
// whose copy or thread could not be made has none and counts as not started.
struct Worker {
  std::unique_ptr<UnloadJob> job;  // null when the copy could not be allocated
  bool started = false;            // the thread of the latest attempt started
  WrittenFiles written;            // with a manifest: the files of the latest attempt
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
  w.written.files.clear();
  w.written.lost = false;
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

// Collects, on the worker's thread, the files its run completed.
void note_written_file(void* context, const char* name, char kind, uint64_t rows, int64_t bytes,
                       uint32_t crc32) {
  auto* written = static_cast<WrittenFiles*>(context);
  try {
    ManifestFile f;
    f.name = name;
    f.kind = kind;
    f.rows = rows;
    f.bytes = bytes;
    f.crc32 = crc32;
    written->files.push_back(std::move(f));
  } catch (const std::exception&) {
    written->lost = true;  // the piece then cannot count as done
  }
}

// The manifest of a run as its pieces end: each ended piece's state and
// files (with their sizes and checksums, read back from the disk) go in,
// and the manifest is rewritten whole.
class ManifestTracker {
 public:
  ManifestTracker(const char* path, Manifest* m, DbSession* s) : path_(path), m_(m), s_(s) {}

  // numbers[i]: the manifest's piece run as the i-th piece of this run.
  std::vector<size_t> numbers;

  // 0, or kResultWriteFailed after one line (once).
  int write() {
    const int error = write_manifest(path_, *m_);
    if (error == 0) return 0;
    if (failed_ == 0) {
      char reason[128];
      session_messagef(s_, kMsgManifestWrite, path_, system_error_text(error, reason, sizeof reason));
    }
    failed_ = kResultWriteFailed;
    return failed_;
  }

  void ended(size_t i, int32_t result, const WrittenFiles& written) {
    ManifestPiece& p = m_->pieces[numbers[i]];
    p.result = result;
    p.files.clear();
    if (result == 0 && !written.lost) {
      p.state = PieceState::kDone;
      // A rotated pattern without %b replaces its file: the last one stands.
      for (size_t k = 0; k < written.files.size(); ++k) {
        bool replaced = false;
        for (size_t later = k + 1; later < written.files.size(); ++later) {
          replaced = replaced || written.files[later].name == written.files[k].name;
        }
        if (!replaced) p.files.push_back(written.files[k]);
      }
      // Files whose writer summed no CRC-32 (compressed, LOB, control) are
      // read back for it.
      for (ManifestFile& f : p.files) {
        if (f.bytes < 0 && !checksum_file(f.name.c_str(), &f.bytes, &f.crc32)) f.bytes = -1;
      }
    } else {
      p.state = interrupt_signal() != 0 ? PieceState::kUnfinished : PieceState::kFailed;
    }
    write();
  }

  // The run's end: complete when every piece is done.
  int finish() {
    bool all = true;
    for (const ManifestPiece& p : m_->pieces) all = all && p.state == PieceState::kDone;
    m_->state = all ? "complete" : "incomplete";
    write();
    return failed_;
  }

 private:
  const char* path_;
  Manifest* m_;
  DbSession* s_;
  int failed_ = 0;
};

// Makes the worker's copy when it has none. False (with a message) when no
// memory is left for it.
bool ensure_job(Worker& w, const UnloadJob& job, const Piece& piece, DbSession* s,
                const WorkerHooks& hooks, bool tracked) {
  if (w.job) return true;
  const bool with_owner = !embedded_engine(s);
  if (!hooks.fault || hooks.fault(piece.range.index, false) != kFaultNoMemory)
    w.job = make_worker_job(job, piece, with_owner);
  if (w.job) {
    if (tracked) {
      w.job->file_written = note_written_file;
      w.job->file_context = &w.written;
    }
    return true;
  }
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
// failed ones within job.retry. With a tracker, each piece's end goes into
// the manifest as it comes. Returns the sum of the workers' final results,
// or the signal's result after an interruption.
int run_pieces(const UnloadJob& job, DbSession* s, const WorkerHooks& hooks,
               const std::vector<Piece>& pieces, int limit, ManifestTracker* tracker) {
  const int n = static_cast<int>(pieces.size());
  if (job.counters) job.counters->pieces_all.store(static_cast<uint32_t>(n), std::memory_order_relaxed);
  std::vector<Worker> workers(pieces.size());
  std::vector<std::thread> threads(pieces.size());
  std::vector<bool> settled(pieces.size(), false);
  Pool pool;
  auto settle = [&](int i) {
    threads[i].join();
    settled[i] = true;
    if (tracker) tracker->ended(static_cast<size_t>(i), workers[i].result(), workers[i].written);
  };
  auto settle_ended = [&] {
    std::vector<int> ended;
    {
      std::lock_guard<std::mutex> lock(pool.mutex);
      ended.swap(pool.ended);
    }
    for (int i : ended) settle(i);
  };

  // First wave: a piece starts whenever fewer than `limit` run, and each
  // ended one is joined (and recorded) as soon as it ends. A signal stops
  // the starting; the workers already running stop at their next record.
  int next = 0;
  for (;;) {
    bool can_start = false;
    bool idle = false;
    {
      std::unique_lock<std::mutex> lock(pool.mutex);
      pool.changed.wait_for(lock, std::chrono::milliseconds(200), [&] {
        return !pool.ended.empty() || pool.running == 0 || (next < n && pool.running < limit);
      });
      can_start = next < n && pool.running < limit;
      idle = pool.running == 0 && pool.ended.empty();
    }
    settle_ended();
    if (next < n && interrupt_signal() == 0) {
      if (!can_start) continue;
      const int i = next++;
      if (!ensure_job(workers[i], job, pieces[i], s, hooks, tracker != nullptr)) continue;
      threads[i] = start_worker(workers[i], pieces[i].range.index, s, hooks, &pool, i);
      continue;
    }
    if (idle) break;
  }
  settle_ended();

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
        if (!ensure_job(workers[i], job, pieces[i], s, hooks, tracker != nullptr)) continue;
        keep_log_of_failed_attempt(workers[i].job.get());
        threads[i] = start_worker(workers[i], pieces[i].range.index, s, hooks, &pool, i);
        if (threads[i].joinable()) settle(i);
        pool.ended.clear();
      }
      if (!any(true)) break;
    }
  }

  int32_t sum = 0;
  for (int i = 0; i < n; ++i) {
    // A piece whose worker never ran is recorded as failed; one a signal
    // kept from starting stays pending.
    if (tracker && !settled[i] && (i < next || workers[i].job)) {
      tracker->ended(static_cast<size_t>(i), workers[i].result(), workers[i].written);
    }
    sum += workers[i].result();
    workers[i].job.reset();
  }
  if (tracker) sum += tracker->finish();
  // The sum of interrupted workers' results would mean nothing: the run
  // reports the signal, as a single run does.
  if (interrupt_signal() != 0) return interrupted_result(interrupt_signal());
  return sum;
}

// The pieces of a run and the tables they belong to (a many-table run's;
// empty otherwise). Pieces point into tables, which is complete before the
// first piece is added.
struct RunPlan {
  std::vector<TableName> tables;
  std::vector<Piece> pieces;
};

// A run's manifest: on resume the one read back, else the plan's.
class RunManifest {
 public:
  RunManifest(UnloadJob* job, DbSession* s) : job_(job), s_(s) {}

  bool active() const { return job_->manifest[0] != '\0'; }
  bool resuming() const { return resuming_; }

  // Before the snapshot: refuses outputs a redo cannot replace, and on
  // resume reads the manifest and compares its options with the job's.
  // 0 or a result code (one line said why).
  int open() {
    if (!active()) return 0;
    if (job_->data != 0 && (std::strcmp(job_->file, "-") == 0 || job_->file[0] == '+')) {
      session_messagef(s_, kMsgManifestFiles, job_->file);
      return kResultUsage;
    }
    // Not the database file, nor the log.
    if (check_guarded(s_, "manifest", job_->manifest, file_identity(job_->manifest)) != 0) {
      return kResultOpenFailed;
    }
    manifest_options(*job_, &mine_);
    if (job_->resume == kResumeNo) return 0;
    std::string why;
    const int rc = read_manifest(job_->manifest, &m_, &why);
    if (rc == 1) {
      session_messagef(s_, kMsgManifestMissing, job_->manifest);
      return 0;
    }
    if (rc != 0) {
      session_messagef(s_, kMsgManifestUnreadable, job_->manifest, why.c_str());
      return kResultUsage;
    }
    std::string name;
    if (differing_option(m_, mine_, &name)) {
      session_messagef(s_, kMsgManifestOptionDiffers, name.c_str(), job_->manifest);
      return kResultUsage;
    }
    resuming_ = true;
    earlier_runs_ = m_.runs;
    m_.runs.push_back(current_process_id());
    return 0;
  }

  // The run's snapshot: a new run's, or on resume the manifest's when the
  // database still has it (resume=YES), else a new one.
  int snapshot(RunSnapshot* snapshot) {
    if (!job_->snapshot) return 0;
    if (resuming_ && m_.snapshot.kind == "scn" && job_->resume == kResumeYes) {
      const int rc = probe_snapshot_scn(s_, m_.snapshot.scn);
      if (rc != 0) {
        session_messagef(s_, kMsgManifestSnapshotGone, static_cast<unsigned long long>(m_.snapshot.scn),
                         rc > 0 ? rc : 0);
        return kResultSplitFailed;
      }
      job_->snapshot_scn = m_.snapshot.scn;
      return 0;
    }
    const int rc = snapshot->take();
    if (rc != 0 || !resuming_) return rc;
    // Said once the run knows it has pieces to redo.
    if (job_->snapshot_lock) {
      std::snprintf(note_, sizeof note_, "%s", kMsgManifestNewLock);
    } else if (m_.snapshot.kind == "scn") {
      std::snprintf(note_, sizeof note_, kMsgManifestNewScn, static_cast<unsigned long long>(job_->snapshot_scn),
                    static_cast<unsigned long long>(m_.snapshot.scn));
    }
    record_snapshot();
    return 0;
  }

  // A new run's manifest from its plan.
  void plan(const RunPlan& plan, const char* owner, const char* table) {
    m_.options = mine_.options;
    m_.runs.assign(1, current_process_id());
    record_snapshot();
    if (plan.tables.empty()) m_.tables.push_back(ManifestTable{owner, table});
    for (const TableName& t : plan.tables) m_.tables.push_back(ManifestTable{t.owner, t.name});
    for (const Piece& p : plan.pieces) {
      ManifestPiece mp;
      mp.table = p.table ? static_cast<int32_t>(p.table - plan.tables.data()) : 0;
      mp.index = p.range.index;
      mp.whole = p.whole;
      if (!p.whole) {
        mp.min_rowid = p.range.min_rowid;
        mp.max_rowid = p.range.max_rowid;
      }
      m_.pieces.push_back(std::move(mp));
    }
  }

  // A resumed run's plan from the manifest: with_tables for a many-table
  // run, whose pieces point at their tables. False (one line) when a
  // table's name does not fit.
  bool resumed_plan(bool with_tables, RunPlan* plan) {
    if (with_tables) {
      for (const ManifestTable& t : m_.tables) {
        TableName name{};
        if (t.owner.size() >= sizeof name.owner || t.name.size() >= sizeof name.name) {
          session_messagef(s_, kMsgManifestUnreadable, job_->manifest, "a table name is too long");
          return false;
        }
        std::memcpy(name.owner, t.owner.c_str(), t.owner.size() + 1);
        std::memcpy(name.name, t.name.c_str(), t.name.size() + 1);
        plan->tables.push_back(name);
      }
    }
    for (const ManifestPiece& mp : m_.pieces) {
      Piece p{};
      if (with_tables) {
        if (mp.table < 0 || static_cast<size_t>(mp.table) >= plan->tables.size()) {
          session_messagef(s_, kMsgManifestUnreadable, job_->manifest, "a piece names no table");
          return false;
        }
        p.table = &plan->tables[static_cast<size_t>(mp.table)];
      }
      p.range.index = mp.index;
      p.whole = mp.whole;
      std::snprintf(p.range.min_rowid, sizeof p.range.min_rowid, "%s", mp.min_rowid.c_str());
      std::snprintf(p.range.max_rowid, sizeof p.range.max_rowid, "%s", mp.max_rowid.c_str());
      plan->pieces.push_back(p);
    }
    return true;
  }

  // Runs the plan's pieces that are to run: all of a new run; on resume
  // those not done, and done ones whose files have changed since (missing
  // or of another size); only those pieces= chooses. plan=YES writes the
  // manifest and runs none.
  int run(const RunPlan& plan, const WorkerHooks& hooks, int limit) {
    if (!active()) return run_pieces(*job_, s_, hooks, plan.pieces, limit, nullptr);
    std::vector<bool> chosen(m_.pieces.size(), true);
    std::string bad;
    if (job_->pieces[0] != '\0' && !select_pieces(job_->pieces, m_.pieces.size(), &chosen, &bad)) {
      session_messagef(s_, kMsgManifestPieces, bad.c_str(), m_.pieces.size());
      return kResultUsage;
    }
    ManifestTracker tracker(job_->manifest, &m_, s_);
    std::vector<Piece> todo;
    for (size_t i = 0; i < m_.pieces.size(); ++i) {
      if (!chosen[i] || (resuming_ && done_and_intact(i))) continue;
      todo.push_back(plan.pieces[i]);
      tracker.numbers.push_back(i);
    }
    m_.state = job_->plan ? "planned" : "running";
    if (tracker.write() != 0) return kResultOpenFailed;
    if (job_->plan) {
      session_messagef(s_, kMsgManifestPlan, m_.pieces.size(), job_->manifest);
      return 0;
    }
    if (todo.empty()) {
      session_messagef(s_, kMsgManifestAllDone, job_->manifest);
      return tracker.finish();
    }
    if (note_[0] != '\0') session_message(s_, note_);
    if (resuming_) sweep_earlier_runs(plan);
    return run_pieces(*job_, s_, hooks, todo, limit, &tracker);
  }

 private:
  void record_snapshot() {
    m_.snapshot = ManifestSnapshot{};
    m_.snapshot.taken = utc_now_text();
    if (job_->snapshot_lock) m_.snapshot.kind = "lock";
    if (job_->snapshot_scn != 0) {
      m_.snapshot.kind = "scn";
      m_.snapshot.scn = job_->snapshot_scn;
    }
  }

  // Deletes what earlier runs of the manifest left under temporary names
  // (killed, or stopped by a signal with their pieces kept) in the folders
  // of the run's outputs and of the manifest: their pieces are redone now,
  // or were done by a later run. Only names of the form this program gives
  // (".<name>.rvtmp-<process>") of those processes are touched.
  void sweep_earlier_runs(const RunPlan& plan) {
    std::vector<std::string> folders = {std::string(job_->manifest, folder_length(job_->manifest))};
    std::unique_ptr<UnloadJob> named(new (std::nothrow) UnloadJob);
    auto add_folder = [&](const char* pattern, int piece) {
      char name[kDataNameSize];
      if (pattern[0] == '\0' || expand_file_name(pattern, name, sizeof name, 1, piece) < 0) return;
      const char* plain = name[0] == '+' ? name + 1 : name;
      std::string folder(plain, folder_length(plain));
      if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
    };
    for (const Piece& p : plan.pieces) {
      if (!named) break;
      *named = *job_;
      if (p.table) apply_table(named.get(), *p.table);
      add_folder(named->file, p.range.index);
      add_folder(named->lobfile, p.range.index);
      add_folder(named->control, p.range.index);
    }
    const unsigned long self = current_process_id();
    int removed = 0;
    for (uint64_t pid : earlier_runs_) {
      if (pid == self) continue;
      for (const std::string& folder : folders) removed += remove_temporary_names(folder.c_str(), pid);
    }
    if (removed > 0) session_messagef(s_, kMsgManifestSwept, removed);
  }

  bool done_and_intact(size_t i) {
    const ManifestPiece& p = m_.pieces[i];
    if (p.state != PieceState::kDone) return false;
    for (const ManifestFile& f : p.files) {
      int64_t bytes = -1;
      if (f.bytes >= 0 && (!regular_file_size(f.name.c_str(), &bytes) || bytes != f.bytes)) {
        session_messagef(s_, kMsgManifestChanged, f.name.c_str(), i + 1);
        return false;
      }
    }
    return true;
  }

  UnloadJob* job_;
  DbSession* s_;
  Manifest m_;
  Manifest mine_;
  bool resuming_ = false;
  std::vector<uint64_t> earlier_runs_;  // the processes that wrote the manifest before this run
  char note_[160] = "";  // the line saying a resumption reads at a new snapshot
};

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
  RunManifest manifest(job, s);
  rc = manifest.open();
  if (rc != 0) return rc;

  parse_split_name(job);
  fold_split_names(job);
  if (job->owner[0] == '\0') query_current_user(s, job->owner);
  RunSnapshot snapshot(job, s);
  rc = manifest.snapshot(&snapshot);
  if (rc != 0) return rc;
  RunPlan plan;
  if (manifest.resuming()) {
    if (!manifest.resumed_plan(false, &plan)) return kResultUsage;
    return manifest.run(plan, hooks, static_cast<int>(plan.pieces.size()));
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
      if (job->counters) job->counters->unloading.store(true, std::memory_order_relaxed);  // a summary of nothing
      return 0;
    }
    session_messagef(s, kMsgNotCuttable, job->split);
    return kResultSplitFailed;
  }
  if (stop_requested(s)) return interrupted_result(interrupt_signal());
  // A partition's rows have no cheap estimate: no ETA then.
  if (job->counters && job->counters->estimate && job->part[0] == '\0') {
    job->counters->rows_expected.store(estimate_table_rows(s, job->owner, job->split),
                                       std::memory_order_relaxed);
  }

  for (int i = 0; i < list.count; ++i) plan.pieces.push_back(Piece{nullptr, list.ranges[i], false});
  if (manifest.active()) manifest.plan(plan, job->owner, job->split);
  // Every worker at once.
  return manifest.run(plan, hooks, list.count);
}

int run_statement_with_manifest(UnloadJob* job, DbSession* driver_session, const WorkerHooks& hooks) {
  DbSession* s = driver_session;
  guard_database_file(s, job->user);
  RunManifest manifest(job, s);
  int rc = manifest.open();
  if (rc != 0) return rc;
  RunPlan plan;
  if (manifest.resuming()) {
    if (!manifest.resumed_plan(false, &plan)) return kResultUsage;
  } else {
    plan.pieces.push_back(Piece{nullptr, RowidRange{job->piece, {}, {}}, true});
    manifest.plan(plan, "", "");
  }
  // One session reads the statement: there is no snapshot to share.
  return manifest.run(plan, hooks, 1);
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
  RunManifest manifest(job, s);
  rc = manifest.open();
  if (rc != 0) return rc;
  char user[132] = "";
  if (!embedded_engine(s)) query_current_user(s, user);

  // One point in time for every table, taken before the list is read.
  RunSnapshot snapshot(job, s);
  rc = manifest.snapshot(&snapshot);
  if (rc != 0) return rc;
  const int limit = job->degree < 1 ? 1 : job->degree;
  RunPlan plan;
  std::vector<TableName>& tables = plan.tables;
  if (manifest.resuming()) {
    // The tables and pieces of the manifest, whatever the dictionary holds now.
    if (!manifest.resumed_plan(true, &plan)) return kResultUsage;
  } else {
    rc = choose_tables(s, patterns, user, &tables);
    if (rc != 0) {
      session_messagef(s, kMsgTablesList, rc);
      return kResultSplitFailed;
    }
    if (tables.empty()) {
      session_messagef(s, kMsgTablesNoMatch, job->tables);
      return kResultUsage;
    }
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
  if (manifest.resuming()) return manifest.run(plan, hooks, limit);
  for (const TableName& t : tables) {
    rc = add_table_pieces(s, *job, t, &plan.pieces);
    if (rc != 0) return rc;
    if (job->counters && job->counters->estimate) {
      job->counters->rows_expected.fetch_add(estimate_table_rows(s, t.owner, t.name),
                                             std::memory_order_relaxed);
    }
    if (stop_requested(s)) return interrupted_result(interrupt_signal());
  }
  if (manifest.active()) manifest.plan(plan, "", "");
  return manifest.run(plan, hooks, limit);
}

int join_manifests(const UnloadJob& job, DbSession* s) {
  Manifest all;
  size_t count = 0;
  for (const char* p = job.join; *p;) {
    const char* end = std::strchr(p, ',');
    if (!end) end = p + std::strlen(p);
    const std::string name(p, end);
    p = *end ? end + 1 : end;
    Manifest m;
    std::string why;
    const int rc = read_manifest(name.c_str(), &m, &why);
    if (rc == 1) why = "no such file";
    std::string option;
    if (rc == 0 && count > 0) {
      if (differing_option(all, m, &option)) {
        why = "its " + option + "= differs";
      } else if (m.snapshot.kind != all.snapshot.kind || m.snapshot.scn != all.snapshot.scn) {
        why = "its snapshot differs";
      } else if (m.pieces.size() != all.pieces.size() || m.tables.size() != all.tables.size()) {
        why = "its pieces differ";
      }
      for (size_t i = 0; why.empty() && i < m.pieces.size(); ++i) {
        const ManifestPiece& a = all.pieces[i];
        const ManifestPiece& b = m.pieces[i];
        if (a.table != b.table || a.index != b.index || a.min_rowid != b.min_rowid || a.max_rowid != b.max_rowid) {
          why = "its pieces differ";
        }
      }
    }
    if (rc != 0 || !why.empty()) {
      session_messagef(s, kMsgManifestJoin, name.c_str(), why.c_str());
      return kResultUsage;
    }
    if (count++ == 0) {
      all = std::move(m);
      continue;
    }
    // A done piece wins; otherwise any news over a pending one.
    for (size_t i = 0; i < m.pieces.size(); ++i) {
      ManifestPiece& a = all.pieces[i];
      ManifestPiece& b = m.pieces[i];
      if ((b.state == PieceState::kDone && a.state != PieceState::kDone) ||
          (a.state == PieceState::kPending && b.state != PieceState::kPending)) {
        a = std::move(b);
      }
    }
  }
  size_t done = 0;
  for (const ManifestPiece& p : all.pieces) done += p.state == PieceState::kDone;
  all.state = done == all.pieces.size() ? "complete" : "incomplete";
  const int error = write_manifest(job.manifest, all);
  if (error != 0) {
    char reason[128];
    session_messagef(s, kMsgManifestWrite, job.manifest, system_error_text(error, reason, sizeof reason));
    return kResultWriteFailed;
  }
  session_messagef(s, kMsgManifestJoined, count, job.manifest, done, all.pieces.size());
  return 0;
}

}  // namespace rowvane
