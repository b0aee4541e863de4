#pragma once
// What a front end asks of the engine (a request) and what it hands back (an outcome per
// operation end, and its progress in between).

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/operations.h"
#include "framing/frames.h"

namespace karvello {

struct Request {
  Operation operation;
  // The detector's address, or for set address the new address; not used by the query of the
  // address, a broadcast. None: the address given is not valid, and nothing is sent.
  std::optional<std::uint8_t> address;
  // The time within which the reply must come, for this request only; none: the operation's own.
  std::optional<std::chrono::milliseconds> wait = std::nullopt;
};

enum class Result {
  kAnswered,    // the awaited reply, whole, its CRC and its content right
  kRefused,     // the detector's exception reply
  kWrongReply,  // a whole reply with its CRC right whose content is not the one asked for
  kCorrupt,     // the reply with a wrong CRC, or bytes that cannot be the reply
  kNoReply,     // no reply within the time-out
  kLineLost,    // the port went away while the operation was in flight
  kNotSent,     // the address given is not valid: nothing was sent
};

struct Outcome {
  Operation operation;
  std::uint8_t address = 0;         // as requested; 0 for the query of the address
  std::vector<RequestFrame> sent;   // the requests of this operation, as they went out
  std::vector<std::uint8_t> reply;  // the bytes judged; empty when none came
  Result result = Result::kNoReply;
  std::optional<Reading> value;  // with kAnswered
  // The operation had already ended: a reply after its time-out, or another copy of its reply.
  bool again = false;
};

// Where an operation stands.
enum class Phase {
  kIdle,      // never started
  kDelaying,  // waiting out the delay before its next request
  kAwaiting,  // awaiting the reply to its request
  kAnswered,  // ended: answered, failed or timed out (a late or repeated reply still counts)
};

struct Progress {
  Operation operation;
  Phase phase;
  std::optional<std::size_t> sentStep;  // the request just sent, if that is the news
  std::chrono::seconds elapsed{0};      // of the delay, in whole seconds
  std::chrono::milliseconds delay{0};   // the whole delay, while delaying
};

}  // namespace karvello
