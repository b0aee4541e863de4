#pragma once
// The reports the main window shows in its log box, made from the engine's outcomes: the status
// line, the requests as they were sent, the reply as it came and the result, lines ended by
// CR LF, the last without one; or the failure text alone.

#include <string>

#include "engine/outcome.h"

namespace karvello {

// The log box's text for `outcome`.
std::string ReportText(const Outcome& outcome);

// The resistance of a reading: the number with its decimal places, the point placed among the
// number's own digits; "OL" over range. Where the point stands among three or more digits the
// text keeps a leading space.
std::string FormatResistance(const Reading& reading);
// The voltage of a reading: a whole number of volts.
std::string FormatVoltage(const Reading& reading);

}  // namespace karvello
