#include "gateway/scada_registers.h"

#include <algorithm>
#include <array>

#include "framing/registers.h"

namespace karvello::gateway {
namespace {

constexpr std::uint16_t kNone16 = 0xFFFF;
constexpr std::uint32_t kNone32 = 0xFFFFFFFF;
constexpr std::uint8_t kFnReadInputRegisters = 4;

// The registers of the gateway's unit, and of a detector's quality block.
constexpr std::uint16_t kGatewayRegisters = 10;
constexpr std::uint16_t kQualityRegisters = 18;

std::uint16_t Saturated16(std::uint64_t value) {
  return static_cast<std::uint16_t>(std::min<std::uint64_t>(value, 0xFFFF));
}

std::uint32_t Saturated32(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, 0xFFFFFFFF));
}

// Puts `value` at `at` and `at + 1`, the high word first.
template <std::size_t N>
void Put32(std::array<std::uint16_t, N>& words, std::size_t at, std::uint32_t value) {
  words[at] = static_cast<std::uint16_t>(value >> 16);
  words[at + 1] = static_cast<std::uint16_t>(value & 0xFFFFU);
}

// A reading in hundredths of an ohm; none over range.
std::uint32_t Hundredths(const std::optional<Reading>& reading) {
  if (!reading || reading->overRange || reading->decimals > 2) return kNone32;
  std::uint32_t value = reading->number;
  for (unsigned d = reading->decimals; d < 2; ++d) value *= 10;
  return value;
}

// `count` words of `block` from `at`, the block beginning at register `first`; none when the
// read is not wholly inside it.
template <std::size_t N>
std::optional<std::vector<std::uint16_t>> Slice(const std::array<std::uint16_t, N>& block,
                                                std::uint16_t first, std::uint16_t start,
                                                std::uint16_t count) {
  if (start < first || start + count > first + N) return std::nullopt;
  const auto begin = block.begin() + (start - first);
  return std::vector<std::uint16_t>(begin, begin + count);
}

// The value of a detector's own register from its last reading, when that one was answered.
std::optional<std::uint16_t> OwnRegister(std::uint16_t reg, const DetectorState& detector) {
  const QuantityState& q = reg == reg::kVoltage ? detector.voltage : detector.resistance;
  if (!q.lastTime || q.lastResult != Result::kAnswered || !q.lastValue) return std::nullopt;
  if (reg == reg::kDecimalCount) return Saturated16(q.lastValue->decimals);
  return Saturated16(q.lastValue->number);
}

}  // namespace

ReadingState ScadaRegisters::StateOf(const QuantityState& quantity) const {
  if (!site_.line.open) return ReadingState::kLineLost;
  if (!quantity.lastTime) return ReadingState::kNone;
  if (quantity.lastResult != Result::kAnswered || !quantity.lastValue) return ReadingState::kFailed;
  if (quantity.lastValue->overRange || quantity.lastValue->decimals > 2) {
    return ReadingState::kOverRange;
  }
  return ReadingState::kGood;
}

std::uint32_t ScadaRegisters::AgeOf(const std::optional<QDateTime>& time) const {
  if (!time || !time->isValid()) return kNone32;
  // A clock set back since: no age below 0; all ones stays "none".
  return static_cast<std::uint32_t>(
      std::clamp<qint64>(time->secsTo(now_), 0, static_cast<qint64>(kNone32) - 1));
}

std::variant<std::vector<std::uint16_t>, ScadaRefusal> ScadaRegisters::Read(
    std::uint8_t unit, std::uint16_t start, std::uint16_t count) const {
  if (unit != kGatewayUnit && !site_.detectors.contains(unit)) return ScadaRefusal::kTargetFailed;
  if (count == 0 || count > kMostRegistersRead) return ScadaRefusal::kValue;
  if (unit == kGatewayUnit) return ReadGateway(start, count);
  return ReadDetector(unit, site_.detectors.at(unit), start, count);
}

