// The tables of a many-table run: the tables= list, its LIKE patterns, and
// the tables of the dictionary they choose.
#pragma once

#include <cstddef>
#include <vector>

#include "db/session.h"
#include "parallel/split.h"

namespace rowvane {

// One entry of tables=: [-][owner.]name. The name is a LIKE pattern ("%"
// any run, "_" one character; "*" alone stands for "%"). Names without
// double quotes are folded to upper case, quoted ones kept as written.
struct TablePattern {
  char owner[132];  // empty: the current schema
  char name[132];
  bool exclude;     // a leading "-"
};
static_assert(std::is_trivially_copyable_v<TablePattern>);

// Splits tables= at the commas outside double quotes. 0, or -1 with the
// offending entry (cut to bad_size - 1 bytes) in bad: an empty entry, an
// empty or too long name or owner, an unclosed quote.
int parse_table_list(const char* text, std::vector<TablePattern>* out, char* bad, size_t bad_size);

// LIKE: "%" matches any run of characters, "_" one character. With
// fold_case ASCII letters match either case (the embedded engine's names
// are not case-sensitive).
bool like_match(const char* pattern, const char* name, bool fold_case);

// The tables the patterns choose, each once, in the order of the
// dictionary's lists: those matching an including entry of their owner and
// no excluding entry (an excluding entry without owner excludes the name
// in every schema). A list of exclusions only starts from every table of
// the current schema. current_user names the owner of the entries without
// one on the vendor path. 0, or the dictionary's failure (reported).
int choose_tables(DbSession* s, const std::vector<TablePattern>& patterns, const char* current_user,
                  std::vector<TableName>* out);

}  // namespace rowvane
