// A watch whose line goes away, run as a program: karvello-sim killed in the middle of the watch
// and started again at the same address (a pseudo-terminal behind a fixed symbolic link, a
// serial server on a fixed TCP port). The watch goes on, each round while the line is gone a
// failure with its reason, and reads again once the line is back, saying each loss and each
// return once; a single reading still ends.

#include <unistd.h>

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "record/record.h"
#include "support/cli_process.h"
#include "support/sim_process.h"
#include "support/tcp_servers.h"
#include "waiting_and_times.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using testing::FreePort;
using testing::SimProcess;

// A symbolic link pointed at each new pseudo-terminal in turn, as udev's by-id links are at an
// adapter plugged in again.
class StableLink {
 public:
  StableLink()
      : path_(std::filesystem::temp_directory_path() /
              ("karvello-watch-line-" + std::to_string(::getpid()))) {}
  ~StableLink() { Remove(); }
  // Points the link at `target` in one step: the watch never finds it half made.
  void PointAt(const std::string& target) {
    const std::filesystem::path next = path_.string() + ".next";
    std::filesystem::remove(next);
    std::filesystem::create_symlink(target, next);
    std::filesystem::rename(next, path_);
  }
  // Takes the link away, as udev does with the device: the pseudo-terminal's name is free for
  // the next one made, perhaps by a test running beside, which the watch must not open.
  void Remove() { std::filesystem::remove(path_); }
  std::string Path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// A letter for a line of the watch or a row of the record: A a reading of 220 V, L the line lost
// without a value, ? anything else.
char Letter(const std::string& result, const std::string& value, const std::string& unit) {
  if (result == "answered" && value == "220" && unit == "V") return 'A';
  if (result == "line-lost" && value.empty() && unit.empty()) return 'L';
  return '?';
}

// The letters of a watch's lines (--format json), a line each.
std::string Letters(const std::vector<QJsonObject>& printed) {
  std::string letters;
  for (const QJsonObject& object : printed) {
    const QJsonValue value = object["value"];
    letters += Letter(object["result"].toString().toStdString(),
                      value.isNull() ? "" : value.toVariant().toString().toStdString(),
                      object["unit"].toString().toStdString());
  }
  return letters;
}

// Waits until the watch has printed lines whose letters match `pattern`.
bool WaitForPrinted(Cli& watch, const std::regex& pattern, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (int lines = 1; std::chrono::steady_clock::now() < deadline; ++lines) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!watch.WaitForLines(lines, left)) return false;
    if (std::regex_match(Letters(watch.Objects()), pattern)) return true;
  }
  return false;
}

