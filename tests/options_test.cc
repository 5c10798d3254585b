// The keyword parser: "0x" decoding, value rules and bounds,
// switches, text fields and the presets.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "config/job.h"
#include "config/options.h"

using namespace rowvane;

namespace {

struct Job {
  UnloadJob j;
  Job() { job_defaults(&j); }
  int set(const std::string& text) { return set_option(&j, text.c_str()); }
  UnloadJob* operator->() { return &j; }
};

std::string bytes(const char* p, int n) { return std::string(p, static_cast<size_t>(n)); }

std::string decode(const std::string& src, int limit = 131) {
  std::string dest(static_cast<size_t>(limit) + 1, '#');
  int n = decode_hex_text(src.c_str(), dest.data(), limit);
  EXPECT_EQ(dest[static_cast<size_t>(n)], '\0');
  return dest.substr(0, static_cast<size_t>(n));
}

}  // namespace

TEST(HexDecoding, CodesEndingsAndLimit) {
  EXPECT_EQ(decode("0x09"), "\t");
  EXPECT_EQ(decode("|0x7c|"), "|||");
  EXPECT_EQ(decode("0x0d0x0a"), "\r\n");
  EXPECT_EQ(decode("0XFf0xZ1"), std::string("\xff\x01", 2));  // a non-digit counts 0
  EXPECT_EQ(decode("00"), "0");
  EXPECT_EQ(decode("a0,b"), "a,b");
  EXPECT_EQ(decode(""), "");
  EXPECT_EQ(decode("0x0"), "0");                        // one character after "0x"
  EXPECT_EQ(decode("ab0"), std::string("ab\0", 3));     // lone zero digit at the end
  EXPECT_EQ(decode("ab0x"), std::string("ab\0", 3));    // "0x" at the very end
  EXPECT_EQ(decode("ab0x41cd", 3), "abA");              // a code begun below the limit is read whole
  EXPECT_EQ(decode(std::string(500, 'z'), 40), std::string(40, 'z'));
}

TEST(OptionNumbers, BoundsAndUnits) {
  Job j;
  j.set("rows=500");     EXPECT_EQ(j->rows, 1000u);
  j.set("ROWS = 5000");  EXPECT_EQ(j->rows, 5000u);
  j.set("array=1");      EXPECT_EQ(j->array, 5u);
  j.set("array=-1");     EXPECT_EQ(j->array, 2000u);  // taken as unsigned
  j.set("degree=128");   EXPECT_EQ(j->degree, 128);
  j.set("sort=-3");      EXPECT_EQ(j->sort, 0);
  j.set("hash=9999");    EXPECT_EQ(j->hash, 512);
  j.set("size=-1");      EXPECT_EQ(j->size, 268435455);
  j.set("buffer=4");     EXPECT_EQ(j->buffer, 8388608);
  j.set("buffer=200");   EXPECT_EQ(j->buffer, 104857600);
  j.set("trace=99999999999");  EXPECT_EQ(j->trace, INT32_MAX);  // nearest 32-bit limit
  j.set("trace=-99999999999"); EXPECT_EQ(j->trace, INT32_MIN);
  j.set("trace= +42 ");  EXPECT_EQ(j->trace, 42);
  j.set("long=64");      EXPECT_EQ(j->long_, 65536u);  // below 1024: kilobytes
  j.set("long=1023");    EXPECT_EQ(j->long_, 1047552u);
  j.set("long=1024");    EXPECT_EQ(j->long_, 1024u);
  j.set("long=5000000"); EXPECT_EQ(j->long_, 2097152u);
  j.set("retry=500");    EXPECT_EQ(j->retry, 128);
  j.set("retry=65537");  EXPECT_EQ(j->retry, 1);  // low 16 bits
  j.set("sleep=181");    EXPECT_EQ(j->sleep, 180);
}

