#include "parallel/manifest.h"

#include <libdeflate.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/options.h"
#include "crypto/des.h"
#include "platform/clock.h"
#include "platform/file_io.h"

namespace rowvane {

namespace {

constexpr char kFormatName[] = "rowvane manifest";
constexpr int kFormatVersion = 1;

// Options that may differ between a run and its resumption: they steer the
// run, not what the files hold (or name a secret, or the manifest itself).
constexpr const char* kUnkeptOptions[] = {"user",  "key",    "uncrack",  "log",    "degree",
                                          "retry", "sleep",  "rows",     "status", "zthreads",
                                          "sql",   "crypt",  "manifest", "resume", "plan",
                                          "pieces", "join"};

const char* const kStateNames[] = {"pending", "done", "failed", "unfinished"};

// A JSON string: quotes, backslashes and control bytes escaped; bytes of
// well-formed UTF-8 kept; any other byte as \u00XX, which the reader turns
// back into that byte (so options holding arbitrary bytes survive).
void put_string(std::string* out, const std::string& v) {
  *out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(v.data());
  const size_t n = v.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
      ++i;
      continue;
    }
    size_t len = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xC0) == 0x80;
    if (ok && len == 3) ok = !(c == 0xE0 && p[i + 1] < 0xA0) && !(c == 0xED && p[i + 1] >= 0xA0);
    if (ok && len == 4) ok = !(c == 0xF0 && p[i + 1] < 0x90) && !(c == 0xF4 && p[i + 1] >= 0x90);
    if (!ok || c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      *out += esc;
      ++i;
      continue;
    }
    out->append(v, i, len);
    i += len;
  }
  *out += '"';
}

void put_key(std::string* out, const char* key) {
  *out += '"';
  *out += key;
  *out += "\": ";
}

// A parsed JSON value: just what a manifest needs (numbers stay text).
struct Json {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
  std::string text;  // string value, number text, "true"/"false"
  std::vector<Json> items;      // of an array; of an object, its members' values
  std::vector<std::string> keys;  // of an object, its members' names

  const Json* get(const char* key) const {
    for (size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == key) return &items[i];
    }
    return nullptr;
  }
};

class Parser {
 public:
  Parser(const char* text, size_t len) : p_(text), end_(text + len) {}

  bool document(Json* out) {
    if (!value(out, 0)) return false;
    blank();
    return p_ == end_ || fail("text after the end");
  }
  const std::string& why() const { return why_; }

