#include "e2eHarness.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

const char* tarvexBinary() {
  return TARVEX_BINARY;
}
const char* simulatorBinary() {
  return TARVEX_SIM_BINARY;
}
const char* nullModemLibrary() {
  return TARVEX_NULLMODEM_LIBRARY;
}

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', from);
    fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
    if (tab == std::string::npos) return fields;
    from = tab + 1;
  }
}

int numberOrNone(const std::string& field) {
  return field == "-" ? -1 : std::atoi(field.c_str());
}

std::string unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      bytes += text[i];
    } else if (text[i + 1] == 'x' && i + 3 < text.size()) {
      bytes += static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      bytes += text[i + 1];
      ++i;
    }
  }
  return bytes;
}

std::vector<unsigned char> hexToBytes(const std::string& text) {
  std::vector<unsigned char> bytes;
  std::istringstream words(text);
  std::string word;
  while (words >> word)
    bytes.push_back(static_cast<unsigned char>(std::strtol(word.c_str(), nullptr, 16)));
  return bytes;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Sends a signal to a child's process group (it leads one of its own) and to
// the child itself, in case it had not yet made the group.
void signalChild(pid_t pid, int signal) {
  kill(-pid, signal);
  kill(pid, signal);
}

// Waits for a child until the deadline; 1 when it ended, 0 on timeout.
int waitUntil(pid_t pid, Clock::time_point deadline, int& status) {
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return 1;
    if (done < 0 && errno != EINTR) return 1;
    if (Clock::now() >= deadline) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void decodeStatus(int status, int& exitStatus, int& signal) {
  if (WIFEXITED(status)) {
    exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    signal = WTERMSIG(status);
    exitStatus = 128 + signal;
  }
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& cwd, const std::string& stdoutPath, const std::string& stderrPath) {
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  const int input = open("/dev/null", O_RDONLY);
  const int output = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int errors = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (input < 0 || output < 0 || errors < 0) _exit(126);
  dup2(input, 0);
  dup2(output, 1);
  dup2(errors, 2);
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
  execve(args[0], args.data(), envp.data());
  _exit(127);
}

}  // namespace

// ---------------------------------------------------------------- trace

std::vector<TraceEvent> parseTrace(const std::string& text) {
  std::vector<TraceEvent> events;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> fields = splitTabs(line);
    if (fields.size() != 8) continue;
    TraceEvent event;
    event.mono = std::strtod(fields[0].c_str(), nullptr);
    event.real = std::strtod(fields[1].c_str(), nullptr);
    event.dir = fields[2];
    event.kind = fields[3];
    event.address = numberOrNone(fields[4]);
    event.value = numberOrNone(fields[5]);
    event.raw = hexToBytes(fields[6]);
    event.text = unescape(fields[7]);
    events.push_back(event);
  }
  return events;
}

std::vector<TraceEvent> select(const std::vector<TraceEvent>& trace, const std::string& kind,
                               int address) {
  std::vector<TraceEvent> chosen;
  for (const TraceEvent& event : trace) {
    if (event.kind == kind && (address < 0 || event.address == address)) chosen.push_back(event);
  }
  return chosen;
}

std::vector<std::string> writtenTexts(const std::vector<TraceEvent>& trace, int address) {
  std::vector<std::string> texts;
  for (const TraceEvent& event : select(trace, "i2c-write", address)) texts.push_back(event.text);
  return texts;
}

const TraceEvent* replyTo(const std::vector<TraceEvent>& trace, std::size_t request) {
  if (request >= trace.size()) return nullptr;
  const TraceEvent& asked = trace[request];
  const std::string prefix = asked.kind == "reg-read" ? "reg-" : "i2c-";
  for (std::size_t i = request + 1; i < trace.size(); ++i) {
    const TraceEvent& event = trace[i];
    if (event.dir == "tx" && event.address == asked.address &&
        (event.kind == prefix + "reply" || event.kind == prefix + "silent")) {
      return &event;
    }
  }
  return nullptr;
}

static double cycleStartSeen(const std::vector<TraceEvent>& trace) {
  for (const TraceEvent& event : trace) {
    if (event.kind == "i2c-write" && event.address == 64 && event.text == "HS_") return event.real;
  }
  return -1;
}

long cycleStart(const std::vector<TraceEvent>& trace) {
  const double seen = cycleStartSeen(trace);
  return seen < 0 ? -1 : static_cast<long>(std::floor(seen));
}

long earliestCycleStart(const std::vector<TraceEvent>& trace) {
  const double seen = cycleStartSeen(trace);
  return seen < 0 ? -1 : static_cast<long>(std::floor(seen - kFrameLatency));
}

long cycleSecond(const TraceEvent& event, long start) {
  return static_cast<long>(std::floor(event.real)) - start;
}

std::string hex(const std::vector<unsigned char>& bytes) {
  std::string text;
  for (unsigned char byte : bytes) {
    char code[4];
    std::snprintf(code, sizeof code, "%02x", byte);
    if (!text.empty()) text += ' ';
    text += code;
  }
  return text;
}

