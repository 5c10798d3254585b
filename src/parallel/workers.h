// The parallel unload: one worker thread per ROWID range.
#pragma once

#include "config/job.h"
#include "db/session.h"

namespace rowvane {

// Computes the ranges on the driver's session, runs one job copy per range,
// re-runs failed workers within job->retry and returns the sum of the
// workers' final results.
int run_parallel_unload(UnloadJob* job, DbSession* driver_session);

// Thread entry: runs the job runner on its copy.
void worker_main(UnloadJob* job);

}  // namespace rowvane
