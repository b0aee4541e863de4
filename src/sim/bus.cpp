#include "sim/bus.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace karvello::sim {

Bus::Bus(const std::vector<DetectorConfig>& detectors) {
  if (detectors.empty()) throw std::invalid_argument("a bus needs at least one detector");
  for (const DetectorConfig& config : detectors) members_.push_back({DetectorModel(config), {}});
}

std::vector<Reply> Bus::Take(std::span<const std::uint8_t> request, Clock::time_point now) {
  std::vector<Reply> replies;
  for (Member& member : members_) {
    if (auto reply = member.model.Answer(request, now)) {
      replies.push_back({std::move(*reply), member.fault.Take()});
    }
  }
  return replies;
}

std::vector<Piece> Bus::Respond(std::span<const std::uint8_t> request, Clock::time_point now) {
  std::vector<std::vector<Piece>> plans;
  for (Reply& reply : Take(request, now)) {
    std::vector<Piece> plan = Spoil(reply.fault, std::move(reply.bytes), request[1]);
    if (!plan.empty()) plans.push_back(std::move(plan));
  }
  if (plans.size() <= 1) return plans.empty() ? std::vector<Piece>{} : std::move(plans.front());
  // Their first pieces go out at once, after the longest of their pauses; the rest of spoilt
  // replies follows, one detector after another.
  std::vector<std::vector<std::uint8_t>> heads;
  Piece together{{}, {}};
  for (const std::vector<Piece>& plan : plans) {
    together.pauseBefore = std::max(together.pauseBefore, plan.front().pauseBefore);
    heads.push_back(plan.front().bytes);
  }
  together.bytes = Overlap(heads);
  std::vector<Piece> pieces{std::move(together)};
  for (std::vector<Piece>& plan : plans) {
    pieces.insert(pieces.end(), std::make_move_iterator(plan.begin() + 1),
                  std::make_move_iterator(plan.end()));
  }
  return pieces;
}

std::size_t Bus::Each(std::optional<std::uint8_t> address,
                      const std::function<void(DetectorConfig&, FaultInForce&)>& change) {
  std::size_t count = 0;
  for (Member& member : members_) {
    if (address && member.model.Config().address != *address) continue;
    change(member.model.Config(), member.fault);
    ++count;
  }
  return count;
}

std::vector<DetectorConfig> Bus::Detectors() const {
  std::vector<DetectorConfig> configs;
  for (const Member& member : members_) configs.push_back(member.model.Config());
  return configs;
}

std::vector<std::uint8_t> Overlap(const std::vector<std::vector<std::uint8_t>>& frames) {
  if (frames.size() == 1) return frames.front();
  // The line bit time by bit time: start bit 0, eight data bits from the lowest, stop bit 1.
  constexpr std::size_t kBits = 10;
  std::size_t length = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    length = std::max(length, i * kCollisionSkewBits + kBits * frames[i].size());
  }
  std::vector<bool> high(length + kBits, true);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    for (std::size_t k = 0; k < frames[i].size(); ++k) {
      const std::size_t at = i * kCollisionSkewBits + k * kBits;
      high[at] = false;
      for (std::size_t bit = 0; bit < 8; ++bit) {
        if (((frames[i][k] >> bit) & 1U) == 0) high[at + 1 + bit] = false;
      }
    }
  }
  std::vector<std::uint8_t> received;
  for (std::size_t at = 0; at < length;) {
    if (high[at]) {
      ++at;
      continue;
    }
    std::uint8_t byte = 0;
    for (std::size_t bit = 0; bit < 8; ++bit) {
      if (high[at + 1 + bit]) byte = static_cast<std::uint8_t>(byte | 1U << bit);
    }
    received.push_back(byte);
    at += kBits;
  }
  return received;
}

}  // namespace karvello::sim
