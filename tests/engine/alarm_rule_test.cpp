// The limit rule: raised after N readings in a row above the limit, cleared after N at or below
// it, a failed reading counting for neither, over range above any limit.

#include "engine/alarm_rule.h"

#include <gtest/gtest.h>

#include <sstream>
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

// Each case: the readings apart by spaces, and the change after each as a letter: "-" none, "R"
// raised, "C" cleared.
TEST(AlarmRule, RaisesAndClearsAfterItsRunOfReadings) {
  const struct {
    const char* name;
    double limit;
    int after;
    const char* readings;
    const char* changes;
  } cases[] = {
      {"EqualIsNotAbove", 4, 1, "4 4.00 4.0", "---"},
      {"JustAboveRaisesAtOnceAfterOne", 4, 1, "4.01", "R"},
      {"TwoInARowRaise", 4, 2, "5 5", "-R"},
      {"ABreakInTheRunStartsItAgain", 4, 2, "5 3 5 5", "---R"},
      {"AFailureCountsForNeither", 4, 2, "5 - 5", "--R"},
      {"OverRangeIsAbove", 10000, 2, "OL OL", "-R"},
      {"ClearedAfterTwoAtOrBelow", 4, 2, "5 5 4 5 4 4", "-R---C"},
      {"AFractionalLimitComparesAsTyped", 4.1, 1, "4.1 4.10 4.11", "--R"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AlarmRule rule({c.limit, c.after});
    std::istringstream readings(c.readings);
    std::string changes;
    for (std::string reading; readings >> reading;) {
      changes += "-RC"[static_cast<int>(rule.Take(R(reading)))];
    }
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
