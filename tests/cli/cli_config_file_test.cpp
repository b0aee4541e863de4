// A watch's --config file as karvello-cli reads it among its other options: only a regular file
// of bounded size, refused at once otherwise; each refusal named by the file and the line and
// never showing a value; each option once; the command line's options over the file's.

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace karvello::cli {
namespace {

struct FileCase {
  const char* name;
  // The file's text; or, with `path`, no file is written and the path given as it is.
  std::string text;
  std::vector<std::string> before;  // on the command line before --config FILE
  std::vector<std::string> after;   // and after it
  std::string said;                 // "F" stands for the file's path; empty: taken
  std::function<void(const Invocation&)> check = {};
  const char* path = nullptr;
};

void PrintTo(const FileCase& c, std::ostream* out) {
  *out << c.name;
}

// 65536 bytes in all: the watch's options, then a comment that fills the file to `size`.
std::string FileOf(std::size_t size) {
  std::string text = "-a 1\n--every 5m\n#";
  text.append(size - text.size() - 1, 'x');
  return text + "\n";
}

std::string Replaced(std::string text, const std::string& path) {
  for (std::size_t at = text.find('F'); at != std::string::npos; at = text.find('F', at)) {
    // "F" alone stands for the path: at the start, or after a space or a parenthesis.
    const bool alone = (at == 0 || text[at - 1] == ' ' || text[at - 1] == '(') &&
                       (at + 1 < text.size() && text[at + 1] == ':');
    if (!alone) {
      ++at;
      continue;
    }
    text.replace(at, 1, path);
    at += path.size();
  }
  return text;
}

class ConfigFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(ConfigFile, IsReadAsTheWatchTakesIt) {
  const FileCase& c = GetParam();
  QTemporaryDir folder;
  std::string path =
      c.path ? c.path : folder.filePath(QStringLiteral("watch-site1.conf")).toStdString();
  if (c.text == "<fifo>") {
    ASSERT_EQ(QProcess::execute(QStringLiteral("mkfifo"), {QString::fromStdString(path)}), 0);
  } else if (c.text == "<folder>") {
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(path)));
  } else if (!c.path) {
    std::ofstream(path, std::ios::binary) << c.text;
  }
  std::vector<std::string> arguments = {"watch"};
  arguments.insert(arguments.end(), c.before.begin(), c.before.end());
  arguments.insert(arguments.end(), {"--config", path});
  arguments.insert(arguments.end(), c.after.begin(), c.after.end());
  try {
    const Invocation run = Parse(arguments);
    EXPECT_EQ(c.said, "") << "taken";
    if (c.check) c.check(run);
  } catch (const UsageError& error) {
    EXPECT_EQ(error.what(), Replaced(c.said, path));
    // No value of the file is ever shown.
    EXPECT_EQ(std::string(error.what()).find("hush"), std::string::npos);
  }
}

const auto Port = [](const char* expected) {
  return [expected](const Invocation& run) {
    ASSERT_TRUE(run.port);
    EXPECT_EQ(run.port->text, expected);
  };
};

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigFile,
    ::testing::Values(
        // What the file is: a regular file of at most 64 KiB, refused otherwise without waiting.
        FileCase{"fifo", "<fifo>", {}, {}, "cannot read F: it is a FIFO, not a regular file"},
        FileCase{"folder", "<folder>", {}, {}, "cannot read F: it is a folder"},
        FileCase{"device",
                 "",
                 {},
                 {},
                 "cannot read /dev/zero: it is a device, not a regular file",
                 {},
                 "/dev/zero"},
        FileCase{"65536 bytes", FileOf(65536), {}, {}, ""},
        FileCase{"65537 bytes",
                 FileOf(65537),
                 {},
                 {},
                 "cannot read F: it holds more than 65536 bytes, the most a configuration file "
                 "may"},
        // An option it does not know, named with its line, its value never shown.
        FileCase{"unknown option",
                 "-a 1\n--frobnicate hush\n",
                 {},
                 {},
                 "F:2: watch has no option --frobnicate"},
        FileCase{"password option",
                 "--mqtt-password hush\n",
                 {},
                 {},
                 "F:1: watch has no option --mqtt-password"},
        FileCase{"flag given a value", "--voltage hush\n", {}, {}, "F:1: --voltage takes no value"},
        FileCase{"value missing", "-a 1\n--every\n", {}, {}, "F:2: --every needs a value"},
        // A value the watch refuses is named by its line.
        FileCase{"refused value",
                 "-a 1\n\n--every 5x\n",
                 {},
                 {},
                 "F:3: --every takes a duration such as 500ms, 10s, 5m or 1h, not \"5x\""},
        FileCase{"empty value",
                 "-a 1\n--every 5m\n--mqtt mqtt://h\n--site=\n",
                 {},
                 {},
                 "F:4: --site takes a value, not an empty one"},
        FileCase{"comment after a value",
                 "-a 1\n--every 5m # hush\n",
                 {},
                 {},
                 "F:2: \"#\" after white space in the value: a comment stands on a line of its "
                 "own"},
        FileCase{"quoted value",
                 "-a 1\n--every 5m\n--mqtt mqtt://h\n--site \"hush\"\n",
                 {},
                 {},
                 "F:4: the value is in quotes: values are not quoted (the quotes would be part "
                 "of it)"},
        // Each option once in the file, the first named too.
        FileCase{"detectors twice",
                 "-a 1\n--every 5m\n-a 2\n",
                 {},
                 {},
                 "F:3: -a is given again (first at F:1): give each option once"},
        FileCase{"long and short",
                 "--address 1\n--every 5m\n-a 2\n",
                 {},
                 {},
                 "F:3: -a is given again (first at F:1): give each option once"},
        FileCase{"site twice",
                 "-a 1\n--every 5m\n--mqtt mqtt://h\n--site one\n--site two\n",
                 {},
                 {},
                 "F:5: --site is given again (first at F:4): give each option once"},
        // Nothing in the file ends the program at once.
        FileCase{"help",
                 "-a 1\n--help\n",
                 {},
                 {},
                 "F:2: --help cannot be given in a configuration file"},
        FileCase{"short help", "-h\n", {}, {}, "F:1: -h cannot be given in a configuration file"},
        FileCase{"version",
                 "--version\n",
                 {},
                 {},
                 "F:1: --version cannot be given in a configuration file"},
        // The command line's option holds wherever it stands.
        FileCase{"port before",
                 "-p /dev/ttyUSB1\n-a 1\n--every 5m\n",
                 {"-p", "/dev/ttyUSB0"},
                 {},
                 "",
                 Port("/dev/ttyUSB0")},
        FileCase{"port after",
                 "-p /dev/ttyUSB1\n-a 1\n--every 5m\n",
                 {},
                 {"--port", "/dev/ttyUSB0"},
                 "",
                 Port("/dev/ttyUSB0")},
        FileCase{"detectors before",
                 "-a 1,2\n--every 5m\n",
                 {"--address", "3"},
                 {},
                 "",
                 [](const Invocation& run) {
                   EXPECT_EQ(run.addresses, (std::vector<std::uint8_t>{3}));
                 }},
        FileCase{"file alone",
                 "-p /dev/ttyUSB1\n-a 1,2\n--every=5m\n",
                 {},
                 {},
                 "",
                 [](const Invocation& run) {
                   EXPECT_EQ(run.port->text, "/dev/ttyUSB1");
                   EXPECT_EQ(run.addresses, (std::vector<std::uint8_t>{1, 2}));
                   EXPECT_EQ(run.every, std::chrono::minutes(5));
                 }}));

}  // namespace
}  // namespace karvello::cli
