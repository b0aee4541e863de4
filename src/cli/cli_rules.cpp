#include "cli/cli_rules.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "engine/address_box.h"
#include "engine/survey.h"
#include "present/shown_text.h"

namespace karvello::cli {

// A whole number, digits only, from `low` to `high`.
std::optional<long long> Whole(std::string_view text, long long low, long long high) {
  long long value = 0;
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::from_chars(text.data(), text.data() + text.size(), value);
  if (value < low || value > high) return std::nullopt;
  return value;
}

// A detector's address, by the rule of set address: a whole number from 1 to 255.
std::uint8_t Address(std::string_view option, std::string_view text) {
  const auto address = NewDeviceAddress(text);
  if (!address) {
    throw UsageError(std::string(option) + " takes a whole number from 1 to 255, not " +
                     QuotedValue(text));
  }
  return *address;
}

const std::string& NonEmpty(std::string_view option, const std::string& value) {
  if (value.empty()) throw UsageError(std::string(option) + " takes a value, not an empty one");
  return value;
}

// A network line's time in milliseconds, from `low` to `high`.
std::chrono::milliseconds Milliseconds(std::string_view option, std::string_view text,
                                       long long low, std::chrono::milliseconds high) {
  const auto number = Whole(text, low, high.count());
  if (!number) {
    throw UsageError(std::string(option) + " takes a whole number of milliseconds from " +
                     std::to_string(low) + " to " + std::to_string(high.count()) + ", not " +
                     QuotedValue(text));
  }
  return std::chrono::milliseconds(*number);
}

std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text,
                                                       std::chrono::milliseconds longest) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 9) return std::nullopt;
  long long number = 0;
  std::from_chars(text.data(), text.data() + digits, number);
  if (number < 1) return std::nullopt;
  // Nine digits of hours are 3.6e15 ms: no unit overflows the milliseconds' 64 bits.
  const std::string_view unit = text.substr(digits);
  std::chrono::milliseconds duration{0};
  if (unit == "ms") {
    duration = std::chrono::milliseconds(number);
  } else if (unit == "s") {
    duration = std::chrono::seconds(number);
  } else if (unit == "m") {
    duration = std::chrono::minutes(number);
  } else if (unit == "h") {
    duration = std::chrono::hours(number);
  } else {
    return std::nullopt;
  }
  if (duration > longest) return std::nullopt;
  return duration;
}

void CheckRules(Invocation& run, const std::string& name, const GivenOptions& given) {
  switch (run.command) {
    case Command::kResistance:
    case Command::kVoltage:
    case Command::kWatch:
      if (run.addresses.empty()) throw UsageError(name + " needs -a ADDR");
      break;
    default:
      break;
  }
  if (run.command == Command::kScan &&
      CheckScanSettings({run.from, run.to, run.wait}) == ScanSettingsError::kFromAboveTo) {
    throw UsageError("--from " + std::to_string(run.from) + " is above --to " +
                     std::to_string(run.to));
  }
  if (run.command == Command::kScan && run.replyTimeout) {
    throw UsageError("scan waits --wait MS for each reply, not --reply-timeout");
  }
  if (run.command == Command::kHistory && run.since.isValid() && run.until.isValid() &&
      run.since > run.until) {
    throw UsageError("--since is after --until: the period is empty");
  }
  if (run.command == Command::kWatch) {
    if (!given.every) throw UsageError("watch needs --every DURATION");
    if (run.operations.empty()) run.operations.push_back(Operation::kQueryVoltage);
    // Each once, voltage first when both are asked for.
    std::sort(run.operations.begin(), run.operations.end(),
              [](Operation a, Operation b) { return a == Operation::kQueryVoltage && b != a; });
    run.operations.erase(std::unique(run.operations.begin(), run.operations.end()),
                         run.operations.end());
    if (run.mqttUrl.empty()) {
      for (const auto& [option, given] : {std::pair{"--mqtt-ca", !run.mqttCa.empty()},
                                          {"--site", !run.site.empty() && !run.http},
                                          {"--mqtt-topic", !run.mqttTopic.empty()},
                                          {"--ha-discovery", run.haDiscovery}}) {
        if (given) throw UsageError(std::string(option) + " needs --mqtt URL");
      }
    }
    if (given.alarmAfter && !run.alarmAbove) {
      throw UsageError("--alarm-after needs --alarm-above");
    }
    if (run.alarmAbove && std::find(run.operations.begin(), run.operations.end(),
                                    Operation::kQueryResistance) == run.operations.end()) {
      throw UsageError("--alarm-above needs --resistance");
    }
  }
}

std::string SerialSettingNote(std::string_view option) {
  std::string name;
  for (const char c : option) {
    if (c != '-' && c != '_') name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  // The names a user reaches for to set a serial line, and their short forms.
  constexpr std::string_view kWords[] = {"baud", "parity", "stopbit", "databit", "bits",
                                         "speed", "flow", "rate", "8n1"};
  const bool serial = name == "b" ||
                      std::any_of(std::begin(kWords), std::end(kWords), [&](std::string_view word) {
                        return name.find(word) != std::string::npos;
                      });
  if (!serial) return {};
  return "; the line is always Modbus RTU at 9600 baud, 8 data bits, no parity, 1 stop bit "
         "(9600 8N1), as the detectors talk";
}

}  // namespace karvello::cli
