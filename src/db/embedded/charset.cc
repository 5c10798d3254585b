// Character sets: the vendor's names and ids, and conversion of the UTF-8
// text SQLite holds into the client's set with iconv. A character the target
// lacks becomes "?", as does a byte sequence that is not valid UTF-8.
#include <errno.h>
#include <iconv.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "db/embedded/internal.h"

namespace rowvane::embedded {
namespace {

struct CharsetInfo {
  const char* name;
  uint16_t id;
  const char* iconv_name;  // null: UTF-8 itself
  TargetKind kind;
};

constexpr TargetKind kAscii = TargetKind::kAsciiCompatible;

constexpr CharsetInfo kCharsets[] = {
    {"US7ASCII", 1, "ASCII", kAscii},
    {"WE8DEC", 2, "DEC-MCS", kAscii},
    {"US8PC437", 4, "CP437", kAscii},
    {"WE8PC850", 10, "CP850", kAscii},
    {"WE8ISO8859P1", 31, "ISO-8859-1", kAscii},
    {"EE8ISO8859P2", 32, "ISO-8859-2", kAscii},
    {"CL8ISO8859P5", 35, "ISO-8859-5", kAscii},
    {"AR8ISO8859P6", 36, "ISO-8859-6", kAscii},
    {"EL8ISO8859P7", 37, "ISO-8859-7", kAscii},
    {"IW8ISO8859P8", 38, "ISO-8859-8", kAscii},
    {"WE8ISO8859P9", 39, "ISO-8859-9", kAscii},
    {"TH8TISASCII", 41, "TIS-620", kAscii},
    {"VN8MSWIN1258", 45, "CP1258", kAscii},
    {"WE8ISO8859P15", 46, "ISO-8859-15", kAscii},
    {"EE8MSWIN1250", 170, "CP1250", kAscii},
    {"CL8MSWIN1251", 171, "CP1251", kAscii},
    {"EL8MSWIN1253", 174, "CP1253", kAscii},
    {"IW8MSWIN1255", 175, "CP1255", kAscii},
    {"TR8MSWIN1254", 177, "CP1254", kAscii},
    {"WE8MSWIN1252", 178, "CP1252", kAscii},
    {"BLT8MSWIN1257", 179, "CP1257", kAscii},
    {"CL8KOI8R", 196, "KOI8-R", kAscii},
    {"AR8MSWIN1256", 560, "CP1256", kAscii},
    {"JA16EUC", 830, "EUC-JP", kAscii},
    {"JA16SJIS", 832, "SHIFT_JIS", kAscii},
    {"JA16EUCTILDE", 837, "EUC-JP", kAscii},
    {"JA16SJISTILDE", 838, "SHIFT_JIS", kAscii},
    {"KO16KSC5601", 840, "EUC-KR", kAscii},
    {"KO16MSWIN949", 846, "CP949", kAscii},
    {"ZHS16GBK", 852, "GBK", kAscii},
    {"ZHS32GB18030", 854, "GB18030", kAscii},
    {"ZHT32EUC", 860, "EUC-TW", kAscii},
    {"ZHT16BIG5", 865, "BIG5", kAscii},
    {"ZHT16MSWIN950", 867, "CP950", kAscii},
    {"ZHT16HKSCS", 868, "BIG5-HKSCS", kAscii},
    {"UTF8", 871, nullptr, TargetKind::kUtf8},
    {"AL32UTF8", 873, nullptr, TargetKind::kUtf8},
    {"UTF16", 1000, "UTF-16LE", TargetKind::kUtf16Le},
    {"AL16UTF16", 2000, "UTF-16BE", TargetKind::kUtf16Be},
    {"AL16UTF16LE", 2002, "UTF-16LE", TargetKind::kUtf16Le},
};

const CharsetInfo* find_id(uint16_t id) {
  for (const auto& c : kCharsets)
    if (c.id == id) return &c;
  return nullptr;
}

// Length of the UTF-8 sequence that starts with byte b (1 for a stray byte).
size_t utf8_len(unsigned char b) {
  if (b < 0xC0) return 1;
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  if (b < 0xF8) return 4;
  return 1;
}

bool all_ascii(const unsigned char* s, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    if (w & 0x8080808080808080ULL) return false;
  }
  for (; i < n; ++i)
    if (s[i] & 0x80) return false;
  return true;
}

// Widens ASCII bytes into UTF-16 code units.
size_t widen_ascii(const Converter* c, const unsigned char* src, size_t n, unsigned char* dst,
                   size_t cap) {
  size_t units = n;
  if (units > cap / 2) units = cap / 2;
  bool le = c->kind == TargetKind::kUtf16Le;
  for (size_t i = 0; i < units; ++i) {
    dst[2 * i + (le ? 0 : 1)] = src[i];
    dst[2 * i + (le ? 1 : 0)] = 0;
  }
  return units * 2;
}

// One iconv pass: converts as much of [*in, *in + *inleft) as fits into
// [*out, *out + *outleft), writing "?" for what cannot be converted. Returns
// false when the output is full with input left over.
bool iconv_pass(const Converter* c, const unsigned char** in, size_t* inleft, unsigned char** out,
                size_t* outleft) {
  iconv_t cd = static_cast<iconv_t>(c->cd);
  while (*inleft > 0) {
    char* ip = const_cast<char*>(reinterpret_cast<const char*>(*in));
    char* op = reinterpret_cast<char*>(*out);
    size_t r = iconv(cd, &ip, inleft, &op, outleft);
    *in = reinterpret_cast<const unsigned char*>(ip);
    *out = reinterpret_cast<unsigned char*>(op);
    if (r != static_cast<size_t>(-1)) return true;
    if (errno == E2BIG) return false;
    // EILSEQ (unconvertible or invalid) or EINVAL (cut short): one "?".
    if (*outleft < static_cast<size_t>(c->question_len)) return false;
    std::memcpy(*out, c->question, c->question_len);
    *out += c->question_len;
    *outleft -= c->question_len;
    size_t skip = errno == EINVAL ? *inleft : utf8_len(**in);
    if (skip > *inleft) skip = *inleft;
    *in += skip;
    *inleft -= skip;
  }
  return true;
}

}  // namespace

