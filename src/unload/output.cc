// Output files: name expansion, opening, compression, scrambling, buffer
// writes, rotation, and the progress and closing lines.
//
// Scrambling works on the byte stream of each output file counted from its
// first byte: every complete 8-byte word is XORed with the key except the
// last 1 to 8 bytes of the stream, which stay plain. flush_buffer therefore
// only ever writes whole words and keeps back at least one byte, so every
// write starts on a word boundary of the stream, and finish_file knows that
// what it holds is the stream's tail.

#include "unload/output.h"

#include <libdeflate.h>

#include <cstring>
#include <ctime>

#include "config/messages.h"
#include "config/results.h"
#include "config/run_counters.h"
#include "crypto/scramble.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/interrupt.h"
#include "unload/output_guard.h"

namespace rowvane {
namespace {

constexpr double kBytesPerMegabyte = 1048576.0;

// Appends n bytes to out (capacity size, one byte kept for the NUL).
bool append(char* out, size_t size, size_t* len, const char* text, size_t n) {
  if (n >= size - *len) return false;
  std::memcpy(out + *len, text, n);
  *len += n;
  return true;
}

// Notes a failed write: a pipe whose reader has gone is no fault of the
// output (see OutputFiles::reader_gone). Returns -1. error is the system's
// error number, or -1 for the last one.
int write_failed(OutputFiles* f, int error = -1) {
  if (is_closed_pipe_error(error == -1 ? last_system_error() : error)) f->reader_gone = true;
  return -1;
}

// "ERROR -- Cannot write to file : <name> (<the system's reason>)\n".
void report_cannot_open(DbSession* s, const char* name, int error) {
  char reason[128];
  session_messagef(s, kMsgCannotOpenFile, name,
                   error != 0 ? system_error_text(error, reason, sizeof reason)
                              : "the compressing stream could not be started");
}

// Writes n bytes to the data stream and counts them. 0 or -1.
int write_block(OutputFiles* f, const char* buf, int n) {
  if (n <= 0) return 0;
  if (f->compress.codec != Codec::kNone) {
    // The compressing thread writes the file; its failure shows here, at
    // one of the next writes, or at the close.
    int error = 0;
    if (!f->packed) return -1;
    if (compress_write(f->packed, buf, static_cast<size_t>(n), &error) != 0) {
      return write_failed(f, error);
    }
  } else {
    if (!f->data) return -1;
    if (std::fwrite(buf, 1, static_cast<size_t>(n), f->data) != static_cast<size_t>(n)) {
      return write_failed(f);
    }
    if (f->crc_whole) f->crc32 = libdeflate_crc32(f->crc32, buf, static_cast<size_t>(n));
  }
  f->megabytes = static_cast<float>(static_cast<double>(f->megabytes) + n / kBytesPerMegabyte);
  f->file_bytes += static_cast<uint64_t>(n);
  return 0;
}

// The name a file is opened under: an expanded name without its "+".
const char* plain_name(const char* name) { return name[0] == '+' ? name + 1 : name; }

// Opens an expanded name (see open_output_name) under its temporary name,
// which goes into temp; in place, with temp empty, for a "+" append and for
// a name a rename must not replace (see renamable_output).
FILE* open_under_temporary(const char* name, char* temp, size_t temp_size, int* error) {
  temp[0] = '\0';
  if (name[0] == '+' || !renamable_output(name) || !temporary_name(name, temp, temp_size)) {
    return open_output_name(name, error);
  }
  return open_output_name(temp, error);
}

// Settles a closed file written under temp (nothing when temp is empty):
// publishes it under final, keeps it, or deletes it. ok: every write and
// the close succeeded. Returns false when the rename failed.
bool settle_file(char* temp, const char* final_name, FileEnd end, bool ok) {
  if (temp[0] == '\0') return true;
  if (ok && end == FileEnd::kKeep) return true;
  bool renamed = ok && end == FileEnd::kPublish && rename_replacing(temp, final_name) == 0;
  if (!renamed) std::remove(temp);
  temp[0] = '\0';
  return renamed || !ok || end != FileEnd::kPublish;
}

// Opens the data file, the lob file and the compressed stream of f->sequence. Both
// names are expanded and checked (against each other and the session's
// guarded files) before anything is opened, so a refused name leaves no
// truncated file behind. On a failure the line is delivered, everything
// opened here is closed (an empty lob file deleted) and 6 is returned.
int open_sequence_files(OutputFiles* f, const UnloadJob& job, DbSession* s) {
  if (f->stdout_mode) {
    std::strcpy(f->data_name, "-");
  } else if (expand_file_name(job.file, f->data_name, kDataNameSize, f->sequence, job.piece) < 0) {
    session_messagef(s, kMsgNameTooLong, static_cast<int>(kDataNameSize - 1), job.file);
    return kResultOpenFailed;
  }
  f->lob_name[0] = '\0';
  if (job.lobfile[0] != '\0' &&
      expand_file_name(job.lobfile, f->lob_name, kLobNameSize, f->sequence, job.piece) < 0) {
    session_messagef(s, kMsgNameTooLong, static_cast<int>(kLobNameSize - 1), job.lobfile);
    return kResultOpenFailed;
  }
  const char* data = plain_name(f->data_name);
  const char* lob = plain_name(f->lob_name);
  FileIdentity data_id{};
  FileIdentity lob_id{};
  if (!f->stdout_mode) {
    data_id = file_identity(data);
    if (check_guarded(s, "data", data, data_id) != 0) return kResultOpenFailed;
  }
  if (lob[0]) {
    lob_id = file_identity(lob);
    if (check_guarded(s, "LOB", lob, lob_id) != 0) return kResultOpenFailed;
    // Records and LOB contents in one file would overwrite each other.
    if (!f->stdout_mode && same_output(data, data_id, lob, lob_id)) {
      report_same_file(s, "data", data, "LOB", lob);
      return kResultOpenFailed;
    }
  }

  int error = 0;
  if (f->stdout_mode) {
    set_stdout_binary();
    f->data = stdout;
  } else {
    f->data = open_under_temporary(f->data_name, f->data_temp, sizeof f->data_temp, &error);
    if (!f->data) {
      report_cannot_open(s, f->data_name, error);
      return kResultOpenFailed;
    }
    // An appended file that already holds data has its head line.
    f->data_empty = f->data_name[0] != '+' || file_tell(f->data) == 0;
    // Writes are whole record-buffer blocks already; without a stdio buffer
    // each one goes straight out and a failure shows at once.
    std::setvbuf(f->data, nullptr, _IONBF, 0);
  }

  if (lob[0]) {
    // Two spellings of one new file show only now that the data file
    // exists: they lead to one temporary file too.
    char probe[sizeof f->lob_temp];
    const char* lob_path = lob;
    if (f->lob_name[0] != '+' && renamable_output(lob) && temporary_name(lob, probe, sizeof probe)) {
      lob_path = probe;
    }
    if (!f->stdout_mode && same_regular_file(file_identity(lob_path), open_file_identity(f->data))) {
      report_same_file(s, "data", data, "LOB", lob);
      close_output_files(f);
      return kResultOpenFailed;
    }
    f->lob = open_under_temporary(f->lob_name, f->lob_temp, sizeof f->lob_temp, &error);
    if (!f->lob) {
      report_cannot_open(s, f->lob_name, error);
      close_output_files(f);
      return kResultOpenFailed;
    }
  }

  // A new plain file taken over by its rename: what is written is what it
  // holds, so its CRC-32 is summed on the way (a manifest needs it).
  f->crc32 = 0;
  f->crc_whole = f->on_written != nullptr && f->compress.codec == Codec::kNone && f->data_temp[0] != '\0';
  if (f->compress.codec != Codec::kNone && compress_open(&f->packed, f->data, f->compress) != 0) {
    // Only memory or a thread can be missing here, without an error number.
    report_cannot_open(s, f->data_name, 0);
    close_output_files(f);
    return kResultOpenFailed;
  }
  return 0;
}

}  // namespace

int expand_file_name(const char* pattern, char* out, size_t out_size, int sequence, int piece) {
  if (!out || out_size == 0) return -1;
  out[0] = '\0';
  if (!pattern) return 0;

  std::tm local{};
  int64_t now = 0;
  bool have_clock = false;
  size_t len = 0;
  const char* p = pattern;
  for (;;) {
    const char* mark = std::strchr(p, '%');
    size_t run = mark ? static_cast<size_t>(mark - p) : std::strlen(p);
    if (!append(out, out_size, &len, p, run)) break;
    if (!mark || mark[1] == '\0') {  // end of pattern; a trailing % is dropped
      out[len] = '\0';
      return static_cast<int>(len);
    }
    char code = mark[1];
    p = mark + 2;
    char lower = (code >= 'A' && code <= 'Z') ? static_cast<char>(code + ('a' - 'A')) : code;
    if (!have_clock && (lower == 'y' || lower == 'm' || lower == 'd' || lower == 'w' || lower == 't')) {
      now = clock_seconds();
      local_time(now, &local);
      have_clock = true;
    }
    char text[16];
    int n;
    switch (lower) {
      case 'b': n = std::snprintf(text, sizeof text, "%d", sequence); break;
      case 'p': n = std::snprintf(text, sizeof text, "%d", piece); break;
      case 'y': n = std::snprintf(text, sizeof text, "%04d", local.tm_year + 1900); break;
      case 'm': n = std::snprintf(text, sizeof text, "%02d", local.tm_mon + 1); break;
      case 'd': n = std::snprintf(text, sizeof text, "%02d", local.tm_mday); break;
      case 'w': n = std::snprintf(text, sizeof text, "%d", local.tm_wday); break;
      case 't': n = std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(now)); break;
      case 'n': n = 0; break;  // the table's name, put in by insert_table_name
      default: text[0] = code; n = 1; break;
    }
    if (!append(out, out_size, &len, text, static_cast<size_t>(n))) break;
  }
  out[0] = '\0';
  return -1;
}

