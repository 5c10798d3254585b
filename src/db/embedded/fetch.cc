// Defines, array fetch and LOB reads of the embedded engine.
//
// Every value goes from SQLite's row straight into the caller's slot: text
// is copied (or converted by iconv) into the slot, numbers and dates are
// formatted on the stack and copied once, and nothing is allocated per
// value. Only LOB locators and hex forms of binary values use buffers that
// grow once and are then reused.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "db/embedded/engine.h"
#include "db/embedded/internal.h"
#include "platform/file_io.h"

namespace rowvane::embedded {
namespace {

constexpr int32_t kIndNull = -1;
constexpr int32_t kIndTooLong = -2;

bool is_lob_type(uint16_t dty) { return dty == SQLT_CLOB || dty == SQLT_BLOB || dty == SQLT_BFILEE; }
bool has_prefix(uint16_t dty) { return dty == SQLT_LVC || dty == SQLT_LVB; }

bool is_date_kind(Kind k) {
  return k == Kind::kDate || k == Kind::kTimestamp || k == Kind::kTimestampTz ||
         k == Kind::kTimestampLtz;
}
bool is_number_kind(Kind k) {
  return k == Kind::kNumber || k == Kind::kFloat || k == Kind::kBinaryFloat ||
         k == Kind::kBinaryDouble;
}
bool is_binary_kind(Kind k) {
  return k == Kind::kRaw || k == Kind::kLongRaw || k == Kind::kBlob || k == Kind::kBfile;
}
// Binary kinds whose text form is hex (a BFILE's bytes are passed as they are).
bool is_hex_kind(Kind k) { return k == Kind::kRaw || k == Kind::kLongRaw || k == Kind::kBlob; }

struct FetchState {
  Stmt* st;
  sqlite3_stmt* vm;  // the compiled query the rows come from
  Env* env;
  bool truncated;
  bool dates_as_stored;  // DATE text in the stored form is delivered as it is
};

// True when the format renders 'YYYY-MM-DD HH24:MI:SS', the form SQLite's
// own date functions store: such text then needs no parsing and rendering.
bool renders_stored_form(const NlsFormat& f) {
  static const NlsFormat stored = [] {
    NlsFormat g{};
    compile_format("YYYY-MM-DD HH24:MI:SS", 21, &g);
    return g;
  }();
  return f.count == stored.count && f.literal_len == stored.literal_len &&
         std::memcmp(f.elements, stored.elements,
                     static_cast<size_t>(stored.count) * sizeof stored.elements[0]) == 0 &&
         std::memcmp(f.literals, stored.literals, static_cast<size_t>(stored.literal_len)) == 0;
}

// True for exactly 19 bytes 'YYYY-MM-DD HH:MM:SS' naming a valid date and
// time of years 1 to 9999, which the general path would render unchanged.
bool is_stored_datetime_text(const unsigned char* s, size_t n) {
  if (n != 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' || s[16] != ':')
    return false;
  int v[6];
  static constexpr int kAt[6] = {0, 5, 8, 11, 14, 17};
  for (int k = 0; k < 6; ++k) {
    const unsigned char* p = s + kAt[k];
    int width = k == 0 ? 4 : 2, x = 0;
    for (int i = 0; i < width; ++i) {
      unsigned d = static_cast<unsigned>(p[i]) - '0';
      if (d > 9) return false;
      x = x * 10 + static_cast<int>(d);
    }
    v[k] = x;
  }
  const int y = v[0], m = v[1], d = v[2];
  if (y < 1 || m < 1 || m > 12 || d < 1 || v[3] > 23 || v[4] > 59 || v[5] > 59) return false;
  static constexpr int kLen[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap_year = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= (m == 2 && leap_year ? 29 : kLen[m - 1]);
}

unsigned char* slot_of(const Define* d, uint32_t row) {
  return d->buffer + static_cast<size_t>(row) * d->stride + (has_prefix(d->dty) ? 4 : 0);
}

// Sets prefix, terminator, length, indicator and return code of a slot that
// received `delivered` bytes of a value that takes `full` bytes.
void finish_slot(FetchState& fs, const Define* d, uint32_t row, size_t delivered, size_t full) {
  if (has_prefix(d->dty)) {
    uint32_t n = static_cast<uint32_t>(delivered);
    std::memcpy(d->buffer + static_cast<size_t>(row) * d->stride, &n, 4);
  } else if (d->dty == SQLT_STR) {
    slot_of(d, row)[delivered] = 0;
  }
  if (d->lengths) d->lengths[row] = static_cast<uint16_t>(delivered > 65535 ? 65535 : delivered);
  if (full > delivered) {
    if (d->indicators)
      d->indicators[row] = static_cast<int16_t>(full > 32767 ? kIndTooLong : full);
    if (d->rcodes) d->rcodes[row] = static_cast<uint16_t>(kOraTruncated);
    fs.truncated = true;
  } else {
    if (d->indicators) d->indicators[row] = 0;
    if (d->rcodes) d->rcodes[row] = 0;
  }
}

int32_t put_null(const Define* d, uint32_t row) {
  if (!d->indicators) return 1405;  // nowhere to say the value is NULL
  d->indicators[row] = kIndNull;
  if (d->lengths) d->lengths[row] = 0;
  if (d->rcodes) d->rcodes[row] = 1405;
  if (has_prefix(d->dty)) std::memset(d->buffer + static_cast<size_t>(row) * d->stride, 0, 4);
  else if (d->dty == SQLT_STR) slot_of(d, row)[0] = 0;
  return 0;
}

// Text of the database (UTF-8) into a text slot, converted when the define
// has a converter.
void put_text(FetchState& fs, const Define* d, uint32_t row, const unsigned char* src, size_t n) {
  unsigned char* dst = slot_of(d, row);
  size_t full = n, w;
  if (d->conv) {
    w = convert_text(d->conv, src, n, dst, d->capacity, &full);
  } else {
    w = n <= d->capacity ? n : d->capacity;
    std::memcpy(dst, src, w);
  }
  finish_slot(fs, d, row, w, full);
}

// ASCII text (numbers, dates, hex) of `chars` characters whose whole value
// would take full_chars characters.
void put_ascii(FetchState& fs, const Define* d, uint32_t row, const char* src, size_t chars,
               size_t full_chars) {
  unsigned char* dst = slot_of(d, row);
  const auto* s = reinterpret_cast<const unsigned char*>(src);
  if (d->conv && (d->conv->kind == TargetKind::kUtf16Le || d->conv->kind == TargetKind::kUtf16Be)) {
    size_t ignored;
    size_t w = convert_text(d->conv, s, chars, dst, d->capacity, &ignored);
    finish_slot(fs, d, row, w, full_chars * 2);
    return;
  }
  size_t w = chars <= d->capacity ? chars : d->capacity;
  std::memcpy(dst, src, w);
  finish_slot(fs, d, row, w, full_chars);
}

void put_bytes(FetchState& fs, const Define* d, uint32_t row, const void* src, size_t n) {
  size_t w = n <= d->capacity ? n : d->capacity;
  std::memcpy(slot_of(d, row), src, w);
  finish_slot(fs, d, row, w, n);
}

// Upper-case hex of binary data, as the vendor turns RAW into text. Only
// the part that fits the slot is formed.
void put_hex(FetchState& fs, const Define* d, uint32_t row, const unsigned char* src, size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t take = n;
  if (take > d->capacity / 2 + 1) take = d->capacity / 2 + 1;
  std::vector<unsigned char>& buf = fs.st->scratch;
  if (buf.size() < take * 2) buf.resize(take * 2);
  for (size_t i = 0; i < take; ++i) {
    buf[2 * i] = static_cast<unsigned char>(kHex[src[i] >> 4]);
    buf[2 * i + 1] = static_cast<unsigned char>(kHex[src[i] & 15]);
  }
  put_ascii(fs, d, row, reinterpret_cast<const char*>(buf.data()), take * 2, n * 2);
}

bool column_datetime(sqlite3_stmt* vm, int col, int type, DateTime* dt) {
  switch (type) {
    case SQLITE_TEXT:
      return parse_datetime_text(reinterpret_cast<const char*>(sqlite3_column_text(vm, col)),
                                 static_cast<size_t>(sqlite3_column_bytes(vm, col)), dt);
    case SQLITE_INTEGER:
      return datetime_from_unix(static_cast<double>(sqlite3_column_int64(vm, col)), dt);
    case SQLITE_FLOAT: return datetime_from_julian(sqlite3_column_double(vm, col), dt);
    default: return false;
  }
}

size_t format_real(Kind kind, double v, char* out) {
  if (kind == Kind::kBinaryFloat && std::isfinite(v) && v != 0 &&
      std::fabs(v) < 3.4e38 && std::fabs(v) > 1e-38) {
    // Shortest digits of the single-precision value.
    float f = static_cast<float>(v);
    auto r = std::to_chars(out, out + 500, f, std::chars_format::fixed);
    size_t n = static_cast<size_t>(r.ptr - out);
    if (r.ec == std::errc() && n <= 64) return n;
  }
  return format_double(v, out);
}

// A number column as text. SQLite keeps text it cannot read as a number
// in such a column; the server never holds one, so text that converts is
// written as the server writes the number, and anything else (a BLOB
// included) fails as the server's conversion does, with ORA-01722. NUMBER
// and FLOAT text has no leading zero before the point (".5", "-.00123").
int32_t put_number_text(FetchState& fs, const Define* d, uint32_t row, int col, int type) {
  sqlite3_stmt* vm = fs.vm;
  const bool binary = d->kind == Kind::kBinaryFloat || d->kind == Kind::kBinaryDouble;
  char tmp[512];
  size_t n;
  switch (type) {
    case SQLITE_INTEGER: n = format_int64(sqlite3_column_int64(vm, col), tmp); break;
    case SQLITE_FLOAT:
      n = format_real(d->kind, sqlite3_column_double(vm, col), tmp);
      if (!binary && n > 1 && tmp[0] == '0' && tmp[1] == '.') {
        std::memmove(tmp, tmp + 1, --n);
      } else if (!binary && n > 2 && tmp[0] == '-' && tmp[1] == '0' && tmp[2] == '.') {
        std::memmove(tmp + 1, tmp + 2, --n - 1);
      }
      break;
    case SQLITE_TEXT: {
      const char* t = reinterpret_cast<const char*>(sqlite3_column_text(vm, col));
      size_t len = static_cast<size_t>(sqlite3_column_bytes(vm, col));
      if (!t) return sqlite3_errcode(sqlite3_db_handle(vm)) == SQLITE_NOMEM ? 4030 : 1722;
      if (len == 0) return put_null(d, row);  // the server holds '' as NULL
      if (binary) {
        while (len > 0 && *t == ' ') ++t, --len;
        while (len > 0 && t[len - 1] == ' ') --len;
        double v;
        auto r = std::from_chars(t, t + len, v);
        if (len == 0 || r.ec != std::errc() || r.ptr != t + len) return 1722;
        n = format_real(d->kind, v, tmp);
      } else {
        unsigned char num[22];
        int m = encode_oracle_number(t, len, num);
        if (m == 0) return 1722;
        n = format_number_text(num, m, tmp);
      }
      break;
    }
    default: return 1722;
  }
  put_ascii(fs, d, row, tmp, n, n);
  return 0;
}

int32_t put_as_text(FetchState& fs, const Define* d, uint32_t row, int col, int type) {
  sqlite3_stmt* vm = fs.vm;
  char tmp[512];
  Kind k = d->kind;
  if (is_number_kind(k)) return put_number_text(fs, d, row, col, type);
  if (is_date_kind(k)) {
    if (k == Kind::kDate && type == SQLITE_TEXT && fs.dates_as_stored) {
      const unsigned char* text = sqlite3_column_text(vm, col);
      size_t len = static_cast<size_t>(sqlite3_column_bytes(vm, col));
      if (is_stored_datetime_text(text, len)) {
        put_ascii(fs, d, row, reinterpret_cast<const char*>(text), len, len);
        return 0;
      }
    }
    DateTime dt;
    if (!column_datetime(vm, col, type, &dt)) return 1861;
    const NlsFormat* f = &fs.env->date_format;
    if (k == Kind::kTimestamp) {
      f = &fs.env->timestamp_format;
    } else if (k == Kind::kTimestampTz) {
      f = &fs.env->timestamp_tz_format;
    } else if (k == Kind::kTimestampLtz) {
      datetime_to_utc(&dt);  // the session's time zone is UTC
      f = &fs.env->timestamp_format;
    }
    size_t n = render_datetime(*f, dt, d->fraction_digits, tmp);
    put_ascii(fs, d, row, tmp, n, n);
    return 0;
  }
  switch (type) {
    case SQLITE_INTEGER: {
      int64_t v = sqlite3_column_int64(vm, col);
      size_t n;
      if (k == Kind::kRowid) {
        // The engine's ROWID text: 18 digits, zero-padded, so that its text
        // order is its numeric order.
        uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        int width = v < 0 ? 17 : 18;
        char* p = tmp;
        if (v < 0) *p++ = '-';
        for (int i = width - 1; i >= 0; --i) {
          p[i] = static_cast<char>('0' + u % 10);
          u /= 10;
        }
        n = 18;
      } else {
        n = format_int64(v, tmp);
      }
      put_ascii(fs, d, row, tmp, n, n);
      return 0;
    }
    case SQLITE_FLOAT: {
      size_t n = format_real(k, sqlite3_column_double(vm, col), tmp);
      put_ascii(fs, d, row, tmp, n, n);
      return 0;
    }
    case SQLITE_BLOB: {
      const auto* b = static_cast<const unsigned char*>(sqlite3_column_blob(vm, col));
      size_t n = static_cast<size_t>(sqlite3_column_bytes(vm, col));
      if (is_hex_kind(k) || k == Kind::kRowid)
        put_hex(fs, d, row, b, n);
      else
        put_text(fs, d, row, b ? b : reinterpret_cast<const unsigned char*>(""), n);
      return 0;
    }
    default: {
      const unsigned char* t = sqlite3_column_text(vm, col);
      size_t n = static_cast<size_t>(sqlite3_column_bytes(vm, col));
      if (!t) {
        if (sqlite3_errcode(sqlite3_db_handle(vm)) == SQLITE_NOMEM) return 4030;
        t = reinterpret_cast<const unsigned char*>("");
        n = 0;
      }
      if (is_hex_kind(k))
        put_hex(fs, d, row, t, n);
      else
        put_text(fs, d, row, t, n);
      return 0;
    }
  }
}

int32_t put_as_number(FetchState& fs, const Define* d, uint32_t row, int col, int type) {
  sqlite3_stmt* vm = fs.vm;
  unsigned char num[22];
  int len = 0;
  switch (type) {
    case SQLITE_INTEGER: len = encode_number_int64(sqlite3_column_int64(vm, col), num); break;
    case SQLITE_FLOAT: {
      double v = sqlite3_column_double(vm, col);
      if (!std::isfinite(v)) return 1426;
      char tmp[64];
      auto r = std::to_chars(tmp, tmp + sizeof tmp, v);  // shortest round-trip digits
      len = encode_oracle_number(tmp, static_cast<size_t>(r.ptr - tmp), num);
      if (len == 0) return 1426;
      break;
    }
    case SQLITE_TEXT:
      len = encode_oracle_number(reinterpret_cast<const char*>(sqlite3_column_text(vm, col)),
                                 static_cast<size_t>(sqlite3_column_bytes(vm, col)), num);
      if (len == 0) return 1722;
      break;
    default: return 1722;
  }
  put_bytes(fs, d, row, num, static_cast<size_t>(len));
  return 0;
}

int32_t put_as_date(FetchState& fs, const Define* d, uint32_t row, int col, int type) {
  DateTime dt;
  if (!column_datetime(fs.vm, col, type, &dt)) return 1861;
  if (d->kind == Kind::kTimestampLtz) datetime_to_utc(&dt);
  unsigned char b[7] = {static_cast<unsigned char>(dt.year / 100 + 100),
                        static_cast<unsigned char>(dt.year % 100 + 100),
                        static_cast<unsigned char>(dt.month),
                        static_cast<unsigned char>(dt.day),
                        static_cast<unsigned char>(dt.hour + 1),
                        static_cast<unsigned char>(dt.minute + 1),
                        static_cast<unsigned char>(dt.second + 1)};
  put_bytes(fs, d, row, b, 7);
  return 0;
}

int32_t put_as_bytes(FetchState& fs, const Define* d, uint32_t row, int col, int type) {
  sqlite3_stmt* vm = fs.vm;
  if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
    char tmp[512];
    size_t n = type == SQLITE_INTEGER ? format_int64(sqlite3_column_int64(vm, col), tmp)
                                      : format_real(d->kind, sqlite3_column_double(vm, col), tmp);
    put_bytes(fs, d, row, tmp, n);
    return 0;
  }
  const void* p = type == SQLITE_BLOB ? sqlite3_column_blob(vm, col)
                                      : static_cast<const void*>(sqlite3_column_text(vm, col));
  size_t n = static_cast<size_t>(sqlite3_column_bytes(vm, col));
  put_bytes(fs, d, row, p ? p : "", n);
  return 0;
}

// Reads a value as a whole number, rounding as the vendor does; false with
// the error number when it is no number or lies beyond 64 bits.
bool column_integer(sqlite3_stmt* vm, int col, int type, int64_t* v, int32_t* code) {
  if (type == SQLITE_INTEGER) {
    *v = sqlite3_column_int64(vm, col);
    return true;
  }
  double x;
  if (type == SQLITE_FLOAT) {
    x = sqlite3_column_double(vm, col);
  } else if (type == SQLITE_TEXT) {
    const char* t = reinterpret_cast<const char*>(sqlite3_column_text(vm, col));
    size_t n = static_cast<size_t>(sqlite3_column_bytes(vm, col));
    while (n > 0 && *t == ' ') { ++t; --n; }
    while (n > 0 && t[n - 1] == ' ') --n;
    auto r = std::from_chars(t, t + n, *v);
    if (r.ec == std::errc() && r.ptr == t + n) return true;
    auto rd = std::from_chars(t, t + n, x);
    if (rd.ec != std::errc() || rd.ptr != t + n) {
      *code = 1722;
      return false;
    }
  } else {
    *code = 1722;
    return false;
  }
  if (!(std::fabs(x) < 9.2e18)) {
    *code = 1455;
    return false;
  }
  *v = std::llround(x);
  return true;
}

int32_t put_as_integer(FetchState& fs, const Define* d, uint32_t row, int col, int type) {
  int64_t v = 0;
  int32_t code = 0;
  if (!column_integer(fs.vm, col, type, &v, &code)) return code;
  bool is_signed = d->dty == SQLT_INT;
  size_t size = static_cast<size_t>(d->value_sz);
  unsigned char* dst = slot_of(d, row);
  if (is_signed) {
    int64_t lo = size == 8 ? INT64_MIN : -(int64_t{1} << (size * 8 - 1));
    int64_t hi = size == 8 ? INT64_MAX : (int64_t{1} << (size * 8 - 1)) - 1;
    if (v < lo || v > hi) return 1455;
  } else {
    if (v < 0) return 1455;
    if (size < 8 && static_cast<uint64_t>(v) > (uint64_t{1} << (size * 8)) - 1) return 1455;
  }
  switch (size) {
    case 1: { uint8_t x8 = static_cast<uint8_t>(v); std::memcpy(dst, &x8, 1); break; }
    case 2: { uint16_t x16 = static_cast<uint16_t>(v); std::memcpy(dst, &x16, 2); break; }
    case 4: { uint32_t x32 = static_cast<uint32_t>(v); std::memcpy(dst, &x32, 4); break; }
    default: std::memcpy(dst, &v, 8); break;
  }
  finish_slot(fs, d, row, size, size);
  return 0;
}

// Writes a large value straight from SQLite's row into the environment's
// spill file, so that it is held once (by SQLite, for this row) and never
// copied on the heap, and a batch of locators holds no more than the values
// of at most kLobInlineLimit bytes.
bool spill_lob(Env* env, Lob* l, const unsigned char* src, size_t n) {
  if (!env->lob_spill) env->lob_spill = std::tmpfile();
  if (!env->lob_spill) return false;
  if (rowvane::file_seek(env->lob_spill, static_cast<int64_t>(env->lob_spill_end)) != 0 ||
      std::fwrite(src, 1, n, env->lob_spill) != n)
    return false;
  l->spilled = true;
  l->spill_offset = env->lob_spill_end;
  l->len = n;
  env->lob_spill_end += n;
  return true;
}

// Keeps n bytes of a value in its locator, or in the spill file when large.
bool hold_lob(Env* env, Lob* l, const unsigned char* src, size_t n) {
  note_lob_memory(env, n);  // SQLite's copy of the row's value
  if (n > kLobInlineLimit) return spill_lob(env, l, src, n);
  if (n > l->cap) {
    auto* nb = static_cast<unsigned char*>(std::realloc(l->data, n));
    if (!nb) return false;
    l->data = nb;
    l->cap = n;
  }
  if (n) std::memcpy(l->data, src, n);
  l->len = n;
  return true;
}

void close_blob(Lob* l) {
  if (l->blob) sqlite3_blob_close(l->blob);
  l->blob = nullptr;
}

// Fills a locator with the row's value of a column read from its table: the
// value's type comes from a lookup by rowid that does not read the value
// itself; numbers (rare in a LOB column) are held as their text.
int32_t put_streamed_locator(FetchState& fs, const Define* d, uint32_t row, Lob* l, bool textual) {
  LobStream* ls = d->stream.get();
  const int64_t rowid = sqlite3_column_int64(fs.vm, fs.st->rowid_col);
  sqlite3_reset(ls->probe);
  sqlite3_bind_int64(ls->probe, 1, rowid);
  if (sqlite3_step(ls->probe) != SQLITE_ROW) {
    sqlite3_reset(ls->probe);
    return 22275;
  }
  const char* type = reinterpret_cast<const char*>(sqlite3_column_text(ls->probe, 0));
  char kind = type ? type[0] : 'n';
  if (kind == 'n') {
    l->is_null = true;
    sqlite3_reset(ls->probe);
    return put_null(d, row);
  }
  bool ok = true;
  if (kind == 'i' || kind == 'r') {
    char tmp[512];
    size_t n = kind == 'i' ? format_int64(sqlite3_column_int64(ls->probe, 1), tmp)
                           : format_real(d->kind, sqlite3_column_double(ls->probe, 1), tmp);
    ok = hold_lob(fs.env, l, reinterpret_cast<const unsigned char*>(tmp), n);
    l->chars = textual;
  } else {
    l->stream = d->stream;
    l->rowid = rowid;
    l->len = 0;
    l->chars = textual && kind == 't';
    if (kind != 't') l->conv = nullptr;  // bytes in a character column pass as they are
  }
  sqlite3_reset(ls->probe);
  if (!ok) return 4030;
  if (d->indicators) d->indicators[row] = 0;
  if (d->lengths) d->lengths[row] = 0;
  if (d->rcodes) d->rcodes[row] = 0;
  return 0;
}

int32_t put_locator(FetchState& fs, const Define* d, uint32_t row, int col, int type) {
  void* handle = nullptr;
  std::memcpy(&handle, d->buffer + static_cast<size_t>(row) * sizeof(void*), sizeof handle);
  Lob* l = as_handle<Lob>(handle, OCI_DTYPE_LOB);
  if (!l) return 22275;
  if (l->polling) return 3127;
  if (fs.env->stage_lob == l) fs.env->stage_lob = nullptr;
  close_blob(l);
  l->stream.reset();
  l->len = 0;
  l->open = false;
  l->filled = true;
  l->spilled = false;
  l->epoch = fs.env->lob_epoch;
  // Text is kept as stored and converted as it is read; character columns
  // count characters.
  const bool textual = d->dty == SQLT_CLOB && !is_binary_kind(d->kind);
  l->conv = textual ? d->conv : nullptr;
  l->utf16 = l->conv && (l->conv->kind == TargetKind::kUtf16Le || l->conv->kind == TargetKind::kUtf16Be);
  l->is_null = false;
  if (d->stream) return put_streamed_locator(fs, d, row, l, textual);
  l->is_null = type == SQLITE_NULL;
  if (l->is_null) return put_null(d, row);
  sqlite3_stmt* vm = fs.vm;
  bool ok;
  l->chars = textual;
  if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
    char tmp[512];
    size_t n = type == SQLITE_INTEGER ? format_int64(sqlite3_column_int64(vm, col), tmp)
                                      : format_real(d->kind, sqlite3_column_double(vm, col), tmp);
    ok = hold_lob(fs.env, l, reinterpret_cast<const unsigned char*>(tmp), n);
  } else {
    const void* p = type == SQLITE_BLOB ? sqlite3_column_blob(vm, col)
                                        : static_cast<const void*>(sqlite3_column_text(vm, col));
    size_t n = static_cast<size_t>(sqlite3_column_bytes(vm, col));
    if (type == SQLITE_BLOB) {
      l->conv = nullptr;  // bytes pass as they are
      l->chars = false;
      l->utf16 = false;
    }
    ok = hold_lob(fs.env, l, static_cast<const unsigned char*>(p ? p : ""), n);
  }
  if (!ok) return 4030;
  if (d->indicators) d->indicators[row] = 0;
  if (d->lengths) d->lengths[row] = 0;
  if (d->rcodes) d->rcodes[row] = 0;
  return 0;
}

int32_t put_value(FetchState& fs, const Define* d, uint32_t row) {
  int col = static_cast<int>(d->position) - 1;
  int type = sqlite3_column_type(fs.vm, col);
  if (is_lob_type(d->dty)) return put_locator(fs, d, row, col, type);
  if (type == SQLITE_NULL) return put_null(d, row);
  switch (d->dty) {
    case SQLT_NUM: return put_as_number(fs, d, row, col, type);
    case SQLT_DAT: return put_as_date(fs, d, row, col, type);
    case SQLT_BIN:
    case SQLT_LVB: return put_as_bytes(fs, d, row, col, type);
    case SQLT_INT:
    case SQLT_UIN: return put_as_integer(fs, d, row, col, type);
    default: return put_as_text(fs, d, row, col, type);
  }
}

// Decides, once per execute, how a define receives its column.
bool plan_define(Stmt* st, Define* d, void* err) {
  if (d->position > st->params.size() || !st->params[d->position - 1]) {
    set_error(err, 1007);
    return false;
  }
  const Param* p = st->params[d->position - 1];
  Env* env = st->head.env;
  d->kind = p->kind;
  d->fraction_digits = p->fraction_digits;
  bool textual = d->dty == SQLT_CHR || d->dty == SQLT_STR || d->dty == SQLT_LVC ||
                 d->dty == SQLT_AFC ||
                 (d->dty == SQLT_CLOB && !is_binary_kind(p->kind));
  const Converter* c = &env->out[p->charset_form == SQLCS_NCHAR ? 1 : 0];
  d->conv = textual && c->kind != TargetKind::kUtf8 ? c : nullptr;
  if (textual && !d->conv) d->conv = c;  // UTF-8: cut at characters
  if (is_lob_type(d->dty)) {
    d->stride = sizeof(void*);
    d->capacity = 0;
  } else {
    size_t sz = static_cast<size_t>(d->value_sz);
    d->stride = sz;
    switch (d->dty) {
      case SQLT_STR: d->capacity = sz - 1; break;
      case SQLT_LVC:
      case SQLT_LVB: d->capacity = sz - 4; break;
      case SQLT_CHR:
      case SQLT_AFC:
      case SQLT_BIN: d->capacity = sz > 65535 ? 65535 : sz; break;  // lengths are 16-bit
      default: d->capacity = sz; break;
    }
  }
  d->plan_ready = true;
  return true;
}

}  // namespace

void release_define(Define* d) {
  if (d->stmt)
    for (Define*& slot : d->stmt->defines)
      if (slot == d) slot = nullptr;
  d->stmt = nullptr;
}

void lob_free_data(Lob* l) {
  close_blob(l);
  l->stream.reset();
  std::free(l->data);
  l->data = nullptr;
  l->len = l->cap = 0;
}

int32_t define_by_pos(void* stmtp, void** defnp, void* errhp, uint32_t position, void* valuep,
                      int32_t value_sz, uint16_t dty, void* indp, uint16_t* rlenp,
                      uint16_t* rcodep, uint32_t) {
  Stmt* st = as_handle<Stmt>(stmtp, OCI_HTYPE_STMT);
  if (!st || !defnp) return OCI_INVALID_HANDLE;
  observe_call(st->head.env, "OCIDefineByPos", dty, value_sz);
  clear_error(errhp);
  if (position == 0) return set_error(errhp, 1007);
  if (!valuep) return set_error(errhp, 932, "no buffer");
  switch (dty) {
    case SQLT_CHR: case SQLT_NUM: case SQLT_DAT: case SQLT_BIN: case SQLT_AFC:
      if (value_sz < 1) return set_error(errhp, 932, "buffer size");
      break;
    case SQLT_STR:
      if (value_sz < 2) return set_error(errhp, 932, "buffer size");
      break;
    case SQLT_LVC: case SQLT_LVB:
      if (value_sz < 5) return set_error(errhp, 932, "buffer size");
      break;
    case SQLT_INT: case SQLT_UIN:
      if (value_sz != 1 && value_sz != 2 && value_sz != 4 && value_sz != 8)
        return set_error(errhp, 932, "integer size");
      break;
    case SQLT_CLOB: case SQLT_BLOB: case SQLT_BFILEE:
      // The buffer holds one locator pointer per row.
      if (value_sz != static_cast<int32_t>(sizeof(void*))) return set_error(errhp, 932, "locator size");
      break;
    default: return set_error(errhp, 932, "external type not supported");
  }
  if (st->defines.size() < position) st->defines.resize(position, nullptr);
  Define* d = st->defines[position - 1];
  if (!d) {
    d = new (std::nothrow) Define();
    if (!d) return set_error(errhp, 4030);
    d->head.magic = kMagic;
    d->head.type = OCI_HTYPE_DEFINE;
    d->head.env = st->head.env;
    d->head.user_memory = nullptr;
    Env* env = st->head.env;
    d->head.prev = &env->head;
    d->head.next = env->head.next;
    env->head.next->prev = &d->head;
    env->head.next = &d->head;
    st->defines[position - 1] = d;
  }
  d->stmt = st;
  d->position = position;
  d->buffer = static_cast<unsigned char*>(valuep);
  d->value_sz = value_sz;
  d->dty = dty;
  d->indicators = static_cast<int16_t*>(indp);
  d->lengths = rlenp;
  d->rcodes = rcodep;
  d->plan_ready = false;
  *defnp = d;
  return OCI_SUCCESS;
}

int32_t stmt_fetch(void* stmtp, void* errhp, uint32_t nrows, uint16_t orientation, uint32_t) {
  Stmt* st = as_handle<Stmt>(stmtp, OCI_HTYPE_STMT);
  if (!st) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  if (orientation != OCI_FETCH_NEXT && orientation != 0) return set_error(errhp, 1002);
  if (st->state != StmtState::kQueryOpen && st->state != StmtState::kQueryDone)
    return set_error(errhp, 1002);
  if (st->head.env->polling_lob) return set_error(errhp, 3127);
  st->rows_fetched = 0;
  if (nrows == 0) {  // cancels the cursor
    if (row_vm(st)) sqlite3_reset(row_vm(st));
    st->has_row = false;
    st->state = StmtState::kQueryDone;
    return OCI_SUCCESS;
  }
  bool fills_locators = false;
  for (Define* d : st->defines) {
    if (d && !d->plan_ready && !plan_define(st, d, errhp)) return OCI_ERROR;
    if (d && is_lob_type(d->dty)) fills_locators = true;
  }
  if (fills_locators) {
    // The locators of the previous fetch are refilled: the spill file is
    // rewritten from its start.
    st->head.env->lob_epoch++;
    st->head.env->lob_spill_end = 0;
  }
  if (!st->streams_settled && settle_lob_streaming(st, errhp) != OCI_SUCCESS) return OCI_ERROR;
  sqlite3_stmt* vm = row_vm(st);
  FetchState fs{st, vm, st->head.env, false, renders_stored_form(st->head.env->date_format)};
  uint32_t n = 0;
  while (n < nrows) {
    if (!st->has_row) {
      if (st->state == StmtState::kQueryDone) break;
      int rc = sqlite3_step(vm);
      if (rc == SQLITE_DONE) {
        sqlite3_reset(vm);  // ends the read transaction at once
        st->state = StmtState::kQueryDone;
        break;
      }
      if (rc != SQLITE_ROW) {
        set_sqlite_error(errhp, st->vm_db, rc, st->text.c_str());
        sqlite3_reset(vm);
        // The cursor cannot go on past this error. A caller that tolerates
        // it and fetches again must not see a normal end of the rows (it
        // would take the unread rest for the end of the data), so the next
        // fetch fails with ORA-01002 instead.
        st->state = StmtState::kQueryFailed;
        st->row_count += n;
        st->rows_fetched = n;
        return OCI_ERROR;
      }
      st->has_row = true;
    }
    for (Define* d : st->defines) {
      if (!d) continue;
      int32_t code = put_value(fs, d, n);
      if (code != 0) {
        // The row is consumed: a caller that tolerates the error goes on
        // with the next one.
        st->has_row = false;
        st->row_count += n;
        st->rows_fetched = n;
        return set_error(errhp, code, nullptr);
      }
    }
    st->has_row = false;
    ++n;
  }
  st->row_count += n;
  st->rows_fetched = n;
  if (fs.truncated) {
    set_error(errhp, kOraFetchInfo);
    return OCI_SUCCESS_WITH_INFO;
  }
  if (n < nrows) {
    set_error(errhp, 1403);
    return OCI_NO_DATA;
  }
  return OCI_SUCCESS;
}

// ---------------------------------------------------------------- LOBs

namespace {

// Opens a streamed value's blob reader and learns its length.
int32_t open_source(Lob* l, void* errhp) {
  if (!l->stream || l->blob) return OCI_SUCCESS;
  LobStream* ls = l->stream.get();
  if (sqlite3_blob_open(ls->db, "main", ls->table.c_str(), ls->column.c_str(), l->rowid, 0,
                        &l->blob) != SQLITE_OK) {
    int32_t r = set_error(errhp, 22275, sqlite3_errmsg(ls->db));
    close_blob(l);
    return r;
  }
  l->len = static_cast<size_t>(sqlite3_blob_bytes(l->blob));
  return OCI_SUCCESS;
}

constexpr size_t kStageSize = 131072;  // source bytes read ahead at once

// The source bytes [pos, pos + n) of a value (n <= kStageSize): in place
// when held in memory, else from the environment's read-ahead buffer, which
// is refilled from the spill file or the table only when it does not hold
// them, so every byte is read once.
const unsigned char* source_bytes(Lob* l, uint64_t pos, size_t n) {
  if (!l->spilled && !l->stream) return l->data + pos;
  Env* env = l->head.env;
  std::vector<unsigned char>& stage = env->lob_stage;
  if (env->stage_lob == l && pos >= env->stage_start && pos + n <= env->stage_start + env->stage_len)
    return stage.data() + (pos - env->stage_start);
  env->stage_lob = nullptr;
  size_t want = static_cast<size_t>(std::min<uint64_t>(l->len - pos, std::max(n, kStageSize)));
  if (stage.size() < want) stage.resize(want);
  note_lob_memory(env, stage.size());
  if (l->stream) {
    if (!l->blob || sqlite3_blob_read(l->blob, stage.data(), static_cast<int>(want),
                                      static_cast<int>(pos)) != SQLITE_OK)
      return nullptr;
  } else {
    FILE* spill = env->lob_spill;
    if (!spill || std::fflush(spill) != 0 ||
        rowvane::file_seek(spill, static_cast<int64_t>(l->spill_offset + pos)) != 0 ||
        std::fread(stage.data(), 1, want, spill) != want)
      return nullptr;
  }
  env->stage_lob = l;
  env->stage_start = pos;
  env->stage_len = want;
  return stage.data();
}

bool is_char_start(unsigned char b) { return (b & 0xC0) != 0x80; }

// Moves *pos past `count` characters (bytes for a binary value); false when
// the value ends first.
bool skip_units(Lob* l, uint64_t* pos, uint64_t count) {
  if (!l->chars) {
    *pos += count;
    return *pos < l->len;
  }
  while (count > 0 && *pos < l->len) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(l->len - *pos, 65536));
    const unsigned char* src = source_bytes(l, *pos, n);
    if (!src) return false;
    size_t i = 0;
    for (; i < n; ++i) {
      if (is_char_start(src[i])) {
        if (count == 0) break;
        --count;
      }
    }
    *pos += i;
    if (count == 0 && i < n) break;
  }
  // Continuation bytes of the last skipped character.
  while (*pos < l->len) {
    const unsigned char* b = source_bytes(l, *pos, 1);
    if (!b || is_char_start(*b)) break;
    ++*pos;
  }
  return *pos < l->len;
}

