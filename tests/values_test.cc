// Value conversion and escaping: number and date texts, translation,
// escaping with the double-byte rule, hex.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "db/embedded/engine.h"
#include "unload/values.h"
#include "escape_reference.h"

using namespace rowvane;

namespace {

std::string number_text(std::vector<unsigned char> bytes) {
  char out[kValueScratch];
  std::memset(out, '#', sizeof out);
  int n = format_number(bytes.data(), static_cast<int>(bytes.size()), out);
  EXPECT_GE(n, 0);
  EXPECT_LT(n, kValueScratch);
  return std::string(out, static_cast<size_t>(n));
}

std::string date_text(std::vector<unsigned char> bytes) {
  char out[32];
  int n = format_date(bytes.data(), static_cast<int>(bytes.size()), out);
  return std::string(out, static_cast<size_t>(n));
}

std::string escaped(const std::string& value, const EscapeTable& e) {
  const auto* v = reinterpret_cast<const unsigned char*>(value.data());
  std::string out(2 * value.size() + 1, '\0');
  size_t n = escape_bytes(out.data(), v, value.size(), e);
  EXPECT_EQ(n, value.size() + count_escapes(v, value.size(), e));
  out.resize(n);
  return out;
}

std::string translated(std::string value, const char* sedf, const char* sedt) {
  Translation t;
  build_translation(&t, sedf, sedt);
  translate_bytes(reinterpret_cast<unsigned char*>(value.data()), value.size(), t);
  return value;
}

// The four escape settings of the text presets.
EscapeTable preset_default() {
  EscapeTable e;
  build_escape_table(&e, ' ', "\r\n\"'", "rn\"'");  // pairs given, escape off
  return e;
}
EscapeTable preset_csv() {
  EscapeTable e;
  build_escape_table(&e, '"', "", "");
  return e;
}
EscapeTable preset_mysql() {
  EscapeTable e;
  build_escape_table(&e, '\\', "\r\n\"'", "rn\"'");
  return e;
}
EscapeTable preset_oracle_ins() {
  EscapeTable e;
  build_escape_table(&e, '\'', "", "");
  return e;
}

// The text format_number must give for a number of significant digits sig
// (no leading or trailing zeros) with point digits before the decimal point:
// no exponent, no leading zeros, and a fraction kept to whole base-100 pairs.
std::string expected_number_text(bool negative, const std::string& sig, int point) {
  std::string whole, frac;
  const int n = static_cast<int>(sig.size());
  if (point <= 0) {
    whole = "0";
    frac = std::string(static_cast<size_t>(-point), '0') + sig;
  } else if (point >= n) {
    whole = sig + std::string(static_cast<size_t>(point - n), '0');
  } else {
    whole = sig.substr(0, static_cast<size_t>(point));
    frac = sig.substr(static_cast<size_t>(point));
  }
  if (frac.size() % 2) frac += '0';
  return (negative ? "-" : "") + whole + (frac.empty() ? "" : "." + frac);
}

// The same number as input text for the encoder: plain decimal, or with an
// exponent.
std::string number_input(bool negative, const std::string& sig, int point, bool exponent) {
  std::string s = negative ? "-" : "";
  const int n = static_cast<int>(sig.size());
  if (exponent) {
    s += sig.substr(0, 1);
    if (n > 1) s += "." + sig.substr(1);
    s += "E" + std::to_string(point - 1);
  } else if (point <= 0) {
    s += "0." + std::string(static_cast<size_t>(-point), '0') + sig;
  } else if (point >= n) {
    s += sig + std::string(static_cast<size_t>(point - n), '0');
  } else {
    s += sig.substr(0, static_cast<size_t>(point)) + "." + sig.substr(static_cast<size_t>(point));
  }
  return s;
}

}  // namespace

