#include "cli/cli_options.h"

#include <QCommandLineParser>
#include <QStringList>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <span>

#include "cli/cli_config_file.h"
#include "cli/cli_help_texts.h"
#include "cli/cli_history.h"
#include "cli/cli_rules.h"
#include "cli/help_layout.h"
#include "engine/address_box.h"
#include "engine/survey.h"
#include "present/limit_text.h"
#include "present/shown_text.h"
#include "serial/packing.h"
#include "serial/serial_line.h"

namespace karvello::cli {
namespace {

// What a command line's options have set so far, beyond the invocation itself.
struct ParseState {
  Invocation run;
  std::string name;  // the command's
  bool everyGiven = false;
  bool alarmAfterGiven = false;
};

// Sets what an option given as `option` (as typed: "--address" or "-a") with `value` asks for.
using Apply = void (*)(ParseState& state, const std::string& option, const std::string& value);

// An option: its names, its value's name in the help (none: a flag), its help (none: not in the
// help) and what it sets. The help's lines after the first are indented to the help's column.
struct OptionEntry {
  char shortName;             // 0: none
  std::string_view longName;  // "": none
  bool longInHelp;            // the help names the long form too ("-p, --port")
  std::string_view valueName;
  std::string_view help;
  Apply apply;
};

// -a of the commands that read one detector, and of those that take a list.
void OneAddress(ParseState& s, const std::string&, const std::string& value) {
  if (value.find(',') != std::string::npos) {
    throw UsageError(s.name + " reads one address, not " + QuotedValue(value));
  }
  s.run.addresses = {Address("-a", value)};
}

void Addresses(ParseState& s, const std::string&, const std::string& value) {
  s.run.addresses.clear();
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = value.find(',', start);
    s.run.addresses.push_back(Address("-a", value.substr(start, comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

// A whole number from 1 to `high` for `option`.
int WholeIn(const std::string& option, const std::string& value, long long high) {
  const auto number = Whole(value, 1, high);
  if (!number) {
    throw UsageError(option + " takes a whole number from 1 to " + std::to_string(high) +
                     ", not " + QuotedValue(value));
  }
  return static_cast<int>(*number);
}

void ScanEnd(ParseState& s, const std::string& option, const std::string& value) {
  const auto number = Whole(value, kFirstDeviceAddress, kLastDeviceAddress);
  if (!number) {
    throw UsageError(option + " takes a whole number from 1 to 255, not " + QuotedValue(value));
  }
  (option == "--from" ? s.run.from : s.run.to) = static_cast<int>(*number);
}

void HistoryTime(ParseState& s, const std::string& option, const std::string& value) {
  const auto time =
      ParseHistoryTime(value, option == "--since" ? PeriodEnd::kSince : PeriodEnd::kUntil,
                       QDateTime::currentDateTime());
  if (!time) {
    throw UsageError(option + " takes a date (2026-12-07), a date and time " +
                     "(2026-12-07T18:04) or a time back from now (7d, 12h), not " +
                     QuotedValue(value));
  }
  (option == "--since" ? s.run.since : s.run.until) = *time;
}

// An option whose value, not empty, is kept as it is given.
template <std::string Invocation::*field>
void Text(ParseState& s, const std::string& option, const std::string& value) {
  s.run.*field = NonEmpty(option, value);
}

// An option giving where a server of the watch listens: [HOST:]PORT.
template <std::optional<gateway::ListenAddress> Invocation::*field>
void ListenAt(ParseState& s, const std::string& option, const std::string& value) {
  std::string why;
  s.run.*field = gateway::ParseListenAddress(value, &why);
  if (!(s.run.*field)) throw UsageError(option + ": " + why);
}

constexpr OptionEntry kToolOptions[] = {
    {'p', "port", true, "PORT",
     "COM1 to COM16, numbered as the window numbers them (on Windows\n"
     "up to COM256), or a device path (/dev/ttyUSB0); without it, the\n"
     "first port that opens. Over the network:\n"
     "rtu+tcp://HOST:PORT  a transparent serial server (the RTU frames\n"
     "                     as they are; every command)\n"
     "tcp://HOST[:PORT]    a Modbus TCP gateway (port 502 unless given;\n"
     "                     no set-address nor query-address: no\n"
     "                     broadcasts)",
     [](ParseState& s, const std::string&, const std::string& value) {
       std::string why;
       auto address = ParseLineAddress(value, &why);
       if (!address) throw UsageError("-p: " + why);
       s.run.port = std::move(*address);
     }},
    {0, "connect-timeout", true, "MS",
     "a network line: the wait for the connection, 1 to 60000 (3000)",
     [](ParseState& s, const std::string& option, const std::string& value) {
       s.run.network.connectTimeout = Milliseconds(option, value, 1, kLongestConnectTimeout);
     }},
    {0, "pause-after-connect", true, "MS",
     "a network line: the pause after connecting, 0 to 10000 (0)",
     [](ParseState& s, const std::string& option, const std::string& value) {
       s.run.network.pauseAfterConnect = Milliseconds(option, value, 0, kLongestPause);
     }},
    {0, "pause", true, "MS", "a network line: the pause between requests, 0 to 10000 (0)",
     [](ParseState& s, const std::string& option, const std::string& value) {
       s.run.network.pause = Milliseconds(option, value, 0, kLongestPause);
     }},
    {0, "reply-timeout", true, "MS",
     "the wait for each reply, 100 to 10000 (1300): more for a\n"
     "slow link (a serial server over a cellular network); not\n"
     "for scan, which has --wait",
     [](ParseState& s, const std::string& option, const std::string& value) {
       s.run.replyTimeout =
           Milliseconds(option, value, kShortestReplyTimeout.count(), kLongestReplyTimeout);
     }},
    {0, "list-ports", true, "", "list the ports by number with the device behind each",
     [](ParseState& s, const std::string&, const std::string&) { s.run.listPorts = true; }},
    {0, "format", true, "FORMAT", "plain (the default), csv or json (one object per line)",
     [](ParseState& s, const std::string&, const std::string& value) {
       if (value == "plain") {
         s.run.format = Format::kPlain;
       } else if (value == "csv") {
         s.run.format = Format::kCsv;
       } else if (value == "json") {
         s.run.format = Format::kJson;
       } else {
         throw UsageError("--format takes plain, csv or json, not " + QuotedValue(value));
       }
     }},
    {'v', "verbose", true, "", "add the frames sent and received, in hexadecimal",
     [](ParseState& s, const std::string&, const std::string&) { s.run.verbose = true; }},
    {0, "no-record", true, "", "do not add the outcomes to the shared record",
     [](ParseState& s, const std::string&, const std::string&) { s.run.record = false; }},
    {'h', "help", true, "", "this help",
     [](ParseState& s, const std::string&, const std::string&) { s.run.help = true; }},
    {0, "version", true, "", "the version",
     [](ParseState& s, const std::string&, const std::string&) { s.run.version = true; }},
};

constexpr OptionEntry kOneAddress[] = {{'a', "address", false, "ADDR", "", OneAddress}};

constexpr OptionEntry kScanOptions[] = {
    {0, "from", true, "N", "the first address, 1 to 255 (1)", ScanEnd},
    {0, "to", true, "M", "the last address, 1 to 255, not below N (255)", ScanEnd},
    {0, "wait", true, "MS", "the wait for each reply in milliseconds, 20 to 1300 (100)",
     [](ParseState& s, const std::string&, const std::string& value) {
       const auto number = Whole(value, kShortestScanWait.count(), kLongestScanWait.count());
       if (!number) {
         throw UsageError("--wait takes a whole number of milliseconds from " +
                          std::to_string(kShortestScanWait.count()) + " to " +
                          std::to_string(kLongestScanWait.count()) + ", not " + QuotedValue(value));
       }
       s.run.wait = std::chrono::milliseconds(*number);
     }},
};

constexpr OptionEntry kWatchOptions[] = {
    {'a', "address", false, "ADDR,...", "the detectors' addresses, 1 to 255", Addresses},
    {0, "every", true, "DURATION",
     "the interval: a whole number then ms, s, m or h (500ms, 10s, 5m, 1h),\n"
     "at most a week (168h)",
     [](ParseState& s, const std::string&, const std::string& value) {
       const auto every = ParseDuration(value);
       if (!every) {
         throw UsageError("--every takes a duration such as 500ms, 10s, 5m or 1h, not " +
                          QuotedValue(value));
       }
       s.run.every = *every;
       s.everyGiven = true;
     }},
    {0, "count", true, "N", "stop after N rounds (default: until stopped)",
     [](ParseState& s, const std::string&, const std::string& value) {
       const auto number = Whole(value, 1, 1'000'000'000'000LL);
       if (!number) {
         throw UsageError("--count takes a whole number of at least 1, not " + QuotedValue(value));
       }
       s.run.count = *number;
     }},
    {0, "voltage", true, "", "read the voltage (the default)",
     [](ParseState& s, const std::string&, const std::string&) {
       s.run.operations.push_back(Operation::kQueryVoltage);
     }},
    {0, "resistance", true, "", "measure the resistance (19 s each)",
     [](ParseState& s, const std::string&, const std::string&) {
       s.run.operations.push_back(Operation::kQueryResistance);
     }},
    // Its file's options were put in its place as the command line was read.
    {0, "config", true, "FILE",
     "read options from FILE, one a line with its value after it; \"#\" begins\n"
     "a comment line (the service's /etc/karvello/watch-NAME.conf); each\n"
     "option once; the command line's win",
     [](ParseState&, const std::string&, const std::string&) {}},
    {0, "alarm-above", true, "OHMS",
     "raise an alarm after N resistances in a row above OHMS (over range is\n"
     "above), clear it after N in a row at or below; each change is a line\n"
     "and a row of the record (operation \"alarm\"); needs --resistance",
     [](ParseState& s, const std::string&, const std::string& value) {
       s.run.alarmAbove = ParseLimitOhms(value);
       if (!s.run.alarmAbove) {
         throw UsageError(
             "--alarm-above takes ohms with at most 2 decimal places (20, 4.5, 0.25), not " +
             QuotedValue(value));
       }
     }},
    {0, "alarm-after", true, "N", "N for --alarm-above (2)",
     [](ParseState& s, const std::string&, const std::string& value) {
       const auto number = Whole(value, 1, kLongestAlarmRun);
       if (!number) {
         throw UsageError("--alarm-after takes a whole number from 1 to " +
                          std::to_string(kLongestAlarmRun) + ", not " + QuotedValue(value));
       }
       s.run.alarmAfter = static_cast<int>(*number);
       s.alarmAfterGiven = true;
     }},
    {0, "dead-after", true, "N",
     "after N failed readings in a row (no reply, a corrupt or wrong one; a\n"
     "refusal is an answer) set the detector aside and raise its no-answer\n"
     "alarm, 1 to 1000 (5)",
     [](ParseState& s, const std::string& typed, const std::string& value) {
       s.run.deadAfter = WholeIn(typed, value, gateway::kLongestDeadAfter);
     }},
    {0, "dead-retry", true, "N",
     "read a detector set aside every 2nd round, then 4th, ... up to every\n"
     "Nth, 1 to 100000 (64), and every round again once it answers",
     [](ParseState& s, const std::string& typed, const std::string& value) {
       s.run.deadRetry = WholeIn(typed, value, gateway::kLongestDeadRetry);
     }},
    {0, "mqtt", true, "URL",
     "publish each reading to an MQTT broker: mqtt://[USER[:PASSWORD]@]HOST[:PORT]\n"
     "(1883) or mqtts://... (TLS, 8883); the password may come from\n"
     "KARVELLO_MQTT_PASSWORD instead",
     Text<&Invocation::mqttUrl>},
    {0, "mqtt-ca", true, "FILE", "mqtts: trust the broker's certificate signed by the CA in FILE",
     Text<&Invocation::mqttCa>},
    {0, "site", true, "NAME", "the site's name in the topics and the page (default: the host name)",
     Text<&Invocation::site>},
    {0, "mqtt-topic", true, "PREFIX", "the topics' prefix (default: karvello/SITE)",
     Text<&Invocation::mqttTopic>},
    {0, "ha-discovery", true, "", "announce each detector's sensors to Home Assistant",
     [](ParseState& s, const std::string&, const std::string&) { s.run.haDiscovery = true; }},
    {0, "modbus-server", true, "[HOST:]PORT",
     "serve the readings, their state and age to a SCADA over Modbus TCP\n"
     "(unit id = address); HOST 127.0.0.1 unless given (0.0.0.0: all)",
     ListenAt<&Invocation::modbusServer>},
    {0, "http", true, "[HOST:]PORT",
     "serve the site's page, JSON and metrics over HTTP (HOST 127.0.0.1\n"
     "unless given)",
     ListenAt<&Invocation::http>},
};

constexpr OptionEntry kHistoryOptions[] = {
    {'a', "address", false, "ADDR,...", "only these detectors' addresses, 1 to 255", Addresses},
    {0, "since", true, "TIME", "only rows made at TIME or later", HistoryTime},
    {0, "until", true, "TIME", "only rows made at TIME or earlier", HistoryTime},
    {0, "operation", true, "OPERATION",
     "only resistance, only voltage, or only the alarms raised and cleared",
     [](ParseState& s, const std::string&, const std::string& value) {
       if (value == "alarm") {
         s.run.alarms = true;
         return;
       }
       if (value != "resistance" && value != "voltage") {
         throw UsageError("--operation takes resistance, voltage or alarm, not " +
                          QuotedValue(value));
       }
       // Every operation that reads the quantity: the survey's reading of a resistance too.
       for (const Operation operation : kAllOperations) {
         if (AnswerForm(operation).name == value) s.run.operations.push_back(operation);
       }
     }},
    {0, "record", true, "FILE",
     "read the record at FILE (a service's: /var/lib/karvello/record.csv)",
     Text<&Invocation::recordFile>},
};

// A command: its synopsis, its line in the tool's help, its own help around its options, and
// the column its options' help begins at.
struct CommandEntry {
  Command command;
  std::string_view name;
  std::string_view synopsis;  // after the name: "-a ADDR"
  std::string_view more;      // a second line of the synopsis in the tool's help
  std::string_view summary;   // in the tool's help
  std::string_view about;     // the command's help, before its options
  std::span<const OptionEntry> options;
  std::size_t column;
  std::string_view after;  // the command's help, after its options
};

constexpr CommandEntry kCommands[] = {
    {Command::kSetAddress,
     "set-address",
     "NEW",
     "",
     "give the detector on the line the address NEW (1 to 255)",
     kSetAddressHelp,
     {},
     0,
     ""},
    {Command::kQueryAddress,
     "query-address",
     "",
     "",
     "ask the detector on the line for its address",
     kQueryAddressHelp,
     {},
     0,
     ""},
    {Command::kResistance, "resistance", "-a ADDR", "",
     "measure the resistance (19 s), then read it", kResistanceHelp, kOneAddress, 0, ""},
    {Command::kVoltage, "voltage", "-a ADDR", "", "read the voltage", kVoltageHelp, kOneAddress, 0,
     ""},
    {Command::kScan, "scan", "[--from N] [--to M] [--wait MS]", "",
     "find the detectors on the line by their addresses", kScanHelp, kScanOptions, 15, kScanAfter},
    {Command::kWatch, "watch",
     "-a ADDR[,ADDR...] --every DURATION [--count N] [--resistance] [--voltage]",
     "[--alarm-above OHMS] [--mqtt URL] [--modbus-server PORT] [--http PORT] [--config FILE]",
     "read at a fixed interval until stopped, publishing to a broker", kWatchHelp, kWatchOptions,
     21, kWatchAfter},
    {Command::kHistory, "history",
     "[-a ADDR[,ADDR...]] [--since TIME] [--until TIME] [--operation OPERATION]",
     "[--record FILE]",
     "the readings in the record, oldest first", kHistoryHelp, kHistoryOptions, 25, kHistoryAfter},
};

// The column the tool's help gives its commands' and options' texts.
constexpr std::size_t kToolColumn = 25;

const CommandEntry* CommandNamed(std::string_view name) {
  const auto entry = std::find_if(std::begin(kCommands), std::end(kCommands),
                                  [&](const CommandEntry& c) { return c.name == name; });
  return entry == std::end(kCommands) ? nullptr : entry;
}

const CommandEntry* CommandOf(Command command) {
  const auto entry = std::find_if(std::begin(kCommands), std::end(kCommands),
                                  [&](const CommandEntry& c) { return c.command == command; });
  return entry == std::end(kCommands) ? nullptr : entry;
}

// The option of `options` that `typed` ("-a", "--address") names, or none.
const OptionEntry* Find(std::span<const OptionEntry> options, std::string_view typed) {
  for (const OptionEntry& option : options) {
    if ((typed.size() == 2 && typed[0] == '-' && option.shortName != 0 &&
         typed[1] == option.shortName) ||
        (typed.starts_with("--") && !option.longName.empty() &&
         typed.substr(2) == option.longName)) {
      return &option;
    }
  }
  return nullptr;
}

// Whether `typed` names an option of any command, or of the tool.
bool Known(std::string_view typed) {
  bool known = Find(kToolOptions, typed) != nullptr;
  for (const CommandEntry& command : kCommands) known = known || Find(command.options, typed);
  return known;
}

// Whether `typed` names an option of any command, or of the tool, that takes a value.
bool TakesValue(std::string_view typed) {
  const OptionEntry* option = Find(kToolOptions, typed);
  for (const CommandEntry& command : kCommands) {
    if (!option) option = Find(command.options, typed);
  }
  return option && !option->valueName.empty();
}

std::string OptionsHelp(std::span<const OptionEntry> options, std::size_t column) {
  std::string text;
  for (const OptionEntry& option : options) {
    if (option.help.empty()) continue;
    std::string left = "  ";
    if (option.shortName != 0) left += std::string("-") + option.shortName;
    if (!option.longName.empty() && (option.longInHelp || option.shortName == 0)) {
      left += (option.shortName != 0 ? ", --" : "--") + std::string(option.longName);
    }
    if (!option.valueName.empty()) left += " " + std::string(option.valueName);
    text += HelpLine(left, option.help, column);
  }
  return text;
}

std::string Synopsis(const CommandEntry& command) {
  return std::string(command.name) + (command.synopsis.empty() ? "" : " ") +
         std::string(command.synopsis);
}

// Qt's parser of the tool's options and those of `command` (none: the tool's alone), reading
// `arguments` (the program's name first).
void ReadWithQt(QCommandLineParser& parser, const CommandEntry* command,
                const QStringList& arguments) {
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const auto add = [&parser](std::span<const OptionEntry> options) {
    for (const OptionEntry& option : options) {
      QStringList names;
      if (option.shortName != 0) names << QString(QLatin1Char(option.shortName));
      if (!option.longName.empty()) names << QString::fromUtf8(option.longName);
      parser.addOption(QCommandLineOption(names, QString::fromUtf8(option.help),
                                          QString::fromUtf8(option.valueName)));
    }
  };
  add(kToolOptions);
  if (command) add(command->options);
  // Only options it knows reach it, each with its value: it cannot fail.
  if (!parser.parse(arguments)) throw UsageError(parser.errorText().toStdString());
}

using Given = GivenOption;

}  // namespace

std::string_view CommandName(Command command) {
  const CommandEntry* described = CommandOf(command);
  return described ? described->name : "karvello-cli";
}

std::string HelpText(Command command) {
  if (const CommandEntry* described = CommandOf(command)) {
    return "Usage: karvello-cli " + Synopsis(*described) + " [OPTIONS]\n" +
           std::string(described->about) + OptionsHelp(described->options, described->column) +
           std::string(described->after);
  }
  std::string text =
      "Usage: karvello-cli [OPTIONS] COMMAND [ARGS]\n" + std::string(kToolAbout) + "\nCommands:\n";
  for (const CommandEntry& described : kCommands) {
    std::string left = "  " + Synopsis(described);
    if (!described.more.empty()) {
      left += "\n" + std::string(described.name.size() + 3, ' ') + std::string(described.more);
      left += "\n" + std::string(kToolColumn, ' ');  // the summary on a line of its own
      text += left + std::string(described.summary) + "\n";
    } else {
      text += HelpLine(left, described.summary, kToolColumn);
    }
  }
  text += HelpLine("  COMMAND --help", "the command's options", kToolColumn);
  return text + "\nOptions:\n" + OptionsHelp(kToolOptions, kToolColumn) + std::string(kToolAfter);
}

Invocation Parse(const std::vector<std::string>& given) {
  // First the words: which are options (those of every command known, so that each value goes
  // with its option whatever the command), which values, which the command and its arguments. A
  // --config file's options take its place among the others. "-abc" and "--" are options no
  // command has, never Qt's compacted short options nor its end of the options.
  const std::vector<std::string>& arguments = given;
  std::vector<Given> options;
  std::vector<std::string> positional;
  // Before each word that is no option, the option no command has that stands just before it,
  // if any: the word may be its value, which is not to be shown.
  std::vector<std::string> afterUnknown;
  std::string unknownBefore;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string option = arguments[i];
    std::optional<std::string> value;
    if (option.size() > 2 && option.starts_with("--")) {
      const auto equals = option.find('=');
      if (equals != std::string::npos) {
        value = option.substr(equals + 1);
        option.resize(equals);
      }
    }
    if (option.size() < 2 || option.front() != '-') {
      positional.push_back(option);
      afterUnknown.push_back(std::exchange(unknownBefore, {}));
      continue;
    }
    unknownBefore = !value && !Known(option) ? option : std::string();
    if (TakesValue(option)) {
      if (!value) {
        if (i + 1 >= arguments.size()) throw UsageError(option + " needs a value");
        value = arguments[++i];
      }
    } else if (value && Known(option)) {  // an option no command has is named as such
      throw UsageError(option + " takes no value");
    }
    options.push_back({option, value, {}});
  }
  const CommandEntry* command = positional.empty() ? nullptr : CommandNamed(positional[0]);
  const std::span<const OptionEntry> own =
      command ? command->options : std::span<const OptionEntry>();
  const auto described = [&](std::string_view typed) {
    const OptionEntry* option = Find(kToolOptions, typed);
    return option ? option : Find(own, typed);
  };
  // A --config file's options take its place among the others.
  if (Find(own, "--config")) {
    options = WithConfigFiles(
        options,
        [&](std::string_view typed) -> std::optional<KnownOption> {
          const OptionEntry* option = described(typed);
          if (!option) return std::nullopt;
          return KnownOption{option, !option->valueName.empty()};
        },
        [&](const std::string& option) {
          return std::string(command->name) + " has no option " + option;
        });
  }

  // Then Qt's parser of the command's options and the tool's, given those alone.
  QStringList forQt{QStringLiteral("karvello-cli")};
  for (const std::string& word : positional) forQt << QString::fromStdString(word);
  for (const Given& option : options) {
    if (!described(option.option)) continue;
    // A value that begins with "-" is still the option's.
    forQt << QString::fromStdString(option.value ? option.option + "=" + *option.value
                                                 : option.option);
  }
  QCommandLineParser parser;
  ReadWithQt(parser, command, forQt);
  // Each option's n-th value as given, in the order given.
  std::map<const OptionEntry*, int> seen;
  const auto apply = [&](const OptionEntry& entry, const Given& option, ParseState& state) {
    const QStringList given = parser.values(QString::fromUtf8(entry.longName));
    const int n = seen[&entry]++;
    const std::string value =
        option.value && n < given.size() ? given[n].toStdString() : std::string();
    if (option.where.empty()) return entry.apply(state, option.option, value);
    try {
      entry.apply(state, option.option, value);
    } catch (const UsageError& error) {
      throw UsageError(option.where + ": " + error.what());  // a line of a --config file
    }
  };

  ParseState state;
  for (const Given& option : options) {
    if (const OptionEntry* described = Find(kToolOptions, option.option))
      apply(*described, option, state);
  }
  Invocation& run = state.run;
  if (!positional.empty() && !command) {
    // The word after an option no command has is that option's value: the option is named.
    if (!afterUnknown[0].empty()) {
      throw UsageError("unknown option " + afterUnknown[0] + SerialSettingNote(afterUnknown[0]) +
                       " (see karvello-cli --help)");
    }
    throw UsageError("unknown command " + QuotedValue(positional[0]) +
                     " (see karvello-cli --help)");
  }
  if (command) run.command = command->command;
  if (run.help || run.version) return run;
  if (!command) {
    for (const Given& option : options) {
      if (!Find(kToolOptions, option.option)) {
        throw UsageError("unknown option " + option.option + SerialSettingNote(option.option));
      }
    }
    if (run.listPorts) return run;
    throw UsageError("no command given (see karvello-cli --help)");
  }
  state.name = std::string(command->name);
  const std::string& name = state.name;
  const std::size_t wantedPositional = run.command == Command::kSetAddress ? 2 : 1;
  if (positional.size() < wantedPositional) throw UsageError(name + " needs the new address");
  if (positional.size() > wantedPositional) {
    if (!afterUnknown[wantedPositional].empty()) {
      const std::string& unknown = afterUnknown[wantedPositional];
      throw UsageError(name + " has no option " + unknown + SerialSettingNote(unknown) +
                       " (see karvello-cli " + name + " --help)");
    }
    throw UsageError(name + ": unexpected argument " + QuotedValue(positional[wantedPositional]));
  }
  if (run.command == Command::kSetAddress) {
    run.addresses = {Address("set-address", positional[1])};
  }
  // A Modbus TCP gateway passes no broadcast on, nor the answer to a broadcast read.
  const std::optional<Operation> single =
      run.command == Command::kSetAddress     ? std::optional(Operation::kSetAddress)
      : run.command == Command::kQueryAddress ? std::optional(Operation::kQueryAddress)
                                              : std::nullopt;
  if (single && SendsBroadcast(*single) && run.port && !CarriesBroadcasts(*run.port)) {
    throw UsageError(name + " sends a broadcast, which a Modbus TCP gateway (" + run.port->text +
                     ") does not pass on: give the serial server as rtu+tcp://HOST:PORT, or a "
                     "serial port");
  }

  for (const Given& option : options) {
    if (Find(kToolOptions, option.option)) continue;
    const OptionEntry* described = Find(own, option.option);
    if (!described) {
      const std::string note = Known(option.option) ? "" : SerialSettingNote(option.option);
      throw UsageError(name + " has no option " + option.option + note + " (see karvello-cli " +
                       name + " --help)");
    }
    apply(*described, option, state);
  }

  CheckRules(run, name, {state.everyGiven, state.alarmAfterGiven});

  return run;
}

}  // namespace karvello::cli
