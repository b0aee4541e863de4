#include "sim/detector_model.h"

#include "framing/crc16.h"
#include "framing/frames.h"
#include "framing/registers.h"

namespace karvello::sim {

namespace {

constexpr std::uint16_t kFirstRegister = reg::kResistance;
constexpr std::uint16_t kLastRegister = reg::kBusAddress;
constexpr std::uint16_t kMaxReadCount = 125;

constexpr std::uint8_t kIllegalFunction = 0x01;
constexpr std::uint8_t kIllegalDataAddress = 0x02;
constexpr std::uint8_t kIllegalDataValue = 0x03;

std::uint8_t Hi(std::uint16_t v) {
  return static_cast<std::uint8_t>(v >> 8);
}
std::uint8_t Lo(std::uint16_t v) {
  return static_cast<std::uint8_t>(v & 0xFFU);
}

}  // namespace

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> message) {
  const std::uint16_t crc = Crc16(message);
  message.push_back(Lo(crc));
  message.push_back(Hi(crc));
  return message;
}

std::vector<std::uint8_t> ExceptionReply(std::uint8_t slave, std::uint8_t function,
                                         std::uint8_t code) {
  return WithCrc({slave, static_cast<std::uint8_t>(function | reg::kExceptionFlag), code});
}

std::optional<std::vector<std::uint8_t>> DetectorModel::Answer(
    std::span<const std::uint8_t> request, Clock::time_point now) {
  DetectorConfig& config = config_;
  if (!config.present) return std::nullopt;
  const std::uint8_t slave = request[0];
  const std::uint8_t function = request[1];
  const bool broadcast = slave == reg::kBroadcastAddress;
  if (!broadcast && slave != config.address) return std::nullopt;

  if (request.size() != kRequestFrameSize ||
      (function != reg::kFnReadHoldingRegisters && function != reg::kFnWriteSingleRegister)) {
    if (broadcast) return std::nullopt;
    return ExceptionReply(slave, function, kIllegalFunction);
  }
  const std::uint16_t first = static_cast<std::uint16_t>(request[2] << 8 | request[3]);
  const std::uint16_t value = static_cast<std::uint16_t>(request[4] << 8 | request[5]);
  if (measureStart_ && now - *measureStart_ >= config.measurementTime) {
    resultReading_ = config.resistance;
    resultDecimals_ = static_cast<std::uint16_t>(config.decimalHigh << 8 | config.decimalCount);
    measureStart_.reset();
  }

  std::optional<std::uint8_t> refusal;
  if (function == reg::kFnWriteSingleRegister) {
    if (first == reg::kBusAddress && value >= 1 && value <= 255) {
      config.address = static_cast<std::uint8_t>(value);
    } else if (first == reg::kStartMeasurement && value == reg::kStartMeasurementValue) {
      // The measurement runs from when the start request began on the wire: at 9600 baud its
      // first byte came a request time before its last. (A pseudo-terminal hands all eight over
      // at once; a detector that only counted from the last byte would finish just after the
      // master's 19-second read, which leaves a request time after the master began to send.)
      measureStart_ = now - static_cast<int>(kRequestFrameSize) * kByteTime;
    } else if (first == reg::kBusAddress || first == reg::kStartMeasurement) {
      refusal = kIllegalDataValue;
    } else {
      refusal = kIllegalDataAddress;
    }
    if (broadcast) return std::nullopt;
    if (refusal) return ExceptionReply(slave, function, *refusal);
    return std::vector<std::uint8_t>(request.begin(), request.end());
  }

  // A read. The only broadcast the detector answers is the read of its address.
  if (broadcast && (first != reg::kBusAddress || value != 1)) return std::nullopt;
  const std::uint8_t self = config.address;
  if (value == 0 || value > kMaxReadCount) return ExceptionReply(self, function, kIllegalDataValue);
  if (first < kFirstRegister || first + value - 1 > kLastRegister) {
    return ExceptionReply(self, function, kIllegalDataAddress);
  }
  std::vector<std::uint8_t> reply{self, function, static_cast<std::uint8_t>(2 * value)};
  for (std::uint16_t r = first; r < first + value; ++r) {
    reply.push_back(Hi(Register(r)));
    reply.push_back(Lo(Register(r)));
  }
  return WithCrc(std::move(reply));
}

std::uint16_t DetectorModel::Register(std::uint16_t number) const {
  switch (number) {
    case reg::kResistance:
      return resultReading_;
    case reg::kDecimalCount:
      return resultDecimals_;
    case reg::kVoltage:
      return config_.voltage;
    case reg::kStartMeasurement:
      return measureStart_ ? 1 : 0;
    case reg::kBusAddress:
      return config_.address;
    default:
      return 0;
  }
}

}  // namespace karvello::sim
