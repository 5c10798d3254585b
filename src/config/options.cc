#include "config/options.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace rowvane {

namespace {

bool is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// True when text begins with word (word in upper case), ignoring case.
bool begins_with(const char* text, size_t len, const char* word) {
  size_t n = std::strlen(word);
  if (len < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (upper(text[i]) != word[i]) return false;
  }
  return true;
}

// True when text is exactly word (word in upper case), ignoring case.
bool equals_word(const char* text, size_t len, const char* word) {
  return len == std::strlen(word) && begins_with(text, len, word);
}

int hex_nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

// The "0x" decoding. `gap` is the byte a zero digit or "0x" at the very end
// of the text stands for: a zero byte normally; escape= passes a blank so
// that its blank-filled scratch keeps its blank there.
int decode_hex(const char* src, char* dest, int limit, char gap) {
  const size_t len = std::strlen(src);
  const size_t stop = limit < 0 ? 0 : (len < static_cast<size_t>(limit) ? len : static_cast<size_t>(limit));
  int out = 0;
  size_t i = 0;
  while (i < stop) {
    char c = src[i];
    if (c != '0') {
      dest[out++] = c;
      i += 1;
    } else if (i + 1 >= len) {          // a lone zero digit ends the text
      dest[out++] = gap;
      i += 1;
    } else if (src[i + 1] != 'x' && src[i + 1] != 'X') {
      dest[out++] = src[i + 1];         // "00" gives "0", "0," gives ","
      i += 2;
    } else if (i + 3 < len) {           // a full "0xHH" code
      dest[out++] = static_cast<char>((hex_nibble(src[i + 2]) << 4) | hex_nibble(src[i + 3]));
      i += 4;
    } else if (i + 2 < len) {           // "0x" and one more character
      dest[out++] = src[i + 2];
      i += 3;
    } else {                            // "0x" at the very end
      dest[out++] = gap;
      i += 2;
    }
  }
  dest[out] = '\0';
  return out;
}

// Base-10 conversion: white space, an optional sign, digits up to the first
// other character; no digits gives 0; out-of-range values stick at the limit.
int32_t to_number(const char* value, size_t len) {
  // Numbers are read from at most 511 characters of the value.
  if (len > 511) len = 511;
  size_t i = 0;
  while (i < len && is_white(value[i])) ++i;
  bool negative = false;
  if (i < len && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  int64_t n = 0;
  const int64_t cap = negative ? 2147483648LL : 2147483647LL;
  while (i < len && value[i] >= '0' && value[i] <= '9') {
    n = n * 10 + (value[i] - '0');
    if (n > cap) n = cap;
    ++i;
  }
  return static_cast<int32_t>(negative ? -n : n);
}

// Word values (switches, text=, format=) ignore trailing white space.
size_t word_len(const char* value, size_t len) {
  while (len > 0 && is_white(value[len - 1])) --len;
  return len;
}

// A switch value: 1 on, 0 off, -1 neither.
int switch_value(const char* value, size_t len) {
  len = word_len(value, len);
  for (const char* w : {"YES", "ON", "TRUE", "Y", "1"}) {
    if (equals_word(value, len, w)) return 1;
  }
  for (const char* w : {"NO", "OFF", "FALSE", "N", "0"}) {
    if (equals_word(value, len, w)) return 0;
  }
  return -1;
}

// One base-10 integer: white space, an optional sign, digits, white space.
bool is_number(const char* value, size_t len) {
  size_t i = 0;
  while (i < len && is_white(value[i])) ++i;
  if (i < len && (value[i] == '+' || value[i] == '-')) ++i;
  const size_t digits = i;
  while (i < len && value[i] >= '0' && value[i] <= '9') ++i;
  if (i == digits) return false;
  while (i < len && is_white(value[i])) ++i;
  return i == len;
}

// The position of a word value (trailing white space ignored) in a list
// of names, or -1.
template <size_t N>
int word_index(const char* value, size_t len, const char* const (&names)[N]) {
  len = word_len(value, len);
  for (size_t i = 0; i < N; ++i) {
    if (equals_word(value, len, names[i])) return static_cast<int>(i);
  }
  return -1;
}

// The values of format=, badchar=, resume= and status=, in the order of
// OptionFormat, OptionBadChar, OptionResume and OptionStatus.
const char* const kFormatNames[] = {"TEXT", "MYSQL", "SQL", "JSON"};
const char* const kBadCharNames[] = {"ERROR", "REPLACE"};
const char* const kResumeNames[] = {"NO", "YES", "NEW"};
const char* const kStatusNames[] = {"AUTO", "YES", "NO"};

int format_value(const char* value, size_t len) { return word_index(value, len, kFormatNames); }
int badchar_value(const char* value, size_t len) { return word_index(value, len, kBadCharNames); }
int resume_value(const char* value, size_t len) { return word_index(value, len, kResumeNames); }
int status_value(const char* value, size_t len) { return word_index(value, len, kStatusNames); }

enum class Rule {
  kText,      // copy at most `limit` characters
  kDecoded,   // "0x" decoding with source limit `limit`; length into len_field
  kEscape,
  kNumber,
  kSwitchOn,  // YES or ON
  kHelp,      // YES only
  kData,      // off with NO or OFF
  kFormat,
  kUnique,
  kPresetText,
  kPresetFast,
  kPresetForm,
  kBadChar,
  kStatus,
  kResume,
};

enum class Num {
  kNone, kRows, kArray, kLong, kBuffer, kDegree, kArea, kSize, kTrace, kRetry, kSleep, kError,
  kLevel, kThreads
};

constexpr size_t kNoLength = SIZE_MAX;
constexpr int32_t kMaxDegree = 128;
// Compression levels: gzip takes 1 to 12, zstd 1 to 19 (checked per format
// when the file is opened).
constexpr int32_t kMaxLevel = 19;
constexpr int32_t kMaxZstdThreads = 64;

struct Keyword {
  const char* name;  // upper case
  Rule rule;
  size_t field;      // offset of the field in UnloadJob
  size_t field_size;
  int limit;
  size_t len_field;  // offset of the *_len field, or kNoLength
  Num number;
};

#define RV_FIELD(f) offsetof(UnloadJob, f), sizeof(UnloadJob::f)
#define RV_TEXT(name, f, limit) {name, Rule::kText, RV_FIELD(f), limit, kNoLength, Num::kNone}
#define RV_DECODED(name, f, limit) {name, Rule::kDecoded, RV_FIELD(f), limit, kNoLength, Num::kNone}
#define RV_DECODED_LEN(name, f, limit) \
  {name, Rule::kDecoded, RV_FIELD(f), limit, offsetof(UnloadJob, f##_len), Num::kNone}
#define RV_NUMBER(name, f, kind) {name, Rule::kNumber, RV_FIELD(f), 0, kNoLength, kind}
#define RV_SWITCH(name, f) {name, Rule::kSwitchOn, RV_FIELD(f), 0, kNoLength, Num::kNone}
#define RV_PRESET(name, rule) {name, rule, 0, 0, 0, kNoLength, Num::kNone}

// The seventy-three keywords.
const Keyword kKeywords[] = {
    RV_TEXT("SQL", sql, 255),
    RV_TEXT("KEY", key, 511),
    RV_TEXT("LOG", log, 255),

    RV_NUMBER("LEVEL", level, Num::kLevel),

    RV_TEXT("USER", user, 128),
    RV_TEXT("FILE", file, 255),
    {"DATA", Rule::kData, RV_FIELD(data), 0, kNoLength, Num::kNone},
    RV_TEXT("HINT", hint, 255),
    RV_DECODED_LEN("NULL", null, 127),
    RV_TEXT("MODE", mode, 128),
    RV_SWITCH("HEAD", head),
    RV_SWITCH("SAFE", safe),
    RV_NUMBER("SORT", sort, Num::kArea),
    RV_NUMBER("ROWS", rows, Num::kRows),
    RV_NUMBER("LONG", long_, Num::kLong),
    RV_NUMBER("HASH", hash, Num::kArea),
    RV_NUMBER("READ", read, Num::kArea),
    RV_TEXT("PART", part, 131),
    RV_DECODED("SEDF", sedf, 40),
    RV_DECODED("SEDT", sedt, 40),
    RV_DECODED("ESCF", escf, 60),
    RV_DECODED("ESCT", esct, 60),
    RV_DECODED_LEN("EXEC", exec, 60),
    RV_NUMBER("SIZE", size, Num::kSize),
    {"HELP", Rule::kHelp, RV_FIELD(help), 0, kNoLength, Num::kNone},
    RV_PRESET("FORM", Rule::kPresetForm),
    RV_PRESET("FAST", Rule::kPresetFast),
    RV_PRESET("TEXT", Rule::kPresetText),

    RV_TEXT("QUERY", query, 8191),
    RV_DECODED_LEN("FIELD", field, 131),
    RV_DECODED("CRACK", crack, 31),
    RV_TEXT("TABLE", table, 128),
    RV_TEXT("WIDTH", width, 2047),
    RV_TEXT("ALTER", alter, 2047),
    RV_SWITCH("CRYPT", crypt),
    RV_NUMBER("ERROR", errors, Num::kError),
    RV_NUMBER("ARRAY", array, Num::kArray),
    RV_NUMBER("RETRY", retry, Num::kRetry),
    RV_TEXT("SPLIT", split, 128),
    RV_TEXT("TABLES", tables, 2047),
    RV_DECODED("QUOTE", quote, 40),
    RV_SWITCH("BATCH", batch),
    RV_NUMBER("TRACE", trace, Num::kTrace),
    RV_NUMBER("SLEEP", sleep, Num::kSleep),

    RV_DECODED_LEN("ROWPRE", rowpre, 63),
    RV_DECODED_LEN("ROWSUF", rowsuf, 63),
    RV_DECODED_LEN("COLSEP", colsep, 63),
    RV_DECODED_LEN("RECORD", record, 131),
    {"ESCAPE", Rule::kEscape, RV_FIELD(escape), 131, kNoLength, Num::kNone},
    {"UNIQUE", Rule::kUnique, RV_FIELD(unique), 255, kNoLength, Num::kNone},
    {"FORMAT", Rule::kFormat, RV_FIELD(format), 0, kNoLength, Num::kNone},
    RV_NUMBER("BUFFER", buffer, Num::kBuffer),
    RV_NUMBER("DEGREE", degree, Num::kDegree),
    RV_SWITCH("UPDATE", update),
    RV_SWITCH("SERIAL", serial),
    RV_TEXT("PRESQL", presql, 1023),
    RV_SWITCH("CLIENT", client),

    RV_TEXT("CONTROL", control, 255),
    RV_TEXT("LOBFILE", lobfile, 255),
    RV_DECODED("UNCRACK", uncrack, 31),
    RV_TEXT("POSTSQL", postsql, 1023),
    RV_DECODED_LEN("PREHEAD", prehead, 63),
    RV_TEXT("CHARSET", charset, 63),
    {"BADCHAR", Rule::kBadChar, RV_FIELD(badchar), 0, kNoLength, Num::kNone},

    RV_TEXT("NCHARSET", ncharset, 63),
    RV_SWITCH("SNAPSHOT", snapshot),
    {"STATUS", Rule::kStatus, RV_FIELD(status), 0, kNoLength, Num::kNone},
    RV_NUMBER("ZTHREADS", zthreads, Num::kThreads),
    RV_TEXT("MANIFEST", manifest, 255),
    {"RESUME", Rule::kResume, RV_FIELD(resume), 0, kNoLength, Num::kNone},
    RV_SWITCH("PLAN", plan),
    RV_TEXT("PIECES", pieces, 511),
    RV_TEXT("JOIN", join, 2047),
};

#undef RV_FIELD
#undef RV_TEXT
#undef RV_DECODED
#undef RV_DECODED_LEN
#undef RV_NUMBER
#undef RV_SWITCH
#undef RV_PRESET

static_assert(sizeof kKeywords / sizeof kKeywords[0] == 73, "seventy-three keywords");

// Preset option texts, applied in order through set_option.
const char* const kPresetMysql[] = {"ESCAPE=0x5c", "FIELD=0x2c", "RECORD=0x0a", "ESCF=0x0d0x0a0x220x27",
                                    "ESCT=rn0x220x27", "NULL=0x5cN", "QUOTE=0x22", nullptr};
const char* const kPresetCsv[] = {"ESCAPE=0x22", "FIELD=0x2c", "RECORD=0x0a", "QUOTE=0x22", "HEAD=YES",
                                  nullptr};
const char* const kPresetMysqlIns[] = {"ESCAPE=0x5c", "FIELD=0x2c",   "RECORD=0x0a",  "ESCF=0x0d0x0a0x220x27",
                                       "ESCT=rn0x220x27", "NULL=null", "QUOTE=0x27", "FORMAT=mysql",
                                       "FILE=-",      nullptr};
const char* const kPresetOracleIns[] = {"ESCAPE=0x27", "FIELD=0x2c", "RECORD=0x0a", "NULL=null",
                                        "QUOTE=0x27",  "FORMAT=SQL", "FILE=-",      nullptr};
const char* const kPresetFormText[] = {"COLSEP=0x20:0x20", "FIELD=0x0a", "RECORD=0x0a0x0a", "NULL=(null)",
                                       "FILE=-", nullptr};
const char* const kPresetSearch[] = {"COLSEP==",           "FIELD=0x010x0a",        "RECORD=0x010x0a",
                                     "ROWPRE=<DOC>0x010x0a", "ROWSUF=0x010x0a</DOC>", nullptr};
const char* const kPresetForm[] = {"COLSEP=0x20:0x20", "FIELD=0x0a", "RECORD=0x0a0x0a", "FILE=-", nullptr};
const char* const kPresetJson[] = {"FORMAT=JSON", nullptr};
const char* const kPresetFast[] = {"READ=128", "HASH=128", "SORT=128", "ARRAY=2000", "SERIAL=YES", nullptr};

struct TextPreset {
  const char* name;  // upper case
  const char* const* texts;
};
const TextPreset kTextPresets[] = {
    {"MYSQL", kPresetMysql},         {"CSV", kPresetCsv},   {"MYSQLINS", kPresetMysqlIns},
    {"ORACLEINS", kPresetOracleIns}, {"FORM", kPresetFormText}, {"SEARCH", kPresetSearch},
    {"JSON", kPresetJson},
};

const TextPreset* find_text_preset(const char* value, size_t len) {
  len = word_len(value, len);
  for (const TextPreset& p : kTextPresets) {
    if (equals_word(value, len, p.name)) return &p;
  }
  return nullptr;
}

void apply_preset(UnloadJob* job, const char* const* texts) {
  for (; *texts != nullptr; ++texts) set_option(job, *texts);
}

template <typename T>
T& field_at(UnloadJob* job, size_t offset) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(job) + offset);
}

void apply_number(UnloadJob* job, const Keyword& k, int32_t n) {
  switch (k.number) {
    case Num::kRows: {
      uint32_t u = static_cast<uint32_t>(n);
      job->rows = u < 1000 ? 1000 : u;
      break;
    }
    case Num::kArray: {
      uint32_t u = static_cast<uint32_t>(n);
      job->array = u < 5 ? 5 : (u > 2000 ? 2000 : u);
      break;
    }
    case Num::kLong: {
      uint32_t u = static_cast<uint32_t>(n);
      if (u < 1024) u *= 1024;  // small values are kilobytes
      job->long_ = u > 2097152 ? 2097152 : u;
      break;
    }
    case Num::kBuffer:
      if (n < 8) n = 8;
      if (n > 100) n = 100;
      job->buffer = n * 1048576;
      break;
    case Num::kDegree:
      job->degree = n;  // 1 to 128, checked before
      break;
    case Num::kArea:
      field_at<int32_t>(job, k.field) = n < 0 ? 0 : (n > 512 ? 512 : n);
      break;
    case Num::kSize:
      job->size = n < 0 ? 0x0FFFFFFF : n;
      break;
    case Num::kTrace:
      job->trace = n;
      break;
    case Num::kRetry: {
      uint16_t u = static_cast<uint16_t>(n);
      job->retry = u > 128 ? 128 : u;
      break;
    }
    case Num::kSleep: {
      uint16_t u = static_cast<uint16_t>(n);
      job->sleep = u > 180 ? 180 : u;
      break;
    }
    case Num::kError: {
      for (int i = 0; i < job->error_count; ++i) {
        if (job->errors[i] == n) return;
      }
      // The list holds 32 codes; a further distinct code is ignored.
      if (job->error_count < kMaxErrorCodes) job->errors[job->error_count++] = n;
      break;
    }
    case Num::kLevel:
      job->level = n;  // 1 to 19, checked before
      break;
    case Num::kThreads:
      job->zthreads = n;  // 0 to 64, checked before
      break;
    case Num::kNone:
      break;
  }
}

void apply_keyword(UnloadJob* job, const Keyword& k, const char* value, size_t len) {
  switch (k.rule) {
    case Rule::kText:
    case Rule::kUnique: {
      char* dest = &field_at<char>(job, k.field);
      std::memset(dest, 0, k.field_size);
      size_t n = len < static_cast<size_t>(k.limit) ? len : static_cast<size_t>(k.limit);
      std::memcpy(dest, value, n);
      if (k.rule == Rule::kUnique && n > 0) job->update = 1;
      break;
    }
    case Rule::kDecoded: {
      char* dest = &field_at<char>(job, k.field);
      std::memset(dest, 0, k.field_size);
      int n = decode_hex_text(value, dest, k.limit);
      if (k.len_field != kNoLength) field_at<int32_t>(job, k.len_field) = n;
      break;
    }
    case Rule::kEscape: {
      char scratch[132];
      std::memset(scratch, ' ', sizeof scratch);
      int n = decode_hex(value, scratch, k.limit, ' ');
      job->escape = n > 0 ? scratch[0] : ' ';
      break;
    }
    case Rule::kNumber:
      apply_number(job, k, to_number(value, len));
      break;
    case Rule::kSwitchOn: {
      const int on = switch_value(value, len);
      if (k.field_size == 1) {
        field_at<uint8_t>(job, k.field) = static_cast<uint8_t>(on);
      } else {
        field_at<int32_t>(job, k.field) = on;
      }
      break;
    }
    case Rule::kHelp:
      job->help = static_cast<uint8_t>(switch_value(value, len));
      break;
    case Rule::kData:
      job->data = switch_value(value, len);
      break;
    case Rule::kFormat:
      job->format = format_value(value, len);
      break;
    case Rule::kPresetText:
      apply_preset(job, find_text_preset(value, len)->texts);
      break;
    case Rule::kPresetFast:
      if (switch_value(value, len) == 1) apply_preset(job, kPresetFast);
      break;
    case Rule::kPresetForm:
      if (switch_value(value, len) == 1) apply_preset(job, kPresetForm);
      break;
    case Rule::kBadChar:
      job->badchar = static_cast<uint8_t>(badchar_value(value, len));
      break;
    case Rule::kStatus:
      job->status = static_cast<uint8_t>(status_value(value, len));
      break;
    case Rule::kResume:
      job->resume = static_cast<uint8_t>(resume_value(value, len));
      break;
  }
}

// Whether the value suits the keyword; checked before anything is written,
// so that a refused text changes nothing.
OptionFault check_value(const Keyword& k, const char* value, size_t len) {
  switch (k.rule) {
    case Rule::kNumber:
      if (!is_number(value, len)) return kOptionNotNumber;
      if (k.number == Num::kDegree) {
        const int32_t n = to_number(value, len);
        if (n < 1 || n > kMaxDegree) return kOptionDegreeRange;
      }
      if (k.number == Num::kLevel) {
        const int32_t n = to_number(value, len);
        if (n < 1 || n > kMaxLevel) return kOptionLevelRange;
      }
      if (k.number == Num::kThreads) {
        const int32_t n = to_number(value, len);
        if (n < 0 || n > kMaxZstdThreads) return kOptionThreadsRange;
      }
      return kOptionApplied;
    case Rule::kSwitchOn:
    case Rule::kHelp:
    case Rule::kData:
    case Rule::kPresetFast:
    case Rule::kPresetForm:
      return switch_value(value, len) < 0 ? kOptionNotSwitch : kOptionApplied;
    case Rule::kFormat:
      return format_value(value, len) < 0 ? kOptionUnknownFormat : kOptionApplied;
    case Rule::kPresetText:
      return find_text_preset(value, len) == nullptr ? kOptionUnknownType : kOptionApplied;
    case Rule::kBadChar:
      return badchar_value(value, len) < 0 ? kOptionUnknownBadChar : kOptionApplied;
    case Rule::kStatus:
      return status_value(value, len) < 0 ? kOptionUnknownStatus : kOptionApplied;
    case Rule::kResume:
      return resume_value(value, len) < 0 ? kOptionUnknownResume : kOptionApplied;
    default:
      return kOptionApplied;
  }
}

const Keyword* find_keyword(const char* key, size_t len) {
  if (len < 3 || len > 8) return nullptr;
  for (const Keyword& k : kKeywords) {
    if (equals_word(key, len, k.name)) return &k;
  }
  return nullptr;
}

// Edit distance (insertions, deletions, substitutions), ignoring case; the
// word counts with at most 32 characters.
size_t edit_distance(const char* word, size_t len, const char* name) {
  if (len > 32) len = 32;
  const size_t m = std::strlen(name);
  size_t row[33];
  for (size_t j = 0; j <= m; ++j) row[j] = j;
  for (size_t i = 1; i <= len; ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= m; ++j) {
      const size_t above = row[j];
      const size_t change = diagonal + (upper(word[i - 1]) == name[j - 1] ? 0 : 1);
      size_t best = above + 1 < row[j - 1] + 1 ? above + 1 : row[j - 1] + 1;
      row[j] = change < best ? change : best;
      diagonal = above;
    }
  }
  return row[m];
}

void lower_copy(const char* name, char* out, size_t cap) {
  size_t i = 0;
  for (; name[i] != '\0' && i + 1 < cap; ++i) {
    out[i] = (name[i] >= 'A' && name[i] <= 'Z') ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
  }
  out[i] = '\0';
}

}  // namespace

