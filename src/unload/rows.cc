// The row fetch loop: array fetches, one record per row in the job's layout,
// assembled in one blank-filled record buffer that goes to the output files
// whenever the next piece might not fit.
//
// Everything that depends only on the job and the column list is decided
// once, before the first fetch: the statement texts, the per-column
// treatment (fetch form, escaping, translation, quotes, hex) and the record
// layout, which selects one of seven instantiations of the batch writer. The
// per-value path only copies bytes out of the fetch buffers.
#include "unload/rows.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "config/messages.h"
#include "config/results.h"
#include "config/run_counters.h"
#include "loader/control_file.h"
#include "platform/interrupt.h"
#include "unload/columns.h"
#include "unload/json_values.h"
#include "unload/lob.h"
#include "unload/output.h"
#include "unload/values.h"

namespace rowvane {

namespace {

constexpr int kDefaultRecordBuffer = 4 << 20;
constexpr int kMinRecordBuffer = 32;  // keeps room for the scrambling tail of up to 8 bytes
constexpr size_t kStatementTextSize = 16384;

// Memory of one write_rows call, freed on every path out of it.
struct FreeMemory {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeMemory>;

// n zeroed records of T (plain records only), or null.
template <typename T>
Owned<T> allocate_zeroed(size_t n) {
  static_assert(std::is_trivially_copyable_v<T>);
  return Owned<T>(static_cast<T*>(std::calloc(n, sizeof(T))));
}

// How one column's values reach the record.
enum class Kind : uint8_t {
  kText,    // bytes as fetched, length in `lengths`
  kLong,    // 4-byte native length, then the bytes (fetch types 94, 95)
  kNumber,  // internal NUMBER form
  kDate,    // internal DATE form
  kLobRef,  // LOB locator: copied into the lob file, reference in the record
};

// What a column's values become in a JSON object.
enum class JsonKind : uint8_t {
  kString,    // text, checked as UTF-8
  kNumber,    // a JSON number (NaN and the infinities as strings)
  kDateTime,  // an ISO-8601 string
  kHex,       // raw bytes as a string of hex digits
};

struct ColumnPlan {
  ColumnInfo* column;
  unsigned char* base;  // fetch buffer
  int32_t slot;         // bytes per row in base
  int32_t max_out;      // room asked for before the column
  uint32_t display;     // field width of the fixed-width layout
  Kind kind;
  bool escaped;    // escape_bytes applies (escaping on, type escaped, not hex)
  bool translate;  // translate_bytes applies
  bool quote;      // written between the quote texts
  bool hex;        // MySQL INSERT: unhex('..') of the bytes
  bool hex_text;   // raw bytes as upper-case hex digits
  const EscapeTable* escapes;  // the run's text plan, or byte by byte for raw bytes
  JsonKind json;          // text=JSON: the value's form
  const char* json_key;   // text=JSON: "name": (escaped, with its colon)
  uint32_t json_key_len;
};

// A fixed-capacity text built once per run; overflow is sticky.
struct BoundedText {
  char text[kStatementTextSize];
  size_t len = 0;
  bool overflow = false;
  void add(const char* p, size_t n) {
    if (overflow || n > sizeof text - len) {
      overflow = true;
      return;
    }
    std::memcpy(text + len, p, n);
    len += n;
  }
  void add(const char* p) { add(p, std::strlen(p)); }
};

struct Run {
  const UnloadJob& job;
  DbSession* s;
  OutputFiles files;
  char* buf = nullptr;
  int pos = 0;
  int size = 0;
  int status = 0;      // sticky result code of the run
  int record_start = 0;  // buffer position where the record being written began
  bool lob_failed = false;        // a LOB could not be read whole (the run goes on)
  bool lob_write_failed = false;  // the lob file refused a write (the run ends)
  bool fixed = false;  // fixed-width layout
  bool json = false;   // text=JSON: records are JSON objects
  BadUtf8 bad_utf8 = BadUtf8::kRefuse;
  bool value_refused = false;  // a value could not be written (badchar=ERROR); the run ends
  char* json_keys = nullptr;   // the object keys of every column, built once
  bool interrupted = false;  // a signal asked the run to stop; it did so at a record boundary
  uint64_t rows_total = 0;   // records written over all files
  uint64_t counted_rows = 0;   // what job.counters has been given of rows_total
  uint64_t counted_bytes = 0;  // and of the bytes
  uint32_t lob_piece_size = 0;  // bytes per LOB read (0: the default)

  ColumnPlan* plans = nullptr;
  int ncols = 0;
  uint32_t longest_name = 0;
  size_t quote_len = 0;
  Translation translation;
  EscapeTable escapes;      // text, by the target character set
  EscapeTable raw_escapes;  // raw bytes: byte by byte

  BoundedText* head = nullptr;    // INSERT statement head
  BoundedText* update = nullptr;  // ON DUPLICATE KEY UPDATE clause (len 0 when unused)
  bool stmt_open = false;         // a MySQL INSERT statement has its head but no end yet
  bool change_pending = false;    // the current file is full; the next record starts a new one
  uint32_t stmt_rows = 0;         // records in the open statement
  uint64_t progress_countdown = 0;
  uint32_t rows_per_progress = 1;

  Run(const UnloadJob& j, DbSession* session) : job(j), s(session) {}

  // --- record buffer -----------------------------------------------------

