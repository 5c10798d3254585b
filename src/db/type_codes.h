// The data type codes a describe reports (OCI_ATTR_DATA_TYPE of a select-list
// parameter), in the vendor's numbering: what the embedded engine answers and
// what the type table, the value writers and the control file switch on.
// (The external codes a define asks for are the SQLT_* names of client.h;
// several share a number with a described code but mean the fetch form.)
#pragma once

#include <cstdint>

namespace rowvane {

constexpr uint16_t kTypeVarchar2 = 1;       // VARCHAR2, NVARCHAR2 (by charset form)
constexpr uint16_t kTypeNumber = 2;         // NUMBER and FLOAT(p)
constexpr uint16_t kTypeInteger = 3;
constexpr uint16_t kTypeFloat = 4;
constexpr uint16_t kTypeVarnum = 6;
constexpr uint16_t kTypeLong = 8;
constexpr uint16_t kTypeRowidBinary = 11;   // the old binary ROWID
constexpr uint16_t kTypeDate = 12;
constexpr uint16_t kTypeVarraw = 15;
constexpr uint16_t kTypeNativeFloat = 21;   // a C float
constexpr uint16_t kTypeNativeDouble = 22;  // a C double
constexpr uint16_t kTypeRaw = 23;
constexpr uint16_t kTypeLongRaw = 24;
constexpr uint16_t kTypeChar = 96;          // CHAR, NCHAR (by charset form)
constexpr uint16_t kTypeBinaryFloat = 100;
constexpr uint16_t kTypeBinaryDouble = 101;
constexpr uint16_t kTypeRowid = 104;        // ROWID and UROWID
constexpr uint16_t kTypeClob = 112;         // CLOB, NCLOB (by charset form)
constexpr uint16_t kTypeBlob = 113;
constexpr uint16_t kTypeBfile = 114;
constexpr uint16_t kTypeDateStruct = 156;
// The internal datetime codes; a describe reports the external ones below,
// but both are accepted.
constexpr uint16_t kTypeTimestampInternal = 180;
constexpr uint16_t kTypeTimestampTzInternal = 181;
constexpr uint16_t kTypeIntervalYmInternal = 182;
constexpr uint16_t kTypeIntervalDsInternal = 183;
constexpr uint16_t kTypeTimestamp = 187;
constexpr uint16_t kTypeTimestampTz = 188;
constexpr uint16_t kTypeIntervalYm = 189;
constexpr uint16_t kTypeIntervalDs = 190;
constexpr uint16_t kTypeTimestampLtz = 232;

}  // namespace rowvane
