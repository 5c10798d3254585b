// The request to stop a run early: SIGINT, SIGTERM or SIGHUP (on Windows the
// console's control events), recorded by a handler and polled by the fetch
// loop, which then ends the run at a record boundary with every file closed.
#pragma once

namespace rowvane {

// Installs the handlers; the console program calls it once, before any run.
// Each handler only stores its signal number in a lock-free atomic integer
// (safe in a signal handler and between threads); the first signal of each
// kind is caught, a second one of the same kind has its default effect and
// ends the process at once. SIGPIPE is ignored, so that a closed standard
// output shows up as a failed write (EPIPE) the run can end on quietly.
// Windows: a console control handler maps Ctrl-C and Ctrl-Break to SIGINT,
// closing the console to SIGHUP, log-off and shut-down to SIGTERM.
// The library interface never calls this: the host owns its signals.
void install_interrupt_handlers();

// The number of the signal that asked the run to stop (2 SIGINT, 15
// SIGTERM, 1 SIGHUP, the same numbers on every platform), or 0. One relaxed
// atomic load: cheap enough to call once per record.
int interrupt_signal();

// Records a request as a handler would (0 clears it). Tests use it.
void set_interrupt_signal(int signal);

// "SIGINT", "SIGTERM", "SIGHUP", or "signal" for any other number.
const char* interrupt_signal_name(int signal);

}  // namespace rowvane
