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

#include "output/panicLog.h"
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

// One result file while it is written. The first failure stops the writing:
// rows after a gap would look complete and be wrong.
struct ResultFile {
  FILE* file;
  char path[kPathSize];
  int error;  // errno of the first failure, 0 while all went well
};

// Remembers a file that did not reach the disk whole, once per path, so that
// the end of the run can name it again.
void rememberLostFile(GcRun* run, const char* path, const char* reason) {
  int named = run->lostFileCount < kLostFileCapacity ? run->lostFileCount : kLostFileCapacity;
  for (int i = 0; i < named; i++) {
    if (strcmp(run->lostFiles[i].path, path) == 0) return;
  }
  if (named < kLostFileCapacity) {
    LostFile* lost = &run->lostFiles[named];
    snprintf(lost->path, sizeof lost->path, "%s", path);
    snprintf(lost->reason, sizeof lost->reason, "%s", reason);
  }
  run->lostFileCount++;
}

// Builds the path from the format and opens the file for appending. A path
// that does not fit is never cut into another name: the file is skipped, and
// so is one that does not open, each with one line naming the intended path.
__attribute__((format(printf, 3, 4))) bool openResultFile(GcRun* run, ResultFile* result,
                                                          const char* format, ...) {
  result->file = nullptr;
  result->error = 0;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(result->path, kPathSize, format, args);
  va_end(args);
  if (length < 0 || length >= kPathSize) {
    printf("Result file ");
    vprintf(format, again);
    printf(" not written: path longer than %d characters\n", kPathSize - 1);
    memcpy(result->path + kPathSize - 4, "...", 4);  // named cut, and shown to be
    char reason[64];
    snprintf(reason, sizeof reason, "path longer than %d characters", kPathSize - 1);
    rememberLostFile(run, result->path, reason);
  } else {
    result->file = fopen(result->path, "a");
    if (result->file == nullptr) {
      const char* reason = strerror(errno);  // before printf, which may set errno itself
      printf("Result file %s not written: %s\n", result->path, reason);
      rememberLostFile(run, result->path, reason);
    }
  }
  va_end(again);
  return result->file != nullptr;
}

__attribute__((format(printf, 2, 3))) void writeRow(ResultFile* result, const char* format, ...) {
  if (result->error != 0) return;
  va_list args;
  va_start(args, format);
  if (vfprintf(result->file, format, args) < 0) result->error = errno != 0 ? errno : EIO;
  va_end(args);
}

// Flushes and closes a result file and says so when its rows did not all
// reach the disk.
void closeResultFile(GcRun* run, ResultFile* result) {
  if (result->error == 0 && fflush(result->file) != 0) result->error = errno != 0 ? errno : EIO;
  if (fclose(result->file) != 0 && result->error == 0) result->error = errno != 0 ? errno : EIO;
  result->file = nullptr;
  if (result->error != 0) {
    printf("Result file %s not completely written: %s\n", result->path, strerror(result->error));
    rememberLostFile(run, result->path, strerror(result->error));
  }
}

// The second controller's file has one more empty line under its counters.
void writeTemperatureLog(GcRun* run, int address, const TcLog* log, int faults, int seqFaults,
                         int retries, bool second) {
  ResultFile result;
  if (!openResultFile(run, &result, "%s/%s/TC%2d_%s.TLog", run->rootFolder, run->dateFolder,
                      address, run->fileStamp)) {
    return;
  }
  writeRow(&result, "  faults: %3d    seq_faults: %3d     retries: %3d\n%s", faults, seqFaults,
           retries, second ? "\n" : "");
  writeRow(&result, "\nTime\tColumnT\t WarmT\n----------------------------------\n");
  int entries = validEntries(log->count, kTcLogCapacity);
  for (int i = 0; i < entries; i++) {
    writeRow(&result, "%5i\t%5.1f\t%5.1f\n", static_cast<int>(log->time[i]),
             static_cast<double>(log->columnT[i]), static_cast<double>(log->warmT[i]));
  }
  closeResultFile(run, &result);
}

}  // namespace

