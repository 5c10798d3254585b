// Describe: the vendor's type code, size, precision, scale and character-set
// form of a select-list column, from the type the column was declared with.
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/embedded/internal.h"
#include "db/type_codes.h"

namespace rowvane::embedded {
namespace {

// The declared type in upper case with runs of blanks made single.
std::string normalise(const char* t) {
  std::string s;
  bool blank = false;
  for (; *t; ++t) {
    unsigned char c = static_cast<unsigned char>(*t);
    if (std::isspace(c)) {
      blank = !s.empty();
      continue;
    }
    if (blank && c != '(' && c != ')' && c != ',' && !s.empty() && s.back() != '(' &&
        s.back() != ',')
      s.push_back(' ');
    blank = false;
    s.push_back(static_cast<char>(std::toupper(c)));
  }
  // SQLite takes no "TO" in an unquoted type name: INTERVAL_DAY_TO_SECOND
  // is read as INTERVAL DAY TO SECOND.
  if (s.compare(0, 9, "INTERVAL_") == 0)
    for (char& c : s)
      if (c == '_') c = ' ';
  return s;
}

bool starts(const std::string& s, const char* word) {
  size_t n = std::strlen(word);
  if (s.compare(0, n, word) != 0) return false;
  // The word must end there (no "CHARACTER" taken for "CHAR" + more letters).
  return s.size() == n || !(std::isalnum(static_cast<unsigned char>(s[n])) || s[n] == '_');
}

// Numbers in the first parentheses at or after position from: up to two.
int paren_numbers(const std::string& s, size_t from, long* a, long* b, bool* star,
                  bool* char_semantics) {
  *star = false;
  *char_semantics = false;
  size_t open = s.find('(', from);
  if (open == std::string::npos) return 0;
  size_t close = s.find(')', open);
  if (close == std::string::npos) return 0;
  std::string inner = s.substr(open + 1, close - open - 1);
  int n = 0;
  const char* p = inner.c_str();
  while (*p && n < 2) {
    while (*p == ' ') ++p;
    if (*p == '*') {
      *star = n == 0;
      ++p;
      ++n;
    } else if (*p == '-' || std::isdigit(static_cast<unsigned char>(*p))) {
      char* end;
      long v = std::strtol(p, &end, 10);
      (n == 0 ? *a : *b) = v;
      ++n;
      p = end;
    } else {
      break;
    }
    while (*p == ' ') ++p;
    if (std::strncmp(p, "CHAR", 4) == 0) {
      *char_semantics = true;
      p += 4;
    } else if (std::strncmp(p, "BYTE", 4) == 0) {
      p += 4;
    }
    while (*p == ' ') ++p;
    if (*p == ',') ++p;
  }
  return n;
}

uint16_t clamp16(long v) { return static_cast<uint16_t>(v < 0 ? 0 : (v > 65535 ? 65535 : v)); }

void set(Param* p, Kind kind, uint16_t type, uint16_t size, int16_t precision, int8_t scale,
         uint8_t form) {
  p->kind = kind;
  p->data_type = type;
  p->data_size = size;
  p->precision = precision;
  p->scale = scale;
  p->charset_form = form;
  p->fraction_digits = 0;
}

void set_text(Param* p, Kind kind, uint16_t type, const std::string& s, size_t after,
              long default_size, uint8_t form) {
  long a = default_size, b = 0;
  bool star, chars;
  paren_numbers(s, after, &a, &b, &star, &chars);
  long size = a;
  if (form == SQLCS_NCHAR) size = a * 3;   // national text: UTF-8, three bytes a character
  else if (chars) size = a * 4;            // character semantics: four bytes a character
  set(p, kind, type, clamp16(size > 32767 ? 32767 : size), 0, 0, form);
}

void set_by_value(Param* p, int first_row_type) {
  switch (first_row_type) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: set(p, Kind::kNumber, kTypeNumber, 22, 0, -127, 0); break;
    case SQLITE_BLOB: set(p, Kind::kBlob, kTypeBlob, 4000, 0, 0, 0); break;
    default: set(p, Kind::kChar, kTypeVarchar2, 4000, 0, 0, SQLCS_IMPLICIT); break;
  }
}

}  // namespace

