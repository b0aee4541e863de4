#include "framing/mbap.h"

#include "framing/crc16.h"

namespace karvello {

namespace {

std::uint16_t Word(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

}  // namespace

MbapStart FindMbapFrame(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= 4 && Word(bytes, 2) != 0) return {MbapStart::Kind::kBad};
  if (bytes.size() < kMbapUnitAt) return {MbapStart::Kind::kPartial};
  const std::size_t length = Word(bytes, 4);
  // The length counts the unit id and the PDU, which holds a function code at least.
  if (length < 2 || length > kLongestMbapLength) return {MbapStart::Kind::kBad};
  if (bytes.size() < kMbapUnitAt + length) return {MbapStart::Kind::kPartial};
  return {MbapStart::Kind::kWhole, kMbapUnitAt + length};
}

std::vector<std::uint8_t> MbapFrame(std::uint16_t transaction, std::uint8_t unit,
                                    std::span<const std::uint8_t> pdu) {
  const std::size_t length = pdu.size() + 1;
  std::vector<std::uint8_t> frame = {static_cast<std::uint8_t>(transaction >> 8),
                                     static_cast<std::uint8_t>(transaction & 0xFFU),
                                     0,
                                     0,
                                     static_cast<std::uint8_t>(length >> 8),
                                     static_cast<std::uint8_t>(length & 0xFFU),
                                     unit};
  frame.insert(frame.end(), pdu.begin(), pdu.end());
  return frame;
}

std::uint16_t MbapTransaction(std::span<const std::uint8_t> frame) {
  return Word(frame, 0);
}

std::uint8_t MbapUnit(std::span<const std::uint8_t> frame) {
  return frame[kMbapUnitAt];
}

std::span<const std::uint8_t> MbapPdu(std::span<const std::uint8_t> frame) {
  return frame.subspan(kMbapHeaderSize);
}

std::vector<std::uint8_t> MbapOfRtu(std::span<const std::uint8_t> rtu, std::uint16_t transaction) {
  // slave + at least the function code + 2 bytes CRC
  if (rtu.size() < 4) return {};
  return MbapFrame(transaction, rtu[0], rtu.subspan(1, rtu.size() - 3));
}

std::vector<std::uint8_t> RtuOfMbap(std::span<const std::uint8_t> mbap) {
  if (mbap.size() < kMbapHeaderSize) return {};
  std::vector<std::uint8_t> rtu(mbap.begin() + kMbapUnitAt, mbap.end());
  const std::uint16_t crc = Crc16(rtu);
  rtu.push_back(static_cast<std::uint8_t>(crc & 0xFFU));
  rtu.push_back(static_cast<std::uint8_t>(crc >> 8));
  return rtu;
}

std::optional<std::uint8_t> RefusalCode(std::span<const std::uint8_t> reply) {
  const MbapStart start = FindMbapFrame(reply);
  if (start.kind == MbapStart::Kind::kWhole && start.size == reply.size() &&
      reply.size() > kMbapHeaderSize + 1) {
    return reply[kMbapHeaderSize + 1];
  }
  if (reply.size() > 2) return reply[2];
  return std::nullopt;
}

MbapReader::Taken MbapReader::Feed(std::span<const std::uint8_t> bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  Taken taken;
  std::size_t at = 0;
  while (at < buffer_.size()) {
    const MbapStart start = FindMbapFrame(std::span(buffer_).subspan(at));
    if (start.kind == MbapStart::Kind::kBad) {
      taken.broken.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(at), buffer_.end());
      buffer_.clear();
      return taken;
    }
    if (start.kind == MbapStart::Kind::kPartial) break;
    const auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(at);
    taken.frames.push_back(
        {Word(buffer_, at), {begin, begin + static_cast<std::ptrdiff_t>(start.size)}});
    at += start.size;
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
  return taken;
}

}  // namespace karvello
