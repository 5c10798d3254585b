#include "platform/file_io.h"

#include <sys/stat.h>
#include <sys/types.h>

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

int close_descriptor(int fd) {
#ifdef _WIN32
  return _close(fd) == 0 ? 0 : -1;
#else
  return close(fd) == 0 ? 0 : -1;
#endif
}

int64_t file_tell(FILE* f) {
#ifdef _WIN32
  return _ftelli64(f);
#else
  return static_cast<int64_t>(ftello(f));
#endif
}

int file_seek_end(FILE* f) {
#ifdef _WIN32
  return _fseeki64(f, 0, SEEK_END) == 0 ? 0 : -1;
#else
  return fseeko(f, 0, SEEK_END) == 0 ? 0 : -1;
#endif
}

int file_seek(FILE* f, int64_t offset) {
#ifdef _WIN32
  return _fseeki64(f, offset, SEEK_SET) == 0 ? 0 : -1;
#else
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
#endif
}

bool file_is_regular(FILE* f) {
#ifdef _WIN32
  struct _stat64 st;
  return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat st;
  return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

void set_stdout_binary() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace rowvane
