// The runtime dump: the latest column temperature of each T-controller and
// the growing detector trace, rewritten in every pass of the scheduler into a
// memory-backed folder that the installation provides.
#include "output/runtimeDump.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/gcRun.h"

const char* const kRuntimeDumpFolder = "/run/Tarvex_rt";

namespace {

const char* dumpFolder = kRuntimeDumpFolder;

// Index into GcRun::dumpFailSaid.
enum DumpFile { pcFile = 0, gcFile = 1, runtimeFile = 2 };
const char* const kDumpFileNames[3] = {"PC.php", "GC.php", "runtime.dat"};

// runtime.dat stays empty up to this many detector readings...
constexpr int kTruncateAfter = 30;
// ...and gets rows only once there are more than this many.
constexpr int kRowsAfter = 45;

// The dump never stops the cycle: a file that cannot be written is skipped,
// and said once per file and run so a vanished folder does not flood the
// console every pass.
void sayOnce(GcRun* run, DumpFile which, const char* path, const char* reason) {
  if (run->dumpFailSaid[which]) return;
  run->dumpFailSaid[which] = 1;
  printf("Runtime dump file %s not written: %s\n", path, reason);
}

FILE* openDumpFile(GcRun* run, DumpFile which, const char* mode, char* path, int pathSize) {
  int length =
      snprintf(path, static_cast<size_t>(pathSize), "%s/%s", dumpFolder, kDumpFileNames[which]);
  if (length < 0 || length >= pathSize) {
    sayOnce(run, which, kDumpFileNames[which], "path too long");
    return nullptr;
  }
  FILE* file = fopen(path, mode);
  if (file == nullptr) sayOnce(run, which, path, strerror(errno));
  return file;
}

void closeDumpFile(GcRun* run, DumpFile which, FILE* file, const char* path) {
  int failed = ferror(file);
  int savedErrno = errno;
  if (fclose(file) != 0) {
    failed = 1;
    savedErrno = errno;
  }
  if (failed) sayOnce(run, which, path, savedErrno != 0 ? strerror(savedErrno) : "write error");
}

float latestColumnT(const TcLog* log) {
  int count = log->count < kTcLogCapacity ? log->count : kTcLogCapacity;
  return log->columnT[count - 1];
}

void writeTemperature(GcRun* run, DumpFile which, const TcLog* log) {
  char path[512];
  FILE* file = openDumpFile(run, which, "w+", path, sizeof path);
  if (file == nullptr) return;
  fprintf(file, "%5.1f", static_cast<double>(latestColumnT(log)));
  closeDumpFile(run, which, file, path);
}

}  // namespace

void setRuntimeDumpFolder(const char* folder) {
  dumpFolder = folder;
}

void dumpRuntime(GcRun* run) {
  if (run->runtimeDump == 0) return;
  const TcLog* first = &run->tc1Log;
  const TcLog* second = &run->tc2Log;
  if (first->count > 0) writeTemperature(run, pcFile, first);
  if (second->count > 0) writeTemperature(run, gcFile, second);

  const PidLog* pid = &run->pidLog;
  int count = pid->count < kPidLogCapacity ? pid->count : kPidLogCapacity;
  if (count <= run->dumpedCount || count <= kTruncateAfter) return;

  char path[512];
  FILE* file =
      openDumpFile(run, runtimeFile, run->dumpedCount == 0 ? "w+" : "a", path, sizeof path);
  if (file != nullptr) {
    if (first->count > 0 && second->count > 0 && count > kRowsAfter) {
      double pcc = latestColumnT(first);
      double gcc = latestColumnT(second);
      for (int i = run->dumpedCount; i < count; i++) {
        double millivolts = static_cast<double>(pid->voltage[i]) * 1000.0;
        fprintf(file, "%3i, %8.5lf, %5.1f, %5.1f\n", static_cast<int>(pid->time[i]), millivolts,
                pcc, gcc);
      }
    }
    closeDumpFile(run, runtimeFile, file, path);
  }
  run->dumpedCount = count;
}
