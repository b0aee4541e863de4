#include "serial/serial_line.h"

namespace karvello {

bool SerialLine::Send(std::span<const std::uint8_t> request, std::optional<ReplyShape> reply) {
  finder_.Expect(request, reply);
  if (!IsOpen()) return false;
  const bool written = Write(request);
  // What came before the request is no answer to it. The request's first byte is on the line
  // a millisecond after this at the earliest, so an echo of it is not dropped here.
  DropReceived();
  return written;
}

void SerialLine::Arrive(std::span<const std::uint8_t> bytes) {
  for (const Received& received : finder_.Feed(bytes)) HandUp(received);
}

void SerialLine::FallSilent() {
  if (auto stray = finder_.Silence()) HandUp(*stray);
}

void SerialLine::PortLost() {
  finder_.Reset();
  if (onLost_) onLost_();
}

void SerialLine::HandUp(const Received& received) {
  if (onReceived_) onReceived_(received);
}

}  // namespace karvello
