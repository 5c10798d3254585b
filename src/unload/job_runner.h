// One complete unload job: session set-up, query, description, unload,
// tear-down.
#pragma once

#include "config/job.h"
#include "config/results.h"
#include "db/session.h"
#include "unload/rows.h"

namespace rowvane {

// What a caller may set around one run besides the job: the fetch loop's
// limits and the observer handed to the embedded engine. A
// value-initialized context is a normal run.
struct RunContext {
  FetchLimits limits;           // zeros: the defaults
  EngineObserver observer;      // tests: what the run asked of the embedded engine
};
static_assert(std::is_trivially_copyable_v<RunContext>);

// Runs the job; returns its result code (config/results.h), which is also
// stored in job->result, once, when the run ends.
int run_job(UnloadJob* job, const RunContext& context);
inline int run_job(UnloadJob* job) { return run_job(job, RunContext{}); }

// Ends a run that had counters (job.counters; nothing without them): the
// summary line when a job of the run got to unloading (not when the reader
// of standard output closed it), then the lines the run deferred (the
// unfinished files kept), so that those stay last. They go to the job's
// message callback, else to standard output, or, for a single run (single)
// with log=, to the end of its log. With file=- the summary goes to
// standard error instead of standard output. result: the run's.
void report_run_end(const UnloadJob& job, int result, bool single);

// One statement outside the query (prepare, execute with commit). Returns
// the nonzero error code of a failure, -1 when no statement handle could be
// allocated, else 0. Failures are reported through the session.
int run_setup_statement(DbSession* s, const char* text);

// Whether the session can still read at a system change number: enters
// flashback at it and leaves it again. 0, or the database's error number
// (its text reported), -1 when no statement handle could be made.
int probe_snapshot_scn(DbSession* s, uint64_t scn);

}  // namespace rowvane
