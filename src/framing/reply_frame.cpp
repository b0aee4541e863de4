#include "framing/reply_frame.h"

#include "framing/registers.h"

namespace karvello {

std::optional<std::size_t> ReplyLength(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2) return std::nullopt;
  const std::uint8_t function = bytes[1];
  // slave address + function code + exception code + 2 bytes CRC
  if (function & reg::kExceptionFlag) return 5;
  // slave address + function code + register + value + 2 bytes CRC
  if (function == reg::kFnWriteSingleRegister) return 8;
  if (function == reg::kFnReadHoldingRegisters) {
    if (bytes.size() < 3) return std::nullopt;
    // slave address + function code + byte count + data + 2 bytes CRC
    return 5 + static_cast<std::size_t>(bytes[2]);
  }
  return std::nullopt;
}

bool IsExceptionReply(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 2 && (bytes[1] & reg::kExceptionFlag) != 0;
}

}  // namespace karvello
