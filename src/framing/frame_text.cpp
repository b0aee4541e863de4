#include "framing/frame_text.h"

#include <stdexcept>

namespace karvello {

std::string FormatHexByte(std::uint8_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[value >> 4], kDigits[value & 0x0FU]};
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

}  // namespace karvello
