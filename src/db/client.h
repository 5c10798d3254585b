// The database client interface: the table of the 21 client-library
// operations the system uses, with the constants it passes and relies on.
//
// Two engines fill the table: the vendor's client library, loaded at run time
// (vendor_library.h), and the embedded engine over SQLite (embedded/engine.h).
// Handles are opaque pointers; a handle made by one engine is only ever passed
// back to the same table, which DbSession guarantees by carrying the table it
// was connected with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rowvane {

// Status codes of every operation.
constexpr int32_t OCI_SUCCESS = 0;
constexpr int32_t OCI_SUCCESS_WITH_INFO = 1;
constexpr int32_t OCI_NO_DATA = 100;
constexpr int32_t OCI_ERROR = -1;
constexpr int32_t OCI_INVALID_HANDLE = -2;
constexpr int32_t OCI_NEED_DATA = 99;  // a polling LOB read has more pieces

// Modes.
constexpr uint32_t OCI_DEFAULT = 0;
constexpr uint32_t OCI_THREADED = 0x01;
constexpr uint32_t OCI_NTV_SYNTAX = 1;
constexpr uint32_t OCI_COMMIT_ON_SUCCESS = 0x20;
constexpr uint16_t OCI_FETCH_NEXT = 0x02;
constexpr uint32_t OCI_CRED_RDBMS = 1;
constexpr uint32_t OCI_CRED_EXT = 2;
constexpr uint32_t OCI_SYSDBA = 0x02;
constexpr uint8_t OCI_LOB_READONLY = 1;
constexpr uint8_t SQLCS_IMPLICIT = 1;
constexpr uint8_t SQLCS_NCHAR = 2;

// Handle and descriptor types.
constexpr uint32_t OCI_HTYPE_ENV = 1;
constexpr uint32_t OCI_HTYPE_ERROR = 2;
constexpr uint32_t OCI_HTYPE_SVCCTX = 3;
constexpr uint32_t OCI_HTYPE_STMT = 4;
constexpr uint32_t OCI_HTYPE_BIND = 5;
constexpr uint32_t OCI_HTYPE_DEFINE = 6;
constexpr uint32_t OCI_HTYPE_SERVER = 8;
constexpr uint32_t OCI_HTYPE_SESSION = 9;
constexpr uint32_t OCI_DTYPE_LOB = 50;
constexpr uint32_t OCI_DTYPE_PARAM = 53;

// Attributes.
constexpr uint32_t OCI_ATTR_DATA_SIZE = 1;     // ub2 on a parameter
constexpr uint32_t OCI_ATTR_DATA_TYPE = 2;     // ub2 on a parameter
constexpr uint32_t OCI_ATTR_NAME = 4;          // text pointer + ub4 length
constexpr uint32_t OCI_ATTR_PRECISION = 5;     // sb2 on a parameter
constexpr uint32_t OCI_ATTR_SCALE = 6;         // sb1 on a parameter
constexpr uint32_t OCI_ATTR_SERVER = 6;        // on a service context
constexpr uint32_t OCI_ATTR_SESSION = 7;       // on a service context
constexpr uint32_t OCI_ATTR_ROW_COUNT = 9;     // ub4 on a statement
constexpr uint32_t OCI_ATTR_PARAM_COUNT = 18;  // ub4 on a statement
constexpr uint32_t OCI_ATTR_USERNAME = 22;
constexpr uint32_t OCI_ATTR_PASSWORD = 23;
constexpr uint32_t OCI_ATTR_ENV_CHARSET_ID = 31;  // ub2 on the environment
constexpr uint32_t OCI_ATTR_CHARSET_FORM = 32; // ub1 on a parameter

// This system's own environment attribute, known to the embedded engine
// only: an EngineObserver through which tests see what a run asked of the
// engine. Only tests set it (a vendor library would refuse it, and the
// session ignores that). The functions are called from the calling thread;
// a null member observes nothing.
constexpr uint32_t kAttrEngineObserver = 0x7E01;
struct EngineObserver {
  // Every statement text prepared on the environment's connection.
  void (*statement)(void* user_data, const char* text, uint32_t len);
  // Calls whose arguments the vendor's library holds its caller to:
  // "OCIEnvNlsCreate" with its mode (reported when the observer is set),
  // "OCIHandleFree" with the handle type, "OCIDefineByPos" with the external
  // type and the element size as value.
  void (*call)(void* user_data, const char* operation, uint32_t kind, int64_t value);
  void* user_data;  // first argument of every call
  // Raised (atomically) to the most bytes of one LOB value the engine and
  // SQLite's copy of a row held in memory at once.
  size_t* lob_memory_peak;
};

