// A parameter file through the driver's reader (written to a temporary
// file first, as the reader takes a name).
//
// Properties: the reader never overruns, every text of the job stays
// terminated inside its field and query inside its 32767 characters; when
// it accepts the file, the job equals the one built by applying the file's
// options, joined by the continuation rule, through set_option directly; a
// file holding a zero byte is refused.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/driver.h"
#include "config/options.h"
#include "fuzz_check.h"

using rowvane::UnloadJob;

namespace {

bool is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The file's options: a line that begins with white space continues the
// option before it; trailing blanks, tabs and line ends are dropped.
void reference_apply(UnloadJob* job, const std::string& content) {
  std::string option;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    end = end == std::string::npos ? content.size() : end + 1;
    std::string line = content.substr(pos, end - pos);
    pos = end;
    size_t keep = line.size();
    while (keep > 0 && (line[keep - 1] == '\r' || line[keep - 1] == '\n' || line[keep - 1] == '\t' ||
                        line[keep - 1] == ' ')) {
      --keep;
    }
    if (!is_white(line[0])) {
      if (!option.empty()) rowvane::set_option(job, option.c_str());
      option.clear();
    }
    option.append(line, 0, keep);
  }
  if (!option.empty()) rowvane::set_option(job, option.c_str());
}

const std::string& temp_name() {
  static const std::string name = [] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/rowvane-parfile-fuzz-" + std::to_string(getpid());
  }();
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& name = temp_name();
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  static FILE* sink = std::fopen("/dev/null", "w");
  auto job = std::make_unique<UnloadJob>();
  rowvane::job_defaults(job.get());
  const int status = rowvane::read_parameter_file(job.get(), name.c_str(), sink);
  std::remove(name.c_str());
  FUZZ_CHECK(status == 0 || status == 1);

  FUZZ_CHECK(strnlen(job->query, sizeof job->query) < sizeof job->query);
  FUZZ_CHECK(strnlen(job->user, sizeof job->user) < sizeof job->user);
  FUZZ_CHECK(strnlen(job->alter, sizeof job->alter) < sizeof job->alter);
  FUZZ_CHECK(job->field_len >= 0 && job->field_len <= 131 && job->record_len >= 0 &&
             job->record_len <= 131);

  // A file holding a zero byte is refused; any other file the reader
  // accepts gives the job that its options give.
  const std::string content(reinterpret_cast<const char*>(data), size);
  if (content.find('\0') != std::string::npos) {
    FUZZ_CHECK(status == 1);
  } else if (status == 0) {
    auto expected = std::make_unique<UnloadJob>();
    rowvane::job_defaults(expected.get());
    reference_apply(expected.get(), content);
    FUZZ_CHECK(std::memcmp(expected.get(), job.get(), sizeof(UnloadJob)) == 0);
  }
  return 0;
}