TEST(OptionNumbers, ErrorCodesAccumulateDistinct) {
  Job j;
  j.set("error=1405");
  j.set("error=1405");
  j.set("error=24345");
  ASSERT_EQ(j->error_count, 2);
  EXPECT_EQ(j->errors[1], 24345);
  for (int code = 1; code <= 40; ++code) j.set("error=" + std::to_string(100 + code));
  EXPECT_EQ(j->error_count, 32);
  EXPECT_EQ(j->errors[31], 130);
  EXPECT_EQ(j.set("error=9999"), 1);  // a 33rd code is ignored, still a keyword
  EXPECT_EQ(j->error_count, 32);
}

TEST(OptionSwitches, OnOffWords) {
  Job j;
  j.set("head=yes");       EXPECT_EQ(j->head, 1);
  j.set("head=N");         EXPECT_EQ(j->head, 0);
  j.set("head=true ");     EXPECT_EQ(j->head, 1);
  j.set("client=On");      EXPECT_EQ(j->client, 1);
  j.set("help=ON");        EXPECT_EQ(j->help, 1);
  j.set("help=0");         EXPECT_EQ(j->help, 0);
  j.set("data=OFF");       EXPECT_EQ(j->data, 0);
  j.set("data=y");         EXPECT_EQ(j->data, 1);
  j.set("format=mysql");   EXPECT_EQ(j->format, 1);
  j.set("format=SQL");     EXPECT_EQ(j->format, 2);
  j.set("format=text");    EXPECT_EQ(j->format, 0);
  j.set("text=json");      EXPECT_EQ(j->format, 3);
  EXPECT_EQ(j->level, 0);  EXPECT_EQ(j->zthreads, -1);  EXPECT_EQ(j->badchar, 0);
  j.set("level=19");       EXPECT_EQ(j->level, 19);
  j.set("zthreads=0");     EXPECT_EQ(j->zthreads, 0);
  j.set("badchar=Replace "); EXPECT_EQ(j->badchar, 1);
  EXPECT_EQ(j->status, kStatusAuto);
  j.set("status=yes");     EXPECT_EQ(j->status, kStatusYes);
  j.set("status=No ");     EXPECT_EQ(j->status, kStatusNo);
  j.set("status=auto");    EXPECT_EQ(j->status, kStatusAuto);
  for (const char* w : {"YES", "on", "True", "y", "1"}) EXPECT_EQ(j.set(std::string("serial=") + w), 1) << w;
  EXPECT_EQ(j->serial, 1);
  for (const char* w : {"no", "OFF", "false", "N", "0"}) EXPECT_EQ(j.set(std::string("serial=") + w), 1) << w;
  EXPECT_EQ(j->serial, 0);
}