bool has_name_code(const char* pattern, char code) {
  for (const char* p = pattern; *p; ++p) {
    if (*p != '%') continue;
    if (p[1] == '\0') break;
    if (p[1] == code || p[1] == code - ('a' - 'A')) return true;
    ++p;  // skip the code, so "%%p" stays a literal
  }
  return false;
}

int insert_table_name(const char* pattern, const char* table, bool expanded, char* out,
                      size_t out_size) {
  if (!out || out_size == 0) return -1;
  size_t len = 0;
  auto put = [&](char c) {
    if (len + 1 >= out_size) return false;
    out[len++] = c;
    return true;
  };
  bool fits = true;
  for (const char* p = pattern; *p && fits; ++p) {
    const bool code = p[0] == '%' && p[1] != '\0';
    if (code && (p[1] == 'n' || p[1] == 'N')) {
      // A "%" of the name stays itself when the pattern is expanded later.
      for (const char* t = table; *t && fits; ++t) {
        fits = (!expanded || *t != '%' || put('%')) && put(*t);
      }
      ++p;
    } else {
      fits = put(*p) && (!code || put(*++p));
    }
  }
  out[fits ? len : 0] = '\0';
  return fits ? static_cast<int>(len) : -1;
}

FILE* open_output_name(const char* name, int* error) {
  FILE* f = std::fopen(plain_name(name), name[0] == '+' ? "ab+" : "wb+");
  int e = f ? 0 : last_system_error();
  if (f && name[0] == '+' && file_seek_end(f) != 0) {
    e = last_system_error();
    std::fclose(f);
    f = nullptr;
  }
  if (error) *error = e;
  return f;
}