std::string hex(const std::string& bytes) {
  return hex(std::vector<unsigned char>(bytes.begin(), bytes.end()));
}

// ---------------------------------------------------------------- files

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file);
}

bool fileExists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> listFiles(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file()) files.push_back(fs::relative(it->path(), folder).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  const char* keep = std::getenv("TARVEX_KEEP_TEST_DIRS");
  if (keep && *keep) {
    std::fprintf(stderr, "kept test folder %s\n", path_.c_str());
    return;
  }
  std::error_code error;
  fs::remove_all(path_, error);
}

// ---------------------------------------------------------------- processes

std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string current(*entry);
    const std::string name = current.substr(0, current.find('=') + 1);
    const bool replaced = std::any_of(changes.begin(), changes.end(), [&](const std::string& c) {
      return c.compare(0, name.size(), name) == 0;
    });
    if (!replaced) env.push_back(current);
  }
  env.insert(env.end(), changes.begin(), changes.end());
  return env;
}

std::string asanOptionsForPreload() {
  const char* current = std::getenv("ASAN_OPTIONS");
  std::string options = current && *current ? std::string(current) + ":" : std::string();
  return "ASAN_OPTIONS=" + options + "verify_asan_link_order=0";
}

ChildResult runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& cwd, const std::string& stdoutPath,
                     const std::string& stderrPath, double timeoutSeconds) {
  ChildResult result;
  const Clock::time_point start = Clock::now();
  const pid_t pid = spawn(argv, env, cwd, stdoutPath, stderrPath);
  if (pid < 0) return result;
  result.started = true;
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(timeoutSeconds));
  int status = 0;
  if (!waitUntil(pid, deadline, status)) {
    result.timedOut = true;
    signalChild(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  result.elapsedSeconds = secondsSince(start);
  decodeStatus(status, result.exitStatus, result.signal);
  return result;
}

Simulator::~Simulator() {
  stop();
}

bool Simulator::start(const std::string& dir, const std::string& scenario,
                      const std::string& flowSensorsPath,
                      const std::vector<std::string>& extraArgs) {
  dir_ = dir;
  port_ = dir + "/ttyGC";
  tracePath_ = dir + "/sim-trace.txt";
  const std::string scenarioPath = dir + "/sim-scenario.txt";
  if (!writeFile(scenarioPath, scenario)) {
    error_ = "cannot write " + scenarioPath;
    return false;
  }
  std::vector<std::string> argv = {simulatorBinary(), "--link",     port_,       "--trace",
                                   tracePath_,        "--scenario", scenarioPath};
  if (!flowSensorsPath.empty()) {
    argv.push_back("--flowsensors");
    argv.push_back(flowSensorsPath);
  }
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  pid_ = spawn(argv, environmentWith({}), dir, dir + "/sim-out.txt", dir + "/sim-err.txt");
  if (pid_ < 0) {
    error_ = std::string("fork failed: ") + std::strerror(errno);
    return false;
  }
  // Ready once it says it serves its port (a stale link of an earlier run may
  // be there before); a simulator that ended gives up.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (stdoutText().find("tarvex-sim: serving") == std::string::npos) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "tarvex-sim ended at start: " + stderrText();
      return false;
    }
    if (Clock::now() >= deadline) {
      stop();
      error_ = "tarvex-sim did not publish its port within 10 s";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

int Simulator::stop() {
  if (pid_ <= 0) return -1;
  int status = 0;
  signalChild(pid_, SIGTERM);
  if (!waitUntil(pid_, Clock::now() + std::chrono::seconds(3), status)) {
    signalChild(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  int exitStatus = -1;
  int signal = 0;
  decodeStatus(status, exitStatus, signal);
  return exitStatus;
}

std::vector<TraceEvent> Simulator::trace() const {
  return parseTrace(readFile(tracePath_));
}
std::string Simulator::stdoutText() const {
  return readFile(dir_ + "/sim-out.txt");
}
std::string Simulator::stderrText() const {
  return readFile(dir_ + "/sim-err.txt");
}

// ---------------------------------------------------------------- Tarvex runs

std::vector<std::string> standardArgs(int cycle, int pidDelay, int pidCycle, int pidGain) {
  return {"-GCport",   "{port}",
          "-method",   "{method}",
          "-root",     "{root}",
          "-cycle",    std::to_string(cycle),
          "-PIDdelay", std::to_string(pidDelay),
          "-PIDcycle", std::to_string(pidCycle),
          "-PIDgain",  std::to_string(pidGain)};
}

std::string RunResult::readWorkFile(const std::string& relative) const {
  return readFile(workDir + "/" + relative);
}

std::string RunResult::readRootFile(const std::string& relative) const {
  return readFile(rootDir + "/" + relative);
}

std::vector<std::string> RunResult::rootFiles() const {
  return listFiles(rootDir);
}

RunResult run(const RunOptions& options) {
  RunResult result;
  const PrivateRun& ownRun = privateRun();
  const bool dumps =
      std::find(options.args.begin(), options.args.end(), "-runtimedump") != options.args.end();
  if (dumps && !ownRun.ok) {
    result.error = "not started with -runtimedump: " + ownRun.error;
    return result;
  }
  result.dir = std::make_shared<TempDir>();
  const std::string base = result.dir->path();
  if (base.empty()) {
    result.error = "cannot make a temporary folder";
    return result;
  }
  result.workDir = base + "/work";
  result.rootDir = base + "/root";
  result.port = base + "/ttyGC";
  mkdir(result.workDir.c_str(), 0755);
  mkdir(result.rootDir.c_str(), 0755);
  const std::string methodPath = result.workDir + "/method.txt";
  const std::string flowPath = result.workDir + "/flowsensors.txt";
  if (options.method) writeFile(methodPath, *options.method);
  if (options.flowSensors) writeFile(flowPath, *options.flowSensors);
  for (const auto& [name, text] : options.files) writeFile(result.workDir + "/" + name, text);

  Simulator simulator;
  if (options.withSimulator &&
      !simulator.start(base, options.scenario, options.flowSensors ? flowPath : "",
                       options.simulatorArgs)) {
    result.error = simulator.error();
    return result;
  }

  std::vector<std::string> argv = options.wrapper;
  argv.push_back(tarvexBinary());
  for (const std::string& arg : options.args) {
    std::string value = replaceAll(arg, "{port}", result.port);
    value = replaceAll(value, "{method}", methodPath);
    value = replaceAll(value, "{root}", result.rootDir);
    value = replaceAll(value, "{work}", result.workDir);
    argv.push_back(value);
    result.args.push_back(value);
  }
  std::vector<std::string> changes = options.environment;
  if (options.preload) {
    const char* current = std::getenv("LD_PRELOAD");
    std::string preload = "LD_PRELOAD=" + std::string(nullModemLibrary());
    if (current && *current) preload += std::string(":") + current;
    changes.push_back(preload);
    changes.push_back(asanOptionsForPreload());
  }
  const ChildResult child =
      runChild(argv, environmentWith(changes), result.workDir, base + "/tarvex-out.txt",
               base + "/tarvex-err.txt", options.timeoutSeconds);
  result.started = child.started;
  result.exitStatus = child.exitStatus;
  result.signal = child.signal;
  result.timedOut = child.timedOut;
  result.elapsedSeconds = child.elapsedSeconds;
  if (!child.started) result.error = "cannot start Tarvex";
  if (child.timedOut) {
    char text[80];
    std::snprintf(text, sizeof text, "Tarvex killed at the timeout of %g s",
                  options.timeoutSeconds);
    result.error = text;
  }
  result.out = readFile(base + "/tarvex-out.txt");
  result.err = readFile(base + "/tarvex-err.txt");
  if (options.withSimulator) {
    simulator.stop();
    result.trace = simulator.trace();
    result.simulatorErr = simulator.stderrText();
  }
  return result;
}

RunResult runWithoutSimulator(const std::vector<std::string>& args, double timeoutSeconds) {
  RunOptions options;
  options.args = args;
  options.withSimulator = false;
  options.timeoutSeconds = timeoutSeconds;
  return run(options);
}

// ---------------------------------------------------------------- /run/Tarvex_rt

PrivateRun enterPrivateRun() {
  PrivateRun result;
  if (unshare(CLONE_NEWNS) != 0) {
    result.notPermitted = errno == EPERM;
    result.error = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    return result;
  }
  // Without this, mounts made here would propagate to the machine's namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    result.error = std::string("cannot make / private: ") + std::strerror(errno);
    return result;
  }
  if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,mode=0755") != 0) {
    result.error = std::string("cannot mount a tmpfs on /run: ") + std::strerror(errno);
    return result;
  }
  result.ok = true;
  return result;
}

const PrivateRun& privateRun() {
  static const PrivateRun entered = enterPrivateRun();
  return entered;
}

RuntimeDumpFolder::RuntimeDumpFolder(Want want) {
  const PrivateRun& run = privateRun();
  if (!run.ok) {
    notPermitted_ = run.notPermitted;
    error_ = "this test needs a /run of its own in a private mount namespace: " + run.error;
    return;
  }
  std::error_code error;
  fs::remove_all(path_, error);  // an earlier test's, in this process's /run
  if (error) {
    error_ = "cannot remove " + path_ + ": " + error.message();
  } else if (want == Want::Present && mkdir(path_.c_str(), 0755) != 0) {
    error_ = "cannot make " + path_ + ": " + std::strerror(errno);
  } else {
    ok_ = true;
  }
}

RuntimeDumpFolder::~RuntimeDumpFolder() {
  std::error_code error;
  if (ok_) fs::remove_all(path_, error);
}

}  // namespace e2e
