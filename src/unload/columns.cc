// Select-list description: the fetch form and width of every column, its
// fetch buffers and defines, the rows per fetch and the unique-key marks.
#include "unload/columns.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "config/messages.h"

namespace rowvane {

namespace {

constexpr int64_t kBatchBytes = 10485760;  // all buffers of one fetch stay within this
constexpr int kMinArray = 5;

// Reads "w1:w2:..." into widths (kMaxColumns slots, zeroed first). A run of
// colons is one cut; a piece without digits or of 0 overrides nothing.
void parse_width_list(const char* text, uint32_t* widths) {
  std::memset(widths, 0, sizeof(uint32_t) * kMaxColumns);
  if (!text) return;
  int slot = 0;
  const char* p = text;
  while (*p && slot < kMaxColumns) {
    while (*p == ':') ++p;
    if (!*p) break;
    const char* q = p;
    while (*q == ' ' || *q == '\t') ++q;
    uint64_t value = 0;
    bool negative = false;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    while (*q >= '0' && *q <= '9') {
      if (value <= kMaxWidthOverride) value = value * 10 + static_cast<uint64_t>(*q - '0');
      ++q;
    }
    if (negative) value = 0;
    widths[slot++] = value > kMaxWidthOverride ? kMaxWidthOverride : static_cast<uint32_t>(value);
    while (*p && *p != ':') ++p;
  }
}

// The longest text the server writes for a NUMBER(p,s) value: beyond the
// usual p + 2 (+ 1), a scale above the precision puts s digits after the
// point (NUMBER(3,5): "-.00123") and a negative scale -s zeros before it
// (NUMBER(2,-3): "-99000"). FLOAT(p) (scale -127) may take any magnitude.
// Texts past 46 characters are written with an exponent.
int32_t number_text_width(int16_t precision, int16_t scale) {
  if (precision <= 0) return 0;
  if (scale == -127) return 46;
  int32_t width = 0;
  if (scale > precision) width = scale + 2;
  if (scale < 0) width = 1 + precision - scale;
  return std::min(width, 46);
}

// The longest text format_number makes of an internal NUMBER(p,s): it keeps
// a leading "0", and writes fraction digits in pairs (the scale rounded up
// to even), so NUMBER(1,1) gives "-0.50" and NUMBER(3,5) "-0.001230".
int32_t client_number_width(int16_t precision, int16_t scale) {
  if (precision <= 0 || scale == -127) return 0;
  if (scale <= 0) return 1 + precision - scale;
  return 1 + std::max(precision - scale, 1) + 1 + scale + (scale & 1);
}

// Fetch form, widths and flags of one described column (the type table).
void apply_type_table(ColumnInfo* c, uint32_t override_width, const UnloadJob& job) {
  const int32_t safe_extra = job.safe ? 10 : 0;
  const bool lobfile = job.lobfile[0] != '\0';
  auto with_override = [&](int32_t width) {
    return override_width > 0 ? static_cast<int32_t>(override_width) : width;
  };
  auto number_width = [&]() -> int32_t {
    if (c->precision == 0) return 46;
    return c->precision + 2 + (c->scale != 0 ? 1 : 0);
  };
  // Fractional-second digits of a timestamp (the scale); 6 when unknown.
  const int32_t fraction = c->scale >= 0 && c->scale <= 9 ? c->scale : 6;

  int32_t slot = c->slot_width;
  uint16_t type = c->oracle_type;
  c->quoted = 1;
  c->binary = 0;
  switch (type) {
    case kTypeNumber:
    case kTypeVarnum:
      c->quoted = 0;
      if (job.client) {
        c->fetch_type = SQLT_NUM;
        c->slot_width = 21;
        c->display_width = static_cast<uint32_t>(
            with_override(std::max(number_width(), client_number_width(c->precision, c->scale))) +
            safe_extra);
      } else {
        c->fetch_type = SQLT_CHR;
        c->slot_width =
            with_override(std::max(number_width(), number_text_width(c->precision, c->scale))) +
            safe_extra;
        c->display_width = static_cast<uint32_t>(c->slot_width);
      }
      return;
    case kTypeFloat:
    case kTypeNativeFloat:
    case kTypeNativeDouble:
    case kTypeBinaryFloat:
    case kTypeBinaryDouble:
      c->quoted = 0;
      c->fetch_type = SQLT_CHR;
      c->slot_width = with_override(46) + safe_extra;
      break;
    case kTypeRowidBinary:
    case kTypeRowid:
      c->fetch_type = SQLT_CHR;
      c->slot_width = with_override(18) + safe_extra;
      break;
    case kTypeDate:
    case kTypeDateStruct:
      if (job.client) {
        c->fetch_type = SQLT_DAT;
        c->slot_width = 7;
        c->display_width = 19;
        return;
      }
      c->fetch_type = SQLT_CHR;
      c->slot_width = with_override(19) + safe_extra;
      break;
    case kTypeVarraw:
    case kTypeRaw:
      c->binary = 1;  // fetched as the raw bytes, in the type described
      c->slot_width = with_override(slot) + safe_extra;
      break;
    case kTypeLong:
      c->binary = 1;
      c->fetch_type = SQLT_LVC;
      c->slot_width = with_override(static_cast<int32_t>(job.long_));
      break;
    case kTypeLongRaw:
      c->binary = 1;
      c->fetch_type = SQLT_LVB;
      c->slot_width = with_override(static_cast<int32_t>(job.long_));
      break;
    case kTypeClob:
    case kTypeBlob:
    case kTypeBfile:
      if (lobfile) {
        // A locator per row; the record gets a reference of up to 256 bytes.
        c->slot_width = 8;
        c->display_width = 256;
        return;
      }
      c->binary = 1;
      c->fetch_type = type == kTypeBlob ? SQLT_LVB : SQLT_LVC;
      c->slot_width = with_override(static_cast<int32_t>(job.long_));
      break;
    case kTypeTimestampInternal:
    case kTypeTimestamp:
      // "YYYY-MM-DD HH24:MI:SS", the point and the fraction digits.
      c->fetch_type = SQLT_CHR;
      c->slot_width = with_override(std::max(26, 20 + fraction)) + safe_extra;
      break;
    case kTypeTimestampTzInternal:
    case kTypeTimestampTz:
    case kTypeTimestampLtz:
      // The same and " +HH:MM" (the local kind is written without a zone).
      c->fetch_type = SQLT_CHR;
      c->slot_width = with_override(std::max(33, 27 + fraction)) + safe_extra;
      break;
    case kTypeIntervalYmInternal:
    case kTypeIntervalYm:
      c->fetch_type = SQLT_CHR;
      c->slot_width = with_override(20);
      break;
    case kTypeIntervalDsInternal:
    case kTypeIntervalDs:
      c->fetch_type = SQLT_CHR;
      c->slot_width = with_override(30);
      break;
    default: {
      c->binary = 1;
      c->fetch_type = SQLT_CHR;
      int32_t width = with_override(slot == 0 ? 4000 : slot);
      if (job.safe) width *= 2;
      c->slot_width = width > 4000 ? 4000 : width;
      break;
    }
  }
  c->display_width = static_cast<uint32_t>(c->slot_width);
}

bool is_locator_type(uint16_t fetch_type) {
  return fetch_type == SQLT_CLOB || fetch_type == SQLT_BLOB || fetch_type == SQLT_BFILEE;
}

// Reads the description of column `position` into c. 0 or -1.
int read_column(DbSession* s, void* stmt, uint32_t position, ColumnInfo* c) {
  const DbClient* api = s->api;
  if (api->OCIParamGet(stmt, OCI_HTYPE_STMT, s->error, &c->param, position) != OCI_SUCCESS) {
    return -1;
  }
  uint16_t type = 0;
  uint8_t form = 0;
  void* name = nullptr;
  uint32_t name_len = 0;
  uint16_t size = 0;
  int16_t precision = 0;
  int8_t scale = 0;
  if (api->OCIAttrGet(c->param, OCI_DTYPE_PARAM, &type, nullptr, OCI_ATTR_DATA_TYPE, s->error) ||
      api->OCIAttrGet(c->param, OCI_DTYPE_PARAM, &form, nullptr, OCI_ATTR_CHARSET_FORM,
                      s->error) ||
      api->OCIAttrGet(c->param, OCI_DTYPE_PARAM, &name, &name_len, OCI_ATTR_NAME, s->error) ||
      api->OCIAttrGet(c->param, OCI_DTYPE_PARAM, &size, nullptr, OCI_ATTR_DATA_SIZE, s->error) ||
      api->OCIAttrGet(c->param, OCI_DTYPE_PARAM, &precision, nullptr, OCI_ATTR_PRECISION,
                      s->error) ||
      api->OCIAttrGet(c->param, OCI_DTYPE_PARAM, &scale, nullptr, OCI_ATTR_SCALE, s->error)) {
    return -1;
  }
  c->fetch_type = type;
  c->oracle_type = type;
  c->charset_form = form;
  c->name_ptr = static_cast<const char*>(name);
  c->name_len = name_len > 30 ? 30 : name_len;
  if (name && c->name_len) std::memcpy(c->name, name, c->name_len);
  c->name[c->name_len] = '\0';
  c->slot_width = size;
  c->precision = precision;
  c->scale = scale;
  return 0;
}

// Defines the buffers of one column; 0 or -1 (a define failure is reported).
int define_column(DbSession* s, void* stmt, uint32_t position, ColumnInfo* c, uint32_t array) {
  const DbClient* api = s->api;
  size_t bytes = static_cast<size_t>(array) * static_cast<size_t>(c->slot_width);
  if (is_locator_type(c->fetch_type) && bytes < array * sizeof(void*)) bytes = array * sizeof(void*);
  c->buffer = std::calloc(bytes ? bytes : 1, 1);
  if (!c->buffer) return -1;
  int32_t element = c->slot_width;
  if (is_locator_type(c->fetch_type)) {
    void** locators = static_cast<void**>(c->buffer);
    for (uint32_t i = 0; i < array; ++i) {
      if (api->OCIDescriptorAlloc(s->env, &locators[i], OCI_DTYPE_LOB, 0, nullptr) != OCI_SUCCESS) {
        return -1;
      }
    }
    element = static_cast<int32_t>(sizeof(void*));  // one locator pointer per row
  }
  if (api->OCIDefineByPos(stmt, &c->define, s->error, position, c->buffer, element, c->fetch_type,
                          c->indicators, c->lengths, c->return_codes,
                          OCI_DEFAULT) != OCI_SUCCESS) {
    report_error(s);
    return -1;
  }
  return 0;
}

bool same_name(const ColumnInfo* c, const char* piece, size_t len) {
  if (c->name_len != len) return false;
  for (size_t i = 0; i < len; ++i) {
    if (std::toupper(static_cast<unsigned char>(c->name[i])) !=
        std::toupper(static_cast<unsigned char>(piece[i]))) {
      return false;
    }
  }
  return true;
}

void mark_unique_columns(ColumnInfo* first, const char* unique) {
  const char* p = unique;
  while (*p) {
    const char* end = std::strchr(p, ',');
    size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (len == 0) break;
    for (ColumnInfo* c = first; c; c = c->next) {
      if (same_name(c, p, len)) c->key = 1;
    }
    if (!end) break;
    p = end + 1;
  }
}

}  // namespace

int64_t compute_row_size(const ColumnInfo* first, int32_t record_len) {
  int64_t size = 1;
  for (const ColumnInfo* c = first; c; c = c->next) {
    // A locator column is fetched in 8 bytes but writes a reference of up to
    // 256; a large object fetched inline occupies its whole slot.
    size += is_locator_type(c->fetch_type) ? 256 : c->slot_width;
  }
  return size + record_len;
}

int describe_select_list(DbSession* s, void* stmt, ColumnInfo* head, UnloadJob* job) {
  head->next = nullptr;
  if (!s->api || !stmt) return -1;
  uint32_t widths[kMaxColumns];
  parse_width_list(job->width, widths);

  uint32_t count = 0;
  if (s->api->OCIAttrGet(stmt, OCI_HTYPE_STMT, &count, nullptr, OCI_ATTR_PARAM_COUNT, s->error) !=
      OCI_SUCCESS) {
    return -1;
  }
  if (count > static_cast<uint32_t>(kMaxColumns)) {
    // Cutting the list would misalign the output with its control file.
    session_messagef(s, kMsgTooManyColumns, count, kMaxColumns);
    return -1;
  }

  ColumnInfo* tail = head;
  for (uint32_t pos = 1; pos <= count; ++pos) {
    auto* c = static_cast<ColumnInfo*>(std::calloc(1, sizeof(ColumnInfo)));
    if (!c) return -1;
    if (read_column(s, stmt, pos, c) != 0) {
      std::free(c);
      return -1;
    }
    tail->next = c;
    tail = c;
    apply_type_table(c, widths[pos - 1], *job);
  }

  const int32_t long_width = static_cast<int32_t>(job->long_);
  for (ColumnInfo* c = head->next; c; c = c->next) {
    if (c->slot_width == 0 || c->slot_width > long_width) {
      c->slot_width = long_width;
      c->display_width = static_cast<uint32_t>(long_width);
    }
  }

  // Hex text takes two characters per byte of the value (a long value's
  // slot holds a 4-byte length before its bytes).
  for (ColumnInfo* c = head->next; c; c = c->next) {
    if (!raw_as_hex_text(*c, *job)) continue;
    const int64_t bytes = c->fetch_type == SQLT_LVB ? c->slot_width - 4 : c->slot_width;
    c->display_width = static_cast<uint32_t>(2 * (bytes > 0 ? bytes : 0));
  }

  int64_t row_size = compute_row_size(head->next, job->record_len);
  int64_t array = job->array;
  if (kBatchBytes / row_size < array) array = kBatchBytes / row_size;
  if (array > kMaxArray) array = kMaxArray;
  if (array < kMinArray) array = kMinArray;
  job->array = static_cast<uint32_t>(array);

  uint32_t pos = 1;
  for (ColumnInfo* c = head->next; c; c = c->next, ++pos) {
    if (define_column(s, stmt, pos, c, job->array) != 0) return -1;
  }

  if (job->unique[0]) mark_unique_columns(head->next, job->unique);
  return static_cast<int>(count);
}

void release_columns(ColumnInfo* head) {
  ColumnInfo* c = head->next;
  head->next = nullptr;
  while (c) {
    ColumnInfo* next = c->next;
    std::free(c->buffer);
    std::free(c);
    c = next;
  }
}

}  // namespace rowvane
