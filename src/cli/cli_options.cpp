#include "cli/cli_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "cli/cli_history.h"
#include "cli/watch_config.h"
#include "engine/address_box.h"
#include "engine/survey.h"
#include "serial/serial_line.h"

namespace karvello::cli {
namespace {

struct CommandEntry {
  Command command;
  std::string_view name;
};
constexpr CommandEntry kCommands[] = {
    {Command::kSetAddress, "set-address"},
    {Command::kQueryAddress, "query-address"},
    {Command::kResistance, "resistance"},
    {Command::kVoltage, "voltage"},
    {Command::kScan, "scan"},
    {Command::kWatch, "watch"},
    {Command::kHistory, "history"},
};

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
    throw UsageError(std::string(option) + " takes a whole number from 1 to 255, not \"" +
                     std::string(text) + "\"");
  }
  return *address;
}

LineAddress Port(std::string_view text) {
  std::string why;
  auto address = ParseLineAddress(text, &why);
  if (!address) throw UsageError("-p: " + why);
  return std::move(*address);
}

// A network line's time in milliseconds, from `low` to `high`.
std::chrono::milliseconds Milliseconds(std::string_view option, std::string_view text,
                                       long long low, std::chrono::milliseconds high) {
  const auto number = Whole(text, low, high.count());
  if (!number) {
    throw UsageError(std::string(option) + " takes a whole number of milliseconds from " +
                     std::to_string(low) + " to " + std::to_string(high.count()) + ", not \"" +
                     std::string(text) + "\"");
  }
  return std::chrono::milliseconds(*number);
}

// Which options each command takes, beyond those of the tool.
bool Takes(Command command, std::string_view option) {
  switch (command) {
    case Command::kResistance:
    case Command::kVoltage:
      return option == "-a" || option == "--address";
    case Command::kScan:
      return option == "--from" || option == "--to" || option == "--wait";
    case Command::kWatch:
      for (std::string_view o :
           {"-a", "--address", "--every", "--count", "--resistance", "--voltage", "--config",
            "--mqtt", "--mqtt-ca", "--site", "--mqtt-topic", "--ha-discovery", "--alarm-above",
            "--alarm-after"}) {
        if (option == o) return true;
      }
      return false;
    case Command::kHistory:
      return option == "-a" || option == "--address" || option == "--since" ||
             option == "--until" || option == "--operation";
    default:
      return false;
  }
}

bool TakesValue(std::string_view option) {
  for (std::string_view o :
       {"-p", "--port", "--format", "-a", "--address", "--from", "--to", "--wait", "--every",
        "--count", "--connect-timeout", "--pause-after-connect", "--pause", "--since", "--until",
        "--operation", "--config", "--mqtt", "--mqtt-ca", "--site", "--mqtt-topic",
        "--alarm-above", "--alarm-after"}) {
    if (option == o) return true;
  }
  return false;
}

bool IsToolOption(std::string_view option) {
  for (std::string_view o :
       {"-p", "--port", "--format", "-v", "--verbose", "--no-record", "-h", "--help", "--version",
        "--list-ports", "--connect-timeout", "--pause-after-connect", "--pause"}) {
    if (option == o) return true;
  }
  return false;
}

// A resistance in ohms as --alarm-above takes it: a whole number of at most 9 digits, with at
// most 2 decimal places (the detector's finest).
std::optional<double> Ohms(std::string_view text) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  const auto digits = [](std::string_view part) {
    return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || whole.size() > 9 || !digits(whole) || !digits(fraction) ||
      (point != std::string_view::npos && (fraction.empty() || fraction.size() > 2))) {
    return std::nullopt;
  }
  // Read as a typed "4.1" is, so that it equals a reading of 4.1 (OhmsOf), whatever the locale.
  double ohms = 0;
  std::from_chars(text.data(), text.data() + text.size(), ohms);
  return ohms;
}

}  // namespace

