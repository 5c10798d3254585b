#include "platform/interrupt.h"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#include <windows.h>
#endif

namespace rowvane {
namespace {

constexpr int kSigHup = 1;
constexpr int kSigInt = 2;
constexpr int kSigTerm = 15;

// The number of the first stop signal; one of the two mutable process
// globals of the system (the other is the registry of loaded vendor tables),
// since a signal handler can reach nothing else. A handler may only touch
// lock-free atomics (or volatile sig_atomic_t).
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> g_signal{0};

#ifdef _WIN32
BOOL WINAPI on_console_event(DWORD type) {
  int sig = 0;
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: sig = kSigInt; break;
    case CTRL_CLOSE_EVENT: sig = kSigHup; break;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: sig = kSigTerm; break;
    default: return FALSE;
  }
  // A second request takes the default way out at once.
  int expected = 0;
  if (!g_signal.compare_exchange_strong(expected, sig, std::memory_order_relaxed)) return FALSE;
  // The process ends when this handler returns from a close, log-off or
  // shut-down event: give the run a moment to close its files first.
  if (sig != kSigInt) Sleep(4000);
  return TRUE;
}
#else
extern "C" void on_signal(int sig) {
  int expected = 0;
  g_signal.compare_exchange_strong(expected, sig, std::memory_order_relaxed);
}
#endif

}  // namespace

void install_interrupt_handlers() {
#ifdef _WIN32
  SetConsoleCtrlHandler(on_console_event, TRUE);
#else
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  // SA_RESETHAND: the next signal of the same kind ends the process.
  // SA_RESTART: a write the signal arrives in finishes rather than failing
  // with EINTR, so the records before the stop still reach the file.
  sa.sa_flags = SA_RESETHAND | SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

int interrupt_signal() { return g_signal.load(std::memory_order_relaxed); }

void set_interrupt_signal(int signal) { g_signal.store(signal, std::memory_order_relaxed); }

const char* interrupt_signal_name(int signal) {
  switch (signal) {
    case kSigInt: return "SIGINT";
    case kSigTerm: return "SIGTERM";
    case kSigHup: return "SIGHUP";
    default: return "signal";
  }
}

}  // namespace rowvane
