// Every result code a run, a parallel run or the program can end with. The
// codes are the program's exit values and the results of the library's run
// call; every step of a run returns one of them, and the job runner
// stores a run's result in its job record once, at the end of the run.
// include/rowvane.h repeats the numbers for the library's hosts.
#pragma once

namespace rowvane {

// Every step succeeded.
constexpr int kResultOk = 0;
// The login failed (environment, attach, user and password, session begin);
// the database's text has been delivered.
constexpr int kResultLoginFailed = -1;
// The library's run call got no handle: nothing ran.
constexpr int kResultNoHandle = -1;
// The run never started: bad options or arguments, a refused combination of
// them (among them the output patterns a parallel run refuses, a gzip
// level above 12, text=JSON with a character set that is not UTF-8), a failed
// login of the driver's own session; also the end of crypt=, which only
// prints the encrypted login.
constexpr int kResultUsage = 1;
// A worker of a parallel run that never ran: its job copy could not be
// allocated or its thread could not be started. The same value a fresh job
// holds before any run, so it counts as a failure in the exit sum.
constexpr int kResultWorkerNotStarted = 1;
// A write to an output file failed (data, lob file, compressed stream, a close
// that flushed buffered bytes), or the record buffer could not be allocated.
constexpr int kResultWriteFailed = 2;
// The query could not be prepared, bound or executed, or its statement
// handle could not be allocated.
constexpr int kResultQueryFailed = 3;
// The table of a parallel run cannot be cut into ROWID ranges: the range
// statements failed, or the name is no table with row identifiers.
constexpr int kResultSplitFailed = 4;
// The select list could not be described or defined, or a statement text
// built from it (INSERT head, update clause) is too long.
constexpr int kResultDescribeFailed = 5;
// An output could not be opened, its name does not fit, or it would replace
// the database file, the log, the control file or another output.
constexpr int kResultOpenFailed = 6;
// A fetch failed with an error not tolerated by errors=, tolerated errors
// kept coming without rows, a LOB could not be read whole, or text=JSON met
// a value that is not UTF-8 under badchar=ERROR.
constexpr int kResultFetchFailed = 7;
// The statement of presql= failed.
constexpr int kResultPresqlFailed = 8;
// The statement of postsql= failed.
constexpr int kResultPostsqlFailed = 9;
// A run stopped by SIGINT, SIGTERM or SIGHUP returns 128 + the signal's
// number (130, 143, 129), as a shell reports a process the signal ended.
constexpr int kResultInterruptedBase = 128;
// The reader of standard output (or of a pipe named by file=) closed it:
// the run ends quietly with 141, 128 + the number of SIGPIPE.
constexpr int kResultReaderGone = 141;

// The result of a run interrupted by `signal`.
inline int interrupted_result(int signal) { return kResultInterruptedBase + signal; }

}  // namespace rowvane