// Values a keyword does not take are refused whole: set_option returns 0,
// the job is untouched, and try_option says why.
TEST(OptionRefusals, WrongValuesChangeNothing) {
  const struct {
    const char* text;
    OptionFault fault;
    const char* line;
  } cases[] = {
      {"fiel=|", kOptionUnknownKeyword, "Unknown keyword \"fiel=\" (closest keyword: field)"},
      {"DEGRE=4", kOptionUnknownKeyword, "Unknown keyword \"DEGRE=\" (closest keyword: degree)"},
      {"x/secret@db", kOptionUnknownKeyword, "Unknown argument \"x/...\" (a login without user= is taken "
                                             "only as the first argument)"},
      {"parfle=a", kOptionUnknownKeyword, "Unknown keyword \"parfle=\" (closest keyword: parfile)"},
      {"text=XML", kOptionUnknownType, "Unknown output type: text=XML (MYSQL, CSV, MYSQLINS, ORACLEINS, "
                                       "FORM, SEARCH, JSON)"},
      {"text=csv x", kOptionUnknownType, nullptr},
      {"format=MYSQLINS", kOptionUnknownFormat, "Unknown format: format=MYSQLINS (MYSQL, SQL, TEXT, JSON)"},
      {"level=0", kOptionLevelRange, "Level out of range: level=0 (gzip 1 to 12, zstd 1 to 19)"},
      {"level=20", kOptionLevelRange, nullptr},
      {"level=fast", kOptionNotNumber, nullptr},
      {"zthreads=65", kOptionThreadsRange, "Thread count out of range: zthreads=65 (0 to 64)"},
      {"zthreads=-1", kOptionThreadsRange, nullptr},
      {"badchar=skip", kOptionUnknownBadChar, "Unknown bad-character policy: badchar=skip (ERROR, REPLACE)"},
      {"format=", kOptionUnknownFormat, nullptr},
      {"status=on", kOptionUnknownStatus, "Unknown status line setting: status=on (YES, NO, AUTO)"},
      {"rows=abc", kOptionNotNumber, "Not a number: rows=abc (an integer)"},
      {"trace=42x", kOptionNotNumber, nullptr},
      {"error=", kOptionNotNumber, nullptr},
      {"array=1 2", kOptionNotNumber, nullptr},
      {"degree=0", kOptionDegreeRange, "Degree out of range: degree=0 (1 to 128)"},
      {"degree=129", kOptionDegreeRange, nullptr},
      {"head=maybe", kOptionNotSwitch, "Not a switch value: head=maybe (on: YES, ON, TRUE, Y, 1; off: NO, "
                                       "OFF, FALSE, N, 0)"},
      {"head", kOptionNotSwitch, nullptr},  // the whole text is the value
      {"head=YESPLEASE", kOptionNotSwitch, nullptr},
      {"data=OFFLINE", kOptionNotSwitch, nullptr},
      {"help=", kOptionNotSwitch, nullptr},
      {"fast=maybe", kOptionNotSwitch, nullptr},
      {"snapshot=later", kOptionNotSwitch, nullptr},
      {"form=yess", kOptionNotSwitch, nullptr},
  };
  for (const auto& c : cases) {
    Job j;
    UnloadJob before = j.j;
    EXPECT_EQ(try_option(&j.j, c.text), c.fault) << c.text;
    EXPECT_EQ(j.set(c.text), 0) << c.text;
    EXPECT_EQ(std::memcmp(&before, &j.j, sizeof before), 0) << c.text;
    if (c.line != nullptr) {
      char line[256];
      describe_option_fault(c.text, c.fault, true, line, sizeof line);
      EXPECT_STREQ(line, c.line);
    }
  }
}

TEST(OptionText, CutReplaceAndDecode) {
  Job j;
  j.set("user=a,rows=5");
  EXPECT_STREQ(j->user, "a,rows=5");
  EXPECT_EQ(j->rows, 1000000u);
  j.set("table=" + std::string(300, 't'));
  EXPECT_EQ(std::strlen(j->table), 128u);
  j.set("table=ab");
  EXPECT_STREQ(j->table, "ab");  // the longer earlier value is gone whole
  EXPECT_STREQ(j->mode, "INSERT");
  j.set("query=" + std::string(9000, 'q'));
  EXPECT_EQ(std::strlen(j->query), 8191u);
  j.set("key=" + std::string(600, 'k'));
  EXPECT_EQ(std::strlen(j->key), 511u);

  j.set("unique=id");
  EXPECT_EQ(j->update, 1);
  j.set("update=no");
  j.set("unique=");
  EXPECT_EQ(j->update, 0);  // an empty value leaves update as it was

  j.set("field=");
  EXPECT_EQ(j->field_len, 0);
  j.set("null=a0");
  EXPECT_EQ(bytes(j->null, j->null_len), std::string("a\0", 2));
  j.set("colsep=" + std::string(100, 'c'));
  EXPECT_EQ(j->colsep_len, 63);
  j.set("crack=" + std::string(100, 'k'));
  EXPECT_EQ(std::strlen(j->crack), 31u);
  j.set("escape=ab");
  EXPECT_EQ(j->escape, 'a');
  j.set("escape=0");  // a lone zero digit leaves the blank of the scratch
  EXPECT_EQ(j->escape, ' ');
  j.set("escape=0x5c");
  j.set("escape=");
  EXPECT_EQ(j->escape, ' ');
}