  // The result of a failed write: a reader that closed its pipe (file=- into
  // `head`) ends the run quietly with its own code.
  int write_failure() const { return files.reader_gone ? kResultReaderGone : kResultWriteFailed; }

  bool flush() {
    if (status) {
      pos = 0;
      return false;
    }
    // A JSON record stays whole in the buffer, so that a value refused
    // later in it leaves only complete records in the file; only a record
    // larger than the whole buffer goes out in parts.
    if (json && record_start > 0) return flush_keeping_record();
    int next = flush_buffer(&files, buf, pos, size);
    if (next < 0) {
      status = write_failure();
      pos = 0;
      return false;
    }
    // The bytes written from the front may include the start of the
    // current record; what is left of it now begins at the front.
    record_start = std::max(0, record_start - (pos - next));
    pos = next;
    return true;
  }

  // Writes the complete records before record_start; the open record moves
  // to the front behind the unwritten rest.
  bool flush_keeping_record() {
    const int open = pos - record_start;
    int next = flush_buffer(&files, buf, record_start, size);
    if (next < 0) {
      status = write_failure();
      pos = 0;
      return false;
    }
    std::memmove(buf + next, buf + record_start, static_cast<size_t>(open));
    record_start = next;
    pos = next + open;
    return true;
  }

  // The lob file refused a write: the run ends with one message.
  void lob_write_failure(bool report) {
    if (report) session_messagef(s, kMsgCannotWriteFile, files.lob_name);
    lob_write_failed = true;
    status = kResultWriteFailed;
  }

  // After a lob file failure: drops the record that was being written (its
  // reference would point at missing bytes) and ends an open MySQL
  // statement, so the buffer holds complete records only.
  void keep_complete_records() {
    if (record_start < pos) pos = record_start;
    if (job.format == kFormatMysqlInsert && stmt_open) {
      if (stmt_rows > 0) {
        const int kept = status;
        status = 0;
        close_statement();
        if (status == 0) status = kept;
      }
      stmt_open = false;
    }
  }

  // Writes the buffer when the next piece of `room` bytes might not fit.
  void ensure(int64_t room) {
    if (pos + room >= size) flush();
  }

  void put(const void* p, size_t n) {
    if (n <= static_cast<size_t>(size - pos)) {
      std::memcpy(buf + pos, p, n);
      pos += static_cast<int>(n);
    } else {
      put_slow(static_cast<const char*>(p), n);
    }
  }

  // A piece larger than the space left goes out in parts.
  void put_slow(const char* p, size_t n) { advance(p, n); }

  // Moves the position over n bytes; the buffer past the position is blank.
  void skip(size_t n) { advance(nullptr, n); }

  // Copies n bytes of p (or, with p null, keeps the blanks already there),
  // writing the buffer whenever it fills.
  void advance(const char* p, size_t n) {
    while (n > 0) {
      size_t space = static_cast<size_t>(size - pos);
      if (space == 0) {
        if (!flush()) return;
        continue;
      }
      size_t k = std::min(space, n);
      if (p) {
        std::memcpy(buf + pos, p, k);
        p += k;
      }
      pos += static_cast<int>(k);
      n -= k;
    }
  }

  // Escaped copy; `known` is the exact count of added bytes, or -1. Returns
  // the bytes written.
  size_t put_escaped(const unsigned char* v, size_t n, int64_t known, const EscapeTable& e) {
    size_t worst = known >= 0 ? n + static_cast<size_t>(known) : 2 * n;
    if (worst <= static_cast<size_t>(size - pos)) {
      size_t w = escape_bytes(buf + pos, v, n, e);
      pos += static_cast<int>(w);
      return w;
    }
    return put_escaped_slow(v, n, e);
  }

  // A value whose escaped form does not fit the space left is written in
  // parts. Cuts fall between the characters of the escape scan, so a
  // character of several bytes is never split and the bytes come out as in
  // one piece.
  size_t put_escaped_slow(const unsigned char* v, size_t n, const EscapeTable& e) {
    size_t written = 0;
    while (n > 0 && status == 0) {
      size_t space = static_cast<size_t>(size - pos);
      size_t i = 0;
      while (i < n) {
        size_t step = escape_char_length(v, i, n, e);
        if (2 * (i + step) > space) break;
        i += step;
      }
      if (i == 0) {
        if (!flush()) break;
        continue;
      }
      size_t w = escape_bytes(buf + pos, v, i, e);
      pos += static_cast<int>(w);
      written += w;
      v += i;
      n -= i;
    }
    return written;
  }

  // Two hex digits per byte; the room of the column is asked for before
  // every byte, so the digits may go out in several writes.
  size_t put_hex(const unsigned char* v, size_t n, int32_t max_out, bool upper) {
    // All digits and the column's room fit: the loop below would write them
    // in one piece without a flush, so do just that.
    if (status == 0 && static_cast<int64_t>(pos) + max_out + 2 * static_cast<int64_t>(n) < size) {
      size_t w = hex_bytes(buf + pos, v, n, upper);
      pos += static_cast<int>(w);
      return w;
    }
    size_t written = 0;
    while (n > 0 && status == 0) {
      if (pos + static_cast<int64_t>(max_out) >= size && !flush()) break;
      int64_t allowed = static_cast<int64_t>(size) - max_out - pos;
      size_t pairs = allowed > 0 ? static_cast<size_t>((allowed + 1) / 2)
                                 : static_cast<size_t>(size - pos) / 2;  // tiny test buffers
      if (pairs == 0) {
        if (!flush()) break;
        continue;
      }
      pairs = std::min(pairs, n);
      size_t w = hex_bytes(buf + pos, v, pairs, upper);
      pos += static_cast<int>(w);
      written += w;
      v += pairs;
      n -= pairs;
    }
    return written;
  }

