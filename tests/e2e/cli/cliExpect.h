// What the command-line tests expect to see on standard output: the usage
// text, the banner with its echo lines and the port-open failure.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "e2eHarness.h"

namespace cli {

inline std::string usageText() {
  static const char* const kLines[] = {
      "",
      "Tarvex -GCport [GCPORT] -method [METHODFILE] -root [ROOTFOLDER] -cycle [CYCLETIME]",
      "-PIDdelay [PIDDELAY] -PIDcycle [PIDCYCLE] -PIDgain [PIDGAIN] (-samplevolume [VOL])",
      "(-dailysub) (-silent) (-runtimedump)",
      "\n[MANDATORY PARAMETERS]",
      "  GCPORT      address of COM port of Tarvex     example /dev/ttyUSB1 or COM8",
      "  METHODFILE  file which contains the GC method definition",
      "  ROOTFOLDER  root folder for data storage.\n"
      "              if -dailysubdir is selected, the data will be stored in a",
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
  static_assert(sizeof kLines / sizeof kLines[0] == 26, "the usage text has 26 lines");
  std::string text;
  for (const char* line : kLines) text += std::string(line) + "\n";
  return text;
}

// The settings the banner echoes; port, method and root default to the
// harness's own paths of a run.
struct Echo {
  std::string port;
  std::string method;
  std::string root;
  int cycle = 30;
  int delay = 5;
  int duration = 12;
  int gain = 1;
  bool dailySub = false;
  int volume = 0;
};

inline Echo echoOf(const e2e::RunResult& run, int cycle = 30, int delay = 5, int duration = 12,
                   int gain = 1) {
  Echo echo;
  echo.cycle = cycle;
  echo.delay = delay;
  echo.duration = duration;
  echo.gain = gain;
  echo.port = run.port;
  echo.method = run.workDir + "/method.txt";
  echo.root = run.rootDir;
  return echo;
}

inline std::string banner(const Echo& e) {
  std::string text = "\n";
  text += "   Starting with Tarvex on " + e.port + "\n";
  text += "   GC Method is in file " + e.method + "\n";
  text += "   Root folder for file storage is " + e.root + "\n";
  text += "   Cycletime is " + std::to_string(e.cycle) + "s\n";
  text += "   PID starts after " + std::to_string(e.delay) + "s and runs for " +
          std::to_string(e.duration) + "s\n";
  text += "   PID A/D PGA gain set to " + std::to_string(e.gain) + "\n";
  if (e.dailySub) text += "   + user option: daily subdirectories are created\n";
  if (e.volume > 0) {
    text += "   + user option: limit sample volume to " + std::to_string(e.volume) + " ccm\n";
  }
  return text;
}

// Without a simulator the harness's port path names nothing, so a run that
// passed every check ends at the port.
inline std::string openFailure(const std::string& port) {
  return "> ERROR: unable to open " + port + ": No such file or directory.\n";
}

// The standard arguments (-cycle 30 -PIDdelay 5 -PIDcycle 12 -PIDgain 1) and more.
inline std::vector<std::string> argsWith(const std::vector<std::string>& more) {
  std::vector<std::string> args = e2e::standardArgs(30, 5, 12, 1);
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The standard arguments without one option and its value.
inline std::vector<std::string> argsWithout(const std::string& option) {
  std::vector<std::string> args = e2e::standardArgs(30, 5, 12, 1);
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == option) {
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      break;
    }
  }
  return args;
}

}  // namespace cli