TEST(OptionKeywords, AllKnownAnyCaseOthersUnknown) {
  const char* names[] = {
      "sql",    "key",     "log",     "user",    "file",    "data",    "hint",   "null",   "mode",   "head",
      "safe",   "sort",    "rows",    "long",    "hash",    "read",    "part",   "sedf",   "sedt",   "escf",
      "esct",   "exec",    "size",    "help",    "form",    "fast",    "text",   "query",  "field",  "crack",
      "table",  "width",   "alter",   "crypt",   "error",   "array",   "retry",  "split",  "quote",  "batch",
      "trace",  "sleep",   "rowpre",  "rowsuf",  "colsep",  "record",  "escape", "unique", "format", "buffer",
      "degree", "update",  "serial",  "presql",  "client",  "control", "lobfile", "uncrack", "postsql",
      "prehead", "charset", "ncharset", "snapshot", "level", "badchar", "zthreads", "status"};
  ASSERT_EQ(sizeof names / sizeof names[0], 67u);
  for (const char* name : names) {
    Job j;
    std::string upper(name);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_NE(try_option(&j.j, (" " + upper + " = x").c_str()), kOptionUnknownKeyword) << name;
  }
  Job j;
  UnloadJob before = j.j;
  for (const char* text : {"parfile=x", "-si", "nosuch=1", "ncharsets=1", "=5", "", "sq=1"}) {
    EXPECT_EQ(j.set(text), 0) << text;
  }
  EXPECT_EQ(std::memcmp(&before, &j.j, sizeof before), 0);
}

TEST(OptionPresets, SettingsOfEachPreset) {
  Job csv;
  EXPECT_EQ(csv.set("text=csv"), 1);
  EXPECT_EQ(csv->escape, '"');
  EXPECT_EQ(csv->head, 1);

  Job my;
  my.set("text=MySQL");
  EXPECT_STREQ(my->escf, "\r\n\"'");
  EXPECT_STREQ(my->esct, "rn\"'");
  EXPECT_EQ(bytes(my->null, my->null_len), "\\N");

  Job ins;
  ins.set("text=mysqlins");
  EXPECT_STREQ(ins->quote, "'");
  EXPECT_EQ(ins->format, 1);
  EXPECT_STREQ(ins->file, "-");

  Job ora;
  ora.set("text=OracleIns");
  EXPECT_EQ(ora->format, 2);
  EXPECT_STREQ(ora->escf, "");

  Job search;
  search.set("text=search");
  EXPECT_EQ(bytes(search->colsep, search->colsep_len), "=");
  EXPECT_EQ(bytes(search->rowpre, search->rowpre_len), "<DOC>\x01\n");
  EXPECT_EQ(bytes(search->rowsuf, search->rowsuf_len), "\x01\n</DOC>");

  Job form;
  form.set("text=form");
  EXPECT_EQ(bytes(form->record, form->record_len), "\n\n");
  EXPECT_EQ(bytes(form->null, form->null_len), "(null)");
  Job f;
  f.set("form=yes");
  EXPECT_EQ(bytes(f->colsep, f->colsep_len), " : ");
  EXPECT_EQ(f->null_len, 0);  // form= sets no null text

  Job fast;
  fast.set("fast=YES");
  EXPECT_EQ(fast->read + fast->hash + fast->sort, 3 * 128);
  EXPECT_EQ(fast->array, 2000u);
  EXPECT_EQ(fast->serial, 1);

  Job none;
  UnloadJob before = none.j;
  for (const char* text : {"fast=no", "form=OFF"}) EXPECT_EQ(none.set(text), 1);
  EXPECT_EQ(std::memcmp(&before, &none.j, sizeof before), 0);
  EXPECT_EQ(none.set("text=csv "), 1);  // trailing white space does not count
  EXPECT_EQ(none->head, 1);
  EXPECT_EQ(none.set("form=y"), 1);
  EXPECT_STREQ(none->file, "-");
}

TEST(OptionPresets, OrderAgainstOtherOptions) {
  Job a;
  a.set("file=out.txt");
  a.set("text=CSV");
  a.set("text=MYSQLINS");
  EXPECT_STREQ(a->file, "-");
  EXPECT_EQ(a->head, 1);  // what a later preset does not list stays

  Job b;
  b.set("text=MYSQLINS");
  b.set("file=out.txt");
  b.set("array=100");
  b.set("fast=yes");
  b.set("sort=4");
  EXPECT_STREQ(b->file, "out.txt");
  EXPECT_EQ(b->array, 2000u);
  EXPECT_EQ(b->sort, 4);
}
