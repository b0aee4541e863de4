#include "serial/frame_assembler.h"

#include <algorithm>
#include <array>

#include "framing/reply_frame.h"

namespace karvello {

std::size_t FrameAssembler::Feed(std::span<const std::uint8_t> bytes) {
  const std::size_t room = kReceiveBufferSize - pending_.size();
  const std::size_t taken = std::min(room, bytes.size());
  pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<long>(taken));
  return bytes.size() - taken;
}

std::optional<std::vector<std::uint8_t>> FrameAssembler::TakeFrame() {
  // Three bytes tell the length of every reply the tool knows.
  std::array<std::uint8_t, 3> head{};
  const std::size_t headSize = std::min(head.size(), pending_.size());
  std::copy_n(pending_.begin(), headSize, head.begin());
  const auto length = ReplyLength(std::span(head).first(headSize));
  if (!length || pending_.size() < *length) return std::nullopt;
  std::vector<std::uint8_t> frame(pending_.begin(), pending_.begin() + static_cast<long>(*length));
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(*length));
  return frame;
}

std::vector<std::uint8_t> FrameAssembler::TakeRest() {
  std::vector<std::uint8_t> rest(pending_.begin(), pending_.end());
  pending_.clear();
  return rest;
}

}  // namespace karvello
