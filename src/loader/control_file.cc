#include "loader/control_file.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "config/run_counters.h"
#include "crypto/login_cipher.h"
#include "db/client.h"
#include "db/type_codes.h"
#include "platform/file_io.h"

namespace rowvane {

size_t quote_identifier(char* out, const char* name, size_t len, char quote, bool bare_if_plain) {
  bool plain = len > 0;
  for (size_t i = 0; i < len && plain; ++i) {
    const unsigned char b = static_cast<unsigned char>(name[i]);
    const bool letter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_' || b >= 0x80;
    const bool later = (b >= '0' && b <= '9') || b == '$' || b == '#';
    plain = letter || (i > 0 && later);
  }
  if (bare_if_plain && plain) {
    std::memcpy(out, name, len);
    return len;
  }
  char* p = out;
  *p++ = quote;
  for (size_t i = 0; i < len; ++i) {
    if (name[i] == quote) *p++ = quote;
    *p++ = name[i];
  }
  *p++ = quote;
  return static_cast<size_t>(p - out);
}

namespace {

// Length of a NUL-terminated text held in a buffer of size cap, never
// reading past the buffer.
template <size_t N>
int text_len(const char (&buf)[N]) {
  return static_cast<int>(strnlen(buf, N - 1));
}

// Every line is written straight to the stream with bounded "%.*s"
// conversions, so no line is assembled in a buffer of its own. After the
// first failing write the rest are skipped.
class ControlWriter {
 public:
  explicit ControlWriter(FILE* f) : f_(f) {}

  template <typename... Args>
  void put(const char* format, Args... args) {
    if (failed_) return;
    if (std::fprintf(f_, format, args...) < 0) failed_ = true;
  }
  // A fixed text, written as it is.
  void put(const char* text) {
    if (failed_) return;
    if (std::fputs(text, f_) < 0) failed_ = true;
  }
  void hex(const char* bytes, int n) {
    for (int i = 0; i < n && !failed_; ++i) {
      put("%02x", static_cast<unsigned>(static_cast<unsigned char>(bytes[i])));
    }
  }

 private:
  FILE* f_;
  bool failed_ = false;

