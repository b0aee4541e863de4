// karvello-wine-check: the real window on the system's COM1, driven through its widgets, for
// scripts/test-windows to run under Wine while the Linux simulator serves COM1. One check per
// run, named on the command line; it prints what it saw and exits 0 only when it was right.
//
//   --tour       the port list holds COM1 (and only it), the captions' font has their glyphs,
//                and the four buttons give the reports the Linux build gives
//   --silent     the detector says nothing: 查询电压 gives the failure text at the time-out
//   --bad-crc    the reply's CRC is wrong: 查询电压 gives the failure text at once
//   --size       prints the window's client area in device pixels and the screen's DPI
//   --survey ADDRESS PNG DETECTORS
//                the survey window: ADDRESS typed into its port box (a network line), a scan of
//                addresses 1 to 5 finds DETECTORS ("1,3"), the window saved to PNG

#include <windows.h>

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStringList>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <string>

#include "demo/tour.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "ui/main_window.h"
#include "ui/survey_window.h"

namespace {

using namespace std::chrono_literals;
using karvello::tour::Print;

// Shows `window`: false, said, when it does not appear.
bool Appeared(QWidget& window, const std::string& name) {
  window.show();
  if (QTest::qWaitForWindowExposed(&window)) return true;
  Print("The " + name + " did not appear.\n");
  return false;
}

// The port list shows COM1 alone of COM1 to COM16 (the one port that opens), chosen, and after
// it only ports above COM16: Wine gives the machine's own serial devices the first numbers left
// free, which are above COM16 here.
bool PortListHoldsCom1(const karvello::MainWindow& window) {
  const auto* list = window.findChild<QComboBox*>(QStringLiteral("portList"));
  if (list == nullptr) return false;
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
  Print("Port list: [" + items.join(QStringLiteral(", ")).toStdString() +
        "], chosen: " + list->currentText().toStdString() + "\n");
  bool right =
      !items.isEmpty() && items.front() == QStringLiteral("COM1") && list->currentIndex() == 0;
  for (qsizetype i = 1; i < items.size(); ++i) {
    bool ok = false;
    const int number = items[i].mid(3).toInt(&ok);
    right = right && items[i].startsWith(QStringLiteral("COM")) && ok && number > 16;
  }
  return right;
}

// Every caption is drawn in a font that has all of its characters (no boxes).
bool CaptionsHaveGlyphs(const karvello::MainWindow& window) {
  bool all = true;
  QList<QWidget*> captioned;
  for (auto* button : window.findChildren<QPushButton*>()) captioned << button;
  for (auto* label : window.findChildren<QLabel*>()) captioned << label;
  for (QWidget* widget : captioned) {
    const QString caption = widget->property("text").toString();
    const QFontMetrics metrics(widget->font());
    bool has = true;
    for (const char32_t c : caption.toUcs4()) has = has && metrics.inFontUcs4(c);
    Print("Caption " + caption.toStdString() + ": font " +
          QFontInfo(widget->font()).family().toStdString() + (has ? "" : ", MISSING GLYPHS") +
          "\n");
    all = all && has;
  }
  return all;
}

int Tour(karvello::MainWindow& window) {
  bool right = PortListHoldsCom1(window);
  right = CaptionsHaveGlyphs(window) && right;
  const auto steps = karvello::tour::FourButtons();
  right = karvello::tour::RunSteps(window, steps) == static_cast<int>(steps.size()) && right;
  return right ? EXIT_SUCCESS : EXIT_FAILURE;
}

// One query of the voltage (from address 5) that must fail, its failure text coming between
// `earliest` and `latest` after the click.
int FailedQuery(karvello::MainWindow& window, const char* what, std::chrono::milliseconds earliest,
                std::chrono::milliseconds latest) {
  const karvello::tour::Step step{what, "queryVoltageButton", "5", "查询失败！", 5s};
  const auto outcome = karvello::tour::RunStep(window, step, 1, 1);
  Print("      the failure text came after " + std::to_string(outcome.elapsed.count()) +
        " ms (expected " + std::to_string(earliest.count()) + " to " +
        std::to_string(latest.count()) + " ms)\n");
  return outcome.right && outcome.elapsed >= earliest && outcome.elapsed <= latest ? EXIT_SUCCESS
                                                                                   : EXIT_FAILURE;
}

int Size(karvello::MainWindow& window) {
  RECT client{};
  if (!GetClientRect(reinterpret_cast<HWND>(window.winId()), &client)) return EXIT_FAILURE;
  const QScreen* screen = window.screen();
  Print("client " + std::to_string(client.right - client.left) + "x" +
        std::to_string(client.bottom - client.top) + " logical " + std::to_string(window.width()) +
        "x" + std::to_string(window.height()) + " dpi " +
        std::to_string(qRound(screen->logicalDotsPerInch())) + " scale " +
        std::to_string(window.devicePixelRatioF()) + "\n");
  return EXIT_SUCCESS;
}

// The survey window on the line typed into its port box: a scan of 1 to 5 finds `expected`.
int Survey(const QString& address, const QString& png, const std::string& expected) {
  karvello::SystemPortMap ports;
  karvello::QtSerialLine line(ports);
  karvello::SurveyWindow window(line, ports);
  if (!Appeared(window, "survey window")) return EXIT_FAILURE;
  auto* box = window.findChild<QComboBox*>(QStringLiteral("portList"));
  auto* scan = window.findChild<QPushButton*>(QStringLiteral("scanButton"));
  if (box == nullptr || box->lineEdit() == nullptr || scan == nullptr) return EXIT_FAILURE;
  box->lineEdit()->selectAll();
  QTest::keyClicks(box->lineEdit(), address);
  QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  window.findChild<QSpinBox*>(QStringLiteral("fromBox"))->setValue(1);
  window.findChild<QSpinBox*>(QStringLiteral("toBox"))->setValue(5);
  QTest::mouseClick(scan, Qt::LeftButton);
  const bool started = window.survey().Running();
  const bool ended = QTest::qWaitFor([&window] { return !window.survey().Running(); }, 60000);
  std::string found;
  for (const auto detector : window.Detectors()) {
    found += (found.empty() ? "" : ",") + std::to_string(detector);
  }
  Print("Port box: " + box->currentText().toStdString() + "; scan " +
        (started ? (ended ? "ended" : "still running") : "not started") + "; detectors: " +
        (found.empty() ? "none" : found) + "; message: " + window.Message().toStdString() + "\n");
  QTest::qWait(300);  // the last row painted
  window.grab().save(png);
  return started && ended && found == expected ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = QApplication::arguments();
  const QString check = args.size() >= 2 ? args[1] : QString();
  if (check == "--survey" && args.size() == 5) {
    return Survey(args[2], args[3], args[4].toStdString());
  }
  if (args.size() != 2 ||
      (check != "--tour" && check != "--silent" && check != "--bad-crc" && check != "--size")) {
    Print(
        "usage: karvello-wine-check --tour | --silent | --bad-crc | --size"
        " | --survey ADDRESS PNG DETECTORS\n");
    return 2;
  }
  karvello::SystemPortMap ports;
  karvello::QtSerialLine line(ports);
  karvello::MainWindow window(line, ports);
  if (!Appeared(window, "window")) return EXIT_FAILURE;
  window.activateWindow();
  (void)QTest::qWaitForWindowActive(&window);
  if (check == "--tour") return Tour(window);
  // A reply is due within 1.3 s: the failure text comes when the time-out runs out.
  if (check == "--silent") return FailedQuery(window, "A silent detector", 1250ms, 2500ms);
  if (check == "--bad-crc") return FailedQuery(window, "A reply with a wrong CRC", 0ms, 800ms);
  return Size(window);
}
