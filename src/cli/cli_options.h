#pragma once
// The command line of karvello-cli: its commands and options read into an Invocation, every
// mistake a UsageError, before any port is opened. Its help texts and exit statuses.

#include <QDateTime>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/alarm_rule.h"
#include "engine/operations.h"
#include "gateway/listen_address.h"
#include "gateway/watch.h"
#include "serial/line_address.h"

namespace karvello::cli {

// The exit statuses, as --help, the manual page and the README give them.
enum ExitStatus : int {
  kAnswered = 0,          // the detector answered (watch and scan: they ran or were stopped)
  kRecordUnreadable = 1,  // history: the record, or one of its files, could not be read
  kUsage = 2,             // bad usage: nothing was sent
  kNoReply = 3,           // no reply in time (scan: no detector answered)
  kRefused = 4,           // the detector refused (a Modbus exception reply)
  kBadReply = 5,          // a corrupt or wrong reply
  kPortUnavailable = 6,   // no port opens, the port named does not, or the line was lost
  kBrokerRefused = 7,     // watch --mqtt: the broker refused the login (the readings recorded)
  kOutputUnwritable = 8,  // standard output could not be written (a closed pipe is no failure)
  kNotDelivered = 9,      // watch --mqtt --count: its rounds done, messages left undelivered
};

enum class Command {
  kNone,
  kSetAddress,
  kQueryAddress,
  kResistance,
  kVoltage,
  kScan,
  kWatch,
  kHistory,
};
enum class Format { kPlain, kCsv, kJson };

// A bad command line: the message is one line, without the program's name.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Invocation {
  Command command = Command::kNone;
  bool help = false;     // --help: the tool's, or the command's when one is given
  bool version = false;  // --version
  bool listPorts = false;
  // -p: a numbered port, a device, rtu+tcp://HOST:PORT or tcp://HOST[:PORT]; none: the first
  // numbered port that opens.
  std::optional<LineAddress> port;
  NetworkSettings network;  // --connect-timeout, --pause-after-connect, --pause
  // --reply-timeout: the wait for each reply (not the scan's, which --wait gives); none: the
  // detector's own 1.3 s.
  std::optional<std::chrono::milliseconds> replyTimeout;
  Format format = Format::kPlain;
  bool verbose = false;
  bool record = true;
  // set-address: the new address; resistance, voltage: the detector's address; watch: every
  // address read in each round.
  std::vector<std::uint8_t> addresses;
  // scan
  int from = 1;
  int to = 255;
  std::chrono::milliseconds wait{100};
  // watch
  std::chrono::milliseconds every{0};
  long long count = 0;                // rounds; 0: until stopped
  std::vector<Operation> operations;  // read at each address in each round, in this order
  // history: the period (an invalid bound: open on that side); `addresses` and `operations`
  // (none: all) the rows asked for.
  QDateTime since;
  QDateTime until;
  // history: the record file read (--record; empty: the user's own), and whether the alarms'
  // rows are asked for (--operation alarm) rather than the readings.
  std::string recordFile;
  bool alarms = false;
  // watch: the MQTT broker's URL as given (empty: none), its CA, the site, the topic prefix
  // (empty: from the site) and Home Assistant's discovery.
  std::string mqttUrl;
  std::string mqttCa;
  std::string site;
  std::string mqttTopic;
  bool haDiscovery = false;
  // watch: the alarm's limit in ohms, and the readings in a row that raise or clear it.
  std::optional<double> alarmAbove;
  int alarmAfter = kDefaultAlarmAfter;
  // watch: the failed readings in a row that set a detector aside and raise its no-answer alarm,
  // and the longest gap in rounds between its readings while set aside.
  int deadAfter = gateway::kDefaultDeadAfter;
  int deadRetry = gateway::kDefaultDeadRetry;
  // watch: where the site's registers are served over Modbus TCP (--modbus-server); none: not.
  std::optional<gateway::ListenAddress> modbusServer;
  // watch: where its HTTP server listens (--http); none: it serves nothing.
  std::optional<gateway::ListenAddress> http;
};

// The readings in a row --alarm-after takes at most.
inline constexpr int kLongestAlarmRun = 1000;

// Reads the arguments after the program's name, those of a --config file in its place. Throws
// UsageError.
Invocation Parse(const std::vector<std::string>& arguments);

// The longest interval a watch takes (--every): a week.
inline constexpr std::chrono::milliseconds kLongestEvery = gateway::kLongestWatchPeriod;

// "500ms", "10s", "5m", "1h": a whole number of at least 1 and at most 9 digits, then its unit,
// at most `longest`.
std::optional<std::chrono::milliseconds> ParseDuration(
    std::string_view text, std::chrono::milliseconds longest = kLongestEvery);

// The command's name ("watch"), and the help of the tool (Command::kNone) or of a command.
std::string_view CommandName(Command command);
std::string HelpText(Command command);

}  // namespace karvello::cli
