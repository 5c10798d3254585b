// The parallel unload: one worker thread per ROWID range.
#pragma once

#include "config/job.h"
#include "config/results.h"
#include "db/session.h"

namespace rowvane {

// The test hooks of a parallel run.
// The function a worker runs instead of run_job; it stores its result in the
// job as run_job does.
typedef int (*WorkerRunner)(UnloadJob* job);
// Asked with the range number before a job copy is allocated and before a
// worker thread starts; kFaultNoMemory makes the allocation fail,
// kFaultNoThread the thread start.
enum WorkerFault : int { kFaultNone = 0, kFaultNoMemory = 1, kFaultNoThread = 2 };
typedef WorkerFault (*WorkerFaultHook)(int piece, bool starting_thread);
struct WorkerHooks {
  WorkerRunner runner;    // null: run_job
  WorkerFaultHook fault;  // null: nothing injected
};
static_assert(std::is_trivially_copyable_v<WorkerHooks>);

// Computes the ranges on the driver's session, runs one job copy per range,
// re-runs failed workers within job->retry and returns the sum of the
// workers' final results. Refuses (non-zero, before any worker starts, one
// line through the driver session) output patterns that would make workers
// share a file: "-", a data or LOB file name without "%p", and a "+" data
// pattern while re-runs are allowed. Runs on the driver's thread; reads a
// copy's result only after its thread has been joined. Results are those of
// config/results.h: kResultUsage for a refusal, kResultSplitFailed when the
// table cannot be cut, kResultWorkerNotStarted for each worker that never
// ran, the signal's result after an interruption.
int run_parallel_unload(UnloadJob* job, DbSession* driver_session,
                        const WorkerHooks& hooks = WorkerHooks{});

// With manifest=FILE the runs below write FILE as their pieces end (see
// parallel/manifest.h); with resume= they redo only what it shows
// unfinished, with plan=YES they write it and unload nothing, and
// pieces= runs only the pieces it lists.

// A many-table run (tables=): takes the run's snapshot once, reads the
// tables the list chooses from the dictionary, and unloads each as
// "SELECT * FROM owner.table" (quoted names), cut into ROWID ranges as
// run_parallel_unload cuts its table when degree is above 1. At most
// degree workers run at once over the pieces of all tables; failed ones
// are re-run as in run_parallel_unload. %n in file=, lobfile=, log= and
// control= becomes each table's name and is required in each given one
// (file= always). Refusals (kResultUsage, one line): no table chosen, a
// bad entry, a missing %n or %p, query=/sql=/split= given too. Returns the
// sum of the workers' results or the signal's result.
int run_many_tables(UnloadJob* job, DbSession* driver_session,
                    const WorkerHooks& hooks = WorkerHooks{});

// A run of query= or sql= with manifest=: one piece, run as a worker of a
// parallel run, so that its files, their rows and checksums go into the
// manifest (and a resumed run redoes it unless it is done).
int run_statement_with_manifest(UnloadJob* job, DbSession* driver_session,
                                const WorkerHooks& hooks = WorkerHooks{});

// With manifest= and join=: joins the manifests join= lists (written by
// runs of chosen pieces of one plan, on other hosts, say) into manifest=:
// every piece as done as in any of them. They must agree on options,
// snapshot, tables and pieces. 0, or kResultUsage after one line.
int join_manifests(const UnloadJob& job, DbSession* s);

}  // namespace rowvane
