// A watch whose line goes away, run as a program: karvello-sim killed in the middle of the watch
// and started again at the same address (a pseudo-terminal behind a fixed symbolic link, a
// serial server on a fixed TCP port). The watch goes on, each round while the line is gone a
// failure with its reason, and reads again once the line is back; a single reading still ends.

#include <unistd.h>

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/sim_process.h"
#include "cli/cli_process.h"
#include "record/record.h"
#include "support/tcp_servers.h"

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
  ~StableLink() { std::filesystem::remove(path_); }
  // Points the link at `target` in one step: the watch never finds it half made.
  void PointAt(const std::string& target) {
    const std::filesystem::path next = path_.string() + ".next";
    std::filesystem::remove(next);
    std::filesystem::create_symlink(target, next);
    std::filesystem::rename(next, path_);
  }
  std::string Path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// The watch's JSON lines, their result and value, in order.
struct Round {
  QDateTime time;
  std::string result;
  QJsonValue value;
  std::string unit;
};
std::vector<Round> RoundsOf(const std::string& out) {
  std::vector<Round> rounds;
  for (const QString& line : QString::fromStdString(out).split('\n', Qt::SkipEmptyParts)) {
    const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
    rounds.push_back({QDateTime::fromString(object["time"].toString(), Qt::ISODateWithMs),
                      object["result"].toString().toStdString(), object["value"],
                      object["unit"].toString().toStdString()});
  }
  return rounds;
}

// The simulator killed after two readings and started again at the same address 2.5 s later:
// the watch runs its seven rounds, those while the line is gone "line-lost" without a value,
// those after it is back read, and the record holds every round as printed.
TEST(CliWatchLostLine, RidesOutTheLineGoingAndOpensItAgain) {
  StableLink link;
  const quint16 tcpPort = FreePort();
  ASSERT_NE(tcpPort, 0);
  struct Case {
    const char* name;
    QStringList sim;
    std::string line;                               // what the watch opens
    std::function<void(const SimProcess&)> served;  // the simulator up: its line reachable
  };
  const Case cases[] = {
      {"pseudo-terminal behind a link",
       {},
       link.Path(),
       [&link](const SimProcess& sim) { link.PointAt(sim.Path()); }},
      {"serial server on a fixed port",
       {"--listen", "127.0.0.1:" + QString::number(tcpPort)},
       "rtu+tcp://127.0.0.1:" + std::to_string(tcpPort),
       [](const SimProcess&) {}},
  };
  constexpr int kRounds = 7;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString record =
        QDir::temp().filePath(QStringLiteral("karvello-watch-lost-%1.csv").arg(::getpid()));
    QFile::remove(record);
    auto sim = std::make_unique<SimProcess>(c.sim);
    ASSERT_FALSE(sim->Path().empty()) << sim->Output().toStdString();
    c.served(*sim);
    Cli watch({"watch", "-a", "1", "--every", "1s", "--count", QString::number(kRounds), "--format",
               "json", "-p", QString::fromStdString(c.line)},
              record);
    ASSERT_TRUE(watch.WaitForLines(2, 5s)) << watch.Out();
    sim->Kill();
    std::this_thread::sleep_for(2500ms);
    sim = std::make_unique<SimProcess>(c.sim);
    ASSERT_FALSE(sim->Path().empty()) << sim->Output().toStdString();
    c.served(*sim);

    ASSERT_EQ(watch.Finish(15s), 0) << watch.Err();
    const std::vector<Round> rounds = RoundsOf(watch.Out());
    ASSERT_EQ(rounds.size(), std::size_t{kRounds}) << watch.Out();
    // Read, then gone, then read again: each round one line, in order of time.
    std::size_t i = 0;
    for (; i < rounds.size() && rounds[i].result == "answered"; ++i) {
      EXPECT_EQ(rounds[i].value.toInt(), 220);
    }
    const std::size_t lostFrom = i;
    for (; i < rounds.size() && rounds[i].result == "line-lost"; ++i) {
      EXPECT_TRUE(rounds[i].value.isNull()) << watch.Out();
      EXPECT_EQ(rounds[i].unit, "");
    }
    const std::size_t backFrom = i;
    for (; i < rounds.size() && rounds[i].result == "answered"; ++i) {
      EXPECT_EQ(rounds[i].value.toInt(), 220);
    }
    EXPECT_EQ(i, rounds.size()) << watch.Out();
    EXPECT_GE(lostFrom, 2U) << watch.Out();
    EXPECT_GE(backFrom - lostFrom, 2U) << watch.Out();
    EXPECT_GE(rounds.size() - backFrom, 2U) << watch.Out();
    EXPECT_TRUE(QString::fromStdString(watch.Err()).contains("is back")) << watch.Err();

    const auto rows = Record::Read(record, RecordQuery{}, nullptr);
    ASSERT_EQ(rows.size(), rounds.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      SCOPED_TRACE(r);
      EXPECT_EQ(rows[r].time, rounds[r].time);
      EXPECT_EQ(rows[r].result, rounds[r].result);
      EXPECT_EQ(rows[r].port, c.line);
      EXPECT_EQ(rows[r].value.empty(), rounds[r].result == "line-lost");
      if (r > 0) {
        EXPECT_LT(rows[r - 1].time, rows[r].time);
      }
    }
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
