#pragma once
// What a front end asks of the engine (a request) and what it hands back (an outcome per
// operation end, and its progress in between).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// The name of a result, as the record, the command line and the gateway write it: "answered",
// "refused", "wrong-reply", "corrupt", "no-reply", "line-lost", "not-sent".
std::string_view ResultName(Result result);
// The result of a name; none for a name no result has.
std::optional<Result> ResultNamed(std::string_view name);

struct Outcome {
  Operation operation;
  std::uint8_t address = 0;  // as requested; 0 for the query of the address
  // The requests of this operation and the bytes judged (empty when none came), as they crossed
  // the wire: RTU frames on a serial line or a serial server, MBAP frames over Modbus TCP.
  std::vector<std::vector<std::uint8_t>> sent;
  std::vector<std::uint8_t> reply;
  Result result = Result::kNoReply;
  std::optional<Reading> value;  // with kAnswered
  // The operation had already ended: a reply after its time-out, or another copy of its reply.
  bool again = false;
};

// The outcome's value as a field (the record's, the command line's CSV and JSON): "34.5", "OL",
// "220", "5"; empty without a value.
std::string ValueField(const Outcome& outcome);

// Where an operation stands. It is in flight while delaying or awaiting, and only then.
enum class Phase {
  kIdle,      // never started
  kDelaying,  // waiting out the delay before its next request
  kAwaiting,  // awaiting the reply to its request
  kEnded,     // answered, failed, timed out or cancelled (a late or repeated reply still counts)
};

struct Progress {
  Operation operation;
  Phase phase;
  std::optional<std::size_t> sentStep;  // the request just sent, if that is the news
  std::chrono::seconds elapsed{0};      // of the delay, in whole seconds
  std::chrono::milliseconds delay{0};   // the whole delay, while delaying
};

}  // namespace karvello
