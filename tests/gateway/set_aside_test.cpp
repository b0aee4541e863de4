// When a detector that stops answering is read: the rounds that read it as its failures run on,
// the gap doubling up to its longest, and the first answer bringing it back to every round.

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "gateway/set_aside.h"

namespace karvello::gateway {
namespace {

using Change = AsideSchedule::Change;

struct ScheduleCase {
  const char* name;
  int after;
  int longest;
  long long answersFrom;  // the first round the detector answers; -1: never
  int perRound;           // its readings in each round it is read
  long long rounds;
  std::vector<long long> read;                       // the rounds that read it
  std::vector<std::pair<long long, Change>> changes;  // and where it was set aside or came back
};

class AsideScheduleTable : public testing::TestWithParam<ScheduleCase> {};

TEST_P(AsideScheduleTable, ReadsTheRoundsItShould) {
  const ScheduleCase& c = GetParam();
  AsideSchedule schedule(c.after, c.longest);
  std::vector<long long> read;
  std::vector<std::pair<long long, Change>> changes;
  for (long long round = 0; round < c.rounds; ++round) {
    if (!schedule.Due(round)) continue;
    read.push_back(round);
    for (int i = 0; i < c.perRound; ++i) {
      const bool answered = c.answersFrom >= 0 && round >= c.answersFrom;
      const Change change = schedule.Take(answered, round);
      if (change != Change::kNone) changes.emplace_back(round, change);
    }
  }
  EXPECT_EQ(read, c.read);
  EXPECT_EQ(changes, c.changes);
  EXPECT_EQ(schedule.Aside(), c.answersFrom < 0 || c.answersFrom >= c.rounds);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, AsideScheduleTable,
    testing::Values(
        // Set aside at the 5th failure, then read after 2, 4, 8, 16, 32, then 64 rounds.
        ScheduleCase{"Defaults", 5, 64, -1, 1, 260,
                     {0, 1, 2, 3, 4, 6, 10, 18, 34, 66, 130, 194, 258},
                     {{4, Change::kSetAside}}},
        ScheduleCase{"AfterOne", 1, 64, -1, 1, 31, {0, 2, 6, 14, 30}, {{0, Change::kSetAside}}},
        ScheduleCase{"GapCapped", 3, 4, -1, 1, 21, {0, 1, 2, 4, 8, 12, 16, 20},
                     {{2, Change::kSetAside}}},
        // The longest gap 1: set aside (and so told), yet read every round.
        ScheduleCase{"LongestOne", 2, 1, -1, 1, 5, {0, 1, 2, 3, 4}, {{1, Change::kSetAside}}},
        // Answers again at a round that reads it: back, and read every round after.
        ScheduleCase{"BackWhenItAnswers", 2, 64, 5, 1, 10, {0, 1, 3, 7, 8, 9},
                     {{1, Change::kSetAside}, {7, Change::kBack}}},
        // Two readings a round: the two failures of a round widen the gap once.
        ScheduleCase{"TwoReadingsARound", 2, 64, -1, 2, 15, {0, 2, 6, 14},
                     {{0, Change::kSetAside}}},
        // Answering before the run is long enough: never set aside.
        ScheduleCase{"AnswersInTime", 5, 64, 4, 1, 8, {0, 1, 2, 3, 4, 5, 6, 7}, {}}),
    [](const testing::TestParamInfo<ScheduleCase>& info) { return info.param.name; });

// A run broken by an answer starts again from nothing.
TEST(AsideSchedule, AnAnswerStartsTheRunAgain) {
  AsideSchedule schedule(3, 64);
  EXPECT_EQ(schedule.Take(false, 0), Change::kNone);
  EXPECT_EQ(schedule.Take(false, 1), Change::kNone);
  EXPECT_EQ(schedule.Take(true, 2), Change::kNone);
  EXPECT_EQ(schedule.Take(false, 3), Change::kNone);
  EXPECT_EQ(schedule.Take(false, 4), Change::kNone);
  EXPECT_EQ(schedule.Take(false, 5), Change::kSetAside);
  EXPECT_FALSE(schedule.Due(6));
  EXPECT_TRUE(schedule.Due(7));
}

}  // namespace
}  // namespace karvello::gateway
