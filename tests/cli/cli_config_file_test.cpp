// A watch's --config file as karvello-cli reads it among its other options: only a regular file
// of bounded size, refused at once otherwise; each refusal named by the file and the line and
// never showing a value; each option once; the command line's options over the file's.

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace karvello::cli {
namespace {

// 65536 bytes in all: the watch's options, then a comment that fills the file to `size`.
std::string FileOf(std::size_t size) {
  std::string text = "-a 1\n--every 5m\n#";
  text.append(size - text.size() - 1, 'x');
  return text + "\n";
}

// What watch makes of `before`, --config FILE with `text` in it (or a FIFO, a folder or a
// device in its place), and `after`: the options taken, or the refusal with the file's path as F.
struct Read {
  std::optional<Invocation> taken;
  std::string said;
};

Read ReadWith(const std::string& text, const std::vector<std::string>& before = {},
              const std::vector<std::string>& after = {}) {
  QTemporaryDir folder;
  std::string path = folder.filePath(QStringLiteral("watch-site1.conf")).toStdString();
  if (text == "<fifo>") {
    EXPECT_EQ(QProcess::execute(QStringLiteral("mkfifo"), {QString::fromStdString(path)}), 0);
  } else if (text == "<folder>") {
    EXPECT_TRUE(QDir().mkdir(QString::fromStdString(path)));
  } else if (text == "<device>") {
    path = "/dev/zero";
  } else {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::vector<std::string> arguments = {"watch"};
  arguments.insert(arguments.end(), before.begin(), before.end());
  arguments.insert(arguments.end(), {"--config", path});
  arguments.insert(arguments.end(), after.begin(), after.end());
  try {
    return {Parse(arguments), ""};
  } catch (const UsageError& error) {
    std::string said = error.what();
    for (auto at = said.find(path); at != std::string::npos; at = said.find(path, at)) {
      said.replace(at, path.size(), "F");
    }
    return {std::nullopt, said};
  }
}

// Each file refused, and why: what the file is (a regular file of at most 64 KiB, refused
// otherwise without waiting), an option it cannot hold, a value refused, an option given twice.
// The file and the line are named, a value of the file never shown.
TEST(ConfigFile, IsRefusedNamingTheFileAndTheLine) {
  const struct {
    const char* text;
    const char* said;
  } cases[] = {
      {"<fifo>", "cannot read F: it is a FIFO, not a regular file"},
      {"<folder>", "cannot read F: it is a folder"},
      {"<device>", "cannot read F: it is a device, not a regular file"},
      {"-a 1\n--frobnicate hush\n", "F:2: watch has no option --frobnicate"},
      {"--mqtt-password hush\n", "F:1: watch has no option --mqtt-password"},
      {"--voltage hush\n", "F:1: --voltage takes no value"},
      {"-a 1\n--every\n", "F:2: --every needs a value"},
      {"-a 1\n\n--every 5x\n",
       "F:3: --every takes a duration such as 500ms, 10s, 5m or 1h, not \"5x\""},
      {"-a 1\n--every 5m\n--mqtt mqtt://h\n--site=\n",
       "F:4: --site takes a value, not an empty one"},
      {"-a 1\n--every 5m # hush\n",
       "F:2: \"#\" after white space in the value: a comment stands on a line of its own"},
      {"-a 1\n--every 5m\n--mqtt mqtt://h\n--site \"hush\"\n",
       "F:4: the value is in quotes: values are not quoted (the quotes would be part of it)"},
      {"-a 1\n--every 5m\n-a 2\n", "F:3: -a is given again (first at F:1): give each option once"},
      {"--address 1\n--every 5m\n-a 2\n",
       "F:3: -a is given again (first at F:1): give each option once"},
      {"-a 1\n--every 5m\n--mqtt mqtt://h\n--site one\n--site two\n",
       "F:5: --site is given again (first at F:4): give each option once"},
      // Nothing in the file ends the program at once.
      {"-a 1\n--help\n", "F:2: --help cannot be given in a configuration file"},
      {"-h\n", "F:1: -h cannot be given in a configuration file"},
      {"--version\n", "F:1: --version cannot be given in a configuration file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ReadWith(c.text).said, c.said);
  }
  EXPECT_EQ(ReadWith(FileOf(65536)).said, "");
  EXPECT_EQ(ReadWith(FileOf(65537)).said,
            "cannot read F: it holds more than 65536 bytes, the most a configuration file may");
}

// The command line's option holds wherever it stands; the file's hold where it gives none.
TEST(ConfigFile, TheCommandLineOverTheFile) {
  const struct {
    std::vector<std::string> before;
    std::vector<std::string> after;
    const char* port;
    std::vector<std::uint8_t> addresses;
  } cases[] = {
      {{}, {}, "/dev/ttyUSB1", {1, 2}},
      {{"-p", "/dev/ttyUSB0"}, {}, "/dev/ttyUSB0", {1, 2}},
      {{}, {"--port", "/dev/ttyUSB0"}, "/dev/ttyUSB0", {1, 2}},
      {{"--address", "3"}, {}, "/dev/ttyUSB1", {3}},
  };
  for (const auto& c : cases) {
    const Read read = ReadWith("-p /dev/ttyUSB1\n-a 1,2\n--every=5m\n", c.before, c.after);
    ASSERT_TRUE(read.taken) << read.said;
    ASSERT_TRUE(read.taken->port);
    EXPECT_EQ(read.taken->port->text, c.port);
    EXPECT_EQ(read.taken->addresses, c.addresses);
    EXPECT_EQ(read.taken->every, std::chrono::minutes(5));
  }
}

}  // namespace
}  // namespace karvello::cli
