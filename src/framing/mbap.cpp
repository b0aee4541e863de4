#include "framing/mbap.h"

#include "framing/crc16.h"

namespace karvello {

std::vector<std::uint8_t> MbapOfRtu(std::span<const std::uint8_t> rtu, std::uint16_t transaction) {
  // slave + at least the function code + 2 bytes CRC
  if (rtu.size() < 4) return {};
  const std::span<const std::uint8_t> unitAndPdu = rtu.first(rtu.size() - 2);
  const auto length = static_cast<std::uint16_t>(unitAndPdu.size());
  std::vector<std::uint8_t> frame = {static_cast<std::uint8_t>(transaction >> 8),
                                     static_cast<std::uint8_t>(transaction & 0xFFU),
                                     0,
                                     0,
                                     static_cast<std::uint8_t>(length >> 8),
                                     static_cast<std::uint8_t>(length & 0xFFU)};
  frame.insert(frame.end(), unitAndPdu.begin(), unitAndPdu.end());
  return frame;
}

std::vector<std::uint8_t> RtuOfMbap(std::span<const std::uint8_t> mbap) {
  if (mbap.size() < kMbapHeaderSize) return {};
  std::vector<std::uint8_t> rtu(mbap.begin() + 6, mbap.end());
  const std::uint16_t crc = Crc16(rtu);
  rtu.push_back(static_cast<std::uint8_t>(crc & 0xFFU));
  rtu.push_back(static_cast<std::uint8_t>(crc >> 8));
  return rtu;
}

MbapReader::Taken MbapReader::Feed(std::span<const std::uint8_t> bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  Taken taken;
  std::size_t at = 0;
  while (buffer_.size() - at >= 6) {
    const std::uint16_t protocol =
        static_cast<std::uint16_t>(buffer_[at + 2] << 8 | buffer_[at + 3]);
    const std::size_t length = static_cast<std::size_t>(buffer_[at + 4] << 8 | buffer_[at + 5]);
    // the unit id and at least a function code
    if (protocol != 0 || length < 2 || length > kLongestMbapLength) {
      taken.broken.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(at), buffer_.end());
      buffer_.clear();
      return taken;
    }
    if (buffer_.size() - at < 6 + length) break;
    const auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(at);
    taken.frames.push_back({static_cast<std::uint16_t>(buffer_[at] << 8 | buffer_[at + 1]),
                            {begin, begin + static_cast<std::ptrdiff_t>(6 + length)}});
    at += 6 + length;
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
  return taken;
}

}  // namespace karvello