 private:
  bool fail(const char* what) {
    if (why_.empty()) why_ = what;
    return false;
  }
  void blank() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool literal(const char* word, Json::Type type, Json* out) {
    const size_t n = std::strlen(word);
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return fail("unknown word");
    p_ += n;
    out->type = type;
    out->text = word;
    return true;
  }
  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  void put_utf8(std::string* s, uint32_t cp) {
    if (cp < 0x80) {
      *s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *s += static_cast<char>(0xC0 | (cp >> 6));
      *s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *s += static_cast<char>(0xE0 | (cp >> 12));
      *s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool string(std::string* s) {
    ++p_;  // the opening quote
    while (p_ < end_ && *p_ != '"') {
      if (static_cast<unsigned char>(*p_) < 0x20) return fail("control character in a string");
      if (*p_ != '\\') {
        *s += *p_++;
        continue;
      }
      if (++p_ == end_) break;
      const char c = *p_++;
      switch (c) {
        case '"': case '\\': case '/': *s += c; break;
        case 'b': *s += '\b'; break;
        case 'f': *s += '\f'; break;
        case 'n': *s += '\n'; break;
        case 'r': *s += '\r'; break;
        case 't': *s += '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          for (int k = 0; k < 4; ++k) {
            const int h = p_ < end_ ? hex(*p_++) : -1;
            if (h < 0) return fail("bad \\u escape");
            cp = cp << 4 | static_cast<uint32_t>(h);
          }
          // \u0080 to \u00ff stand for single bytes (see put_string).
          if (cp >= 0x80 && cp <= 0xFF) {
            *s += static_cast<char>(cp);
          } else {
            put_utf8(s, cp);
          }
          break;
        }
        default: return fail("bad escape");
      }
    }
    if (p_ == end_) return fail("unterminated string");
    ++p_;
    return true;
  }
  bool value(Json* out, int depth) {
    if (depth > 16) return fail("nested too deeply");
    blank();
    if (p_ == end_) return fail("unexpected end");
    const char c = *p_;
    if (c == '{' || c == '[') {
      const bool object = c == '{';
      out->type = object ? Json::kObject : Json::kArray;
      ++p_;
      blank();
      if (p_ < end_ && *p_ == (object ? '}' : ']')) {
        ++p_;
        return true;
      }
      for (;;) {
        if (object) {
          blank();
          if (p_ == end_ || *p_ != '"') return fail("expected a name");
          std::string key;
          if (!string(&key)) return false;
          blank();
          if (p_ == end_ || *p_ != ':') return fail("expected ':'");
          ++p_;
          out->keys.push_back(std::move(key));
          out->items.emplace_back();
          if (!value(&out->items.back(), depth + 1)) return false;
        } else {
          out->items.emplace_back();
          if (!value(&out->items.back(), depth + 1)) return false;
        }
        blank();
        if (p_ < end_ && *p_ == ',') {
          ++p_;
          continue;
        }
        if (p_ < end_ && *p_ == (object ? '}' : ']')) {
          ++p_;
          return true;
        }
        return fail("expected ',' or the end of a list");
      }
    }
    if (c == '"') {
      out->type = Json::kString;
      return string(&out->text);
    }
    if (c == 't') return literal("true", Json::kBool, out);
    if (c == 'f') return literal("false", Json::kBool, out);
    if (c == 'n') return literal("null", Json::kNull, out);
    if (c == '-' || (c >= '0' && c <= '9')) {
      const char* start = p_;
      while (p_ < end_ && (*p_ == '-' || *p_ == '+' || *p_ == '.' || *p_ == 'e' || *p_ == 'E' ||
                           (*p_ >= '0' && *p_ <= '9'))) {
        ++p_;
      }
      out->type = Json::kNumber;
      out->text.assign(start, p_);
      return true;
    }
    return fail("unexpected character");
  }

  const char* p_;
  const char* end_;
  std::string why_;
};

// A whole non-negative number of a JSON value; false when it is none.
bool whole_number(const Json* v, uint64_t* out) {
  if (!v || v->type != Json::kNumber || v->text.empty() || v->text.size() > 20) return false;
  uint64_t n = 0;
  for (char c : v->text) {
    if (c < '0' || c > '9') return false;
    const uint64_t next = n * 10 + static_cast<uint64_t>(c - '0');
    if (next < n) return false;
    n = next;
  }
  *out = n;
  return true;
}

bool text_of(const Json* v, std::string* out) {
  if (!v || v->type != Json::kString) return false;
  *out = v->text;
  return true;
}

bool read_file(const Json& j, ManifestFile* f) {
  std::string kind;
  uint64_t rows = 0;
  if (j.type != Json::kObject || !text_of(j.get("name"), &f->name) || !text_of(j.get("kind"), &kind) ||
      !whole_number(j.get("rows"), &rows)) {
    return false;
  }
  f->kind = kind == "lob" ? 'l' : kind == "control" ? 'c' : 'd';
  f->rows = rows;
  const Json* bytes = j.get("bytes");
  const Json* crc = j.get("crc32");
  uint64_t size = 0;
  f->bytes = -1;
  if (bytes && bytes->type == Json::kNumber && crc && crc->type == Json::kString) {
    if (!whole_number(bytes, &size) || crc->text.size() != 8) return false;
    char* stop = nullptr;
    f->crc32 = static_cast<uint32_t>(std::strtoul(crc->text.c_str(), &stop, 16));
    if (*stop != '\0') return false;
    f->bytes = static_cast<int64_t>(size);
  }
  return true;
}

