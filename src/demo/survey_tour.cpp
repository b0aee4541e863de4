#include "demo/survey_tour.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <chrono>

#include "demo/tour.h"
#include "ui/survey_window.h"

namespace karvello::tour {

namespace {

using namespace std::chrono_literals;

void PrintTable(const SurveyWindow& window) {
  Print("      地址  电压(V)  电阻(Ω)  状态\n");
  for (int row = 0; row < window.RowCount(); ++row) {
    Print("      " + window.Cell(row, SurveyWindow::kAddress).leftJustified(6).toStdString() +
          window.Cell(row, SurveyWindow::kVoltage).leftJustified(9).toStdString() +
          window.Cell(row, SurveyWindow::kResistance).leftJustified(9).toStdString() +
          window.Cell(row, SurveyWindow::kState).toStdString() + "\n");
  }
}

// Clicks `button` and waits for the run it starts to end; returns the seconds it took.
double Press(SurveyWindow& window, const char* button, std::chrono::milliseconds longest) {
  const auto start = std::chrono::steady_clock::now();
  QTest::mouseClick(window.findChild<QPushButton*>(button), Qt::LeftButton);
  if (!QTest::qWaitFor([&] { return !window.survey().Running(); },
                       static_cast<int>(longest.count()))) {
    Print("      (the run did not end in time)\n");
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool RunSurveyTour(SurveyWindow& window, std::span<const KnownDetector> known) {
  Print("1/2  Scan: press 扫描 (addresses 1 to 255, 100 ms wait each)\n");
  double seconds = Press(window, "scanButton", 60s);
  Print("      " + window.Message().toStdString() + " (" +
        QString::number(seconds, 'f', 1).toStdString() + " s)\n");
  PrintTable(window);
  bool right = window.RowCount() == static_cast<int>(known.size());
  for (int row = 0; right && row < window.RowCount(); ++row) {
    const KnownDetector& detector = known[static_cast<std::size_t>(row)];
    right = window.Cell(row, SurveyWindow::kAddress) == QString::number(detector.address) &&
            window.Cell(row, SurveyWindow::kVoltage) == QString::fromUtf8(detector.voltage);
  }
  if (!right) {
    Print("      WRONG: expected the detectors at");
    for (const KnownDetector& detector : known) Print(" " + std::to_string(detector.address));
    Print("\n");
    return false;
  }

  Print("\n2/2  Measure: tick 同时测量, press 测量电阻 (every start, one 19 s wait, every read)\n");
  window.findChild<QCheckBox*>("allAtOnceBox")->setChecked(true);
  seconds = Press(window, "measureButton", 30s);
  Print("      " + window.Message().toStdString() + " (" +
        QString::number(seconds, 'f', 1).toStdString() + " s)\n");
  PrintTable(window);
  for (int row = 0; right && row < window.RowCount(); ++row) {
    right = window.Cell(row, SurveyWindow::kResistance) ==
            QString::fromUtf8(known[static_cast<std::size_t>(row)].resistance);
  }
  if (!right) Print("      WRONG: a resistance is not the detector's\n");
  return right;
}

}  // namespace karvello::tour
