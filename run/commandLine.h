// The command line: options, their checks in a fixed order, the banner and
// the usage text.
#pragma once

#include "devices/flow.h"

constexpr int kStartupFailure = 255;

struct CommandLine {
  char portPath[64];
  char methodPath[512];
  int methodGiven;
  char rootFolder[512];
  int cycleTime;
  int pidDelay;
  int pidDuration;
  int pidGain;
  int sampleVolume;
  int dailySub;
  int silent;
  int runtimeDump;
  char tooLongOption[16];  // first text option refused for its length, or empty
  int tooLongLimit;
};

void parseCommandLine(int argc, char** argv, CommandLine* line);
// Runs every check, printing the banner on the way. 0 when the run may start
// (the flow-sensor definition filled in when a sample volume is set),
// otherwise the exit status.
int checkCommandLine(const CommandLine* line, FlowSensorDefinition* flowSensors);
void printUsage();