bool read_piece(const Json& j, int32_t table, ManifestPiece* p) {
  uint64_t index = 0;
  std::string state;
  if (j.type != Json::kObject || !whole_number(j.get("index"), &index) || index < 1 || index > 1000000 ||
      !text_of(j.get("state"), &state)) {
    return false;
  }
  p->table = table;
  p->index = static_cast<int32_t>(index);
  const Json* range = j.get("range");
  p->whole = !range || range->type == Json::kNull;
  if (!p->whole) {
    if (range->type != Json::kArray || range->items.size() != 2 || !text_of(&range->items[0], &p->min_rowid) ||
        !text_of(&range->items[1], &p->max_rowid) || p->min_rowid.size() > 18 || p->max_rowid.size() > 18) {
      return false;
    }
  }
  bool known = false;
  for (int s = 0; s < 4; ++s) {
    if (state == kStateNames[s]) {
      p->state = static_cast<PieceState>(s);
      known = true;
    }
  }
  if (!known) return false;
  const Json* result = j.get("result");
  if (result && result->type == Json::kNumber) {
    const long value = std::strtol(result->text.c_str(), nullptr, 10);
    p->result = value < -1000 || value > 1000 ? 1 : static_cast<int32_t>(value);
  }
  const Json* files = j.get("files");
  if (files && files->type == Json::kArray) {
    for (const Json& f : files->items) {
      p->files.emplace_back();
      if (!read_file(f, &p->files.back())) return false;
    }
  }
  return true;
}

}  // namespace

void manifest_options(const UnloadJob& job, Manifest* m) {
  m->options.clear();
  list_option_values(
      job,
      [](void* context, const char* keyword, const char* value, size_t len) {
        auto* out = static_cast<Manifest*>(context);
        for (const char* unkept : kUnkeptOptions) {
          if (std::strcmp(keyword, unkept) == 0) return;
        }
        std::string text(value, len);
        if (std::strcmp(keyword, "crack") == 0 && len > 0) {
          unsigned char key[8] = {};
          std::memcpy(key, value, len < 8 ? len : 8);
          DesSchedule schedule;
          des_set_key(key, kDesEncrypt, &schedule);
          uint32_t block[2] = {0x726f7776u, 0x616e6521u};
          des_crypt_block(block, schedule);
          char hex[24];
          std::snprintf(hex, sizeof hex, "des:%08x%08x", block[0], block[1]);
          text = hex;
        }
        out->options.emplace_back(keyword, std::move(text));
      },
      m);
}

bool differing_option(const Manifest& a, const Manifest& b, std::string* name) {
  for (const auto& o : a.options) {
    bool same = false;
    for (const auto& p : b.options) {
      if (p.first == o.first) same = p.second == o.second;
    }
    if (!same) {
      *name = o.first;
      return true;
    }
  }
  for (const auto& p : b.options) {
    bool found = false;
    for (const auto& o : a.options) found = found || o.first == p.first;
    if (!found) {
      *name = p.first;
      return true;
    }
  }
  return false;
}

