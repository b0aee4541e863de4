// karvello-demo: the tool's window with a simulated detector on a pseudo-terminal as COM1, so
// that every button works without hardware. With --tour it presses the four buttons itself,
// through the window's own widgets, prints each report as it appears in the log box and ends
// with status 0 only when all four are right. With --bus it shows the survey window (总线巡检) on
// the same line instead; --bus --tour scans the bus and measures what it found.

#include <QApplication>
#include <QCommandLineParser>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "app/survey_tour.h"
#include "app/tour.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "ui/main_window.h"
#include "ui/survey_window.h"

namespace {

using namespace std::chrono_literals;
using karvello::tour::Print;

// The demo's detectors finish a measurement half a second inside the 19 s the tool waits: a
// simulator woken late on a loaded machine would otherwise start its count after the tool's and
// still be measuring when the tool reads.
constexpr std::chrono::milliseconds kDemoMeasurementTime{18'500};

// The demo's detector.
karvello::sim::DetectorConfig DemoDetector() {
  karvello::sim::DetectorConfig config;
  config.address = 1;
  config.resistance = 345;
  config.decimalCount = 1;
  config.voltage = 220;
  config.measurementTime = kDemoMeasurementTime;
  return config;
}

int RunTour(karvello::MainWindow& form, const karvello::sim::SimulatedDetector& detector) {
  const auto config = detector.Config();
  Print("Karvello demo tour on Qt's \"" + QGuiApplication::platformName().toStdString() +
        "\" platform. A simulated detector answers on COM1 (" + detector.SlavePath() +
        "): address 1, reading 345 with 1 decimal place, 220 V.\nIt finishes a measurement in " +
        QString::number(static_cast<double>(config.measurementTime.count()) / 1000.0)
            .toStdString() +
        " s, within the 19 s the tool waits (the tool's timings are its own, unchanged): the "
        "tour takes about 20 s.\n\n");
  if (!QTest::qWaitForWindowExposed(&form)) {
    Print("The window did not appear.\n");
    return EXIT_FAILURE;
  }
  form.activateWindow();
  if (!QTest::qWaitForWindowActive(&form)) {
    // Keys and clicks still reach the widgets; only the address box's focus rule may not run.
    Print("(The window did not become the active one.)\n");
  }
  const auto steps = karvello::tour::FourButtons();
  const int right = karvello::tour::RunSteps(form, steps);
  const int total = static_cast<int>(steps.size());
  if (right == total) {
    Print("\nAll 4 reports are right.\n");
    return EXIT_SUCCESS;
  }
  Print("\n" + std::to_string(total - right) + " of 4 reports are wrong.\n");
  return EXIT_FAILURE;
}

// The demo's bus: three detectors.
std::vector<karvello::sim::DetectorConfig> DemoBus() {
  using karvello::sim::DetectorConfig;
  std::vector<DetectorConfig> bus = {
      DetectorConfig{.address = 3, .resistance = 345, .decimalCount = 1, .voltage = 220},
      DetectorConfig{.address = 7, .resistance = 1280, .decimalCount = 2, .voltage = 218},
      DetectorConfig{.address = 200, .resistance = 52, .decimalCount = 1, .voltage = 221}};
  for (DetectorConfig& detector : bus) detector.measurementTime = kDemoMeasurementTime;
  return bus;
}
const std::string kBusText =
    "three detectors: at 3 (34.5 ohm, 220 V), 7 (12.80 ohm, 218 V) and 200 (5.2 ohm, 221 V); a "
    "measurement takes 18.5 s.";

int RunSurveyTour(karvello::SurveyWindow& window,
                  const karvello::sim::SimulatedDetector& detector) {
  Print("Karvello demo survey tour on Qt's \"" + QGuiApplication::platformName().toStdString() +
        "\" platform. The simulated bus on COM1 (" + detector.SlavePath() + ") holds " + kBusText +
        " The tour takes about 45 s.\n\n");
  if (!QTest::qWaitForWindowExposed(&window)) {
    Print("The window did not appear.\n");
    return EXIT_FAILURE;
  }
  static constexpr karvello::tour::KnownDetector kKnown[] = {
      {3, "220", "34.5"}, {7, "218", "12.80"}, {200, "221", "5.2"}};
  if (karvello::tour::RunSurveyTour(window, kKnown)) {
    Print("\nThe survey found every detector of the bus, with its voltage and resistance.\n");
    return EXIT_SUCCESS;
  }
  return EXIT_FAILURE;
}

// A display to show the window on, or a platform named by hand.
bool HasPlatform() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
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
    if (parser.isSet(busOption)) {
      karvello::sim::SimulatedDetector bus(DemoBus(), {});
      karvello::FixedPortMap ports({{1, bus.SlavePath()}});
      karvello::QtSerialLine line(ports);
      karvello::SurveyWindow survey(line, ports);
      survey.setWindowTitle(QStringLiteral("总线巡检 — Karvello demo, simulated bus on COM1"));
      survey.show();
      if (parser.isSet(tourOption)) return RunSurveyTour(survey, bus);
      Print("A simulated bus on COM1 (" + bus.SlavePath() + ") holds " + kBusText +
            "\nPress 扫描 to find them, 测量电阻 to measure them. Close the window to end.\n");
      return QApplication::exec();
    }
    karvello::sim::SimulatedDetector detector(DemoDetector());
    karvello::FixedPortMap ports({{1, detector.SlavePath()}});
    karvello::QtSerialLine line(ports);
    karvello::MainWindow form(line, ports);
    form.setWindowTitle(QStringLiteral("Karvello — demo, simulated detector on COM1"));
    form.show();
    if (parser.isSet(tourOption)) return RunTour(form, detector);
    Print("A simulated detector answers on COM1 (" + detector.SlavePath() +
          "): address 1, reading 345 with 1 decimal place (34.5 ohm), 220 V; a measurement "
          "takes 18.5 s.\nPress 查询地址 to find it, type an address and press 设置地址 to give it "
          "a new one. Close the window to end.\n");
    return QApplication::exec();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "karvello-demo: %s\n", e.what());
    return EXIT_FAILURE;
  }
}