  // --- statements and lines ----------------------------------------------

  void write_head_line() {
    if (!job.head || fixed || json || !files.data_empty) return;
    put(job.rowpre, static_cast<size_t>(job.rowpre_len));
    for (int k = 0; k < ncols; ++k) {
      const ColumnInfo* c = plans[k].column;
      if (k > 0) put(job.field, static_cast<size_t>(job.field_len));
      put(job.prehead, static_cast<size_t>(job.prehead_len));
      put(c->name, c->name_len);
    }
    put(job.rowsuf, static_cast<size_t>(job.rowsuf_len));
    put(job.record, static_cast<size_t>(job.record_len));
  }

  void open_statement() {
    ensure(static_cast<int64_t>(head->len));
    put(head->text, head->len);
    stmt_open = true;
    stmt_rows = 0;
  }

  void close_statement() {
    ensure(static_cast<int64_t>(update->len) + job.exec_len + 2);
    put(update->text, update->len);
    put(job.exec, static_cast<size_t>(job.exec_len));
    put("\n", 1);
    stmt_open = false;
  }

  // --- one value -----------------------------------------------------------

  // Writes a LOB into the lob file (or the NULL reference) and its reference
  // into the record; returns the reference length. A LOB that cannot be read
  // whole is reported and the run goes on; a failed write to the lob file
  // ends the run (status 2, one message) and writes no reference.
  size_t put_lob_reference(const ColumnPlan& p, uint32_t row, bool is_null, bool into_record = true) {
    char ref[kLobReferenceSize];
    int ref_len = 0;
    if (!files.lob || status) return 0;  // locators are only defined with a lob file
    if (is_null) {
      ref_len = null_lob_reference(files.lob, files.lob_name, ref);
    } else {
      void* locator = reinterpret_cast<void**>(p.base)[row];
      bool failed = false;
      copy_lob_to_file_in_pieces(s, locator, files.lob, files.lob_name, ref, &ref_len,
                                 p.column->charset_form, p.column->fetch_type == SQLT_CLOB,
                                 &failed, lob_piece_size);
      // The copy reported a write failure itself; a read failure leaves
      // the file's error flag clear.
      if (std::ferror(files.lob)) {
        lob_write_failure(false);
        return 0;
      }
      if (failed) lob_failed = true;
    }
    if (job.record_len > 0 &&
        std::fwrite(job.record, 1, static_cast<size_t>(job.record_len), files.lob) !=
            static_cast<size_t>(job.record_len)) {
      lob_write_failure(true);
      return 0;
    }
    if (ref_len < 0 || !into_record) return 0;
    if (json) {
      ensure(static_cast<int64_t>(json_lob_reference_bound(static_cast<size_t>(ref_len))));
      pos += static_cast<int>(json_lob_reference(buf + pos, ref, static_cast<size_t>(ref_len)));
      return 0;
    }
    put(ref, static_cast<size_t>(ref_len));
    return static_cast<size_t>(ref_len);
  }

  // The bytes of a value fetched as text or as a long value (translated
  // when the column asks for it); none for other kinds and NULL.
  void value_bytes(const ColumnPlan& p, uint32_t row, bool is_null, unsigned char** v, size_t* n) {
    *v = nullptr;
    *n = 0;
    if (is_null) return;
    const ColumnInfo* c = p.column;
    if (p.kind == Kind::kText) {
      *v = p.base + static_cast<size_t>(row) * p.slot;
      *n = std::min<size_t>(c->lengths[row], static_cast<size_t>(p.slot));
    } else if (p.kind == Kind::kLong) {
      unsigned char* cell = p.base + static_cast<size_t>(row) * p.slot;
      uint32_t len;
      std::memcpy(&len, cell, sizeof len);
      *v = cell + 4;
      *n = std::min<size_t>(len, static_cast<size_t>(p.slot - 4));
    }
    if (p.translate && *n) translate_bytes(*v, *n, translation);
  }