std::string_view CommandName(Command command) {
  for (const CommandEntry& entry : kCommands) {
    if (entry.command == command) return entry.name;
  }
  return "karvello-cli";
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

Invocation Parse(const std::vector<std::string>& given) {
  Invocation run;
  // A --config file's options take its place among the others.
  std::vector<std::string> arguments = given;
  std::vector<std::string> positional;
  // Options of the command are checked once the command is known: gathered here first.
  std::vector<std::pair<std::string, std::string>> commandOptions;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string option = arguments[i];
    std::optional<std::string> value;
    if (option.size() > 2 && option.rfind("--", 0) == 0) {
      const auto equals = option.find('=');
      if (equals != std::string::npos) {
        value = option.substr(equals + 1);
        option.resize(equals);
      }
    }
    if (option.size() < 2 || option.front() != '-') {
      positional.push_back(option);
      continue;
    }
    if (TakesValue(option)) {
      if (!value) {
        if (i + 1 >= arguments.size()) throw UsageError(option + " needs a value");
        value = arguments[++i];
      }
    } else if (value) {
      throw UsageError(option + " takes no value");
    }
    if (option == "--config") {
      std::vector<std::string> options;
      try {
        options = ReadWatchConfigFile(*value);
      } catch (const WatchConfigError& error) {
        throw UsageError(error.what());
      }
      arguments.insert(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1, options.begin(),
                       options.end());
      commandOptions.emplace_back(option, *value);  // only the watch takes one
    } else if (option == "-p" || option == "--port") {
      run.port = Port(*value);
    } else if (option == "--connect-timeout") {
      run.network.connectTimeout = Milliseconds(option, *value, 1, kLongestConnectTimeout);
    } else if (option == "--pause-after-connect") {
      run.network.pauseAfterConnect = Milliseconds(option, *value, 0, kLongestPause);
    } else if (option == "--pause") {
      run.network.pause = Milliseconds(option, *value, 0, kLongestPause);
    } else if (option == "--format") {
      if (*value == "plain") {
        run.format = Format::kPlain;
      } else if (*value == "csv") {
        run.format = Format::kCsv;
      } else if (*value == "json") {
        run.format = Format::kJson;
      } else {
        throw UsageError("--format takes plain, csv or json, not \"" + *value + "\"");
      }
    } else if (option == "-v" || option == "--verbose") {
      run.verbose = true;
    } else if (option == "--no-record") {
      run.record = false;
    } else if (option == "-h" || option == "--help") {
      run.help = true;
    } else if (option == "--version") {
      run.version = true;
    } else if (option == "--list-ports") {
      run.listPorts = true;
    } else if (!IsToolOption(option)) {
      commandOptions.emplace_back(option, value.value_or(""));
    }
  }

  if (!positional.empty()) {
    const auto entry = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const CommandEntry& e) { return e.name == positional[0]; });
    if (entry == std::end(kCommands)) {
      throw UsageError("unknown command \"" + positional[0] + "\" (see karvello-cli --help)");
    }
    run.command = entry->command;
  }
  if (run.help || run.version) return run;
  if (run.command == Command::kNone) {
    if (!commandOptions.empty()) {
      throw UsageError("unknown option " + commandOptions.front().first);
    }
    if (run.listPorts) return run;
    throw UsageError("no command given (see karvello-cli --help)");
  }
  const std::string name(CommandName(run.command));
  const std::size_t wantedPositional = run.command == Command::kSetAddress ? 2 : 1;
  if (positional.size() < wantedPositional) throw UsageError(name + " needs the new address");
  if (positional.size() > wantedPositional) {
    throw UsageError(name + ": unexpected argument \"" + positional[wantedPositional] + "\"");
  }
  if (run.command == Command::kSetAddress) {
    run.addresses = {Address("set-address", positional[1])};
  }
  // A Modbus TCP gateway passes no broadcast on, nor the answer to a broadcast read.
  const std::optional<Operation> single =
      run.command == Command::kSetAddress     ? std::optional(Operation::kSetAddress)
      : run.command == Command::kQueryAddress ? std::optional(Operation::kQueryAddress)
                                              : std::nullopt;
  if (single && SendsBroadcast(*single) && run.port &&
      run.port->kind == LineAddress::Kind::kModbusTcp) {
    throw UsageError(name + " sends a broadcast, which a Modbus TCP gateway (" + run.port->text +
                     ") does not pass on: give the serial server as rtu+tcp://HOST:PORT, or a "
                     "serial port");
  }

  bool everyGiven = false;
  bool alarmAfterGiven = false;
  for (const auto& [option, value] : commandOptions) {
    if (!Takes(run.command, option)) {
      throw UsageError(name + " has no option " + option + " (see karvello-cli " + name +
                       " --help)");
    }
    if (option == "-a" || option == "--address") {
      run.addresses.clear();
      std::size_t start = 0;
      for (;;) {
        const std::size_t comma = value.find(',', start);
        const std::string item = value.substr(start, comma - start);
        if (run.command != Command::kWatch && run.command != Command::kHistory &&
            comma != std::string::npos) {
          throw UsageError(name + " reads one address, not \"" + value + "\"");
        }
        run.addresses.push_back(Address("-a", item));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (option == "--from" || option == "--to") {
      const auto number = Whole(value, kFirstDeviceAddress, kLastDeviceAddress);
      if (!number) {
        throw UsageError(option + " takes a whole number from 1 to 255, not \"" + value + "\"");
      }
      (option == "--from" ? run.from : run.to) = static_cast<int>(*number);
    } else if (option == "--wait") {
      const auto number = Whole(value, kShortestScanWait.count(), kLongestScanWait.count());
      if (!number) {
        throw UsageError("--wait takes a whole number of milliseconds from " +
                         std::to_string(kShortestScanWait.count()) + " to " +
                         std::to_string(kLongestScanWait.count()) + ", not \"" + value + "\"");
      }
      run.wait = std::chrono::milliseconds(*number);
    } else if (option == "--every") {
      const auto every = ParseDuration(value);
      if (!every) {
        throw UsageError("--every takes a duration such as 500ms, 10s, 5m or 1h, not \"" + value +
                         "\"");
      }
      run.every = *every;
      everyGiven = true;
    } else if (option == "--count") {
      const auto number = Whole(value, 1, 1'000'000'000'000LL);
      if (!number)
        throw UsageError("--count takes a whole number of at least 1, not \"" + value + "\"");
      run.count = *number;
    } else if (option == "--since" || option == "--until") {
      const auto time =
          ParseHistoryTime(value, option == "--since" ? PeriodEnd::kSince : PeriodEnd::kUntil,
                           QDateTime::currentDateTime());
      if (!time) {
        throw UsageError(option + " takes a date (2026-12-07), a date and time " +
                         "(2026-12-07T18:04) or a time back from now (7d, 12h), not \"" + value +
                         "\"");
      }
      (option == "--since" ? run.since : run.until) = *time;
    } else if (option == "--operation") {
      if (value != "resistance" && value != "voltage") {
        throw UsageError("--operation takes resistance or voltage, not \"" + value + "\"");
      }
      // Every operation that reads the quantity: the survey's reading of a resistance too.
      for (const Operation operation : kAllOperations) {
        if (AnswerForm(operation).name == value) run.operations.push_back(operation);
      }
    } else if (option == "--resistance") {
      run.operations.push_back(Operation::kQueryResistance);
    } else if (option == "--voltage") {
      run.operations.push_back(Operation::kQueryVoltage);
    } else if (option == "--mqtt") {
      run.mqttUrl = value;
    } else if (option == "--mqtt-ca") {
      run.mqttCa = value;
    } else if (option == "--site") {
      run.site = value;
    } else if (option == "--mqtt-topic") {
      run.mqttTopic = value;
    } else if (option == "--ha-discovery") {
      run.haDiscovery = true;
    } else if (option == "--alarm-above") {
      run.alarmAbove = Ohms(value);
      if (!run.alarmAbove) {
        throw UsageError(
            "--alarm-above takes ohms with at most 2 decimal places (20, 4.5, 0.25), not \"" +
            value + "\"");
      }
    } else if (option == "--alarm-after") {
      const auto number = Whole(value, 1, kLongestAlarmRun);
      if (!number) {
        throw UsageError("--alarm-after takes a whole number from 1 to " +
                         std::to_string(kLongestAlarmRun) + ", not \"" + value + "\"");
      }
      run.alarmAfter = static_cast<int>(*number);
      alarmAfterGiven = true;
    }
  }

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
  if (run.command == Command::kHistory && run.since.isValid() && run.until.isValid() &&
      run.since > run.until) {
    throw UsageError("--since is after --until: the period is empty");
  }
  if (run.command == Command::kWatch) {
    if (!everyGiven) throw UsageError("watch needs --every DURATION");
    if (run.operations.empty()) run.operations.push_back(Operation::kQueryVoltage);
    // Each once, voltage first when both are asked for.
    std::sort(run.operations.begin(), run.operations.end(),
              [](Operation a, Operation b) { return a == Operation::kQueryVoltage && b != a; });
    run.operations.erase(std::unique(run.operations.begin(), run.operations.end()),
                         run.operations.end());
    if (run.mqttUrl.empty()) {
      for (const auto& [option, given] : {std::pair{"--mqtt-ca", !run.mqttCa.empty()},
                                          {"--site", !run.site.empty()},
                                          {"--mqtt-topic", !run.mqttTopic.empty()},
                                          {"--ha-discovery", run.haDiscovery}}) {
        if (given) throw UsageError(std::string(option) + " needs --mqtt URL");
      }
    }
    if (alarmAfterGiven && !run.alarmAbove) throw UsageError("--alarm-after needs --alarm-above");
    if (run.alarmAbove && std::find(run.operations.begin(), run.operations.end(),
                                    Operation::kQueryResistance) == run.operations.end()) {
      throw UsageError("--alarm-above needs --resistance");
    }
  }
  return run;
}

}  // namespace karvello::cli
