// One option text through set_option on a fresh job, and the "0x" decoding
// on its own.
//
// Properties: set_option knows exactly the sixty-two keywords; a refused
// value changes nothing; it changes
// no byte outside the fields its keyword (or its preset's keywords) owns,
// which catches a field written past its end into its neighbour (invisible
// to AddressSanitizer inside one record); every stored text is terminated
// inside its field and every length and number stays inside its bounds.
// decode_hex_text writes no more than limit + 1 bytes and agrees with a
// plain restatement of the decoding steps.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/job.h"
#include "config/options.h"
#include "fuzz_check.h"

using rowvane::UnloadJob;

namespace {

struct Range {
  size_t offset;
  size_t size;
};

#define F(f) Range{offsetof(UnloadJob, f), sizeof(UnloadJob::f)}

// Keyword (upper case) -> the fields it may write.
const std::map<std::string, std::vector<Range>>& keyword_fields() {
  static const std::map<std::string, std::vector<Range>> table = [] {
    std::map<std::string, std::vector<Range>> t = {
        {"SQL", {F(sql)}},         {"KEY", {F(key)}},
        {"LOG", {F(log)}},         {"USER", {F(user)}},
        {"FILE", {F(file)}},       {"DATA", {F(data)}},
        {"HINT", {F(hint)}},       {"NULL", {F(null), F(null_len)}},
        {"MODE", {F(mode)}},       {"HEAD", {F(head)}},
        {"SAFE", {F(safe)}},       {"SORT", {F(sort)}},
        {"ROWS", {F(rows)}},       {"LONG", {F(long_)}},
        {"HASH", {F(hash)}},       {"READ", {F(read)}},
        {"PART", {F(part)}},       {"SEDF", {F(sedf)}},
        {"SEDT", {F(sedt)}},       {"ESCF", {F(escf)}},
        {"ESCT", {F(esct)}},       {"EXEC", {F(exec), F(exec_len)}},
        {"SIZE", {F(size)}},       {"HELP", {F(help)}},
        {"QUERY", {F(query)}},     {"FIELD", {F(field), F(field_len)}},
        {"CRACK", {F(crack)}},     {"TABLE", {F(table)}},
        {"WIDTH", {F(width)}},     {"ALTER", {F(alter)}},
        {"CRYPT", {F(crypt)}},     {"ERROR", {F(errors), F(error_count)}},
        {"ARRAY", {F(array)}},     {"RETRY", {F(retry)}},
        {"SPLIT", {F(split)}},     {"QUOTE", {F(quote)}},
        {"BATCH", {F(batch)}},     {"TRACE", {F(trace)}},
        {"SLEEP", {F(sleep)}},     {"ROWPRE", {F(rowpre), F(rowpre_len)}},
        {"ROWSUF", {F(rowsuf), F(rowsuf_len)}},
        {"COLSEP", {F(colsep), F(colsep_len)}},
        {"RECORD", {F(record), F(record_len)}},
        {"ESCAPE", {F(escape)}},   {"UNIQUE", {F(unique), F(update)}},
        {"FORMAT", {F(format)}},   {"BUFFER", {F(buffer)}},
        {"DEGREE", {F(degree)}},   {"UPDATE", {F(update)}},
        {"SERIAL", {F(serial)}},   {"PRESQL", {F(presql)}},
        {"CLIENT", {F(client)}},   {"CONTROL", {F(control)}},
        {"LOBFILE", {F(lobfile)}}, {"UNCRACK", {F(uncrack)}},
        {"POSTSQL", {F(postsql)}}, {"PREHEAD", {F(prehead), F(prehead_len)}},
        {"CHARSET", {F(charset)}}, {"NCHARSET", {F(ncharset)}},
    };
    auto join = [&t](std::initializer_list<const char*> names) {
      std::vector<Range> all;
      for (const char* n : names) all.insert(all.end(), t[n].begin(), t[n].end());
      return all;
    };
    t["TEXT"] = join({"ESCAPE", "FIELD", "RECORD", "ESCF", "ESCT", "NULL", "QUOTE", "FORMAT", "FILE",
                      "HEAD", "COLSEP", "ROWPRE", "ROWSUF"});
    t["FORM"] = join({"COLSEP", "FIELD", "RECORD", "FILE"});
    t["FAST"] = join({"READ", "HASH", "SORT", "ARRAY", "SERIAL"});
    return t;
  }();
  return table;
}

// Text fields: each must hold its terminator inside its capacity.
const std::vector<Range>& text_fields() {
  static const std::vector<Range> fields = {
      F(user),  F(table),  F(mode),   F(query),   F(field),    F(log),     F(record), F(sql),
      F(file),  F(lobfile), F(control), F(width), F(alter),    F(key),     F(sedf),   F(sedt),
      F(escf),  F(esct),   F(exec),   F(quote),   F(rowpre),   F(rowsuf),  F(null),   F(colsep),
      F(presql), F(postsql), F(prehead), F(owner), F(part),    F(split),   F(charset), F(ncharset),
      F(hint),  F(unique), F(crack),  F(uncrack),
  };
  return fields;
}

#undef F

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The decoding steps, one output byte per step.
std::string reference_decode(const std::string& src, int limit) {
  const size_t len = src.size();
  const size_t stop = limit < 0 ? 0 : std::min(len, static_cast<size_t>(limit));
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
  };
  std::string out;
  size_t i = 0;
  while (i < stop) {
    if (src[i] != '0') {
      out += src[i];
      i += 1;
    } else if (i + 1 == len) {
      out += '\0';
      i += 1;
    } else if (src[i + 1] != 'x' && src[i + 1] != 'X') {
      out += src[i + 1];
      i += 2;
    } else if (len - i >= 4) {
      out += static_cast<char>(nibble(src[i + 2]) * 16 + nibble(src[i + 3]));
      i += 4;
    } else if (len - i == 3) {
      out += src[i + 2];
      i += 3;
    } else {
      out += '\0';
      i += 2;
    }
  }
  return out;
}

