// The probe's bound on a port whose open blocks: a FIFO with no reader, named by the port map,
// blocks an open for writing until a reader comes, as a serial device waiting for its carrier or
// a Bluetooth port on Windows blocks its open.
#include "serial/port_probe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_map.h"
#include "sim/pty_pair.h"

namespace karvello {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Opens the device for writing (a FIFO without a reader blocks here) and closes it again;
// counts its calls.
struct WritingOpener {
  std::atomic<int>* calls;
  bool operator()(const std::string& path) const {
    ++*calls;
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }
};

class PortProbeBound : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    for (int i = 0; i < 2; ++i) MakeFifo();
  }
  // A further FIFO without a reader, at the end of fifos_.
  const std::string& MakeFifo() {
    const std::string path =
        dir_.filePath(QStringLiteral("blocking-%1").arg(fifos_.size())).toStdString();
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    fifos_.push_back(path);
    return fifos_.back();
  }
  // A reader for each FIFO: every open still blocked on them returns (and none blocks again).
  void TearDown() override {
    for (const auto& path : fifos_) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
      if (fd >= 0) readers_.push_back(fd);
    }
    std::this_thread::sleep_for(milliseconds(100));  // the blocked openers return and close
    for (int fd : readers_) ::close(fd);
  }
  static milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  }

  QTemporaryDir dir_;
  std::vector<std::string> fifos_;
  std::vector<int> readers_;
  std::atomic<int> calls_{0};
};

TEST_F(PortProbeBound, ABlockedPortIsLeftOutAfterTheBoundWhileTheOthersAnswer) {
  sim::PtyPair terminal;
  const FixedPortMap map({{1, terminal.SlavePath()},
                          {2, fifos_[0]},
                          {3, dir_.filePath(QStringLiteral("no-such-device")).toStdString()}});
  QtPortProbe probe(map, kProbeBound, WritingOpener{&calls_});
  const auto start = Clock::now();
  const std::vector<Probed> found = probe.TryAll({1, 2, 3, 4});
  const milliseconds waited = Since(start);
  EXPECT_EQ(found, (std::vector<Probed>{Probed::kOpens, Probed::kTimedOut, Probed::kDoesNotOpen,
                                        Probed::kDoesNotOpen}));
  EXPECT_EQ(calls_, 3);  // port 4 has no device: nothing to open
  // The bound is one second: waited out in full, and not much more.
  EXPECT_GE(waited, milliseconds(1000));
  EXPECT_LT(waited, milliseconds(1500));
}

TEST_F(PortProbeBound, AnOpenThatReturnsWithinTheBoundCounts) {
  // An open that takes 700 ms, as a slow adapter's may, is waited for: it opens.
  const FixedPortMap map({{1, "/slow"}});
  QtPortProbe probe(map, kProbeBound, [](const std::string&) {
    std::this_thread::sleep_for(milliseconds(700));
    return true;
  });
  EXPECT_TRUE(probe.Opens(1));
}

TEST_F(PortProbeBound, TwoBlockedPortsCostOneBoundAndAreNotTriedAgainWhileStillBlocked) {
  const FixedPortMap map({{2, fifos_[0]}, {5, fifos_[1]}});
  QtPortProbe probe(map, milliseconds(500), WritingOpener{&calls_});
  auto start = Clock::now();
  EXPECT_EQ(probe.TryAll({2, 5}), (std::vector<Probed>{Probed::kTimedOut, Probed::kTimedOut}));
  EXPECT_LT(Since(start), milliseconds(850));  // both waited for together, not one after the other
  EXPECT_EQ(calls_, 2);

  // Still blocked: answered at once, without another open piling up behind the first.
  start = Clock::now();
  EXPECT_EQ(probe.TryAll({2, 5}), (std::vector<Probed>{Probed::kTimedOut, Probed::kTimedOut}));
  EXPECT_LT(Since(start), milliseconds(100));
  EXPECT_EQ(calls_, 2);

  // The device behind port 2 gets a reader: its blocked open returns, and the port is tried
  // afresh and opens.
  const int reader = ::open(fifos_[0].c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  readers_.push_back(reader);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(probe.TryAll({2, 5}), (std::vector<Probed>{Probed::kOpens, Probed::kTimedOut}));
  EXPECT_EQ(calls_, 3);
}

TEST_F(PortProbeBound, SixteenOpensAtOnceAndAPortNoneReachesInTimeIsLate) {
  // 15 ports whose open blocks leave one thread free for the terminal; 16 leave none.
  sim::PtyPair terminal;
  for (const int blocked : {15, 16}) {
    FixedPortMap map;
    std::vector<int> numbers;
    for (int n = 1; n <= blocked; ++n) {
      map.Set(n, MakeFifo());
      numbers.push_back(n);
    }
    map.Set(blocked + 1, terminal.SlavePath());
    numbers.push_back(blocked + 1);
    QtPortProbe probe(map, milliseconds(300), WritingOpener{&calls_});
    const std::vector<Probed> found = probe.TryAll(numbers);
    EXPECT_EQ(found.back(), blocked == 15 ? Probed::kOpens : Probed::kTimedOut) << blocked;
    EXPECT_EQ(std::count(found.begin(), found.end(), Probed::kTimedOut), blocked == 15 ? 15 : 17)
        << blocked;
  }
}

}  // namespace
}  // namespace karvello
