#pragma once
// One simulated detector: its registers and its answer to a request, with no line around it.
// A request is taken when it is addressed to the detector or broadcast (slave 0); broadcasts
// draw no reply but the read of 0x0012 (count 1), answered with the detector's own address.
//
// Holding registers (16 bits, high byte first):
//   0x000D  resistance reading of the last finished measurement (0 and 0 at power-on)
//   0x000E  high byte as configured, low byte the decimal count of that reading
//   0x000F  voltage in volts
//   0x0010  always 0
//   0x0011  write 1 to start a measurement; reads 1 while one runs
//   0x0012  bus address, 1 to 255
// A measurement takes measurementTime and reports the reading configured when it finishes.
// An unknown function draws exception 01 (so does a frame of another length), a register outside
// 0x000D..0x0012 or a write to a read-only one 02, a bad count or value 03.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace karvello::sim {

using Clock = std::chrono::steady_clock;

// One character at 9600 baud, 8N1: start bit, 8 data bits, stop bit.
inline constexpr std::chrono::nanoseconds kByteTime{1'041'667};

struct DetectorConfig {
  std::uint8_t address = 1;
  std::uint16_t resistance = 345;  // reading of 0x000D
  std::uint8_t decimalCount = 1;   // low byte of 0x000E
  std::uint8_t decimalHigh = 0;    // high byte of 0x000E
  std::uint16_t voltage = 220;
  std::chrono::milliseconds measurementTime{19'000};
  // pacing, echo and strayBeforeEcho are the line's ways: the one-detector constructor of
  // SimulatedDetector takes them from here, a bus from its LineConfig (these are then ignored).
  //
  // Each reply byte written by itself one byte time after the one before, as at 9600 baud.
  bool pacing = false;
  // The line gives every byte the tool sends back to it as it goes out (a byte time apart),
  // before any reply, as a two-wire RS-485 adapter without echo suppression does.
  bool echo = false;
  // A detector is on the line; without one nothing answers (the echo, if any, still comes).
  bool present = true;
  // On an echoing line, a byte the adapter gives back in front of each request's echo, as a
  // glitch when it turns the line round.
  std::optional<std::uint8_t> strayBeforeEcho = std::nullopt;
};

// `message` with its CRC appended, low byte first.
std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> message);
// An RTU exception reply: slave, function with the exception flag, code, CRC.
std::vector<std::uint8_t> ExceptionReply(std::uint8_t slave, std::uint8_t function,
                                         std::uint8_t code);

class DetectorModel {
 public:
  explicit DetectorModel(DetectorConfig config) : config_(config) {}

  // Carries out `request` (a whole frame whose CRC is right, at least slave and function) taken
  // at `now`, and returns the reply when one is due.
  std::optional<std::vector<std::uint8_t>> Answer(std::span<const std::uint8_t> request,
                                                  Clock::time_point now);

  DetectorConfig& Config() { return config_; }
  const DetectorConfig& Config() const { return config_; }

 private:
  std::uint16_t Register(std::uint16_t number) const;

  DetectorConfig config_;
  std::optional<Clock::time_point> measureStart_;
  std::uint16_t resultReading_ = 0;
  std::uint16_t resultDecimals_ = 0;  // the whole of 0x000E
};

}  // namespace karvello::sim