void check_job_bounds(const UnloadJob& job) {
  const char* base = reinterpret_cast<const char*>(&job);
  for (const Range& r : text_fields()) FUZZ_CHECK(strnlen(base + r.offset, r.size) < r.size);
  struct Len {
    const char* field;
    int32_t len;
    int32_t max;
  };
  const Len lens[] = {
      {job.field, job.field_len, 131},   {job.record, job.record_len, 131},
      {job.null, job.null_len, 127},     {job.rowpre, job.rowpre_len, 63},
      {job.rowsuf, job.rowsuf_len, 63},  {job.colsep, job.colsep_len, 63},
      {job.exec, job.exec_len, 60},      {job.prehead, job.prehead_len, 63},
  };
  for (const Len& l : lens) {
    FUZZ_CHECK(l.len >= 0 && l.len <= l.max);
    FUZZ_CHECK(l.field[l.len] == '\0');
  }
  FUZZ_CHECK(job.rows >= 1000);
  FUZZ_CHECK(job.array >= 5 && job.array <= 2000);
  FUZZ_CHECK(job.long_ <= 2097152);
  FUZZ_CHECK(job.degree >= 1 && job.degree <= 128);
  FUZZ_CHECK(job.sort >= 0 && job.sort <= 512);
  FUZZ_CHECK(job.hash >= 0 && job.hash <= 512);
  FUZZ_CHECK(job.read >= 0 && job.read <= 512);
  FUZZ_CHECK(job.size >= 0);
  FUZZ_CHECK(job.buffer == 2097152 || (job.buffer >= 8 * 1048576 && job.buffer <= 100 * 1048576));
  FUZZ_CHECK(job.retry <= 128);
  FUZZ_CHECK(job.sleep <= 180);
  FUZZ_CHECK(job.error_count >= 0 && job.error_count <= rowvane::kMaxErrorCodes);
  FUZZ_CHECK(job.format >= 0 && job.format <= 2);
  FUZZ_CHECK(job.data == 0 || job.data == 1);
  FUZZ_CHECK(job.help <= 1 && job.client <= 1);
}

void fuzz_set_option(const std::string& text) {
  auto job = std::make_unique<UnloadJob>();
  rowvane::job_defaults(job.get());
  auto before = std::make_unique<UnloadJob>(*job);

  const rowvane::OptionFault fault = rowvane::try_option(job.get(), text.c_str());
  const int known = fault == rowvane::kOptionUnknownKeyword ? 0 : 1;

  const rowvane::OptionSplit s = rowvane::split_option_text(text.c_str());
  FUZZ_CHECK(s.key_start + s.key_len <= text.size());
  FUZZ_CHECK(s.value_start + s.value_len == text.size());
  std::string keyword;
  for (size_t i = 0; i < s.key_len; ++i) keyword += upper(text[s.key_start + i]);
  const auto& table = keyword_fields();
  const auto it = table.find(keyword);
  FUZZ_CHECK(known == (it != table.end() ? 1 : 0));

  // A refused text changes nothing; it is described in one terminated line.
  if (fault != rowvane::kOptionApplied) {
    FUZZ_CHECK(std::memcmp(before.get(), job.get(), sizeof(UnloadJob)) == 0);
    char line[256];
    std::memset(line, 'x', sizeof line);
    rowvane::describe_option_fault(text.c_str(), fault, true, line, sizeof line);
    FUZZ_CHECK(strnlen(line, sizeof line) < sizeof line && std::strchr(line, '\n') == nullptr);
  }

  // Every changed byte lies inside a field the keyword owns.
  const unsigned char* a = reinterpret_cast<const unsigned char*>(before.get());
  const unsigned char* b = reinterpret_cast<const unsigned char*>(job.get());
  constexpr size_t kBlock = 256;
  for (size_t i = 0; i < sizeof(UnloadJob); ++i) {
    if (i % kBlock == 0 && i + kBlock <= sizeof(UnloadJob) && std::memcmp(a + i, b + i, kBlock) == 0) {
      i += kBlock - 1;
      continue;
    }
    if (a[i] == b[i]) continue;
    bool owned = false;
    if (it != table.end()) {
      for (const Range& r : it->second) owned = owned || (i >= r.offset && i < r.offset + r.size);
    }
    FUZZ_CHECK(owned);
  }
  check_job_bounds(*job);

  // Applying a second, different option on top keeps every bound.
  rowvane::set_option(job.get(), "text=MYSQLINS");
  rowvane::set_option(job.get(), text.c_str());
  check_job_bounds(*job);
}

void fuzz_decode(const std::string& src, int limit) {
  std::unique_ptr<char[]> dest(new char[static_cast<size_t>(limit) + 1]);
  const int n = rowvane::decode_hex_text(src.c_str(), dest.get(), limit);
  FUZZ_CHECK(n >= 0 && n <= limit);
  FUZZ_CHECK(dest[static_cast<size_t>(n)] == '\0');
  const std::string expected = reference_decode(src.substr(0, strnlen(src.c_str(), src.size())), limit);
  FUZZ_CHECK(expected.size() == static_cast<size_t>(n));
  FUZZ_CHECK(std::memcmp(expected.data(), dest.get(), expected.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string c_text = text.substr(0, strnlen(text.c_str(), text.size()));
  fuzz_set_option(c_text);
  if (size > 0) fuzz_decode(c_text.substr(c_text.empty() ? 0 : 1), data[0] % 140);
  return 0;
}