// External (fetch/bind) type codes.
constexpr uint16_t SQLT_CHR = 1;
constexpr uint16_t SQLT_NUM = 2;
constexpr uint16_t SQLT_INT = 3;
constexpr uint16_t SQLT_STR = 5;
constexpr uint16_t SQLT_DAT = 12;
constexpr uint16_t SQLT_BIN = 23;
constexpr uint16_t SQLT_LVC = 94;
constexpr uint16_t SQLT_LVB = 95;
constexpr uint16_t SQLT_UIN = 68;
constexpr uint16_t SQLT_AFC = 96;  // blank-padded CHAR
constexpr uint16_t SQLT_CLOB = 112;
constexpr uint16_t SQLT_BLOB = 113;
constexpr uint16_t SQLT_BFILEE = 114;

// Error codes the system compares with.
constexpr int32_t kOraTruncated = 1406;    // column value was truncated
constexpr int32_t kOraFetchInfo = 24345;   // truncation or null fetch error

typedef void* (*OciMallocFn)(void* ctx, size_t size);
typedef void* (*OciReallocFn)(void* ctx, void* mem, size_t size);
typedef void (*OciFreeFn)(void* ctx, void* mem);
typedef int32_t (*OciLobReadCallback)(void* ctx, const void* buf, uint32_t len, uint8_t piece);

// The operations, with the argument lists of the vendor library (their
// symbol names are the member names).
struct DbClient {
  const char* engine_name;  // "vendor" or "embedded"

  int32_t (*OCIEnvNlsCreate)(void** envp, uint32_t mode, void* ctxp, OciMallocFn malocfp,
                             OciReallocFn ralocfp, OciFreeFn mfreefp, size_t xtramem_sz,
                             void** usrmempp, uint16_t charset, uint16_t ncharset);
  int32_t (*OCIHandleAlloc)(const void* parenth, void** hndlpp, uint32_t type, size_t xtramem_sz,
                            void** usrmempp);
  int32_t (*OCIHandleFree)(void* hndlp, uint32_t type);
  int32_t (*OCIServerAttach)(void* srvhp, void* errhp, const unsigned char* dblink,
                             int32_t dblink_len, uint32_t mode);
  int32_t (*OCIAttrSet)(void* trgthndlp, uint32_t trghndltyp, void* attributep, uint32_t size,
                        uint32_t attrtype, void* errhp);
  int32_t (*OCISessionBegin)(void* svchp, void* errhp, void* usrhp, uint32_t credt, uint32_t mode);
  int32_t (*OCISessionEnd)(void* svchp, void* errhp, void* usrhp, uint32_t mode);
  int32_t (*OCIServerDetach)(void* srvhp, void* errhp, uint32_t mode);
  int32_t (*OCIStmtPrepare)(void* stmtp, void* errhp, const unsigned char* stmt, uint32_t stmt_len,
                            uint32_t language, uint32_t mode);
  int32_t (*OCIStmtExecute)(void* svchp, void* stmtp, void* errhp, uint32_t iters, uint32_t rowoff,
                            const void* snap_in, void* snap_out, uint32_t mode);
  int32_t (*OCIBindByName)(void* stmtp, void** bindp, void* errhp, const unsigned char* placeholder,
                           int32_t placeh_len, void* valuep, int32_t value_sz, uint16_t dty,
                           void* indp, uint16_t* alenp, uint16_t* rcodep, uint32_t maxarr_len,
                           uint32_t* curelep, uint32_t mode);
  int32_t (*OCIParamGet)(const void* hndlp, uint32_t htype, void* errhp, void** parmdpp,
                         uint32_t pos);
  int32_t (*OCIAttrGet)(const void* trgthndlp, uint32_t trghndltyp, void* attributep,
                        uint32_t* sizep, uint32_t attrtype, void* errhp);
  int32_t (*OCIDefineByPos)(void* stmtp, void** defnp, void* errhp, uint32_t position,
                            void* valuep, int32_t value_sz, uint16_t dty, void* indp,
                            uint16_t* rlenp, uint16_t* rcodep, uint32_t mode);
  int32_t (*OCIDescriptorAlloc)(const void* parenth, void** descpp, uint32_t type,
                                size_t xtramem_sz, void** usrmempp);
  int32_t (*OCIStmtFetch)(void* stmtp, void* errhp, uint32_t nrows, uint16_t orientation,
                          uint32_t mode);
  int32_t (*OCIErrorGet)(void* hndlp, uint32_t recordno, unsigned char* sqlstate,
                         int32_t* errcodep, unsigned char* bufp, uint32_t bufsiz, uint32_t type);
  int32_t (*OCILobOpen)(void* svchp, void* errhp, void* locp, uint8_t mode);
  int32_t (*OCILobRead)(void* svchp, void* errhp, void* locp, uint32_t* amtp, uint32_t offset,
                        void* bufp, uint32_t bufl, void* ctxp, OciLobReadCallback cbfp,
                        uint16_t csid, uint8_t csfrm);
  int32_t (*OCILobClose)(void* svchp, void* errhp, void* locp);
  uint16_t (*OCINlsCharSetNameToId)(void* envhp, const unsigned char* name);
};

}  // namespace rowvane