TEST(NumberText, InternalFormExamples) {
  EXPECT_EQ(number_text({}), "");
  EXPECT_EQ(number_text({0x80}), "0");
  EXPECT_EQ(number_text({0xC1, 0x02}), "1");
  EXPECT_EQ(number_text({0xC2, 0x02}), "100");
  EXPECT_EQ(number_text({0xC2, 0x02, 0x18, 0x2E}), "123.45");
  EXPECT_EQ(number_text({0xC0, 0x33}), "0.50");
  EXPECT_EQ(number_text({0xC1, 0x02, 0x33}), "1.50");
  EXPECT_EQ(number_text({0xBF, 0x0B}), "0.0010");
  EXPECT_EQ(number_text({0x3E, 0x64, 0x66}), "-1");
  EXPECT_EQ(number_text({0x3D, 0x64, 0x4E, 0x38, 0x66}), "-123.45");
  EXPECT_EQ(number_text({0x3F, 0x60, 0x66}), "-0.05");
  // 10 x 100^62: "1" and 125 zeros.
  EXPECT_EQ(number_text({0xFF, 0x0B}), "1" + std::string(125, '0'));
  // A first digit of 10 or more keeps both decimal digits.
  EXPECT_EQ(number_text({0xC1, 0x0B}), "10");
  EXPECT_EQ(number_text({0xC1, 0x64}), "99");
}

TEST(NumberText, ExtremesAndDamagedImages) {
  // The smallest positive magnitude has the exponent byte 0x80 too; only
  // the one-byte image is zero.
  EXPECT_EQ(number_text({0x80, 0x02}), "0." + std::string(129, '0') + "1");
  EXPECT_EQ(number_text({0x7F, 0x64, 0x66}), "-0." + std::string(129, '0') + "1");
  // A negative number with all 20 digit positions in use has no terminator.
  std::vector<unsigned char> neg20{0x3E};
  for (int i = 0; i < 20; ++i) neg20.push_back(static_cast<unsigned char>(101 - 12));
  std::string pairs;
  for (int i = 0; i < 19; ++i) pairs += "12";
  EXPECT_EQ(number_text(neg20), "-12." + pairs);
  // Byte 20 equal to 102 is that terminator.
  neg20[20] = 102;
  EXPECT_EQ(number_text(neg20), "-12." + pairs.substr(2));
  // Longer images are cut to 21 bytes; odd bytes still give decimal digits.
  std::vector<unsigned char> junk(40, 0xFF);
  std::string t = number_text(junk);
  EXPECT_FALSE(t.empty());
  EXPECT_EQ(t.find_first_not_of("0123456789."), std::string::npos) << t;
  EXPECT_EQ(number_text({0x00}), "-" + std::string(126, '0'));
  EXPECT_EQ(number_text({0xC1, 0x00}), "99");  // damaged digit byte, still digits
}

TEST(NumberText, RoundTripThroughEncoder) {
  struct Case {
    bool negative;
    std::string sig;
    int point;
    bool exponent;
  };
  std::vector<Case> cases = {
      {false, "1", 1, false},     {true, "1", 1, false},      {false, "1", 3, false},
      {false, "5", 0, false},     {true, "5", -1, false},     {false, "1", 126, true},
      {false, "1", -129, true},   {true, "1", -129, true},    {false, "12345", 3, false},
      {true, "12345", 3, false},  {false, "1", -2, false},    {false, "15", 1, false},
      {false, std::string(38, '9'), 126, true},  {true, std::string(38, '9'), 126, true},
      {false, "99", 2, false},    {false, "101", 3, false},   {false, "1", 11, false},
  };
  std::mt19937 rng(20240229);
  auto digits = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    s[0] = static_cast<char>('1' + rng() % 9);
    s.back() = static_cast<char>('1' + rng() % 9);
    return s;
  };
  auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)); };
  for (int i = 0; i < 60; ++i) {  // integers, some with trailing zeros
    std::string s = digits(pick(1, 38));
    cases.push_back({rng() % 2 == 0, s, static_cast<int>(s.size()) + pick(0, 3) * (i % 2), false});
  }
  for (int i = 0; i < 60; ++i) {  // decimals around the point
    std::string s = digits(pick(1, 38));
    cases.push_back({rng() % 2 == 0, s, pick(-6, static_cast<int>(s.size()) - 1), i % 3 == 0});
  }
  for (int i = 0; i < 40; ++i) {  // very large
    cases.push_back({rng() % 2 == 0, digits(pick(1, 38)), pick(100, 126), i % 2 == 0});
  }
  for (int i = 0; i < 40; ++i) {  // very small
    cases.push_back({rng() % 2 == 0, digits(pick(1, 38)), pick(-129, -100), i % 2 == 0});
  }
  ASSERT_GE(cases.size(), 200u);

  for (const Case& c : cases) {
    const std::string in = number_input(c.negative, c.sig, c.point, c.exponent);
    unsigned char image[22];
    int n = encode_oracle_number(in.data(), in.size(), image);
    ASSERT_GT(n, 0) << in;
    ASSERT_LE(n, kMaxNumberBytes) << in;
    EXPECT_EQ(number_text(std::vector<unsigned char>(image, image + n)),
              expected_number_text(c.negative, c.sig, c.point))
        << in;
  }
  unsigned char zero[22];
  int n = encode_oracle_number("0", 1, zero);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(number_text({zero[0]}), "0");
}

