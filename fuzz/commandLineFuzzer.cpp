// The command line: argument vectors built from the input, parsed and checked
// as the start-up does. The first input byte picks the working folder (a
// valid, a malformed, a missing flowsensors.txt, or a folder by that name);
// the rest, split at NUL bytes, follows the program name.
#include <ftw.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devices/flow.h"
#include "fuzz/fuzzSupport.h"
#include "run/commandLine.h"

namespace {
constexpr int kPlaceCount = 4;
const char* const kPlaces[kPlaceCount] = {"sensors-good", "sensors-malformed", "sensors-missing",
                                          "sensors-folder"};
std::string top;
std::string places[kPlaceCount];

void writeFile(const std::string& path, const char* text) {
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr || fputs(text, file) < 0 || fclose(file) != 0) {
    perror(path.c_str());
    abort();
  }
}

void makeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) {
    perror(path.c_str());
    abort();
  }
}

// Each place holds a folder "data" (a valid root), a plain file "plain" (a
// root that is no folder) and its kind of flowsensors.txt.
void makePlaces() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tarvex-fuzz-cli-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  top = pattern;
  for (int i = 0; i < kPlaceCount; ++i) {
    places[i] = top + "/" + kPlaces[i];
    makeFolder(places[i]);
    makeFolder(places[i] + "/data");
    writeFile(places[i] + "/plain", "not a folder\n");
  }
  writeFile(places[0] + "/flowsensors.txt",
            "FS1: 0x48\t 500.0\nFS2: 0x49\t 100.0\n"
            "SAMPLING_STARTTIME: 3\n");
  writeFile(places[1] + "/flowsensors.txt", "FS1: 0x48 500.0\nFS2:\n");
  makeFolder(places[3] + "/flowsensors.txt");
}

void removePlaces() {
  nftw(
      top.c_str(),
      [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

bool terminated(const char* field, size_t size) {
  return memchr(field, '\0', size) != nullptr;
}

bool gainValid(int gain) {
  return gain == 1 || gain == 2 || gain == 4 || gain == 8;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  makePlaces();
  atexit(removePlaces);
  // The program's messages are noise here; libFuzzer reports on standard error.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int place = data[0] % kPlaceCount;
  if (chdir(places[place].c_str()) != 0) abort();

  std::vector<std::string> words;
  if (size > 1) {
    const char* text = reinterpret_cast<const char*>(data + 1);
    std::string rest(text, size - 1);
    size_t start = 0;
    for (;;) {
      size_t end = rest.find('\0', start);
      if (end == std::string::npos) {
        words.push_back(rest.substr(start));
        break;
      }
      words.push_back(rest.substr(start, end - start));
      start = end + 1;
    }
  }
  static char programName[] = "Tarvex";
  std::vector<char*> argv;
  argv.push_back(programName);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // getopt keeps its position between calls; 0 makes glibc start afresh.
  optind = 0;
  CommandLine line;
  memset(&line, 0xA5, sizeof line);
  parseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), &line);

  FUZZ_REQUIRE(terminated(line.portPath, sizeof line.portPath));
  FUZZ_REQUIRE(terminated(line.methodPath, sizeof line.methodPath));
  FUZZ_REQUIRE(terminated(line.rootFolder, sizeof line.rootFolder));
  FUZZ_REQUIRE(terminated(line.tooLongOption, sizeof line.tooLongOption));

  FlowSensorDefinition flowSensors;
  memset(&flowSensors, 0xA5, sizeof flowSensors);
  int status = checkCommandLine(&line, &flowSensors);
  fflush(stdout);

  // A run may start only with values that the checks promise.
  FUZZ_REQUIRE(status == 0 || status == kStartupFailure);
  if (status == 0) {
    FUZZ_REQUIRE(line.tooLongOption[0] == '\0');
    FUZZ_REQUIRE(line.methodGiven == 1);
    FUZZ_REQUIRE(gainValid(line.pidGain));
    FUZZ_REQUIRE(line.cycleTime > 0 && line.cycleTime <= 3599);
    FUZZ_REQUIRE(line.pidDelay > 0 && line.pidDuration > 0);
    FUZZ_REQUIRE(static_cast<long long>(line.pidDelay) + line.pidDuration + 10 <= line.cycleTime);
    if (line.sampleVolume > 0) {
      FUZZ_REQUIRE(place == 0);
      FUZZ_REQUIRE(flowSensors.fs1Address == 0x48 && flowSensors.fs2Address == 0x49);
      FUZZ_REQUIRE(flowSensors.samplingStart == 3);
    } else {
      FUZZ_REQUIRE(flowSensors.fs1Address == 0 && flowSensors.samplingStart == 0);
    }
  }
  return 0;
}