int open_log_file(const UnloadJob& job, DbSession* s, FILE** log, char* opened) {
  *log = nullptr;
  if (job.log[0] == '\0') return check_run_outputs(job, s, "");
  char name[kDataNameSize];
  if (expand_file_name(job.log, name, sizeof name, 0, job.piece) < 0) {
    session_messagef(s, kMsgNameTooLong, static_cast<int>(sizeof name - 1), job.log);
    return kResultOpenFailed;
  }
  int rc = check_run_outputs(job, s, name);
  if (rc != 0) return rc;
  int error = 0;
  FILE* f = open_output_name(name, &error);
  if (!f) {
    char reason[128];
    session_messagef(s, kMsgCannotWriteLog, name, system_error_text(error, reason, sizeof reason));
    return kResultOpenFailed;
  }
  guard_file(s, "log", plain_name(name), open_file_identity(f));
  if (opened) std::snprintf(opened, kDataNameSize, "%s", plain_name(name));
  *log = f;
  return 0;
}

FILE* open_output_file(const char* pattern, char* out, size_t out_size, int sequence, int piece) {
  if (expand_file_name(pattern, out, out_size, sequence, piece) < 0) return nullptr;
  return open_output_name(out, nullptr);
}

int open_output_files(OutputFiles* f, const UnloadJob& job, DbSession* s) {
  *f = OutputFiles{};
  f->stdout_mode = std::strcmp(job.file, "-") == 0;
  f->compress.codec = codec_for_name(job.file);
  f->compress.level = job.level;
  // A parallel run has a worker thread per range already, and up to 128
  // streams: fewer threads and smaller blocks each.
  const bool parallel = job.degree > 1 && job.split[0] != '\0';
  f->compress.threads = compress_threads(f->compress.codec, job.zthreads, parallel);
  f->compress.block_size = parallel ? kParallelBlockSize : kCompressBlockSize;
  f->scramble = job.crack[0] != '\0';
  // A key shorter than 8 bytes leaves the missing bytes 0: those positions
  // pass unchanged.
  std::memcpy(f->key, job.crack, strnlen(job.crack, sizeof f->key));
  f->sequence = 1;
  f->counters = job.counters;
  if (job.size > 0) f->size_limit = static_cast<uint64_t>(job.size) * 1048576u;
  f->on_written = job.file_written;
  f->written_context = job.file_context;
  return open_sequence_files(f, job, s);
}