  template <int kFormat, bool kFixed>
  void write_column(const ColumnPlan& p, int k, uint32_t row) {
    const ColumnInfo* c = p.column;
    const bool is_null = c->indicators[row] == -1;

    unsigned char* v;
    size_t n;
    value_bytes(p, row, is_null, &v, &n);

    // Room for the column: its largest output plus the bytes escaping adds.
    // The exact count is needed only when the worst case might not fit.
    int64_t escape_count = -1;
    int64_t room = p.max_out;
    if (p.escaped && !is_null) {
      if (pos + room + static_cast<int64_t>(n) >= size) {
        escape_count = static_cast<int64_t>(count_escapes(v, n, *p.escapes));
        room += escape_count;
      } else {
        room += static_cast<int64_t>(n);
      }
    }
    ensure(room);

    if (!kFixed && k > 0) put(job.field, static_cast<size_t>(job.field_len));
    if (job.colsep_len > 0) {
      put(c->name, c->name_len);
      if (job.colsep[0] == ' ' && longest_name > c->name_len) skip(longest_name - c->name_len);
      put(job.colsep, static_cast<size_t>(job.colsep_len));
    }

    size_t written = 0;
    if (is_null) {
      if (p.kind == Kind::kLobRef && kFormat == kFormatText) {
        written = put_lob_reference(p, row, true);
        if (status) return;
      } else {
        // A statement has no use for a reference to nothing: NULL there,
        // as for every other column (the lob file still gets its separator,
        // so offsets stay as in every other layout).
        if (p.kind == Kind::kLobRef) {
          put_lob_reference(p, row, true, false);
          if (status) return;
        }
        put(job.null, static_cast<size_t>(job.null_len));
        written = static_cast<size_t>(job.null_len);
      }
    } else {
      if (kFormat == kFormatMysqlInsert && p.hex) put("unhex(", 6);
      if (!kFixed && p.quote) put(job.quote, quote_len);
      switch (p.kind) {
        case Kind::kNumber:
        case Kind::kDate: {
          char text[256];
          const unsigned char* cell = p.base + static_cast<size_t>(row) * p.slot;
          int len = p.kind == Kind::kNumber ? format_number(cell, c->lengths[row], text)
                                            : format_date(cell, c->lengths[row], text);
          if (len > 0) put(text, static_cast<size_t>(len));
          written = len > 0 ? static_cast<size_t>(len) : 0;
          break;
        }
        case Kind::kLobRef:
          written = put_lob_reference(p, row, false);
          if (status) return;
          break;
        case Kind::kLong:
        case Kind::kText:
          if ((kFormat == kFormatMysqlInsert && p.hex) || p.hex_text) {
            written = put_hex(v, n, p.max_out, p.hex_text);
            break;
          }
          if (p.kind == Kind::kLong) {
            // Room for the whole value; the exact escape count only matters
            // when the worst case might not fit.
            int64_t long_room = static_cast<int64_t>(p.max_out) + static_cast<int64_t>(n);
            if (p.escaped) {
              if (escape_count < 0 && pos + long_room + static_cast<int64_t>(n) >= size) {
                escape_count = static_cast<int64_t>(count_escapes(v, n, *p.escapes));
              }
              long_room += escape_count >= 0 ? escape_count : static_cast<int64_t>(n);
            }
            ensure(long_room);
          }
          if (p.escaped) {
            written = put_escaped(v, n, escape_count, *p.escapes);
          } else {
            put(v, n);
            written = n;
          }
          break;
      }
      if (!kFixed && p.quote) put(job.quote, quote_len);
      if (kFormat == kFormatMysqlInsert && p.hex) put(")", 1);
    }
    // Every field of the fixed-width layout is at least its display width;
    // a longer value is kept whole rather than overwritten by the next one.
    if (kFixed && written < p.display) skip(p.display - written);
  }

  // --- JSON ------------------------------------------------------------------

  // Makes room for room bytes: true when they fit in one piece now.
  bool room_for(int64_t room) {
    if (pos + room < size) return true;
    flush();
    return status == 0 && pos + room < size;
  }

  // A value refused under badchar=ERROR: one line, and the run ends with
  // the complete records before it.
  void refuse_value(const ColumnPlan& p, size_t offset) {
    session_messagef(s, kMsgJsonNotUtf8, p.column->name, static_cast<unsigned long long>(rows_total + 1),
                     static_cast<unsigned long long>(offset + 1));
    value_refused = true;
    status = kResultFetchFailed;
  }

  // A JSON string of text; a value too long for the buffer goes out in
  // pieces cut between UTF-8 sequences.
  void put_json_string(const ColumnPlan& p, const unsigned char* v, size_t n) {
    size_t bad = 0;
    if (room_for(static_cast<int64_t>(json_string_bound(n)) + 2)) {
      buf[pos] = '"';
      size_t w = json_string(buf + pos + 1, v, n, bad_utf8, &bad);
      if (w == kJsonRefused) return refuse_value(p, bad);
      pos += static_cast<int>(w) + 1;
      buf[pos++] = '"';
      return;
    }
    put("\"", 1);
    size_t done = 0;
    while (done < n && status == 0) {
      size_t cut = std::min(n - done, static_cast<size_t>(size - pos) / 6);
      // Never inside a sequence: back over up to three continuation bytes.
      for (int back = 0; back < 3 && cut > 0 && done + cut < n && (v[done + cut] & 0xC0) == 0x80; ++back) {
        --cut;
      }
      if (cut == 0) {
        flush();
        continue;
      }
      size_t w = json_string(buf + pos, v + done, cut, bad_utf8, &bad);
      if (w == kJsonRefused) return refuse_value(p, done + bad);
      pos += static_cast<int>(w);
      done += cut;
    }
    if (status == 0) put("\"", 1);
  }

  // Numbers and dates: the text form (fetched, or made from the internal
  // form) as a JSON number or an ISO-8601 string. These texts are short.
  void put_json_scalar(const ColumnPlan& p, const char* text, size_t n) {
    ensure(static_cast<int64_t>(json_datetime_bound(n) + json_number_bound(n)));
    pos += static_cast<int>(p.json == JsonKind::kNumber ? json_number(buf + pos, text, n)
                                                        : json_datetime(buf + pos, text, n));
  }

