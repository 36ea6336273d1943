// tarvex-sim: stands in for the UART-to-I2C bridge and the instrument behind
// it. It serves one pseudo-terminal, publishes the slave's path as a symlink
// and answers the bridge frames that arrive on the master side.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>

#include "frames.h"
#include "instrument.h"
#include "report.h"
#include "scenario.h"
#include "trace.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
  stopRequested = 1;
}

struct Options {
  std::string link = "/tmp/tarvex/ttyGC";
  std::string tracePath;
  std::string scenarioPath;
  std::string flowSensorsPath;
  int replyDelayMs = -1;  // -1: as the scenario says
  int baud = 0;           // 0: a reply goes out in one piece
  int frameTimeoutMs = 500;
};

void usage() {
  std::printf(
      "usage: tarvex-sim [--link PATH] [--trace FILE] [--scenario FILE]\n"
      "                  [--flowsensors FILE] [--reply-delay MS] [--baud RATE]\n"
      "                  [--frame-timeout MS]\n"
      "Serves a pseudo-terminal at PATH (default /tmp/tarvex/ttyGC) that answers like\n"
      "the instrument's I2C bridge. Stop it with Ctrl-C or SIGTERM. See sim/README.md.\n");
}

bool parseNumber(const char* text, int& value) {
  char* end = nullptr;
  const long number = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || number < 0 || number > 1000000) return false;
  value = static_cast<int>(number);
  return true;
}

