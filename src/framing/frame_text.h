#pragma once
// How frames appear in the log box.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace karvello {

// A byte as exactly two upper-case hexadecimal digits: 0 gives "00", 222 gives "DE".
std::string FormatHexByte(std::uint8_t value);

// The first `count` bytes as byte texts joined by single spaces ("05 03 02"). Throws
// std::out_of_range when `count` exceeds the bytes there are.
std::string FormatFrameText(std::span<const std::uint8_t> bytes, std::size_t count);
// All of `bytes` so: "05 03 02 00 DC 48 1D"; empty for none.
inline std::string HexText(std::span<const std::uint8_t> bytes) {
  return FormatFrameText(bytes, bytes.size());
}

// The value of a hexadecimal digit of either case: 'b' gives 11; -1 for any other character.
int HexDigit(char c);

// The bytes of such a text read back ("05 03 02 00 DC"); none when the text is not such.
std::optional<std::vector<std::uint8_t>> BytesOfHexText(std::string_view text);

}  // namespace karvello
