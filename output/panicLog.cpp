// PanicLog: dated warning and panic entries, appended in the working
// directory and kept across runs.
#include "output/panicLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "run/gcRun.h"

void panicLog(const GcRun* run, int kind, const char* text) {
  FILE* log = fopen("PanicLog", "a");
  if (log == nullptr) {
    // Every caller goes on (or ends the run) as planned; the entry is lost.
    printf("Could not write the panic log PanicLog: %s\n", strerror(errno));
    return;
  }
  char stamp[64] = "";
  time_t now = time(nullptr);
  struct tm local = {};
  if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%F %H:%M:%S", &local);

  if (kind <= 0) {
    fprintf(log, "%s: [Warning]: ", stamp);
  } else {
    fprintf(log, "%s: in [PANIC] state, re-set T-controllers.\n", stamp);
  }
  fprintf(log, "    %s\n", text != nullptr ? text : "");
  fprintf(log, "    Offending message reply: %s\n", run->lastReply);

  int failed = ferror(log);
  int savedErrno = errno;
  if (fclose(log) != 0) {
    failed = 1;
    savedErrno = errno;
  }
  if (failed) {
    printf("Could not write the panic log PanicLog: %s\n",
           savedErrno != 0 ? strerror(savedErrno) : "write error");
  }
}
