#include "ui/trend_reduce.h"

#include <algorithm>

namespace karvello::trend {

Reduced Reduce(const std::vector<Point>& points, qint64 from, qint64 to, int columns) {
  Reduced out;
  if (columns <= 0 || to <= from) return out;
  const double perMs = static_cast<double>(columns) / static_cast<double>(to - from);
  bool inRun = false;
  const auto [begin, end] = InPeriod(points, from, to);
  for (auto it = begin; it != end; ++it) {
    const int index =
        std::min(columns - 1, static_cast<int>(static_cast<double>(it->ms - from) * perMs));
    if (HasValue(*it)) {
      const double v = it->value;
      if (!inRun) out.runs.emplace_back();
      inRun = true;
      std::vector<Column>& run = out.runs.back();
      if (run.empty() || run.back().index != index) {
        run.push_back({index, v, v});
      } else {
        Column& column = run.back();
        column.min = std::min(column.min, v);
        column.max = std::max(column.max, v);
      }
      ++out.values;
      continue;
    }
    inRun = false;
    std::vector<int>& marks = it->kind == Point::Kind::kOverRange ? out.overRange : out.failed;
    if (marks.empty() || marks.back() != index) marks.push_back(index);
  }
  return out;
}

bool MarksPoints(std::size_t values, double plotWidth) {
  return static_cast<double>(values) * kPixelsPerMarker <= plotWidth;
}

}  // namespace karvello::trend
