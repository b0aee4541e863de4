#include "ui/trend_series.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <string>

#include "record/record.h"

namespace karvello::trend {

QString FromView(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString UnitOf(Quantity quantity) {
  return FromView(FormOf(quantity).unit);
}

namespace {

// A reading's number as its text reads: 345 with 1 decimal is 34.5 (a division rounds as the
// reading of "34.5" does).
double ValueOf(const Reading& reading) {
  double scale = 1;
  for (unsigned i = 0; i < reading.decimals; ++i) scale *= 10;
  return reading.number / scale;
}

}  // namespace

bool ByTime(const Point& a, const Point& b) {
  return a.ms < b.ms;
}

bool HasValue(const Point& point) {
  return point.kind == Point::Kind::kValue && std::isfinite(point.value);
}

PointRange InPeriod(const std::vector<Point>& points, qint64 from, qint64 to) {
  const auto begin = std::lower_bound(points.begin(), points.end(), Point::Failed(from), ByTime);
  const auto end = std::upper_bound(begin, points.end(), Point::Failed(to), ByTime);
  return {begin, end};
}

std::vector<Series> SeriesOf(const std::vector<RecordRow>& rows, Quantity quantity) {
  std::map<int, Series> byAddress;
  for (const RecordRow& row : rows) {
    if (row.kind != RecordRow::Kind::kOutcome || row.again || !row.time.isValid() ||
        Describe(row.operation).quantity != quantity || row.result == Result::kNotSent) {
      continue;
    }
    const qint64 ms = row.time.toMSecsSinceEpoch();
    Point point = Point::Failed(ms);
    if (row.result == Result::kAnswered && row.value) {
      if (row.value->overRange) {
        point = Point::OverRange(ms);
      } else {
        point = Point::Value(ms, ValueOf(*row.value));
      }
    }
    Series& series = byAddress[row.address];
    series.address = row.address;
    series.points.push_back(point);
  }
  std::vector<Series> result;
  for (auto& [address, series] : byAddress) {
    std::stable_sort(series.points.begin(), series.points.end(), ByTime);
    result.push_back(std::move(series));
  }
  return result;
}

std::vector<Series> Merged(std::vector<Series> series) {
  std::map<int, Series> byAddress;
  for (Series& s : series) {
    Series& into = byAddress[s.address];
    into.address = s.address;
    if (into.points.empty()) {
      into.points = std::move(s.points);
    } else {
      into.points.insert(into.points.end(), s.points.begin(), s.points.end());
    }
  }
  std::vector<Series> list;
  for (auto& [address, s] : byAddress) {
    if (!std::is_sorted(s.points.begin(), s.points.end(), ByTime)) {
      std::stable_sort(s.points.begin(), s.points.end(), ByTime);
    }
    list.push_back(std::move(s));
  }
  return list;
}

std::size_t Insert(std::vector<Series>& list, int address, const Point& point, bool* added) {
  auto it = std::lower_bound(list.begin(), list.end(), address,
                             [](const Series& s, int a) { return s.address < a; });
  *added = it == list.end() || it->address != address;
  if (*added) it = list.insert(it, Series{address, {}});
  std::vector<Point>& points = it->points;
  points.insert(std::upper_bound(points.begin(), points.end(), point, ByTime), point);
  return static_cast<std::size_t>(it - list.begin());
}

}  // namespace karvello::trend
