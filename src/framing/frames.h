#pragma once
// Request frames. A request frame is 8 bytes: slave address, function code, register number
// (high byte first), value or register count (high byte first), CRC low byte, CRC high byte.

#include <array>
#include <cstdint>

namespace karvello {

inline constexpr std::size_t kRequestFrameSize = 8;
using RequestFrame = std::array<std::uint8_t, kRequestFrameSize>;

// Bytes 0 to 5 of a request: the message the CRC covers.
struct RequestLayout {
  std::uint8_t slave;
  std::uint8_t function;
  std::uint16_t registerNumber;
  std::uint16_t value;  // the value written (function 6) or the register count (function 3)
};

// The frame of `layout`, its CRC computed into bytes 6 and 7.
RequestFrame BuildRequestFrame(const RequestLayout& layout);

}  // namespace karvello
