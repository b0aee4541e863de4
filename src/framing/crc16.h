#pragma once
// CRC-16 of Modbus RTU (CRC-16/MODBUS): polynomial 0x8005 processed least significant bit
// first (right-shifting constant 0xA001), register preset to 0xFFFF, no final XOR.
// On the wire the low-order byte of the CRC comes first, then the high-order byte.

#include <array>
#include <cstdint>
#include <span>

namespace karvello {

namespace detail {
// The two 256-entry tables of the classic table-driven routine, built from the rule: for each
// index, eight right shifts, XOR 0xA001 whenever the bit shifted out is 1. The first table holds
// the low-order bytes of the results, the second the high-order bytes.
struct CrcTables {
  std::array<std::uint8_t, 256> lo{};
  std::array<std::uint8_t, 256> hi{};
};

constexpr CrcTables MakeCrcTables() {
  CrcTables t;
  for (unsigned i = 0; i < 256; ++i) {
    unsigned c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1U) ? (c >> 1) ^ 0xA001U : c >> 1;
    t.lo[i] = static_cast<std::uint8_t>(c & 0xFFU);
    t.hi[i] = static_cast<std::uint8_t>(c >> 8);
  }
  return t;
}
}  // namespace detail

inline constexpr detail::CrcTables kCrcTables = detail::MakeCrcTables();

// The CRC of `bytes`, as one value: low byte is the first CRC byte on the wire.
constexpr std::uint16_t Crc16(std::span<const std::uint8_t> bytes) {
  std::uint8_t lo = 0xFF;
  std::uint8_t hi = 0xFF;
  for (std::uint8_t b : bytes) {
    const std::uint8_t t = lo ^ b;
    lo = hi ^ kCrcTables.lo[t];
    hi = kCrcTables.hi[t];
  }
  return static_cast<std::uint16_t>(hi << 8 | lo);
}

// Computes the CRC over bytes 0 to `lastIndex` (an index, not a count: 5 covers a six-byte
// message; below 0 covers nothing) and stores it in `crcLo`/`crcHi`. When `lastIndex` lies
// beyond the end of `frame` nothing is read and nothing is stored: std::out_of_range is thrown.
void CalcCrc16(std::span<const std::uint8_t> frame, int lastIndex, std::uint8_t& crcLo,
               std::uint8_t& crcHi);

// True when the last two bytes of `frame` are the CRC of the bytes before them.
bool HasValidCrc(std::span<const std::uint8_t> frame);

}  // namespace karvello
