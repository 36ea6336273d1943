// The dated data folder and the result files of a cycle. Everything recorded
// in memory during the cycle is written here in one pass per file, appended
// to whatever an earlier run of the same minute left.
#include "output/resultFiles.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "run/gcRun.h"

namespace {

constexpr int kPathSize = 512;  // a result file's path: at most 511 characters
constexpr int kFlowGroups = 60;
constexpr int kFlowGroupSize = 60;

// Number of entries a log may be read for, whatever its count says.
int validEntries(int count, int capacity) {
  if (count < 0) return 0;
  return count < capacity ? count : capacity;
}

// Builds the path from the format and opens the file for appending. A path
// that does not fit is never cut into another name: the file is skipped, and
// so is one that does not open, each with one line naming the intended path.
__attribute__((format(printf, 2, 3))) FILE* openResultFile(char* path, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(path, kPathSize, format, args);
  va_end(args);
  FILE* file = nullptr;
  if (length < 0 || length >= kPathSize) {
    printf("Result file ");
    vprintf(format, again);
    printf(" not written: path longer than %d characters\n", kPathSize - 1);
  } else {
    file = fopen(path, "a");
    if (file == nullptr) printf("Result file %s not written: %s\n", path, strerror(errno));
  }
  va_end(again);
  return file;
}

// Closes a result file and says so when its rows did not all reach the disk.
void closeResultFile(FILE* file, const char* path) {
  int failed = ferror(file);
  int savedErrno = errno;
  if (fclose(file) != 0) {
    failed = 1;
    savedErrno = errno;
  }
  if (failed) {
    printf("Result file %s not completely written: %s\n", path,
           savedErrno != 0 ? strerror(savedErrno) : "write error");
  }
}

// The second controller's file has one more empty line under its counters.
void writeTemperatureLog(const GcRun* run, int address, const TcLog* log, int faults, int seqFaults,
                         int retries, bool second) {
  char path[kPathSize];
  FILE* file = openResultFile(path, "%s/%s/TC%2d_%s.TLog", run->rootFolder, run->dateFolder,
                              address, run->fileStamp);
  if (file == nullptr) return;
  if (second) {
    fprintf(file, "  faults: %3d    seq_faults: %3d     retries: %3d\n\n", faults, seqFaults,
            retries);
  } else {
    fprintf(file, "  faults: %3d    seq_faults: %3d     retries: %3d\n", faults, seqFaults,
            retries);
  }
  fputs("\nTime\tColumnT\t WarmT\n----------------------------------\n", file);
  int entries = validEntries(log->count, kTcLogCapacity);
  for (int i = 0; i < entries; i++) {
    fprintf(file, "%5i\t%5.1f\t%5.1f\n", static_cast<int>(log->time[i]),
            static_cast<double>(log->columnT[i]), static_cast<double>(log->warmT[i]));
  }
  closeResultFile(file, path);
}

}  // namespace

void prepareDataFolder(GcRun* run) {
  time_t start = run->cycleStart;
  struct tm local = {};
  localtime_r(&start, &local);
  strftime(run->dateFolder, sizeof run->dateFolder, "%F", &local);
  int length =
      snprintf(run->dayPath, sizeof run->dayPath, "%s/%s", run->rootFolder, run->dateFolder);
  if (length < 0 || static_cast<size_t>(length) >= sizeof run->dayPath) {
    // Too long for the record: creating the cut-off name would make a stray
    // folder. The writers report the paths they cannot use.
    run->dayPath[0] = '\0';
  } else {
    struct stat status;
    if (stat(run->dayPath, &status) != 0) mkdir(run->dayPath, 0777);
  }
  strftime(run->fileStamp, sizeof run->fileStamp, "%F_%H-%M-00", &local);
}

void writeTemperatureLogs(GcRun* run) {
  writeTemperatureLog(run, run->tc1Address, &run->tc1Log, run->tc1Faults, run->tc1SeqFaults,
                      run->tc1Retries, false);
  writeTemperatureLog(run, run->tc2Address, &run->tc2Log, run->tc2Faults, run->tc2SeqFaults,
                      run->tc2Retries, true);
}

void writeFlowLog(GcRun* run) {
  float sampleSum[kFlowGroups] = {};
  float detectorSum[kFlowGroups] = {};
  int readings[kFlowGroups] = {};
  const FlowLog* log = &run->flowLog;
  int entries = validEntries(log->count, kFlowLogCapacity);
  for (int k = 0; k < entries; k++) {
    int group = k / kFlowGroupSize;
    if (group >= kFlowGroups) break;
    sampleSum[group] += log->sampleFlow[k];
    detectorSum[group] += log->detectorFlow[k];
    readings[group]++;
  }

  char path[kPathSize];
  FILE* file =
      openResultFile(path, "%s/%s/Flow_%s.TLog", run->rootFolder, run->dateFolder, run->fileStamp);
  if (file == nullptr) return;
  for (int g = 0; g < kFlowGroups; g++) {
    if (readings[g] == 0) continue;
    float sampleMean = sampleSum[g] / static_cast<float>(readings[g]);
    float detectorMean = detectorSum[g] / static_cast<float>(readings[g]);
    fprintf(file, "%5i\t%5.1f\t%5.1f\n", g, static_cast<double>(sampleMean),
            static_cast<double>(detectorMean));
  }
  if (run->sampledVolume < 0.0F) {
    fprintf(file, "\nTarget sample volume %d ccm reached at cycle time T=%d\n", run->targetVolume,
            run->volumeReachedAt);
  } else {
    fprintf(file, "\nWARNING: target sample volume %d ccm not reached!\n", run->targetVolume);
  }
  closeResultFile(file, path);
}

void writePidFile(GcRun* run) {
  char path[kPathSize];
  FILE* file =
      openResultFile(path, "%s/%s/PID_%s.dat", run->rootFolder, run->dateFolder, run->fileStamp);
  if (file == nullptr) return;
  const PidLog* log = &run->pidLog;
  int entries = validEntries(log->count, kPidLogCapacity);
  for (int i = 0; i < entries; i++) {
    double millivolts = static_cast<double>(log->voltage[i]) * 1000.0;
    fprintf(file, "%6i\t%8.5f\t%2d\t%8.5f\n", static_cast<int>(log->time[i]), millivolts,
            static_cast<int>(log->status[i]), 0.0);
  }
  closeResultFile(file, path);
}
