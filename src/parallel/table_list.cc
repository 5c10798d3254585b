#include "parallel/table_list.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace rowvane {

namespace {

// One name of an entry into out (132 bytes): quoted text kept (its doubled
// quotes made single), other text folded to upper case; "*" becomes "%".
// False when it is empty, unclosed or too long.
bool fold_name(std::string text, char out[132]) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  text.erase(0, i);
  std::string name;
  if (!text.empty() && text[0] == '"') {
    if (text.size() < 3 || text.back() != '"') return false;
    for (size_t k = 1; k + 1 < text.size(); ++k) {
      name += text[k];
      if (text[k] == '"') ++k;  // a doubled quote stands for one
    }
  } else {
    for (char c : text) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "*") name = "%";
  }
  if (name.empty() || name.size() > 128) return false;
  std::memcpy(out, name.c_str(), name.size() + 1);
  return true;
}

bool parse_entry(const std::string& entry, TablePattern* p) {
  std::memset(p, 0, sizeof *p);
  size_t start = 0;
  while (start < entry.size() && std::isspace(static_cast<unsigned char>(entry[start]))) ++start;
  if (start < entry.size() && entry[start] == '-') {
    p->exclude = true;
    ++start;
  }
  // The owner ends at the first dot outside quotes.
  bool quoted = false;
  for (size_t i = start; i < entry.size(); ++i) {
    if (entry[i] == '"') quoted = !quoted;
    if (entry[i] == '.' && !quoted) {
      return fold_name(entry.substr(start, i - start), p->owner) &&
             std::strchr(p->owner, '%') == nullptr && fold_name(entry.substr(i + 1), p->name);
    }
  }
  return fold_name(entry.substr(start), p->name);
}

}  // namespace

int parse_table_list(const char* text, std::vector<TablePattern>* out, char* bad, size_t bad_size) {
  std::string entry;
  bool quoted = false;
  for (const char* c = text;; ++c) {
    if (*c == '\0' || (*c == ',' && !quoted)) {
      TablePattern p;
      if (quoted || !parse_entry(entry, &p)) {
        std::snprintf(bad, bad_size, "%s", entry.c_str());
        return -1;
      }
      out->push_back(p);
      if (*c == '\0') return 0;
      entry.clear();
      continue;
    }
    if (*c == '"') quoted = !quoted;
    entry += *c;
  }
}

bool like_match(const char* pattern, const char* name, bool fold_case) {
  auto same = [fold_case](char a, char b) {
    if (!fold_case) return a == b;
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
  };
  // Greedy with one back-track point: the last "%" seen.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name) {
    if (*pattern == '%') {
      star = pattern++;
      resume = name;
    } else if (*pattern && (*pattern == '_' || same(*pattern, *name))) {
      ++pattern;
      ++name;
    } else if (star) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '%') ++pattern;
  return *pattern == '\0';
}

int choose_tables(DbSession* s, const std::vector<TablePattern>& patterns, const char* current_user,
                  std::vector<TableName>* out) {
  const bool embedded = embedded_engine(s);
  std::vector<TablePattern> includes;
  for (const TablePattern& p : patterns) {
    if (!p.exclude) includes.push_back(p);
  }
  if (includes.empty()) includes.push_back(TablePattern{{}, "%", false});
  // The owner an entry reads: none on the embedded engine, the current
  // user's for an entry without one.
  auto owner_of = [&](const TablePattern& p) -> std::string {
    if (embedded) return "";
    return p.owner[0] ? p.owner : current_user;
  };

  std::vector<std::string> listed;  // owners whose tables have been read
  for (const TablePattern& inc : includes) {
    const std::string owner = owner_of(inc);
    bool seen = false;
    for (const std::string& o : listed) seen = seen || o == owner;
    if (seen) continue;
    listed.push_back(owner);
    std::vector<TableName> tables;
    // USER_TABLES for the current schema, ALL_TABLES for a named owner.
    const bool named = !embedded && owner != current_user;
    const int rc = list_tables(s, named ? owner.c_str() : "", &tables);
    if (rc != 0) return rc;
    for (TableName& t : tables) {
      std::snprintf(t.owner, sizeof t.owner, "%s", owner.c_str());
      bool chosen = false;
      for (const TablePattern& p : includes) {
        chosen = chosen || (owner_of(p) == owner && like_match(p.name, t.name, embedded));
      }
      for (const TablePattern& p : patterns) {
        if (!p.exclude || (p.owner[0] && owner_of(p) != owner)) continue;
        chosen = chosen && !like_match(p.name, t.name, embedded);
      }
      if (chosen) out->push_back(t);
    }
  }
  return 0;
}

}  // namespace rowvane
