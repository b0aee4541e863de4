#pragma once
// A serial device for the simulated detector to serve: a real port with a null-modem cable to
// the tool's port, or one end of a virtual pair.

#include <string>

namespace karvello::sim {

// Opens `path` for reading and writing, non-blocking and not as a controlling terminal, and sets
// the line to raw 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control, modem lines
// ignored. Returns the descriptor; the caller owns it. Throws std::system_error when the device
// does not open or is not a terminal.
int OpenSerialDevice(const std::string& path);

}  // namespace karvello::sim
