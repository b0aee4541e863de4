// The words of karvello-cli's command line as Parse reads them: Qt's parser takes each command's
// options, and none of its own ways (compacted short options, "--", single-dash long names)
// shows through.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_options.h"
#include "cli/cli_rules.h"

namespace karvello::cli {
namespace {

// What an option that would set the serial line adds to its message.
constexpr std::string_view kSerialNote =
    "; the line is always Modbus RTU at 9600 baud, 8 data bits, no parity, 1 stop bit (9600 8N1), "
    "as the detectors talk";

struct WordsCase {
  std::vector<std::string> arguments;
  std::string said;  // empty: taken
};

class CommandLineWords : public ::testing::TestWithParam<WordsCase> {};

TEST_P(CommandLineWords, ReadAsTheToolReadsThem) {
  const WordsCase& c = GetParam();
  try {
    Parse(c.arguments);
    EXPECT_EQ(c.said, "") << "taken";
  } catch (const UsageError& error) {
    EXPECT_EQ(error.what(), c.said);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, CommandLineWords,
    ::testing::Values(
        WordsCase{{"voltage", "-a1"},
                  "voltage has no option -a1 (see karvello-cli voltage --help)"},
        WordsCase{{"voltage", "-a", "1", "-vh"},
                  "voltage has no option -vh (see karvello-cli voltage --help)"},
        WordsCase{{"-verbose", "voltage", "-a", "1"},
                  "voltage has no option -verbose (see karvello-cli voltage --help)"},
        WordsCase{{"voltage", "--", "-a", "1"},
                  "voltage has no option -- (see karvello-cli voltage --help)"},
        WordsCase{{"voltage", "-a", "1", "--every", "1s"},
                  "voltage has no option --every (see karvello-cli voltage --help)"},
        WordsCase{{"voltage", "-a", "1", "--config", "/dev/null"},
                  "voltage has no option --config (see karvello-cli voltage --help)"},
        WordsCase{{"voltage", "-a"}, "-a needs a value"},
        WordsCase{{"voltage", "-a", "1", "--verbose=1"}, "--verbose takes no value"},
        WordsCase{{"-a", "1"}, "unknown option -a"},
        WordsCase{{"frobnicate", "-a", "1"},
                  "unknown command \"frobnicate\" (see karvello-cli --help)"},
        WordsCase{{"voltage", "extra", "--colour"}, "voltage: unexpected argument \"extra\""},
        WordsCase{{"history", "-a", "-1"}, "-a takes a whole number from 1 to 255, not \"-1\""},
        WordsCase{{"-p", "/dev/ttyUSB0", "--address=7", "voltage", "-v"}, ""},
        WordsCase{{"--help", "--colour"}, ""},
        // An option no command has is named, never its value; one that would set the serial
        // line says that the line is 9600 8N1.
        WordsCase{{"--baud", "19200", "voltage", "-a", "1"},
                  "unknown option --baud" + std::string(kSerialNote) + " (see karvello-cli --help)"},
        WordsCase{{"--colour", "red", "voltage", "-a", "1"},
                  "unknown option --colour (see karvello-cli --help)"},
        WordsCase{{"voltage", "-a", "1", "--baud", "19200"},
                  "voltage has no option --baud" + std::string(kSerialNote) +
                      " (see karvello-cli voltage --help)"},
        WordsCase{{"voltage", "-a", "1", "--parity=none"},
                  "voltage has no option --parity" + std::string(kSerialNote) +
                      " (see karvello-cli voltage --help)"},
        WordsCase{{"--stop-bits", "1"},
                  "unknown option --stop-bits" + std::string(kSerialNote) +
                      " (see karvello-cli --help)"},
        WordsCase{{"--stop-bits=1"}, "unknown option --stop-bits" + std::string(kSerialNote)},
        WordsCase{{"history", "--operation", "alarm", "--record", "/var/lib/karvello/record.csv"},
                  ""},
        WordsCase{{"history", "--record="}, "--record takes a value, not an empty one"},
        WordsCase{{"history", "--operation", "alarms"},
                  "--operation takes resistance, voltage or alarm, not \"alarms\""}));

// The names a user reaches for to set the serial line, and names that are no such thing.
TEST(SerialSettingNote, OnlyForTheLinesSettings) {
  for (const char* option : {"--baud", "--baudrate", "--BAUD-RATE", "-b", "--speed", "--parity",
                             "--stopbits", "--stop-bits", "--data_bits", "--databits", "--flow",
                             "--8N1"}) {
    EXPECT_EQ(SerialSettingNote(option), kSerialNote) << option;
  }
  for (const char* option : {"--colour", "--verbose", "-x", "--bus", "--every", "--port", "-a1",
                             "--", "--address"}) {
    EXPECT_EQ(SerialSettingNote(option), "") << option;
  }
}

// Values that would switch a feature off, or that a message would show raw or whole: an empty
// value is refused, a refused value is shown escaped and cut after its first 64 bytes, and the
// word after an option no command has is never shown (it may be that option's secret).
INSTANTIATE_TEST_SUITE_P(
    Values, CommandLineWords,
    ::testing::Values(
        WordsCase{{"watch", "-a", "1", "--every", "1s", "--mqtt", ""},
                  "--mqtt takes a value, not an empty one"},
        WordsCase{{"watch", "-a", "1", "--every", "1s", "--mqtt", "mqtt://h", "--site="},
                  "--site takes a value, not an empty one"},
        WordsCase{{"watch", "-a", "1", "--every", "1s", "--mqtt", "mqtt://h", "--mqtt-topic="},
                  "--mqtt-topic takes a value, not an empty one"},
        WordsCase{{"watch", "-a", "1", "--every", "1s", "--mqtt", "mqtts://h", "--mqtt-ca", ""},
                  "--mqtt-ca takes a value, not an empty one"},
        WordsCase{{"watch", "-a", "1", "--every", "1s", "--config="},
                  "--config takes a value, not an empty one"},
        WordsCase{{"voltage", "-a", "\x1B[2J\x07\x7F"},
                  "-a takes a whole number from 1 to 255, not \"\\x1B[2J\\x07\\x7F\""},
        WordsCase{{"voltage", "-a", "1\n2"},
                  "-a takes a whole number from 1 to 255, not \"1\\x0A2\""},
        // A C1 control (CSI) and a byte that is no UTF-8; Chinese text as it is.
        WordsCase{{"--format", "\xC2\x9B变", "voltage", "-a", "1"},
                  "--format takes plain, csv or json, not \"\\xC2\\x9B变\""},
        WordsCase{{"voltage", "-a", "1", "\xFF\x1B]0;x\x07"},
                  "voltage: unexpected argument \"\\xFF\\x1B]0;x\\x07\""},
        WordsCase{{"--format", std::string(64, 'x'), "voltage", "-a", "1"},
                  "--format takes plain, csv or json, not \"" + std::string(64, 'x') + "\""},
        WordsCase{{"--format", std::string(65, 'x'), "voltage", "-a", "1"},
                  "--format takes plain, csv or json, not \"" + std::string(64, 'x') +
                      "\"... (65 bytes)"},
        WordsCase{{"--format", std::string(70000, 'x'), "voltage", "-a", "1"},
                  "--format takes plain, csv or json, not \"" + std::string(64, 'x') +
                      "\"... (70000 bytes)"},
        // The cut falls before a character that would not fit whole.
        WordsCase{{"--format", std::string(62, 'x') + "变", "voltage", "-a", "1"},
                  "--format takes plain, csv or json, not \"" + std::string(62, 'x') +
                      "\"... (65 bytes)"},
        WordsCase{{"watch", "-a", "1", "--every", "1s", "--mqtt-password", "hush"},
                  "watch has no option --mqtt-password (see karvello-cli watch --help)"},
        WordsCase{{"watch", "-a", "1", "--every", "1s", "--mqtt-password=hush"},
                  "watch has no option --mqtt-password (see karvello-cli watch --help)"}));

// Given twice, an option's last value holds; a list option adds up; a value may begin with "-".
TEST(CommandLineWords, RepeatedOptionsAndDashedValues) {
  const Invocation run = Parse({"history", "-a", "1", "--address", "2,3", "--operation", "voltage",
                                "--operation=resistance", "--format", "csv", "--format=json"});
  EXPECT_EQ(run.addresses, (std::vector<std::uint8_t>{2, 3}));
  ASSERT_GE(run.operations.size(), 2U);
  EXPECT_EQ(run.operations.front(), Operation::kQueryVoltage);
  EXPECT_EQ(AnswerForm(run.operations.back()).name, "resistance");
  EXPECT_EQ(run.format, Format::kJson);
  const Invocation watch = Parse({"watch", "-a", "1", "--every", "1s", "--mqtt", "mqtt://h",
                                  "--site", "-x", "--mqtt-topic=a=b"});
  EXPECT_EQ(watch.site, "-x");
  EXPECT_EQ(watch.mqttTopic, "a=b");
  EXPECT_EQ(Parse({"watch", "--help", "--colour"}).command, Command::kWatch);
}

// The help's column: a name shorter than it is padded to it, one that fills it is followed by two
// spaces, a longer one has its text on the next line; further lines of a text are indented to it.
TEST(CommandHelp, LinesUpItsTextsAtTheColumn) {
  const struct {
    Command command;
    const char* line;
  } cases[] = {
      {Command::kWatch, "\n  --alarm-above OHMS raise an alarm after N resistances"},
      {Command::kWatch, "\n  --mqtt-topic PREFIX  the topics' prefix (default: karvello/SITE)\n"},
      {Command::kWatch, "\n  -a ADDR,...        the detectors' addresses, 1 to 255\n"},
      {Command::kScan,
       "\n  --wait MS    the wait for each reply in milliseconds, 20 to 1300 (100)\n"},
      {Command::kNone, "\n  --connect-timeout MS   a network line"},
      {Command::kNone, "\n  --reply-timeout MS     the wait for each reply, 100 to 10000 (1300)"},
      {Command::kNone, "\n  --pause-after-connect MS\n                         a network line"},
      {Command::kNone, "\n  scan [--from N] [--to M] [--wait MS]\n                         find"},
      {Command::kNone, "\n  -h, --help             this help\n"},
      {Command::kNone, "(on Windows\n                         up to COM256)"},
  };
  for (const auto& c : cases) {
    EXPECT_NE(HelpText(c.command).find(c.line), std::string::npos) << c.line;
  }
  EXPECT_EQ(
      HelpText(Command::kVoltage),
      "Usage: karvello-cli voltage -a ADDR [OPTIONS]\n"
      "Reads the voltage of the detector at ADDR (1 to 255). Prints it in volts (\"220 V\").\n");
}

}  // namespace
}  // namespace karvello::cli
