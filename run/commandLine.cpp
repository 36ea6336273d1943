#include "run/commandLine.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const char* const kMissing = "missing";
const char* const kRuntimeFolder = "/run/Tarvex_rt";
const char* const kFlowSensorFile = "flowsensors.txt";
constexpr int kMaxCycleTime = 3599;
constexpr int kDetectorMarginS = 10;

const struct option kOptions[] = {
    {"GCport", required_argument, nullptr, 'a'},
    {"method", required_argument, nullptr, 'b'},
    {"root", required_argument, nullptr, 'c'},
    {"cycle", required_argument, nullptr, 'd'},
    {"PIDdelay", required_argument, nullptr, 'e'},
    {"PIDcycle", required_argument, nullptr, 'f'},
    {"PIDgain", required_argument, nullptr, 'g'},
    {"samplevolume", required_argument, nullptr, 'h'},
    {"dailysub", no_argument, nullptr, 'i'},
    {"silent", no_argument, nullptr, 'j'},
    {"runtimedump", no_argument, nullptr, 'k'},
    {nullptr, 0, nullptr, 0},
};

// Reads a number as "%i" does (decimal, 0 octal, 0x hexadecimal, trailing
// characters ignored); an argument that is no number leaves the value alone.
// Values beyond int are clamped rather than wrapped.
void readNumber(const char* text, int* value) {
  char* end = nullptr;
  errno = 0;
  long number = strtol(text, &end, 0);
  if (end == text) return;
  if (number > INT_MAX) number = INT_MAX;
  if (number < INT_MIN) number = INT_MIN;
  *value = static_cast<int>(number);
}

void copyText(CommandLine* line, char* field, size_t size, const char* text, const char* option) {
  if (strlen(text) >= size) {
    if (line->tooLongOption[0] == '\0') {
      snprintf(line->tooLongOption, sizeof line->tooLongOption, "%s", option);
      line->tooLongLimit = static_cast<int>(size) - 1;
    }
    return;
  }
  memcpy(field, text, strlen(text) + 1);
}

bool gainValid(int gain) {
  return gain == 1 || gain == 2 || gain == 4 || gain == 8;
}

bool requiredMissing(const CommandLine* line) {
  return strcmp(line->portPath, kMissing) == 0 || strcmp(line->rootFolder, kMissing) == 0 ||
         line->cycleTime == 0 || line->pidDelay == 0 || line->pidDuration == 0 ||
         !gainValid(line->pidGain);
}

void printBanner(const CommandLine* line) {
  printf("\n");
  printf("   Starting with Tarvex on %s\n", line->portPath);
  printf("   GC Method is in file %s\n", line->methodPath);
  printf("   Root folder for file storage is %s\n", line->rootFolder);
  printf("   Cycletime is %is\n", line->cycleTime);
  printf("   PID starts after %is and runs for %is\n", line->pidDelay, line->pidDuration);
  printf("   PID A/D PGA gain set to %i\n", line->pidGain);
  if (line->dailySub > 0) printf("   + user option: daily subdirectories are created\n");
  if (line->sampleVolume > 0) {
    printf("   + user option: limit sample volume to %i ccm\n", line->sampleVolume);
  }
}

int refuseNegative(const char* option, int value) {
  if (value >= 0) return 0;
  printf("Option -%s must not be negative (%d given): seconds count from 1. Abort.\n", option,
         value);
  return kStartupFailure;
}
}  // namespace

void parseCommandLine(int argc, char** argv, CommandLine* line) {
  memset(line, 0, sizeof *line);
  snprintf(line->portPath, sizeof line->portPath, "%s", kMissing);
  snprintf(line->rootFolder, sizeof line->rootFolder, "%s", kMissing);

  int option;
  while ((option = getopt_long_only(argc, argv, "a:b:c:d:e:f:g:", kOptions, nullptr)) != -1) {
    switch (option) {
      case 'a':
        copyText(line, line->portPath, sizeof line->portPath, optarg, "GCport");
        break;
      case 'b':
        copyText(line, line->methodPath, sizeof line->methodPath, optarg, "method");
        line->methodGiven = 1;
        break;
      case 'c':
        copyText(line, line->rootFolder, sizeof line->rootFolder, optarg, "root");
        break;
      case 'd':
        readNumber(optarg, &line->cycleTime);
        break;
      case 'e':
        readNumber(optarg, &line->pidDelay);
        break;
      case 'f':
        readNumber(optarg, &line->pidDuration);
        break;
      case 'g':
        readNumber(optarg, &line->pidGain);
        break;
      case 'h':
        readNumber(optarg, &line->sampleVolume);
        break;
      case 'i':
        line->dailySub = 1;
        break;
      case 'j':
        line->silent = 1;
        break;
      case 'k':
        line->runtimeDump = 1;
        break;
      default:  // getopt has said what it did not understand; go on
        break;
    }
  }
}