std::variant<std::vector<std::uint16_t>, ScadaRefusal> ScadaRegisters::ReadGateway(
    std::uint16_t start, std::uint16_t count) const {
  std::array<std::uint16_t, kGatewayRegisters> words{};
  words[0] = site_.line.open ? 1 : 0;
  words[1] = !site_.broker.used ? 0 : site_.broker.connected ? 1 : 2;
  Put32(words, 2, Saturated32(site_.broker.queued));
  Put32(words, 4, AgeOf(site_.started));
  words[6] = Saturated16(site_.detectors.size());
  words[7] = site_.record.failing ? 0 : 1;
  words[8] = Saturated16(static_cast<std::uint64_t>(site_.AlarmsRaised()));
  words[9] = Saturated16(static_cast<std::uint64_t>(site_.NoAnswerRaised()));
  if (auto read = Slice(words, 0, start, count)) return std::move(*read);
  return ScadaRefusal::kAddress;
}

std::variant<std::vector<std::uint16_t>, ScadaRefusal> ScadaRegisters::ReadDetector(
    int address, const DetectorState& detector, std::uint16_t start, std::uint16_t count) const {
  // Its own registers, as the detector itself would answer them.
  if (start == reg::kBusAddress && count == 1) {
    return std::vector<std::uint16_t>{static_cast<std::uint16_t>(address)};
  }
  if (start >= reg::kResistance && start + count <= reg::kVoltage + 1) {
    std::vector<std::uint16_t> words;
    for (std::uint16_t reg = start; reg < start + count; ++reg) {
      const auto value = OwnRegister(reg, detector);
      if (!value) return ScadaRefusal::kTargetFailed;
      words.push_back(*value);
    }
    return words;
  }

  std::array<std::uint16_t, kQualityRegisters> words{};
  const QuantityState& r = detector.resistance;
  const QuantityState& v = detector.voltage;
  words[0] = static_cast<std::uint16_t>(StateOf(r));
  Put32(words, 1, Hundredths(r.goodValue));
  Put32(words, 3, AgeOf(r.goodValue ? r.goodTime : std::nullopt));
  words[5] = static_cast<std::uint16_t>(StateOf(v));
  words[6] = v.goodValue ? Saturated16(v.goodValue->number) : kNone16;
  Put32(words, 7, AgeOf(v.goodValue ? v.goodTime : std::nullopt));
  words[9] = detector.alarm ? 1 : 0;
  words[10] = Saturated16(detector.failuresInRow);
  Put32(words, 11, Saturated32(r.answered + v.answered));
  Put32(words, 13, Saturated32(r.failed + v.failed));
  words[15] = detector.noAnswer ? 1 : 0;
  Put32(words, 16, AgeOf(detector.asideSince));
  if (auto read = Slice(words, kQualityBlock, start, count)) return std::move(*read);
  return ScadaRefusal::kAddress;
}

std::vector<std::uint8_t> ScadaRegisters::Answer(std::uint8_t unit,
                                                 std::span<const std::uint8_t> pdu) const {
  const std::uint8_t function = pdu.empty() ? 0 : pdu[0];
  const auto refuse = [function](ScadaRefusal why) {
    return std::vector<std::uint8_t>{static_cast<std::uint8_t>(function | reg::kExceptionFlag),
                                     static_cast<std::uint8_t>(why)};
  };
  if (function != reg::kFnReadHoldingRegisters && function != kFnReadInputRegisters) {
    return refuse(ScadaRefusal::kFunction);
  }
  // The function code, the first register and the count.
  if (pdu.size() != 5) return refuse(ScadaRefusal::kValue);
  const auto start = static_cast<std::uint16_t>(pdu[1] << 8 | pdu[2]);
  const auto count = static_cast<std::uint16_t>(pdu[3] << 8 | pdu[4]);
  const auto read = Read(unit, start, count);
  if (const auto* why = std::get_if<ScadaRefusal>(&read)) return refuse(*why);
  const auto& words = std::get<std::vector<std::uint16_t>>(read);
  std::vector<std::uint8_t> reply{function, static_cast<std::uint8_t>(words.size() * 2)};
  for (std::uint16_t word : words) {
    reply.push_back(static_cast<std::uint8_t>(word >> 8));
    reply.push_back(static_cast<std::uint8_t>(word & 0xFFU));
  }
  return reply;
}

}  // namespace karvello::gateway
