#pragma once
// Gathers received bytes into whole Modbus RTU frames. A frame is complete when its own length
// is in (see ReplyLength); bytes after it start the next frame. A frame whose length cannot be
// known, or that never completes, is handed over when the line falls silent (the owner's gap
// timer calls TakeRest). Stray bytes before a reply (line noise, an RS-485 driver turning round)
// are skipped when a frame with a right CRC follows them. What is waiting never exceeds the
// receive buffer's size: whole frames are taken out as they complete, and bytes that still find
// no room are dropped, as a full UART buffer drops them.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace karvello {

// The receive buffer of the line.
inline constexpr std::size_t kReceiveBufferSize = 1024;

// Silence that ends a frame whose length the bytes do not tell. Modbus asks for 3.5 character
// times (4 ms at 9600 baud); common USB adapters hand bytes over in batches every 16 ms, so the
// backstop waits a good deal longer than either.
inline constexpr std::chrono::milliseconds kFrameGap{50};

// How many stray bytes in front of a reply are looked past for it.
inline constexpr std::size_t kMaxStrayBytes = 32;

class FrameAssembler {
 public:
  // Takes bytes as they arrive. Returns the number of bytes dropped for want of room.
  std::size_t Feed(std::span<const std::uint8_t> bytes);
  // The next whole frame, if one is in.
  std::optional<std::vector<std::uint8_t>> TakeFrame();
  // Every byte waiting (the line has fallen silent): empty when none.
  std::vector<std::uint8_t> TakeRest();
  // True while bytes are waiting that do not make a whole frame yet.
  bool HasPartial() const { return !pending_.empty(); }
  std::size_t Pending() const { return pending_.size(); }
  void Clear() {
    pending_.clear();
    ready_.clear();
  }

 private:
  // The frame at the front of what is waiting, once it is whole.
  std::optional<std::vector<std::uint8_t>> NextFrame();
  std::optional<std::size_t> LengthAt(std::size_t offset) const;
  // The first offset from `from` on at which a whole frame with a right CRC is waiting.
  std::optional<std::size_t> ValidFrameFrom(std::size_t from) const;
  std::vector<std::uint8_t> Take(std::size_t count);

  std::vector<std::uint8_t> pending_;            // bytes not yet part of a whole frame
  std::deque<std::vector<std::uint8_t>> ready_;  // whole frames taken out to make room
};

}  // namespace karvello
