// LOB columns read straight from their table in bounded pieces.
//
// SQLite loads a whole value into memory when a row holding it is stepped.
// A LOB fetched into a locator only needs the row's identity, so a query of
// the plain form
//   SELECT <items> FROM <table> [[AS] <alias>] [WHERE ...] [ORDER BY ...] [LIMIT ...]
// whose locator columns are columns of that table is run as the same query
// with each such item replaced by NULL and the table's rowid added at the
// end; each value is then read with the incremental blob reader. Any other
// form (joins, grouping, compound queries, views, tables without rowid, an
// ORDER BY naming a position) is run as written, and its LOB values are held
// once (fetch.cc).
#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "db/embedded/internal.h"

namespace rowvane::embedded {
namespace {

struct Token {
  size_t begin, end;  // byte range in the statement text
  char kind;          // 'w' word, 'q' quoted name, 's' string, 'n' number, 'p' other
  int depth;          // parenthesis depth
};

bool word_char(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80; }

std::vector<Token> tokenize(const std::string& s) {
  std::vector<Token> out;
  int depth = 0;
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (std::isspace(c)) { ++i; continue; }
    if (c == '-' && i + 1 < n && s[i + 1] == '-') {
      while (i < n && s[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      size_t close = s.find("*/", i + 2);
      i = close == std::string::npos ? n : close + 2;
      continue;
    }
    size_t b = i;
    char kind = 'p';
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      char closing = c == '[' ? ']' : static_cast<char>(c);
      ++i;
      while (i < n) {
        if (s[i] == closing) {
          if (closing != ']' && i + 1 < n && s[i + 1] == closing) { i += 2; continue; }
          break;
        }
        ++i;
      }
      if (i >= n) return {};  // an open quote: leave the text alone
      ++i;
      kind = c == '\'' ? 's' : 'q';
    } else if (std::isdigit(c) || (c == '.' && i + 1 < n && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      while (i < n && (word_char(static_cast<unsigned char>(s[i])) || s[i] == '.')) ++i;
      kind = 'n';
    } else if (word_char(c)) {
      while (i < n && word_char(static_cast<unsigned char>(s[i]))) ++i;
      kind = 'w';
    } else {
      if (c == ')') --depth;
      ++i;
    }
    out.push_back({b, i, kind, depth});
    if (c == '(') ++depth;
  }
  return out;
}

struct Shape {
  struct Item {
    size_t first = 0, last = 0;  // token range
    bool star = false;
    std::string column;   // a plain column of the table
  };
  std::vector<Item> items;
  size_t from = 0;        // token index of FROM
  std::string table;      // name as SQLite knows it (unquoted)
  std::string ref;        // how the text refers to the table (alias or name, as written)
};

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text), t_(tokenize(text)) {}

  bool parse(Shape* shape) {
    if (t_.size() < 4 || !is_word(0, "SELECT") || is_word(1, "DISTINCT") || is_word(1, "ALL"))
      return false;
    size_t from = 0;
    for (size_t i = 1; i < t_.size() && !from; ++i)
      if (t_[i].depth == 0 && is_word(i, "FROM")) from = i;
    if (from < 2 || !is_name(from + 1)) return false;
    shape->from = from;
    shape->table = name(from + 1);
    std::string ref_text = text(from + 1), ref = shape->table;
    size_t i = from + 2;
    if (i < t_.size() && is_punct(i, '.')) return false;  // another schema
    if (i + 1 < t_.size() && is_word(i, "AS") && is_name(i + 1)) {
      ref_text = text(i + 1);
      ref = name(i + 1);
      i += 2;
    } else if (i < t_.size() && is_name(i) && !stop_word(i)) {
      ref_text = text(i);
      ref = name(i);
      ++i;
    }
    shape->ref = ref_text;
    // The FROM item ends the clause; only a filter, an order and a limit follow.
    if (i < t_.size() && !is_word(i, "WHERE") && !is_word(i, "ORDER") && !is_word(i, "LIMIT"))
      return false;
    bool ordering = false;
    for (; i < t_.size(); ++i) {
      if (t_[i].depth != 0) continue;
      for (const char* w : {"GROUP", "HAVING", "WINDOW", "UNION", "INTERSECT", "EXCEPT"})
        if (is_word(i, w)) return false;
      if (is_word(i, "ORDER")) ordering = true;
      if (is_word(i, "LIMIT")) ordering = false;
      if (ordering && t_[i].kind == 'n') return false;  // ORDER BY a position
    }
    // The select list, cut at its top-level commas.
    size_t first = 1;
    for (size_t k = 1; k <= from; ++k) {
      if (k < from && !(t_[k].depth == 0 && is_punct(k, ','))) continue;
      if (k == first) return false;
      Shape::Item item;
      item.first = first;
      item.last = k - 1;
      classify(&item, ref);
      shape->items.push_back(item);
      first = k + 1;
    }
    return true;
  }

