#include "sim/faults.h"

#include <algorithm>

#include "sim/detector_model.h"

namespace karvello::sim {

namespace {

// The reply spoilt by the fault's kind alone, in its pieces.
std::vector<Piece> SpoilByKind(const Fault& f, std::vector<std::uint8_t> reply,
                               std::uint8_t function) {
  const std::size_t n = reply.size();
  switch (f.kind) {
    case Fault::Kind::kNone:
    case Fault::Kind::kStray:
      break;
    case Fault::Kind::kNoReply:
      return {};
    case Fault::Kind::kSplit: {
      std::vector<Piece> pieces;
      std::size_t at = 0;
      for (std::size_t cut : f.cuts) {
        const std::size_t end = std::min(n, at + cut);
        pieces.push_back({pieces.empty() ? std::chrono::milliseconds{} : f.pause,
                          {reply.begin() + static_cast<std::ptrdiff_t>(at),
                           reply.begin() + static_cast<std::ptrdiff_t>(end)}});
        at = end;
      }
      pieces.push_back({f.pause, {reply.begin() + static_cast<std::ptrdiff_t>(at), reply.end()}});
      return pieces;
    }
    case Fault::Kind::kTrickle: {
      std::vector<Piece> pieces;
      for (std::uint8_t byte : reply) {
        pieces.push_back({pieces.empty() ? std::chrono::nanoseconds{} : kByteTime, {byte}});
      }
      return pieces;
    }
    case Fault::Kind::kBadCrc:
      reply[n - 1] ^= 0xFF;
      reply[n - 2] ^= 0xFF;
      break;
    case Fault::Kind::kTruncate:
      reply.resize(n - std::min(n, f.count));
      break;
    case Fault::Kind::kException:
      reply = ExceptionReply(reply[0], function, f.code);
      break;
    case Fault::Kind::kWrongAddress:
      reply.resize(n - 2);
      reply[0] = f.code;
      reply = WithCrc(std::move(reply));
      break;
    case Fault::Kind::kExtraBytes:
      reply.insert(reply.end(), f.extra.begin(), f.extra.end());
      break;
    case Fault::Kind::kNoiseAfter:
      return {{{}, std::move(reply)}, {f.pause, f.extra}};
    case Fault::Kind::kTwice:
      return {{{}, reply}, {f.pause, reply}};
    case Fault::Kind::kDelay:
      return {{f.pause, std::move(reply)}};
    case Fault::Kind::kFlipBits:
      reply[f.count % n] ^= f.code;
      break;
  }
  return {{{}, std::move(reply)}};
}

}  // namespace

std::vector<Piece> Spoil(const Fault& f, std::vector<std::uint8_t> reply, std::uint8_t function) {
  // Stray bytes go in front before the reply is cut, so that the cuts count them too.
  const bool cut = f.kind == Fault::Kind::kSplit || f.kind == Fault::Kind::kTrickle;
  if (cut) reply.insert(reply.begin(), f.before.begin(), f.before.end());
  std::vector<Piece> pieces = SpoilByKind(f, std::move(reply), function);
  if (!cut && !f.before.empty()) {
    if (pieces.empty()) pieces.push_back({{}, {}});
    pieces.front().bytes.insert(pieces.front().bytes.begin(), f.before.begin(), f.before.end());
  }
  return pieces;
}

}  // namespace karvello::sim
