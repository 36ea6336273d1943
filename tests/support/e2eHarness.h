// End-to-end test support: runs the real Tarvex program against the
// instrument simulator (tarvex-sim) on a pseudo-terminal, with the null-modem
// preload library, in a fresh working directory and root folder, and hands
// back what happened: exit status, output, the simulator's trace and files.
//
// Temporary folders are removed when the last RunResult (or TempDir) that
// holds them goes; set TARVEX_KEEP_TEST_DIRS=1 to keep them for a look.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// The binaries under test, as CMake built them.
const char* tarvexBinary();
const char* simulatorBinary();
const char* nullModemLibrary();

// ---------------------------------------------------------------- trace

// One line of the simulator's trace.
struct TraceEvent {
  double mono = 0;   // CLOCK_MONOTONIC, seconds
  double real = 0;   // CLOCK_REALTIME, seconds
  std::string dir;   // "rx" frame received, "tx" reply sent or withheld, "bad" bytes skipped
  std::string kind;  // i2c-write, i2c-read, reg-write, reg-read, i2c-reply, reg-reply,
                     // i2c-silent, reg-silent, junk
  int address = -1;  // 7-bit I2C address or register number; -1 when none
  int value = -1;    // write: data count; read: count; reg-write: value; reply: byte count
  std::string text;  // write data or reply bytes (unescaped); for junk the reason
  std::vector<unsigned char> raw;  // the bytes on the line
};

std::vector<TraceEvent> parseTrace(const std::string& text);

// Events of one kind, optionally only those for one address or register.
std::vector<TraceEvent> select(const std::vector<TraceEvent>& trace, const std::string& kind,
                               int address = -1);
// The texts written to an I2C address, in order.
std::vector<std::string> writtenTexts(const std::vector<TraceEvent>& trace, int address);
// The reply (tx event) that answered the request at index `request`, or null.
const TraceEvent* replyTo(const std::vector<TraceEvent>& trace, std::size_t request);
// The program's cycle start: the wall second of the first "HS_" written to 64
// (it reads the clock just before); -1 when there is none.
long cycleStart(const std::vector<TraceEvent>& trace);
// On a loaded machine the simulator may read that "HS_" in the second after
// the program read its clock: the earliest second the start can be, allowing
// kFrameLatency between the two; -1 when there is none. Lower bounds on cycle
// seconds count from here, upper bounds from cycleStart.
constexpr double kFrameLatency = 0.25;
long earliestCycleStart(const std::vector<TraceEvent>& trace);
// Whole cycle seconds of an event.
long cycleSecond(const TraceEvent& event, long start);
// Bytes as "53 80 03" for messages.
std::string hex(const std::vector<unsigned char>& bytes);
std::string hex(const std::string& bytes);

// ---------------------------------------------------------------- files

std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);
// Every regular file below a folder, as paths relative to it, sorted.
std::vector<std::string> listFiles(const std::string& folder);

// A fresh folder below /tmp, removed with everything in it on destruction
// (unless TARVEX_KEEP_TEST_DIRS is set).
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "tarvex-e2e");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// ---------------------------------------------------------------- processes

