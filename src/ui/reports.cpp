#include "ui/reports.h"

#include "framing/frame_text.h"
#include "ui/log_texts.h"

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
  return HexText(bytes);
}

// The reply as shown: the whole reply.
std::string Reply(const Outcome& outcome) {
  return Frame(outcome.reply);
}

std::string Failure(Operation operation) {
  return std::string(operation == Operation::kSetAddress ? text::kSetFailed : text::kQueryFailed);
}

}  // namespace

std::string FormatResistance(const Reading& reading) {
  const std::string field = AnswerForm(Operation::kQueryResistance).field(reading);
  // Where the point falls among the reading's own digits the text keeps a leading space, the
  // sign position of a number that is not negative.
  const bool pointAmongDigits = field.find('.') != std::string::npos && !field.starts_with("0.");
  return pointAmongDigits ? " " + field : field;
}

std::string FormatVoltage(const Reading& reading) {
  return AnswerForm(Operation::kQueryVoltage).field(reading);
}

std::string ReportText(const Outcome& outcome) {
  if (outcome.result != Result::kAnswered || !outcome.value) return Failure(outcome.operation);
  const Reading& value = *outcome.value;
  const auto& sent = outcome.sent;
  switch (outcome.operation) {
    case Operation::kSetAddress:
      return Lines({text::kSetSucceeded, Labelled(text::kSend1, Frame(sent.at(0))),
                    Labelled(text::kSend2, Frame(sent.at(1))),
                    Labelled(text::kReceiveOfTwo, Reply(outcome))});
    case Operation::kQueryAddress:
      return Lines({text::kQuerySucceeded, Labelled(text::kSend, Frame(sent.at(0))),
                    Labelled(text::kReceive, Reply(outcome)),
                    Labelled(text::kAddressResult, std::to_string(value.number))});
    case Operation::kQueryResistance:
      return Lines(
          {text::kQuerySucceeded, Labelled(text::kSend1, Frame(sent.at(0))),
           Labelled(text::kSend2, Frame(sent.at(1))), Labelled(text::kReceiveOfTwo, Reply(outcome)),
           Labelled(text::kResistanceResult, FormatResistance(value) + std::string(text::kOhms))});
    default:  // the voltage
      break;
  }
  return Lines({text::kQuerySucceeded, Labelled(text::kSend, Frame(sent.at(0))),
                Labelled(text::kReceive, Reply(outcome)),
                Labelled(text::kVoltageResult, FormatVoltage(value) + std::string(text::kVolts))});
}

}  // namespace karvello