// The next piece of a read into buf: whole characters (converted into the
// client set) from poll_pos, at most poll_left characters (bytes), at most
// bufl bytes. *bytes receives the bytes written; false when the value could
// not be read.
bool next_piece(Lob* l, unsigned char* buf, uint32_t bufl, size_t* bytes) {
  *bytes = 0;
  uint64_t rest = l->len - l->poll_pos;
  // Source bytes that can fill the buffer: UTF-8 and bytes fill it byte for
  // byte; a converted character takes at least half its UTF-8 bytes.
  const bool converting = l->conv && l->conv->kind != TargetKind::kUtf8;
  size_t window = static_cast<size_t>(std::min<uint64_t>(rest, converting ? 2ull * bufl + 4 : bufl));
  if (!l->chars) window = static_cast<size_t>(std::min<uint64_t>(window, l->poll_left));
  const bool cut = window < rest;
  const unsigned char* src = source_bytes(l, l->poll_pos, window + (cut ? 1 : 0));
  if (!src) return false;
  if (l->chars) {
    // End the window at a character boundary, and after poll_left characters.
    size_t end = window, count = 0;
    for (size_t i = 0; i < window; ++i) {
      if (is_char_start(src[i]) && count++ == l->poll_left) {
        end = i;
        break;
      }
    }
    if (end == window && cut)
      while (end > 0 && !is_char_start(src[end])) --end;
    window = end;
  }
  size_t consumed = 0;
  *bytes = convert_prefix(l->conv, src, window, buf, bufl, &consumed);
  if (consumed == 0 && window > 0) return false;  // not even one character fits
  uint64_t units = consumed;
  if (l->chars) {
    units = 0;
    for (size_t i = 0; i < consumed; ++i) units += is_char_start(src[i]) ? 1 : 0;
  }
  l->poll_pos += consumed;
  l->poll_left -= std::min(l->poll_left, units);
  return true;
}

