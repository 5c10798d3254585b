#include "cli/driver.h"

int main(int argc, char** argv) {
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
