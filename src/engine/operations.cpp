#include "engine/operations.h"

#include "framing/registers.h"

namespace karvello {
namespace {

using reg::kFnReadHoldingRegisters;
using reg::kFnWriteSingleRegister;

bool AnyContent(const RequestFrame&, std::span<const std::uint8_t>) {
  return true;
}

// The echo of a write carries the value written (the confirmation: the address).
bool EchoesValue(const RequestFrame& sent, std::span<const std::uint8_t> reply) {
  return reply.size() >= 6 && reply[5] == sent[5];
}

// The detector that answers the address query names itself twice: as the slave and as the value.
bool NamesItselfTwice(const RequestFrame&, std::span<const std::uint8_t> reply) {
  return reply.size() >= 5 && reply[0] == reply[4];
}

unsigned Register(std::span<const std::uint8_t> reply) {
  return reply[3] * 256U + reply[4];
}

// The slave that answered: the address of a detector that echoes or names itself.
Reading SlaveOf(std::span<const std::uint8_t> reply) {
  return {.number = reply[0]};
}

// The first register read, as it stands: the voltage, or the address a detector names.
Reading FirstRegister(std::span<const std::uint8_t> reply) {
  return {.number = Register(reply)};
}

// The reading and, in the low byte of the register after it, its decimal places; more than two
// means over range.
Reading Resistance(std::span<const std::uint8_t> reply) {
  const unsigned decimals = reply[6];
  return {.number = Register(reply), .decimals = decimals, .overRange = decimals > 2};
}

// The echo of the start of a measurement acknowledges it and carries no value.
Reading NoValue(std::span<const std::uint8_t>) {
  return {};
}

constexpr std::string_view kOhm = "\xCE\xA9";  // Ω, in UTF-8

std::string Whole(const Reading& reading) {
  return std::to_string(reading.number);
}

// The number with the point before its last `decimals` digits: 345 and 1 give "34.5", 5 and 2
// give "0.05".
std::string Ohms(const Reading& reading) {
  if (reading.overRange || reading.decimals > 2) return std::string(kOverRangeMark);
  std::string digits = std::to_string(reading.number);
  const std::size_t places = reading.decimals;
  if (places == 0) return digits;
  if (digits.size() <= places) digits.insert(0, places + 1 - digits.size(), '0');
  digits.insert(digits.size() - places, 1, '.');
  return digits;
}

std::string Nothing(const Reading&) {
  return {};
}

std::string AddressWords(const Reading& reading) {
  return "address " + Whole(reading);
}

std::string OhmsWords(const Reading& reading) {
  const std::string field = Ohms(reading);
  return field == kOverRangeMark ? "over range" : field + " " + std::string(kOhm);
}

std::string VoltsWords(const Reading& reading) {
  return Whole(reading) + " V";
}

std::string Started(const Reading&) {
  return "started";
}

constexpr QuantityForm kQuantityForms[] = {
    {Quantity::kNone, "", "", Nothing, Started},
    {Quantity::kAddress, "address", "", Whole, AddressWords},
    {Quantity::kResistance, "resistance", kOhm, Ohms, OhmsWords},
    {Quantity::kVoltage, "voltage", "V", Whole, VoltsWords},
};

// A request to the operation's address that awaits its reply. A fragment of fewer bytes than
// `judgedFrom` is too short to judge: for the echo of a write its slave, function, register and
// value bytes; for a read the slave, function and byte count.
constexpr RequestStep Ask(std::uint8_t function, std::uint16_t registerNumber,
                          std::optional<std::uint16_t> value, std::size_t judgedFrom,
                          decltype(RequestStep::accepts) accepts) {
  return {.broadcast = false,
          .function = function,
          .registerNumber = registerNumber,
          .value = value,
          .wait = kReplyTimeout,
          .awaitsReply = true,
          .endsOnRefusal = true,
          .anySlaveAnswers = false,
          .judgedFrom = judgedFrom,
          .accepts = accepts};
}

// A write of `value` (none: the operation's address) to a register, which the detector echoes.
constexpr RequestStep Write(std::uint16_t registerNumber, std::optional<std::uint16_t> value) {
  return Ask(kFnWriteSingleRegister, registerNumber, value, 6, EchoesValue);
}

// A read of `count` registers from `registerNumber`.
constexpr RequestStep Read(std::uint16_t registerNumber, std::uint16_t count) {
  return Ask(kFnReadHoldingRegisters, registerNumber, count, 3, AnyContent);
}

// `step` awaiting no reply: the next request follows it after `delay`.
constexpr RequestStep ThenAfter(RequestStep step, std::chrono::milliseconds delay) {
  step.wait = delay;
  step.awaitsReply = false;
  step.judgedFrom = 0;
  step.accepts = AnyContent;
  return step;
}

// No detector answers a broadcast, not even with a refusal.
constexpr RequestStep ToEveryDetector(RequestStep step) {
  step.broadcast = true;
  step.endsOnRefusal = false;
  return step;
}

// The broadcast read of the address, which the one detector answers as itself, naming itself
// again as the value: judged from the address byte.
constexpr RequestStep AddressQuery() {
  RequestStep step = ToEveryDetector(Read(reg::kBusAddress, 1));
  step.anySlaveAnswers = true;
  step.judgedFrom = 5;
  step.accepts = NamesItselfTwice;
  return step;
}

constexpr OperationSteps kOperationSteps[kAllOperationCount] = {
    {Operation::kSetAddress,
     {ThenAfter(ToEveryDetector(Write(reg::kBusAddress, std::nullopt)), kAddressSettleDelay),
      Write(reg::kBusAddress, std::nullopt)},
     2,
     SlaveOf,
     Quantity::kAddress,
     "set-address"},
    {Operation::kQueryAddress,
     {AddressQuery(), {}},
     1,
     SlaveOf,
     Quantity::kAddress,
     "query-address"},
    {Operation::kQueryResistance,
     {ThenAfter(Write(reg::kStartMeasurement, reg::kStartMeasurementValue), kMeasurementTime),
      Read(reg::kResistance, reg::kResistanceRegisterCount)},
     2,
     Resistance,
     Quantity::kResistance,
     "resistance"},
    {Operation::kQueryVoltage,
     {Read(reg::kVoltage, 1), {}},
     1,
     FirstRegister,
     Quantity::kVoltage,
     "voltage"},
    // The register as it stands: the address the detector names.
    {Operation::kReadAddress,
     {Read(reg::kBusAddress, 1), {}},
     1,
     FirstRegister,
     Quantity::kAddress,
     "read-address"},
    {Operation::kStartMeasurement,
     {Write(reg::kStartMeasurement, reg::kStartMeasurementValue), {}},
     1,
     NoValue,
     Quantity::kNone,
     "start-measurement"},
    {Operation::kReadResistance,
     {Read(reg::kResistance, reg::kResistanceRegisterCount), {}},
     1,
     Resistance,
     Quantity::kResistance,
     "read-resistance"},
};

}  // namespace

const OperationSteps& Describe(Operation operation) {
  return kOperationSteps[static_cast<std::size_t>(operation)];
}

std::chrono::milliseconds LongestTime(Operation operation) {
  const OperationSteps& steps = Describe(operation);
  std::chrono::milliseconds time{0};
  for (std::size_t i = 0; i < steps.count; ++i) time += steps.steps[i].wait;
  return time;
}

std::chrono::milliseconds ShortestTime(Operation operation) {
  const OperationSteps& steps = Describe(operation);
  std::chrono::milliseconds time{0};
  for (std::size_t i = 0; i < steps.count; ++i) {
    if (!steps.steps[i].awaitsReply) time += steps.steps[i].wait;
  }
  return time;
}

bool SendsBroadcast(Operation operation) {
  const OperationSteps& steps = Describe(operation);
  for (std::size_t i = 0; i < steps.count; ++i) {
    if (steps.steps[i].broadcast) return true;
  }
  return false;
}

std::optional<Operation> OperationNamed(std::string_view name) {
  for (const OperationSteps& steps : kOperationSteps) {
    if (steps.name == name) return steps.operation;
  }
  return std::nullopt;
}

const QuantityForm& FormOf(Quantity quantity) {
  return kQuantityForms[static_cast<std::size_t>(quantity)];
}

RequestFrame FrameOf(Operation operation, std::size_t index, std::uint8_t address) {
  const RequestStep& step = Describe(operation).steps[index];
  return BuildRequestFrame({step.broadcast ? reg::kBroadcastAddress : address, step.function,
                            step.registerNumber, step.value.value_or(address)});
}

std::optional<ReplyShape> AwaitedReply(Operation operation, std::size_t index,
                                       const RequestFrame& frame) {
  const RequestStep& step = Describe(operation).steps[index];
  // A request that ends on its refusal is searched for it, and for the echo, which changes
  // nothing when it awaits none.
  if (!step.awaitsReply && !step.endsOnRefusal) return std::nullopt;
  return ReplyShape::For(frame, step.anySlaveAnswers);
}

}  // namespace karvello
