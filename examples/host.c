/* A small host of the ROWVANE library: unloads a query from the sample
 * database into a CSV file, receiving every message through its own callback.
 *
 *   cc examples/host.c $(pkg-config --cflags --libs rowvane) -o host
 *   ./host 'demo/demo@sqlite:examples/demo.db' 'select * from employees' employees.csv
 */
#include <stdio.h>

#include <rowvane.h>

struct counts {
  int lines;
};

static void on_message(void* user_data, const char* text) {
  struct counts* c = (struct counts*)user_data;
  c->lines++;
  fprintf(stderr, "[rowvane] %s", text);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s LOGIN QUERY OUTPUT\n", argv[0]);
    return 2;
  }
  ROWVANEHandle job = NULL;
  ROWVANEHandleAlloc(&job);
  if (!job) {
    fprintf(stderr, "out of memory\n");
    return 2;
  }
  char option[8192];
  snprintf(option, sizeof option, "user=%s", argv[1]);
  ROWVANEHandleSetAttr(job, option);
  snprintf(option, sizeof option, "query=%s", argv[2]);
  ROWVANEHandleSetAttr(job, option);
  snprintf(option, sizeof option, "file=%s", argv[3]);
  ROWVANEHandleSetAttr(job, option);
  ROWVANEHandleSetAttr(job, "text=CSV");

  struct counts c = {0};
  ROWVANEHandleCallback(job, &c, on_message);
  int result = ROWVANEHandleExecute(job);
  ROWVANEHandleFree(job);
  printf("result %d, %d message lines\n", result, c.lines);
  return result == 0 ? 0 : 1;
}