int flush_buffer(OutputFiles* f, char* buf, int pos, int buf_size) {
  if (pos < 0) pos = 0;
  int n = pos;
  if (f->scramble) {
    n = pos > 8 ? (pos - 1) / 8 * 8 : 0;
    scramble_words(reinterpret_cast<unsigned char*>(buf), static_cast<size_t>(n), f->key);
  }
  if (write_block(f, buf, n) != 0) return -1;
  int rest = pos - n;
  if (rest > 0 && n > 0) std::memmove(buf, buf + n, static_cast<size_t>(rest));
  // Only [rest, pos) held record bytes: everything past pos is blank already
  // (the buffer starts blank and only ever advances over what it writes or
  // skips), so blanking the used part restores a wholly blank tail.
  int used_end = pos < buf_size ? pos : buf_size;
  if (f->keep_blank && used_end > rest) {
    std::memset(buf + rest, ' ', static_cast<size_t>(used_end - rest));
  }
  return rest;
}

int finish_file(OutputFiles* f, char* buf, int pos) {
  if (pos <= 0) return 0;
  if (f->scramble) {
    size_t words = (static_cast<size_t>(pos) + 7) / 8 - 1;
    scramble_words(reinterpret_cast<unsigned char*>(buf), words * 8, f->key);
  }
  int rc = write_block(f, buf, pos);
  if (f->keep_blank) std::memset(buf, ' ', static_cast<size_t>(pos));
  return rc;
}

int change_file(OutputFiles* f, const UnloadJob& job, DbSession* s, char* buf, int* pos) {
  if (f->stdout_mode) return 0;
  int rc = finish_file(f, buf, *pos);
  *pos = 0;
  if (rc != 0) return kResultWriteFailed;
  // finish_file blanked the used part; the rest of the buffer is blank already.
  // The closing line stands for a file whose every byte reached it: a
  // compressed stream or buffered bytes can still fail at the close.
  if (close_output_files(f, FileEnd::kPublish) != 0) return kResultWriteFailed;
  report_closing(s, f->data_name, f->rows_in_file, f->megabytes);
  f->sequence += 1;
  f->rows_in_file = 0;
  f->file_bytes = 0;
  return open_sequence_files(f, job, s);
}

