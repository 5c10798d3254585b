// The five exported functions: thin forwarders to the option parser and the
// job runner.
#include <new>

#include "config/job.h"
#include "config/options.h"
#include "config/run_counters.h"
#include "rowvane.h"
#include "unload/job_runner.h"

using rowvane::UnloadJob;

static_assert(sizeof(ROWVANEMessageCallback) == sizeof(rowvane::MessageCallback));

namespace {

// The manifest's keywords steer the program's runner of pieces; a library
// run is one statement without a manifest, so it refuses them rather than
// ignore them.
bool program_only(const char* text) {
  const rowvane::OptionSplit split = rowvane::split_option_text(text);
  for (const char* keyword : {"manifest", "resume", "plan", "pieces", "join"}) {
    if (rowvane::option_keyword_is(text, split, keyword)) return true;
  }
  return false;
}

}  // namespace

extern "C" {

ROWVANE_API int ROWVANEHandleAlloc(ROWVANEHandle* handle) {
  UnloadJob* job = new (std::nothrow) UnloadJob;
  if (job) rowvane::job_defaults(job);
  *handle = job;
  return 0;
}

// SetAttr and Execute also refuse a null handle (or text) instead of
// crashing the host.
ROWVANE_API int ROWVANEHandleSetAttr(ROWVANEHandle handle, const char* text) {
  if (!handle || !text || program_only(text)) return 0;
  return rowvane::set_option(static_cast<UnloadJob*>(handle), text);
}

ROWVANE_API void ROWVANEHandleCallback(ROWVANEHandle handle, void* user_data,
                                       ROWVANEMessageCallback callback) {
  if (!handle) return;
  auto* job = static_cast<UnloadJob*>(handle);
  job->message_context = user_data;
  job->message_callback = callback;
}

// The run's counters live as long as the call: the handle's job may be run
// again, and must then not point at them.
ROWVANE_API int ROWVANEHandleExecute(ROWVANEHandle handle) {
  if (!handle) return rowvane::kResultNoHandle;
  auto* job = static_cast<UnloadJob*>(handle);
  rowvane::RunCounters counters;
  job->counters = &counters;
  const int result = rowvane::run_job(job);
  rowvane::report_run_end(*job, result, true);
  job->counters = nullptr;
  return result;
}

ROWVANE_API void ROWVANEHandleFree(ROWVANEHandle handle) { delete static_cast<UnloadJob*>(handle); }

}  // extern "C"
