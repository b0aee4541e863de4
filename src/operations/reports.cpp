#include "operations/reports.h"

#include "framing/frame_text.h"
#include "operations/log_texts.h"

namespace karvello {
namespace {

// The report's lines, joined with CR LF between them.
std::string Lines(std::initializer_list<std::string_view> lines) {
  std::string out;
  for (std::string_view line : lines) {
    if (!out.empty()) out += text::kLineEnd;
    out += line;
  }
  return out;
}

std::string Labelled(std::string_view label, std::string_view body) {
  std::string line{label};
  line += body;
  return line;
}

std::string Frame(std::span<const std::uint8_t> bytes) {
  return FormatFrameText(bytes, bytes.size());
}

unsigned Reading(std::span<const std::uint8_t> reply) {
  return reply[3] * 256U + reply[4];
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

std::string FormatResistance(std::span<const std::uint8_t> reply) {
  const unsigned reading = Reading(reply);
  switch (reply[6]) {
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

std::string FormatVoltage(std::span<const std::uint8_t> reply) {
  return std::to_string(Reading(reply));
}

std::string SetAddressReport(const RequestFrame& broadcast, const RequestFrame& confirmation,
                             std::span<const std::uint8_t> echo) {
  return Lines({text::kSetSucceeded, Labelled(text::kSend1, Frame(broadcast)),
                Labelled(text::kSend2, Frame(confirmation)),
                Labelled(text::kReceiveOfTwo, FormatFrameText(echo, kEchoLength))});
}

std::string QueryAddressReport(const RequestFrame& request, std::span<const std::uint8_t> reply) {
  return Lines({text::kQuerySucceeded, Labelled(text::kSend, Frame(request)),
                Labelled(text::kReceive, FormatFrameText(reply, kAddressReplyLength)),
                Labelled(text::kAddressResult, std::to_string(reply[0]))});
}

std::string ResistanceReport(const RequestFrame& start, const RequestFrame& read,
                             std::span<const std::uint8_t> reply) {
  return Lines(
      {text::kQuerySucceeded, Labelled(text::kSend1, Frame(start)),
       Labelled(text::kSend2, Frame(read)),
       Labelled(text::kReceiveOfTwo, FormatFrameText(reply, kResistanceReplyLength)),
       Labelled(text::kResistanceResult, FormatResistance(reply) + std::string(text::kOhms))});
}

std::string VoltageReport(const RequestFrame& request, std::span<const std::uint8_t> reply) {
  return Lines({text::kQuerySucceeded, Labelled(text::kSend, Frame(request)),
                Labelled(text::kReceive, FormatFrameText(reply, kVoltageReplyLength)),
                Labelled(text::kVoltageResult, FormatVoltage(reply) + std::string(text::kVolts))});
}

}  // namespace karvello