std::string manifest_text(const Manifest& m) {
  std::string out = "{\n  ";
  put_key(&out, "format");
  put_string(&out, kFormatName);
  out += ",\n  ";
  put_key(&out, "version");
  out += std::to_string(kFormatVersion);
  out += ",\n  ";
  put_key(&out, "state");
  put_string(&out, m.state);
  size_t done = 0;
  for (const ManifestPiece& p : m.pieces) done += p.state == PieceState::kDone;
  out += ",\n  \"pieces_done\": " + std::to_string(done) + ", \"pieces_all\": " + std::to_string(m.pieces.size());
  out += ",\n  ";
  put_key(&out, "snapshot");
  out += "{";
  put_key(&out, "kind");
  put_string(&out, m.snapshot.kind);
  if (m.snapshot.kind == "scn") out += ", \"scn\": " + std::to_string(m.snapshot.scn);
  out += ", ";
  put_key(&out, "taken");
  put_string(&out, m.snapshot.taken);
  out += "},\n  ";
  put_key(&out, "runs");
  out += "[";
  for (size_t i = 0; i < m.runs.size(); ++i) out += (i ? ", " : "") + std::to_string(m.runs[i]);
  out += "],\n  ";
  put_key(&out, "options");
  out += "{";
  for (size_t i = 0; i < m.options.size(); ++i) {
    out += i % 4 == 0 ? "\n    " : " ";
    put_string(&out, m.options[i].first);
    out += ": ";
    put_string(&out, m.options[i].second);
    if (i + 1 < m.options.size()) out += ',';
  }
  out += "\n  },\n  ";
  put_key(&out, "tables");
  out += "[";
  for (size_t t = 0; t < m.tables.size(); ++t) {
    out += t ? ",\n    {" : "\n    {";
    put_key(&out, "owner");
    put_string(&out, m.tables[t].owner);
    out += ", ";
    put_key(&out, "name");
    put_string(&out, m.tables[t].name);
    out += ", \"pieces\": [";
    bool first = true;
    for (size_t i = 0; i < m.pieces.size(); ++i) {
      const ManifestPiece& p = m.pieces[i];
      if (p.table != static_cast<int32_t>(t)) continue;
      out += first ? "\n      {" : ",\n      {";
      first = false;
      out += "\"piece\": " + std::to_string(i + 1) + ", \"index\": " + std::to_string(p.index) + ", ";
      put_key(&out, "range");
      if (p.whole) {
        out += "null";
      } else {
        out += '[';
        put_string(&out, p.min_rowid);
        out += ", ";
        put_string(&out, p.max_rowid);
        out += ']';
      }
      out += ", ";
      put_key(&out, "state");
      put_string(&out, kStateNames[static_cast<int>(p.state)]);
      if (p.state != PieceState::kPending) out += ", \"result\": " + std::to_string(p.result);
      out += ", \"files\": [";
      for (size_t k = 0; k < p.files.size(); ++k) {
        const ManifestFile& f = p.files[k];
        out += k ? ",\n        {" : "\n        {";
        put_key(&out, "name");
        put_string(&out, f.name);
        out += ", ";
        put_key(&out, "kind");
        put_string(&out, f.kind == 'l' ? "lob" : f.kind == 'c' ? "control" : "data");
        out += ", \"rows\": " + std::to_string(f.rows) + ", \"bytes\": ";
        if (f.bytes < 0) {
          out += "null, \"crc32\": null}";
        } else {
          char crc[16];
          std::snprintf(crc, sizeof crc, "%08x", f.crc32);
          out += std::to_string(f.bytes) + ", \"crc32\": \"" + crc + "\"}";
        }
      }
      out += "]}";
    }
    out += first ? "]}" : "\n    ]}";
  }
  out += m.tables.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

int write_manifest(const char* path, const Manifest& m) {
  const std::string text = manifest_text(m);
  char temp[1024];
  const bool renamed = temporary_name(path, temp, sizeof temp);
  FILE* f = std::fopen(renamed ? temp : path, "wb");
  if (!f) return last_system_error();
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0;
  int error = written ? 0 : last_system_error();
  if (std::fclose(f) != 0 && error == 0) error = last_system_error();
  if (error == 0 && renamed && rename_replacing(temp, path) != 0) error = last_system_error();
  if (error != 0 && renamed) std::remove(temp);
  return error == 0 ? 0 : (error > 0 ? error : EIO);
}

bool parse_manifest(const char* text, size_t len, Manifest* m, std::string* why) {
  Json doc;
  Parser parser(text, len);
  if (!parser.document(&doc)) {
    *why = "not JSON: " + parser.why();
    return false;
  }
  std::string format;
  uint64_t version = 0;
  if (doc.type != Json::kObject || !text_of(doc.get("format"), &format) || format != kFormatName) {
    *why = "no manifest of this program";
    return false;
  }
  if (!whole_number(doc.get("version"), &version) || version != kFormatVersion) {
    *why = "a manifest version this program does not read";
    return false;
  }
  *m = Manifest{};
  text_of(doc.get("state"), &m->state);
  const Json* snapshot = doc.get("snapshot");
  const Json* options = doc.get("options");
  const Json* tables = doc.get("tables");
  if (!snapshot || snapshot->type != Json::kObject || !text_of(snapshot->get("kind"), &m->snapshot.kind) ||
      !options || options->type != Json::kObject || !tables || tables->type != Json::kArray) {
    *why = "its snapshot, options or tables are missing";
    return false;
  }
  text_of(snapshot->get("taken"), &m->snapshot.taken);
  if (m->snapshot.kind == "scn" && !whole_number(snapshot->get("scn"), &m->snapshot.scn)) {
    *why = "its snapshot has no system change number";
    return false;
  }
  // The runs that wrote it (older manifests may have none).
  if (const Json* runs = doc.get("runs"); runs && runs->type == Json::kArray) {
    for (const Json& r : runs->items) {
      uint64_t pid = 0;
      if (!whole_number(&r, &pid)) {
        *why = "its runs are no process numbers";
        return false;
      }
      m->runs.push_back(pid);
    }
  }
  for (size_t i = 0; i < options->keys.size(); ++i) {
    if (options->items[i].type != Json::kString) {
      *why = "option " + options->keys[i] + " is no text";
      return false;
    }
    m->options.emplace_back(options->keys[i], options->items[i].text);
  }
  // Pieces are numbered across the tables in the order written.
  std::vector<std::pair<uint64_t, ManifestPiece>> numbered;
  for (const Json& t : tables->items) {
    ManifestTable table;
    const Json* pieces = t.type == Json::kObject ? t.get("pieces") : nullptr;
    if (!text_of(t.get("owner"), &table.owner) || !text_of(t.get("name"), &table.name) || !pieces ||
        pieces->type != Json::kArray) {
      *why = "a table without owner, name or pieces";
      return false;
    }
    const auto index = static_cast<int32_t>(m->tables.size());
    m->tables.push_back(table);
    for (const Json& p : pieces->items) {
      uint64_t number = 0;
      numbered.emplace_back();
      if (!whole_number(p.get("piece"), &number) || !read_piece(p, index, &numbered.back().second)) {
        *why = "a piece of table " + table.name + " is incomplete";
        return false;
      }
      numbered.back().first = number;
    }
  }
  for (size_t i = 0; i < numbered.size(); ++i) {
    if (numbered[i].first != i + 1) {
      *why = "its pieces are not numbered 1 to " + std::to_string(numbered.size());
      return false;
    }
    m->pieces.push_back(std::move(numbered[i].second));
  }
  if (m->pieces.empty()) {
    *why = "it holds no piece";
    return false;
  }
  return true;
}

int read_manifest(const char* path, Manifest* m, std::string* why) {
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    const int error = last_system_error();
    if (error == ENOENT) return 1;
    char reason[128];
    *why = system_error_text(error, reason, sizeof reason);
    return -1;
  }
  std::string text;
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (256u << 20)) text.append(buf, got);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    *why = "it cannot be read";
    return -1;
  }
  return parse_manifest(text.data(), text.size(), m, why) ? 0 : -1;
}

