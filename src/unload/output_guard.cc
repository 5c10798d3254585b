#include "unload/output_guard.h"

#include <cstring>

#include "config/messages.h"
#include "loader/control_file.h"
#include "config/results.h"
#include "unload/output.h"

namespace rowvane {
namespace {

const char* plain_name(const char* name) { return name[0] == '+' ? name + 1 : name; }

// One output of the run, named as it will be opened.
struct Output {
  const char* role;
  const char* name;
  FileIdentity id;
};

}  // namespace

bool same_output(const char* a, const FileIdentity& ia, const char* b, const FileIdentity& ib) {
  if (ia.kind == FileKind::kMissing || ib.kind == FileKind::kMissing) {
    return ia.kind == ib.kind && std::strcmp(a, b) == 0;
  }
  return same_regular_file(ia, ib);
}

void report_same_file(DbSession* s, const char* role_a, const char* a, const char* role_b,
                      const char* b) {
  char role[16];
  std::snprintf(role, sizeof role, "%s", role_a);
  if (role[0] >= 'a' && role[0] <= 'z') role[0] = static_cast<char>(role[0] - 'a' + 'A');
  if (std::strcmp(a, b) == 0) {
    session_messagef(s, kMsgSameFile, role, role_b, a);
  } else {
    session_messagef(s, kMsgSameFileTwoNames, role, role_b, a, b);
  }
}

int check_guarded(DbSession* s, const char* role, const char* name, const FileIdentity& id) {
  for (int i = 0; i < s->guarded_count; ++i) {
    const GuardedFile& g = s->guarded[i];
    if (same_output(name, id, g.name, g.id)) {
      report_same_file(s, role, name, g.role, g.name);
      return kResultOpenFailed;
    }
  }
  return 0;
}

int check_run_outputs(const UnloadJob& job, DbSession* s, const char* log_name) {
  char data[kDataNameSize];
  char lob[kLobNameSize];
  char control[kControlPathSize];
  Output outputs[4];
  int n = 0;
  // A name too long to expand is refused where the file is opened.
  if (log_name[0]) outputs[n++] = {"log", plain_name(log_name), {}};
  if (job.data) {
    if (std::strcmp(job.file, "-") != 0 &&
        expand_file_name(job.file, data, sizeof data, 1, job.piece) >= 0) {
      outputs[n++] = {"data", plain_name(data), {}};
    }
    if (job.lobfile[0] && expand_file_name(job.lobfile, lob, sizeof lob, 1, job.piece) >= 0) {
      outputs[n++] = {"LOB", plain_name(lob), {}};
    }
  }
  if (control_file_path(job, control)) outputs[n++] = {"control", control, {}};

  for (int i = 0; i < n; ++i) {
    outputs[i].id = file_identity(outputs[i].name);
    int rc = check_guarded(s, outputs[i].role, outputs[i].name, outputs[i].id);
    if (rc != 0) return rc;
    for (int j = 0; j < i; ++j) {
      if (same_output(outputs[i].name, outputs[i].id, outputs[j].name, outputs[j].id)) {
        report_same_file(s, outputs[j].role, outputs[j].name, outputs[i].role, outputs[i].name);
        return kResultOpenFailed;
      }
    }
  }
  return 0;
}

}  // namespace rowvane