TEST(DateText, EveryLength) {
  const unsigned char image[13] = {120, 124, 2, 29, 14, 6, 1, 0x07, 0x5B, 0xCD, 0x15, 20, 60};
  for (int len = 0; len <= 13; ++len) {
    char out[32];
    int n = format_date(image, len, out);
    if (len == 7) {
      EXPECT_EQ(std::string(out, n), "2024-02-29 13:05:00");
    } else if (len == 11 || len == 13) {
      // 123456789 ns
      EXPECT_EQ(std::string(out, n), "2024-02-29 13:05:00.123456") << len;
    } else {
      EXPECT_EQ(n, 0) << len;
    }
  }
  unsigned char big[14] = {};
  EXPECT_EQ(format_date(big, 14, nullptr), 0);
}

TEST(DateText, FieldsAndFractions) {
  EXPECT_EQ(date_text({100, 101, 1, 1, 1, 1, 1}), "0001-01-01 00:00:00");
  EXPECT_EQ(date_text({199, 199, 12, 31, 24, 60, 60}), "9999-12-31 23:59:59");
  EXPECT_EQ(date_text({119, 170, 7, 4, 0, 0, 0}), "1970-07-04 00:00:00");  // zero bytes give 0
  EXPECT_EQ(date_text({120, 100, 1, 2, 1, 1, 1, 0, 0, 0x03, 0xE8}), "2000-01-02 00:00:00.000001");
  EXPECT_EQ(date_text({120, 100, 1, 2, 1, 1, 1, 0, 0, 0x03, 0xE7}), "2000-01-02 00:00:00.000000");
  EXPECT_EQ(date_text({120, 100, 1, 2, 1, 1, 1, 0x3B, 0x9A, 0xC9, 0xFF}),
            "2000-01-02 00:00:00.999999");
  // An out-of-range count keeps "%06d" and stays within the scratch area.
  EXPECT_EQ(date_text({120, 100, 1, 2, 1, 1, 1, 0xFF, 0xFF, 0xFF, 0xFF}),
            "2000-01-02 00:00:00.4294967");
}

TEST(Escaping, PresetSettings) {
  EscapeTable off = preset_default();
  EXPECT_FALSE(off.on);
  EXPECT_EQ(escaped("a\\b\"c'\r\n ", off), "a\\b\"c'\r\n ");
  EXPECT_EQ(count_escapes(reinterpret_cast<const unsigned char*>("\"\""), 2, off), 0u);

  EscapeTable csv = preset_csv();
  EXPECT_EQ(csv.pair_count, 0);
  EXPECT_EQ(escaped("He said \"hi\"", csv), "He said \"\"hi\"\"");
  EXPECT_EQ(escaped("it's\\", csv), "it's\\");

  EscapeTable my = preset_mysql();
  EXPECT_EQ(my.pair_count, 4);
  EXPECT_EQ(escaped("a\\b\rc\nd", my), "a\\\\b\\rc\\nd");
  EXPECT_EQ(escaped("\"'", my), "\\\"\\'");
  EXPECT_EQ(escaped("plain text", my), "plain text");
  EXPECT_EQ(escaped("", my), "");

  EscapeTable ora = preset_oracle_ins();
  EXPECT_EQ(escaped("O'Brien''", ora), "O''Brien''''");
  EXPECT_EQ(escaped("\"x\"", ora), "\"x\"");
}

