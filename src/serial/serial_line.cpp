#include "serial/serial_line.h"

namespace karvello {

SerialLine::SerialLine() : packing_(std::make_unique<RtuPacking>()) {}

SerialLine::~SerialLine() = default;

void SerialLine::UsePacking(std::unique_ptr<Packing> packing) {
  packing_ = std::move(packing);
  ForgetReceived();
}

bool SerialLine::Send(std::span<const std::uint8_t> request, std::optional<ReplyShape> reply) {
  finder_.Expect(request, reply);
  if (!IsOpen()) {
    sentOnWire_.assign(request.begin(), request.end());
    return false;
  }
  // What came before the request is no answer to it. It is dropped before the write: handing the
  // request to the driver waits until it is on the wire, and by then the detector (or an adapter
  // that hears itself) may have begun to answer.
  DropReceived();
  packing_->Reset();
  sentOnWire_ = packing_->Pack(request);
  return Write(sentOnWire_);
}

void SerialLine::Arrive(std::span<const std::uint8_t> bytes) {
  for (Packing::Piece& piece : packing_->Unpack(bytes)) {
    std::vector<Received> found = finder_.Feed(piece.bytes);
    // A piece that comes whole is judged at once: what it cannot complete is stray.
    if (piece.whole) {
      if (auto stray = finder_.Silence()) found.push_back(std::move(*stray));
    }
    for (Received& received : found) {
      received.wire = piece.wire;
      HandUp(received);
    }
  }
}

void SerialLine::FallSilent() {
  if (auto stray = finder_.Silence()) HandUp(*stray);
}

void SerialLine::ForgetReceived() {
  finder_.Reset();
  packing_->Reset();
}

void SerialLine::PortLost() {
  ForgetReceived();
  if (onLost_) onLost_();
}

void SerialLine::HandUp(const Received& received) {
  if (onReceived_) onReceived_(received);
}

}  // namespace karvello