uint16_t charset_id_by_name(const char* name) {
  if (!name) return 0;
  for (const auto& c : kCharsets)
    if (strcasecmp(c.name, name) == 0) return c.id;
  return 0;
}

bool converter_open(Converter* c, uint16_t id) {
  c->kind = TargetKind::kUtf8;
  c->cd = nullptr;
  c->question[0] = '?';
  c->question_len = 1;
  if (id == 0) return true;
  const CharsetInfo* info = find_id(id);
  if (!info) return false;
  c->kind = info->kind;
  if (info->kind == TargetKind::kUtf8) return true;
  iconv_t cd = iconv_open(info->iconv_name, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  c->cd = cd;
  if (info->kind == TargetKind::kUtf16Le) {
    c->question[0] = '?';
    c->question[1] = 0;
    c->question_len = 2;
  } else if (info->kind == TargetKind::kUtf16Be) {
    c->question[0] = 0;
    c->question[1] = '?';
    c->question_len = 2;
  }
  return true;
}

void converter_close(Converter* c) {
  if (c->cd) iconv_close(static_cast<iconv_t>(c->cd));
  c->cd = nullptr;
}

bool input_converter_open(void** cd, uint16_t id) {
  *cd = nullptr;
  if (id == 0) return true;
  const CharsetInfo* info = find_id(id);
  if (!info) return false;
  // The program passes statements and binds as 8-bit text whatever the
  // client set; with a UTF-16 set they are taken as UTF-8.
  if (info->kind != TargetKind::kAsciiCompatible) return true;
  iconv_t h = iconv_open("UTF-8", info->iconv_name);
  if (h == reinterpret_cast<iconv_t>(-1)) return false;
  *cd = h;
  return true;
}

void input_converter_close(void** cd) {
  if (*cd) iconv_close(static_cast<iconv_t>(*cd));
  *cd = nullptr;
}

void to_utf8(void* cd, const char* text, size_t len, std::string* out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  if (!cd || all_ascii(s, len)) {
    out->assign(text, len);
    return;
  }
  out->clear();
  iconv(static_cast<iconv_t>(cd), nullptr, nullptr, nullptr, nullptr);
  char* ip = const_cast<char*>(text);
  size_t inleft = len;
  char chunk[1024];
  while (inleft > 0) {
    char* op = chunk;
    size_t outleft = sizeof chunk;
    size_t r = iconv(static_cast<iconv_t>(cd), &ip, &inleft, &op, &outleft);
    out->append(chunk, sizeof chunk - outleft);
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte the client set does not define: keep a "?" and go on.
      out->push_back('?');
      ++ip;
      --inleft;
    }
  }
}

