#pragma once
// The six request steps the tool sends and the bytes of their frames.
//
// A request frame is 8 bytes: slave address, function code, register number (high byte first),
// value or register count (high byte first), CRC low byte, CRC high byte.

#include <array>
#include <cstdint>
#include <string_view>

namespace karvello {

using CommandCode = std::int16_t;

inline constexpr CommandCode CMD_NONE = 0;  // no command sent yet
inline constexpr CommandCode CMD_SET_ADDRESS = 1;
inline constexpr CommandCode CMD_SET_ADDRESS_CONFIRM = 11;
inline constexpr CommandCode CMD_QUERY_ADDRESS = 2;
inline constexpr CommandCode CMD_QUERY_RESISTANCE = 3;
inline constexpr CommandCode CMD_READ_RESISTANCE = 33;
inline constexpr CommandCode CMD_QUERY_VOLTAGE = 4;

inline constexpr std::size_t kRequestFrameSize = 8;
using RequestFrame = std::array<std::uint8_t, kRequestFrameSize>;

// Bytes 0 to 5 of a request: the message the CRC covers.
struct RequestLayout {
  std::uint8_t slave;
  std::uint8_t function;
  std::uint16_t registerNumber;
  std::uint16_t value;  // the value written (function 6) or the register count (function 3)
};

// The layout of `code` sent with address byte `address`. A code the tool does not know gives a
// frame of zeros.
RequestLayout LayoutOf(CommandCode code, std::uint8_t address);

// The frame of `layout` with the given CRC bytes.
RequestFrame FrameOf(const RequestLayout& layout, std::uint8_t crcLo, std::uint8_t crcHi);

// The query-address request: a broadcast read of the bus-address register, with its CRC.
inline constexpr RequestFrame kQueryAddressFrame = {0x00, 0x03, 0x00, 0x12, 0x00, 0x01, 0x25, 0xDE};

// Builds the frame of `code` from the address box text. For every code but the query address,
// the CRC is computed into `crcLo`/`crcHi` (which then hold the CRC of the last frame built);
// the query-address frame is the constant above and leaves them as they were.
RequestFrame BuildRequestFrame(CommandCode code, std::string_view addressText, std::uint8_t& crcLo,
                               std::uint8_t& crcHi);

}  // namespace karvello