  void write_json_value(const ColumnPlan& p, uint32_t row) {
    const ColumnInfo* c = p.column;
    const bool is_null = c->indicators[row] == -1;
    if (p.kind == Kind::kLobRef) {
      // The lob file gets its separator for a NULL too, as in every layout.
      put_lob_reference(p, row, is_null, !is_null);
      if (is_null && status == 0) put("null", 4);
      return;
    }
    if (is_null) {
      put("null", 4);
      return;
    }
    if (p.kind == Kind::kNumber || p.kind == Kind::kDate) {
      char text[kValueScratch];
      const unsigned char* cell = p.base + static_cast<size_t>(row) * p.slot;
      int len = p.kind == Kind::kNumber ? format_number(cell, c->lengths[row], text)
                                        : format_date(cell, c->lengths[row], text);
      put_json_scalar(p, text, static_cast<size_t>(len > 0 ? len : 0));
      return;
    }
    unsigned char* v;
    size_t n;
    value_bytes(p, row, false, &v, &n);
    switch (p.json) {
      case JsonKind::kNumber:
      case JsonKind::kDateTime:
        put_json_scalar(p, reinterpret_cast<const char*>(v), n);
        break;
      case JsonKind::kHex:
        put("\"", 1);
        put_hex(v, n, 2, true);
        put("\"", 1);
        break;
      case JsonKind::kString:
        put_json_string(p, v, n);
        break;
    }
  }

  // {"name":value,...} and a line feed; keys in select-list order.
  void write_json_record(uint32_t row) {
    for (int k = 0; k < ncols && status == 0; ++k) {
      const ColumnPlan& p = plans[k];
      ensure(static_cast<int64_t>(p.json_key_len) + 8);
      put(k == 0 ? "{" : ",", 1);
      put(p.json_key, p.json_key_len);
      write_json_value(p, row);
    }
    if (status) return;
    ensure(8);
    put(ncols == 0 ? "{}\n" : "}\n", ncols == 0 ? 3 : 2);
  }

  // --- one record and its accounting ---------------------------------------

  template <int kFormat, bool kFixed>
  void write_record(uint32_t row) {
    record_start = pos;
    if constexpr (kFormat == kFormatJson) {
      write_json_record(row);
      return;
    }
    if (kFormat == kFormatSqlInsert) {
      ensure(static_cast<int64_t>(head->len));
      put(head->text, head->len);
    }
    if (kFormat == kFormatMysqlInsert && !stmt_open) open_statement();
    ensure(static_cast<int64_t>(job.rowpre_len) + 10);
    if (kFormat == kFormatMysqlInsert) {
      if (stmt_rows > 0) put(",\n", 2);
      put("(", 1);
    } else if (kFormat == kFormatSqlInsert) {
      put("(", 1);
    } else {
      put(job.rowpre, static_cast<size_t>(job.rowpre_len));
    }
    for (int k = 0; k < ncols; ++k) {
      write_column<kFormat, kFixed>(plans[k], k, row);
      if (status) return;
    }
    ensure(static_cast<int64_t>(job.record_len) + job.rowsuf_len + job.exec_len + 16);
    if (kFormat == kFormatText) {
      put(job.rowsuf, static_cast<size_t>(job.rowsuf_len));
      put(job.record, static_cast<size_t>(job.record_len));
    } else if (kFormat == kFormatMysqlInsert) {
      put(")", 1);
      ++stmt_rows;
    } else {
      put(")", 1);
      put(job.exec, static_cast<size_t>(job.exec_len));
      put("\n", 1);
    }
  }

  template <int kFormat>
  void account_row() {
    ++files.rows_in_file;
    ++rows_total;
    if (files.stdout_mode) return;
    if (--progress_countdown == 0) {
      report_progress(s, files.rows_in_file, files.megabytes);
      progress_countdown = rows_per_progress;
    }
    if (!need_file_change(files, job, pos)) return;
    // Every file holds complete statements: the open one ends here and the
    // next record opens a new one in the next file.
    if (kFormat == kFormatMysqlInsert && stmt_open) close_statement();
    // The next file is opened only when a record comes for it.
    change_pending = true;
  }

  void start_next_file() {
    change_pending = false;
    int rc = change_file(&files, job, s, buf, &pos);
    if (rc != 0) {
      status = rc;
      return;
    }
    files.rows_in_file = 0;
    progress_countdown = rows_per_progress;
    write_head_line();
  }

  template <int kFormat, bool kFixed>
  void write_batch(uint32_t rows) {
    for (uint32_t r = 0; r < rows && status == 0; ++r) {
      // One relaxed atomic load per record: a signal stops the run between
      // two records, never inside one (nor opens the next file).
      if (interrupt_signal() != 0) {
        interrupted = true;
        break;
      }
      if (change_pending) {
        start_next_file();
        if (status) return;
      }
      write_record<kFormat, kFixed>(r);
      if (status) return;
      account_row<kFormat>();
    }
    if (kFormat == kFormatMysqlInsert && stmt_open && status == 0) close_statement();
  }

  // Hands the batch's records and bytes to the run's live counters: two
  // relaxed atomic adds per batch, nothing per record.
  void count_batch() {
    if (job.counters == nullptr) return;
    const uint64_t bytes = static_cast<uint64_t>(static_cast<double>(files.megabytes) * 1048576.0) +
                           static_cast<uint64_t>(pos);
    const uint64_t more_bytes = bytes > counted_bytes ? bytes - counted_bytes : 0;
    job.counters->add(rows_total - counted_rows, more_bytes);
    counted_rows = rows_total;
    counted_bytes += more_bytes;
  }

