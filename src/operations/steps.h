#pragma once
// The request steps of the four operations, each described once: the frame it sends, the reply
// it awaits, the countdown it starts (a delay before the operation's next step, or the time-out
// of its reply), and the countdowns themselves.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "framing/frames.h"

namespace karvello {

enum class Operation { kSetAddress, kQueryAddress, kQueryResistance, kQueryVoltage };
inline constexpr std::size_t kOperationCount = 4;

enum class Clock {
  kSetDelay,           // from the address broadcast to its confirmation
  kMeasureDelay,       // the detector's measurement
  kSetTimeout,         // the confirmation's echo
  kAddressTimeout,     // the reply to the address query
  kResistanceTimeout,  // the reply to the resistance read
  kVoltageTimeout,     // the reply to the voltage query
};
inline constexpr std::size_t kClockCount = 6;

struct ClockTiming {
  Clock clock;
  std::chrono::milliseconds interval;
  int limit;                          // it runs out on tick limit + 1
  std::optional<Operation> timesOut;  // the operation whose reply it waits for; none for a delay
};

// A reply is due within 1.3 s of its request; the detector takes a broadcast address before the
// confirming write 0.3 s later; a measurement is finished 19 s after its start.
inline constexpr std::array<ClockTiming, kClockCount> kClocks = {{
    {Clock::kSetDelay, std::chrono::milliseconds(100), 2, std::nullopt},
    {Clock::kMeasureDelay, std::chrono::milliseconds(1000), 18, std::nullopt},
    {Clock::kSetTimeout, std::chrono::milliseconds(100), 12, Operation::kSetAddress},
    {Clock::kAddressTimeout, std::chrono::milliseconds(100), 12, Operation::kQueryAddress},
    {Clock::kResistanceTimeout, std::chrono::milliseconds(100), 12, Operation::kQueryResistance},
    {Clock::kVoltageTimeout, std::chrono::milliseconds(100), 12, Operation::kQueryVoltage},
}};

enum class StepId {
  kBroadcastAddress,  // set address: the new address, written to every detector
  kConfirmAddress,    // set address: the same write to the new address, which echoes it
  kQueryAddress,      // a broadcast read of the bus address, answered with the detector's own
  kStartMeasurement,  // query resistance: start a measurement
  kReadResistance,    // query resistance: read the result
  kQueryVoltage,      // read the voltage
};

struct Step {
  StepId id;
  Operation operation;
  bool secondOfTwo;  // the second request of its operation
  bool broadcast;    // to slave 0, every detector, rather than to the operation's address
  std::uint8_t function;
  std::uint16_t registerNumber;
  std::optional<std::uint16_t> value;  // the value or register count; none: the address
  bool awaitsReply;
  bool anySlaveAnswers;  // the broadcast read of the address: the detector answers as itself
  // Bytes that cannot be the reply and are fewer than this are too short to judge: noise.
  std::size_t judgedFrom;
  Clock starts;                // started when the step is sent
  std::optional<Clock> ends;   // the delay that the step ends
  std::optional<StepId> next;  // sent when the delay it starts runs out
};

// Every step, in the order of the operations.
std::span<const Step> Steps();
const Step& StepOf(StepId id);
const ClockTiming& ClockOf(Clock clock);

// The frame of `step` for the operation's `address` (a slave address, or for set address the
// new address).
RequestFrame FrameOf(const Step& step, std::uint8_t address);

// The reply's content, beyond its slave, function, length and CRC: the echo of the
// confirmation carries the address written; the detector that answers the address query names
// itself twice.
bool Accepts(const Step& step, const RequestFrame& request, std::span<const std::uint8_t> reply);

}  // namespace karvello