// Returns 0 to go on, otherwise the exit status.
int parseOptions(int argc, char** argv, Options& options) {
  static const option kOptions[] = {
      {"link", required_argument, nullptr, 'l'},
      {"trace", required_argument, nullptr, 't'},
      {"scenario", required_argument, nullptr, 's'},
      {"flowsensors", required_argument, nullptr, 'f'},
      {"reply-delay", required_argument, nullptr, 'd'},
      {"baud", required_argument, nullptr, 'b'},
      {"frame-timeout", required_argument, nullptr, 'o'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int letter = 0;
  while ((letter = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    bool good = true;
    switch (letter) {
      case 'l':
        options.link = optarg;
        break;
      case 't':
        options.tracePath = optarg;
        break;
      case 's':
        options.scenarioPath = optarg;
        break;
      case 'f':
        options.flowSensorsPath = optarg;
        break;
      case 'd':
        good = parseNumber(optarg, options.replyDelayMs);
        break;
      case 'b':
        good = parseNumber(optarg, options.baud);
        break;
      case 'o':
        good = parseNumber(optarg, options.frameTimeoutMs);
        break;
      case 'h':
        usage();
        return -1;
      default:
        good = false;
        break;
    }
    if (!good) {
      usage();
      return 2;
    }
  }
  if (optind < argc) {
    usage();
    return 2;
  }
  return 0;
}

bool readFile(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  text = content.str();
  return true;
}

// Publishes the slave's path under the link's name, replacing a stale link
// (never a file that is not a symlink). The rename makes it appear at once.
bool publishLink(const std::string& link, const std::string& target) {
  const std::size_t slash = link.rfind('/');
  if (slash != std::string::npos && slash > 0) mkdir(link.substr(0, slash).c_str(), 0755);
  struct stat status {};
  if (lstat(link.c_str(), &status) == 0 && !S_ISLNK(status.st_mode)) {
    sim::report("%s exists and is not a symlink, not replaced", link.c_str());
    return false;
  }
  const std::string temporary = link + ".new" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), link.c_str()) != 0) {
    sim::report("cannot publish %s: %s", link.c_str(), std::strerror(errno));
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

// Removes the link only if it still points at our slave.
void withdrawLink(const std::string& link, const std::string& target) {
  char buffer[512];
  const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (length < 0) return;
  buffer[length] = '\0';
  if (target == buffer) unlink(link.c_str());
}

// A reply waiting for its time; with byte timing it leaves one byte at a time.
struct Outgoing {
  double due = 0;  // monotonic time of the next byte
  std::string bytes;
  std::size_t sent = 0;
  sim::Frame request;
};

class Server {
 public:
  Server(int master, sim::Instrument& instrument, sim::Trace& trace, const Options& options)
      : master_(master), instrument_(instrument), trace_(trace), options_(options) {}

  int run(const sigset_t& waitMask);

 private:
  void receive();
  void take(const std::vector<sim::ParsedItem>& items, const sim::Stamp& at);
  void answer(const sim::Frame& request, const sim::Reply& reply, const sim::Stamp& at);
  void transmit();
  int pollTimeoutMs() const;
  double bytePeriod() const { return options_.baud > 0 ? 10.0 / options_.baud : 0.0; }

  int master_;
  sim::Instrument& instrument_;
  sim::Trace& trace_;
  const Options& options_;
  sim::FrameParser parser_;
  std::deque<Outgoing> outgoing_;
  double lastByteAt_ = 0;  // monotonic time of the last byte received
  double lineFreeAt_ = 0;  // when the previous reply has left the line
};

int Server::run(const sigset_t& waitMask) {
  while (!stopRequested) {
    pollfd watch{master_, POLLIN, 0};
    const int timeoutMs = pollTimeoutMs();
    timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    const int ready = ppoll(&watch, 1, timeoutMs < 0 ? nullptr : &timeout, &waitMask);
    if (ready < 0 && errno != EINTR) {
      sim::report("poll failed: %s", std::strerror(errno));
      return 1;
    }
    if (ready > 0 && (watch.revents & POLLIN)) receive();
    const double nowMono = sim::now().mono;
    if (parser_.hasPartial() && nowMono - lastByteAt_ >= options_.frameTimeoutMs / 1000.0) {
      take(parser_.expire(), sim::now());
    }
    transmit();
  }
  return 0;
}

int Server::pollTimeoutMs() const {
  const double nowMono = sim::now().mono;
  double wait = -1;
  if (!outgoing_.empty()) wait = std::max(0.0, outgoing_.front().due - nowMono);
  if (parser_.hasPartial()) {
    const double expiry = std::max(0.0, lastByteAt_ + options_.frameTimeoutMs / 1000.0 - nowMono);
    wait = wait < 0 ? expiry : std::min(wait, expiry);
  }
  if (wait < 0) return -1;
  return static_cast<int>(std::ceil(wait * 1000.0));
}

void Server::receive() {
  char buffer[4096];
  for (;;) {
    const ssize_t count = read(master_, buffer, sizeof buffer);
    if (count <= 0) {
      if (count < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
        sim::report("read failed: %s", std::strerror(errno));
      }
      return;
    }
    const sim::Stamp at = sim::now();
    lastByteAt_ = at.mono;
    take(parser_.feed(std::string(buffer, static_cast<std::size_t>(count))), at);
  }
}

void Server::take(const std::vector<sim::ParsedItem>& items, const sim::Stamp& at) {
  for (const sim::ParsedItem& item : items) {
    if (item.junk) {
      trace_.junk(item.junkBytes, item.reason, at);
      sim::report("ignored %zu bytes (%s): %s", item.junkBytes.size(), item.reason.c_str(),
                  sim::hexBytes(item.junkBytes).c_str());
      continue;
    }
    trace_.frame(item.frame, at);
    sim::Reply reply;
    if (instrument_.handle(item.frame, at, reply)) answer(item.frame, reply, at);
  }
}

// Queues a reply behind the ones still waiting: the bridge answers in order.
void Server::answer(const sim::Frame& request, const sim::Reply& reply, const sim::Stamp& at) {
  if (reply.silent || reply.bytes.empty()) {
    trace_.silence(request, at);
    return;
  }
  Outgoing out;
  out.due = std::max(at.mono + reply.delayMs / 1000.0, lineFreeAt_);
  out.bytes = reply.bytes;
  out.request = request;
  lineFreeAt_ = out.due + bytePeriod() * static_cast<double>(out.bytes.size());
  outgoing_.push_back(out);
}

void Server::transmit() {
  while (!outgoing_.empty()) {
    Outgoing& out = outgoing_.front();
    const sim::Stamp at = sim::now();
    if (at.mono < out.due) return;
    if (out.sent == 0) trace_.reply(out.request, out.bytes, at);
    const std::size_t piece = options_.baud > 0 ? 1 : out.bytes.size() - out.sent;
    const ssize_t written = write(master_, out.bytes.data() + out.sent, piece);
    if (written < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      sim::report("write failed: %s", std::strerror(errno));
      outgoing_.pop_front();
      continue;
    }
    out.sent += static_cast<std::size_t>(written);
    if (out.sent >= out.bytes.size()) {
      outgoing_.pop_front();
    } else if (options_.baud > 0) {
      out.due += bytePeriod();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = parseOptions(argc, argv, options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  sim::Scenario scenario;
  if (!options.scenarioPath.empty()) {
    std::string text;
    std::string error;
    if (!readFile(options.scenarioPath, text)) {
      sim::report("cannot read scenario %s", options.scenarioPath.c_str());
      return 2;
    }
    if (!sim::parseScenario(text, scenario, error)) {
      sim::report("scenario %s, %s", options.scenarioPath.c_str(), error.c_str());
      return 2;
    }
  } else {
    sim::completeDetector(scenario);
  }
  if (options.replyDelayMs >= 0) scenario.replyDelayMs = options.replyDelayMs;

  sim::FlowSensors sensors;
  if (!options.flowSensorsPath.empty()) {
    std::string error;
    if (!sim::readFlowSensors(options.flowSensorsPath, sensors, error)) {
      sim::report("%s: no flow sensors simulated", error.c_str());
    }
  }

  sim::Trace trace;
  if (!options.tracePath.empty() && !trace.open(options.tracePath)) {
    sim::report("cannot write trace %s: %s", options.tracePath.c_str(), std::strerror(errno));
    return 2;
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    sim::report("cannot open a pseudo-terminal: %s", std::strerror(errno));
    return 1;
  }
  const std::string slavePath = ptsname(master);
  // Holding the slave open keeps the terminal alive while the program closes
  // and re-opens its port; we never read from it.
  const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    sim::report("cannot open %s: %s", slavePath.c_str(), std::strerror(errno));
    return 1;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  // The stop signals stay blocked except while waiting in ppoll, so none is
  // lost between a check of the flag and the wait.
  sigset_t stopSignals;
  sigset_t waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  if (!publishLink(options.link, slavePath)) return 1;
  std::printf("tarvex-sim: serving %s at %s\n", slavePath.c_str(), options.link.c_str());
  std::fflush(stdout);

  sim::Instrument instrument(scenario, sensors);
  Server server(master, instrument, trace, options);
  const int status = server.run(waitMask);

  withdrawLink(options.link, slavePath);
  close(slave);
  close(master);
  return status;
}
