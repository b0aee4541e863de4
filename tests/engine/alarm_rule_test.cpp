// The limit rule: raised after N readings in a row above the limit, cleared after N at or below
// it, a failed reading counting for neither, over range above any limit.

#include "engine/alarm_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace karvello {
namespace {

using Change = AlarmRule::Change;

// "4.01" a reading of 401 with 2 decimals, "OL" over range, "-" a failed reading.
std::optional<Reading> R(const std::string& text) {
  if (text == "-") return std::nullopt;
  if (text == "OL") return Reading{0, 3, true};
  const auto point = text.find('.');
  if (point == std::string::npos) return Reading{static_cast<unsigned>(std::stoul(text)), 0};
  std::string digits = text;
  digits.erase(point, 1);
  return Reading{static_cast<unsigned>(std::stoul(digits)),
                 static_cast<unsigned>(text.size() - point - 1)};
}

TEST(AlarmRule, RaisesAndClearsAfterItsRunOfReadings) {
  const struct {
    const char* name;
    double limit;
    int after;
    std::vector<std::string> readings;
    std::vector<Change> changes;  // after each reading
  } cases[] = {
      {"EqualIsNotAbove",
       4,
       1,
       {"4", "4.00", "4.0"},
       {Change::kNone, Change::kNone, Change::kNone}},
      {"JustAboveRaisesAtOnceAfterOne", 4, 1, {"4.01"}, {Change::kRaised}},
      {"TwoInARowRaise", 4, 2, {"5", "5"}, {Change::kNone, Change::kRaised}},
      {"ABreakInTheRunStartsItAgain",
       4,
       2,
       {"5", "3", "5", "5"},
       {Change::kNone, Change::kNone, Change::kNone, Change::kRaised}},
      {"AFailureCountsForNeither",
       4,
       2,
       {"5", "-", "5"},
       {Change::kNone, Change::kNone, Change::kRaised}},
      {"OverRangeIsAbove", 10000, 2, {"OL", "OL"}, {Change::kNone, Change::kRaised}},
      {"ClearedAfterTwoAtOrBelow",
       4,
       2,
       {"5", "5", "4", "5", "4", "4"},
       {Change::kNone, Change::kRaised, Change::kNone, Change::kNone, Change::kNone,
        Change::kCleared}},
      {"AFractionalLimitComparesAsTyped",
       4.1,
       1,
       {"4.1", "4.10", "4.11"},
       {Change::kNone, Change::kNone, Change::kRaised}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AlarmRule rule({c.limit, c.after});
    std::vector<Change> changes;
    for (const std::string& reading : c.readings) changes.push_back(rule.Take(R(reading)));
    EXPECT_EQ(changes, c.changes);
  }
}

// A rule begun with its alarm standing clears it only after its run at or below the limit.
TEST(AlarmRule, BegunRaisedClearsAfterItsRun) {
  AlarmRule rule({4, 2}, true);
  EXPECT_TRUE(rule.Raised());
  EXPECT_EQ(rule.Take(R("5")), Change::kNone);
  EXPECT_EQ(rule.Take(R("3")), Change::kNone);
  EXPECT_EQ(rule.Take(R("4")), Change::kCleared);
  EXPECT_FALSE(rule.Raised());
}

TEST(AlarmRule, TheDefaultRunIsTwo) {
  AlarmRule rule({4});
  EXPECT_EQ(rule.Take(R("5")), Change::kNone);
  EXPECT_EQ(rule.Take(R("5")), Change::kRaised);
  EXPECT_TRUE(rule.Raised());
}

}  // namespace
}  // namespace karvello
