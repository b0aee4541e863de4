#pragma once
// The trend chart's series reduced to what the pixels can show: per pixel column, the smallest
// and largest value of its readings. Plain C++ over the chart's points.

#include <QtGlobal>
#include <cstddef>
#include <vector>

#include "ui/trend_series.h"

namespace karvello::trend {

// One pixel column of a series: its readings' smallest and largest value. The line is drawn
// down and up between them and on to the next column, which covers every reading in it.
struct Column {
  int index;  // 0 to columns - 1
  double min, max;
  bool operator==(const Column&) const = default;
};

// A series reduced to `columns` columns over [from, to]. A failed or over-range reading ends a
// run, so no line is drawn across it, even within one column.
struct Reduced {
  std::vector<std::vector<Column>> runs;
  std::vector<int> overRange;  // the columns with an over-range reading, each once, ascending
  std::vector<int> failed;     // the columns with a failed reading, each once, ascending
  std::size_t values = 0;      // the readings with a value in the period
};
Reduced Reduce(const std::vector<Point>& points, qint64 from, qint64 to, int columns);

// Points are marked one by one when each has kPixelsPerMarker pixels of the plot's width.
inline constexpr int kPixelsPerMarker = 4;
bool MarksPoints(std::size_t values, double plotWidth);

}  // namespace karvello::trend