OptionSplit split_option_text(const char* text) {
  const size_t len = std::strlen(text);
  size_t start = 0;
  while (start < len && is_white(text[start])) ++start;
  size_t eq = start;
  while (eq < len && text[eq] != '=') ++eq;

  size_t key_end = eq;
  while (key_end > start && is_white(text[key_end - 1])) --key_end;

  size_t value_start = 0;  // no "=": the whole text is the value
  if (eq < len) {
    value_start = eq + 1;
    while (value_start < len && is_white(text[value_start])) ++value_start;
  }
  return OptionSplit{start, key_end - start, value_start, len - value_start};
}

int decode_hex_text(const char* src, char* dest, int limit) { return decode_hex(src, dest, limit, '\0'); }

OptionFault try_option(UnloadJob* job, const char* text) {
  const OptionSplit s = split_option_text(text);
  const Keyword* k = find_keyword(text + s.key_start, s.key_len);
  if (k == nullptr) return kOptionUnknownKeyword;
  const char* value = text + s.value_start;
  const OptionFault fault = check_value(*k, value, s.value_len);
  if (fault == kOptionApplied) apply_keyword(job, *k, value, s.value_len);
  return fault;
}

int set_option(UnloadJob* job, const char* text) { return try_option(job, text) == kOptionApplied ? 1 : 0; }

