/* A host of the library written in plain C: loads the built shared library
 * with dlopen, resolves the five exported names and drives unloads of a
 * small embedded database through them. Prints "N passed, M failed". */
#include <dlfcn.h>
#include <pthread.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rowvane.h"

typedef int (*AllocFn)(ROWVANEHandle*);
typedef int (*SetAttrFn)(ROWVANEHandle, const char*);
typedef void (*CallbackFn)(ROWVANEHandle, void*, ROWVANEMessageCallback);
typedef int (*ExecuteFn)(ROWVANEHandle);
typedef void (*FreeFn)(ROWVANEHandle);

static AllocFn h_alloc;
static SetAttrFn h_set;
static CallbackFn h_callback;
static ExecuteFn h_execute;
static FreeFn h_free;

static int passed, failed;
#define CHECK(cond)                                                  \
  do {                                                               \
    if (cond) {                                                      \
      passed++;                                                      \
    } else {                                                         \
      failed++;                                                      \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                \
  } while (0)

static char db_login[1024];

static char* slurp(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  static char buf[65536];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  buf[n] = 0;
  fclose(f);
  return buf;
}

/* Counts the lines a handle's run delivers; one counter per handle. */
typedef struct {
  int lines;
  int closing;
  void* last_user_data;
  char last[256]; /* the last line delivered */
} Counter;

static void count_lines(void* user_data, const char* text) {
  Counter* c = (Counter*)user_data;
  c->lines++;
  if (strstr(text, " closed at ")) c->closing++;
  snprintf(c->last, sizeof c->last, "%s", text);
}

static Counter* g_null_counter;
static void record_user_data(void* user_data, const char* text) {
  (void)text;
  g_null_counter->lines++;
  g_null_counter->last_user_data = user_data;
}

static void make_database(const char* path) {
  sqlite3* db;
  char* err = NULL;
  remove(path);
  if (sqlite3_open(path, &db) != SQLITE_OK) exit(2);
  const char* sql =
      "CREATE TABLE t (id NUMBER(10), name VARCHAR2(20));"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2500)"
      " INSERT INTO t SELECT i, 'row ' || i FROM n;";
  if (sqlite3_exec(db, sql, NULL, NULL, &err) != SQLITE_OK) {
    fprintf(stderr, "%s\n", err);
    exit(2);
  }
  sqlite3_close(db);
}

static ROWVANEHandle new_job(const char* query, const char* file) {
  ROWVANEHandle h = NULL;
  char text[1200];
  CHECK(h_alloc(&h) == 0);
  if (!h) return NULL;
  snprintf(text, sizeof text, "user=%s", db_login);
  CHECK(h_set(h, text) == 1);
  snprintf(text, sizeof text, "query=%s", query);
  CHECK(h_set(h, text) == 1);
  if (file) {
    snprintf(text, sizeof text, "file=%s", file);
    CHECK(h_set(h, text) == 1);
  }
  return h;
}

typedef struct {
  int thread;
  int handles;
  int failures;  /* runs that failed or lost a message */
} Load;

