// karvello-bench-start: the tool's start and its idle state.
//
//   karvello-bench-start [--reps N] [--idle SECONDS] [--help]
//
// - cold start: from just before a new process is spawned to the window shown and painted
//   (QT_QPA_PLATFORM=offscreen): the process is this program run again with --child, which
//   builds the window exactly as the tool's main does (the system's ports, the real serial
//   line, MainWindow, show) and reports the time of its first paint on the same monotonic clock;
// - probe: the window's listing of the ports 1 to 16 (PortListModel::Probe with QtPortProbe, no
//   port in use), on the system's ports and on 16 pseudo-terminals that all open;
// - idle: with the window up, its port open on a simulated detector and no operation pending,
//   the timer events delivered per second (counted by a filter on the application), the engine's
//   deadlines (a delay and a time-out for each operation) that run, and the resident memory.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/stats.h"
#include "serial/port_map.h"
#include "serial/port_probe.h"
#include "serial/qt_serial_line.h"
#include "sim/pty_pair.h"
#include "sim/simulated_detector.h"
#include "support/resident_memory.h"
#include "ui/main_window.h"
#include "ui/port_list.h"

extern char** environ;

namespace karvello::bench {
namespace {

using Clock = std::chrono::steady_clock;
using testing::ResidentKiB;

long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Marks the end of the window's first paint.
class FirstPaint : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && !painted) {
      painted = true;
      QTimer::singleShot(0, [] {
        std::printf("shown %lld\n", NowNs());
        std::fflush(stdout);
        QCoreApplication::quit();
      });
    }
    return false;
  }
  bool painted = false;
};

// The tool's start, as its main has it, up to the first paint of the window.
int Child(int argc, char** argv) {
  std::printf("main %lld\n", NowNs());
  QApplication app(argc, argv);
  SystemPortMap ports;
  QtSerialLine line(ports);
  MainWindow form(line, ports);
  FirstPaint paint;
  form.installEventFilter(&paint);
  form.show();
  return QApplication::exec();
}

void ColdStart(const char* self, int reps) {
  std::vector<double> toMain, toShown;
  for (int i = 0; i < reps + 1; ++i) {
    int out[2];
    if (pipe(out) != 0) std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char arg0[] = "karvello-bench-start";
    char arg1[] = "--child";
    char* args[] = {arg0, arg1, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const long long spawned = NowNs();
    pid_t pid = 0;
    if (posix_spawn(&pid, self, &actions, nullptr, args, environ) != 0) std::exit(1);
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n = 0;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    long long mainAt = 0, shownAt = 0;
    if (std::sscanf(text.c_str(), "main %lld\nshown %lld", &mainAt, &shownAt) != 2) {
      std::fprintf(stderr, "the child reported: %s\n", text.c_str());
      std::exit(1);
    }
    if (i == 0) continue;  // the first run fills the page cache
    toMain.push_back(double(mainAt - spawned) / 1e6);
    toShown.push_back(double(shownAt - spawned) / 1e6);
  }
  PrintSummary("cold start: spawn -> main()", toMain, "ms");
  PrintSummary("cold start: spawn -> window painted", toShown, "ms");
}

void Probe(int reps) {
  std::vector<double> mapOnly, probeSystem, probePty;
  for (int i = 0; i < reps; ++i) {
    auto start = Clock::now();
    const SystemPortMap ports;
    mapOnly.push_back(Ms(Clock::now() - start));
    QtPortProbe probe(ports);
    PortListModel list;
    start = Clock::now();
    list.Probe(ports, probe, 0);
    probeSystem.push_back(Ms(Clock::now() - start));
  }
  std::vector<std::unique_ptr<sim::PtyPair>> lines;
  FixedPortMap ptys;
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    lines.push_back(std::make_unique<sim::PtyPair>());
    ptys.Set(n, lines.back()->SlavePath());
  }
  for (int i = 0; i < reps; ++i) {
    QtPortProbe probe(ptys);
    PortListModel list;
    const auto start = Clock::now();
    list.Probe(ptys, probe, 0);
    probePty.push_back(Ms(Clock::now() - start));
    if (list.Entries().size() != 16) std::exit(1);
  }
  const SystemPortMap system;
  int known = 0;
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) known += system.DevicePath(n) ? 1 : 0;
  std::printf("system ports numbered here: %d\n", known);
  PrintSummary("port numbering (SystemPortMap)", mapOnly, "ms");
  PrintSummary("probe 1..16 on the system's ports", probeSystem, "ms");
  PrintSummary("probe 1..16, all 16 pseudo-terminals open", probePty, "ms");
}

// Counts the timer events the application delivers.
class TimerCount : public QObject {
 public:
  bool eventFilter(QObject* receiver, QEvent* event) override {
    if (event->type() == QEvent::Timer || event->type() == QEvent::ZeroTimerEvent) {
      ++count;
      ++byClass[receiver->metaObject()->className()];
    }
    return false;
  }
  long count = 0;
  std::map<std::string, long> byClass;
};

void Idle(int seconds) {
  sim::SimulatedDetector detector({.address = 1});
  FixedPortMap ports({{1, detector.SlavePath()}});
  QtSerialLine line(ports);
  MainWindow form(line, ports);
  form.show();
  QTimer settle;  // let the window come up before counting
  settle.setSingleShot(true);
  settle.start(500);
  while (settle.isActive()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const long rss = ResidentKiB();
  TimerCount timers;
  qApp->installEventFilter(&timers);
  const auto start = Clock::now();
  QTimer end;
  end.setSingleShot(true);
  QObject::connect(&end, &QTimer::timeout, [] { QCoreApplication::quit(); });
  end.start(seconds * 1000);
  QApplication::exec();
  qApp->removeEventFilter(&timers);
  const double took = Ms(Clock::now() - start) / 1000.0;
  int on = 0;
  for (Operation operation : kOperations) {
    on += form.engine().DelayOf(operation).IsRunning() ? 1 : 0;
    on += form.engine().TimeoutOf(operation).IsRunning() ? 1 : 0;
  }
  std::printf(
      "idle, port open, no operation: %.2f timer events/s over %.1f s (the one that ends "
      "the count included); engine deadlines running: %d; resident memory %ld KiB, port open %d\n",
      double(timers.count) / took, took, on, rss, line.IsOpen() ? 1 : 0);
  for (const auto& [name, count] : timers.byClass) {
    std::printf("  timer events of %s: %.2f/s\n", name.c_str(), double(count) / took);
  }
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--child") return karvello::bench::Child(argc, argv);
  int reps = 20;
  int idle = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf(
          "usage: karvello-bench-start [--reps N] [--idle SECONDS] [--help]\n"
          "Times the tool's cold start to the window's first paint (offscreen) and the probe\n"
          "of the ports 1 to 16, N runs each (default 20); then keeps the window up with its\n"
          "port open and no operation pending for SECONDS (default 10; 0 leaves it out) and\n"
          "counts the timer events and the resident memory.\n");
      return 0;
    }
    if (i + 1 < argc && arg == "--reps") {
      reps = std::atoi(argv[++i]);
    } else if (i + 1 < argc && arg == "--idle") {
      idle = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: karvello-bench-start [--reps N] [--idle SECONDS] [--help]\n");
      return 2;
    }
  }
  karvello::bench::ColdStart("/proc/self/exe", reps);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  karvello::bench::Probe(reps);
  if (idle > 0) karvello::bench::Idle(idle);
  return 0;
}