void closest_keyword(const char* word, size_t len, bool with_parfile, char out[16]) {
  const char* best = "PARFILE";
  size_t best_distance = with_parfile ? edit_distance(word, len, best) : SIZE_MAX;
  for (const Keyword& k : kKeywords) {
    const size_t d = edit_distance(word, len, k.name);
    if (d < best_distance) {
      best_distance = d;
      best = k.name;
    }
  }
  lower_copy(best, out, 16);
}

namespace {

void describe_fault(const char* text, OptionFault fault, bool with_parfile, char* out, size_t cap) {
  const OptionSplit s = split_option_text(text);
  const char* key = text + s.key_start;
  // The argument's name: its text before "=", cut at a "/" after its first
  // character (what follows may be a password) and at 40 characters.
  size_t shown = s.key_len;
  bool cut = false;
  const void* slash = s.key_len > 1 ? std::memchr(key + 1, '/', s.key_len - 1) : nullptr;
  if (slash != nullptr) {
    shown = static_cast<size_t>(static_cast<const char*>(slash) - key) + 1;
    cut = true;
  }
  if (shown > 40) {
    shown = 40;
    cut = true;
  }
  const bool has_eq = std::strchr(text, '=') != nullptr;

  if (fault == kOptionUnknownKeyword) {
    const bool login_like = std::memchr(key, '/', s.key_len) != nullptr || std::memchr(key, '@', s.key_len);
    if (with_parfile && login_like) {
      std::snprintf(out, cap, "Unknown argument \"%.*s%s\" (a login without user= is taken only as the "
                    "first argument)", static_cast<int>(shown), key, cut ? "..." : "");
      return;
    }
    char closest[16];
    closest_keyword(key, s.key_len, with_parfile, closest);
    std::snprintf(out, cap, "Unknown keyword \"%.*s%s%s\" (closest keyword: %s)", static_cast<int>(shown),
                  key, cut ? "..." : "", has_eq && !cut ? "=" : "", closest);
    return;
  }

  char name[16];
  lower_copy(find_keyword(key, s.key_len)->name, name, sizeof name);
  const char* value = text + s.value_start;
  size_t value_len = word_len(value, s.value_len);
  const char* more = value_len > 40 ? "..." : "";
  if (value_len > 40) value_len = 40;
  const char* what = "";
  const char* takes = "";
  switch (fault) {
    case kOptionNotNumber:
      what = "Not a number";
      takes = "an integer";
      break;
    case kOptionNotSwitch:
      what = "Not a switch value";
      takes = "on: YES, ON, TRUE, Y, 1; off: NO, OFF, FALSE, N, 0";
      break;
    case kOptionUnknownType:
      what = "Unknown output type";
      takes = "MYSQL, CSV, MYSQLINS, ORACLEINS, FORM, SEARCH, JSON";
      break;
    case kOptionUnknownFormat:
      what = "Unknown format";
      takes = "MYSQL, SQL, TEXT, JSON";
      break;
    case kOptionDegreeRange:
      what = "Degree out of range";
      takes = "1 to 128";
      break;
    case kOptionLevelRange:
      what = "Level out of range";
      takes = "gzip 1 to 12, zstd 1 to 19";
      break;
    case kOptionThreadsRange:
      what = "Thread count out of range";
      takes = "0 to 64";
      break;
    case kOptionUnknownBadChar:
      what = "Unknown bad-character policy";
      takes = "ERROR, REPLACE";
      break;
    case kOptionUnknownStatus:
      what = "Unknown status line setting";
      takes = "YES, NO, AUTO";
      break;
    case kOptionUnknownResume:
      what = "Unknown resume setting";
      takes = "NO, YES, NEW";
      break;
    default:
      break;
  }
  std::snprintf(out, cap, "%s: %s=%.*s%s (%s)", what, name, static_cast<int>(value_len), value, more, takes);
}

}  // namespace

