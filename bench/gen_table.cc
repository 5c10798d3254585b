// Builds the benchmark tables in a SQLite file, deterministically from a seed.
//
//   gen_table DB_PATH [ROWS [SEED [LOB_ROWS [LOB_KB]]]]
//
// BENCH      ROWS rows of mixed types (see create_sql below); one text value
//            in three carries quotes, commas, line breaks, tabs, backslashes
//            or multibyte UTF-8.
// BENCH_LOB  LOB_ROWS rows, each with a text and a binary large object of a
//            few kilobytes, or of LOB_KB to 1.25 x LOB_KB kilobytes each when
//            LOB_KB is given and not 0 (to see whether memory follows the
//            size of the objects).
//
// The file is rebuilt from scratch (written to DB_PATH.tmp, then renamed), in
// one transaction per table, so a half-built file is never left under the
// final name. The same arguments always give the same table contents.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// splitmix64: small, fast and good enough to spread test values.
struct Rng {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
};

const char* const kSyllables[] = {"ka", "ro", "mi", "tan", "vel", "or", "sa", "lin", "du",
                                  "pe", "gor", "ix", "ne", "bra", "tho", "ul"};
constexpr int kSyllableCount = sizeof(kSyllables) / sizeof(kSyllables[0]);

// Words for NOTE and the LOB documents: plain ASCII words, and words that
// carry what escaping and JSON must handle (quotes, commas, line breaks,
// tabs, backslashes, multibyte UTF-8).
const char* const kPlainWords[] = {
    "alpha",   "beta",     "gamma",   "delta",    "order",     "shipped",
    "pending", "returned", "invoice", "customer", "warehouse", "priority",
    "50%",     "semi;colon", "status", "region",
};
constexpr int kPlainCount = sizeof(kPlainWords) / sizeof(kPlainWords[0]);
const char* const kHardWords[] = {
    "\"quoted\"", "it's", "a,b", "line\nbreak", "crlf\r\nend", "back\\slash",
    "C:\\tmp\\x", "caf\xc3\xa9", "na\xc3\xafve", "\xc3\xbc" "ber", "\xe6\x97\xa5\xe6\x9c\xac",
    "\xd0\xbc\xd0\xb8\xd1\x80", "tab\there", "'single'", "\"\"", "\xe2\x82\xac" "5,00",
    "\xce\xb5\xce\xbb\xce\xbb\xce\xac\xce\xb4\xce\xb1", "say \"\xe2\x80\x9chi\xe2\x80\x9d\"",
};
constexpr int kHardCount = sizeof(kHardWords) / sizeof(kHardWords[0]);
// Pieces one hard name carries.
const char* const kHardNamePieces[] = {"\"", ", ", "\t", "\\", "\n", "\xc3\xb6", "\xe5\xb1\xb1",
                                       "'", "\xc3\xa9\xc3\xa8"};
constexpr int kHardNamePieceCount = sizeof(kHardNamePieces) / sizeof(kHardNamePieces[0]);

// One text value in three is hard: every word of it (or, in a name, one
// piece) carries bytes that need escaping or are multibyte UTF-8.
bool pick_hard(Rng& rng) { return rng.below(3) == 0; }

void append_name(Rng& rng, std::string& out) {
  out.clear();
  const bool hard = pick_hard(rng);
  const int parts = 2 + static_cast<int>(rng.below(5));
  for (int i = 0; i < parts; ++i) {
    const char* s = kSyllables[rng.below(kSyllableCount)];
    if (out.size() + std::strlen(s) + 1 > 34) break;
    if (i == 2) out.push_back(' ');
    out += s;
  }
  out[0] = static_cast<char>(out[0] - 'a' + 'A');
  if (hard) out.insert(1 + rng.below(static_cast<uint32_t>(out.size())), kHardNamePieces[rng.below(kHardNamePieceCount)]);
}

// At most limit bytes, never cutting a UTF-8 sequence (words are whole).
void append_note(Rng& rng, std::string& out, size_t limit) {
  out.clear();
  const bool hard = pick_hard(rng);
  const int words = 1 + static_cast<int>(rng.below(24));
  for (int i = 0; i < words; ++i) {
    const char* w = hard ? kHardWords[rng.below(kHardCount)] : kPlainWords[rng.below(kPlainCount)];
    const size_t len = std::strlen(w);
    if (out.size() + len + 1 > limit) break;
    if (!out.empty()) out.push_back(' ');
    out.append(w, len);
  }
}

int fail(sqlite3* db, const char* what) {
  std::fprintf(stderr, "gen_table: %s: %s\n", what, db ? sqlite3_errmsg(db) : "out of memory");
  return 1;
}

int exec(sqlite3* db, const char* sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
    std::fprintf(stderr, "gen_table: %s: %s\n", sql, msg ? msg : "?");
    sqlite3_free(msg);
    return 1;
  }
  return 0;
}

