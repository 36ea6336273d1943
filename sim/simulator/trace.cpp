#include "trace.h"

#include <time.h>

namespace sim {

namespace {

double seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const char* frameKind(FrameKind kind) {
  switch (kind) {
    case FrameKind::I2cWrite:
      return "i2c-write";
    case FrameKind::I2cRead:
      return "i2c-read";
    case FrameKind::RegisterWrite:
      return "reg-write";
    case FrameKind::RegisterRead:
      return "reg-read";
  }
  return "?";
}

}  // namespace

Stamp now() {
  Stamp stamp;
  stamp.mono = seconds(CLOCK_MONOTONIC);
  stamp.real = seconds(CLOCK_REALTIME);
  return stamp;
}

std::string escaped(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      text += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      text += code;
    }
  }
  return text;
}

std::string hexBytes(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    char code[4];
    std::snprintf(code, sizeof code, "%02x", static_cast<unsigned char>(c));
    if (!text.empty()) text += ' ';
    text += code;
  }
  return text;
}

Trace::~Trace() {
  if (file_) std::fclose(file_);
}

bool Trace::open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) return false;
  std::fprintf(file_, "# tarvex-sim trace 1\n# mono\treal\tdir\tkind\taddress\tvalue\thex\ttext\n");
  std::fflush(file_);
  return true;
}

void Trace::line(const Stamp& at, const char* direction, const char* kind, int address, int value,
                 const std::string& bytes, const std::string& text) {
  if (!file_) return;
  const std::string addressText = address < 0 ? "-" : std::to_string(address);
  const std::string valueText = value < 0 ? "-" : std::to_string(value);
  std::fprintf(file_, "%.6f\t%.6f\t%s\t%s\t%s\t%s\t%s\t%s\n", at.mono, at.real, direction, kind,
               addressText.c_str(), valueText.c_str(), hexBytes(bytes).c_str(),
               escaped(text).c_str());
  std::fflush(file_);
}

void Trace::frame(const Frame& frame, const Stamp& at) {
  const int value = frame.kind == FrameKind::RegisterRead ? -1 : frame.value;
  line(at, "rx", frameKind(frame.kind), frame.address, value, frame.raw, frame.data);
}

void Trace::reply(const Frame& request, const std::string& bytes, const Stamp& at) {
  const char* kind = request.kind == FrameKind::RegisterRead ? "reg-reply" : "i2c-reply";
  line(at, "tx", kind, request.address, static_cast<int>(bytes.size()), bytes, bytes);
}

void Trace::silence(const Frame& request, const Stamp& at) {
  const char* kind = request.kind == FrameKind::RegisterRead ? "reg-silent" : "i2c-silent";
  line(at, "tx", kind, request.address, 0, std::string(), std::string());
}

void Trace::junk(const std::string& bytes, const std::string& reason, const Stamp& at) {
  line(at, "bad", "junk", -1, static_cast<int>(bytes.size()), bytes, reason);
}

}  // namespace sim