bool option_keyword_is(const char* text, const OptionSplit& split, const char* keyword) {
  const size_t n = std::strlen(keyword);
  if (split.key_len != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (upper(text[split.key_start + i]) != upper(keyword[i])) return false;
  }
  return true;
}

void list_option_values(const UnloadJob& job, OptionValueFn fn, void* context) {
  const char* base = reinterpret_cast<const char*>(&job);
  for (const Keyword& k : kKeywords) {
    char name[16];
    size_t n = 0;
    for (; k.name[n] != '\0' && n + 1 < sizeof name; ++n) {
      name[n] = static_cast<char>(k.name[n] - 'A' + 'a');
    }
    name[n] = '\0';
    const char* field = base + k.field;
    char text[384];
    int len = 0;
    auto integer = [&] {
      int64_t v = 0;
      if (k.field_size == 1) v = *reinterpret_cast<const uint8_t*>(field);
      if (k.field_size == 2) v = *reinterpret_cast<const uint16_t*>(field);
      if (k.field_size == 4) v = *reinterpret_cast<const int32_t*>(field);
      return v;
    };
    switch (k.rule) {
      case Rule::kText:
      case Rule::kUnique:
        fn(context, name, field, strnlen(field, k.field_size));
        continue;
      case Rule::kDecoded:
        fn(context, name, field,
           k.len_field != kNoLength ? static_cast<size_t>(*reinterpret_cast<const int32_t*>(base + k.len_field))
                                    : strnlen(field, k.field_size));
        continue;
      case Rule::kEscape:
        fn(context, name, field, 1);
        continue;
      case Rule::kNumber:
        if (k.number == Num::kError) {
          for (int i = 0; i < job.error_count && len < 300; ++i) {
            len += std::snprintf(text + len, sizeof text - static_cast<size_t>(len), "%s%d", i ? "," : "",
                                 job.errors[i]);
          }
        } else {
          len = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(integer()));
        }
        break;
      case Rule::kSwitchOn:
      case Rule::kData:
        len = std::snprintf(text, sizeof text, "%s", integer() != 0 ? "YES" : "NO");
        break;
      case Rule::kFormat:
        len = std::snprintf(text, sizeof text, "%s", kFormatNames[job.format & 3]);
        break;
      case Rule::kBadChar:
        len = std::snprintf(text, sizeof text, "%s", kBadCharNames[job.badchar & 1]);
        break;
      case Rule::kStatus:
        len = std::snprintf(text, sizeof text, "%s", kStatusNames[job.status % 3]);
        break;
      case Rule::kResume:
        len = std::snprintf(text, sizeof text, "%s", kResumeNames[job.resume % 3]);
        break;
      case Rule::kHelp:
      case Rule::kPresetText:
      case Rule::kPresetFast:
      case Rule::kPresetForm:
        continue;
    }
    fn(context, name, text, len < 0 ? 0 : static_cast<size_t>(len));
  }
}

void describe_option_fault(const char* text, OptionFault fault, bool with_parfile, char* out, size_t cap) {
  if (cap == 0) return;
  describe_fault(text, fault, with_parfile, out, cap);
  // One line: control bytes of the argument are shown as "?".
  for (char* p = out; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) *p = '?';
  }
}

}  // namespace rowvane
