// Messages of the simulator on its standard error.
#pragma once

namespace sim {

// Prints "tarvex-sim: " and the formatted text as one line on standard error.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
