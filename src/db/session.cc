#include "db/session.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "db/embedded/client_table.h"
#include "db/vendor_library.h"

namespace rowvane {

namespace {

constexpr char kEmbeddedPrefix[] = "sqlite:";
constexpr size_t kEmbeddedPrefixLen = sizeof kEmbeddedPrefix - 1;

// Copies at most n bytes of src into dst (capacity cap), always terminating.
void copy_text(char* dst, size_t cap, const char* src, size_t n) {
  if (cap == 0) return;
  if (n > cap - 1) n = cap - 1;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

void append_text(char* dst, size_t cap, const char* src, size_t n) {
  size_t used = std::strlen(dst);
  if (used + 1 >= cap) return;
  copy_text(dst + used, cap - used, src, n);
}

void append_text(char* dst, size_t cap, const char* src) {
  append_text(dst, cap, src, std::strlen(src));
}

}  // namespace

void session_init(DbSession* s) {
  std::memset(s, 0, sizeof *s);
  s->log = stdout;
  s->callback = default_message_callback;
  s->user_data = s;
}

void default_message_callback(void* user_data, const char* text) {
  auto* s = static_cast<DbSession*>(user_data);
  if (!s || !s->log) return;
  std::fprintf(s->log, "%s", text);
  std::fflush(s->log);
}

void session_message(DbSession* s, const char* text) {
  if (s && s->callback) s->callback(s->user_data, text);
}

void session_messagef(DbSession* s, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  session_message(s, line);
}

int32_t report_error(DbSession* s) {
  s->error_code = 0;
  std::memset(s->error_text, 0, sizeof s->error_text);
  if (s->api && s->error) {
    s->api->OCIErrorGet(s->error, 1, nullptr, &s->error_code,
                        reinterpret_cast<unsigned char*>(s->error_text), sizeof s->error_text,
                        OCI_HTYPE_ERROR);
    s->error_text[sizeof s->error_text - 1] = '\0';
  }
  if (s->error_code != 0 && s->callback) s->callback(s->user_data, s->error_text);
  return s->error_code;
}

int pick_host(char* out, size_t out_size, const char* host_list) {
  // Entries end at each comma; a comma that ends the list opens no new entry.
  // Entries past the tenth are ignored.
  constexpr int kMaxHosts = 10;
  const char* start[kMaxHosts];
  size_t len[kMaxHosts];
  int count = 0;
  const char* p = host_list;
  while (count < kMaxHosts) {
    const char* comma = std::strchr(p, ',');
    start[count] = p;
    len[count] = comma ? static_cast<size_t>(comma - p) : std::strlen(p);
    ++count;
    if (!comma || comma[1] == '\0') break;
    p = comma + 1;
  }
  int pick = 0;
  if (count > 1) {
    // Seeded with the current second at every call, on a generator of this
    // thread: connections made within one second choose the same entry.
    thread_local std::minstd_rand generator;
    generator.seed(static_cast<unsigned>(std::time(nullptr)));
    pick = static_cast<int>(generator() % static_cast<unsigned>(count));
  }
  copy_text(out, out_size, start[pick], len[pick]);
  return static_cast<int>(std::strlen(out));
}

void build_connect_descriptor(char* out, size_t out_size, const char* connect_text) {
  const char* first = std::strchr(connect_text, ':');
  const char* second = first ? std::strchr(first + 1, ':') : nullptr;
  const char* third = second ? std::strchr(second + 1, ':') : nullptr;
  if (!first || !second || third) {
    append_text(out, out_size, connect_text);
    return;
  }
  char hosts[256];
  copy_text(hosts, sizeof hosts, connect_text, static_cast<size_t>(first - connect_text));
  char host[256];
  pick_host(host, sizeof host, hosts);
  append_text(out, out_size, "(DESCRIPTION=(ADDRESS_LIST=(ADDRESS=(HOST=");
  append_text(out, out_size, host);
  append_text(out, out_size, ")(PROTOCOL=TCP)(PORT=");
  append_text(out, out_size, first + 1, static_cast<size_t>(second - first - 1));
  append_text(out, out_size, ")))(CONNECT_DATA=(SID=");
  append_text(out, out_size, second + 1);
  append_text(out, out_size, ")(SERVER=DEDICATED)))");
}

LoginSpans scan_login(const char* login) {
  LoginSpans spans = {};
  // A double quote toggles a quoted state for the whole scan; '@' inside
  // quotes is ordinary, '/' always separates.
  bool quoted = false;
  const size_t n = std::strlen(login);
  size_t i = 0;
  for (; i < n; ++i) {
    char c = login[i];
    if (c == '"') quoted = !quoted;
    else if (c == '/' || (c == '@' && !quoted)) break;
  }
  // A text with neither "/" nor "@" names nobody: operating-system
  // authentication.
  spans.user_len = i < n ? i : 0;
  spans.connect_start = n;
  if (i < n && login[i] == '/') {
    spans.has_password = true;
    spans.password_start = i + 1;
    size_t j = i + 1;
    for (; j < n; ++j) {
      char c = login[j];
      if (c == '"') quoted = !quoted;
      else if (c == '@' && !quoted) break;
    }
    spans.password_len = j - i - 1;
    if (j < n) spans.connect_start = j + 1;
  } else if (i < n) {
    spans.connect_start = i + 1;
  }
  return spans;
}

void parse_login(const char* login, LoginParts* out) {
  std::memset(out, 0, sizeof *out);
  const LoginSpans spans = scan_login(login);
  const size_t n = std::strlen(login);
  copy_text(out->user, sizeof out->user, login, spans.user_len);
  copy_text(out->password, sizeof out->password, login + spans.password_start, spans.password_len);
  copy_text(out->connect, sizeof out->connect, login + spans.connect_start, n - spans.connect_start);
  out->credential = OCI_CRED_RDBMS;
  out->mode = OCI_DEFAULT;
  bool is_sys = std::strlen(out->user) == 3 && (out->user[0] | 0x20) == 's' &&
                (out->user[1] | 0x20) == 'y' && (out->user[2] | 0x20) == 's';
  if (out->user[0] == '\0' || is_sys) {
    // Operating-system authentication to the local default database; SYS
    // logs in as administrator. The password is not used, nor is the address
    // (connect_session still reads it to choose the engine).
    out->credential = OCI_CRED_EXT;
    out->mode = is_sys ? OCI_SYSDBA : OCI_DEFAULT;
    out->user[0] = '\0';
    out->password[0] = '\0';
  }
}

namespace {

// The embedded engine's database file in a login (the text after
// "@sqlite:"), or null when the login is for the vendor library.
const char* embedded_file_of(const char* login) {
  const char* connect = login + scan_login(login).connect_start;
  return std::strncmp(connect, kEmbeddedPrefix, kEmbeddedPrefixLen) == 0 ? connect + kEmbeddedPrefixLen
                                                                         : nullptr;
}

}  // namespace

bool login_is_embedded(const char* login) { return embedded_file_of(login) != nullptr; }

void guard_file(DbSession* s, const char* role, const char* name, const FileIdentity& id) {
  int slot = 0;
  while (slot < s->guarded_count && std::strcmp(s->guarded[slot].role, role) != 0) ++slot;
  if (slot == kGuardedFiles) return;
  if (slot == s->guarded_count) ++s->guarded_count;
  GuardedFile& g = s->guarded[slot];
  g.role = role;
  copy_text(g.name, sizeof g.name, name, std::strlen(name));
  g.id = id;
}

void guard_database_file(DbSession* s, const char* login) {
  const char* file = embedded_file_of(login);
  if (file && file[0]) guard_file(s, "database", file, file_identity(file));
}

int connect_session(DbSession* s, const char* login) {
  LoginParts parts;
  parse_login(login, &parts);
  char connect_string[256] = "";
  if (std::strncmp(parts.connect, kEmbeddedPrefix, kEmbeddedPrefixLen) == 0) {
    s->api = embedded_client();
    copy_text(connect_string, sizeof connect_string, parts.connect + kEmbeddedPrefixLen,
              std::strlen(parts.connect + kEmbeddedPrefixLen));
  } else {
    char reason[512];
    s->api = vendor_client(reason, sizeof reason);
    if (!s->api) {
      session_messagef(s, "%s\n", reason);
      return -1;
    }
    if (parts.credential == OCI_CRED_RDBMS && parts.connect[0])
      build_connect_descriptor(connect_string, sizeof connect_string, parts.connect);
  }
  return open_session(s, parts.user, parts.password, connect_string, parts.credential, parts.mode);
}

int open_session(DbSession* s, const char* user, const char* password, const char* connect_string,
                 uint32_t credential, uint32_t mode) {
  const DbClient* api = s->api;
  // Threaded mode always: parallel workers and library hosts use the client
  // library from several threads at once, which it must know to protect its
  // process-wide state.
  if (api->OCIEnvNlsCreate(&s->env, OCI_THREADED, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                           s->charset_id, s->ncharset_id) != OCI_SUCCESS) {
    s->env = nullptr;
    return -1;
  }
  if (api->OCIHandleAlloc(s->env, &s->error, OCI_HTYPE_ERROR, 0, nullptr) != OCI_SUCCESS ||
      api->OCIHandleAlloc(s->env, &s->server, OCI_HTYPE_SERVER, 0, nullptr) != OCI_SUCCESS ||
      api->OCIHandleAlloc(s->env, &s->service, OCI_HTYPE_SVCCTX, 0, nullptr) != OCI_SUCCESS) {
    api->OCIHandleFree(s->env, OCI_HTYPE_ENV);
    s->env = s->error = s->server = s->service = nullptr;
    return -1;
  }
  // The engine observer (tests only) is given before any statement.
  const EngineObserver& o = s->observer;
  if (o.statement || o.call || o.lob_memory_peak) {
    api->OCIAttrSet(s->env, OCI_HTYPE_ENV, &s->observer, 0, kAttrEngineObserver, s->error);
  }
  auto text = [](const char* t) { return reinterpret_cast<const unsigned char*>(t); };
  bool ok =
      api->OCIServerAttach(s->server, s->error, text(connect_string),
                           static_cast<int32_t>(std::strlen(connect_string)), OCI_DEFAULT) == OCI_SUCCESS;
  bool attached = ok;
  ok = ok && api->OCIAttrSet(s->service, OCI_HTYPE_SVCCTX, s->server, 0, OCI_ATTR_SERVER,
                             s->error) == OCI_SUCCESS;
  ok = ok && api->OCIHandleAlloc(s->env, &s->session, OCI_HTYPE_SESSION, 0, nullptr) == OCI_SUCCESS;
  ok = ok && api->OCIAttrSet(s->session, OCI_HTYPE_SESSION, const_cast<char*>(user),
                             static_cast<uint32_t>(std::strlen(user)), OCI_ATTR_USERNAME,
                             s->error) == OCI_SUCCESS;
  ok = ok && api->OCIAttrSet(s->session, OCI_HTYPE_SESSION, const_cast<char*>(password),
                             static_cast<uint32_t>(std::strlen(password)), OCI_ATTR_PASSWORD,
                             s->error) == OCI_SUCCESS;
  int32_t begin_status =
      ok ? api->OCISessionBegin(s->service, s->error, s->session, credential, mode) : OCI_ERROR;
  bool begun = begin_status == OCI_SUCCESS || begin_status == OCI_SUCCESS_WITH_INFO;
  if (begin_status == OCI_SUCCESS_WITH_INFO) {
    // Logged in with a warning waiting (for example ORA-28002, the password
    // will expire soon): the user sees it and the run goes on.
    report_error(s);
    s->error_code = 0;
  }
  ok = begun && api->OCIAttrSet(s->service, OCI_HTYPE_SVCCTX, s->session, 0, OCI_ATTR_SESSION,
                                s->error) == OCI_SUCCESS;
  if (ok) return 0;
  report_error(s);
  // Release what was built, so a job run many times leaks nothing; only the
  // steps that succeeded are undone.
  if (begun) api->OCISessionEnd(s->service, s->error, s->session, OCI_DEFAULT);
  if (attached) api->OCIServerDetach(s->server, s->error, OCI_DEFAULT);
  api->OCIHandleFree(s->env, OCI_HTYPE_ENV);
  s->env = s->error = s->server = s->service = s->session = nullptr;
  return -1;
}

void close_session(DbSession* s) {
  if (!s->api) return;
  if (s->session && s->service) s->api->OCISessionEnd(s->service, s->error, s->session, OCI_DEFAULT);
  if (s->server) s->api->OCIServerDetach(s->server, s->error, OCI_DEFAULT);
  if (s->env) s->api->OCIHandleFree(s->env, OCI_HTYPE_ENV);
  s->env = s->error = s->server = s->service = s->session = nullptr;
}

}  // namespace rowvane