int checkCommandLine(const CommandLine* line, FlowSensorDefinition* flowSensors) {
  if (line->tooLongOption[0] != '\0') {
    printf("Option -%s takes at most %d characters; the one given is longer. Abort.\n",
           line->tooLongOption, line->tooLongLimit);
    return kStartupFailure;
  }
  if (requiredMissing(line)) {
    printUsage();
    return kStartupFailure;
  }

  struct stat status;
  if (stat(kRuntimeFolder, &status) != 0 && line->runtimeDump) {
    printf("folder /run/Tarvex_rt does not exist\n");
    return kStartupFailure;
  }
  if (stat(line->rootFolder, &status) != 0) {
    printf("cannot access %s\n", line->rootFolder);
    return kStartupFailure;
  }
  if ((status.st_mode & 0x4000) == 0) {  // the directory bit of the file type
    printf("%s is no directory\n", line->rootFolder);
    return kStartupFailure;
  }
  // As the kernel will decide it at the end of the cycle: permissions, ACLs
  // and read-only mounts alike.
  if (access(line->rootFolder, W_OK | X_OK) != 0) {
    printf("cannot create folders and files in %s: %s\n", line->rootFolder, strerror(errno));
    return kStartupFailure;
  }
  if (line->sampleVolume > 0 && stat(kFlowSensorFile, &status) != 0) {
    printf("Sample volume defined but no flowsensors.txt definition found\n");
    return kStartupFailure;
  }
  if (line->cycleTime > kMaxCycleTime) {
    printf("Cycle time too long, max 3599s. Abort!\n");
    return kStartupFailure;
  }

  printBanner(line);

  // Summed wide: huge option values must not overflow.
  if (static_cast<long long>(line->pidDelay) + line->pidDuration + kDetectorMarginS >
      line->cycleTime) {
    printf("\nError: cycletime must be at lease 10s longer than PID delay+runtime\nAbort.\n");
    return kStartupFailure;
  }

  memset(flowSensors, 0, sizeof *flowSensors);
  if (line->sampleVolume > 0) {
    int result = readFlowSensorFile(kFlowSensorFile, flowSensors);
    if (result == kFlowFileUnreadable) {
      printf("Cannot read flowsensors.txt: %s. Abort.\n", strerror(errno));
      return kStartupFailure;
    }
    if (result != kFlowFileOk) {
      printf("Error parsing flowsensors.txt, abort.\n");
      return kStartupFailure;
    }
  }

  if (int refused = refuseNegative("cycle", line->cycleTime)) return refused;
  if (int refused = refuseNegative("PIDdelay", line->pidDelay)) return refused;
  if (int refused = refuseNegative("PIDcycle", line->pidDuration)) return refused;
  if (!line->methodGiven) {
    printf("No method file given: name it with -method [METHODFILE]. Abort.\n");
    return kStartupFailure;
  }
  return 0;
}

void printUsage() {
  static const char* const kUsage[] = {
      "",
      "Tarvex -GCport [GCPORT] -method [METHODFILE] -root [ROOTFOLDER] -cycle [CYCLETIME]",
      "-PIDdelay [PIDDELAY] -PIDcycle [PIDCYCLE] -PIDgain [PIDGAIN] (-samplevolume [VOL])",
      "(-dailysub) (-silent) (-runtimedump)",
      "\n[MANDATORY PARAMETERS]",
      "  GCPORT      address of COM port of Tarvex     example /dev/ttyUSB1 or COM8",
      "  METHODFILE  file which contains the GC method definition",
      ("  ROOTFOLDER  root folder for data storage.\n              if -dailysubdir is selected, "
       "the data will be stored in a"),
      "              subdirectory of the root folder, said subdirectory having the",
      "              name YYYY-MM-DD. If -dailysubdir is NOT selected, the data will",
      "              be stored directly in the root folder",
      "  CYCLETIME   duration of the measurement cycle in seconds.",
      "              this is the interval at which a cycle is started.",
      "              user must take care that this is < than the real duration",
      "              of the measurement cycle.",
      "  PIDDELAY    delay in seconds of PID acquisition start with respect to",
      "              cycle start. This is typically 60s.",
      "  PIDCYCLE    total duration of the PID acquisition in seconds.",
      "  PIDGAIN     gain of the PID A/D converter PGA (1, 2, 4 or 8 accepted)",
      "[OPTIONAL PARAMETERS]",
      "  if samplevolume is set, the sampling pump will be automatically stopped",
      "        after reaching [VOL] cubic centimeters",
      "  if dailysub flag is set, the data is stored in daily subfolders",
      "  if silent flag is set, program runs silently, no output",
      "  if runtimedump flag is set, dump runtime data to /run/Tarvex_rt tmpfs",
      "Exit status 20: [CRITICAL] T-controller comunication fail!",
  };
  for (const char* text : kUsage) printf("%s\n", text);
}
