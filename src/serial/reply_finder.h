#pragma once
// Finds the reply to the request in flight in the bytes that arrive after it. The tool knows
// what it waits for: a reply from the slave it asked, of the length its request calls for, or
// that slave's refusal. That reply is found wherever it stands in what arrives, however it is
// split and whatever stray bytes come before it, and is handed over as soon as its last byte is
// in. A reply whose head has come waits for its rest however long the line pauses. Bytes that
// cannot be the reply are handed over for judging once the line has fallen silent.
//
// Some RS-485 adapters hear their own transmission. A verbatim copy of the request in front of
// what arrives shows such a line (the broadcast of set address, which no detector answers, shows
// it at once); on such a line each request's own copy is passed over before the reply is looked
// for, so that the echo of a write is never taken for the detector's answer.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "framing/replies.h"

namespace karvello {

// The receive buffer of the line: what waits beyond it, oldest first, is dropped.
inline constexpr std::size_t kReceiveBufferSize = 1024;

struct Received {
  enum class Kind {
    kReply,    // the awaited reply, whole, its CRC right
    kRefusal,  // the slave's exception reply to the request, whole, its CRC right
    kCorrupt,  // the awaited reply's head and length, with a wrong CRC
    kStray,    // bytes that cannot be the awaited reply, handed over when the line fell silent
  };
  Kind kind;
  std::vector<std::uint8_t> bytes;
  bool operator==(const Received&) const = default;
};

class ReplyFinder {
 public:
  // A request went out: whatever waits is dropped, and from now on what arrives is searched for
  // `reply` and for the slave's refusal. Without a `reply` nothing is awaited: what arrives is
  // dropped, once it has shown whether the line echoes.
  void Expect(std::span<const std::uint8_t> request, std::optional<ReplyShape> reply);
  // Takes arrived bytes; returns what they complete, in order.
  std::vector<Received> Feed(std::span<const std::uint8_t> bytes);
  // The line has fallen silent: the bytes that cannot be the awaited reply, if any.
  std::optional<Received> Silence();
  // A port was opened or closed: nothing is awaited and nothing is known of the line.
  void Reset();

  bool HasWaiting() const { return !buffer_.empty(); }
  std::size_t Waiting() const { return buffer_.size(); }
  bool Echoing() const { return echoing_; }

 private:
  void Process(std::vector<Received>& out);
  // Settles whether the front is the request's own copy; false while that cannot be told yet.
  bool PassOwnCopy();
  // What could stand at `offset`: the reply or the refusal, whole or begun. Nothing when neither
  // fits the bytes there.
  struct Candidate {
    bool whole;
    bool isReply;
    std::size_t length;
  };
  std::optional<Candidate> CandidateAt(std::size_t offset) const;
  bool AnyCandidateFrom(std::size_t offset) const;
  Received Take(Received::Kind kind, std::size_t offset, std::size_t length);

  std::vector<std::uint8_t> buffer_;
  std::vector<std::uint8_t> request_;
  std::optional<ReplyShape> reply_;
  std::optional<ReplyShape> refusal_;
  bool copyPending_ = false;  // the request's own copy may still come first
  bool copyTeaches_ = false;  // no detector answers this request with a copy of it
  bool echoing_ = false;
};

}  // namespace karvello
