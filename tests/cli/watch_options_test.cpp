// The watch's command line as Parse reads it: the alarm's limit and run at their edges, the
// options that need another, and a --config file's options taking its place among the others.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_record.h"
#include "gateway/last_known.h"

namespace karvello::cli {
namespace {

using Arguments = std::vector<std::string>;
using ::testing::IsSubstring;

Arguments Watch(Arguments more) {
  Arguments arguments = {"watch", "-a", "1", "--every", "1s", "--resistance"};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

// What Parse says as it refuses `arguments` as bad usage, or "taken".
std::string Refusal(const Arguments& arguments) {
  try {
    Parse(arguments);
  } catch (const UsageError& error) {
    return error.what();
  }
  return "taken";
}

// The alarm's limit and run and the dead detector's counts as Parse takes them from a watch's
// `options` ("20 2 5 64"; "-" for no limit), or what it says as it refuses them.
std::string Counts(const Arguments& options) {
  try {
    const Invocation run = Parse(Watch(options));
    std::ostringstream text;
    text << std::setprecision(12);
    run.alarmAbove ? text << *run.alarmAbove : text << "-";
    text << " " << run.alarmAfter << " " << run.deadAfter << " " << run.deadRetry;
    return text.str();
  } catch (const UsageError& error) {
    return error.what();
  }
}

// --alarm-above, --alarm-after, --dead-after and --dead-retry at their edges; a refusal (the
// expected text begins with "--") says what the option takes.
TEST(WatchOptions, TakeTheAlarmAndDeadCountsWithinTheirEdges) {
  const std::string ohms = "--alarm-above takes ohms with at most 2 decimal places";
  const std::string run = "--alarm-after takes a whole number from 1 to 1000, not";
  const struct {
    Arguments options;
    std::string counts;
  } cases[] = {
      {{"--alarm-above", "20"}, "20 2 5 64"},
      {{"--alarm-above", "0"}, "0 2 5 64"},
      {{"--alarm-above", "4.1"}, "4.1 2 5 64"},
      {{"--alarm-above", "0.25"}, "0.25 2 5 64"},
      {{"--alarm-above", "0.255"}, ohms},
      {{"--alarm-above", "999999999"}, "999999999 2 5 64"},
      {{"--alarm-above", "1000000000"}, ohms},
      {{"--alarm-above", "10."}, ohms},
      {{"--alarm-above", ".5"}, ohms},
      {{"--alarm-above", "-1"}, ohms},
      {{"--alarm-above", "1e3"}, ohms},
      {{"--alarm-above", "10", "--alarm-after", "1"}, "10 1 5 64"},
      {{"--alarm-above", "10", "--alarm-after", "0"}, run},
      {{"--alarm-above", "10", "--alarm-after", "1000"}, "10 1000 5 64"},
      {{"--alarm-above", "10", "--alarm-after", "1001"}, run},
      {{"--alarm-after", "3"}, "--alarm-after needs --alarm-above"},
      {{}, "- 2 5 64"},
      {{"--dead-after", "1"}, "- 2 1 64"},
      {{"--dead-after", "1000"}, "- 2 1000 64"},
      {{"--dead-after", "0"}, "--dead-after takes a whole number from 1 to 1000, not"},
      {{"--dead-after", "1001"}, "--dead-after takes a whole number from 1 to 1000, not"},
      {{"--dead-after", "-1"}, "--dead-after takes a whole number from 1 to 1000, not"},
      {{"--dead-retry", "1"}, "- 2 5 1"},
      {{"--dead-retry", "100000"}, "- 2 5 100000"},
      {{"--dead-retry", "0"}, "--dead-retry takes a whole number from 1 to 100000, not"},
      {{"--dead-retry", "100001"}, "--dead-retry takes a whole number from 1 to 100000, not"},
      {{"--dead-after=3", "--dead-retry=8"}, "- 2 3 8"},
  };
  for (const auto& c : cases) {
    const std::string said = Counts(c.options);
    EXPECT_EQ(c.counts.starts_with("--") ? said.substr(0, c.counts.size()) : said, c.counts)
        << (c.options.empty() ? "(none)" : c.options.back());
  }
  EXPECT_THROW(Parse({"voltage", "-a", "1", "--dead-after", "3"}), UsageError);
}

// Options that mean nothing without another are refused, naming the one they need.
TEST(WatchOptions, RefuseWhatNeedsAnotherOption) {
  const struct {
    Arguments arguments;
    const char* said;
  } cases[] = {
      {{"watch", "-a", "1", "--every", "1s", "--alarm-above", "10"}, "needs --resistance"},
      {{"watch", "-a", "1", "--every", "1s", "--site", "s1"}, "--site needs --mqtt"},
      {{"watch", "-a", "1", "--every", "1s", "--mqtt-topic", "k/s"}, "--mqtt-topic needs --mqtt"},
      {{"watch", "-a", "1", "--every", "1s", "--mqtt-ca", "ca.crt"}, "--mqtt-ca needs --mqtt"},
      {{"watch", "-a", "1", "--every", "1s", "--ha-discovery"}, "--ha-discovery needs --mqtt"},
      {{"voltage", "-a", "1", "--mqtt", "mqtt://h"}, "voltage has no option --mqtt"},
  };
  for (const auto& c : cases) EXPECT_PRED_FORMAT2(IsSubstring, c.said, Refusal(c.arguments));
  const Invocation run = Parse({"watch", "-a", "1", "--every", "1s", "--mqtt", "mqtt://h", "--site",
                                "s1", "--mqtt-topic", "k/s", "--ha-discovery"});
  EXPECT_EQ(run.mqttUrl, "mqtt://h");
  EXPECT_EQ(run.site, "s1");
  EXPECT_EQ(run.mqttTopic, "k/s");
  EXPECT_TRUE(run.haDiscovery);
}

// Where the page is served: the port alone on 127.0.0.1, a host given; the port within its edges;
// from the file as from the command line; only by a watch.
TEST(WatchOptions, TakeTheHttpAddress) {
  const Arguments watch{"watch", "-a", "1", "--every", "1s"};
  const auto with = [&](Arguments more) {
    Arguments arguments = watch;
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  };
  EXPECT_FALSE(Parse(watch).http);
  EXPECT_EQ(Parse(with({"--http", "8080"})).http, (gateway::ListenAddress{"127.0.0.1", 8080}));
  EXPECT_EQ(Parse(with({"--http=0.0.0.0:65535"})).http, (gateway::ListenAddress{"0.0.0.0", 65535}));
  EXPECT_EQ(Parse(with({"--http", "8080", "--site", "s1"})).site, "s1");
  for (const Arguments& bad :
       {with({"--http", "65536"}), with({"--http", "0"}), with({"--http", "host:"}),
        with({"--http"}), Arguments{"voltage", "-a", "1", "--http", "8080"}}) {
    EXPECT_THROW(Parse(bad), UsageError) << bad.back();
  }
  EXPECT_EQ(Refusal(with({"--http", "x:99999"})),
            "--http: \"x:99999\" does not give an IPv4 address (0.0.0.0, 192.0.2.10) or [IPV6] "
            "as HOST");
}

class WatchConfigOption : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    const std::string path = folder_.filePath(QStringLiteral("watch-site1.conf")).toStdString();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  QTemporaryDir folder_;
};

// The file's options stand where --config does; the command line's win wherever they stand.
TEST_F(WatchConfigOption, ItsOptionsStandInItsPlace) {
  const std::string path = Write(
      "# site 1\n-a 1,2\n--every 5m\n--resistance\n--mqtt mqtt://gw@h\n--count 3\n"
      "--http 0.0.0.0:9100\n");
  const Invocation run = Parse({"watch", "--config", path, "--count", "4", "--format", "json"});
  EXPECT_EQ(run.addresses, (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(run.every, std::chrono::minutes(5));
  EXPECT_EQ(run.operations, std::vector<Operation>{Operation::kQueryResistance});
  EXPECT_EQ(run.mqttUrl, "mqtt://gw@h");
  EXPECT_EQ(run.http, (gateway::ListenAddress{"0.0.0.0", 9100}));
  EXPECT_EQ(run.count, 4);
  EXPECT_EQ(run.format, Format::kJson);
  const Invocation dead = Parse({"watch", "--config",
                                 Write("-a 1\n--every 5m\n--dead-after 7\n"
                                       "--dead-retry 16\n")});
  EXPECT_EQ(dead.deadAfter, 7);
  EXPECT_EQ(dead.deadRetry, 16);
  EXPECT_EQ(Parse({"watch", "--count", "4", "--config", path}).count, 4);
}

TEST_F(WatchConfigOption, ABadLineIsBadUsageNamingItsNumber) {
  const struct {
    std::string text;
    std::string said;
  } cases[] = {
      {"-a 1\n--every 5m\n--alarm-above ten\n--resistance\n", "--alarm-above takes ohms"},
      {"-a 1\n--every 5m\n--colour\n", "watch has no option --colour"},
  };
  for (const auto& c : cases) {
    EXPECT_PRED_FORMAT2(IsSubstring, c.said, Refusal({"watch", "--config", Write(c.text)}));
  }
  const std::string path = Write("-a 1\n# fine\n--every 5m\nresistance\n");
  EXPECT_EQ(Refusal({"watch", "--config", path}),
            path + ":4: the line does not begin with an option (-x or --name)");
  EXPECT_THROW(Parse({"voltage", "-a", "1", "--config", Write("-p /dev/null\n")}), UsageError);
  EXPECT_THROW(Parse({"watch", "--config", folder_.filePath("none.conf").toStdString()}),
               UsageError);
}

// --reply-timeout: 100 and 10000 taken, 99 and 10001 refused, on the command line and in a
// watch's file alike (the command line's wins); none given leaves the detector's own wait; a
// scan has its --wait instead.
TEST_F(WatchConfigOption, TakesTheReplyTimeoutWithinItsEdges) {
  const struct {
    const char* value;
    std::optional<std::chrono::milliseconds> taken;  // none: refused
  } cases[] = {
      {"99", std::nullopt},
      {"100", std::chrono::milliseconds(100)},
      {"10000", std::chrono::milliseconds(10000)},
      {"10001", std::nullopt},
      {"1.5", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const std::vector<std::vector<std::string>> commandLines = {
        {"voltage", "-a", "1", "--reply-timeout", c.value},
        {"resistance", "-a", "1", std::string("--reply-timeout=") + c.value},
        {"watch", "--config",
         Write(std::string("-a 1\n--every 1m\n--reply-timeout ") + c.value + "\n")}};
    for (const auto& arguments : commandLines) {
      if (!c.taken) {
        EXPECT_THROW(Parse(arguments), UsageError) << arguments[0];
        continue;
      }
      EXPECT_EQ(Parse(arguments).replyTimeout, c.taken) << arguments[0];
    }
  }
  EXPECT_EQ(Parse({"voltage", "-a", "1"}).replyTimeout, std::nullopt);
  const std::string path = Write("-a 1\n--every 1m\n--reply-timeout 5000\n");
  EXPECT_EQ(Parse({"watch", "--reply-timeout", "200", "--config", path}).replyTimeout,
            std::chrono::milliseconds(200));
  EXPECT_EQ(Refusal({"scan", "--reply-timeout", "2000"}),
            "scan waits --wait MS for each reply, not --reply-timeout");
}

// --modbus-server on the command line and in the file: the loopback address unless a host is
// given; a watch's option only.
TEST_F(WatchConfigOption, TakesTheModbusServersAddress) {
  EXPECT_FALSE(Parse(Watch({})).modbusServer);
  EXPECT_EQ(Parse(Watch({"--modbus-server", "1502"})).modbusServer,
            (gateway::ListenAddress{"127.0.0.1", 1502}));
  EXPECT_EQ(Parse(Watch({"--modbus-server=0.0.0.0:502"})).modbusServer,
            (gateway::ListenAddress{"0.0.0.0", 502}));
  const std::string path = Write("-a 1\n--every 1m\n--modbus-server 0.0.0.0:502\n");
  EXPECT_EQ(Parse({"watch", "--config", path}).modbusServer,
            (gateway::ListenAddress{"0.0.0.0", 502}));
  for (const std::string bad : {"0", "65536", "host:502", ""}) {
    const std::string said = Refusal(Watch({"--modbus-server", bad}));
    EXPECT_EQ(said.rfind("--modbus-server: \"" + bad + "\"", 0), 0u) << said;
  }
  EXPECT_THROW(Parse({"voltage", "-a", "1", "--modbus-server", "1502"}), UsageError);
}

// The alarms that stand when a watch starts again: each address's last alarm row on its port, as
// the record's end holds the rows the command line added.
TEST(WatchAlarmsInTheRecord, TheLastRowOnThePortStands) {
  QTemporaryDir folder;
  qputenv("KARVELLO_RECORD", folder.filePath(QStringLiteral("record.csv")).toUtf8());
  OutcomeRecord record(true);
  const auto raised = [&record](const std::string& port) {
    return gateway::ReadLastKnown(record.Status().path, port, {1, 2, 3, 4},
                                  {Operation::kQueryResistance}, true)
        .raised;
  };
  EXPECT_EQ(raised("/dev/ttyUSB0"), std::set<int>());
  // 34.5 ohms
  const Outcome reading{Operation::kQueryResistance, 1, {}, {}, Result::kAnswered, Reading{345, 1}};
  const QDateTime when = QDateTime::currentDateTime();
  const struct {
    int address;
    const char* port;
    bool raised;
  } rows[] = {
      {1, "/dev/ttyUSB0", true},  {2, "/dev/ttyUSB0", true}, {2, "/dev/ttyUSB0", false},
      {3, "/dev/ttyUSB0", false}, {3, "/dev/ttyUSB0", true}, {4, "/dev/ttyUSB1", true},
  };
  for (const auto& row : rows) {
    record.AddAlarm({reading, row.address, row.raised, 20, when}, row.port);
  }
  record.Add(reading, "/dev/ttyUSB0", when);  // a reading is no alarm row
  EXPECT_EQ(raised("/dev/ttyUSB0"), (std::set<int>{1, 3}));
  EXPECT_EQ(raised("/dev/ttyUSB1"), std::set<int>{4});
  // With --no-record there is no record to start from.
  EXPECT_EQ(OutcomeRecord(false).Status().path, QString());
  qunsetenv("KARVELLO_RECORD");
}

}  // namespace
}  // namespace karvello::cli
