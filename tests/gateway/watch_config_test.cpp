// A watch's options file as the service has it read: the arguments each text stands for, the
// lines refused with their number, and the example the package installs.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "gateway/watch_config.h"
#include "support/case_names.h"
#include "support/child_program.h"

namespace karvello::gateway {
namespace {

using Arguments = std::vector<std::string>;

// The entries as the words of a command line: each option, then its value when it has one.
Arguments Words(const std::vector<WatchConfigEntry>& entries) {
  Arguments words;
  for (const WatchConfigEntry& entry : entries) {
    words.push_back(entry.option);
    if (entry.value) words.push_back(*entry.value);
  }
  return words;
}

using test::Shown;

struct ReadCase {
  const char* text;
  Arguments arguments;
};

// A case of either table, by its text.
template <typename Case>
requires requires(const Case& c) {
  c.text;
}
void PrintTo(const Case& c, std::ostream* out) {
  *out << Shown(c.text);
}

class WatchConfigRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(WatchConfigRead, GivesTheArguments) {
  EXPECT_EQ(Words(ReadWatchConfig(GetParam().text, "watch-site1.conf")), GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WatchConfigRead,
    ::testing::Values(
        ReadCase{"", {}}, ReadCase{"\n\n  \t\n", {}}, ReadCase{"# only a comment\n", {}},
        ReadCase{"--resistance", {"--resistance"}},
        ReadCase{"-a 1,2\n--every 5m\n", {"-a", "1,2", "--every", "5m"}},
        // White space around the line and between option and value goes; within the value, stays.
        ReadCase{"  --port \t /dev/serial/by-id/usb-My Adapter  \n",
                 {"--port", "/dev/serial/by-id/usb-My Adapter"}},
        ReadCase{"--every=5m\n", {"--every", "5m"}},
        ReadCase{"--site=north plant\n", {"--site", "north plant"}},
        ReadCase{"--site=\n", {"--site", ""}}, ReadCase{"--site= \t north \n", {"--site", "north"}},
        // "#" begins a comment only at the start of a line.
        ReadCase{"  # -a 3\n--mqtt mqtt://gw:p#ss@h\n", {"--mqtt", "mqtt://gw:p#ss@h"}},
        ReadCase{"\xEF\xBB\xBF-a 1\r\n--voltage\r\n", {"-a", "1", "--voltage"}},
        ReadCase{"--site 变电站\n", {"--site", "变电站"}},
        ReadCase{"--count 3\n--count 4", {"--count", "3", "--count", "4"}}));

struct RefusedCase {
  const char* text;
  int line;
  const char* said;
};

class WatchConfigRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(WatchConfigRefused, NamesTheLine) {
  try {
    ReadWatchConfig(GetParam().text, "watch-site1.conf");
    FAIL() << "taken: " << GetParam().text;
  } catch (const WatchConfigError& error) {
    EXPECT_EQ(error.line, GetParam().line);
    const std::string message = error.what();
    EXPECT_TRUE(message.starts_with("watch-site1.conf:" + std::to_string(GetParam().line) + ": "))
        << message;
    EXPECT_NE(message.find(GetParam().said), std::string::npos) << message;
    // The line itself is not repeated: it may hold a password.
    EXPECT_EQ(message.find("hush"), std::string::npos) << message;
  }
}

// Each refusal with the line it names and what it says.
const char* const kNoOption = "does not begin with an option";

const RefusedCase kRefused[] = {
    {"every 5m hush", 1, kNoOption},
    {"-a 1\n\n# fine\nmqtt://gw:hush@h\n", 4, kNoOption},
    {"-a 1\nwatch\n", 2, kNoOption},
    {"- hush\n", 1, kNoOption},
    {"-- hush\n", 1, kNoOption},
    // A value run into the option is never shown back as an unknown option's name.
    {"-p=hush\n", 1, kNoOption},
    {"--mqtt-password:hush x\n", 1, kNoOption},
    {"-ahush\n", 1, kNoOption},
    {"-a 1\r\n--config /etc/karvello/other.conf\r\n", 2, "--config cannot"},
    {"--config=x\n", 1, "--config cannot"},
    {"-a 1\n--mqtt mqtt://gw:hu\x01sh@h\n", 2, "control character"},
    {"--site hush\xC3\x28\n", 1, "not UTF-8"},
    {"--site \xED\xA0\x80hush\n", 1, "not UTF-8"},
    {"# a comment with a stray byte \xFF\n", 1, "not UTF-8"},
};

INSTANTIATE_TEST_SUITE_P(Texts, WatchConfigRefused, ::testing::ValuesIn(kRefused));

TEST(WatchConfigFile, MissingFileIsRefusedAsAWhole) {
  try {
    ReadWatchConfigFile("/nonexistent/watch-site1.conf");
    FAIL();
  } catch (const WatchConfigError& error) {
    EXPECT_EQ(error.line, 0);
    EXPECT_EQ(std::string(error.what()),
              "cannot read /nonexistent/watch-site1.conf: No such file or directory");
  }
}

std::string Text(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The service starts the watch on /etc/karvello/watch-NAME.conf; the example installed beside
// it reads as a whole watch's options.
TEST(WatchService, ReadsTheExampleAsTheUnitGivesIt) {
  const std::string unit = Text(KARVELLO_SYSTEMD_DIR "/karvello-watch@.service");
  std::smatch exec;
  ASSERT_TRUE(std::regex_search(unit, exec, std::regex("\nExecStart=([^\n]*)\n")));
  EXPECT_EQ(exec[1], "/usr/bin/karvello-cli watch --config /etc/karvello/watch-%i.conf");
  EXPECT_EQ(Words(ReadWatchConfigFile(KARVELLO_SYSTEMD_DIR "/watch-example.conf")),
            (Arguments{"--port", "/dev/ttyUSB0", "-a", "1,2", "--every", "5m", "--voltage",
                       "--resistance", "--mqtt", "mqtt://gateway@broker.example.org", "--http",
                       "127.0.0.1:8080"}));
}

// systemd's own check of the unit, with the watch's program where the package installs it:
// nothing it would warn of, no key it does not know.
TEST(WatchService, SystemdFindsNothingWrongInTheUnit) {
  const std::string analyze = SYSTEMD_ANALYZE_EXECUTABLE;
  if (analyze.empty()) GTEST_SKIP() << "no systemd-analyze on this system";
  QTemporaryDir folder;
  std::string unit = Text(KARVELLO_SYSTEMD_DIR "/karvello-watch@.service");
  const std::string installed = "/usr/bin/karvello-cli";
  ASSERT_NE(unit.find(installed), std::string::npos);
  unit.replace(unit.find(installed), installed.size(), KARVELLO_CLI_EXECUTABLE);
  const QString path = folder.filePath(QStringLiteral("karvello-watch@.service"));
  std::ofstream(path.toStdString()) << unit;
  // The manual page is checked by the package's own checks, once it is installed.
  testing::ChildProgram verify(QString::fromStdString(analyze), {"verify", "--man=no", path},
                               testing::ChildProgram::Options().MergeErrors());
  EXPECT_EQ(verify.Finish(std::chrono::seconds(30)), 0);
  EXPECT_EQ(verify.Out().toStdString(), "");
}

}  // namespace
}  // namespace karvello::gateway
