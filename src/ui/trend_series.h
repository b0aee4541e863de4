#pragma once
// The trend chart's readings: one detector's readings of one quantity over time, as the record
// holds them or as they are made. Qt Core only.

#include <QString>
#include <QtGlobal>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/operations.h"

namespace karvello {

struct RecordRow;

namespace trend {

// The chart draws resistances or voltages.
using karvello::Quantity;

// "Ω" or "V".
QString UnitOf(Quantity quantity);
QString FromView(std::string_view text);

struct Point {
  enum class Kind { kValue, kFailed, kOverRange };
  qint64 ms = 0;  // the time of the reading, milliseconds since the epoch
  Kind kind = Kind::kValue;
  double value = 0;  // the reading, for kValue only

  static Point Value(qint64 ms, double value) { return {ms, Kind::kValue, value}; }
  static Point Failed(qint64 ms) { return {ms, Kind::kFailed, 0}; }
  static Point OverRange(qint64 ms) { return {ms, Kind::kOverRange, 0}; }
  bool operator==(const Point&) const = default;
};

bool ByTime(const Point& a, const Point& b);
// A reading with a finite value.
bool HasValue(const Point& point);

// The readings of one detector, in time order (the chart sorts what it is given).
struct Series {
  int address = 0;
  std::vector<Point> points;
};

// The readings of `points` (in time order) from `from` to `to`, both included.
using PointRange = std::pair<std::vector<Point>::const_iterator, std::vector<Point>::const_iterator>;
PointRange InPeriod(const std::vector<Point>& points, qint64 from, qint64 to);

// The series of `quantity` in record rows: an answered row is a value or, "OL", over range; a row
// whose request went unanswered or was answered wrongly is a failed reading. Rows of a reply that
// came again and rows that were never sent are no readings. Series are in order of address.
std::vector<Series> SeriesOf(const std::vector<RecordRow>& rows, Quantity quantity);

// `series` as one series per detector, in order of address, each in time order.
std::vector<Series> Merged(std::vector<Series> series);

// Puts `point` into the series of `address` in `list` (kept as Merged leaves it), after the
// readings of its time; a detector not yet in it gets a series of its own (`*added`). Returns
// that series' place in `list`.
std::size_t Insert(std::vector<Series>& list, int address, const Point& point, bool* added);

}  // namespace trend
}  // namespace karvello
