#include "framing/frame_text.h"

#include <charconv>
#include <stdexcept>

namespace karvello {

std::string FormatHexByte(std::uint8_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[value >> 4], kDigits[value & 0x0FU]};
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string FormatFrameText(std::span<const std::uint8_t> bytes, std::size_t count) {
  if (count > bytes.size()) throw std::out_of_range("FormatFrameText: count beyond the bytes");
  std::string out;
  out.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) out += ' ';
    out += FormatHexByte(bytes[i]);
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> BytesOfHexText(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    std::uint8_t byte = 0;
    const auto [end, error] = std::from_chars(text.data() + i, text.data() + text.size(), byte, 16);
    if (error != std::errc() || end != text.data() + i + 2) return std::nullopt;
    bytes.push_back(byte);
    i += 2;
  }
  return bytes;
}

}  // namespace karvello
