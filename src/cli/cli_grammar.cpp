#include "cli/cli_grammar.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <span>
#include "cli/cli_config_file.h"
#include "cli/cli_help_texts.h"
#include "cli/cli_history.h"
#include "cli/cli_rules.h"
#include "engine/address_box.h"
#include "engine/survey.h"
#include "present/limit_text.h"
#include "present/shown_text.h"
#include "serial/packing.h"
#include "serial/serial_line.h"

namespace karvello::cli::grammar {
namespace {

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
    throw UsageError(option + " takes a whole number from 1 to " + std::to_string(high) + ", not " +
                     QuotedValue(value));
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
     "[-a ADDR[,ADDR...]] [--since TIME] [--until TIME] [--operation OPERATION]", "[--record FILE]",
     "the readings in the record, oldest first", kHistoryHelp, kHistoryOptions, 25, kHistoryAfter},
};

}  // namespace

std::span<const OptionEntry> ToolOptions() {
  return kToolOptions;
}

std::span<const CommandEntry> Commands() {
  return kCommands;
}

}  // namespace karvello::cli::grammar
