#include "run/method.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/bridge.h"
#include "link/serialPort.h"
#include "run/gcRun.h"

namespace {
constexpr int kLineSize = 256;
constexpr int kAcknowledgeWaitMs = 35;

bool skippedLine(const char* line) {
  return line[0] == '#' || line[0] == '!' || line[0] == ' ' || line[0] == '\n';
}

// A decimal int after optional white space, as "%d" reads it, but a number
// beyond int is refused instead of wrapped. *end is left behind the number.
bool readInt(const char* text, int* value, const char** end) {
  char* after = nullptr;
  errno = 0;
  long number = strtol(text, &after, 10);
  if (after == text || errno == ERANGE || number < INT_MIN || number > INT_MAX) return false;
  *value = static_cast<int>(number);
  *end = after;
  return true;
}

// Decodes "time address command" (tabs or spaces between, or none). The
// address must be a whole decimal number: "0x40" would otherwise read as
// address 0, the general call that every device on the bus hears.
bool decodeStep(const char* line, MethodStep* step) {
  const char* at = line;
  if (!readInt(at, &step->time, &at) || !readInt(at, &step->address, &at)) return false;
  if (!isspace(static_cast<unsigned char>(*at))) return false;
  char command[kLineSize];
  if (sscanf(at, "%255s", command) != 1) return false;
  // Commands are cut to 17 characters.
  snprintf(step->command, sizeof step->command, "%.17s", command);
  return true;
}
}  // namespace

int loadMethod(GcRun* run, const char* path) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) return kMethodUnreadable;

  char line[kLineSize];
  int rows = 0;
  int result = kMethodOk;
  while (fgets(line, sizeof line, file) != nullptr) {
    if (skippedLine(line)) continue;
    MethodStep step;
    if (rows >= kMethodCapacity || !decodeStep(line, &step)) {
      result = kMethodUndecodable;
      break;
    }
    run->steps[rows] = step;
    ++rows;
    run->stepCount = rows;
  }
  // A folder opens but cannot be read; nor can a file on a failing disk. Either
  // would otherwise pass for a method with fewer steps.
  if (result == kMethodOk && ferror(file)) result = kMethodReadFailed;
  int readErrno = errno;
  fclose(file);
  errno = readErrno;
  return result;
}

int judgeAcknowledge(const char* command, const unsigned char* reply, int received,
                     char* description, size_t descriptionSize) {
  int length = static_cast<int>(strlen(command));
  if (received < length) {
    snprintf(description, descriptionSize, "Incomplete acknowledge!");
    return kAcknowledgeIncomplete;
  }
  // The acknowledge text starts at the reply's second byte and ends at its
  // first zero byte or with the bytes received.
  char acknowledge[kReplySize + 1] = {};
  if (received > kReplySize) received = kReplySize;
  if (received > 1) memcpy(acknowledge, reply + 1, static_cast<size_t>(received - 1));
  char expected[kCommandSize + 2];
  snprintf(expected, sizeof expected, "%.17sK", command);
  if (strcmp(acknowledge, expected) == 0) return kAcknowledged;
  snprintf(description, descriptionSize, "Command not acknowledged: [%s] instead of [%s]\n",
           acknowledge, expected);
  return kAcknowledgeWrong;
}

int sendMethodStep(GcRun* run, int index) {
  const MethodStep& step = run->steps[index];
  sendToDevice(run, step.address, step.command, static_cast<int>(strlen(step.command)));
  pauseMs(kAcknowledgeWaitMs);

  unsigned char reply[kReplySize] = {};
  int received = readFromDevice(run, step.address, reply, kReplySize);
  char description[sizeof run->lastReply];
  int result = judgeAcknowledge(step.command, reply, received, description, sizeof description);
  if (result == kAcknowledged) {
    if (step.address == run->tc1Address) {
      run->tc1Retries = 0;
    } else if (step.address == run->tc2Address) {
      run->tc2Retries = 0;
    }
    return 0;
  }
  if (result == kAcknowledgeIncomplete) printf("Incomplete acknowledge!\n");
  snprintf(run->lastReply, sizeof run->lastReply, "%s", description);

  if (step.address == run->tc1Address) {
    ++run->tc1Faults;
    ++run->tc1Retries;
    return result;
  }
  if (step.address == run->tc2Address) {
    ++run->tc2Faults;
    ++run->tc2Retries;
    return result;
  }
  return 0;  // other devices are never retried
}
