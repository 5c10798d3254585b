// The JSON text of single values: strings (escapes, UTF-8 checking),
// numbers, dates and timestamps, hex and LOB references.
#include <gtest/gtest.h>

#include <string>

#include "unload/json_values.h"

namespace rowvane {
namespace {

std::string str(const std::string& v, BadUtf8 policy = BadUtf8::kRefuse, size_t* bad = nullptr) {
  std::string out(json_string_bound(v.size()), '\0');
  size_t n = json_string(out.data(), reinterpret_cast<const unsigned char*>(v.data()), v.size(),
                         policy, bad);
  if (n == kJsonRefused) return "<refused>";
  out.resize(n);
  return out;
}

TEST(JsonValues, StringsEscapeEveryControlAndKeepWellFormedUtf8) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain text longer than eight bytes", "plain text longer than eight bytes"},
      {"say \"hi\"\\ now, ok", "say \\\"hi\\\"\\\\ now, ok"},
      {std::string("a\tb\nc\rd\be\ff\x01g\x1f\x7f", 15), "a\\tb\\nc\\rd\\be\\ff\\u0001g\\u001f\x7f"},
      {std::string("\0x", 2), "\\u0000x"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 end", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 end"},
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF\xF4\x8F\xBF\xBF"},  // U+FFFF, U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(str(c.in), c.out);
  // Every position of a special byte in and after the 16- and 8-byte blocks.
  for (size_t k = 0; k < 40; ++k) {
    for (const auto& [in, out] : {std::pair<std::string, std::string>{"\"", "\\\""}, {"\x1f", "\\u001f"},
                                  {"\xC3\xA9", "\xC3\xA9"}, {"\xFF", "<refused>"}}) {
      const std::string a(k, 'a'), b(40 - k, 'b');
      EXPECT_EQ(str(a + in + b), out == "<refused>" ? out : a + out + b) << k;
    }
  }
}

TEST(JsonValues, MalformedUtf8IsRefusedAtItsOffsetOrReplaced) {
  const struct {
    std::string in;
    size_t bad;
    std::string replaced;
  } cases[] = {
      {"abc\xFF", 3, "abc\xEF\xBF\xBD"},                           // never a UTF-8 byte
      {"12345678\xC3", 8, "12345678\xEF\xBF\xBD"},                  // cut at the end
      {"\xC0\xAF", 0, "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong "/"
      {"x\xE0\x80\xAF", 1, "x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong, 3 bytes
      {"\xED\xA0\x80", 0, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xF4\x90\x80\x80", 0, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
      {"a\xE2\x82z", 1, "a\xEF\xBF\xBD\xEF\xBF\xBDz"},             // continuation missing
  };
  for (const auto& c : cases) {
    size_t bad = 99;
    EXPECT_EQ(str(c.in, BadUtf8::kRefuse, &bad), "<refused>") << c.in;
    EXPECT_EQ(bad, c.bad) << c.in;
    EXPECT_EQ(str(c.in, BadUtf8::kReplace), c.replaced) << c.in;
  }
}

TEST(JsonValues, NumbersDatesHexAndReferences) {
  enum Fn { kNumber, kDate, kRef };
  const struct {
    Fn fn;
    std::string in, out;
  } cases[] = {
      {kNumber, "0.5", "0.5"},
      {kNumber, ".5", "0.5"},
      {kNumber, "-.05", "-0.05"},
      {kNumber, "+12", "12"},
      {kNumber, "007", "7"},
      {kNumber, "5.", "5"},
      {kNumber, "1.5E+125", "1.5E+125"},
      {kNumber, "-2.5e-3", "-2.5E-3"},
      {kNumber, "Nan", "\"NaN\""},
      {kNumber, "Inf", "\"Infinity\""},
      {kNumber, "-Inf", "\"-Infinity\""},
      {kNumber, "1,5", "\"1,5\""},
      {kNumber, "", "\"\""},
      {kNumber, "E5", "\"E5\""},
      {kDate, "2024-02-29 13:05:00", "\"2024-02-29T13:05:00\""},
      {kDate, "2024-02-29 13:05:00.123456", "\"2024-02-29T13:05:00.123456\""},
      {kDate, "2024-02-29 13:05:00,5 +02:00", "\"2024-02-29T13:05:00.5+02:00\""},
      {kDate, "2024-02-29 13:05:00 -05:30", "\"2024-02-29T13:05:00-05:30\""},
      {kDate, "29.02.2024", "\"29.02.2024\""},
      {kRef, "lob.dat.1.20/", "{\"file\":\"lob.dat\",\"offset\":1,\"length\":20}"},
      {kRef, "a\"b.41.-1/", "{\"file\":\"a\\\"b\",\"offset\":41,\"length\":-1}"},
      {kRef, "nodots/", "\"nodots/\""},
  };
  for (const auto& c : cases) {
    std::string out(json_lob_reference_bound(c.in.size()) + json_number_bound(c.in.size()), '\0');
    size_t n = c.fn == kNumber ? json_number(out.data(), c.in.data(), c.in.size())
               : c.fn == kDate ? json_datetime(out.data(), c.in.data(), c.in.size())
                               : json_lob_reference(out.data(), c.in.data(), c.in.size());
    EXPECT_EQ(out.substr(0, n), c.out) << c.in;
  }
  char hex[8];
  const unsigned char raw[] = {0x00, 0xAB, 0x5C};
  EXPECT_EQ(std::string(hex, json_hex(hex, raw, 3)), "\"00AB5C\"");
}

}  // namespace
}  // namespace rowvane