int fill_bench(sqlite3* db, long rows, uint64_t seed) {
  const char* create_sql =
      "CREATE TABLE BENCH (ID NUMBER(10), AMOUNT NUMBER(12,2), NAME VARCHAR2(40), "
      "NOTE VARCHAR2(200), CREATED DATE, FLAG CHAR(1), RATIO BINARY_DOUBLE)";
  if (exec(db, create_sql) || exec(db, "BEGIN")) return 1;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO BENCH VALUES (?,?,?,?,?,?,?)", -1, &st, nullptr) !=
      SQLITE_OK)
    return fail(db, "prepare");
  Rng rng{seed};
  std::string name, note;
  char date[32];
  static const char kFlags[] = "YNYNAX";
  for (long i = 0; i < rows; ++i) {
    sqlite3_bind_int64(st, 1, i + 1);
    if (rng.below(100) < 5) {
      sqlite3_bind_null(st, 2);
    } else {
      // Whole cents in [-10^9, 10^11): up to twelve digits, two after the point.
      const int64_t cents = static_cast<int64_t>(rng.next() % 101000000000ull) - 1000000000;
      sqlite3_bind_double(st, 2, static_cast<double>(cents) / 100.0);
    }
    append_name(rng, name);
    sqlite3_bind_text(st, 3, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    if (rng.below(100) < 10) {
      sqlite3_bind_null(st, 4);
    } else {
      append_note(rng, note, 200);
      sqlite3_bind_text(st, 4, note.data(), static_cast<int>(note.size()), SQLITE_STATIC);
    }
    const int year = 1990 + static_cast<int>(rng.below(40));
    const int month = 1 + static_cast<int>(rng.below(12));
    const int day = 1 + static_cast<int>(rng.below(28));
    const int secs = static_cast<int>(rng.below(86400));
    const int n = std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d:%02d", year, month,
                                day, secs / 3600, secs / 60 % 60, secs % 60);
    sqlite3_bind_text(st, 5, date, n, SQLITE_STATIC);
    sqlite3_bind_text(st, 6, &kFlags[rng.below(6)], 1, SQLITE_STATIC);
    // Mostly long fractions, some whole numbers and some large magnitudes.
    double ratio = (rng.unit() - 0.5) * 2000.0;
    const uint32_t kind = rng.below(10);
    if (kind == 0) ratio = static_cast<double>(static_cast<int64_t>(ratio));
    if (kind == 1) ratio *= 1e12;
    sqlite3_bind_double(st, 7, ratio);
    if (sqlite3_step(st) != SQLITE_DONE) return fail(db, "insert into BENCH");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  return exec(db, "COMMIT");
}

int fill_lobs(sqlite3* db, long rows, uint64_t seed, long lob_kb) {
  if (exec(db, "CREATE TABLE BENCH_LOB (ID NUMBER(10), DOC CLOB, BIN BLOB)") ||
      exec(db, "BEGIN"))
    return 1;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO BENCH_LOB VALUES (?,?,?)", -1, &st, nullptr) !=
      SQLITE_OK)
    return fail(db, "prepare");
  Rng rng{seed ^ 0x5A5A5A5A5A5A5A5Aull};
  std::string doc, bin;
  for (long i = 0; i < rows; ++i) {
    sqlite3_bind_int64(st, 1, i + 1);
    const uint32_t big = static_cast<uint32_t>(lob_kb) * 1024;
    const size_t doc_len = big ? big + rng.below(big / 4 + 1) : 1024 + rng.below(7 * 1024);
    doc.clear();
    while (doc.size() < doc_len) {
      const char* w = rng.below(3) == 0 ? kHardWords[rng.below(kHardCount)]
                                        : kPlainWords[rng.below(kPlainCount)];
      doc += w;
      doc.push_back(' ');
    }
    if (rng.below(50) == 0) {
      sqlite3_bind_null(st, 2);
    } else {
      sqlite3_bind_text(st, 2, doc.data(), static_cast<int>(doc.size()), SQLITE_STATIC);
    }
    const size_t bin_len = big ? big + rng.below(big / 4 + 1) : 512 + rng.below(3584);
    bin.resize(bin_len);
    for (size_t k = 0; k < bin_len; ++k) bin[k] = static_cast<char>(rng.next() & 0xff);
    sqlite3_bind_blob(st, 3, bin.data(), static_cast<int>(bin.size()), SQLITE_STATIC);
    if (sqlite3_step(st) != SQLITE_DONE) return fail(db, "insert into BENCH_LOB");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  return exec(db, "COMMIT");
}

bool parse_count(const char* text, long* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 6) {
    std::fprintf(stderr, "usage: gen_table DB_PATH [ROWS [SEED [LOB_ROWS [LOB_KB]]]]\n");
    return 2;
  }
  long rows = 1000000, seed = 42, lob_rows = 10000, lob_kb = 0;
  if ((argc > 2 && !parse_count(argv[2], &rows)) || (argc > 3 && !parse_count(argv[3], &seed)) ||
      (argc > 4 && !parse_count(argv[4], &lob_rows)) ||
      (argc > 5 && !parse_count(argv[5], &lob_kb))) {
    std::fprintf(stderr, "gen_table: ROWS, SEED, LOB_ROWS and LOB_KB must be non-negative "
                 "integers\n");
    return 2;
  }
  if (lob_kb > 65536) {
    std::fprintf(stderr, "gen_table: LOB_KB is at most 65536 (64 MiB per object)\n");
    return 2;
  }
  const std::string final_path = argv[1];
  const std::string tmp_path = final_path + ".tmp";
  std::remove(tmp_path.c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(tmp_path.c_str(), &db) != SQLITE_OK) return fail(db, tmp_path.c_str());
  int rc = exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA page_size=4096");
  if (!rc) rc = fill_bench(db, rows, static_cast<uint64_t>(seed));
  if (!rc) rc = fill_lobs(db, lob_rows, static_cast<uint64_t>(seed), lob_kb);
  if (sqlite3_close(db) != SQLITE_OK && !rc) rc = fail(db, "close");
  if (rc) {
    std::remove(tmp_path.c_str());
    return 1;
  }
  if (std::rename(tmp_path.c_str(), final_path.c_str()) != 0) {
    std::perror("gen_table: rename");
    return 1;
  }
  return 0;
}
