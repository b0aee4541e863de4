#include "framing/crc16.h"

#include <stdexcept>
#include <string>

namespace karvello {

void CalcCrc16(std::span<const std::uint8_t> frame, int lastIndex, std::uint8_t& crcLo,
               std::uint8_t& crcHi) {
  if (lastIndex >= static_cast<long long>(frame.size())) {
    throw std::out_of_range("CalcCrc16: last index " + std::to_string(lastIndex) +
                            " is beyond a frame of " + std::to_string(frame.size()) + " bytes");
  }
  const std::size_t count = lastIndex < 0 ? 0 : static_cast<std::size_t>(lastIndex) + 1;
  const std::uint16_t crc = Crc16(frame.first(count));
  crcLo = static_cast<std::uint8_t>(crc & 0xFFU);
  crcHi = static_cast<std::uint8_t>(crc >> 8);
}

bool HasValidCrc(std::span<const std::uint8_t> frame) {
  if (frame.size() < 3) return false;
  const std::size_t n = frame.size() - 2;
  const std::uint16_t crc = Crc16(frame.first(n));
  return frame[n] == (crc & 0xFFU) && frame[n + 1] == (crc >> 8);
}

}  // namespace karvello
