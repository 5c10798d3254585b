// Build-time generator of the program's enciphered texts.
//
//   rv_stored_text_gen SOURCE.txt OUTPUT.cc
//
// Reads the plain texts from SOURCE.txt (format described at the top of
// src/crypto/stored_texts.txt), enciphers each one with the login cipher's
// stored-text key order and writes OUTPUT.cc defining the arrays declared
// in crypto/stored_texts.h. The cipher code is linked in from the program's
// own sources, so the keys exist in one place only. Any problem in the
// source file stops the build with a message naming the line.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/login_cipher.h"
#include "crypto/stored_texts.h"

namespace {

using rowvane::kBannerLineBytes;
using rowvane::kSplitTemplateBytes;
using rowvane::kStoredUnitBytes;

struct Entry {
  const char* name;
  size_t bytes;      // stored size, a multiple of 16; the text takes at most bytes - 1
  int placeholders;  // required "%s" count, or -1 for no check
  std::string text;
  int line = 0;      // 0 while not yet seen
};

// In the order of the generated arrays: the banners, then the templates
// by [which][partition][embedded].
std::vector<Entry> make_entries() {
  return {
      {"banner_1", kBannerLineBytes, -1, {}, 0},
      {"banner_2", kBannerLineBytes, -1, {}, 0},
      {"banner_3", kBannerLineBytes, -1, {}, 0},
      {"split_total_vendor", kSplitTemplateBytes, 2, {}, 0},
      {"split_total_embedded", kSplitTemplateBytes, 2, {}, 0},
      {"split_total_vendor_partition", kSplitTemplateBytes, 3, {}, 0},
      {"split_total_embedded_partition", kSplitTemplateBytes, 3, {}, 0},
      {"split_pieces_vendor", kSplitTemplateBytes, 2, {}, 0},
      {"split_pieces_embedded", kSplitTemplateBytes, 2, {}, 0},
      {"split_pieces_vendor_partition", kSplitTemplateBytes, 3, {}, 0},
      {"split_pieces_embedded_partition", kSplitTemplateBytes, 3, {}, 0},
  };
}

const char* g_source = "";

bool fail(int line, const std::string& message) {
  if (line > 0) {
    std::fprintf(stderr, "%s:%d: %s\n", g_source, line, message.c_str());
  } else {
    std::fprintf(stderr, "%s: %s\n", g_source, message.c_str());
  }
  return false;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) ++b;
  while (e > b && is_blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// The text is handed to a printf-style formatter with exactly `expected`
// string arguments: any other conversion would read an argument that is not
// there, so only "%s" and "%%" are allowed.
bool check_placeholders(const Entry& e) {
  if (e.placeholders < 0) return true;
  int count = 0;
  for (size_t i = 0; i < e.text.size(); ++i) {
    if (e.text[i] != '%') continue;
    char next = i + 1 < e.text.size() ? e.text[i + 1] : '\0';
    if (next == 's') {
      ++count;
    } else if (next != '%') {
      return fail(e.line, std::string(e.name) + ": only %s and %% may follow a percent sign");
    }
    ++i;
  }
  if (count != e.placeholders) {
    return fail(e.line, std::string(e.name) + ": needs exactly " + std::to_string(e.placeholders) +
                            " %s placeholders, has " + std::to_string(count));
  }
  return true;
}

bool read_source(FILE* in, std::vector<Entry>& entries) {
  std::string raw;
  int line_no = 0;
  Entry* current = nullptr;
  int c;
  bool ok = true;
  auto finish_line = [&]() {
    ++line_no;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    for (unsigned char ch : raw) {
      if (ch < 0x20 && ch != '\t') {
        ok = fail(line_no, "control character in the text");
        return;
      }
    }
    std::string body = trim(raw);
    if (body.empty() || raw[0] == '#') return;
    if (is_blank(raw[0])) {
      if (current == nullptr) {
        ok = fail(line_no, "continuation line without an entry above it");
        return;
      }
      current->text += ' ';
      current->text += body;
      return;
    }
    size_t eq = raw.find('=');
    if (eq == std::string::npos) {
      ok = fail(line_no, "expected: name = text");
      return;
    }
    std::string name = trim(raw.substr(0, eq));
    current = nullptr;
    for (Entry& e : entries) {
      if (name == e.name) current = &e;
    }
    if (current == nullptr) {
      ok = fail(line_no, "unknown entry name '" + name + "'");
      return;
    }
    if (current->line != 0) {
      ok = fail(line_no, "entry '" + name + "' given twice (first on line " +
                             std::to_string(current->line) + ")");
      current = nullptr;
      return;
    }
    current->line = line_no;
    current->text = trim(raw.substr(eq + 1));
  };
  while ((c = std::fgetc(in)) != EOF) {
    if (c == '\n') {
      finish_line();
      raw.clear();
    } else if (c == '\0') {
      raw += '\x01';  // reported as a control character
    } else {
      raw += static_cast<char>(c);
    }
  }
  if (!raw.empty()) finish_line();
  if (std::ferror(in)) return fail(0, "read error");

  for (const Entry& e : entries) {
    if (e.line == 0) {
      ok = fail(0, std::string("missing entry '") + e.name + "'");
      continue;
    }
    if (e.text.size() > e.bytes - 1) {
      ok = fail(e.line, std::string(e.name) + ": text of " + std::to_string(e.text.size()) +
                            " characters, at most " + std::to_string(e.bytes - 1) + " allowed");
    }
    if (!check_placeholders(e)) ok = false;
  }
  return ok;
}

bool write_output(const char* path, const std::vector<Entry>& entries) {
  std::string tmp = std::string(path) + ".tmp";
  FILE* out = std::fopen(tmp.c_str(), "wb");
  if (out == nullptr) return fail(0, "cannot create " + tmp);

  std::fprintf(out,
               "// Generated by rv_stored_text_gen from stored_texts.txt. Do not edit:\n"
               "// change the source file and rebuild.\n\n"
               "#include \"crypto/stored_texts.h\"\n\n"
               "namespace rowvane {\n");

  auto emit = [&](const Entry& e) {
    std::vector<unsigned char> buf(e.bytes, 0);
    std::memcpy(buf.data(), e.text.data(), e.text.size());
    rowvane::encipher_stored_text(buf.data(), buf.size() / kStoredUnitBytes);
    // Prove the round trip before anything is written.
    std::vector<unsigned char> check(buf);
    rowvane::decipher_stored_text(check.data(), check.size() / kStoredUnitBytes);
    if (std::memcmp(check.data(), e.text.data(), e.text.size()) != 0 ||
        check[e.text.size()] != 0) {
      return fail(e.line, std::string(e.name) + ": enciphered text does not decipher back");
    }
    std::fprintf(out, "    // %s\n    {", e.name);
    for (size_t i = 0; i < buf.size(); ++i) {
      if (i % 16 == 0) std::fputs("\n        ", out);
      std::fprintf(out, "0x%02x,", buf[i]);
    }
    std::fputs("\n    },\n", out);
    return true;
  };
  bool ok = true;
  std::fputs("\nconst unsigned char kStoredBanner[3][kBannerLineBytes] = {\n", out);
  for (int i = 0; i < 3; ++i) {
    ok = emit(entries[i]) && ok;
  }
  std::fputs("};\n\nconst unsigned char kStoredSplit[2][2][2][kSplitTemplateBytes] = {\n", out);
  for (int w = 0; w < 2; ++w) {
    std::fputs("  {\n", out);
    for (int p = 0; p < 2; ++p) {
      std::fputs("   {\n", out);
      for (int m = 0; m < 2; ++m) {
        ok = emit(entries[3 + 4 * w + 2 * p + m]) && ok;
      }
      std::fputs("   },\n", out);
    }
    std::fputs("  },\n", out);
  }
  std::fputs("};\n\n}  // namespace rowvane\n", out);

  if (std::ferror(out)) ok = fail(0, "write error on " + tmp);
  if (std::fclose(out) != 0) ok = fail(0, "write error on " + tmp);
  if (ok && std::rename(tmp.c_str(), path) != 0) ok = fail(0, std::string("cannot rename to ") + path);
  if (!ok) std::remove(tmp.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: rv_stored_text_gen SOURCE.txt OUTPUT.cc\n");
    return 2;
  }
  g_source = argv[1];
  FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "%s: cannot open\n", argv[1]);
    return 1;
  }
  std::vector<Entry> entries = make_entries();
  bool ok = read_source(in, entries);
  std::fclose(in);
  if (!ok || !write_output(argv[2], entries)) return 1;
  return 0;
}
