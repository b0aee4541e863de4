#pragma once
// Byte strings written the way the log shows them ("05 03 02 00 05 89 87"), and frames with their
// CRC, for tests.

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "framing/frames.h"

namespace karvello::testing {

inline std::vector<std::uint8_t> Hex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) throw std::invalid_argument("odd hex digit in " + std::string(text));
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

// A request frame written out ("05 03 00 0F 00 01 B5 8D"), and the bytes of one.
inline RequestFrame Frame(std::string_view text) {
  const auto bytes = Hex(text);
  RequestFrame frame{};
  if (bytes.size() != frame.size())
    throw std::invalid_argument("not 8 bytes: " + std::string(text));
  std::copy(bytes.begin(), bytes.end(), frame.begin());
  return frame;
}

inline std::vector<std::uint8_t> Bytes(const RequestFrame& frame) {
  return {frame.begin(), frame.end()};
}

// A run of bytes the way the log shows it: upper-case pairs joined by single spaces.
inline std::string HexText(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

// Modbus CRC-16 reckoned bit by bit (polynomial 0xA001 reflected, start 0xFFFF): a second
// reckoning, apart from the tool's table-driven one.
inline std::uint16_t BitwiseCrc16(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1U) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001U)
                       : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

// `message` with its CRC appended, low byte first.
inline std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> message) {
  const std::uint16_t crc = BitwiseCrc16(message);
  message.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  message.push_back(static_cast<std::uint8_t>(crc >> 8));
  return message;
}

}  // namespace karvello::testing
