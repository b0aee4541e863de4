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

// "COMMAND has no option OPTION" with `note`, and where its help is.
std::string NoOption(const std::string& command, const std::string& option,
                     std::string_view note = {}) {
  return command + " has no option " + option + std::string(note) + " (see karvello-cli " +
         command + " --help)";
}

// A watch's words before `more`.
std::vector<std::string> Watch(std::vector<std::string> more) {
  more.insert(more.begin(), {"watch", "-a", "1", "--every", "1s"});
  return more;
}

std::string NotAFormat(const std::string& shown) {
  return "--format takes plain, csv or json, not \"" + shown + "\"";
}

// Each command line, and what is said of it (empty: taken). An option no command has is named,
// never its value; one that would set the serial line says that the line is 9600 8N1. A value
// that would switch a feature off, or that a message would show raw or whole: an empty value is
// refused, a refused value is shown escaped and cut after its first 64 bytes, and the word after
// an option no command has is never shown (it may be that option's secret).
TEST(CommandLineWords, ReadAsTheToolReadsThem) {
  const std::string x64(64, 'x');
  const struct {
    std::vector<std::string> arguments;
    std::string said;
  } cases[] = {
      {{"voltage", "-a1"}, NoOption("voltage", "-a1")},
      {{"voltage", "-a", "1", "-vh"}, NoOption("voltage", "-vh")},
      {{"-verbose", "voltage", "-a", "1"}, NoOption("voltage", "-verbose")},
      {{"voltage", "--", "-a", "1"}, NoOption("voltage", "--")},
      {{"voltage", "-a", "1", "--every", "1s"}, NoOption("voltage", "--every")},
      {{"voltage", "-a", "1", "--config", "/dev/null"}, NoOption("voltage", "--config")},
      {{"voltage", "-a"}, "-a needs a value"},
      {{"voltage", "-a", "1", "--verbose=1"}, "--verbose takes no value"},
      {{"-a", "1"}, "unknown option -a"},
      {{"frobnicate", "-a", "1"}, "unknown command \"frobnicate\" (see karvello-cli --help)"},
      {{"voltage", "extra", "--colour"}, "voltage: unexpected argument \"extra\""},
      {{"history", "-a", "-1"}, "-a takes a whole number from 1 to 255, not \"-1\""},
      {{"-p", "/dev/ttyUSB0", "--address=7", "voltage", "-v"}, ""},
      {{"--help", "--colour"}, ""},
      {{"--baud", "19200", "voltage", "-a", "1"},
       "unknown option --baud" + std::string(kSerialNote) + " (see karvello-cli --help)"},
      {{"--colour", "red", "voltage", "-a", "1"},
       "unknown option --colour (see karvello-cli --help)"},
      {{"voltage", "-a", "1", "--baud", "19200"}, NoOption("voltage", "--baud", kSerialNote)},
      {{"voltage", "-a", "1", "--parity=none"}, NoOption("voltage", "--parity", kSerialNote)},
      {{"--stop-bits", "1"},
       "unknown option --stop-bits" + std::string(kSerialNote) + " (see karvello-cli --help)"},
      {{"--stop-bits=1"}, "unknown option --stop-bits" + std::string(kSerialNote)},
      {{"history", "--operation", "alarm", "--record", "/var/lib/karvello/record.csv"}, ""},
      {{"history", "--record="}, "--record takes a value, not an empty one"},
      {{"history", "--operation", "alarms"},
       "--operation takes resistance, voltage or alarm, not \"alarms\""},
      {Watch({"--mqtt", ""}), "--mqtt takes a value, not an empty one"},
      {Watch({"--mqtt", "mqtt://h", "--site="}), "--site takes a value, not an empty one"},
      {Watch({"--mqtt", "mqtt://h", "--mqtt-topic="}),
       "--mqtt-topic takes a value, not an empty one"},
      {Watch({"--mqtt", "mqtts://h", "--mqtt-ca", ""}),
       "--mqtt-ca takes a value, not an empty one"},
      {Watch({"--config="}), "--config takes a value, not an empty one"},
      {{"voltage", "-a", "\x1B[2J\x07\x7F"},
       "-a takes a whole number from 1 to 255, not \"\\x1B[2J\\x07\\x7F\""},
      {{"voltage", "-a", "1\n2"}, "-a takes a whole number from 1 to 255, not \"1\\x0A2\""},
      // A C1 control (CSI) and a byte that is no UTF-8; Chinese text as it is.
      {{"--format", "\xC2\x9B变", "voltage", "-a", "1"}, NotAFormat("\\xC2\\x9B变")},
      {{"voltage", "-a", "1", "\xFF\x1B]0;x\x07"},
       "voltage: unexpected argument \"\\xFF\\x1B]0;x\\x07\""},
      {{"--format", x64, "voltage", "-a", "1"}, NotAFormat(x64)},
      {{"--format", x64 + "x", "voltage", "-a", "1"}, NotAFormat(x64) + "... (65 bytes)"},
      {{"--format", std::string(70000, 'x'), "voltage", "-a", "1"},
       NotAFormat(x64) + "... (70000 bytes)"},
      // The cut falls before a character that would not fit whole.
      {{"--format", std::string(62, 'x') + "变", "voltage", "-a", "1"},
       NotAFormat(std::string(62, 'x')) + "... (65 bytes)"},
      {Watch({"--mqtt-password", "hush"}), NoOption("watch", "--mqtt-password")},
      {Watch({"--mqtt-password=hush"}), NoOption("watch", "--mqtt-password")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    try {
      Parse(c.arguments);
      EXPECT_EQ(c.said, "") << "taken";
    } catch (const UsageError& error) {
      EXPECT_EQ(error.what(), c.said);
    }
  }
}

// The names a user reaches for to set the serial line, and names that are no such thing.
TEST(SerialSettingNote, OnlyForTheLinesSettings) {
  for (const char* option :
       {"--baud", "--baudrate", "--BAUD-RATE", "-b", "--speed", "--parity", "--stopbits",
        "--stop-bits", "--data_bits", "--databits", "--flow", "--8N1"}) {
    EXPECT_EQ(SerialSettingNote(option), kSerialNote) << option;
  }
  for (const char* option :
       {"--colour", "--verbose", "-x", "--bus", "--every", "--port", "-a1", "--", "--address"}) {
    EXPECT_EQ(SerialSettingNote(option), "") << option;
  }
}

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
