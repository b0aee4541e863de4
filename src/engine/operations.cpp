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

Reading SlaveOf(std::span<const std::uint8_t> reply) {
  return {.number = reply[0]};
}

Reading Resistance(std::span<const std::uint8_t> reply) {
  const unsigned decimals = reply[6];
  return {.number = Register(reply), .decimals = decimals, .overRange = decimals > 2};
}

Reading Volts(std::span<const std::uint8_t> reply) {
  return {.number = Register(reply)};
}

// A fragment of fewer bytes than `judgedFrom` is too short to judge: for the echo its slave,
// function, register and value bytes; for the address reply up to the address byte; for the
// reads the slave, function and byte count.
constexpr OperationSteps kOperationSteps[kAllOperationCount] = {
    {.operation = Operation::kSetAddress,
     .steps = {{.broadcast = true,
                .function = kFnWriteSingleRegister,
                .registerNumber = reg::kBusAddress,
                .value = std::nullopt,
                .wait = kAddressSettleDelay,
                .awaitsReply = false,
                .anySlaveAnswers = false,
                .judgedFrom = 0,
                .accepts = AnyContent},
               {.broadcast = false,
                .function = kFnWriteSingleRegister,
                .registerNumber = reg::kBusAddress,
                .value = std::nullopt,
                .wait = kReplyTimeout,
                .awaitsReply = true,
                .anySlaveAnswers = false,
                .judgedFrom = 6,
                .accepts = EchoesValue}},
     .count = 2,
     .read = SlaveOf,
     .name = "set-address"},
    {.operation = Operation::kQueryAddress,
     .steps = {{.broadcast = true,
                .function = kFnReadHoldingRegisters,
                .registerNumber = reg::kBusAddress,
                .value = 1,
                .wait = kReplyTimeout,
                .awaitsReply = true,
                .anySlaveAnswers = true,
                .judgedFrom = 5,
                .accepts = NamesItselfTwice},
               {}},
     .count = 1,
     .read = SlaveOf,
     .name = "query-address"},
    {.operation = Operation::kQueryResistance,
     .steps = {{.broadcast = false,
                .function = kFnWriteSingleRegister,
                .registerNumber = reg::kStartMeasurement,
                .value = reg::kStartMeasurementValue,
                .wait = kMeasurementTime,
                .awaitsReply = false,
                .anySlaveAnswers = false,
                .judgedFrom = 0,
                .accepts = AnyContent},
               {.broadcast = false,
                .function = kFnReadHoldingRegisters,
                .registerNumber = reg::kResistance,
                .value = reg::kResistanceRegisterCount,
                .wait = kReplyTimeout,
                .awaitsReply = true,
                .anySlaveAnswers = false,
                .judgedFrom = 3,
                .accepts = AnyContent}},
     .count = 2,
     .read = Resistance,
     .name = "resistance"},
    {.operation = Operation::kQueryVoltage,
     .steps = {{.broadcast = false,
                .function = kFnReadHoldingRegisters,
                .registerNumber = reg::kVoltage,
                .value = 1,
                .wait = kReplyTimeout,
                .awaitsReply = true,
                .anySlaveAnswers = false,
                .judgedFrom = 3,
                .accepts = AnyContent},
               {}},
     .count = 1,
     .read = Volts,
     .name = "voltage"},
    {.operation = Operation::kReadAddress,
     .steps = {{.broadcast = false,
                .function = kFnReadHoldingRegisters,
                .registerNumber = reg::kBusAddress,
                .value = 1,
                .wait = kReplyTimeout,
                .awaitsReply = true,
                .anySlaveAnswers = false,
                .judgedFrom = 3,
                .accepts = AnyContent},
               {}},
     .count = 1,
     .read = Volts,  // the register as it stands: the address the detector names
     .name = "read-address"},
    {.operation = Operation::kStartMeasurement,
     .steps = {{.broadcast = false,
                .function = kFnWriteSingleRegister,
                .registerNumber = reg::kStartMeasurement,
                .value = reg::kStartMeasurementValue,
                .wait = kReplyTimeout,
                .awaitsReply = true,
                .anySlaveAnswers = false,
                .judgedFrom = 6,
                .accepts = EchoesValue},
               {}},
     .count = 1,
     .read = Volts,
     .name = "start-measurement"},
    {.operation = Operation::kReadResistance,
     .steps = {{.broadcast = false,
                .function = kFnReadHoldingRegisters,
                .registerNumber = reg::kResistance,
                .value = reg::kResistanceRegisterCount,
                .wait = kReplyTimeout,
                .awaitsReply = true,
                .anySlaveAnswers = false,
                .judgedFrom = 3,
                .accepts = AnyContent},
               {}},
     .count = 1,
     .read = Resistance,
     .name = "read-resistance"},
};

}  // namespace

const OperationSteps& Describe(Operation operation) {
  return kOperationSteps[static_cast<std::size_t>(operation)];
}

RequestFrame FrameOf(Operation operation, std::size_t index, std::uint8_t address) {
  const RequestStep& step = Describe(operation).steps[index];
  return BuildRequestFrame({step.broadcast ? reg::kBroadcastAddress : address, step.function,
                            step.registerNumber, step.value.value_or(address)});
}

std::optional<ReplyShape> AwaitedReply(Operation operation, std::size_t index,
                                       const RequestFrame& frame) {
  const RequestStep& step = Describe(operation).steps[index];
  if (!step.awaitsReply) return std::nullopt;
  return ReplyShape::For(frame, step.anySlaveAnswers);
}

}  // namespace karvello
