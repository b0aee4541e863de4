#include "demo/tour.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <cstdio>

#include "ui/log_texts.h"
#include "ui/main_window.h"

namespace karvello::tour {

namespace {

using namespace std::chrono_literals;

// The detector starts at address 1 and is given address 5. The expected reports are written out
// byte for byte, so that the tour checks the tool rather than repeating its code.
constexpr Step kFourButtons[] = {
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

// A log text as printed lines, indented.
std::string Indented(std::string_view log) {
  std::string out = "      ";
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log.substr(i, 2) == "\r\n" || log[i] == '\n') {
      out += "\n      ";
      if (log[i] == '\r') ++i;
    } else {
      out += log[i];
    }
  }
  return out + "\n";
}

// The lines of a log text as the log box shows them: one line per CR LF.
std::string AsShown(std::string_view log) {
  std::string out;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log.substr(i, 2) == "\r\n") ++i;
    out += log[i];
  }
  return out;
}

}  // namespace

std::span<const Step> FourButtons() {
  return kFourButtons;
}

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

Outcome RunStep(MainWindow& window, const Step& step, int number, int total) {
  Print("[" + std::to_string(number) + "/" + std::to_string(total) + "] " + step.what + "\n");
  auto* box = window.findChild<QLineEdit*>(QStringLiteral("addressBox"));
  auto* logBox = window.findChild<QPlainTextEdit*>(QStringLiteral("logBox"));
  auto* button = window.findChild<QPushButton*>(QString::fromLatin1(step.button));
  if (box == nullptr || logBox == nullptr || button == nullptr) {
    Print("      the window has no address box, log box or " + std::string(step.button) + "\n");
    return {};
  }
  if (step.typed != nullptr) {
    box->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(box, QString::fromLatin1(step.typed));
  }
  const std::string before = window.LogText();
  const auto start = std::chrono::steady_clock::now();
  QTest::mouseClick(button, Qt::LeftButton);
  // A report is written whole within one event, so between events the log holds either the
  // text from before, the measuring note, or the outcome.
  bool measuringShown = false;
  const bool changed = QTest::qWaitFor(
      [&] {
        const std::string now = window.LogText();
        if (now == text::kMeasuring && !measuringShown) {
          measuringShown = true;
          Print(Indented(now));
        }
        return now != before && now != text::kMeasuring;
      },
      static_cast<int>(step.wait.count()));
  Outcome outcome;
  outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  const std::string report = window.LogText();
  if (!changed) {
    Print("      no report within " + std::to_string(step.wait.count() / 1000) + " s\n");
    return outcome;
  }
  Print(Indented(report));
  if (report != step.expected) {
    Print("      WRONG: expected\n" + Indented(step.expected));
    return outcome;
  }
  const std::string shown = logBox->toPlainText().toStdString();
  if (shown != AsShown(step.expected)) {
    Print("      WRONG: the log box shows\n" + Indented(shown));
    return outcome;
  }
  Print("      right\n");
  outcome.right = true;
  return outcome;
}

int RunSteps(MainWindow& window, std::span<const Step> steps) {
  int right = 0;
  int number = 0;
  const int total = static_cast<int>(steps.size());
  for (const Step& step : steps) right += RunStep(window, step, ++number, total).right ? 1 : 0;
  return right;
}

}  // namespace karvello::tour