TEST(Escaping, DoubleByteCharacters) {
  EscapeTable my = preset_mysql();
  // A GBK character whose second byte is a backslash stays as it is.
  EXPECT_EQ(escaped("\xD5\x5C", my), "\xD5\x5C");
  // 0x27 is no trail byte: B0 stands alone and the quote is escaped.
  EXPECT_EQ(escaped("ab\xD5\x5C\xB0\x27z", my), "ab\xD5\x5C\xB0\\'z");
  // A lone backslash after an ASCII byte is escaped.
  EXPECT_EQ(escaped("a\x5C", my), "a\\\x5C");
  // A lead-range byte at the end is a single byte; the byte before it pairs
  // with nothing.
  EXPECT_EQ(escaped("a\xD5", my), "a\xD5");
  EXPECT_EQ(escaped("\\\xD5", my), "\\\\\xD5");
  // Lead followed by a non-trail byte: both single, the special one escaped.
  EXPECT_EQ(escaped("\xD5\x0A", my), "\xD5\\n");
  EXPECT_EQ(escaped("\xD5\x22", my), "\xD5\\\"");
  // Pairing from the start: D5 D5 is a character, the next 5C stands alone.
  EXPECT_EQ(escaped("\xD5\xD5\x5C", my), "\xD5\xD5\\\x5C");
  // D5 then (D5 5C): the second D5 starts the character that holds 5C.
  EXPECT_EQ(escaped("a\xD5\xD5\xD5\x5C", my), "a\xD5\xD5\xD5\x5C");
  // 0x80 and 0xFF are never lead bytes.
  EXPECT_EQ(escaped("\x80\x5C\xFF\x5C", my), "\x80\\\x5C\xFF\\\x5C");

  // A lead-range byte may itself be special; it is escaped only when single.
  EscapeTable e;
  build_escape_table(&e, '\\', "\x81", "Q");
  EXPECT_EQ(escaped("\x81\x81", e), "\x81\x81");
  EXPECT_EQ(escaped("\x81", e), "\\Q");
  EXPECT_EQ(escaped("\x81\x20", e), "\\Q ");
}

// The target character set decides which bytes make one character: only a
// double-byte set pairs bytes from 0x81 (a backslash after a three-byte
// UTF-8 character was once taken as its trail byte and left bare).
TEST(Escaping, CharacterWidthOfTheTargetSet) {
  EscapeTable e;
  const std::string euro_backslash = "\xE2\x82\xAC\\";
  const std::string gbk_backslash = "\x81\x5C\\";
  struct Case {
    CharWidth width;
    std::string euro, gbk;
  } cases[] = {
      {CharWidth::kUtf8, "\xE2\x82\xAC\\\\", "\x81\\\\\\\\"},
      {CharWidth::kSingleByte, "\xE2\x82\xAC\\\\", "\x81\\\\\\\\"},
      {CharWidth::kDoubleByte, "\xE2\x82\xAC\\", "\x81\x5C\\\\"},
  };
  for (const Case& c : cases) {
    build_escape_table(&e, '\\', "", "", c.width);
    EXPECT_EQ(escaped(euro_backslash, e), c.euro) << static_cast<int>(c.width);
    EXPECT_EQ(escaped(gbk_backslash, e), c.gbk) << static_cast<int>(c.width);
  }
  // A UTF-8 sequence is one character only when complete and well formed.
  build_escape_table(&e, '\\', "\xA9", "c", CharWidth::kUtf8);
  EXPECT_EQ(escaped("\xC3\xA9\xA9", e), "\xC3\xA9\\c");

  // Names and ids of the target set.
  CharWidth w;
  for (const char* name : {"ZHS16GBK", "zht16big5", "JA16SJIS", "KO16MSWIN949", "ZHS32GB18030", "GBK",
                           "Shift_JIS", "BIG5"}) {
    ASSERT_TRUE(charset_width_by_name(name, &w)) << name;
    EXPECT_EQ(w, CharWidth::kDoubleByte) << name;
  }
  for (const char* name : {"AL32UTF8", "utf8", "UTF-8"}) {
    ASSERT_TRUE(charset_width_by_name(name, &w)) << name;
    EXPECT_EQ(w, CharWidth::kUtf8) << name;
  }
  EXPECT_FALSE(charset_width_by_name("WE8MSWIN1252", &w));  // left to its id
  EXPECT_FALSE(charset_width_by_name("", &w));
  EXPECT_FALSE(charset_width_by_id(0, &w));
  for (uint16_t id : {852, 854, 865, 867, 868, 832, 838, 830, 840, 846, 860}) {
    ASSERT_TRUE(charset_width_by_id(id, &w));
    EXPECT_EQ(w, CharWidth::kDoubleByte) << id;
  }
  ASSERT_TRUE(charset_width_by_id(873, &w));
  EXPECT_EQ(w, CharWidth::kUtf8);
  ASSERT_TRUE(charset_width_by_id(178, &w));
  EXPECT_EQ(w, CharWidth::kSingleByte);
}

