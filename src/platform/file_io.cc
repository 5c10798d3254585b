#include "platform/file_io.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
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

#ifdef _WIN32
namespace {

FileIdentity identity_of_handle(HANDLE h) {
  FileIdentity id{0, 0, FileKind::kUnknown};
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)) {
    id.kind = FileKind::kOther;
    return id;
  }
  id.device = info.dwVolumeSerialNumber;
  id.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::kFolder : FileKind::kRegular;
  return id;
}

}  // namespace

FileIdentity file_identity(const char* name) {
  // Backup semantics lets a folder be opened too; no access is asked for.
  HANDLE h = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    bool missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME;
    return FileIdentity{0, 0, missing ? FileKind::kMissing : FileKind::kUnknown};
  }
  FileIdentity id = identity_of_handle(h);
  CloseHandle(h);
  return id;
}

FileIdentity open_file_identity(FILE* f) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  if (h == INVALID_HANDLE_VALUE) return FileIdentity{0, 0, FileKind::kUnknown};
  return identity_of_handle(h);
}
#else
namespace {

FileIdentity identity_of_stat(const struct stat& st) {
  FileIdentity id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), FileKind::kOther};
  if (S_ISREG(st.st_mode)) id.kind = FileKind::kRegular;
  if (S_ISDIR(st.st_mode)) id.kind = FileKind::kFolder;
  return id;
}

}  // namespace

FileIdentity file_identity(const char* name) {
  struct stat st;
  if (stat(name, &st) != 0) {
    bool missing = errno == ENOENT || errno == ENOTDIR;
    return FileIdentity{0, 0, missing ? FileKind::kMissing : FileKind::kUnknown};
  }
  return identity_of_stat(st);
}

FileIdentity open_file_identity(FILE* f) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return FileIdentity{0, 0, FileKind::kUnknown};
  return identity_of_stat(st);
}
#endif

bool same_regular_file(const FileIdentity& a, const FileIdentity& b) {
  return a.kind == FileKind::kRegular && b.kind == FileKind::kRegular && a.device == b.device &&
         a.inode == b.inode;
}

unsigned long current_process_id() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

size_t folder_length(const char* name) {
  size_t base = std::strlen(name);
  while (base > 0 && name[base - 1] != '/'
#ifdef _WIN32
         && name[base - 1] != '\\' && name[base - 1] != ':'
#endif
  ) {
    --base;
  }
  return base;
}

bool temporary_name(const char* name, char* out, size_t size) {
  if (!out || size == 0) return false;
  out[0] = '\0';
  const size_t base = folder_length(name);
  int n = std::snprintf(out, size, "%.*s.%s.rvtmp-%lu", static_cast<int>(base), name, name + base,
                        current_process_id());
  if (n < 0 || static_cast<size_t>(n) >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

int remove_temporary_names(const char* folder, unsigned long pid) {
  char tail[32];
  std::snprintf(tail, sizeof tail, ".rvtmp-%lu", pid);
  const size_t tail_len = std::strlen(tail);
  auto left_by_pid = [&](const char* entry) {
    const size_t n = std::strlen(entry);
    return entry[0] == '.' && n > tail_len + 1 && std::strcmp(entry + n - tail_len, tail) == 0;
  };
  int removed = 0;
  std::string path;
#ifdef _WIN32
  const std::string pattern = std::string(folder) + "*" + tail;
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA(pattern.c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return 0;
  do {
    path = std::string(folder) + found.cFileName;
    if (left_by_pid(found.cFileName) && DeleteFileA(path.c_str())) ++removed;
  } while (FindNextFileA(h, &found));
  FindClose(h);
#else
  DIR* dir = opendir(*folder ? folder : ".");
  if (!dir) return 0;
  while (const dirent* entry = readdir(dir)) {
    path = std::string(folder) + entry->d_name;
    if (left_by_pid(entry->d_name) && std::remove(path.c_str()) == 0) ++removed;
  }
  closedir(dir);
#endif
  return removed;
}

bool renamable_output(const char* name) {
#ifdef _WIN32
  DWORD a = GetFileAttributesA(name);
  if (a == INVALID_FILE_ATTRIBUTES) return true;
  if (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) return false;
  // Device names (NUL, CON, ...) have attributes too but are no disk file.
  HANDLE h = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return true;
  bool disk = GetFileType(h) == FILE_TYPE_DISK;
  CloseHandle(h);
  return disk;
#else
  struct stat st;
  if (lstat(name, &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode);
#endif
}

int rename_replacing(const char* from, const char* to) {
#ifdef _WIN32
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
  errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
  return -1;
#else
  return std::rename(from, to) == 0 ? 0 : -1;
#endif
}

int last_system_error() { return errno; }

namespace {

// strerror_r comes in two shapes: the XSI one returns 0 and fills the
// buffer, the GNU one returns the text (which may not be the buffer).
[[maybe_unused]] const char* error_text_result(int rc, const char* buf) {
  return rc == 0 ? buf : "unknown error";
}
[[maybe_unused]] const char* error_text_result(const char* text, const char*) {
  return text ? text : "unknown error";
}

}  // namespace

const char* system_error_text(int error, char* buf, size_t size) {
  if (!buf || size == 0) return "";
  buf[0] = '\0';
#ifdef _WIN32
  if (strerror_s(buf, size, error) != 0) std::snprintf(buf, size, "error %d", error);
#else
  const char* text = error_text_result(strerror_r(error, buf, size), buf);
  if (text != buf) std::snprintf(buf, size, "%s", text);
#endif
  return buf;
}

bool is_closed_pipe_error(int error) { return error == EPIPE; }

}  // namespace rowvane
