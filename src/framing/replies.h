#pragma once
// The replies the tool waits for, by their shape: which slave sends them, the bytes their head
// must hold, and their whole length. A request's own reply and the slave's refusal of it (an
// exception reply) are both known before the reply arrives.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "framing/frames.h"

namespace karvello {

// An exception reply: slave, function code with its high bit set, exception code, two CRC bytes.
inline constexpr std::size_t kRefusalLength = 5;

class ReplyShape {
 public:
  // The reply to a read of `count` registers: slave, 3, byte count (2 x count), the data, CRC.
  // `slave` empty: any slave may answer (a broadcast read).
  static ReplyShape ReadReply(std::optional<std::uint8_t> slave, std::uint16_t count);
  // The echo of a write of a single register: slave, 6, the register number, the value, CRC.
  static ReplyShape WriteEcho(std::uint8_t slave, std::uint16_t registerNumber);
  // The slave's refusal of a request with function `function`.
  static ReplyShape RefusalOf(std::optional<std::uint8_t> slave, std::uint8_t function);
  // The reply the request `request` awaits: from the slave it addressed, or from any slave
  // when `fromAnySlave` (the detector answers a broadcast read of its address with its own).
  // The refusal is RefusalOf that slave and the request's function.
  static ReplyShape For(const RequestFrame& request, bool fromAnySlave = false);

  enum class Match {
    kNo,       // the bytes there are cannot begin this reply
    kPartial,  // every byte there is fits the reply's head, and the reply is not whole yet
    kWhole,    // the head fits and the reply's length is in (its CRC still to be checked)
  };
  // How the bytes from `offset` on fit this reply.
  Match MatchAt(std::span<const std::uint8_t> bytes, std::size_t offset) const;

  std::size_t Length() const { return length_; }
  std::optional<std::uint8_t> Slave() const {
    return slave_ == kAny ? std::nullopt : std::optional(static_cast<std::uint8_t>(slave_));
  }
  std::uint8_t Function() const { return function_; }
  bool operator==(const ReplyShape&) const = default;

 private:
  static constexpr int kAny = -1;
  ReplyShape(std::optional<std::uint8_t> slave, std::uint8_t function, std::array<int, 2> rest,
             std::size_t length);

  int slave_ = kAny;
  std::uint8_t function_ = 0;
  std::array<int, 2> rest_{kAny, kAny};  // bytes 2 and 3 of the head, or kAny
  std::size_t length_ = 0;
};

}  // namespace karvello
