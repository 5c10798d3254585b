#include "platform/dynlib.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace rowvane {

void* dynlib_open(const char* path, char* reason, size_t reason_size) {
#ifdef _WIN32
  HMODULE lib = LoadLibraryA(path);
  if (!lib && reason_size) snprintf(reason, reason_size, "error %lu", (unsigned long)GetLastError());
  return reinterpret_cast<void*>(lib);
#else
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib && reason_size) {
    const char* why = dlerror();
    snprintf(reason, reason_size, "%s", why ? why : "unknown reason");
  }
  return lib;
#endif
}

void* dynlib_symbol(void* lib, const char* name) {
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
#else
  return dlsym(lib, name);
#endif
}

void dynlib_close(void* lib) {
  if (!lib) return;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(lib));
#else
  dlclose(lib);
#endif
}

}  // namespace rowvane
