#include "framing/replies.h"

#include "framing/registers.h"

namespace karvello {

ReplyShape::ReplyShape(std::optional<std::uint8_t> slave, std::uint8_t function,
                       std::array<int, 2> rest, std::size_t length)
    : slave_(slave ? int{*slave} : kAny), function_(function), rest_(rest), length_(length) {}

ReplyShape ReplyShape::ReadReply(std::optional<std::uint8_t> slave, std::uint16_t count) {
  const int byteCount = 2 * count;
  // slave address + function code + byte count + data + 2 bytes CRC
  return {slave,
          reg::kFnReadHoldingRegisters,
          {byteCount, kAny},
          3 + static_cast<std::size_t>(byteCount) + 2};
}

ReplyShape ReplyShape::WriteEcho(std::uint8_t slave, std::uint16_t registerNumber) {
  // slave address + function code + register + value + 2 bytes CRC
  return {slave, reg::kFnWriteSingleRegister, {registerNumber >> 8, registerNumber & 0xFF}, 8};
}

ReplyShape ReplyShape::RefusalOf(std::optional<std::uint8_t> slave, std::uint8_t function) {
  return {slave,
          static_cast<std::uint8_t>(function | reg::kExceptionFlag),
          {kAny, kAny},
          kRefusalLength};
}

ReplyShape ReplyShape::For(const RequestFrame& request, bool fromAnySlave) {
  const std::optional<std::uint8_t> slave = fromAnySlave ? std::nullopt : std::optional(request[0]);
  if (request[1] == reg::kFnWriteSingleRegister) {
    return WriteEcho(request[0], static_cast<std::uint16_t>(request[2] << 8 | request[3]));
  }
  return ReadReply(slave, static_cast<std::uint16_t>(request[4] << 8 | request[5]));
}

ReplyShape::Match ReplyShape::MatchAt(std::span<const std::uint8_t> bytes,
                                      std::size_t offset) const {
  if (offset >= bytes.size()) return Match::kNo;
  const std::size_t there = bytes.size() - offset;
  const auto at = [&](std::size_t i) { return bytes[offset + i]; };
  if (slave_ != kAny && at(0) != slave_) return Match::kNo;
  if (there > 1 && at(1) != function_) return Match::kNo;
  for (std::size_t i = 0; i < rest_.size(); ++i) {
    if (there > i + 2 && rest_[i] != kAny && at(i + 2) != rest_[i]) return Match::kNo;
  }
  return there >= length_ ? Match::kWhole : Match::kPartial;
}

}  // namespace karvello
