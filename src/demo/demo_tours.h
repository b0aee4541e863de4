#pragma once
// The demo's simulated detectors, and its two tours through the windows' own widgets: the four
// buttons of the main window against one detector, the survey window against a bus of three.
// Each prints what it does and returns the program's exit status: EXIT_SUCCESS only when every
// report is right.

#include <string>
#include <vector>

#include "sim/simulated_detector.h"

namespace karvello {
class MainWindow;
class SurveyWindow;
}  // namespace karvello

namespace karvello::demo {

// The demo's detector: address 1, reading 345 with 1 decimal place, 220 V.
sim::DetectorConfig Detector();
// The demo's bus: three detectors, and what they are in words.
std::vector<sim::DetectorConfig> Bus();
std::string BusText();

// Presses the window's four buttons, `detector` answering on its line.
int RunTour(MainWindow& form, const sim::SimulatedDetector& detector);
// Scans the bus of `detector` in the survey window and measures what it found.
int RunSurveyTour(SurveyWindow& window, const sim::SimulatedDetector& detector);

}  // namespace karvello::demo
