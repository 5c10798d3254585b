// One complete unload job: session set-up, query, description, unload,
// tear-down.
#pragma once

#include "config/job.h"
#include "db/session.h"

namespace rowvane {

// Result codes of a run.
constexpr int kResultOk = 0;
constexpr int kResultLoginFailed = -1;
constexpr int kResultWriteFailed = 2;
constexpr int kResultQueryFailed = 3;
constexpr int kResultDescribeFailed = 5;
constexpr int kResultOpenFailed = 6;
constexpr int kResultFetchFailed = 7;
constexpr int kResultPresqlFailed = 8;
constexpr int kResultPostsqlFailed = 9;
// A run stopped by SIGINT, SIGTERM or SIGHUP returns 128 + the signal's
// number (130, 143, 129), as a shell reports a process the signal ended.
constexpr int kResultInterruptedBase = 128;
// The reader of standard output (or of a pipe named by file=) closed it:
// the run ends quietly with 141, 128 + the number of SIGPIPE.
constexpr int kResultReaderGone = 141;

// The result of a run interrupted by `signal`.
inline int interrupted_result(int signal) { return kResultInterruptedBase + signal; }

// Runs the job; returns the result code, also stored in job->result.
int run_job(UnloadJob* job);

// One statement outside the query (prepare, execute with commit). Returns
// the nonzero error code of a failure, -1 when no statement handle could be
// allocated, else 0. Failures are reported through the session.
int run_setup_statement(DbSession* s, const char* text);

}  // namespace rowvane
