#pragma once
// The tour of the survey window, through its own widgets as a user would: scan the bus with the
// default settings, then measure every detector found all at once. It prints the table after
// each and checks it against the detectors the bus is known to hold.

#include <span>
#include <string>

namespace karvello {
class SurveyWindow;
}

namespace karvello::tour {

struct KnownDetector {
  int address;
  const char* voltage;     // as the table shows it
  const char* resistance;  // as the table shows it
};

// Returns whether the scan found exactly `known` with their voltages and the measurement gave
// their resistances.
bool RunSurveyTour(SurveyWindow& window, std::span<const KnownDetector> known);

}  // namespace karvello::tour
