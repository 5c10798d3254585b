/* A library that exports only three of the operations the loader resolves,
 * so that loading it fails on the first one missing. */
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

EXPORT int32_t OCIEnvNlsCreate(void) { return -1; }
EXPORT int32_t OCIHandleAlloc(void) { return -1; }
EXPORT int32_t OCIHandleFree(void) { return -1; }
