// The method: a timed list of device commands, loaded at start-up and played
// during the cycle.
#pragma once

#include <cstddef>

struct GcRun;

constexpr int kMethodOk = 0;
constexpr int kMethodUndecodable = -1;  // also: more rows than the table holds
constexpr int kMethodUnreadable = -2;   // cannot be opened; errno tells why
constexpr int kMethodReadFailed =
    -3;  // opened, but reading failed (a folder, say); errno tells why

constexpr int kAcknowledged = 0;
constexpr int kAcknowledgeIncomplete = 1;
constexpr int kAcknowledgeWrong = 2;

int loadMethod(GcRun* run, const char* path);
// Compares a device's reply with the acknowledge of command (the command and
// "K"); on a failure description says what was wrong.
int judgeAcknowledge(const char* command, const unsigned char* reply, int received,
                     char* description, size_t descriptionSize);
// 0 done; 1 incomplete acknowledge; 2 wrong acknowledge (T-controllers only).
int sendMethodStep(GcRun* run, int index);
