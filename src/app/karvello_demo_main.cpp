// karvello-demo: the tool's window with a simulated detector on a pseudo-terminal as COM1, so
// that every button works without hardware. With --tour it presses the four buttons itself,
// through the window's own widgets, prints each report as it appears in the log box and ends
// with status 0 only when all four are right.

#include <QApplication>
#include <QCommandLineParser>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "operations/log_texts.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "ui/main_window.h"

namespace {

using namespace std::chrono_literals;

// The demo's detector, with the real detector's 19-second measurement.
karvello::sim::DetectorConfig DemoDetector() {
  karvello::sim::DetectorConfig config;
  config.address = 1;
  config.resistance = 345;
  config.decimalCount = 1;
  config.voltage = 220;
  config.measurementTime = 19'000ms;
  return config;
}

struct TourStep {
  const char* what;
  const char* button;  // objectName of the button pressed
  const char* typed;   // typed into the address box first, or nullptr
  std::string_view expected;
  std::chrono::milliseconds wait;
};

// The tour: the detector starts at address 1 and is given address 5. The expected reports are
// written out byte for byte, so that the tour checks the tool rather than repeating its code.
constexpr TourStep kTour[] = {
    {"Set address: type 5 in the address box, press 设置地址", "setAddressButton", "5",
     "设置成功！\r\n发送1：00 06 00 12 00 05 E8 1D\r\n发送2：05 06 00 12 00 05 E8 48\r\n"
     "接收 ：05 06 00 12 00 05 E8 48",
     3s},
    {"Query address: press 查询地址", "queryAddressButton", nullptr,
     "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：05 03 02 00 05 89 87\r\n地址：5", 3s},
    {"Query resistance: press 查询电阻; the tool reads the result 19 s later",
     "queryResistanceButton", nullptr,
     "查询成功！\r\n发送1：05 06 00 11 00 01 19 8B\r\n发送2：05 03 00 0D 00 02 54 4C\r\n"
     "接收 ：05 03 04 01 59 00 01 AF DC\r\n电阻 =  34.5欧姆",
     25s},
    {"Query voltage: press 查询电压", "queryVoltageButton", nullptr,
     "查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 00 DC 48 1D\r\n电压 = 220伏",
     3s},
};

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

// A log text as printed lines, indented.
std::string Indented(std::string_view log) {
  std::string out = "      ";
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log.substr(i, 2) == "\r\n") {
      out += "\n      ";
      ++i;
    } else {
      out += log[i];
    }
  }
  return out + "\n";
}

// Presses one button as a user would; returns whether the report that follows is right.
bool RunStep(karvello::MainWindow& form, const TourStep& step, int number) {
  Print("[" + std::to_string(number) + "/4] " + step.what + "\n");
  auto* box = form.findChild<QLineEdit*>(QStringLiteral("addressBox"));
  auto* button = form.findChild<QPushButton*>(QString::fromLatin1(step.button));
  if (box == nullptr || button == nullptr) {
    Print("      the window has no address box or " + std::string(step.button) + "\n");
    return false;
  }
  if (step.typed != nullptr) {
    box->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(box, QString::fromLatin1(step.typed));
  }
  const std::string before = form.LogText();
  QTest::mouseClick(button, Qt::LeftButton);
  // A report is written whole within one event, so between events the log holds either the
  // text from before, the measuring note, or the outcome.
  bool measuringShown = false;
  const bool changed = QTest::qWaitFor(
      [&] {
        const std::string now = form.LogText();
        if (now == karvello::text::kMeasuring && !measuringShown) {
          measuringShown = true;
          Print(Indented(now));
        }
        return now != before && now != karvello::text::kMeasuring;
      },
      static_cast<int>(step.wait.count()));
  const std::string report = form.LogText();
  if (!changed) {
    Print("      no report within " + std::to_string(step.wait.count() / 1000) + " s\n");
    return false;
  }
  Print(Indented(report));
  if (report != step.expected) {
    Print("      WRONG: expected\n" + Indented(step.expected));
    return false;
  }
  Print("      right\n");
  return true;
}

int RunTour(karvello::MainWindow& form, const karvello::sim::SimulatedDetector& detector) {
  const auto config = detector.Config();
  Print("Karvello demo tour on Qt's \"" + QGuiApplication::platformName().toStdString() +
        "\" platform. A simulated detector answers on COM1 (" + detector.SlavePath() +
        "): address 1, reading 345 with 1 decimal place, 220 V.\nIt finishes a measurement in " +
        std::to_string(config.measurementTime.count() / 1000) +
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
  int right = 0;
  int number = 0;
  for (const TourStep& step : kTour) right += RunStep(form, step, ++number) ? 1 : 0;
  const int total = static_cast<int>(std::size(kTour));
  if (right == total) {
    Print("\nAll 4 reports are right.\n");
    return EXIT_SUCCESS;
  }
  Print("\n" + std::to_string(total - right) + " of 4 reports are wrong.\n");
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
  parser.process(app);

  try {
    karvello::sim::SimulatedDetector detector(DemoDetector());
    karvello::FixedPortMap ports({{1, detector.SlavePath()}});
    karvello::QtSerialLine line(ports);
    karvello::MainWindow form(line, ports);
    form.setWindowTitle(QStringLiteral("Karvello — demo, simulated detector on COM1"));
    form.show();
    if (parser.isSet(tourOption)) return RunTour(form, detector);
    Print("A simulated detector answers on COM1 (" + detector.SlavePath() +
          "): address 1, reading 345 with 1 decimal place (34.5 ohm), 220 V; a measurement "
          "takes 19 s.\nPress 查询地址 to find it, type an address and press 设置地址 to give it "
          "a new one. Close the window to end.\n");
    return QApplication::exec();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "karvello-demo: %s\n", e.what());
    return EXIT_FAILURE;
  }
}
