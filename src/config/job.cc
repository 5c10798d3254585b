#include "config/job.h"

#include <cstring>

namespace rowvane {

void job_defaults(UnloadJob* job) {
  std::memset(job, 0, sizeof *job);
  std::strcpy(job->mode, "INSERT");
  std::strcpy(job->field, ",");
  job->field_len = 1;
  job->record[0] = '\n';
  job->record_len = 1;
  std::strcpy(job->file, "vanedata_%p.txt");
  std::strcpy(job->exec, ";");
  job->exec_len = 1;
  job->escape = ' ';
  job->rows = 1000000;
  job->data = 1;
  job->buffer = 2097152;
  job->size = 0x0FFFFFFF;
  job->degree = 1;
  job->snapshot = 1;
  job->retry = 3;
  job->sleep = 3;
  job->array = 1000;
  job->long_ = 32768;
  job->result = 1;
  job->piece = 1;
  job->zthreads = -1;
}

}  // namespace rowvane
