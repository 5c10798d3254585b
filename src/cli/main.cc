#include "cli/driver.h"
#include "platform/interrupt.h"

int main(int argc, char** argv) {
  // The program owns its signals (the library never installs handlers):
  // SIGINT, SIGTERM and SIGHUP stop the run at a record boundary, and a
  // closed standard output ends it quietly instead of killing it.
  rowvane::install_interrupt_handlers();
  int status = rowvane::driver_main(argc, argv);
#ifndef _WIN32
  // A process exit status keeps only its low 8 bits here. A failed run
  // whose result is a multiple of 256 (the sum of 32 parallel workers that
  // each failed with 8, a database error number such as 1536) would read as
  // success: it exits with 255 instead.
  if (status != 0 && (status & 0xFF) == 0) status = 255;
#endif
  return status;
}
