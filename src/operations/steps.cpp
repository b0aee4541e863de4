#include "operations/steps.h"

#include <stdexcept>

#include "framing/registers.h"

namespace karvello {
namespace {

using reg::kFnReadHoldingRegisters;
using reg::kFnWriteSingleRegister;

// A fragment of fewer bytes than `judgedFrom` is too short to judge: for the echo its slave,
// function, register and value bytes; for the address reply up to the address byte; for the
// reads the slave, function and byte count.
constexpr std::array<Step, 6> kSteps = {{
    {.id = StepId::kBroadcastAddress,
     .operation = Operation::kSetAddress,
     .secondOfTwo = false,
     .broadcast = true,
     .function = kFnWriteSingleRegister,
     .registerNumber = reg::kBusAddress,
     .value = std::nullopt,
     .awaitsReply = false,
     .anySlaveAnswers = false,
     .judgedFrom = 0,
     .starts = Clock::kSetDelay,
     .ends = std::nullopt,
     .next = StepId::kConfirmAddress},
    {.id = StepId::kConfirmAddress,
     .operation = Operation::kSetAddress,
     .secondOfTwo = true,
     .broadcast = false,
     .function = kFnWriteSingleRegister,
     .registerNumber = reg::kBusAddress,
     .value = std::nullopt,
     .awaitsReply = true,
     .anySlaveAnswers = false,
     .judgedFrom = 6,
     .starts = Clock::kSetTimeout,
     .ends = Clock::kSetDelay,
     .next = std::nullopt},
    {.id = StepId::kQueryAddress,
     .operation = Operation::kQueryAddress,
     .secondOfTwo = false,
     .broadcast = true,
     .function = kFnReadHoldingRegisters,
     .registerNumber = reg::kBusAddress,
     .value = 1,
     .awaitsReply = true,
     .anySlaveAnswers = true,
     .judgedFrom = 5,
     .starts = Clock::kAddressTimeout,
     .ends = std::nullopt,
     .next = std::nullopt},
    {.id = StepId::kStartMeasurement,
     .operation = Operation::kQueryResistance,
     .secondOfTwo = false,
     .broadcast = false,
     .function = kFnWriteSingleRegister,
     .registerNumber = reg::kStartMeasurement,
     .value = reg::kStartMeasurementValue,
     .awaitsReply = false,
     .anySlaveAnswers = false,
     .judgedFrom = 0,
     .starts = Clock::kMeasureDelay,
     .ends = std::nullopt,
     .next = StepId::kReadResistance},
    {.id = StepId::kReadResistance,
     .operation = Operation::kQueryResistance,
     .secondOfTwo = true,
     .broadcast = false,
     .function = kFnReadHoldingRegisters,
     .registerNumber = reg::kResistance,
     .value = reg::kResistanceRegisterCount,
     .awaitsReply = true,
     .anySlaveAnswers = false,
     .judgedFrom = 3,
     .starts = Clock::kResistanceTimeout,
     .ends = Clock::kMeasureDelay,
     .next = std::nullopt},
    {.id = StepId::kQueryVoltage,
     .operation = Operation::kQueryVoltage,
     .secondOfTwo = false,
     .broadcast = false,
     .function = kFnReadHoldingRegisters,
     .registerNumber = reg::kVoltage,
     .value = 1,
     .awaitsReply = true,
     .anySlaveAnswers = false,
     .judgedFrom = 3,
     .starts = Clock::kVoltageTimeout,
     .ends = std::nullopt,
     .next = std::nullopt},
}};

}  // namespace

std::span<const Step> Steps() {
  return kSteps;
}

const Step& StepOf(StepId id) {
  for (const Step& step : kSteps) {
    if (step.id == id) return step;
  }
  throw std::out_of_range("no such step");
}

const ClockTiming& ClockOf(Clock clock) {
  for (const ClockTiming& timing : kClocks) {
    if (timing.clock == clock) return timing;
  }
  throw std::out_of_range("no such clock");
}

RequestFrame FrameOf(const Step& step, std::uint8_t address) {
  return BuildRequestFrame({step.broadcast ? reg::kBroadcastAddress : address, step.function,
                            step.registerNumber, step.value.value_or(address)});
}

bool Accepts(const Step& step, const RequestFrame& request, std::span<const std::uint8_t> reply) {
  switch (step.id) {
    case StepId::kConfirmAddress:
      return reply.size() >= 6 && reply[5] == request[5];
    case StepId::kQueryAddress:
      return reply.size() >= 5 && reply[0] == reply[4];
    default:
      return true;
  }
}

}  // namespace karvello