TEST(Escaping, PairTableRules) {
  EscapeTable e;
  // The escape byte listed in escf is still doubled; the first of two equal
  // escf bytes wins; pairs stop at the shorter list.
  build_escape_table(&e, '\\', "\\aab", "XYZ");
  EXPECT_EQ(e.pair_count, 3);
  EXPECT_EQ(escaped("\\ab", e), "\\\\\\Yb");
  std::string many(30, 'x');
  for (int i = 0; i < 26; ++i) many[i] = static_cast<char>('a' + i);
  build_escape_table(&e, '#', many.c_str(), many.c_str());
  EXPECT_EQ(e.pair_count, 20);
  EXPECT_EQ(escaped("atu", e), "#a#tu");  // 't' is the 20th pair, 'u' the 21st
  build_escape_table(&e, '#', nullptr, nullptr);
  EXPECT_EQ(e.pair_count, 0);
  EXPECT_EQ(escaped("a#", e), "a##");
}

TEST(Escaping, RunSkippingAgreesWithPlainScan) {
  struct Setting {
    char esc;
    std::string escf, esct;
  } settings[] = {
      {'\\', "\r\n\"'", "rn\"'"}, {'"', "", ""}, {'\'', "", ""},
      {'\\', std::string("\x81\xFE\x40\x7E", 4), "abcd"}, {'\x81', "\x5C", "x"},
  };
  const unsigned char alphabet[] = {'a', ' ', 0x5C, 0x22, 0x27, 0x0A, 0x0D, 0x40, 0x7E, 0x7F,
                                    0x80, 0x81, 0xA1, 0xD5, 0xFE, 0xFF, 0x00, 0x3F,
                                    0xC3, 0xE2, 0xF0, 0xBF};  // UTF-8 leads and a continuation
  std::mt19937 rng(7);
  for (int width = 0; width < 3; ++width) {
    for (const Setting& s : settings) {
      EscapeTable e;
      build_escape_table(&e, s.esc, s.escf.c_str(), s.esct.c_str(), static_cast<CharWidth>(width));
      for (int round = 0; round < 3000; ++round) {
        std::string v(rng() % 24, '\0');
        for (char& ch : v) ch = static_cast<char>(alphabet[rng() % sizeof alphabet]);
        ASSERT_EQ(escaped(v, e),
                  reference_escape(v, static_cast<unsigned char>(s.esc), s.escf, s.esct, width))
            << "width " << width;
      }
    }
  }
}

// Long values that are mostly plain ASCII, so the scan moves over whole
// blocks and meets special and high bytes at every offset of a block and of
// its overlapping tail; every special-byte count from none to twenty-one.
// Each value sits in a buffer of its exact length so that the sanitizer
// build catches a read past its end.
TEST(Escaping, BlockScanAgreesWithPlainScan) {
  struct Setting {
    char esc;
    std::string escf, esct;
  } settings[] = {
      {'"', "", ""},                       // one special byte
      {'\\', "\r\n", "rn"},                // three
      {'\\', "\r\n\"'", "rn\"'"},          // five
      {'\\', "\r\n\"'\t", "rn\"'t"},      // six: the general scan
      {'\0', "a", "b"},                     // a zero escape byte
      {'\x81', "\xFE\x80", "xy"},           // no special byte below 0x80
      {'#', "abcdefghijklmnopqrst", "ABCDEFGHIJKLMNOPQRST"},  // twenty-one
  };
  const unsigned char rare[] = {0x00, 0x0A, 0x0D, 0x22, 0x27, 0x5C, 0x23, 0x61, 0x74,
                                0x80, 0x81, 0xC3, 0xA9, 0xFE, 0xFF, 0x40, 0x7F};
  std::mt19937 rng(11);
  for (int width = 0; width < 3; ++width)
  for (const Setting& s : settings) {
    SCOPED_TRACE(s.escf + " width " + std::to_string(width));
    EscapeTable e;
    build_escape_table(&e, s.esc, s.escf.c_str(), s.esct.c_str(), static_cast<CharWidth>(width));
    for (int round = 0; round < 1500; ++round) {
      const size_t len = rng() % 90;
      std::vector<unsigned char> value(len);
      const unsigned every = 1 + rng() % 40;  // how often a rare byte appears
      for (auto& b : value) {
        b = rng() % every == 0 ? rare[rng() % sizeof rare]
                               : static_cast<unsigned char>('A' + rng() % 26);
      }
      // Exact-size copies on the heap: no slack after the last byte.
      std::unique_ptr<unsigned char[]> exact(new unsigned char[len ? len : 1]);
      if (len) std::memcpy(exact.get(), value.data(), len);
      const std::string want =
          reference_escape(std::string(value.begin(), value.end()),
                           static_cast<unsigned char>(s.esc), s.escf, s.esct, width);
      std::string got(2 * len + 1, '\0');
      const size_t n = escape_bytes(got.data(), exact.get(), len, e);
      ASSERT_EQ(n, len + count_escapes(exact.get(), len, e));
      got.resize(n);
      ASSERT_EQ(got, want);
    }
  }
}

