#include "serial/packing.h"

namespace karvello {

std::vector<std::uint8_t> RtuPacking::Pack(std::span<const std::uint8_t> request) {
  return {request.begin(), request.end()};
}

std::vector<Packing::Piece> RtuPacking::Unpack(std::span<const std::uint8_t> bytes) {
  return {Piece{{bytes.begin(), bytes.end()}, {}, false}};
}

std::vector<std::uint8_t> MbapPacking::Pack(std::span<const std::uint8_t> request) {
  return MbapOfRtu(request, ++transaction_);
}

std::vector<Packing::Piece> MbapPacking::Unpack(std::span<const std::uint8_t> bytes) {
  const MbapReader::Taken taken = reader_.Feed(bytes);
  std::vector<Piece> pieces;
  for (const MbapReader::Frame& frame : taken.frames) {
    if (frame.transaction != transaction_) {
      ++droppedEarlier_;
      unanswered_.insert(unanswered_.end(), frame.bytes.begin(), frame.bytes.end());
      continue;
    }
    pieces.push_back({RtuOfMbap(frame.bytes), frame.bytes, true});
  }
  // What cannot be followed is judged as it came.
  if (!taken.broken.empty()) {
    unanswered_.insert(unanswered_.end(), taken.broken.begin(), taken.broken.end());
    pieces.push_back({taken.broken, {}, true});
  }
  return pieces;
}

std::vector<std::uint8_t> MbapPacking::Unanswered() const {
  std::vector<std::uint8_t> bytes = unanswered_;
  const std::span<const std::uint8_t> waiting = reader_.Waiting();
  bytes.insert(bytes.end(), waiting.begin(), waiting.end());
  return bytes;
}

std::unique_ptr<Packing> PackingFor(const LineAddress& address) {
  if (address.kind == LineAddress::Kind::kModbusTcp) return std::make_unique<MbapPacking>();
  return std::make_unique<RtuPacking>();
}

bool CarriesBroadcasts(const LineAddress& address) {
  return PackingFor(address)->CarriesBroadcasts();
}

}  // namespace karvello
