#include "frames.h"

namespace sim {

namespace {

constexpr unsigned char kStart = 'S';
constexpr unsigned char kStop = 'P';
constexpr unsigned char kRegisterWrite = 'W';
constexpr unsigned char kRegisterRead = 'R';

unsigned char byteAt(const std::string& bytes, std::size_t index) {
  return static_cast<unsigned char>(bytes[index]);
}

}  // namespace

FrameParser::Outcome FrameParser::parseOne(Frame& frame, std::size_t& length,
                                           std::string& reason) const {
  const std::string& b = pending_;
  const unsigned char first = byteAt(b, 0);
  if (first == kStart) {
    if (b.size() < 3) return Outcome::Incomplete;
    const unsigned char addressByte = byteAt(b, 1);
    const int count = byteAt(b, 2);
    const bool read = (addressByte & 1) != 0;
    // A read request carries only the count; a write carries count data bytes.
    length = read ? 4 : 4 + static_cast<std::size_t>(count);
    if (b.size() < length) return Outcome::Incomplete;
    if (byteAt(b, length - 1) != kStop) {
      reason = read ? "I2C read request without closing P" : "I2C write without closing P";
      return Outcome::Invalid;
    }
    frame.kind = read ? FrameKind::I2cRead : FrameKind::I2cWrite;
    frame.address = addressByte >> 1;
    frame.value = count;
    frame.data = read ? std::string() : b.substr(3, count);
    frame.raw = b.substr(0, length);
    return Outcome::Complete;
  }
  if (first == kRegisterWrite) {
    length = 4;
    if (b.size() < length) return Outcome::Incomplete;
    if (byteAt(b, 3) != kStop) {
      reason = "register write without closing P";
      return Outcome::Invalid;
    }
    frame.kind = FrameKind::RegisterWrite;
    frame.address = byteAt(b, 1);
    frame.value = byteAt(b, 2);
    frame.data.clear();
    frame.raw = b.substr(0, length);
    return Outcome::Complete;
  }
  if (first == kRegisterRead) {
    length = 3;
    if (b.size() < length) return Outcome::Incomplete;
    if (byteAt(b, 2) != kStop) {
      reason = "register read request without closing P";
      return Outcome::Invalid;
    }
    frame.kind = FrameKind::RegisterRead;
    frame.address = byteAt(b, 1);
    frame.value = 0;
    frame.data.clear();
    frame.raw = b.substr(0, length);
    return Outcome::Complete;
  }
  reason = "not a frame start";
  return Outcome::Invalid;
}

void FrameParser::skipFirstByte(const std::string& reason) {
  if (junk_.empty()) junkReason_ = reason;
  junk_ += pending_[0];
  pending_.erase(0, 1);
}

void FrameParser::flushJunk(std::vector<ParsedItem>& items) {
  if (junk_.empty()) return;
  ParsedItem item;
  item.junk = true;
  item.junkBytes = junk_;
  item.reason = junkReason_;
  items.push_back(item);
  junk_.clear();
  junkReason_.clear();
}

// With final set, an incomplete frame is skipped like an invalid one, since
// nothing more will come to complete it.
void FrameParser::parse(std::vector<ParsedItem>& items, bool final) {
  while (!pending_.empty()) {
    Frame frame;
    std::size_t length = 0;
    std::string reason;
    const Outcome outcome = parseOne(frame, length, reason);
    if (outcome == Outcome::Complete) {
      flushJunk(items);
      ParsedItem item;
      item.frame = frame;
      items.push_back(item);
      pending_.erase(0, length);
    } else if (outcome == Outcome::Invalid) {
      skipFirstByte(reason);
    } else if (final) {
      skipFirstByte("incomplete frame, no more bytes came");
    } else {
      break;
    }
  }
  flushJunk(items);
}

std::vector<ParsedItem> FrameParser::feed(const std::string& bytes) {
  pending_ += bytes;
  std::vector<ParsedItem> items;
  parse(items, false);
  return items;
}

std::vector<ParsedItem> FrameParser::expire() {
  std::vector<ParsedItem> items;
  parse(items, true);
  return items;
}

}  // namespace sim
