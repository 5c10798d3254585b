#include "platform/terminal.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace rowvane {

namespace {

bool is_terminal(FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

}  // namespace

bool stdin_is_terminal() { return is_terminal(stdin); }
bool stderr_is_terminal() { return is_terminal(stderr); }
bool stdout_is_terminal() { return is_terminal(stdout); }

namespace {

// Reads one line from standard input into out; -1 when it does not fit or
// nothing could be read.
int read_line_into(char* out, size_t cap) {
  if (std::fgets(out, static_cast<int>(cap), stdin) == nullptr) return -1;
  size_t n = std::strlen(out);
  if (n > 0 && out[n - 1] == '\n') {
    out[--n] = '\0';
  } else if (!std::feof(stdin)) {
    // The line goes on past cap: read it off and refuse it.
    int c;
    while ((c = std::getc(stdin)) != EOF && c != '\n') {
    }
    std::memset(out, 0, cap);
    return -1;
  }
  if (n > 0 && out[n - 1] == '\r') out[--n] = '\0';
  return 0;
}

}  // namespace

int read_secret_line(const char* prompt, char* out, size_t cap) {
  if (cap < 2 || !stdin_is_terminal()) return -1;
  // Echo goes off before the prompt appears, so that nothing typed after
  // it is ever shown.
#ifdef _WIN32
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool have_mode = GetConsoleMode(in, &mode) != 0;
  if (have_mode) SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  const int rc = read_line_into(out, cap);
  if (have_mode) SetConsoleMode(in, mode);
  if (rc == 0) std::fputs("\n", stderr);  // the console does not echo the line end
#else
  termios saved;
  const bool have_mode = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (have_mode) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  const int rc = read_line_into(out, cap);
  if (have_mode) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
#endif
  if (rc != 0) std::fputs("\n", stderr);
  return rc;
}

}  // namespace rowvane