// The simulator killed after two readings and started again at the same address 2.5 s later,
// once or twice: the watch runs its rounds, those while the line is gone "line-lost" without a
// value, those after it is back read, and the record holds every round as printed. Standard
// error says each loss once, and each return once, in turn.
TEST(CliWatchLostLine, RidesOutTheLineGoingAndOpensItAgain) {
  StableLink link;
  const quint16 tcpPort = FreePort();
  ASSERT_NE(tcpPort, 0);
  struct Case {
    const char* name;
    QStringList sim;
    std::string line;                               // what the watch opens
    std::function<void(const SimProcess&)> served;  // the simulator up: its line reachable
    int losses;
  };
  const auto pointLink = [&link](const SimProcess& sim) { link.PointAt(sim.Path()); };
  const QStringList listen{"--listen", "127.0.0.1:" + QString::number(tcpPort)};
  const std::string server = "rtu+tcp://127.0.0.1:" + std::to_string(tcpPort);
  const Case cases[] = {
      {"pseudo-terminal behind a link", {}, link.Path(), pointLink, 1},
      {"serial server on a fixed port", listen, server, [](const SimProcess&) {}, 1},
      {"pseudo-terminal lost twice", {}, link.Path(), pointLink, 2},
      {"serial server lost twice", listen, server, [](const SimProcess&) {}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int rounds = 3 + 4 * c.losses;
    const QString record =
        QDir::temp().filePath(QStringLiteral("karvello-watch-lost-%1.csv").arg(::getpid()));
    QFile::remove(record);
    auto sim = std::make_unique<SimProcess>(c.sim);
    ASSERT_FALSE(sim->Path().empty()) << sim->Output().toStdString();
    c.served(*sim);
    Cli watch({"watch", "-a", "1", "--every", "1s", "--count", QString::number(rounds), "--format",
               "json", "-p", QString::fromStdString(c.line)},
              record);
    ASSERT_TRUE(watch.WaitForLines(2, 5s)) << watch.Out();
    std::string lostAndBack = "A{2,}";
    for (int loss = 0; loss < c.losses; ++loss) {
      if (loss > 0) {  // back since the loss before: a reading answered
        ASSERT_TRUE(WaitForPrinted(watch, std::regex(lostAndBack), 5s)) << watch.Out();
      }
      link.Remove();
      sim->Kill();
      std::this_thread::sleep_for(2500ms);
      sim = std::make_unique<SimProcess>(c.sim);
      ASSERT_FALSE(sim->Path().empty()) << sim->Output().toStdString();
      c.served(*sim);
      lostAndBack += "L+A+";
    }

    ASSERT_EQ(watch.Finish(15s), 0) << watch.Err();
    // Read, then gone, then read again: a line a round, in order of time.
    const std::string printed = Letters(watch.Objects());
    const std::vector<QDateTime> times = cli_test::Times(watch.Objects());
    EXPECT_EQ(printed.size(), std::size_t(rounds)) << watch.Out();
    EXPECT_TRUE(std::regex_match(printed, std::regex(lostAndBack))) << watch.Out();
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end(), std::greater_equal<>()), times.end());
    // Each loss said once as it begins, and once as it ends ("-" gone, "+" back). The line's own
    // message of its loss reads as the tool's, without Qt's category ("karvello.line: "): every
    // line of standard error is the tool's.
    std::string said;
    for (const QString& line :
         QString::fromStdString(watch.Err()).split('\n', Qt::SkipEmptyParts)) {
      EXPECT_TRUE(line.startsWith("karvello-cli: ")) << line.toStdString();
      if (line.toStdString() ==
          "karvello-cli: " + c.line + " lost; the watch goes on and opens it again when it is back")
        said += '-';
      if (line.toStdString() == "karvello-cli: " + c.line + " is back") said += '+';
    }
    std::string expected;
    for (int loss = 0; loss < c.losses; ++loss) expected += "-+";
    EXPECT_EQ(said, expected) << watch.Err();
    EXPECT_NE(watch.Err().find(" lost: "), std::string::npos) << watch.Err();
    // The record: a row a round, as printed.
    const auto rows = Record::Read(record, RecordQuery{}, nullptr);
    ASSERT_EQ(rows.size(), times.size());
    std::string recorded;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      recorded += Letter(std::string(ResultText(rows[r])), ValueText(rows[r]),
                         std::string(UnitText(rows[r])));
      EXPECT_EQ(rows[r].time, times[r]);
      EXPECT_EQ(rows[r].port, c.line);
    }
    EXPECT_EQ(recorded, printed);
    QFile::remove(record);
  }
}

// Only a watch rides it out: a resistance whose line goes during its 19 s ends at once, status 6.
TEST(CliWatchLostLine, ASingleReadingEndsWithTheLine) {
  SimProcess sim({});
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  Cli run({"resistance", "-a", "1", "-p", QString::fromStdString(sim.Path())});
  std::this_thread::sleep_for(1s);
  const auto killed = std::chrono::steady_clock::now();
  sim.Kill();
  EXPECT_EQ(run.Finish(5s), 6) << run.Err();
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 2s);
  EXPECT_EQ(run.Out(), "");
}

}  // namespace
}  // namespace karvello
