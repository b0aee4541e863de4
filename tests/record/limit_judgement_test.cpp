// The resistance limit judged over the record's rows by the engine's rule, at its edges: the
// readings in a row (kDefaultAlarmAfter, 2) that raise and clear it, a reading equal to the limit,
// over range, failures between, and the rows' time order; and over the readings a front end made
// without a record, in its period.
#include "record/limit_judgement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support/case_names.h"

namespace karvello {
namespace {

using test::PrintTo;

// A reading of address 3, "-" for a request that went unanswered, "again" for a late reply.
RecordRow Reading3(int second, const std::string& value) {
  RecordRow row;
  row.time = QDateTime(QDate(2026, 12, 7), QTime(8, 0, second));
  row.port = "COM1";
  row.address = 3;
  row.operation = Operation::kQueryResistance;
  row.result = Result::kAnswered;
  row.value = ReadingOf(value);
  if (value == "-") {
    row.result = Result::kNoReply;
    row.value.reset();
  } else if (value == "again") {
    row.value = Reading{125, 1};
    row.again = true;
  }
  return row;
}

struct LimitRuleCase {
  const char* name;
  std::vector<std::string> values;  // in time order, of a limit of 10 Ω
  bool raised;
};

class LimitRule : public ::testing::TestWithParam<LimitRuleCase> {};

TEST_P(LimitRule, StandsRaisedAtTheEndOfThePeriodOrNot) {
  const LimitRuleCase& c = GetParam();
  std::vector<RecordRow> rows;
  for (std::size_t i = 0; i < c.values.size(); ++i) {
    rows.push_back(Reading3(static_cast<int>(i), c.values[i]));
  }
  const std::set<int> expected = c.raised ? std::set<int>{3} : std::set<int>{};
  EXPECT_EQ(RaisedOver(rows, AlarmLimit{.ohms = 10}), expected);
  // The file's order is not the readings' order: the rule takes them in time order.
  std::reverse(rows.begin(), rows.end());
  EXPECT_EQ(RaisedOver(rows, AlarmLimit{.ohms = 10}), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LimitRule,
    ::testing::Values(LimitRuleCase{"one above", {"10.01"}, false},
                      LimitRuleCase{"two above in a row", {"10.01", "12"}, true},
                      LimitRuleCase{"above below above", {"10.01", "9.9", "10.01"}, false},
                      LimitRuleCase{"equal to the limit", {"10.0", "10", "10.00"}, false},
                      LimitRuleCase{"over range twice", {"OL", "OL"}, true},
                      LimitRuleCase{"a failure between", {"10.01", "-", "10.01"}, true},
                      LimitRuleCase{"a late reply is none", {"10.01", "again"}, false},
                      LimitRuleCase{"one below after raised", {"OL", "OL", "4"}, true},
                      LimitRuleCase{"two below clear it", {"OL", "OL", "4", "10"}, false}),
    test::CaseName{});

// Each detector has its own run; rows of other operations are no readings.
TEST(LimitRuleOverRows, JudgesEachAddressApartAndOnlyItsResistances) {
  const auto at = [](int address, RecordRow row) {
    row.address = address;
    return row;
  };
  RecordRow voltage = Reading3(3, "220");
  voltage.operation = Operation::kQueryVoltage;
  // An alarm's row holds a resistance too, but it is no reading.
  RecordRow alarm = Reading3(4, "50");
  alarm.kind = RecordRow::Kind::kAlarm;
  alarm.raised = true;
  RecordRow other = at(7, Reading3(2, "50"));
  std::vector<RecordRow> rows = {Reading3(0, "11"), Reading3(1, "11"), other,
                                 voltage,           voltage,           at(9, voltage),
                                 at(9, voltage),    at(11, alarm),     at(11, alarm)};
  EXPECT_EQ(RaisedOver(rows, AlarmLimit{.ohms = 10}), std::set<int>{3});
  other.time = other.time.addSecs(1);
  rows.push_back(other);
  EXPECT_EQ(RaisedOver(rows, AlarmLimit{.ohms = 10}), (std::set<int>{3, 7}));
  EXPECT_EQ(RaisedOver(rows, AlarmLimit{.ohms = 11}), std::set<int>{7});
  EXPECT_EQ(RaisedOver(rows, AlarmLimit{.ohms = 10, .after = 3}), std::set<int>{});
}

struct PeriodCase {
  const char* name;
  int from, to;  // seconds after 08:00 of the readings at 0, 1 and 2
  std::set<int> raised;
};

class LimitJudgementOverKept : public ::testing::TestWithParam<PeriodCase> {};

// Readings of 11 Ω at 0 and 1 s and of 4 Ω at 2 s, kept without a record beside a voltage that is
// not; judged against 10 Ω over the period, both ends included.
TEST_P(LimitJudgementOverKept, TakesTheReadingsOfThePeriod) {
  LimitJudgement judgement;
  EXPECT_TRUE(judgement.Keep(Reading3(0, "11")));
  EXPECT_TRUE(judgement.Keep(Reading3(1, "11")));
  EXPECT_TRUE(judgement.Keep(Reading3(2, "4")));
  RecordRow voltage = Reading3(1, "220");
  voltage.operation = Operation::kQueryVoltage;
  voltage.address = 5;
  EXPECT_FALSE(judgement.Keep(voltage));
  const QDateTime at = Reading3(0, "0").time;
  const QDateTime from = at.addSecs(GetParam().from), to = at.addSecs(GetParam().to);
  EXPECT_EQ(judgement.OverKept(from, to), std::set<int>{});  // no limit: none above it
  judgement.SetLimit(AlarmLimit{.ohms = 10});
  EXPECT_EQ(judgement.OverKept(from, to), GetParam().raised);
  judgement.SetLimit(std::nullopt);
  EXPECT_EQ(judgement.OverKept(from, to), std::set<int>{});
}

INSTANTIATE_TEST_SUITE_P(Periods, LimitJudgementOverKept,
                         ::testing::Values(PeriodCase{"both above", 0, 1, {3}},
                                           PeriodCase{"one above", 1, 2, {}},
                                           PeriodCase{"all three", 0, 2, {3}},
                                           PeriodCase{"one before the period", -5, 0, {}}),
                         test::CaseName{});

}  // namespace
}  // namespace karvello
