#include "operations/reports.h"

#include "framing/frame_text.h"
#include "framing/frames.h"
#include "framing/numeric.h"

namespace karvello {
namespace {

using namespace std::string_literals;

std::string Line(std::string_view label, std::string_view body, bool last = false) {
  std::string line{label};
  line += body;
  if (!last) line += text::kLineEnd;
  return line;
}

std::string StatusLine(std::string_view message) {
  return Line(message, "");
}

// The address byte of a request line, taken from the address box as a whole.
std::optional<std::uint8_t> RequestAddress(std::string_view addressText) {
  const auto value = WholeNumber(addressText);
  if (!value || *value < 0 || *value > 255) return std::nullopt;
  return static_cast<std::uint8_t>(*value);
}

std::string RequestText(CommandCode code, std::uint8_t address, CrcPair crc) {
  return FormatFrameText(FrameOf(LayoutOf(code, address), crc.lo, crc.hi), kRequestFrameSize);
}

unsigned Reading(std::span<const std::uint8_t> rx) {
  return rx[3] * 256U + rx[4];
}

// The reading's digits with the point before the last `places` of them.
std::string PlacePoint(unsigned reading, std::size_t places) {
  const std::string digits = std::to_string(reading);
  if (digits.size() <= places) {
    return "0." + std::string(places - digits.size(), '0') + digits;
  }
  // Where the point falls among the reading's own digits the text keeps a leading space, the
  // sign position of a number that is not negative.
  return " " + digits.substr(0, digits.size() - places) + "." +
         digits.substr(digits.size() - places);
}

}  // namespace

std::string FormatResistance(std::span<const std::uint8_t> rx) {
  const unsigned reading = Reading(rx);
  switch (rx[6]) {
    case 0:
      return std::to_string(reading);
    case 1:
      return PlacePoint(reading, 1);
    case 2:
      return PlacePoint(reading, 2);
    default:
      return std::string(text::kOverRange);
  }
}

std::string FormatVoltage(std::span<const std::uint8_t> rx) {
  return std::to_string(Reading(rx));
}

std::optional<Report> SetAddressReport(std::span<const std::uint8_t> rx,
                                       std::string_view addressText, CrcPair sent, CrcPair last) {
  constexpr std::size_t kShown = 8;
  if (rx.size() < kShown) return std::nullopt;
  const auto address = RequestAddress(addressText);
  if (!address) return std::nullopt;
  return Report{StatusLine(text::kSetSucceeded),
                Line(text::kSend1, RequestText(CMD_SET_ADDRESS, *address, sent)),
                Line(text::kSend2, RequestText(CMD_SET_ADDRESS_CONFIRM, *address, last)),
                Line(text::kReceiveOfTwo, FormatFrameText(rx, kShown), true)};
}

std::optional<Report> QueryAddressReport(std::span<const std::uint8_t> rx) {
  constexpr std::size_t kShown = 7;
  if (rx.size() < kShown) return std::nullopt;
  return Report{StatusLine(text::kQuerySucceeded),
                Line(text::kSend, FormatFrameText(kQueryAddressFrame, kRequestFrameSize)),
                Line(text::kReceive, FormatFrameText(rx, kShown)),
                Line(text::kAddressResult, std::to_string(rx[0]), true)};
}

std::optional<Report> ResistanceReport(std::span<const std::uint8_t> rx,
                                       std::string_view addressText, CrcPair sent, CrcPair last) {
  constexpr std::size_t kShown = 9;
  if (rx.size() < kShown) return std::nullopt;
  const auto address = RequestAddress(addressText);
  if (!address) return std::nullopt;
  return Report{
      StatusLine(text::kQuerySucceeded),
      Line(text::kSend1, RequestText(CMD_QUERY_RESISTANCE, *address, sent)),
      Line(text::kSend2, RequestText(CMD_READ_RESISTANCE, *address, last)),
      Line(text::kReceiveOfTwo, FormatFrameText(rx, kShown)),
      Line(text::kResistanceResult, FormatResistance(rx) + std::string(text::kOhms), true)};
}

std::optional<Report> VoltageReport(std::span<const std::uint8_t> rx, std::string_view addressText,
                                    CrcPair last) {
  constexpr std::size_t kShown = 7;
  if (rx.size() < kShown) return std::nullopt;
  const auto address = RequestAddress(addressText);
  if (!address) return std::nullopt;
  return Report{StatusLine(text::kQuerySucceeded),
                Line(text::kSend, RequestText(CMD_QUERY_VOLTAGE, *address, last)),
                Line(text::kReceive, FormatFrameText(rx, kShown)),
                Line(text::kVoltageResult, FormatVoltage(rx) + std::string(text::kVolts), true)};
}

}  // namespace karvello
