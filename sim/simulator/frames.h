// Frames of the UART-to-I2C bridge as they arrive on the serial line, and the
// parser that cuts them out of the byte stream.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sim {

enum class FrameKind { I2cWrite, I2cRead, RegisterWrite, RegisterRead };

struct Frame {
  FrameKind kind = FrameKind::I2cWrite;
  int address = 0;   // 7-bit I2C address, or the register number
  int value = 0;     // I2C write: data count; I2C read: count; register write: value
  std::string data;  // I2C write: the data bytes
  std::string raw;   // every byte of the frame as received
};

// One result of parsing: a complete frame, or a run of bytes that were skipped
// because they cannot be part of any frame.
struct ParsedItem {
  bool junk = false;
  Frame frame;
  std::string junkBytes;
  std::string reason;  // why the first skipped byte was dropped
};

// Cuts frames out of a byte stream that may split them or run them together.
// A byte that cannot start a frame, or a frame whose closing "P" is missing,
// costs one byte: it is skipped and parsing resumes at the next byte, which is
// how the bridge regains step after noise on the line.
class FrameParser {
 public:
  // Adds received bytes; returns the frames and skipped runs now complete.
  std::vector<ParsedItem> feed(const std::string& bytes);

  // Gives up on a partial frame that no more bytes came for: what cannot form
  // a complete frame is skipped.
  std::vector<ParsedItem> expire();

  bool hasPartial() const { return !pending_.empty(); }

 private:
  enum class Outcome { Complete, Incomplete, Invalid };
  Outcome parseOne(Frame& frame, std::size_t& length, std::string& reason) const;
  void parse(std::vector<ParsedItem>& items, bool final);
  void skipFirstByte(const std::string& reason);
  void flushJunk(std::vector<ParsedItem>& items);

  std::string pending_;
  std::string junk_;
  std::string junkReason_;
};

}  // namespace sim
