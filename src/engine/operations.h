#pragma once
// Each operation on a detector described once, end to end: its requests in order, the frame of
// each, the reply each awaits and what that reply must hold, the delay before the next request
// or the time-out of the reply, how the answer's value is read, and what that value is (its
// quantity, unit and text forms). Every front end renders from this description.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "framing/frames.h"
#include "framing/replies.h"

namespace karvello {

enum class Operation {
  // The four of the bench, one detector on the line.
  kSetAddress,
  kQueryAddress,     // a broadcast read of the address, answered by the one detector
  kQueryResistance,  // start a measurement, wait for it, read the result
  kQueryVoltage,
  // The survey of a bus, one request each.
  kReadAddress,       // the address register of the detector at an address, which names itself
  kStartMeasurement,  // start a measurement; the detector echoes the write
  kReadResistance,    // the result of the last measurement
};
// The bench's operations, in the order of the main window's buttons.
inline constexpr std::size_t kOperationCount = 4;
inline constexpr Operation kOperations[kOperationCount] = {
    Operation::kSetAddress, Operation::kQueryAddress, Operation::kQueryResistance,
    Operation::kQueryVoltage};
inline constexpr std::size_t kAllOperationCount = 7;
inline constexpr Operation kAllOperations[kAllOperationCount] = {
    Operation::kSetAddress,    Operation::kQueryAddress, Operation::kQueryResistance,
    Operation::kQueryVoltage,  Operation::kReadAddress,  Operation::kStartMeasurement,
    Operation::kReadResistance};

// A reply is due within 1.3 s of its request; the detector takes a broadcast address before the
// confirming write 0.3 s later; a measurement is finished 19 s after its start.
inline constexpr std::chrono::milliseconds kReplyTimeout{1300};
// A slow link (a serial server reached over a cellular network, a gateway in front of another)
// may be given a longer wait for each reply, or a fast one a shorter: from 0.1 s to 10 s.
inline constexpr std::chrono::milliseconds kShortestReplyTimeout{100};
inline constexpr std::chrono::milliseconds kLongestReplyTimeout{10'000};
inline constexpr std::chrono::milliseconds kAddressSettleDelay{300};
inline constexpr std::chrono::milliseconds kMeasurementTime{19'000};

// The value an answer carries: the detector's address, its resistance (the reading with its
// decimal places, or over range), or its voltage in volts.
struct Reading {
  unsigned number = 0;
  unsigned decimals = 0;
  bool overRange = false;
  bool operator==(const Reading&) const = default;
};

// What an answer's value is.
enum class Quantity {
  kNone,        // the answer only acknowledges (the start of a measurement)
  kAddress,     // a detector's bus address
  kResistance,  // the grounding resistance in ohms
  kVoltage,     // the voltage in volts
};

// The mark of a resistance over the detector's range, wherever a value is written.
inline constexpr std::string_view kOverRangeMark = "OL";

// How a quantity's value is written.
struct QuantityForm {
  Quantity quantity;
  std::string_view name;  // "address", "resistance", "voltage"; empty for none
  std::string_view unit;  // "Ω", "V"; empty for an address or none
  // The value as a field of the record and of the command line's CSV and JSON: "5", "34.5",
  // "OL", "220"; empty for none.
  std::string (*field)(const Reading& reading);
  // The value in the command line's words: "address 5", "34.5 Ω", "over range", "220 V",
  // "started".
  std::string (*words)(const Reading& reading);
};
const QuantityForm& FormOf(Quantity quantity);

struct RequestStep {
  bool broadcast;  // to slave 0, every detector, rather than to the operation's address
  std::uint8_t function;
  std::uint16_t registerNumber;
  std::optional<std::uint16_t> value;  // the value or register count; none: the address
  // What follows the request: the delay after which the next request goes, or, for a request
  // that awaits a reply, the time within which the reply must come.
  std::chrono::milliseconds wait;
  bool awaitsReply;
  // A request that awaits no reply still ends the operation when the detector refuses it: the
  // start of a measurement, whose refusal would leave an older result to be read as new.
  bool endsOnRefusal;
  bool anySlaveAnswers;  // the broadcast read of the address: the detector answers as itself
  // Bytes that cannot be the reply and are fewer than this are too short to judge: noise.
  std::size_t judgedFrom;
  // What the reply must hold beyond its slave, function, length and CRC.
  bool (*accepts)(const RequestFrame& sent, std::span<const std::uint8_t> reply);
};

struct OperationSteps {
  Operation operation;
  RequestStep steps[2];
  std::size_t count;  // 1, or 2 when the first request is followed by a second after its delay
  // The value of an accepted reply, and what it is.
  Reading (*read)(std::span<const std::uint8_t> reply);
  Quantity quantity;
  std::string_view name;  // for records and the command line: "set-address", ...
};

const OperationSteps& Describe(Operation operation);
// Whether a request of the operation goes to every detector at once (a line that passes no
// broadcast on cannot carry the operation).
bool SendsBroadcast(Operation operation);
// The operation of a name ("voltage"); none for a name no operation has.
std::optional<Operation> OperationNamed(std::string_view name);
inline const QuantityForm& AnswerForm(Operation operation) {
  return FormOf(Describe(operation).quantity);
}

// The longest an operation takes: its delays and its replies' time-outs run out in full (a
// measurement 19 s and its reply's 1.3 s; a voltage 1.3 s).
std::chrono::milliseconds LongestTime(Operation operation);
// The least an operation takes, every reply coming at once: its delays alone (a measurement's
// 19 s; nothing for a voltage).
std::chrono::milliseconds ShortestTime(Operation operation);

// The frame of step `index` of `operation` for the operation's `address` (a slave address, or
// for set address the new address).
RequestFrame FrameOf(Operation operation, std::size_t index, std::uint8_t address);
// The reply that frame awaits, worked out from the request; none when it awaits none.
std::optional<ReplyShape> AwaitedReply(Operation operation, std::size_t index,
                                       const RequestFrame& frame);

}  // namespace karvello