// The simulator as a child process; stopped on destruction.
class Simulator {
 public:
  Simulator() = default;
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Starts tarvex-sim with its files in `dir` (port link, trace, scenario,
  // output) and waits until its port is published.
  bool start(const std::string& dir, const std::string& scenario,
             const std::string& flowSensorsPath = "",
             const std::vector<std::string>& extraArgs = {});
  // SIGTERM, then SIGKILL if it does not end within 3 s. Returns its exit
  // status (128 + signal when killed), -1 when it was not running.
  int stop();
  bool running() const { return pid_ > 0; }

  const std::string& port() const { return port_; }
  const std::string& tracePath() const { return tracePath_; }
  std::vector<TraceEvent> trace() const;
  std::string stdoutText() const;
  std::string stderrText() const;
  const std::string& error() const { return error_; }

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string port_;
  std::string tracePath_;
  std::string error_;
};

// ---------------------------------------------------------------- Tarvex runs

// Placeholders in arguments: {port} the simulator's port, {method}
// <work>/method.txt, {root} the root folder, {work} the working directory.
std::vector<std::string> standardArgs(int cycle, int pidDelay, int pidCycle, int pidGain);

struct RunOptions {
  std::string scenario;                                    // simulator scenario text
  std::optional<std::string> method = std::string();       // written to <work>/method.txt
  std::optional<std::string> flowSensors;                  // written to <work>/flowsensors.txt
  std::vector<std::pair<std::string, std::string>> files;  // more files below <work>
  std::vector<std::string> args;                           // Tarvex arguments, with placeholders
  std::vector<std::string> environment;                    // extra NAME=VALUE for Tarvex
  std::vector<std::string> simulatorArgs;                  // extra tarvex-sim options
  std::vector<std::string> wrapper;                        // runs Tarvex under it, e.g. valgrind
  double timeoutSeconds = 120;
  bool withSimulator = true;
  bool preload = true;  // LD_PRELOAD the null-modem library
};

struct RunResult {
  bool started = false;  // Tarvex was started
  std::string error;     // what went wrong in the harness (simulator start, fork, ...)
  int exitStatus = -1;   // exit code; 128 + signal when a signal ended it
  int signal = 0;
  bool timedOut = false;  // killed at the timeout
  double elapsedSeconds = 0;
  std::string out;  // Tarvex's standard output
  std::string err;  // Tarvex's standard error
  std::string simulatorErr;
  std::vector<TraceEvent> trace;
  std::string workDir;
  std::string rootDir;
  std::string port;
  std::vector<std::string> args;  // the arguments as passed, placeholders replaced
  std::shared_ptr<TempDir> dir;   // keeps the folders while the result lives

  std::string readWorkFile(const std::string& relative) const;
  std::string readRootFile(const std::string& relative) const;
  std::vector<std::string> rootFiles() const;
};

// Runs Tarvex once (with the simulator unless options say otherwise), in the
// private /run where permitted (see privateRun; Tarvex is not started with
// -runtimedump outside it); every process it started has ended when it returns.
RunResult run(const RunOptions& options);
// Runs Tarvex without a simulator, for command-line checks.
RunResult runWithoutSimulator(const std::vector<std::string>& args, double timeoutSeconds = 30);

// A plain child process with its output in files; killed (with its process
// group) on timeout.
struct ChildResult {
  bool started = false;
  int exitStatus = -1;
  int signal = 0;
  bool timedOut = false;
  double elapsedSeconds = 0;
};
ChildResult runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& cwd, const std::string& stdoutPath,
                     const std::string& stderrPath, double timeoutSeconds);
// This process's environment with NAME=VALUE entries replaced or added.
std::vector<std::string> environmentWith(const std::vector<std::string>& changes);
// NAME=VALUE that adds verify_asan_link_order=0 to any ASAN_OPTIONS we have:
// a sanitized program refuses to start under LD_PRELOAD without it.
std::string asanOptionsForPreload();

// ---------------------------------------------------------------- /run/Tarvex_rt

// A mount namespace of this process's own whose /run is an empty
// memory-backed file system, so that /run/Tarvex_rt in it belongs to the test
// alone and the machine's own folder is never seen or touched.
struct PrivateRun {
  bool ok = false;            // this process now runs with its own /run
  bool notPermitted = false;  // the system refused the namespace (EPERM)
  std::string error;          // why not
};
// Moves this process (and every child it starts from then on) into such a
// namespace. Call it before the process starts a thread: threads already
// running stay in the namespace they had.
PrivateRun enterPrivateRun();
// enterPrivateRun() once per process; later calls give the first outcome.
const PrivateRun& privateRun();

// Gives one test /run/Tarvex_rt present (fresh and empty) or absent, in the
// private /run, and removes it when it goes. Tests that need it skip when
// notPermitted() and fail on any other fault.
class RuntimeDumpFolder {
 public:
  enum class Want { Present, Absent };
  explicit RuntimeDumpFolder(Want want);
  ~RuntimeDumpFolder();
  RuntimeDumpFolder(const RuntimeDumpFolder&) = delete;
  RuntimeDumpFolder& operator=(const RuntimeDumpFolder&) = delete;
  bool ok() const { return ok_; }
  bool notPermitted() const { return notPermitted_; }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_ = "/run/Tarvex_rt";
  std::string error_;
  bool ok_ = false;
  bool notPermitted_ = false;
};

}  // namespace e2e
