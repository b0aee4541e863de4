// Where a watch left its site, read from the end of the record: the last reading and the last good
// one of each quantity at each address on the watch's port, and the alarms that stood; across old
// files, past damage, and no further back than the bound.

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../record/record_rows.h"
#include "gateway/last_known.h"
#include "record/record.h"

namespace karvello::gateway {
namespace {

using record_rows::Made;

const QDateTime kStart = QDateTime::fromString("2026-12-07T18:00:00.000+08:00", Qt::ISODateWithMs);
constexpr auto kVoltage = Operation::kQueryVoltage;
constexpr auto kResistance = Operation::kQueryResistance;

// A row at `address` on `port`, `minute` minutes after kStart.
RecordRow At(int minute, int address, Operation operation, Result result,
             std::optional<Reading> value = std::nullopt, std::string port = "COM1") {
  return RowOf(Made(operation, static_cast<std::uint8_t>(address), result, "", value), port,
               kStart.addSecs(60 * minute));
}

RecordRow Alarm(int minute, int address, bool raised, std::string port = "COM1") {
  const Outcome reading = Made(kResistance, 0, Result::kAnswered, "", Reading{345, 1});
  return RowOf(AlarmChange{reading, address, raised, 20, kStart.addSecs(60 * minute)}, port);
}

// A no-answer alarm raised by a silence, or cleared by an answer.
RecordRow Silent(int minute, int address, bool raised) {
  const Outcome reading = raised ? Made(kVoltage, 0, Result::kNoReply)
                                 : Made(kVoltage, 0, Result::kAnswered, "", Reading{220});
  return RowOf(
      AlarmChange{reading, address, raised, 0, kStart.addSecs(60 * minute), AlarmKind::kNoAnswer},
      "COM1");
}

void Write(const QString& path, const std::string& text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text.data(), static_cast<qint64>(text.size()));
}

std::string Text(const std::vector<RecordRow>& rows) {
  std::string text = record_rows::kFileStart;
  for (const RecordRow& row : rows) text += CsvLine(row);
  return text;
}

class LastKnownTest : public ::testing::Test {
 protected:
  QString Path() const { return dir_.filePath(QStringLiteral("record.csv")); }
  QTemporaryDir dir_;
};

// Per address and quantity the last outcome and the last answered one; another port's rows, late
// replies and requests never sent are none of them; each address's last alarm row decides.
TEST_F(LastKnownTest, TakesTheLastOfEachOnThePortAndTheAlarmsThatStand) {
  RecordRow late = At(9, 3, kVoltage, Result::kAnswered, Reading{1});
  late.again = true;
  Write(Path(), Text({
                    Alarm(0, 3, true),
                    Alarm(0, 5, true),
                    At(1, 3, kVoltage, Result::kAnswered, Reading{219}),
                    At(2, 3, kVoltage, Result::kAnswered, Reading{220}),
                    At(3, 3, kVoltage, Result::kNoReply),
                    At(4, 3, kResistance, Result::kAnswered, Reading{345, 1}),
                    Alarm(5, 3, false),
                    At(6, 3, kVoltage, Result::kNotSent),
                    At(7, 5, kVoltage, Result::kAnswered, Reading{230}, "COM2"),
                    Alarm(7, 5, false, "COM2"),
                    At(8, 9, kVoltage, Result::kAnswered, Reading{231}),
                    Silent(9, 7, true),
                    SetAsideRow(7, true, "COM1", kStart.addSecs(540)),
                    Silent(9, 3, true),
                    Silent(10, 3, false),
                    late,
                }));

  const LastKnown known = ReadLastKnown(Path(), "COM1", {3, 5, 7}, {kVoltage, kResistance}, true);
  EXPECT_EQ(known.raised, std::set<int>{5});  // a no-answer alarm is none of them
  EXPECT_EQ(known.silent, std::set<int>{7});
  const auto& voltage3 = known.readings.at({3, Quantity::kVoltage});
  EXPECT_EQ(voltage3.lastTime, kStart.addSecs(180));
  EXPECT_EQ(voltage3.lastResult, Result::kNoReply);
  EXPECT_EQ(voltage3.lastValue, std::nullopt);
  EXPECT_EQ(voltage3.goodTime, kStart.addSecs(120));
  EXPECT_EQ(voltage3.goodValue, (Reading{220}));
  EXPECT_EQ(known.readings.at({3, Quantity::kResistance}).goodValue, (Reading{345, 1}));
  EXPECT_FALSE(known.readings.contains({5, Quantity::kVoltage}));  // only on another port
  EXPECT_FALSE(known.readings.contains({9, Quantity::kVoltage}));  // not watched
  EXPECT_EQ(known.readings.size(), 2U);

  // Without the alarm rule, no alarm; the quantities read only.
  const LastKnown voltages = ReadLastKnown(Path(), "COM1", {3}, {kVoltage}, false);
  EXPECT_EQ(voltages.raised, std::set<int>{});
  EXPECT_EQ(voltages.readings.size(), 1U);

  SiteState state("site");
  Seed(state, known);
  EXPECT_EQ(*state.Snapshot().Find(3, Quantity::kVoltage), voltage3);
}

// The newest file lacks what an old one holds: reading goes on back into it, past a damaged run
// longer than any row; and it ends at the bound, what lies before it unread.
TEST_F(LastKnownTest, ReadsBackAcrossOldFilesPastDamageToTheBound) {
  Write(Record::OldFilePath(Path(), 2), Text({Alarm(0, 7, true)}));
  Write(Record::OldFilePath(Path(), 1),
        Text({At(1, 7, kVoltage, Result::kAnswered, Reading{221})}) +
            std::string(200 * 1024, '\0') + "\r\n");
  std::vector<RecordRow> rows;
  for (int i = 0; i < 1000; ++i) rows.push_back(At(2 + i % 50, 3, kVoltage, Result::kNoReply));
  Write(Path(), Text(rows));
  const std::int64_t size = QFileInfo(Path()).size();
  const std::int64_t old1 = QFileInfo(Record::OldFilePath(Path(), 1)).size();

  const struct {
    std::int64_t bound;
    bool voltage7;
    bool alarm7;
  } cases[] = {
      {kLastKnownBound, true, true},
      {size + old1, true, false},  // the old file 1, not 2
      {size / 2, false, false},
  };
  for (const auto& c : cases) {
    const LastKnown known = ReadLastKnown(Path(), "COM1", {3, 7}, {kVoltage}, true, c.bound);
    EXPECT_EQ(known.readings.contains({7, Quantity::kVoltage}), c.voltage7) << c.bound;
    EXPECT_EQ(known.raised.contains(7), c.alarm7) << c.bound;
    EXPECT_TRUE(known.readings.contains({3, Quantity::kVoltage})) << c.bound;
  }
  EXPECT_EQ(kLastKnownBound, 40LL * 1024 * 1024);
}

// Found at the end, reading stops there: a record whose start cannot be read (a run of zeros, as a
// file with a hole reads) costs nothing when all is in its last rows.
TEST_F(LastKnownTest, StopsOnceAllIsFound) {
  Write(Path(), std::string(4 * 1024 * 1024, '\0') + "\r\n" +
                    CsvLine(At(1, 3, kVoltage, Result::kAnswered, Reading{220})) +
                    CsvLine(Alarm(2, 3, true)));
  // Had it read on, the run of zeros would be counted damaged.
  const LastKnown known = ReadLastKnown(Path(), "COM1", {3}, {kVoltage}, true);
  EXPECT_EQ(known.raised, std::set<int>{3});
  EXPECT_EQ(known.readings.size(), 1U);
  EXPECT_EQ(known.damaged, 0);
  // Asked for a quantity never read, it reads back to the start, through the zeros.
  EXPECT_GT(ReadLastKnown(Path(), "COM1", {3}, {kVoltage, kResistance}, true).damaged, 0);
}

}  // namespace
}  // namespace karvello::gateway
