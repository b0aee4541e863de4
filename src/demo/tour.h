#pragma once
// The tour of the window's four buttons, pressed through its own widgets as a user would: give
// the detector address 5, read it back, measure, read the voltage. Each report is checked byte
// for byte twice: the log text the window keeps, and the text its log box shows.

#include <chrono>
#include <span>
#include <string>
#include <string_view>

namespace karvello {
class MainWindow;
}

namespace karvello::tour {

struct Step {
  const char* what;
  const char* button;  // objectName of the button pressed
  const char* typed;   // typed into the address box first, or nullptr
  std::string_view expected;
  std::chrono::milliseconds wait;  // longest wait for the report
};

// The four buttons against a detector at address 1 that reads 345 with 1 decimal place (34.5
// ohm) and 220 V, and finishes a measurement within the tool's 19 s.
std::span<const Step> FourButtons();

struct Outcome {
  bool right = false;
  std::chrono::milliseconds elapsed{0};  // from the click to the report
};

// Presses one step's button and waits for its report; prints the report (and what was expected
// when it differs).
Outcome RunStep(MainWindow& window, const Step& step, int number, int total);

// Runs the steps in turn; returns how many gave the right report.
int RunSteps(MainWindow& window, std::span<const Step> steps);

// Prints at once (stdout is not always line-buffered, under Wine for one).
void Print(const std::string& text);

}  // namespace karvello::tour