bool checksum_file(const char* name, int64_t* bytes, uint32_t* crc32) {
  FILE* f = std::fopen(name, "rb");
  if (!f) return false;
  if (!file_is_regular(f)) {
    std::fclose(f);
    return false;
  }
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[1 << 20]);
  uint32_t crc = 0;
  int64_t total = 0;
  size_t got = 0;
  while (buf && (got = std::fread(buf.get(), 1, 1 << 20, f)) > 0) {
    crc = libdeflate_crc32(crc, buf.get(), got);
    total += static_cast<int64_t>(got);
  }
  const bool ok = buf && std::ferror(f) == 0;
  std::fclose(f);
  if (!ok) return false;
  *bytes = total;
  *crc32 = crc;
  return true;
}

bool regular_file_size(const char* name, int64_t* bytes) {
  FILE* f = std::fopen(name, "rb");
  if (!f) return false;
  const bool ok = file_is_regular(f) && file_seek_end(f) == 0 && (*bytes = file_tell(f)) >= 0;
  std::fclose(f);
  return ok;
}

bool select_pieces(const char* list, size_t count, std::vector<bool>* selected, std::string* bad) {
  selected->assign(count, false);
  const char* p = list;
  for (;;) {
    const char* end = std::strchr(p, ',');
    if (!end) end = p + std::strlen(p);
    const std::string entry(p, end);
    char* stop = nullptr;
    const unsigned long first = std::strtoul(entry.c_str(), &stop, 10);
    unsigned long last = first;
    if (*stop == '-') last = std::strtoul(stop + 1, &stop, 10);
    if (entry.empty() || entry[0] < '0' || entry[0] > '9' || *stop != '\0' || first < 1 || last < first ||
        last > count) {
      *bad = entry;
      return false;
    }
    for (unsigned long i = first; i <= last; ++i) (*selected)[i - 1] = true;
    if (*end == '\0') return true;
    p = end + 1;
  }
}

std::string utc_now_text() {
  std::tm t{};
  utc_time(clock_seconds(), &t);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

}  // namespace rowvane
