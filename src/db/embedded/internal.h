// Internal structures of the embedded engine, shared by its source files.
//
// Every handle and descriptor starts with a HandleHead; the environment keeps
// all of them (except parameter descriptors, which belong to their
// statement) on one intrusive list, so releasing the environment releases
// everything made from it, in any order the caller freed things before.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "db/client.h"

namespace rowvane::embedded {

constexpr uint32_t kMagic = 0x52564d45;  // marks a live engine handle
constexpr uint32_t kDeadMagic = 0xdeaddead;

// Attributes the engine answers beyond those named in client.h.
constexpr uint32_t kAttrStmtType = 24;        // ub2 on a statement
constexpr uint32_t kAttrPrefetchRows = 11;    // accepted, no effect
constexpr uint32_t kAttrPrefetchMemory = 13;  // accepted, no effect
constexpr uint32_t kAttrRowsFetched = 197;    // ub4: rows of the last fetch call
constexpr uint32_t kAttrNcharsetId = 262;     // ub2 on the environment

struct Env;

struct HandleHead {
  uint32_t magic;
  uint32_t type;     // OCI_HTYPE_* or OCI_DTYPE_*
  Env* env;
  HandleHead* prev;  // environment list (unused for parameters)
  HandleHead* next;
  void* user_memory; // extra memory asked for at allocation
};

// One error record.
struct ErrorRecord {
  int32_t code;      // 0 = none
  char text[600];    // "ORA-NNNNN: ...\n"
};

struct ErrorHandle {
  HandleHead head;
  ErrorRecord rec;
};

// A compiled date/time format model.
struct FormatElement {
  uint8_t code;      // FmtCode
  uint8_t arg;       // digits for FFn, case style for words
  uint16_t lit_off;  // literal text in NlsFormat::literals
  uint16_t lit_len;
};

struct NlsFormat {
  FormatElement elements[96];
  int count;
  char literals[256];
  int literal_len;
};

// Conversion of UTF-8 database text into one client character set.
enum class TargetKind : uint8_t { kUtf8, kAsciiCompatible, kUtf16Le, kUtf16Be };

struct Converter {
  TargetKind kind;
  void* cd;             // iconv descriptor (UTF-8 -> target); null for kUtf8
  unsigned char question[4];  // "?" in the target set
  int question_len;
};

struct Server {
  HandleHead head;
  sqlite3* db;
  std::string path;
};

struct Session {
  HandleHead head;
  std::string user;
  std::string password;
  bool begun;
};

struct SvcCtx {
  HandleHead head;
  Server* server;
  Session* session;
};

// What a select-list column holds, deciding every conversion.
enum class Kind : uint8_t {
  kChar,        // VARCHAR2, CHAR, NVARCHAR2, NCHAR, TEXT and text expressions
  kNumber,      // NUMBER and its kin
  kFloat,       // FLOAT
  kBinaryFloat, // BINARY_FLOAT
  kBinaryDouble,// BINARY_DOUBLE, REAL, DOUBLE
  kDate,
  kTimestamp,
  kTimestampTz,
  kTimestampLtz,
  kIntervalYm,
  kIntervalDs,
  kRaw,
  kLong,
  kLongRaw,
  kClob,
  kBlob,
  kBfile,
  kRowid,
};

struct Stmt;

struct Param {
  HandleHead head;        // type OCI_DTYPE_PARAM; not on the environment list
  Stmt* stmt;
  Kind kind;
  uint16_t data_type;
  uint16_t data_size;
  int16_t precision;
  int8_t scale;
  uint8_t charset_form;
  uint8_t fraction_digits;  // for timestamps: digits of FF
  std::string name;       // in the client character set
};

// One LOB column of a query read straight from its table: the query yields
// the row's rowid instead of the value, and each LOB is read in pieces with
// SQLite's incremental blob reader, so no value is ever held whole.
struct LobStream {
  sqlite3* db = nullptr;
  std::string table;             // as SQLite names it
  std::string column;
  sqlite3_stmt* probe = nullptr; // the value's type (and a number's value) by rowid
  LobStream() = default;
  LobStream(const LobStream&) = delete;
  LobStream& operator=(const LobStream&) = delete;
  ~LobStream() { if (probe) sqlite3_finalize(probe); }
};

struct Define {
  HandleHead head;
  Stmt* stmt;             // null once the statement is gone
  uint32_t position;
  unsigned char* buffer;
  int32_t value_sz;
  uint16_t dty;
  int16_t* indicators;
  uint16_t* lengths;
  uint16_t* rcodes;
  // Decided once per execute (plan_ready):
  bool plan_ready;
  Kind kind;
  const Converter* conv;  // null: deliver bytes unconverted
  size_t stride;          // bytes per row in buffer
  size_t capacity;        // value bytes one slot takes
  uint8_t fraction_digits;
  std::shared_ptr<LobStream> stream;  // set when the column is read from its table
};

struct Bind {
  HandleHead head;
  Stmt* stmt;
  std::string name;       // without the leading colon
  void* value;
  int32_t value_sz;
  uint16_t dty;
  int16_t* indicator;
  uint16_t* alen;
};

// kQueryFailed: a statement error ended the cursor during a fetch; later
// fetches fail (ORA-01002) rather than report a normal end of the rows.
enum class StmtState : uint8_t { kPrepared, kQueryOpen, kQueryDone, kExecuted, kQueryFailed };

struct Stmt {
  HandleHead head;
  std::string text;       // UTF-8 statement text
  sqlite3_stmt* vm;       // compiled query, kept for re-execution
  sqlite3* vm_db;         // connection vm was compiled on
  bool prepared;
  StmtState state;
  bool has_row;           // a stepped row not yet delivered
  uint16_t stmt_type;
  uint32_t row_count;
  uint32_t rows_fetched;
  std::vector<Param*> params;
  std::vector<Define*> defines;   // by position - 1; null where none
  std::vector<Bind*> binds;
  std::vector<unsigned char> scratch;  // hex forms, counting, re-used
  // LOB columns read from their table (lob_stream.cc): the rewritten query
  // the rows come from, the position of its added rowid column, and the
  // columns it leaves out (by position - 1; null for the others).
  sqlite3_stmt* stream_vm = nullptr;
  int rowid_col = -1;
  std::vector<std::shared_ptr<LobStream>> streams;
  bool streams_settled = false;
};

// The compiled query the rows come from.
inline sqlite3_stmt* row_vm(const Stmt* st) { return st->stream_vm ? st->stream_vm : st->vm; }

struct Lob {
  HandleHead head;
  // The value as stored (UTF-8 text or bytes): in data, in the spill file,
  // or in its table (stream). Text is converted piece by piece as it is read.
  unsigned char* data;
  size_t len;             // value bytes (a streamed value: known once opened)
  size_t cap;             // kept across fetches for reuse
  bool filled;            // holds a fetched value
  bool is_null;
  bool open;
  bool spilled;           // the value lies in the environment's spill file
  uint64_t spill_offset;  // where, when spilled (len bytes)
  uint32_t epoch;         // the environment's LOB epoch when it was filled
  const Converter* conv;  // text into the client set; null: bytes as they are
  bool chars;             // a character LOB: offsets and amounts count characters
  bool utf16;             // the client set is UTF-16: amounts come back in units of 2 bytes
  // Streamed from its table.
  std::shared_ptr<LobStream> stream;
  int64_t rowid;
  sqlite3_blob* blob;     // open while the value is read
  // A polling read in progress (OCI_NEED_DATA returned): where the next
  // piece starts, and how many characters (bytes) the caller still wants.
  bool polling;
  uint64_t poll_pos;
  uint64_t poll_left;
};

constexpr size_t kLobInlineLimit = 65536;

struct Env {
  HandleHead head;        // list sentinel: head.next/prev run through all handles
  uint16_t charset_id;
  uint16_t ncharset_id;
  Converter out[2];       // [0] implicit form, [1] national form
  void* in_cd;            // iconv client set -> UTF-8; null when the set is UTF-8
  Server* server;         // the attached connection
  std::string user;       // login name as USER reports it
  NlsFormat date_format;
  NlsFormat timestamp_format;
  NlsFormat timestamp_tz_format;
  ErrorRecord rec;        // errors reported on the environment itself
  EngineObserver observer{};  // set through kAttrEngineObserver; null members observe nothing
  uint32_t mode = 0;          // of OCIEnvNlsCreate, reported to the call observer
  // Large LOB values of the current fetch (see kLobInlineLimit): an
  // anonymous temporary file, rewritten from its start at every fetch that
  // fills locators. The epoch tells a locator of an earlier fetch.
  FILE* lob_spill = nullptr;
  uint64_t lob_spill_end = 0;
  uint32_t lob_epoch = 0;
  // The LOB whose polling read has not ended: until it does, every other
  // call on the connection fails with ORA-03127, as in the vendor's library.
  Lob* polling_lob = nullptr;
  // Source bytes read ahead for the LOB being read (spilled or streamed):
  // [stage_start, stage_start + stage_len) of stage_lob's value.
  std::vector<unsigned char> lob_stage;
  const Lob* stage_lob = nullptr;
  uint64_t stage_start = 0;
  size_t stage_len = 0;
};

// ---- errors.cc
void clear_error(void* errhp);
// Records "ORA-<code>: <vendor text>[: detail]\n" on the error handle (or
// the environment when errhp is an environment); returns OCI_ERROR.
int32_t set_error(void* errhp, int32_t code, const char* detail = nullptr);
// Chooses the error number for a SQLite failure from its code, extended code
// and message, and records it. stmt_text helps tell 900 from 933.
int32_t set_sqlite_error(void* errhp, sqlite3* db, int rc, const char* stmt_text);
int32_t error_get(void* hndlp, uint32_t recordno, int32_t* errcodep, unsigned char* bufp,
                  uint32_t bufsiz, uint32_t type);

// ---- charset.cc
uint16_t charset_id_by_name(const char* name);
// Prepares conversion into the set with this id (0 = UTF-8, no conversion).
bool converter_open(Converter* c, uint16_t id);
void converter_close(Converter* c);
// Opens iconv from the client set into UTF-8; null when none is needed.
bool input_converter_open(void** cd, uint16_t id);
void input_converter_close(void** cd);
// Converts client text into UTF-8 (nothing happens when cd is null or the
// text is ASCII); out receives the UTF-8 bytes.
void to_utf8(void* cd, const char* text, size_t len, std::string* out);
// Converts n UTF-8 bytes into dst (capacity cap). Returns the bytes written;
// *full receives the length the whole value takes in the target set.
size_t convert_text(const Converter* c, const unsigned char* src, size_t n, unsigned char* dst,
                    size_t cap, size_t* full);
// Converts the longest run of whole characters of src (n UTF-8 bytes; n
// must end on a character boundary) that fits into dst (capacity cap);
// *consumed receives the source bytes taken. A null converter copies bytes
// as they are (binary values). Returns the bytes written.
size_t convert_prefix(const Converter* c, const unsigned char* src, size_t n, unsigned char* dst,
                      size_t cap, size_t* consumed);

// ---- datetime.cc
struct DateTime {
  int year, month, day, hour, minute, second;
  uint32_t nanos;
  bool has_tz;
  int tz_minutes;
};
bool parse_datetime_text(const char* s, size_t n, DateTime* dt);
bool datetime_from_unix(double seconds, DateTime* dt);
bool datetime_from_julian(double jd, DateTime* dt);
void datetime_to_utc(DateTime* dt);
// Compiles a date format model (the vendor's elements); false for an element
// it lacks.
bool compile_format(const char* text, size_t len, NlsFormat* f);
// Renders dt by the format into out (room for 512 bytes); returns the length.
size_t render_datetime(const NlsFormat& f, const DateTime& dt, int fraction_digits, char* out);

// ---- numbers.cc
// Plain decimal text of a double (shortest round-trip form; exponent form
// only past 64 characters). out needs 512 bytes. Returns the length.
size_t format_double(double v, char* out);
size_t format_int64(int64_t v, char* out);
// The server's text of an internal NUMBER: no leading zero before the point
// (".5", "-.00123"), no trailing zero after it, plain up to 46 characters,
// else "d.dddE+nn". out needs 64 bytes. Returns the length.
size_t format_number_text(const unsigned char* num, int len, char* out);
int encode_number_int64(int64_t v, unsigned char out[22]);

// ---- types.cc
// Fills the describe fields of p from the declared type (may be null) and,
// for undeclared types, the storage class of the first row (SQLITE_NULL when
// there is none).
void describe_column(Param* p, const char* decltype_text, const char* column_name,
                     int first_row_type);

// ---- fetch.cc
int32_t define_by_pos(void* stmtp, void** defnp, void* errhp, uint32_t position, void* valuep,
                      int32_t value_sz, uint16_t dty, void* indp, uint16_t* rlenp,
                      uint16_t* rcodep, uint32_t mode);
int32_t stmt_fetch(void* stmtp, void* errhp, uint32_t nrows, uint16_t orientation,
                   uint32_t mode);
int32_t lob_open(void* svchp, void* errhp, void* locp, uint8_t mode);
int32_t lob_read(void* svchp, void* errhp, void* locp, uint32_t* amtp, uint32_t offset,
                 void* bufp, uint32_t bufl, void* ctxp, OciLobReadCallback cbfp, uint16_t csid,
                 uint8_t csfrm);
int32_t lob_close(void* svchp, void* errhp, void* locp);

// ---- engine.cc helpers used elsewhere
// Hands one call to the environment's call observer, when one is set.
void observe_call(const Env* env, const char* operation, uint32_t kind, int64_t value);
template <typename T>
T* as_handle(const void* p, uint32_t type) {
  auto* h = static_cast<HandleHead*>(const_cast<void*>(p));
  if (!h || h->magic != kMagic || h->type != type) return nullptr;
  return reinterpret_cast<T*>(h);
}
void release_define(Define* d);
void lob_free_data(Lob* l);
// Records that the engine held n bytes of one LOB value at once.
void note_lob_memory(const Env* env, size_t n);

// ---- lob_stream.cc
// At execute, before the first row is stepped: when the query reads LOB
// columns (declared CLOB, NCLOB or BLOB) straight from one table, prepares
// a rewritten query that yields NULL for each of them and the rowid at the
// end, with the statement's binds, as the query the rows come from
// (row_vm), so that no such value is loaded with its row. Any other query is
// left alone. Returns OCI_SUCCESS, also when nothing is rewritten.
int32_t plan_lob_streaming(Stmt* st, sqlite3* db, void* errhp);
// At the first fetch, once the defines are known: columns fetched into
// locators are read from their table; if any left-out column is fetched
// as a value, the rows come from the query as written instead, started
// afresh (nothing has been delivered yet). Returns OCI_SUCCESS or an error.
int32_t settle_lob_streaming(Stmt* st, void* errhp);
// Ends any rewritten query of the statement.
void drop_lob_streaming(Stmt* st);
// Rebinds a statement's binds onto another compiled query (engine.cc).
int32_t apply_binds(Stmt* st, sqlite3_stmt* vm, void* err);

}  // namespace rowvane::embedded
