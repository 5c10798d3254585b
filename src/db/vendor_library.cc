#include "db/vendor_library.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "config/messages.h"
#include "platform/dynlib.h"

namespace rowvane {

namespace {

// The documented library names, most likely first.
#ifdef _WIN32
const char* const kLibraryNames[] = {"oci.dll"};
#elif defined(__APPLE__)
const char* const kLibraryNames[] = {"libclntsh.dylib",      "libclntsh.dylib.19.1",
                                     "libclntsh.dylib.18.1", "libclntsh.dylib.12.1",
                                     "libclntsh.dylib.11.1", "libclntsh.dylib.20.1",
                                     "libclntsh.dylib.21.1", "libclntsh.dylib.23.1"};
#else
const char* const kLibraryNames[] = {"libclntsh.so",      "libclntsh.so.19.1", "libclntsh.so.18.1",
                                     "libclntsh.so.12.1", "libclntsh.so.11.1", "libclntsh.so.20.1",
                                     "libclntsh.so.21.1", "libclntsh.so.23.1"};
#endif

// The registry of loaded vendor tables is one of the two mutable process
// globals of the system (the other is the interrupt flag): a library, once
// loaded, serves every run of the process. Each part is read and written
// under its mutex only.
std::mutex g_load_mutex;
const DbClient* g_loaded = nullptr;  // the process's vendor table once loaded

// Every table resolved in this process. A library stays loaded for the life
// of the process, and so does its table (a deque never moves its elements).
std::mutex g_tables_mutex;
std::deque<DbClient> g_tables;

template <typename Fn>
bool resolve(void* lib, const char* name, Fn* slot, const char** missing) {
  *slot = reinterpret_cast<Fn>(dynlib_symbol(lib, name));
  if (!*slot && !*missing) *missing = name;
  return *slot != nullptr;
}

}  // namespace

const DbClient* load_vendor_client_from(const char* path, char* reason, size_t reason_size) {
  char why[512] = "";
  void* lib = dynlib_open(path, why, sizeof why);
  if (!lib) {
    std::snprintf(reason, reason_size, kMsgCannotLoadLibrary, path, why);
    return nullptr;
  }
  DbClient t{};
  t.engine_name = "vendor";
  const char* missing = nullptr;
  resolve(lib, "OCIEnvNlsCreate", &t.OCIEnvNlsCreate, &missing);
  resolve(lib, "OCIHandleAlloc", &t.OCIHandleAlloc, &missing);
  resolve(lib, "OCIHandleFree", &t.OCIHandleFree, &missing);
  resolve(lib, "OCIServerAttach", &t.OCIServerAttach, &missing);
  resolve(lib, "OCIAttrSet", &t.OCIAttrSet, &missing);
  resolve(lib, "OCISessionBegin", &t.OCISessionBegin, &missing);
  resolve(lib, "OCISessionEnd", &t.OCISessionEnd, &missing);
  resolve(lib, "OCIServerDetach", &t.OCIServerDetach, &missing);
  resolve(lib, "OCIStmtPrepare", &t.OCIStmtPrepare, &missing);
  resolve(lib, "OCIStmtExecute", &t.OCIStmtExecute, &missing);
  resolve(lib, "OCIBindByName", &t.OCIBindByName, &missing);
  resolve(lib, "OCIParamGet", &t.OCIParamGet, &missing);
  resolve(lib, "OCIAttrGet", &t.OCIAttrGet, &missing);
  resolve(lib, "OCIDefineByPos", &t.OCIDefineByPos, &missing);
  resolve(lib, "OCIDescriptorAlloc", &t.OCIDescriptorAlloc, &missing);
  resolve(lib, "OCIStmtFetch", &t.OCIStmtFetch, &missing);
  resolve(lib, "OCIErrorGet", &t.OCIErrorGet, &missing);
  resolve(lib, "OCILobOpen", &t.OCILobOpen, &missing);
  resolve(lib, "OCILobRead", &t.OCILobRead, &missing);
  resolve(lib, "OCILobClose", &t.OCILobClose, &missing);
  resolve(lib, "OCINlsCharSetNameToId", &t.OCINlsCharSetNameToId, &missing);
  if (missing) {
    std::snprintf(reason, reason_size, kMsgLibraryLacksEntry, path, missing);
    dynlib_close(lib);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_tables_mutex);
  g_tables.push_back(t);
  return &g_tables.back();
}

const DbClient* vendor_client(char* reason, size_t reason_size) {
  std::lock_guard<std::mutex> lock(g_load_mutex);
  if (g_loaded) return g_loaded;
  const char* chosen = std::getenv("ROWVANE_OCI_LIBRARY");
  if (chosen && *chosen) {
    g_loaded = load_vendor_client_from(chosen, reason, reason_size);
    return g_loaded;
  }
  // Try every documented name; report the first one's reason, which is the
  // name a user is most likely to have meant.
  char first_reason[512] = "";
  for (const char* name : kLibraryNames) {
    char why[512];
    g_loaded = load_vendor_client_from(name, why, sizeof why);
    if (g_loaded) return g_loaded;
    if (!first_reason[0]) std::snprintf(first_reason, sizeof first_reason, "%s", why);
  }
#ifndef _WIN32
  if (const char* home = std::getenv("ORACLE_HOME"); home && *home) {
    std::string path = std::string(home) + "/lib/" + kLibraryNames[0];
    char why[512];
    g_loaded = load_vendor_client_from(path.c_str(), why, sizeof why);
    if (g_loaded) return g_loaded;
  }
#endif
  std::snprintf(reason, reason_size, "%s", first_reason);
  return nullptr;
}

}  // namespace rowvane