 public:
  bool failed() const { return failed_; }
};

// A banner line of at most 127 characters; never null.
const char* banner(int index) {
  const char* b = banner_line(index);
  return b ? b : "";
}

bool is_lob(uint16_t t) { return t == kTypeClob || t == kTypeBlob; }

// The name as the loader reads an identifier: between double quotes with
// every inner double quote doubled. In the commented CREATE TABLE an
// ordinary name stays bare, and a line break, which would end the comment,
// shows as "?".
struct LoaderName {
  char text[2 * sizeof(ColumnInfo::name) + 2];
  int len;
  LoaderName(const ColumnInfo& c, bool comment) {
    const size_t nl = strnlen(c.name, sizeof c.name - 1);
    len = static_cast<int>(quote_identifier(text, c.name, nl, '"', comment));
    for (int i = 0; comment && i < len; ++i) {
      if (text[i] == '\n' || text[i] == '\r') text[i] = '?';
    }
  }
};

void write_comment_line(ControlWriter& w, const ColumnInfo& c) {
  const LoaderName name(c, true);
  const int nl = name.len;
  const char* n = name.text;
  switch (c.oracle_type) {
    case kTypeNumber:
    case kTypeVarnum:
      if (c.scale > 0 && c.scale < c.precision) {
        w.put("--    %.*s NUMBER(%d,%d)", nl, n, c.precision, c.scale);
      } else if (c.precision > 0) {
        w.put("--    %.*s NUMBER(%d)", nl, n, c.precision);
      } else {
        w.put("--    %.*s NUMBER", nl, n);
      }
      break;
    case kTypeInteger:
      w.put("--    %.*s INTEGER", nl, n);
      break;
    case kTypeFloat:
      w.put("--    %.*s FLOAT", nl, n);
      break;
    case kTypeDate:
    case kTypeDateStruct:
      w.put("--    %.*s DATE", nl, n);
      break;
    case kTypeNativeFloat:
      w.put("--    %.*s BINARY_FLOAT", nl, n);
      break;
    case kTypeNativeDouble:
      w.put("--    %.*s BINARY_DOUBLE", nl, n);
      break;
    case kTypeClob:
      w.put(c.charset_form == SQLCS_NCHAR ? "--    %.*s NCLOB" : "--    %.*s CLOB", nl, n);
      break;
    case kTypeBlob:
      w.put("--    %.*s BLOB", nl, n);
      break;
    case kTypeVarraw:
    case kTypeRaw:
      // Loaded from hex text, two characters per byte.
      w.put("--    %.*s RAW(%d)", nl, n, static_cast<int>(c.slot_width));
      break;
    case kTypeLongRaw:
      w.put("--    %.*s LONG RAW", nl, n);
      break;
    case kTypeTimestampInternal:
    case kTypeTimestamp:
      if (c.precision > 0) {
        w.put("--    %.*s TIMESTAMP(%d)", nl, n, c.precision);
      } else {
        w.put("--    %.*s TIMESTAMP", nl, n);
      }
      break;
    case kTypeTimestampTzInternal:
    case kTypeTimestampTz:
      if (c.precision > 0) {
        w.put("--    %.*s TIMESTAMP(%d) WITH TIME ZONE", nl, n, c.precision);
      } else {
        w.put("--    %.*s TIMESTAMP WITH TIME ZONE", nl, n);
      }
      break;
    case kTypeTimestampLtz:
      if (c.precision > 0) {
        w.put("--    %.*s TIMESTAMP(%d) WITH LOCAL TIME ZONE", nl, n, c.precision);
      } else {
        w.put("--    %.*s TIMESTAMP WITH LOCAL TIME ZONE", nl, n);
      }
      break;
    default:
      w.put(c.charset_form == SQLCS_NCHAR ? "--    %.*s NVARCHAR2(%d)" : "--    %.*s VARCHAR2(%d)", nl, n,
            static_cast<int>(c.slot_width));
      break;
  }
}

// The bytes a column's field occupies in a fixed-width record: a LOB
// reference takes 256, every other value its display width.
int64_t field_width(const ColumnInfo& c, bool lobfile) {
  return lobfile && is_lob(c.oracle_type) ? 256 : static_cast<int64_t>(c.display_width);
}

// One field line; returns the bytes the field occupies in a fixed-width record.
int64_t write_field_line(ControlWriter& w, const ColumnInfo& c, bool fixed, bool lobfile,
                         int64_t start) {
  // The field lines hold the double quotes themselves.
  const LoaderName name(c, false);
  const int nl = name.len - 2;
  const char* n = name.text + 1;
  const unsigned width = c.display_width;
  const int64_t end = start + static_cast<int64_t>(width) - 1;
  // Date and time columns: the loader's type and the mask of the session's
  // format. Local-time-zone values are written in the timestamp format,
  // without a zone.
  const char* datetime = nullptr;
  switch (c.oracle_type) {
    case kTypeDate:
    case kTypeDateStruct: datetime = "DATE \"YYYY-MM-DD HH24:MI:SS\""; break;
    case kTypeTimestampInternal:
    case kTypeTimestamp: datetime = "TIMESTAMP \"YYYY-MM-DD HH24:MI:SSXFF\""; break;
    case kTypeTimestampLtz: datetime = "TIMESTAMP WITH LOCAL TIME ZONE \"YYYY-MM-DD HH24:MI:SSXFF\""; break;
    case kTypeTimestampTzInternal:
    case kTypeTimestampTz: datetime = "TIMESTAMP WITH TIME ZONE \"YYYY-MM-DD HH24:MI:SSXFF TZH:TZM\""; break;
    default: break;
  }
  if (datetime) {
    if (fixed) {
      w.put("  \"%.*s\" POSITION(%" PRId64 ":%" PRId64 ") %s NULLIF \"%.*s\"=BLANKS ", nl, n, start,
            end, datetime, nl, n);
    } else {
      w.put("  \"%.*s\" %s NULLIF \"%.*s\"=BLANKS", nl, n, datetime, nl, n);
    }
    return width;
  }
  if (lobfile && is_lob(c.oracle_type)) {
    // The record holds a LOB reference of at most 256 bytes.
    if (fixed) {
      w.put("  \"%.*s\" POSITION(%" PRId64 ":%" PRId64 ") LLS ", nl, n, start, start + 255);
    } else {
      w.put("  \"%.*s\" NULLIF \"%.*s\"=BLANKS LLS ", nl, n, nl, n);
    }
    return field_width(c, lobfile);
  }
  if (fixed) {
    w.put("  \"%.*s\" POSITION(%" PRId64 ":%" PRId64 ") CHAR(%u) NULLIF \"%.*s\"=BLANKS ", nl, n,
          start, end, width, nl, n);
  } else {
    w.put("  \"%.*s\" CHAR(%u) NULLIF \"%.*s\"=BLANKS ", nl, n, width, nl, n);
  }
  return width;
}

}  // namespace

bool control_file_path(const UnloadJob& job, char* path) {
  const int table_len = text_len(job.table);
  if (table_len == 0 || job.format != kFormatText || job.piece != 1) return false;
  // table holds at most 131 bytes and control 255, so both names fit.
  if (job.control[0] != 0) {
    std::snprintf(path, kControlPathSize, "%.*s", text_len(job.control), job.control);
  } else {
    std::snprintf(path, kControlPathSize, "%.*s_sqlldr.ctl", table_len, job.table);
  }
  return true;
}

void write_control_file(const ColumnInfo* first, const UnloadJob& job) {
  char path[kControlPathSize];
  if (!control_file_path(job, path)) return;
  const int table_len = text_len(job.table);
  // Written under a temporary name and renamed once complete, so that the
  // name never holds a cut control file (a device is written in place).
  char temp[kControlPathSize + kTemporaryNameExtra];
  const bool renamed = renamable_output(path) && temporary_name(path, temp, sizeof temp);
  FILE* f = std::fopen(renamed ? temp : path, "wb+");
  if (!f) return;  // a control file that cannot be created is skipped silently

  const bool fixed = job_fixed_width(job);
  const bool lobfile = job.lobfile[0] != 0;
  ControlWriter w(f);

  w.put("--\n");
  w.put("-- %.127s\n", banner(0));
  w.put("-- %.127s\n", banner(1));
  w.put("--\n");
  w.put("-- %.127s\n", banner(2));
  w.put("--\n");

  w.put("--  CREATE TABLE %.*s (\n", table_len, job.table);
  for (const ColumnInfo* c = first; c; c = c->next) {
    if (c != first) w.put(",\n");
    write_comment_line(w, *c);
  }
  w.put("\n");
  w.put("--  );\n");
  w.put("--\n");

  if (job.head && !fixed) {
    w.put("OPTIONS(BINDSIZE=%d,READSIZE=%d,SKIP=1,ERRORS=50000,ROWS=50000)\n", job.buffer,
          job.buffer);
  } else {
    w.put("OPTIONS(BINDSIZE=%d,READSIZE=%d,ERRORS=50000,ROWS=50000)\n", job.buffer, job.buffer);
  }
  w.put("LOAD DATA\n");

  const int file_len = text_len(job.file);
  int record_len = job.record_len;
  if (record_len < 0) record_len = 0;
  if (record_len > static_cast<int>(sizeof job.record)) record_len = sizeof job.record;
  // Fixed-width records: rowpre, every field at its width, rowsuf, the
  // record separator; the fields begin after rowpre.
  const int64_t rowpre = job.rowpre_len > 0 ? job.rowpre_len : 0;
  if (fixed) {
    int64_t fix = rowpre + (job.rowsuf_len > 0 ? job.rowsuf_len : 0) + record_len;
    for (const ColumnInfo* c = first; c; c = c->next) fix += field_width(*c, lobfile);
    w.put("INFILE '%.*s' \"FIX %" PRId64 "\"\n", file_len, job.file, fix);
  } else {
    w.put("INFILE '%.*s' \"STR X'", file_len, job.file);
    w.hex(job.record, record_len);
    w.put("'\"\n");
  }

  w.put("%.*s INTO TABLE %.*s\n", text_len(job.mode), job.mode, table_len, job.table);

  w.put("FIELDS TERMINATED BY X'");
  w.hex(job.field, text_len(job.field));
  w.put("'");
  const int quote_len = text_len(job.quote);
  if (!fixed && quote_len > 0) {
    w.put(" OPTIONALLY ENCLOSED BY '%.*s' ", quote_len, job.quote);
  }
  w.put(" TRAILING NULLCOLS \n");
  w.put("(\n");

  int64_t position = rowpre + 1;
  for (const ColumnInfo* c = first; c; c = c->next) {
    if (c != first) w.put(",\n");
    position += write_field_line(w, *c, fixed, lobfile, position);
  }
  w.put("\n)\n");

  // Like a file that cannot be created, a failed write leaves the unload
  // and its result untouched; the control file is a by-product.
  const bool written = !w.failed() && std::fflush(f) == 0 && !std::ferror(f);
  if (std::fclose(f) != 0 || !written) {
    if (renamed) std::remove(temp);
    return;
  }
  if (renamed && rename_replacing(temp, path) != 0) {
    std::remove(temp);
    return;
  }
  if (job.counters) job.counters->add_file();
}

}  // namespace rowvane