void describe_column(Param* p, const char* decltype_text, const char* column_name,
                     int first_row_type) {
  std::string s = normalise(decltype_text ? decltype_text : "");
  bool rowid_name = column_name && (strcasecmp(column_name, "ROWID") == 0 ||
                                    strcasecmp(column_name, "_ROWID_") == 0 ||
                                    strcasecmp(column_name, "OID") == 0);
  if (rowid_name && (s.empty() || s == "INTEGER")) {
    set(p, Kind::kRowid, kTypeRowid, 10, 0, 0, 0);
    return;
  }
  if (s.empty()) {
    set_by_value(p, first_row_type);
    return;
  }
  long a = 0, b = 0;
  bool star = false, chars = false;
  if (starts(s, "ROWID") || starts(s, "UROWID")) {
    set(p, Kind::kRowid, kTypeRowid, 10, 0, 0, 0);
  } else if (starts(s, "NVARCHAR2") || starts(s, "NVARCHAR") ||
             starts(s, "NATIONAL CHARACTER VARYING") || starts(s, "NATIONAL CHAR VARYING") ||
             starts(s, "NCHAR VARYING")) {
    set_text(p, Kind::kChar, kTypeVarchar2, s, 0, 2000, SQLCS_NCHAR);
  } else if (starts(s, "NCHAR") || starts(s, "NATIONAL CHARACTER") ||
             starts(s, "NATIONAL CHAR")) {
    set_text(p, Kind::kChar, kTypeChar, s, 0, 1, SQLCS_NCHAR);
  } else if (starts(s, "NCLOB")) {
    set(p, Kind::kClob, kTypeClob, 4000, 0, 0, SQLCS_NCHAR);
  } else if (starts(s, "VARCHAR2") || starts(s, "VARCHAR") || starts(s, "CHARACTER VARYING") ||
             starts(s, "CHAR VARYING") || starts(s, "VARYING CHARACTER")) {
    set_text(p, Kind::kChar, kTypeVarchar2, s, 0, 4000, SQLCS_IMPLICIT);
  } else if (starts(s, "TEXT") || starts(s, "STRING")) {
    set(p, Kind::kChar, kTypeVarchar2, 4000, 0, 0, SQLCS_IMPLICIT);
  } else if (starts(s, "CHARACTER") || starts(s, "CHAR")) {
    set_text(p, Kind::kChar, kTypeChar, s, 0, 1, SQLCS_IMPLICIT);
  } else if (starts(s, "CLOB")) {
    set(p, Kind::kClob, kTypeClob, 4000, 0, 0, SQLCS_IMPLICIT);
  } else if (starts(s, "BLOB")) {
    set(p, Kind::kBlob, kTypeBlob, 4000, 0, 0, 0);
  } else if (starts(s, "BFILE")) {
    set(p, Kind::kBfile, kTypeBfile, 530, 0, 0, 0);
  } else if (starts(s, "LONG RAW")) {
    set(p, Kind::kLongRaw, kTypeLongRaw, 0, 0, 0, 0);
  } else if (starts(s, "LONG")) {
    set(p, Kind::kLong, kTypeLong, 0, 0, 0, SQLCS_IMPLICIT);
  } else if (starts(s, "RAW")) {
    a = 2000;
    paren_numbers(s, 0, &a, &b, &star, &chars);
    set(p, Kind::kRaw, kTypeRaw, clamp16(a), 0, 0, 0);
  } else if (starts(s, "NUMBER") || starts(s, "NUMERIC") || starts(s, "DECIMAL") ||
             starts(s, "DEC")) {
    int n = paren_numbers(s, 0, &a, &b, &star, &chars);
    if (n == 0)
      set(p, Kind::kNumber, kTypeNumber, 22, 0, -127, 0);
    else
      set(p, Kind::kNumber, kTypeNumber, 22, static_cast<int16_t>(star ? 38 : a),
          static_cast<int8_t>(n > 1 ? b : 0), 0);
  } else if (starts(s, "INTEGER") || starts(s, "INT") || starts(s, "SMALLINT") ||
             starts(s, "BIGINT") || starts(s, "TINYINT") || starts(s, "MEDIUMINT")) {
    set(p, Kind::kNumber, kTypeNumber, 22, 38, 0, 0);
  } else if (starts(s, "FLOAT")) {
    a = 126;
    paren_numbers(s, 0, &a, &b, &star, &chars);
    set(p, Kind::kFloat, kTypeFloat, 22, static_cast<int16_t>(a), -127, 0);
  } else if (starts(s, "BINARY_FLOAT")) {
    set(p, Kind::kBinaryFloat, kTypeBinaryFloat, 4, 0, 0, 0);
  } else if (starts(s, "BINARY_DOUBLE") || starts(s, "REAL") || starts(s, "DOUBLE")) {
    set(p, Kind::kBinaryDouble, kTypeBinaryDouble, 8, 0, 0, 0);
  } else if (starts(s, "DATETIME") || starts(s, "TIMESTAMP")) {
    a = 6;
    paren_numbers(s, 0, &a, &b, &star, &chars);
    if (a < 0 || a > 9) a = 6;
    bool local = s.find("WITH LOCAL TIME ZONE") != std::string::npos;
    bool zone = !local && s.find("WITH TIME ZONE") != std::string::npos;
    if (local)
      set(p, Kind::kTimestampLtz, kTypeTimestampLtz, 11, 0, static_cast<int8_t>(a), 0);
    else if (zone)
      set(p, Kind::kTimestampTz, kTypeTimestampTz, 13, 0, static_cast<int8_t>(a), 0);
    else
      set(p, Kind::kTimestamp, kTypeTimestamp, 11, 0, static_cast<int8_t>(a), 0);
    p->fraction_digits = static_cast<uint8_t>(a);
  } else if (starts(s, "DATE")) {
    set(p, Kind::kDate, kTypeDate, 7, 0, 0, 0);
  } else if (starts(s, "INTERVAL")) {
    a = 2;
    size_t to = s.find(" TO ");
    size_t open = s.find('(');
    if (open != std::string::npos && open < to) paren_numbers(s, 0, &a, &b, &star, &chars);
    if (s.find("TO MONTH") != std::string::npos) {
      set(p, Kind::kIntervalYm, kTypeIntervalYm, 5, static_cast<int16_t>(a), 0, 0);
    } else {
      long fs = 6, unused = 0;
      size_t sec = s.find("SECOND");
      if (sec != std::string::npos && s.find('(', sec) != std::string::npos)
        paren_numbers(s, sec, &fs, &unused, &star, &chars);
      set(p, Kind::kIntervalDs, kTypeIntervalDs, 11, static_cast<int16_t>(a), static_cast<int8_t>(fs), 0);
    }
  } else {
    // Any other name: SQLite's own affinity rules decide.
    if (s.find("INT") != std::string::npos)
      set(p, Kind::kNumber, kTypeNumber, 22, 38, 0, 0);
    else if (s.find("CHAR") != std::string::npos || s.find("CLOB") != std::string::npos ||
             s.find("TEXT") != std::string::npos)
      set(p, Kind::kChar, kTypeVarchar2, 4000, 0, 0, SQLCS_IMPLICIT);
    else if (s.find("BLOB") != std::string::npos)
      set(p, Kind::kBlob, kTypeBlob, 4000, 0, 0, 0);
    else if (s.find("REAL") != std::string::npos || s.find("FLOA") != std::string::npos ||
             s.find("DOUB") != std::string::npos)
      set(p, Kind::kBinaryDouble, kTypeBinaryDouble, 8, 0, 0, 0);
    else
      set(p, Kind::kNumber, kTypeNumber, 22, 0, -127, 0);
  }
}

}  // namespace rowvane::embedded
