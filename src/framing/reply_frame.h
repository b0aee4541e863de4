#pragma once
// Modbus RTU replies as the tool receives them.

#include <cstdint>
#include <optional>
#include <span>

namespace karvello {

// The whole length of the reply that begins with `bytes`, known from its own first bytes:
// function 6 (an echo of the write): 8 bytes; function 3: slave, function, byte count, the data,
// two CRC bytes, so 5 plus the byte count; an exception reply (function code with the high bit
// set): slave, function, exception code, two CRC bytes, 5 bytes. Empty while too few bytes are
// in to tell, and for a function code whose replies the tool does not know.
std::optional<std::size_t> ReplyLength(std::span<const std::uint8_t> bytes);

// True when the reply is a Modbus exception reply (function code with its high bit set).
bool IsExceptionReply(std::span<const std::uint8_t> bytes);

}  // namespace karvello
