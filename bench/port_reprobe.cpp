// karvello-bench-reprobe: how long the port list takes to be made afresh when the user opens it,
// on the window itself (offscreen), COM1 open on the line:
// - ptys: 16 pseudo-terminals numbered COM1 to COM16, the other 15 tried and listed;
// - system: the machine's own serial ports, the map looking again at the system's devices.
//   karvello-bench-reprobe [--reps N]

#include <QApplication>
#include <QComboBox>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/stats.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/pty_pair.h"
#include "ui/main_window.h"

namespace karvello::bench {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<double> Time(MainWindow& form, int reps) {
  std::vector<double> samples;
  for (int i = 0; i < reps; ++i) {
    const auto start = Clock::now();
    form.RefreshPorts();
    samples.push_back(Ms(Clock::now() - start));
  }
  return samples;
}

int Run(int reps) {
  std::vector<std::unique_ptr<sim::PtyPair>> lines;
  FixedPortMap ptys;
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    lines.push_back(std::make_unique<sim::PtyPair>());
    ptys.Set(n, lines.back()->SlavePath());
  }
  {
    QtSerialLine line(ptys);
    MainWindow form(line, ptys);
    if (!line.IsOpen() || form.findChild<QComboBox*>("portList")->count() != 16) {
      std::fprintf(stderr, "the 16 pseudo-terminals are not all listed\n");
      return EXIT_FAILURE;
    }
    auto samples = Time(form, reps);
    if (form.findChild<QComboBox*>("portList")->count() != 16 || line.Name() != "COM1") {
      std::fprintf(stderr, "a probe lost a port\n");
      return EXIT_FAILURE;
    }
    PrintSummary("re-probe, 16 ptys (15 tried, COM1 open)", samples, "ms");
  }
  {
    SystemPortMap system;
    QtSerialLine line(system);
    MainWindow form(line, system);
    int known = 0;
    for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) known += system.DevicePath(n) ? 1 : 0;
    std::printf("system ports numbered here: %d\n", known);
    PrintSummary("re-probe, system ports (map refreshed)", Time(form, reps), "ms");
  }
  return EXIT_SUCCESS;
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int reps = 200;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--reps") == 0) reps = std::atoi(argv[i + 1]);
  }
  return karvello::bench::Run(reps > 0 ? reps : 200);
}
