#pragma once
// Several detectors on one line, each with its own address, readings and faults. A request is
// taken by every detector it addresses: a broadcast write by all of them (a broadcast of the
// address gives them all that address, as on a real line). Detectors that answer the same
// request (a shared address, a broadcast read of the address) answer at once, each starting
// kCollisionSkewBits bit times after the one before it in the bus's order, and the tool gets what
// a UART makes of that (see Overlap). Not thread-safe: the line that owns it locks it.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "sim/detector_model.h"
#include "sim/faults.h"

namespace karvello::sim {

// How far apart, in bit times, detectors that answer the same request begin their replies.
inline constexpr std::size_t kCollisionSkewBits = 3;

// What the tool receives when each of `frames` is sent at once, frame i starting
// i * kCollisionSkewBits bit times after the first (8N1, the line idle high, a low from any
// sender holding it low), read by a UART that takes the first low after each frame for the
// next start bit. One frame comes through as it is.
std::vector<std::uint8_t> Overlap(const std::vector<std::vector<std::uint8_t>>& frames);

// One detector's reply to a request, and the fault that spoils it (kNone when none).
struct Reply {
  std::vector<std::uint8_t> bytes;
  Fault fault;
};

class Bus {
 public:
  // Throws std::invalid_argument when `detectors` is empty; two may share an address.
  explicit Bus(const std::vector<DetectorConfig>& detectors);

  // Every detector that `request` (a whole frame, CRC right) addresses carries it out; the
  // replies due, in bus order, each with its fault, used up by it.
  std::vector<Reply> Take(std::span<const std::uint8_t> request, Clock::time_point now);
  // ... and the pieces the line carries: each reply spoilt by its fault, overlapped when more
  // than one is sent. Empty when nothing is.
  std::vector<Piece> Respond(std::span<const std::uint8_t> request, Clock::time_point now);

  // Calls `change` on every detector, or on those now at `address`; returns how many.
  std::size_t Each(std::optional<std::uint8_t> address,
                   const std::function<void(DetectorConfig&, FaultInForce&)>& change);
  // Every detector's settings as they stand now (an address perhaps changed by a request).
  std::vector<DetectorConfig> Detectors() const;

 private:
  struct Member {
    DetectorModel model;
    FaultInForce fault;
  };
  std::vector<Member> members_;  // never empty
};

}  // namespace karvello::sim