TEST(Translation, Pairs) {
  EXPECT_EQ(translated("abc", "ab", "xy"), "xyc");
  EXPECT_EQ(translated("c", "abc", "xy"), std::string(1, '\0'));
  EXPECT_EQ(translated("abc", "ab", "ay"), "abc");  // first bytes equal: off
  Translation t;
  build_translation(&t, "ab", "ay");
  EXPECT_FALSE(t.on);
  // A position holding the same byte in both ends the pairs there.
  EXPECT_EQ(translated("abcd", "abcd", "xbzw"), "xbcd");
  // The first pair of a repeated byte wins; bytes are taken one at a time.
  EXPECT_EQ(translated("aa\xD5\x5C", "aa\\", "xyz"), "xx\xD5z");
  // At most ten pairs.
  EXPECT_EQ(translated("0123456789ab", "0123456789ab", "ABCDEFGHIJKL"), "ABCDEFGHIJab");
}

TEST(Translation, LongerTargetLeavesZeroBytesAlone) {
  // sedt longer than sedf: the end of sedf is not a byte to translate, so
  // zero bytes of a raw value survive.
  std::string raw("a\0b", 3);
  EXPECT_EQ(translated(raw, "a", "xy"), std::string("x\0b", 3));
  Translation t;
  build_translation(&t, "a", "xyz");
  EXPECT_EQ(t.pair_count, 1);
  build_translation(&t, nullptr, "xy");
  EXPECT_FALSE(t.on);
}

TEST(HexAndTypes, HexDigits) {
  const unsigned char v[] = {0x00, 0x0F, 0xA5, 0xFF, 0x5C};
  char out[10];
  ASSERT_EQ(hex_bytes(out, v, sizeof v), 10u);
  EXPECT_EQ(std::string(out, 10), "000fa5ff5c");
  EXPECT_EQ(hex_bytes(out, v, 0), 0u);
}

// Every byte value, at every length around the 16-byte blocks, against
// printf; nothing is written past 2 * len.
TEST(HexAndTypes, HexDigitsOfEveryByteAndLength) {
  std::vector<unsigned char> all(256 + 40);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<unsigned char>(i * 7 + i / 256);
  for (bool upper : {false, true}) {
    for (size_t len = 0; len <= all.size(); len += len < 48 ? 1 : 37) {
      std::string want;
      char two[3];
      for (size_t i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, upper ? "%02X" : "%02x", all[i]);
        want += two;
      }
      std::string out(2 * len + 8, '#');
      ASSERT_EQ(hex_bytes(out.data(), all.data(), len, upper), 2 * len);
      ASSERT_EQ(out, want + "########") << len << (upper ? " upper" : " lower");
    }
  }
}

TEST(HexAndTypes, EscapedKinds) {
  // CLOB and NCLOB text fetched inline is escaped like any other text.
  for (uint16_t t : {1, 96, 4, 21, 22, 100, 101, 182, 183, 189, 190, 8, 24, 3, 112}) {
    EXPECT_TRUE(type_is_escaped(t)) << t;
  }
  for (uint16_t t : {2, 6, 12, 156, 180, 181, 187, 188, 232, 11, 104, 15, 23, 113, 114}) {
    EXPECT_FALSE(type_is_escaped(t)) << t;
  }
}
