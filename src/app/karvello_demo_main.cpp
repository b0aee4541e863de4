// karvello-demo: the tool's window with a simulated detector on a pseudo-terminal as COM1, so
// that every button works without hardware. With --tour it presses the four buttons itself,
// through the window's own widgets, prints each report as it appears in the log box and ends
// with status 0 only when all four are right. With --bus it shows the survey window (总线巡检) on
// the same line instead; --bus --tour scans the bus and measures what it found.

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "demo/demo_tours.h"
#include "demo/tour.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "ui/main_window.h"
#include "ui/survey_window.h"

namespace {

using karvello::tour::Print;

// A display to show the window on, or a platform named by hand.
bool HasPlatform() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// Shows a `Window` titled `title` on the line of `detector` as COM1: runs `tour` through it when
// `touring`, else prints `help` and runs until the window is closed.
template <typename Window>
int Show(const karvello::sim::SimulatedDetector& detector, const char* title, bool touring,
         int (*tour)(Window&, const karvello::sim::SimulatedDetector&), const std::string& help) {
  karvello::FixedPortMap ports({{1, detector.SlavePath()}});
  karvello::QtSerialLine line(ports);
  Window window(line, ports);
  window.setWindowTitle(QString::fromUtf8(title));
  window.show();
  if (touring) return tour(window, detector);
  Print(help);
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  // Without a display the tour (and the help) run on Qt's offscreen platform; the window itself
  // needs one.
  bool headlessOk = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    headlessOk = headlessOk || arg == "--tour" || arg == "--help" || arg == "-h";
  }
  if (!HasPlatform()) {
    if (!headlessOk) {
      std::fputs(
          "karvello-demo: no display ($DISPLAY and $WAYLAND_DISPLAY are empty). Run it on a "
          "desktop, or run `karvello-demo --tour` to see the tour headless.\n",
          stderr);
      return EXIT_FAILURE;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("karvello-demo"));
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Karvello with a simulated detector on a pseudo-terminal as COM1: every button works "
      "without hardware.\nThe detector starts at address 1; its reading is 345 with 1 decimal "
      "place (34.5 ohm) and its voltage 220 V."));
  parser.addHelpOption();
  const QCommandLineOption tourOption(
      QStringLiteral("tour"),
      QStringLiteral("Press the four buttons one after another (set address 5, query address, "
                     "query resistance, query voltage), print each report, and exit 0 only when "
                     "all four are right. Takes about 20 s."));
  parser.addOption(tourOption);
  const QCommandLineOption busOption(
      QStringLiteral("bus"),
      QStringLiteral("Show the survey window (总线巡检) instead: scan the bus for its detectors, "
                     "read their voltages, measure them. With --tour: scan and measure all at "
                     "once, print the table, exit 0 only when it holds the bus's detectors. "
                     "Takes about 45 s."));
  parser.addOption(busOption);
  parser.process(app);

  try {
    const bool touring = parser.isSet(tourOption);
    if (parser.isSet(busOption)) {
      const karvello::sim::SimulatedDetector bus(karvello::demo::Bus(), {});
      return Show<karvello::SurveyWindow>(
          bus, "总线巡检 — Karvello demo, simulated bus on COM1", touring,
          karvello::demo::RunSurveyTour,
          "A simulated bus on COM1 (" + bus.SlavePath() + ") holds " + karvello::demo::BusText() +
              "\nPress 扫描 to find them, 测量电阻 to measure them. Close the window to end.\n");
    }
    const karvello::sim::SimulatedDetector detector(karvello::demo::Detector());
    return Show<karvello::MainWindow>(
        detector, "Karvello — demo, simulated detector on COM1", touring, karvello::demo::RunTour,
        "A simulated detector answers on COM1 (" + detector.SlavePath() +
            "): address 1, reading 345 with 1 decimal place (34.5 ohm), 220 V; a measurement "
            "takes 18.5 s.\nPress 查询地址 to find it, type an address and press 设置地址 to give "
            "it a new one. Close the window to end.\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "karvello-demo: %s\n", e.what());
    return EXIT_FAILURE;
  }
}
