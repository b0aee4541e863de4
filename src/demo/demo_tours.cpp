#include "demo/demo_tours.h"

#include <QGuiApplication>
#include <QTest>
#include <chrono>
#include <cstdlib>

#include "demo/survey_tour.h"
#include "demo/tour.h"
#include "ui/main_window.h"
#include "ui/survey_window.h"

namespace karvello::demo {

namespace {

using tour::Print;

// The demo's detectors finish a measurement half a second inside the 19 s the tool waits: a
// simulator woken late on a loaded machine would otherwise start its count after the tool's and
// still be measuring when the tool reads.
constexpr std::chrono::milliseconds kDemoMeasurementTime{18'500};

}  // namespace

sim::DetectorConfig Detector() {
  sim::DetectorConfig config;
  config.address = 1;
  config.resistance = 345;
  config.decimalCount = 1;
  config.voltage = 220;
  config.measurementTime = kDemoMeasurementTime;
  return config;
}

int RunTour(MainWindow& form, const sim::SimulatedDetector& detector) {
  const auto config = detector.Config();
  Print(
      "Karvello demo tour on Qt's \"" + QGuiApplication::platformName().toStdString() +
      "\" platform. A simulated detector answers on COM1 (" + detector.SlavePath() +
      "): address 1, reading 345 with 1 decimal place, 220 V.\nIt finishes a measurement in " +
      QString::number(static_cast<double>(config.measurementTime.count()) / 1000.0).toStdString() +
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
  const auto steps = tour::FourButtons();
  const int right = tour::RunSteps(form, steps);
  const int total = static_cast<int>(steps.size());
  if (right == total) {
    Print("\nAll 4 reports are right.\n");
    return EXIT_SUCCESS;
  }
  Print("\n" + std::to_string(total - right) + " of 4 reports are wrong.\n");
  return EXIT_FAILURE;
}

std::vector<sim::DetectorConfig> Bus() {
  using sim::DetectorConfig;
  std::vector<DetectorConfig> bus = {
      DetectorConfig{.address = 3, .resistance = 345, .decimalCount = 1, .voltage = 220},
      DetectorConfig{.address = 7, .resistance = 1280, .decimalCount = 2, .voltage = 218},
      DetectorConfig{.address = 200, .resistance = 52, .decimalCount = 1, .voltage = 221}};
  for (DetectorConfig& detector : bus) detector.measurementTime = kDemoMeasurementTime;
  return bus;
}

std::string BusText() {
  return "three detectors: at 3 (34.5 ohm, 220 V), 7 (12.80 ohm, 218 V) and 200 (5.2 ohm, 221 "
         "V); a measurement takes 18.5 s.";
}

int RunSurveyTour(SurveyWindow& window, const sim::SimulatedDetector& detector) {
  Print("Karvello demo survey tour on Qt's \"" + QGuiApplication::platformName().toStdString() +
        "\" platform. The simulated bus on COM1 (" + detector.SlavePath() + ") holds " + BusText() +
        " The tour takes about 45 s.\n\n");
  if (!QTest::qWaitForWindowExposed(&window)) {
    Print("The window did not appear.\n");
    return EXIT_FAILURE;
  }
  static constexpr tour::KnownDetector kKnown[] = {
      {3, "220", "34.5"}, {7, "218", "12.80"}, {200, "221", "5.2"}};
  if (tour::RunSurveyTour(window, kKnown)) {
    Print("\nThe survey found every detector of the bus, with its voltage and resistance.\n");
    return EXIT_SUCCESS;
  }
  return EXIT_FAILURE;
}

}  // namespace karvello::demo
