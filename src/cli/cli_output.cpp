#include "cli/cli_output.h"

#include <cstdio>

#include "framing/frame_text.h"
#include "record/record.h"

namespace karvello::cli {
namespace {

std::string Hex(std::span<const std::uint8_t> bytes) {
  return FormatFrameText(bytes, bytes.size());
}

}  // namespace

ValueField ValueOf(const Outcome& outcome) {
  // As the record writes them.
  RecordRow row = RowOf(outcome, {}, {});
  return {std::move(row.value), std::move(row.unit)};
}

std::string PlainText(const Outcome& outcome) {
  switch (outcome.result) {
    case Result::kAnswered:
      break;
    case Result::kRefused:
      // An exception reply: slave, function | 0x80, the exception code.
      return outcome.reply.size() > 2
                 ? "refused (exception " + FormatHexByte(outcome.reply[2]) + ")"
                 : "refused";
    case Result::kWrongReply:
      return "wrong reply";
    case Result::kCorrupt:
      return "corrupt reply";
    case Result::kNoReply:
      return "no reply in time";
    case Result::kLineLost:
      return "line lost";
    case Result::kNotSent:
      return "not sent";
  }
  const ValueField field = ValueOf(outcome);
  switch (outcome.operation) {
    case Operation::kQueryResistance:
    case Operation::kReadResistance:
      return outcome.value && outcome.value->overRange ? "over range" : field.value + " Ω";
    case Operation::kQueryVoltage:
      return field.value + " V";
    case Operation::kStartMeasurement:
      return "started";
    case Operation::kSetAddress:
    case Operation::kQueryAddress:
    case Operation::kReadAddress:
      break;
  }
  return "address " + field.value;
}

ExitStatus StatusOf(Result result) {
  switch (result) {
    case Result::kAnswered:
      return kAnswered;
    case Result::kRefused:
      return kRefused;
    case Result::kWrongReply:
    case Result::kCorrupt:
      return kBadReply;
    case Result::kNoReply:
      return kNoReply;
    case Result::kLineLost:
      return kPortUnavailable;
    case Result::kNotSent:
      break;
  }
  return kUsage;
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string field = "\"";
  for (char c : text) {
    if (c == '"') field += '"';
    field += c;
  }
  return field + '"';
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + '"';
}

void Printer::Begin() {
  if (format_ != Format::kCsv) return;
  Write(verbose_ ? "time,port,address,operation,result,value,unit,sent,received\n"
                 : "time,port,address,operation,result,value,unit\n");
}

void Printer::Print(const Outcome& outcome, int address, std::string_view port,
                    const QDateTime& when, bool stamped) {
  const std::string_view operation = Describe(outcome.operation).name;
  const ValueField field = ValueOf(outcome);
  std::string line;
  switch (format_) {
    case Format::kPlain:
      if (stamped) {
        line = when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString() + "  address " +
               std::to_string(address) + "  " + std::string(operation) + "  ";
      }
      Write(line + PlainText(outcome) + "\n");
      PrintFrames(outcome);
      return;
    case Format::kCsv:
      line = CsvField(TimeText(when)) + "," + CsvField(port) + "," + std::to_string(address) + "," +
             std::string(operation) + "," + std::string(ResultName(outcome.result)) + "," +
             field.value + "," + field.unit;
      if (verbose_) line += "," + CsvField(RowOf(outcome, {}, {}).sent) + "," + Hex(outcome.reply);
      line += "\n";
      break;
    case Format::kJson: {
      std::string value = "null";
      if (!field.value.empty()) value = field.value == "OL" ? JsonString("OL") : field.value;
      line = "{\"time\":" + JsonString(TimeText(when)) + ",\"port\":" + JsonString(port) +
             ",\"address\":" + std::to_string(address) + ",\"operation\":" + JsonString(operation) +
             ",\"result\":" + JsonString(ResultName(outcome.result)) + ",\"value\":" + value +
             ",\"unit\":" + JsonString(field.unit);
      if (verbose_) {
        line += ",\"sent\":[";
        for (std::size_t i = 0; i < outcome.sent.size(); ++i) {
          line += (i ? "," : "") + JsonString(Hex(outcome.sent[i]));
        }
        line += "],\"received\":" + JsonString(Hex(outcome.reply));
      }
      line += "}\n";
      break;
    }
  }
  Write(line);
}

void Printer::PrintFrames(const Outcome& outcome) {
  if (format_ != Format::kPlain || !verbose_) return;
  std::string lines;
  for (std::size_t i = 0; i < outcome.sent.size(); ++i) {
    lines += outcome.sent.size() > 1 ? "  sent " + std::to_string(i + 1) + ": " : "  sent: ";
    lines += Hex(outcome.sent[i]) + "\n";
  }
  if (!outcome.reply.empty()) lines += "  received: " + Hex(outcome.reply) + "\n";
  Write(lines);
}

void Printer::Note(std::string_view text) {
  if (format_ == Format::kPlain) Write(std::string(text) + "\n");
}

void Printer::Write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

}  // namespace karvello::cli