bool more_to_read(const Lob* l) { return l->poll_pos < l->len && l->poll_left > 0; }

void end_polling(Lob* l) {
  l->polling = false;
  if (l->head.env->polling_lob == l) l->head.env->polling_lob = nullptr;
}

}  // namespace

void note_lob_memory(const Env* env, size_t n) {
  if (!env->observer.lob_memory_peak) return;
  std::atomic_ref<size_t> peak(*env->observer.lob_memory_peak);
  size_t seen = peak.load(std::memory_order_relaxed);
  while (n > seen && !peak.compare_exchange_weak(seen, n, std::memory_order_relaxed)) {
  }
}

int32_t lob_open(void*, void* errhp, void* locp, uint8_t) {
  Lob* l = as_handle<Lob>(locp, OCI_DTYPE_LOB);
  if (!l) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  if (l->head.env->polling_lob) return set_error(errhp, 3127);
  if (!l->filled || l->is_null) return set_error(errhp, 22275);
  if (l->open) return set_error(errhp, 22293);
  l->open = true;
  return OCI_SUCCESS;
}

// Reads as the vendor's library does. Offsets count characters of a
// character LOB (bytes of a binary one); the amount asked too (0: to the
// end). The amount returned counts bytes, except with a UTF-16 client set,
// where it counts its two-byte characters. A read that leaves data unread
// returns OCI_NEED_DATA and the caller must call again (offset and amount
// then ignored) until OCI_SUCCESS delivers the last piece; until then any
// other call on the connection fails with ORA-03127. A read at or past the
// end returns OCI_NO_DATA with amount 0. A read callback, when given,
// receives every piece from the offset to the end in one call.
int32_t lob_read(void*, void* errhp, void* locp, uint32_t* amtp, uint32_t offset, void* bufp,
                 uint32_t bufl, void* ctxp, OciLobReadCallback cbfp, uint16_t, uint8_t) {
  Lob* l = as_handle<Lob>(locp, OCI_DTYPE_LOB);
  if (!l || !amtp) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  Env* env = l->head.env;
  if (env->polling_lob && env->polling_lob != l) return set_error(errhp, 3127);
  if (!l->filled || l->is_null) return set_error(errhp, 22275);
  // A spilled value of an earlier fetch has been overwritten since.
  if (l->spilled && l->epoch != env->lob_epoch) return set_error(errhp, 22275);
  if (!bufp || bufl == 0) return set_error(errhp, 24801);
  auto* buf = static_cast<unsigned char*>(bufp);
  const uint32_t unit = l->utf16 ? 2 : 1;
  if (!l->polling) {
    if (offset == 0) return set_error(errhp, 24801);
    int32_t r = open_source(l, errhp);
    if (r != OCI_SUCCESS) return r;
    l->poll_pos = 0;
    l->poll_left = *amtp ? *amtp : UINT64_MAX;
    if (!skip_units(l, &l->poll_pos, offset - 1) || l->len == 0) {
      *amtp = 0;
      return OCI_NO_DATA;
    }
  }
  size_t bytes = 0;
  if (cbfp) {
    // Every piece through the callback, first to last.
    uint64_t total = 0;
    bool first = true;
    while (more_to_read(l)) {
      if (!next_piece(l, buf, bufl, &bytes)) return set_error(errhp, 22275, "read failed");
      total += bytes;
      bool last = !more_to_read(l);
      uint8_t flag = first ? (last ? 0 : 1) : (last ? 3 : 2);
      first = false;
      if (cbfp(ctxp, buf, static_cast<uint32_t>(bytes), flag) != -24200 && !last) break;
    }
    end_polling(l);
    *amtp = static_cast<uint32_t>(total / unit);
    return OCI_SUCCESS;
  }
  if (!next_piece(l, buf, bufl, &bytes)) {
    end_polling(l);
    return set_error(errhp, 22275, "read failed");
  }
  *amtp = static_cast<uint32_t>(bytes / unit);
  if (more_to_read(l)) {
    l->polling = true;
    env->polling_lob = l;
    return OCI_NEED_DATA;
  }
  end_polling(l);
  if (!l->open) close_blob(l);
  return OCI_SUCCESS;
}

int32_t lob_close(void*, void* errhp, void* locp) {
  Lob* l = as_handle<Lob>(locp, OCI_DTYPE_LOB);
  if (!l) return OCI_INVALID_HANDLE;
  clear_error(errhp);
  if (l->head.env->polling_lob) return set_error(errhp, 3127);
  if (!l->open) return set_error(errhp, 22289);
  l->open = false;
  close_blob(l);
  return OCI_SUCCESS;
}

}  // namespace rowvane::embedded
