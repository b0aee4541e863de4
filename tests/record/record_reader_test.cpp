// The record read in the background: one read at a time, a read overtaken or called off never
// delivered, what it reads asked for as it begins, and rows made meanwhile delivered with it.
#include "record/record_reader.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QThreadPool>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "record/record.h"
#include "support/case_names.h"
#include "support/event_loop.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using test::PrintTo;

RecordRow Reading(int address, int second) {
  RecordRow row;
  row.time = QDateTime(QDate(2026, 12, 7), QTime(10, 0, second));
  row.port = "COM1";
  row.address = address;
  row.operation = Operation::kQueryResistance;
  row.result = Result::kAnswered;
  row.value = karvello::Reading{45, 1};
  return row;
}

enum class Step { kWantA, kWantB, kWantNothing, kAsk, kCallOff, kKeepNew, kKeepOld };

struct ReaderCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::size_t> delivered;  // the rows of each delivery, in order
  int nothing;                         // the times there was nothing to read
};

class RecordReaderTest : public ::testing::TestWithParam<ReaderCase> {};

// The file: address 3 at 10:00:00 to :04, address 5 at :00 to :02. A: :00 to :04 of 3 (5
// rows); B: :02 to :04 of 3 and 5 (4 rows).
TEST_P(RecordReaderTest, DeliversTheLastReadAskedFor) {
  QTemporaryDir dir;
  const QString path = dir.filePath("record.csv");
  Record record(path);
  for (int second = 0; second < 5; ++second) ASSERT_TRUE(record.Append(Reading(3, second)));
  for (int second = 0; second < 3; ++second) ASSERT_TRUE(record.Append(Reading(5, second)));
  const QDateTime at = Reading(3, 0).time;
  const RecordReader::Request a{path, at, at.addSecs(4), {3}};
  const RecordReader::Request b{path, at.addSecs(2), at.addSecs(4), {3, 5}};

  std::optional<RecordReader::Request> wanted = a;
  RecordReader reader([&] { return wanted; });
  std::vector<std::vector<RecordRow>> delivered;
  int nothing = 0;
  reader.SetOnRead([&](std::vector<RecordRow> rows) { delivered.push_back(std::move(rows)); });
  reader.SetOnNothing([&] { ++nothing; });
  // What each step does, in the order of Step.
  const std::function<void()> act[] = {[&] { wanted = a; },
                                       [&] { wanted = b; },
                                       [&] { wanted.reset(); },
                                       [&] { reader.Ask(); },
                                       [&] { reader.CallOff(); },
                                       [&] { reader.Keep(Reading(3, 5)); },
                                       [&] { reader.Keep(Reading(3, 1)); }};
  for (const Step step : GetParam().steps) act[static_cast<int>(step)]();
  ASSERT_TRUE(testing::RunUntil([&] { return !reader.Asked(); }, 5s));
  // Every read run to its end, and what it could still deliver handled.
  QThreadPool::globalInstance()->waitForDone();
  testing::RunFor(50ms);
  std::vector<std::size_t> sizes;
  for (const std::vector<RecordRow>& rows : delivered) sizes.push_back(rows.size());
  EXPECT_EQ(sizes, GetParam().delivered);
  EXPECT_EQ(nothing, GetParam().nothing);
  for (const std::vector<RecordRow>& rows : delivered) {
    for (const RecordRow& row : rows) EXPECT_TRUE(row.address == 3 || row.address == 5);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RecordReaderTest,
    ::testing::Values(
        ReaderCase{"one read", {Step::kAsk}, {5}, 0},
        ReaderCase{"overtaken", {Step::kAsk, Step::kWantB, Step::kAsk}, {4}, 0},
        ReaderCase{"called off", {Step::kAsk, Step::kCallOff}, {}, 0},
        ReaderCase{"asked again after called off",
                   {Step::kAsk, Step::kCallOff, Step::kWantB, Step::kAsk},
                   {4},
                   0},
        ReaderCase{"rows kept meanwhile", {Step::kAsk, Step::kKeepNew, Step::kKeepOld}, {6}, 0},
        ReaderCase{"rows kept before asking", {Step::kKeepNew, Step::kAsk}, {5}, 0},
        ReaderCase{"nothing to read", {Step::kWantNothing, Step::kAsk}, {}, 1},
        ReaderCase{
            "nothing to read when it begins", {Step::kAsk, Step::kWantNothing, Step::kAsk}, {}, 1}),
    test::CaseName{});

}  // namespace
}  // namespace karvello
