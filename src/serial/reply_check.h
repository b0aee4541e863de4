#pragma once
// Judging a received frame against the request in flight.

#include <cstdint>
#include <span>

#include "framing/frames.h"

namespace karvello {

enum class ReplyVerdict {
  kDiscard,  // no reply is awaited for the pending step: the bytes are dropped
  kNoise,    // too short to be a reply header: dropped, the time-out keeps running
  kGood,     // the whole reply, header and CRC right: the operation's report
  kBad,      // a wrong header, a truncated frame, a wrong CRC or an exception reply: failure
};

// Bytes of the whole reply to each awaited request: 8 for the echo of the address write, 7 for
// the address and the voltage, 9 for the resistance. 0 for steps that await no reply.
std::size_t ReplyLengthOf(CommandCode pending);

// `address` is the number the address box begins with, read when the reply is handled; the
// slave address of the reply must be exactly that number. The query address went to every
// detector, so its reply must only agree with itself: the slave address is also the register's
// low byte. Bytes beyond the reply's length play no part.
ReplyVerdict JudgeReply(CommandCode pending, std::span<const std::uint8_t> rx, double address);

}  // namespace karvello
