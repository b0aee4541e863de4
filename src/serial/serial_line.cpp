#include "serial/serial_line.h"

namespace karvello {

bool SerialLine::Open(const LineAddress& address) {
  if (address.kind != LineAddress::Kind::kPortNumber) {
    Close();
    return false;
  }
  return Open(address.number);
}

std::string SerialLine::Name() const {
  return Port() != 0 ? "COM" + std::to_string(Port()) : std::string();
}

bool SerialLine::Send(std::span<const std::uint8_t> request, std::optional<ReplyShape> reply) {
  finder_.Expect(request, reply);
  if (!IsOpen()) return false;
  // What came before the request is no answer to it. It is dropped before the write: handing the
  // request to the driver waits until it is on the wire, and by then the detector (or an adapter
  // that hears itself) may have begun to answer.
  DropReceived();
  return Write(request);
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
