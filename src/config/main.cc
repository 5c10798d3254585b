#include "config/driver.h"

int main(int argc, char** argv) { return rowvane::driver_main(argc, argv); }
