/* A stand-in for the vendor client library, built by the tests: it exports
 * the operations the loader resolves. With STAND_IN_PARTIAL defined it exports
 * only three of them. Its server attach always fails with an error record,
 * so a login through it exercises the whole vendor path without a server. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

static int g_handles;

EXPORT int32_t OCIEnvNlsCreate(void** envp, uint32_t mode, void* ctxp, void* m, void* r, void* f,
                               size_t x, void** u, uint16_t cs, uint16_t ncs) {
  (void)mode; (void)ctxp; (void)m; (void)r; (void)f; (void)x; (void)u; (void)cs; (void)ncs;
  *envp = &g_handles;
  return 0;
}
EXPORT int32_t OCIHandleAlloc(const void* parent, void** h, uint32_t type, size_t x, void** u) {
  (void)parent; (void)x; (void)u;
  *h = (void*)(uintptr_t)(0x1000 + type);
  g_handles++;
  return 0;
}
EXPORT int32_t OCIHandleFree(void* h, uint32_t type) { (void)h; (void)type; g_handles = 0; return 0; }

#ifndef STAND_IN_PARTIAL
EXPORT int32_t OCIServerAttach(void* s, void* e, const unsigned char* l, int32_t n, uint32_t m) {
  (void)s; (void)e; (void)l; (void)n; (void)m;
  return -1;
}
EXPORT int32_t OCIErrorGet(void* h, uint32_t rec, unsigned char* st, int32_t* code,
                           unsigned char* buf, uint32_t size, uint32_t type) {
  (void)h; (void)rec; (void)st; (void)type;
  static const char text[] = "ORA-12154: TNS:could not resolve the connect identifier specified\n";
  *code = 12154;
  strncpy((char*)buf, text, size);
  return 0;
}
#define STUB(name) EXPORT int32_t name(void) { return -1; }
STUB(OCIAttrSet) STUB(OCISessionBegin) STUB(OCISessionEnd) STUB(OCIServerDetach)
STUB(OCIStmtPrepare) STUB(OCIStmtExecute) STUB(OCIBindByName) STUB(OCIParamGet) STUB(OCIAttrGet)
STUB(OCIDefineByPos) STUB(OCIDescriptorAlloc) STUB(OCIStmtFetch) STUB(OCILobOpen)
STUB(OCILobRead) STUB(OCILobClose)
EXPORT uint16_t OCINlsCharSetNameToId(void* env, const unsigned char* name) {
  (void)env;
  return strcmp((const char*)name, "AL32UTF8") == 0 ? 873 : 0;
}
#endif
