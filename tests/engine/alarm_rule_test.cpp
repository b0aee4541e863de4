// The limit rule: raised after N readings in a row above the limit, cleared after N at or below
// it, a failed reading counting for neither, over range above any limit.

#include "engine/alarm_rule.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>

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
// raised, "C" cleared. Without a run the default one; a rule may begin with its alarm standing.
TEST(AlarmRule, RaisesAndClearsAfterItsRunOfReadings) {
  const struct {
    const char* name;
    double limit;
    std::optional<int> after;
    const char* readings;
    const char* changes;
    bool begunRaised = false;
  } cases[] = {
      {"EqualIsNotAbove", 4, 1, "4 4.00 4.0", "---"},
      {"JustAboveRaisesAtOnceAfterOne", 4, 1, "4.01", "R"},
      {"TwoInARowRaise", 4, 2, "5 5", "-R"},
      {"ABreakInTheRunStartsItAgain", 4, 2, "5 3 5 5", "---R"},
      {"AFailureCountsForNeither", 4, 2, "5 - 5", "--R"},
      {"OverRangeIsAbove", 10000, 2, "OL OL", "-R"},
      {"ClearedAfterTwoAtOrBelow", 4, 2, "5 5 4 5 4 4", "-R---C"},
      {"AFractionalLimitComparesAsTyped", 4.1, 1, "4.1 4.10 4.11", "--R"},
      {"TheDefaultRunIsTwo", 4, std::nullopt, "5 5", "-R"},
      {"BegunRaisedClearsAfterItsRun", 4, 2, "5 3 4", "--C", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AlarmRule rule(c.after ? AlarmLimit{c.limit, *c.after} : AlarmLimit{c.limit}, c.begunRaised);
    EXPECT_EQ(rule.Raised(), c.begunRaised);
    std::istringstream readings(c.readings);
    std::string changes;
    for (std::string reading; readings >> reading;) {
      changes += "-RC"[static_cast<int>(rule.Take(R(reading)))];
    }
    EXPECT_EQ(changes, c.changes);
    // Raised by its last change, if any.
    const auto last = std::string(c.changes).find_last_not_of('-');
    EXPECT_EQ(rule.Raised(), last == std::string::npos ? c.begunRaised : c.changes[last] == 'R');
  }
}

}  // namespace
}  // namespace karvello
