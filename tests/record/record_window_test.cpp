// The main window keeps each outcome it shows in the record, on its port and at its time.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include "framing/frame_text.h"
#include "record/record.h"
#include "serial/port_map.h"
#include "support/fake_port_probe.h"
#include "support/fake_serial_line.h"
#include "ui/main_window.h"

namespace karvello {
namespace {

class RecordedWindow : public ::testing::Test {
 protected:
  // The voltage query of detector 5, answered with 220 V unless `silent`.
  void QueryVoltage(bool silent = false) {
    form_.SetAddressText("5");
    form_.findChild<QPushButton*>(QStringLiteral("queryVoltageButton"))->click();
    if (silent) form_.engine().RunOut(Operation::kQueryVoltage, Engine::Wait::kTimeout);
    if (!silent) line_.Receive({0x05, 0x03, 0x02, 0x00, 0xDC, 0x48, 0x1D});
  }
  static std::string Text(const RecordRow& row) {
    return row.port + "," + std::to_string(row.address) + "," + std::string(OperationText(row)) +
           "," + std::string(ResultText(row)) + "," + ValueText(row) + "," +
           std::string(UnitText(row)) + "," + SentText(row) + "," + HexText(row.reply);
  }
  QTemporaryDir dir_;
  FakeSerialLine line_{{3}};
  FixedPortMap ports_{{{3, "/dev/ttyS2"}}};
  FakePortProbe probe_{{3}};
  MainWindow form_{line_, ports_, probe_};
};

TEST_F(RecordedWindow, EachOutcomeShownIsAppendedOnItsPortAtItsTime) {
  Record record(dir_.filePath(QStringLiteral("record.csv")));
  form_.SetRecord(&record);
  const QDateTime before = QDateTime::currentDateTime();
  QueryVoltage();
  QueryVoltage(true);
  const QDateTime after = QDateTime::currentDateTime();
  form_.SetRecord(nullptr);  // no record: nothing more is appended
  QueryVoltage();

  const std::vector<RecordRow> rows = Record::Read(record.Path(), {}, {}, {});
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(Text(rows[0]),
            "COM3,5,voltage,answered,220,V,05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D");
  EXPECT_EQ(Text(rows[1]), "COM3,5,voltage,no-reply,,,05 03 00 0F 00 01 B5 8D,");
  for (const RecordRow& row : rows) {
    EXPECT_TRUE(row.time >= before.addMSecs(-1) && row.time <= after);
    EXPECT_EQ(row.time.offsetFromUtc(), before.offsetFromUtc());
  }
  EXPECT_EQ(form_.findChild<QMessageBox*>(), nullptr);
}

}  // namespace
}  // namespace karvello