size_t convert_text(const Converter* c, const unsigned char* src, size_t n, unsigned char* dst,
                    size_t cap, size_t* full) {
  if (c->kind == TargetKind::kUtf8) {
    *full = n;
    if (n <= cap) {
      std::memcpy(dst, src, n);
      return n;
    }
    size_t cut = cap;  // never split a character
    while (cut > 0 && (src[cut] & 0xC0) == 0x80) --cut;
    std::memcpy(dst, src, cut);
    return cut;
  }
  if (all_ascii(src, n)) {
    if (c->kind == TargetKind::kAsciiCompatible) {
      *full = n;
      size_t m = n <= cap ? n : cap;
      std::memcpy(dst, src, m);
      return m;
    }
    *full = 2 * n;
    return widen_ascii(c, src, n, dst, cap);
  }
  iconv(static_cast<iconv_t>(c->cd), nullptr, nullptr, nullptr, nullptr);
  const unsigned char* in = src;
  size_t inleft = n;
  unsigned char* out = dst;
  size_t outleft = cap;
  bool done = iconv_pass(c, &in, &inleft, &out, &outleft);
  size_t written = cap - outleft;
  size_t total = written;
  while (!done) {
    // Truncated: measure what the rest would take, in a scratch area.
    unsigned char scratch[4096];
    unsigned char* sp = scratch;
    size_t sleft = sizeof scratch;
    done = iconv_pass(c, &in, &inleft, &sp, &sleft);
    total += sizeof scratch - sleft;
    if (!done && sleft == sizeof scratch) break;  // cannot progress
  }
  *full = total;
  return written;
}

size_t convert_prefix(const Converter* c, const unsigned char* src, size_t n, unsigned char* dst,
                      size_t cap, size_t* consumed) {
  if (c == nullptr || c->kind == TargetKind::kUtf8) {
    size_t m = n <= cap ? n : cap;
    if (c && m < n)
      while (m > 0 && (src[m] & 0xC0) == 0x80) --m;  // whole characters only
    std::memcpy(dst, src, m);
    *consumed = m;
    return m;
  }
  if (all_ascii(src, n)) {
    if (c->kind == TargetKind::kAsciiCompatible) {
      size_t m = n <= cap ? n : cap;
      std::memcpy(dst, src, m);
      *consumed = m;
      return m;
    }
    size_t w = widen_ascii(c, src, n, dst, cap);
    *consumed = w / 2;
    return w;
  }
  iconv(static_cast<iconv_t>(c->cd), nullptr, nullptr, nullptr, nullptr);
  const unsigned char* in = src;
  size_t inleft = n;
  unsigned char* out = dst;
  size_t outleft = cap;
  iconv_pass(c, &in, &inleft, &out, &outleft);
  *consumed = static_cast<size_t>(in - src);
  return cap - outleft;
}

}  // namespace rowvane::embedded