  std::string text(size_t i) const { return s_.substr(t_[i].begin, t_[i].end - t_[i].begin); }
  std::string item_text(const Shape::Item& it) const {
    return s_.substr(t_[it.first].begin, t_[it.last].end - t_[it.first].begin);
  }
  size_t from_offset(const Shape& shape) const { return t_[shape.from].begin; }

 private:
  bool is_word(size_t i, const char* w) const {
    return i < t_.size() && t_[i].kind == 'w' && t_[i].end - t_[i].begin == std::strlen(w) &&
           strncasecmp(s_.data() + t_[i].begin, w, std::strlen(w)) == 0;
  }
  bool is_punct(size_t i, char c) const {
    return i < t_.size() && t_[i].kind == 'p' && s_[t_[i].begin] == c;
  }
  bool is_name(size_t i) const {
    return i < t_.size() && (t_[i].kind == 'q' || (t_[i].kind == 'w' && !stop_word(i)));
  }
  // Words that end a FROM item or make the query more than one plain read.
  bool stop_word(size_t i) const {
    static const char* const kWords[] = {
        "WHERE", "ORDER", "LIMIT", "GROUP", "HAVING", "WINDOW", "UNION", "INTERSECT", "EXCEPT",
        "JOIN", "NATURAL", "LEFT", "RIGHT", "FULL", "INNER", "CROSS", "OUTER", "INDEXED", "NOT",
        "ON", "USING", "AS", "FROM", "SELECT", "VALUES", "OFFSET", "BY"};
    for (const char* w : kWords)
      if (is_word(i, w)) return true;
    return false;
  }
  std::string name(size_t i) const {
    std::string raw = text(i);
    if (t_[i].kind != 'q') return raw;
    std::string out;
    char closing = raw[0] == '[' ? ']' : raw[0];
    for (size_t k = 1; k + 1 < raw.size(); ++k) {
      out += raw[k];
      if (raw[k] == closing && closing != ']' && k + 2 < raw.size() && raw[k + 1] == closing) ++k;
    }
    return out;
  }
  void classify(Shape::Item* it, const std::string& ref) const {
    size_t a = it->first, n = it->last - it->first + 1;
    auto qualifier_ok = [&](size_t q) { return strcasecmp(name(q).c_str(), ref.c_str()) == 0; };
    if (n == 1 && is_punct(a, '*')) { it->star = true; return; }
    if (n == 3 && is_name(a) && is_punct(a + 1, '.') && is_punct(a + 2, '*') && qualifier_ok(a)) {
      it->star = true;
      return;
    }
    size_t col = a;
    if (n >= 3 && is_name(a) && is_punct(a + 1, '.') && qualifier_ok(a)) {
      col = a + 2;
      n -= 2;
    }
    if (!is_name(col)) return;
    // A bare name, possibly followed by an alias.
    if (n == 1 || (n == 2 && is_name(col + 1)) || (n == 3 && is_word(col + 1, "AS") && is_name(col + 2)))
      it->column = name(col);
  }

  const std::string& s_;
  std::vector<Token> t_;
};

std::string quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// Runs a one-column query with one text bind; each row's text into out.
bool column_texts(sqlite3* db, const char* sql, const std::string& arg, std::vector<std::string>* out) {
  sqlite3_stmt* q = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) != SQLITE_OK) return false;
  sqlite3_bind_text(q, 1, arg.c_str(), -1, SQLITE_TRANSIENT);
  int rc;
  while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(q, 0);
    out->emplace_back(t ? reinterpret_cast<const char*>(t) : "");
  }
  sqlite3_finalize(q);
  return rc == SQLITE_DONE;
}

}  // namespace

