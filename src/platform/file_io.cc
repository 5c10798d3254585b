#include "platform/file_io.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace rowvane {

int file_descriptor(FILE* f) {
#ifdef _WIN32
  return _fileno(f);
#else
  return fileno(f);
#endif
}

int duplicate_descriptor(int fd) {
#ifdef _WIN32
  return _dup(fd);
#else
  return dup(fd);
#endif
}

void set_stdout_binary() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace rowvane