static void* load_thread(void* arg) {
  Load* l = (Load*)arg;
  char file[64];
  snprintf(file, sizeof file, "thread_%d.txt", l->thread);
  char user[1100], out[80];
  snprintf(user, sizeof user, "user=%s", db_login);
  snprintf(out, sizeof out, "file=%s", file);
  for (int i = 0; i < l->handles; i++) {
    Counter c = {0};
    ROWVANEHandle h = NULL;
    h_alloc(&h);
    if (!h || h_set(h, user) != 1 || h_set(h, "query=t") != 1 || h_set(h, out) != 1 ||
        h_set(h, "rows=1000") != 1) {
      l->failures++;
      h_free(h);
      continue;
    }
    h_callback(h, &c, count_lines);
    /* start line, progress at 1000 and 2000, the last count, closing line, summary */
    if (h_execute(h) != 0 || c.lines != 6 || c.closing != 1) l->failures++;
    h_free(h);
  }
  return NULL;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s LIBRARY WORKDIR [RUNS [HANDLES PER THREAD]]\n", argv[0]);
    return 2;
  }
  int runs = argc > 3 ? atoi(argv[3]) : 1000;
  int threaded_handles = argc > 4 ? atoi(argv[4]) : 200;
  void* lib = dlopen(argv[1], RTLD_NOW);
  if (!lib) {
    fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  h_alloc = (AllocFn)dlsym(lib, "ROWVANEHandleAlloc");
  h_set = (SetAttrFn)dlsym(lib, "ROWVANEHandleSetAttr");
  h_callback = (CallbackFn)dlsym(lib, "ROWVANEHandleCallback");
  h_execute = (ExecuteFn)dlsym(lib, "ROWVANEHandleExecute");
  h_free = (FreeFn)dlsym(lib, "ROWVANEHandleFree");
  CHECK(h_alloc && h_set && h_callback && h_execute && h_free);
  if (!(h_alloc && h_set && h_callback && h_execute && h_free)) return 1;
  /* Nothing but the five functions is exported. */
  CHECK(dlsym(lib, "_ZN7rowvane7run_jobEPNS_9UnloadJobE") == NULL);

  mkdir(argv[2], 0755);
  if (chdir(argv[2]) != 0) return 2;
  make_database("host.db");
  /* With ROWVANE_OCI_LIBRARY set (the strict stand-in), every run goes
   * through the vendor's client library path. */
  const char* library = getenv("ROWVANE_OCI_LIBRARY");
  snprintf(db_login, sizeof db_login, "u/p@%shost.db", library && *library ? "" : "sqlite:");

  /* The default file name and result 0; a second run rewrites the file. */
  {
    Counter c = {0};
    ROWVANEHandle h = new_job("select id, name from t where id <= 3", NULL);
    h_callback(h, &c, count_lines);
    CHECK(h_execute(h) == 0);
    char* text = slurp("vanedata_1.txt");
    CHECK(text && strcmp(text, "1,row 1\n2,row 2\n3,row 3\n") == 0);
    /* The run's summary is its last line. */
    CHECK(strncmp(c.last, "Summary: 3 rows, 24 bytes, 1 files, ", 36) == 0);
    CHECK(h_execute(h) == 0);
    text = slurp("vanedata_1.txt");
    CHECK(text && strcmp(text, "1,row 1\n2,row 2\n3,row 3\n") == 0);
    CHECK(c.closing == 2);
    /* Options set between runs apply to the next run. */
    CHECK(h_set(h, "text=CSV") == 1);
    CHECK(h_execute(h) == 0);
    text = slurp("vanedata_1.txt");
    CHECK(text && strcmp(text, "ID,NAME\n1,\"row 1\"\n2,\"row 2\"\n3,\"row 3\"\n") == 0);
    h_free(h);
  }

  /* An unknown keyword, or a value the keyword does not take, is refused. */
  {
    ROWVANEHandle h = NULL;
    h_alloc(&h);
    CHECK(h_set(h, "nosuchkeyword=1") == 0);
    CHECK(h_set(h, "text=XML") == 0 && h_set(h, "head=maybe") == 0 && h_set(h, "degree=0") == 0);
    CHECK(h_set(h, "rows=5000") == 1 && h_set(h, "head=true") == 1);
    /* The manifest's keywords are the program's. */
    CHECK(h_set(h, "manifest=m.json") == 0 && h_set(h, "RESUME=yes") == 0 && h_set(h, "join=a,b") == 0);
    h_free(h);
  }

  /* A callback installed with null user data receives the run's session
   * record: the same non-null pointer for every line of one run. */
  {
    Counter c = {0};
    g_null_counter = &c;
    ROWVANEHandle h = new_job("t", "null_ud.txt");
    h_callback(h, NULL, record_user_data);
    CHECK(h_execute(h) == 0);
    CHECK(c.lines >= 2);
    CHECK(c.last_user_data != NULL);
    h_free(h);
  }

  /* Failures come back as results, with the text on the callback. */
  {
    Counter c = {0};
    ROWVANEHandle h = new_job("select * from no_such_table", "never.txt");
    h_callback(h, &c, count_lines);
    CHECK(h_execute(h) == 3);
    CHECK(c.lines == 2); /* the database's error, the summary */
    h_free(h);
    h = NULL;
    h_alloc(&h);
    h_set(h, "user=u/p@sqlite:missing.db");
    h_set(h, "query=t");
    h_callback(h, &c, count_lines);
    CHECK(h_execute(h) == -1);
    h_free(h);
  }

  /* Null handles are ignored. */
  h_free(NULL);
  h_callback(NULL, NULL, NULL);

  /* Distinct handles on distinct threads at once: 8 threads, each running
   * 200 handles one after the other; every message of each run arrives at
   * its own counter. */
  {
    enum { kThreads = 8 };
    Load load[kThreads];
    pthread_t tid[kThreads];
    for (int i = 0; i < kThreads; i++) {
      load[i].thread = i;
      load[i].handles = threaded_handles;
      load[i].failures = 0;
      pthread_create(&tid[i], NULL, load_thread, &load[i]);
    }
    for (int i = 0; i < kThreads; i++) {
      pthread_join(tid[i], NULL);
      CHECK(load[i].failures == 0);
    }
  }

  /* One handle run many times: every run succeeds (the sanitizer build
   * reports any leak at exit). */
  {
    Counter c = {0};
    ROWVANEHandle h = new_job("select id from t where id < 10", "repeat.txt");
    h_callback(h, &c, count_lines);
    int ok = 1;
    for (int i = 0; i < runs; i++) ok &= h_execute(h) == 0;
    CHECK(ok);
    CHECK(c.closing == runs);
    h_free(h);
  }

  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