int32_t plan_lob_streaming(Stmt* st, void* errhp) {
  st->stream_planned = true;
  if (st->row_count != 0 || st->state != StmtState::kQueryOpen || !st->vm || st->stream_vm)
    return OCI_SUCCESS;
  sqlite3* db = st->vm_db;
  const size_t ncols = static_cast<size_t>(sqlite3_column_count(st->vm));
  std::vector<bool> wanted(ncols, false);
  bool any = false;
  for (Define* d : st->defines) {
    if (d && (d->dty == SQLT_CLOB || d->dty == SQLT_BLOB) && d->position <= ncols) {
      wanted[d->position - 1] = true;
      any = true;
    }
  }
  if (!any) return OCI_SUCCESS;

  Shape shape;
  Parser parser(st->text);
  if (!parser.parse(&shape)) return OCI_SUCCESS;
  std::vector<std::string> found, encoding, columns;
  if (!column_texts(db, "SELECT name FROM main.sqlite_master WHERE type='table' AND name=?1 COLLATE NOCASE",
                    shape.table, &found) ||
      found.size() != 1 || !column_texts(db, "PRAGMA main.encoding", "", &encoding) ||
      encoding.size() != 1 || encoding[0] != "UTF-8" ||
      !column_texts(db, "SELECT name FROM pragma_table_info(?1, 'main')", found[0], &columns))
    return OCI_SUCCESS;
  const std::string table = found[0];
  std::string rowid_name;
  for (const char* candidate : {"rowid", "_rowid_", "oid"}) {
    bool taken = false;
    for (const auto& c : columns) taken = taken || strcasecmp(c.c_str(), candidate) == 0;
    if (!taken) {
      rowid_name = candidate;
      break;
    }
  }
  if (rowid_name.empty()) return OCI_SUCCESS;

  // The rewritten select list, and which result columns come from the table.
  std::string list;
  std::vector<std::string> streamed(ncols);
  size_t pos = 0;
  bool rewritten = false;
  auto add = [&](const std::string& item) { list += (list.empty() ? "" : ", ") + item; };
  for (const auto& item : shape.items) {
    if (item.star) {
      for (const auto& c : columns) {
        if (pos < ncols && wanted[pos]) {
          streamed[pos] = c;
          add("NULL");
          rewritten = true;
        } else {
          add(shape.ref + "." + quoted(c));
        }
        ++pos;
      }
      continue;
    }
    std::string column;
    for (const auto& c : columns)
      if (!item.column.empty() && strcasecmp(c.c_str(), item.column.c_str()) == 0) column = c;
    if (pos < ncols && wanted[pos] && !column.empty()) {
      streamed[pos] = column;
      add("NULL");
      rewritten = true;
    } else {
      add(parser.item_text(item));
    }
    ++pos;
  }
  if (!rewritten || pos != ncols) return OCI_SUCCESS;
  std::string text = "SELECT " + list + ", " + shape.ref + "." + rowid_name + " " +
                     st->text.substr(parser.from_offset(shape));

  sqlite3_stmt* vm = nullptr;
  if (sqlite3_prepare_v3(db, text.c_str(), static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT,
                         &vm, nullptr) != SQLITE_OK ||
      !vm || static_cast<size_t>(sqlite3_column_count(vm)) != ncols + 1 ||
      apply_binds(st, vm, errhp) != OCI_SUCCESS) {
    if (vm) sqlite3_finalize(vm);
    clear_error(errhp);
    return OCI_SUCCESS;  // read as written
  }
  std::vector<std::shared_ptr<LobStream>> streams(ncols);
  for (size_t j = 0; j < ncols; ++j) {
    if (streamed[j].empty()) continue;
    auto ls = std::make_shared<LobStream>();
    ls->db = db;
    ls->table = table;
    ls->column = streamed[j];
    // typeof() does not read the value; only a number's value is taken.
    std::string c = quoted(streamed[j]);
    std::string probe = "SELECT typeof(" + c + "), CASE WHEN typeof(" + c + ") IN ('integer','real') THEN " +
                        c + " END FROM main." + quoted(table) + " WHERE " + rowid_name + " = ?1";
    if (sqlite3_prepare_v3(db, probe.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &ls->probe, nullptr) !=
        SQLITE_OK) {
      sqlite3_finalize(vm);
      return OCI_SUCCESS;
    }
    streams[j] = ls;
  }
  // Nothing was delivered yet: the rows start again from the rewritten query.
  sqlite3_reset(st->vm);
  st->stream_vm = vm;
  st->rowid_col = static_cast<int>(ncols);
  for (Define* d : st->defines)
    if (d && d->position <= ncols) d->stream = streams[d->position - 1];
  st->has_row = false;
  int rc = sqlite3_step(vm);
  if (rc == SQLITE_ROW) {
    st->has_row = true;
  } else if (rc == SQLITE_DONE) {
    sqlite3_reset(vm);
    st->state = StmtState::kQueryDone;
  } else {
    set_sqlite_error(errhp, db, rc, st->text.c_str());
    sqlite3_reset(vm);
    st->state = StmtState::kQueryFailed;
    return OCI_ERROR;
  }
  return OCI_SUCCESS;
}

}  // namespace rowvane::embedded
