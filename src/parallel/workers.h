// The parallel unload: one worker thread per ROWID range.
#pragma once

#include "config/job.h"
#include "db/session.h"

namespace rowvane {

// Result of a worker that never ran: its job copy could not be allocated or
// its thread could not be started. The same value a fresh job holds before
// any run; it counts as a failure in the exit value.
constexpr int kResultWorkerNotStarted = 1;
// Exit value when the split table cannot be cut into ranges: the range
// statements failed, or the name is no table with row identifiers.
constexpr int kSplitFailed = 4;

// Computes the ranges on the driver's session, runs one job copy per range,
// re-runs failed workers within job->retry and returns the sum of the
// workers' final results. Refuses (non-zero, before any worker starts, one
// line through the driver session) output patterns that would make workers
// share a file: "-", a data or LOB file name without "%p", and a "+" data
// pattern while re-runs are allowed. Runs on the driver's thread; reads a
// copy's result only after its thread has been joined.
int run_parallel_unload(UnloadJob* job, DbSession* driver_session);

// Thread entry: runs the job runner on its copy (which stores its result).
void worker_main(UnloadJob* job);

// Test hook: the function worker_main runs instead of run_job (null restores
// run_job). Set it only while no worker runs.
typedef int (*WorkerRunner)(UnloadJob* job);
void set_worker_runner(WorkerRunner runner);

// Test hook: asked with the range number before a job copy is allocated and
// before a worker thread starts; kFaultNoMemory makes the allocation fail,
// kFaultNoThread the thread start. Null (the default) injects nothing.
enum WorkerFault : int { kFaultNone = 0, kFaultNoMemory = 1, kFaultNoThread = 2 };
typedef WorkerFault (*WorkerFaultHook)(int piece, bool starting_thread);
void set_worker_fault_hook(WorkerFaultHook hook);

}  // namespace rowvane