int close_output_files(OutputFiles* f, FileEnd end) {
  if (!f) return 0;
  int status = 0;
  // Only a file this call closes is settled: kept files stay kept.
  const bool data_open = f->data != nullptr && f->data != stdout;
  const bool summed = f->crc_whole;
  f->crc_whole = false;
  if (f->packed) {
    // Finishes the stream and waits for its thread before the file closes.
    int error = 0;
    if (compress_close(f->packed, &error) != 0) {
      write_failed(f, error);
      status = kResultWriteFailed;
    }
    f->packed = nullptr;
  }
  if (f->data) {
    if (f->data == stdout) {
      if (std::fflush(stdout) != 0) {
        write_failed(f);
        status = kResultWriteFailed;
      }
    } else {
      // A failed flush may drop the buffered bytes, after which fclose
      // reports nothing: check the flush and the error flag first.
      if (std::fflush(f->data) != 0 || std::ferror(f->data)) status = kResultWriteFailed;
      if (std::fclose(f->data) != 0) {
        write_failed(f);
        status = kResultWriteFailed;
      }
    }
    f->data = nullptr;
  }
  const int data_status = status;
  if (f->lob) {
    int lob_status = 0;
    if (std::fflush(f->lob) != 0 || std::ferror(f->lob)) lob_status = kResultWriteFailed;
    // Only a regular file is deleted: lobfile= may name a device such as
    // /dev/null, which always looks empty.
    int64_t size = file_seek_end(f->lob) == 0 ? file_tell(f->lob) : -1;
    bool regular = file_is_regular(f->lob);
    if (std::fclose(f->lob) != 0) lob_status = kResultWriteFailed;
    f->lob = nullptr;
    const char* lob = plain_name(f->lob_name);
    // The data file and the lob file go together: a failed data file keeps
    // its records' LOB contents from the final name too, and the other way round.
    const bool ok_so_far = lob_status == 0 && status == 0;
    if (size == 0 && regular) {
      // An empty lob file is deleted, and a published run leaves none under
      // the final name either (an earlier run's file would be stale).
      if (f->lob_temp[0] != '\0') {
        std::remove(f->lob_temp);
        f->lob_temp[0] = '\0';
        if (end == FileEnd::kPublish && ok_so_far && renamable_output(lob)) std::remove(lob);
      } else {
        std::remove(lob);
      }
    }
    const bool lob_kept = !(size == 0 && regular);
    if (!settle_file(f->lob_temp, lob, end, ok_so_far)) lob_status = kResultWriteFailed;
    if (lob_status != 0) status = lob_status;
    if (f->on_written && end == FileEnd::kPublish && lob_kept && status == 0) {
      f->on_written(f->written_context, lob, 'l', 0, -1, 0);
    }
    if (f->counters && end == FileEnd::kPublish && lob_kept && status == 0) f->counters->add_file();
  }
  // Both streams are finished and closed: only now may the data file take
  // its name, and only after its lob file did, so that a data file under its
  // final name always has the LOB contents its references point to. Kept
  // records stay kept unless their own file failed.
  const bool data_ok = end == FileEnd::kKeep ? data_status == 0 : status == 0;
  if (data_open && !settle_file(f->data_temp, plain_name(f->data_name), end, data_ok)) {
    status = kResultWriteFailed;
  }
  if (f->on_written && data_open && end == FileEnd::kPublish && status == 0) {
    f->on_written(f->written_context, plain_name(f->data_name), 'd', f->rows_in_file,
                  summed ? static_cast<int64_t>(f->file_bytes) : -1, f->crc32);
  }
  if (f->counters && data_open && end == FileEnd::kPublish && status == 0) f->counters->add_file();
  return status;
}

void report_kept_files(DbSession* s, const OutputFiles& f) {
  if (f.data_temp[0] == '\0' && f.lob_temp[0] == '\0') return;
  char names[sizeof f.data_temp + sizeof f.lob_temp + 8];
  std::snprintf(names, sizeof names, "%s%s%s", f.data_temp,
                f.data_temp[0] && f.lob_temp[0] ? " and " : "", f.lob_temp);
  // A run with counters names them after its summary: its last lines.
  char line[sizeof names + sizeof kMsgKeptUnfinished];
  std::snprintf(line, sizeof line, kMsgKeptUnfinished, names);
  if (f.counters == nullptr || !f.counters->defer(line)) session_message(s, line);
}

void report_progress(DbSession* s, uint64_t rows, float megabytes) {
  std::tm t{};
  local_time(clock_seconds(), &t);
  session_messagef(s, kMsgProgress, static_cast<unsigned long long>(rows), t.tm_year + 1900,
                   t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                   static_cast<double>(megabytes));
}

void report_interrupted(DbSession* s, int signal, uint64_t rows) {
  session_messagef(s, kMsgInterrupted, interrupt_signal_name(signal),
                   static_cast<unsigned long long>(rows));
}

void report_closing(DbSession* s, const char* name, uint64_t rows, float megabytes) {
  session_messagef(s, kMsgClosed, name, static_cast<unsigned long long>(rows),
                   static_cast<double>(megabytes));
}

}  // namespace rowvane
