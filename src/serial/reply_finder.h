#pragma once
// Finds the reply to the request in flight in the bytes that arrive after it. The tool knows
// what it waits for: a reply from the slave it asked, of the length its request calls for, or
// that slave's refusal. That reply is found wherever it stands in what arrives, however it is
// split and whatever stray bytes come before it, and is handed over as soon as its last byte is
// in. A reply whose head has come waits for its rest however long the line pauses. Bytes that
// cannot be the reply are handed over for judging once the line has fallen silent.
//
// Some RS-485 adapters hear their own transmission. A verbatim copy of a request that no detector
// answers with a copy of it (a broadcast, as set address sends first, or a read) shows such a
// line, wherever the copy stands in what arrives and whatever stray bytes come before it. Once
// shown, the line is known to echo until the port changes. On such a line each request's own copy
// is cut out of what arrives as soon as it is whole, before the reply is looked for, so that the
// line's copy of a write is never taken for the detector's echo of it, which is the same bytes and
// comes after. The bytes around the copy are judged as if it had not been there.

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
  std::vector<std::uint8_t> bytes;  // RTU, as judged
  // As they crossed the wire, when the line packs its frames otherwise (an MBAP frame over
  // Modbus TCP); empty: the bytes themselves.
  std::vector<std::uint8_t> wire = {};
  std::span<const std::uint8_t> OnWire() const { return wire.empty() ? bytes : wire; }
  bool operator==(const Received&) const = default;
};

class ReplyFinder {
 public:
  // A request went out: whatever waits is dropped, and from now on what arrives is searched for
  // `reply` and for the slave's refusal. Without a `reply` nothing is awaited: what arrives is
  // dropped, but for a head of the request's own copy while the copy may still show that the line
  // echoes.
  void Expect(std::span<const std::uint8_t> request, std::optional<ReplyShape> reply);
  // Takes arrived bytes; returns what they complete, in order.
  std::vector<Received> Feed(std::span<const std::uint8_t> bytes);
  // The line has fallen silent: the bytes that cannot be the awaited reply, if any.
  std::optional<Received> Silence();
  // A port was opened or closed: nothing is awaited and nothing is known of the line.
  void Reset();

  bool HasWaiting() const { return !buffer_.empty(); }
  std::size_t Waiting() const { return buffer_.size(); }
  // The bytes that wait, oldest first: what arrived, less what was taken or passed over.
  std::span<const std::uint8_t> WaitingBytes() const { return buffer_; }
  bool Echoing() const { return echoing_; }

 private:
  void Process(std::vector<Received>& out);
  // The request's own copy is still looked for.
  bool SeeksOwnCopy() const;
  // Where the request's own copy stands: the first offset from which every byte that has come
  // fits it, the copy whole or its head at the end. Nothing when no offset fits.
  std::optional<std::size_t> OwnCopyAt() const;
  // Cuts the request's own copy out of what waits once it is whole.
  void CutOwnCopy();
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
  bool copyPending_ = false;  // the request's own copy may still come
  bool copyTeaches_ = false;  // no detector answers this request with a copy of it
  bool echoing_ = false;      // forgotten only by Reset
};

}  // namespace karvello