void prepareDataFolder(GcRun* run) {
  time_t start = run->cycleStart;
  struct tm local = {};
  localtime_r(&start, &local);
  strftime(run->dateFolder, sizeof run->dateFolder, "%F", &local);
  strftime(run->fileStamp, sizeof run->fileStamp, "%F_%H-%M-00", &local);
  int length =
      snprintf(run->dayPath, sizeof run->dayPath, "%s/%s", run->rootFolder, run->dateFolder);
  if (length < 0 || static_cast<size_t>(length) >= sizeof run->dayPath) {
    // Too long for the record: creating the cut-off name would make a stray
    // folder. Said once here; the writers report the paths they cannot use.
    printf("Data folder %s/%s not created: path longer than %d characters\n", run->rootFolder,
           run->dateFolder, static_cast<int>(sizeof run->dayPath) - 1);
    run->dayPath[0] = '\0';
    return;
  }
  // Said here with its own reason: the writers would only see the files missing.
  int error = 0;
  struct stat status;
  if (stat(run->dayPath, &status) != 0) {
    if (mkdir(run->dayPath, 0777) != 0) {
      error = errno;
      // Made in the meantime by someone else: as good as ours.
      if (error == EEXIST && stat(run->dayPath, &status) == 0 && S_ISDIR(status.st_mode)) error = 0;
    }
  } else if (!S_ISDIR(status.st_mode)) {
    error = ENOTDIR;
  }
  if (error != 0) printf("Data folder %s not created: %s\n", run->dayPath, strerror(error));
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

  ResultFile result;
  if (!openResultFile(run, &result, "%s/%s/Flow_%s.TLog", run->rootFolder, run->dateFolder,
                      run->fileStamp)) {
    return;
  }
  for (int g = 0; g < kFlowGroups; g++) {
    if (readings[g] == 0) continue;
    float sampleMean = sampleSum[g] / static_cast<float>(readings[g]);
    float detectorMean = detectorSum[g] / static_cast<float>(readings[g]);
    writeRow(&result, "%5i\t%5.1f\t%5.1f\n", g, static_cast<double>(sampleMean),
             static_cast<double>(detectorMean));
  }
  if (run->sampledVolume < 0.0F) {
    writeRow(&result, "\nTarget sample volume %d ccm reached at cycle time T=%d\n",
             run->targetVolume, run->volumeReachedAt);
  } else {
    writeRow(&result, "\nWARNING: target sample volume %d ccm not reached!\n", run->targetVolume);
  }
  closeResultFile(run, &result);
}

void writePidFile(GcRun* run) {
  ResultFile result;
  if (!openResultFile(run, &result, "%s/%s/PID_%s.dat", run->rootFolder, run->dateFolder,
                      run->fileStamp)) {
    return;
  }
  const PidLog* log = &run->pidLog;
  int entries = validEntries(log->count, kPidLogCapacity);
  for (int i = 0; i < entries; i++) {
    double millivolts = static_cast<double>(log->voltage[i]) * 1000.0;
    writeRow(&result, "%6i\t%8.5f\t%2d\t%8.5f\n", static_cast<int>(log->time[i]), millivolts,
             static_cast<int>(log->status[i]), 0.0);
  }
  closeResultFile(run, &result);
}

int reportIncompleteResultFiles(GcRun* run) {
  if (run->lostFileCount == 0) return 0;
  int named = run->lostFileCount < kLostFileCapacity ? run->lostFileCount : kLostFileCapacity;
  char text[kLostFileCapacity * (sizeof(LostFile) + 8) + 64];
  int used = snprintf(text, sizeof text, "  result files incomplete:");
  for (int i = 0; i < named; i++) {
    const LostFile* lost = &run->lostFiles[i];
    printf("Incomplete result file %s: %s\n", lost->path, lost->reason);
    if (used >= 0 && static_cast<size_t>(used) < sizeof text) {
      used += snprintf(text + used, sizeof text - static_cast<size_t>(used), "%s %s (%s)",
                       i > 0 ? "," : "", lost->path, lost->reason);
    }
  }
  panicLog(run, kPanic, text);
  return run->lostFileCount;
}
