#pragma once
// Ways for a detector's replies to go wrong, and the pieces a spoilt reply goes out in. Faults
// touch replies only; requests that draw no reply (broadcasts, other slaves) neither show nor use
// them up.

#include <chrono>
#include <cstdint>
#include <vector>

namespace karvello::sim {

// A fault's count for "every reply until cleared".
inline constexpr int kPersistent = -1;

// A piece of what goes on the wire, written `pauseBefore` after the piece before it.
struct Piece {
  std::chrono::nanoseconds pauseBefore;
  std::vector<std::uint8_t> bytes;
};

// Stray bytes (`before`) may go with any kind: they are put in front of the reply before it is
// spoilt or cut, so the cuts of a split count them too.
struct Fault {
  enum class Kind {
    kNone,
    kNoReply,       // the reply is not sent
    kSplit,         // sent in pieces (cut after each of `cuts` bytes), `pause` between them
    kBadCrc,        // both CRC bytes inverted
    kTruncate,      // the last `count` bytes left off
    kException,     // exception reply with code `code` instead of the answer
    kWrongAddress,  // slave byte `code`, CRC recomputed
    kExtraBytes,    // `extra` appended
    kTwice,         // sent twice, `pause` between the copies
    kDelay,         // sent after `pause`
    kFlipBits,      // byte `count` (counted from 0, wrapping round the reply) XORed with `code`
    kStray,         // the reply as it is, with the stray bytes `before` in front of it
    kNoiseAfter,    // `extra` written `pause` after the reply (noise, or the head of another)
    kTrickle,       // every byte written by itself one byte time after the one before
  };
  Kind kind = Kind::kNone;
  std::vector<std::size_t> cuts;
  std::chrono::milliseconds pause{0};
  std::size_t count = 0;
  std::uint8_t code = 0;
  std::vector<std::uint8_t> extra;
  std::vector<std::uint8_t> before;

  static Fault NoReply() { return Make(Kind::kNoReply); }
  // Pauses under the tool's 50 ms frame gap keep the reply one frame for it.
  static Fault Split(std::vector<std::size_t> cuts, std::chrono::milliseconds pause) {
    Fault f = Make(Kind::kSplit, pause);
    f.cuts = std::move(cuts);
    return f;
  }
  static Fault BadCrc() { return Make(Kind::kBadCrc); }
  static Fault Truncate(std::size_t dropLast) {
    Fault f = Make(Kind::kTruncate);
    f.count = dropLast;
    return f;
  }
  static Fault Exception(std::uint8_t code = 0x04) { return Make(Kind::kException, {}, code); }
  static Fault FromAddress(std::uint8_t other) { return Make(Kind::kWrongAddress, {}, other); }
  static Fault Extra(std::vector<std::uint8_t> bytes) {
    Fault f = Make(Kind::kExtraBytes);
    f.extra = std::move(bytes);
    return f;
  }
  static Fault Twice(std::chrono::milliseconds pause = {}) { return Make(Kind::kTwice, pause); }
  static Fault Delay(std::chrono::milliseconds pause) { return Make(Kind::kDelay, pause); }
  // Noise on the line: the bits of `mask` turned over in byte `byte` of the reply.
  static Fault FlipBits(std::size_t byte, std::uint8_t mask) {
    Fault f = Make(Kind::kFlipBits, {}, mask);
    f.count = byte;
    return f;
  }
  // Bytes that are no reply in front of it, as a line that picks up noise when it turns round.
  static Fault Stray(std::vector<std::uint8_t> bytes) { return Make(Kind::kNone).WithStray(bytes); }
  // A pause inside the reply: its first `head` bytes, then `pause`, then the rest.
  static Fault PauseAfter(std::size_t head, std::chrono::milliseconds pause) {
    return Split({head}, pause);
  }
  // `noise` (say A5 A5 A5, or the head 01 03 02 of another reply) `pause` after the reply.
  static Fault NoiseAfter(std::vector<std::uint8_t> noise, std::chrono::milliseconds pause) {
    Fault f = Make(Kind::kNoiseAfter, pause);
    f.extra = std::move(noise);
    return f;
  }
  // The reply a byte at a time at the pace of 9600 baud, as a real line hands it over.
  static Fault Trickle() { return Make(Kind::kTrickle); }
  // This fault with `bytes` in front of the reply.
  Fault WithStray(std::vector<std::uint8_t> bytes) const {
    Fault f = *this;
    if (f.kind == Kind::kNone) f.kind = Kind::kStray;
    f.before = std::move(bytes);
    return f;
  }

 private:
  static Fault Make(Kind kind, std::chrono::milliseconds pause = {}, std::uint8_t code = 0) {
    Fault f;
    f.kind = kind;
    f.pause = pause;
    f.code = code;
    return f;
  }
};

// The pieces a reply to a request with function code `function` goes out in once `fault` has
// spoilt it (stray bytes included). Empty when nothing is sent.
std::vector<Piece> Spoil(const Fault& fault, std::vector<std::uint8_t> reply,
                         std::uint8_t function);

// A fault set on one detector: for its next `times` replies, or every one (kPersistent).
class FaultInForce {
 public:
  void Set(Fault fault, int times) {
    times_ = fault.kind == Fault::Kind::kNone ? 0 : times;
    fault_ = std::move(fault);
  }
  // The fault that spoils the reply about to go out (kNone when none), used up by it.
  Fault Take() {
    if (times_ == 0) return {};
    if (times_ > 0) --times_;
    return fault_;
  }

 private:
  Fault fault_;
  int times_ = 0;
};

}  // namespace karvello::sim