  void write_batch_rows(uint32_t rows) {
    switch (job.format) {
      case kFormatMysqlInsert:
        fixed ? write_batch<kFormatMysqlInsert, true>(rows)
              : write_batch<kFormatMysqlInsert, false>(rows);
        break;
      case kFormatSqlInsert:
        fixed ? write_batch<kFormatSqlInsert, true>(rows)
              : write_batch<kFormatSqlInsert, false>(rows);
        break;
      case kFormatJson:
        write_batch<kFormatJson, false>(rows);
        break;
      default:
        fixed ? write_batch<kFormatText, true>(rows) : write_batch<kFormatText, false>(rows);
        break;
    }
  }

};

// The INSERT head and the update clause; false (with one message) when
// either does not fit its 16384 bytes.
bool build_statement_texts(Run& r) {
  const UnloadJob& job = r.job;
  BoundedText& head = *r.head;
  BoundedText& update = *r.update;
  const bool mysql = job.format == kFormatMysqlInsert;
  if (job.format == kFormatMysqlInsert || job.format == kFormatSqlInsert) {
    head.add("INSERT ");
    head.add(job.hint);
    head.add(mysql ? " INTO `" : " INTO ");
    head.add(job.table);
    head.add(mysql ? "` (" : " (");
    for (int k = 0; k < r.ncols; ++k) {
      const ColumnInfo* c = r.plans[k].column;
      if (k > 0) head.add(",", 1);
      char quoted[2 * sizeof c->name + 2];
      head.add(quoted, quote_identifier(quoted, c->name, c->name_len, mysql ? '`' : '"', !mysql));
    }
    head.add(") VALUES \n");
  }
  if (mysql && job.update) {
    update.add("\nON DUPLICATE KEY UPDATE ");
    int i = 0;
    for (int k = 0; k < r.ncols; ++k) {
      const ColumnInfo* c = r.plans[k].column;
      if (c->key) continue;
      if (i > 0) update.add(", ", 2);
      if (i % 3 == 0) update.add("\n    ", 5);
      char quoted[2 * sizeof c->name + 2];
      const size_t n = quote_identifier(quoted, c->name, c->name_len, '`', false);
      update.add(quoted, n);
      update.add("=VALUES(", 8);
      update.add(quoted, n);
      update.add(")", 1);
      ++i;
    }
  }
  if (head.overflow || update.overflow) {
    session_messagef(r.s, kMsgStatementTooLong,
                     head.overflow ? "INSERT statement head" : "ON DUPLICATE KEY UPDATE clause",
                     job.table, static_cast<int>(kStatementTextSize));
    return false;
  }
  return true;
}

JsonKind json_kind(const ColumnInfo& c) {
  if (holds_raw_bytes(c)) return JsonKind::kHex;
  switch (c.oracle_type) {
    case 2: case 4: case 6: case 21: case 22: case 100: case 101:
      return JsonKind::kNumber;
    case 12: case 156: case 180: case 181: case 187: case 188: case 232:
      return JsonKind::kDateTime;
    default:
      return JsonKind::kString;
  }
}

void plan_columns(Run& r, ColumnInfo* first) {
  const UnloadJob& job = r.job;
  const bool mysql = job.format == kFormatMysqlInsert;
  int k = 0;
  for (ColumnInfo* c = first; c; c = c->next, ++k) {
    ColumnPlan& p = r.plans[k];
    p.column = c;
    p.base = static_cast<unsigned char*>(c->buffer);
    p.slot = c->slot_width;
    p.display = c->display_width;
    if (c->max_out == 0) {
      c->max_out = c->slot_width + static_cast<int32_t>(c->name_len) + job.field_len +
                   job.colsep_len + 288;
    }
    p.max_out = c->max_out;
    switch (c->fetch_type) {
      case SQLT_NUM: p.kind = Kind::kNumber; break;
      case SQLT_DAT: p.kind = Kind::kDate; break;
      case SQLT_LVC:
      case SQLT_LVB: p.kind = Kind::kLong; break;
      case SQLT_CLOB:
      case SQLT_BLOB:
      case SQLT_BFILEE: p.kind = Kind::kLobRef; break;
      default: p.kind = Kind::kText; break;
    }
    const bool as_fetched = p.kind == Kind::kText || p.kind == Kind::kLong;
    p.hex = mysql && c->binary && as_fetched;
    p.hex_text = as_fetched && !p.hex && raw_as_hex_text(*c, job);
    p.quote = r.quote_len > 0 && c->quoted;
    p.translate = as_fetched && c->quoted && r.translation.on;
    // Raw bytes that stay raw (a backslash escape byte) are all escaped, one
    // byte at a time: LOAD DATA then reads every byte back as it was.
    const bool raw = holds_raw_bytes(*c);
    p.escapes = raw ? &r.raw_escapes : &r.escapes;
    p.escaped = as_fetched && r.escapes.on && !p.hex && !p.hex_text &&
                (raw || type_is_escaped(c->oracle_type));
    p.json = json_kind(*c);
    if (c->name_len > r.longest_name) r.longest_name = c->name_len;
  }
}


// Room for one column's key: a name of up to 30 bytes escaped (6 per byte),
// a suffix "_<number>", two quotes and the colon.
constexpr size_t kJsonKeySize = 6 * 30 + 16;
constexpr size_t kJsonNameSize = 48;

// The object keys, once per run: the column names in select-list order; a
// name met before gets "_2", "_3", ... (the first suffix that is neither an
// earlier key nor another column's name). False when memory is short.
bool build_json_keys(Run& r) {
  if (r.ncols == 0) return true;
  r.json_keys = static_cast<char*>(std::calloc(static_cast<size_t>(r.ncols), kJsonKeySize + kJsonNameSize));
  if (!r.json_keys) return false;
  char* names = r.json_keys + static_cast<size_t>(r.ncols) * kJsonKeySize;
  // An earlier key, or (for a suffixed name) any column's own name.
  auto taken = [&](const char* name, int k, bool suffixed) {
    for (int j = 0; j < k; ++j) {
      if (std::strcmp(names + j * kJsonNameSize, name) == 0) return true;
    }
    for (int j = 0; suffixed && j < r.ncols; ++j) {
      if (std::strcmp(r.plans[j].column->name, name) == 0) return true;
    }
    return false;
  };
  for (int k = 0; k < r.ncols; ++k) {
    ColumnPlan& p = r.plans[k];
    const ColumnInfo* c = p.column;
    char* name = names + k * kJsonNameSize;
    std::snprintf(name, kJsonNameSize, "%.*s", static_cast<int>(c->name_len), c->name);
    for (int suffix = 2; taken(name, k, suffix > 2); ++suffix) {
      std::snprintf(name, kJsonNameSize, "%.*s_%d", static_cast<int>(c->name_len), c->name, suffix);
    }
    char* key = r.json_keys + k * kJsonKeySize;
    key[0] = '"';
    size_t n = json_string(key + 1, reinterpret_cast<const unsigned char*>(name), std::strlen(name),
                           BadUtf8::kReplace);
    key[n + 1] = '"';
    key[n + 2] = ':';
    p.json_key = key;
    p.json_key_len = static_cast<uint32_t>(n + 3);
  }
  return true;
}

// The escaping plan: how the target character set's characters are
// stepped over, decided once per run. The target set is charset= (by its
// name, or the id the client library gave it), else the client's default:
// the character set of the session's environment. A set that cannot be
// told is escaped byte by byte.
CharWidth text_char_width(const UnloadJob& job, DbSession* s) {
  CharWidth width = CharWidth::kSingleByte;
  if (charset_width_by_name(job.charset, &width)) return width;
  if (charset_width_by_id(job.charset_id, &width)) return width;
  uint16_t env_id = 0;
  if (s->api && s->env &&
      s->api->OCIAttrGet(s->env, OCI_HTYPE_ENV, &env_id, nullptr, OCI_ATTR_ENV_CHARSET_ID,
                         s->error) == OCI_SUCCESS &&
      charset_width_by_id(env_id, &width)) {
    return width;
  }
  return CharWidth::kSingleByte;
}

bool error_tolerated(const UnloadJob& job, int32_t code) {
  int n = std::min(job.error_count, kMaxErrorCodes);
  for (int i = 0; i < n; ++i) {
    if (job.errors[i] == code) return true;
  }
  return false;
}

// Ends the run early: what is in the buffer is complete records, so it is
// written when `keep` is set; every file is closed and a compressed stream
// finished. The files never take their final names: with `keep` they stay
// under their temporary names, named by the last line, otherwise (a data
// stream that failed) they are deleted.
void end_early(Run& r, bool keep) {
  if (keep && r.pos > 0 && finish_file(&r.files, r.buf, r.pos) != 0) keep = false;
  r.pos = 0;
  close_output_files(&r.files, keep ? FileEnd::kKeep : FileEnd::kDiscard);
  if (keep) report_kept_files(r.s, r.files);
}

}  // namespace

int write_rows(const UnloadJob& job, DbSession* s, void* stmt, ColumnInfo* first,
               bool fixed_width, const FetchLimits& limits) {
  Run r(job, s);
  r.fixed = fixed_width;
  r.lob_piece_size = limits.lob_piece_size;
  for (ColumnInfo* c = first; c; c = c->next) ++r.ncols;

  const int asked = limits.record_buffer_size;
  r.size = asked <= 0 ? kDefaultRecordBuffer : std::max(asked, kMinRecordBuffer);
  Owned<ColumnPlan> plans = allocate_zeroed<ColumnPlan>(r.ncols > 0 ? r.ncols : 1);
  Owned<BoundedText> head = allocate_zeroed<BoundedText>(1);
  Owned<BoundedText> update = allocate_zeroed<BoundedText>(1);
  Owned<char> buf(static_cast<char*>(std::malloc(static_cast<size_t>(r.size))));
  r.plans = plans.get();
  r.head = head.get();
  r.update = update.get();
  r.buf = buf.get();
  if (!r.plans || !r.head || !r.update || !r.buf) {
    session_message(s, kMsgNoRecordBuffer);
    return kResultWriteFailed;
  }

  build_translation(&r.translation, job.sedf, job.sedt);
  build_escape_table(&r.escapes, job.escape, job.escf, job.esct, text_char_width(job, s));
  build_escape_table(&r.raw_escapes, job.escape, job.escf, job.esct, CharWidth::kSingleByte);
  r.quote_len = std::strlen(job.quote);
  plan_columns(r, first);
  r.json = job.format == kFormatJson;
  r.bad_utf8 = job.badchar == kBadCharReplace ? BadUtf8::kReplace : BadUtf8::kRefuse;
  const bool keys_built = !r.json || build_json_keys(r);
  Owned<char> json_keys(r.json_keys);
  if (!keys_built) {
    session_message(s, kMsgNoRecordBuffer);
    return kResultWriteFailed;
  }
  if (r.json) r.fixed = false;  // a JSON line has no fields of a fixed width
  if (!build_statement_texts(r)) return kResultDescribeFailed;

  int rc = open_output_files(&r.files, job, s);
  if (rc != 0) {
    close_output_files(&r.files);
    return rc;
  }
  // Only fixed-width fields and names padded before a blank column
  // separator move over unwritten bytes (skip); without them the buffer
  // need not be blank at all.
  r.files.keep_blank = !r.json && (r.fixed || (job.colsep_len > 0 && job.colsep[0] == ' '));
  if (r.files.keep_blank) std::memset(r.buf, ' ', static_cast<size_t>(r.size));
  r.pos = 0;
  r.rows_per_progress = job.rows > 0 ? job.rows : 1;
  r.progress_countdown = r.rows_per_progress;

  r.write_head_line();
  if (!r.files.stdout_mode) report_progress(s, 0, 0.0f);

  const DbClient* api = s->api;
  const uint32_t array = std::clamp<uint32_t>(job.array, 1, kMaxArray);
  uint32_t rows_before = 0;  // cumulative row count before the current call (mod 2^32)
  int idle_errors = 0;       // consecutive tolerated errors that delivered no row
  while (r.status == 0) {
    if (interrupt_signal() != 0) {
      r.interrupted = true;
      break;
    }
    bool complete = true;
    uint32_t batch = 0;
    int32_t fetch = api->OCIStmtFetch(stmt, s->error, array, OCI_FETCH_NEXT, OCI_DEFAULT);
    if (fetch == OCI_SUCCESS) {
      batch = array;
    } else {
      if (fetch != OCI_NO_DATA) {
        report_error(s);
        if (!error_tolerated(job, s->error_code)) {
          end_early(r, true);
          return kResultFetchFailed;
        }
        complete = false;
      }
      // The rows this call delivered: the cumulative count minus the count
      // before it, which stays right after a tolerated error with a full array.
      uint32_t count = 0;
      if (api->OCIAttrGet(stmt, OCI_HTYPE_STMT, &count, nullptr, OCI_ATTR_ROW_COUNT, s->error) ==
          OCI_SUCCESS) {
        // A count that went backwards (delta beyond one array) delivered nothing.
        uint32_t delta = count - rows_before;
        batch = delta <= array ? delta : 0;
      }
    }
    rows_before += batch;
    r.write_batch_rows(batch);
    r.count_batch();
    if (r.interrupted || (batch < array && complete)) break;
    // A tolerated error that delivers nothing twice running means the cursor
    // makes no progress; fetching on would never end.
    idle_errors = !complete && batch == 0 ? idle_errors + 1 : 0;
    if (idle_errors >= 2 && r.status == 0) {
      end_early(r, true);
      return kResultFetchFailed;
    }
  }
  if (r.status != 0) {
    // A lob file failure or a refused value leaves the data stream sound:
    // the complete records before it still go out. A failed data write
    // does not.
    const bool sound = r.lob_write_failed || r.value_refused;
    if (sound) r.keep_complete_records();
    end_early(r, sound);
    return r.status;
  }

  if (finish_file(&r.files, r.buf, r.pos) != 0) {
    end_early(r, false);
    return r.write_failure();
  }
  r.pos = 0;
  if (r.interrupted) {
    // Every record handed over is whole; closing finishes a compressed stream.
    // They keep their temporary names: the run did not deliver its result.
    if (close_output_files(&r.files, FileEnd::kKeep) != 0) return r.write_failure();
    report_interrupted(s, interrupt_signal(), r.rows_total);
    report_kept_files(s, r.files);
    return interrupted_result(interrupt_signal());
  }
  if (!r.files.stdout_mode && r.files.rows_in_file % r.rows_per_progress != 0) {
    report_progress(s, r.files.rows_in_file, r.files.megabytes);
  }
  // A compressed stream or buffered bytes may still fail at the close: the
  // closing line only follows a file that was completely written.
  // A LOB that could not be read whole leaves the files under their
  // temporary names: the final names hold only complete results.
  const FileEnd end = r.lob_failed ? FileEnd::kKeep : FileEnd::kPublish;
  int result = close_output_files(&r.files, end) != 0 ? r.write_failure() : kResultOk;
  if (!r.files.stdout_mode && result == kResultOk && !r.lob_failed) {
    report_closing(s, r.files.data_name, r.files.rows_in_file, r.files.megabytes);
  }
  if (result == kResultOk && r.lob_failed) report_kept_files(s, r.files);
  if (!r.files.stdout_mode && s->log) std::fflush(s->log);
  // A LOB that could not be read whole was reported; the run still ends as
  // failed so that a truncated LOB never passes for a complete unload.
  if (result == kResultOk && r.lob_failed) result = kResultFetchFailed;
  return result;
}

}  // namespace rowvane
