// Large objects streamed into the lob file, and their references.

#include "unload/lob.h"

#include <cinttypes>
#include <cstring>

#include "config/messages.h"
#include "platform/file_io.h"

namespace rowvane {
namespace {

// Writes "name.offset.length/" with the lob name's "+" left out.
int format_reference(char* ref, const char* lob_name, int64_t offset, int64_t length) {
  const char* name = lob_name[0] == '+' ? lob_name + 1 : lob_name;
  int n = std::snprintf(ref, kLobReferenceSize, "%s.%" PRId64 ".%" PRId64 "/", name, offset, length);
  if (n < 0) {
    ref[0] = '\0';
    return 0;
  }
  // Names up to 255 bytes always fit; a longer one is cut here, never overrun.
  return n < static_cast<int>(kLobReferenceSize) ? n : static_cast<int>(std::strlen(ref));
}

bool failed_status(int32_t status) { return status < 0; }

// Character sets whose characters are two-byte units: the client library
// counts a character LOB's pieces in characters there, not in bytes.
bool two_byte_set(uint16_t id) { return id == 1000 || id == 2000 || id == 2002; }

}  // namespace

int32_t copy_lob_to_file_in_pieces(DbSession* s, void* locator, FILE* lob_file,
                                   const char* lob_name, char* ref, int* ref_len,
                                   uint8_t charset_form, bool character, bool* failed,
                                   uint32_t piece_size) {
  if (piece_size == 0 || piece_size > kLobPieceSize) piece_size = kLobPieceSize;
  unsigned char buffer[kLobPieceSize];
  std::memset(buffer, 0, sizeof buffer);
  const uint16_t set = charset_form == SQLCS_NCHAR ? s->ncharset_id : s->charset_id;
  const uint32_t unit = character && two_byte_set(set) ? 2 : 1;

  const int64_t start = lob_file ? file_tell(lob_file) : -1;
  const DbClient* api = s->api;
  int32_t status = OCI_INVALID_HANDLE;
  if (!lob_file || start < 0 || !api) {
    session_messagef(s, kMsgCannotWriteFile, lob_name);
    *failed = true;
  } else {
    status = api->OCILobOpen(s->service, s->error, locator, OCI_LOB_READONLY);
    if (failed_status(status)) {
      report_error(s);
      *failed = true;
    } else {
      // One polling read of the whole LOB (amount 0 from offset 1): every
      // call returning OCI_NEED_DATA delivers a piece and more follows;
      // OCI_SUCCESS delivers the last one. A piece may be shorter than the
      // buffer while data remains, so only the status ends the loop. When
      // the lob file cannot take a piece, the read is still carried on to
      // its end with the pieces discarded: the library refuses every other
      // call on the connection (even the close) until the read has ended.
      bool writing = true;
      for (;;) {
        uint32_t amount = 0;
        status = api->OCILobRead(s->service, s->error, locator, &amount, 1, buffer, piece_size,
                                 nullptr, nullptr, 0, charset_form);
        if (failed_status(status)) {
          report_error(s);
          *failed = true;
          break;
        }
        if (status == OCI_NO_DATA) {  // nothing to read: an empty LOB
          status = OCI_SUCCESS;
          break;
        }
        uint64_t bytes = static_cast<uint64_t>(amount) * unit;
        if (bytes > piece_size) bytes = piece_size;  // never trust a count past the buffer
        if (writing && bytes > 0 && std::fwrite(buffer, 1, bytes, lob_file) != bytes) {
          session_messagef(s, kMsgCannotWriteFile, lob_name);
          *failed = true;
          writing = false;
        }
        if (status != OCI_NEED_DATA) break;
      }
      int32_t close_status = api->OCILobClose(s->service, s->error, locator);
      if (failed_status(close_status)) report_error(s);
      if (!failed_status(status)) status = close_status;
    }
  }

  int64_t end = lob_file ? file_tell(lob_file) : -1;
  int64_t length = (start >= 0 && end >= start) ? end - start : 0;
  *ref_len = format_reference(ref, lob_name, (start >= 0 ? start : 0) + 1, length);
  return status;
}

int32_t copy_lob_to_file(DbSession* s, void* locator, FILE* lob_file, const char* lob_name,
                         char* ref, int* ref_len, uint8_t charset_form, bool character,
                         bool* failed) {
  return copy_lob_to_file_in_pieces(s, locator, lob_file, lob_name, ref, ref_len, charset_form,
                                    character, failed, kLobPieceSize);
}

int null_lob_reference(FILE* lob_file, const char* lob_name, char* ref) {
  int64_t length = lob_file ? file_tell(lob_file) : 0;
  if (length < 0) length = 0;
  return format_reference(ref, lob_name, length + 1, -1);
}

}  // namespace rowvane
