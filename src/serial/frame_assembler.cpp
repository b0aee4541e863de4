#include "serial/frame_assembler.h"

#include <algorithm>

#include "framing/crc16.h"
#include "framing/reply_frame.h"

namespace karvello {

std::size_t FrameAssembler::Feed(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    // Whole frames leave the buffer as soon as they are in, so a burst longer than the buffer
    // still delivers the frames it carries.
    while (auto frame = NextFrame()) ready_.push_back(std::move(*frame));
    const std::size_t room = kReceiveBufferSize - pending_.size();
    if (room == 0) break;
    const std::size_t taken = std::min(room, bytes.size());
    pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<long>(taken));
    bytes = bytes.subspan(taken);
  }
  return bytes.size();
}

std::optional<std::vector<std::uint8_t>> FrameAssembler::TakeFrame() {
  if (!ready_.empty()) {
    auto frame = std::move(ready_.front());
    ready_.pop_front();
    return frame;
  }
  return NextFrame();
}

std::vector<std::uint8_t> FrameAssembler::TakeRest() {
  std::vector<std::uint8_t> rest;
  rest.swap(pending_);
  return rest;
}

std::optional<std::size_t> FrameAssembler::LengthAt(std::size_t offset) const {
  if (offset >= pending_.size()) return std::nullopt;
  // Three bytes tell the length of every reply the tool knows.
  const std::size_t head = std::min<std::size_t>(3, pending_.size() - offset);
  return ReplyLength(std::span(pending_).subspan(offset, head));
}

std::optional<std::size_t> FrameAssembler::ValidFrameFrom(std::size_t from) const {
  // Stray bytes in front of a reply are a few at most (a driver turning round, a glitch, a cut
  // reply); looking further would only cost time on a line full of noise.
  const std::size_t end = std::min(pending_.size(), from + kMaxStrayBytes);
  for (std::size_t offset = from; offset < end; ++offset) {
    const auto length = LengthAt(offset);
    if (length && offset + *length <= pending_.size() &&
        HasValidCrc(std::span(pending_).subspan(offset, *length))) {
      return offset;
    }
  }
  return std::nullopt;
}

std::vector<std::uint8_t> FrameAssembler::Take(std::size_t count) {
  std::vector<std::uint8_t> frame(pending_.begin(), pending_.begin() + static_cast<long>(count));
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(count));
  return frame;
}

std::optional<std::vector<std::uint8_t>> FrameAssembler::NextFrame() {
  const auto length = LengthAt(0);
  const bool whole = length && pending_.size() >= *length;
  if (whole && HasValidCrc(std::span(pending_).first(*length))) return Take(*length);
  if (whole || (!length && pending_.size() >= 2)) {
    // The front makes no frame with a right CRC: if one stands behind some stray bytes, those
    // bytes were noise. Otherwise the front is handed over as it is (or, of unknown length,
    // when the line falls silent) for the operation to judge.
    if (const auto start = ValidFrameFrom(1)) {
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(*start));
      return Take(*LengthAt(0));
    }
  }
  if (whole) return Take(*length);
  return std::nullopt;
}

}  // namespace karvello
