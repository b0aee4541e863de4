#include "operations/steps.h"

#include <stdexcept>

#include "framing/registers.h"

namespace karvello {
namespace {

using reg::kFnReadHoldingRegisters;
using reg::kFnWriteSingleRegister;

// Header bytes that the old checks read: the echo's slave, function, register and value bytes;
// the address reply up to the address byte; the reads' slave, function and byte count.
constexpr std::array<Step, 6> kSteps = {{
    {StepId::kBroadcastAddress, Operation::kSetAddress, false, true, kFnWriteSingleRegister,
     reg::kBusAddress, std::nullopt, false, 0, Clock::kSetDelay, std::nullopt,
     StepId::kConfirmAddress},
    {StepId::kConfirmAddress, Operation::kSetAddress, true, false, kFnWriteSingleRegister,
     reg::kBusAddress, std::nullopt, true, 6, Clock::kSetTimeout, Clock::kSetDelay, std::nullopt},
    {StepId::kQueryAddress, Operation::kQueryAddress, false, true, kFnReadHoldingRegisters,
     reg::kBusAddress, 1, true, 5, Clock::kAddressTimeout, std::nullopt, std::nullopt},
    {StepId::kStartMeasurement, Operation::kQueryResistance, false, false, kFnWriteSingleRegister,
     reg::kStartMeasurement, reg::kStartMeasurementValue, false, 0, Clock::kMeasureDelay,
     std::nullopt, StepId::kReadResistance},
    {StepId::kReadResistance, Operation::kQueryResistance, true, false, kFnReadHoldingRegisters,
     reg::kResistance, reg::kResistanceRegisterCount, true, 3, Clock::kResistanceTimeout,
     Clock::kMeasureDelay, std::nullopt},
    {StepId::kQueryVoltage, Operation::kQueryVoltage, false, false, kFnReadHoldingRegisters,
     reg::kVoltage, 1, true, 3, Clock::kVoltageTimeout, std::nullopt, std::nullopt},
}};

}  // namespace

const Step& StepOf(StepId id) {
  for (const Step& step : kSteps) {
    if (step.id == id) return step;
  }
  throw std::out_of_range("no such step");
}

const ClockSpec& ClockOf(Clock clock) {
  for (const ClockSpec& spec : kClocks) {
    if (spec.clock == clock) return spec;
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
