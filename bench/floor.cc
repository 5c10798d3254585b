// The floor: the least work a SQLite-based unloader must do. It steps the
// query and reads every column, and does nothing else: no formatting, no
// escaping, no output.
//
//   floor [--native] DB_PATH QUERY
//
// By default every column is read as text (sqlite3_column_text), the way a
// plain text dump sees the table. With --native each value is read in its
// storage class (integer, double, text, blob): an unloader that formats
// numbers itself can beat the text floor, since SQLite's own number-to-text
// conversion is slow, but not this one.
//
// Prints "ROWS BYTES" (rows stepped, text and blob bytes read) on standard
// output, so that the harness can check the row count and the compiler
// cannot drop the reads.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  const bool native = argc == 4 && std::strcmp(argv[1], "--native") == 0;
  if (argc != 3 && !native) {
    std::fprintf(stderr, "usage: floor [--native] DB_PATH QUERY\n");
    return 2;
  }
  const char* path = argv[argc - 2];
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "floor: %s: %s\n", path, sqlite3_errmsg(db));
    sqlite3_close(db);
    return 1;
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, argv[argc - 1], -1, &st, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "floor: %s\n", sqlite3_errmsg(db));
    sqlite3_close(db);
    return 1;
  }
  const int columns = sqlite3_column_count(st);
  uint64_t rows = 0, bytes = 0, mix = 0;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    for (int c = 0; c < columns; ++c) {
      if (!native) {
        sqlite3_column_text(st, c);
        bytes += static_cast<uint64_t>(sqlite3_column_bytes(st, c));
        continue;
      }
      switch (sqlite3_column_type(st, c)) {
        case SQLITE_INTEGER:
          mix += static_cast<uint64_t>(sqlite3_column_int64(st, c));
          break;
        case SQLITE_FLOAT: {
          const double d = sqlite3_column_double(st, c);
          uint64_t bits;
          std::memcpy(&bits, &d, sizeof bits);
          mix += bits;
          break;
        }
        case SQLITE_TEXT:
          sqlite3_column_text(st, c);
          bytes += static_cast<uint64_t>(sqlite3_column_bytes(st, c));
          break;
        case SQLITE_BLOB:
          sqlite3_column_blob(st, c);
          bytes += static_cast<uint64_t>(sqlite3_column_bytes(st, c));
          break;
        default:
          break;
      }
    }
    ++rows;
  }
  const bool ok = rc == SQLITE_DONE;
  if (!ok) std::fprintf(stderr, "floor: %s\n", sqlite3_errmsg(db));
  sqlite3_finalize(st);
  sqlite3_close(db);
  std::printf("%llu %llu\n", static_cast<unsigned long long>(rows),
              static_cast<unsigned long long>(bytes));
  if (mix == 1) std::fprintf(stderr, "\n");  // keeps the numeric reads alive
  return ok ? 0 : 1;
}
