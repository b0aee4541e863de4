// The main window keeps each outcome it shows in the record, and warns once, working on, when
// the record cannot be written.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include "record/record.h"
#include "serial/port_map.h"
#include "support/fake_port_probe.h"
#include "support/fake_serial_line.h"
#include "ui/main_window.h"

namespace karvello {
namespace {

class RecordedWindow : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(line_.Port(), 3); }

  // The voltage query of detector 5, answered with 220 V.
  void QueryVoltage() {
    form_.SetAddressText("5");
    form_.findChild<QPushButton*>(QStringLiteral("queryVoltageButton"))->click();
    line_.Receive({0x05, 0x03, 0x02, 0x00, 0xDC, 0x48, 0x1D});
  }
  QList<QMessageBox*> Warnings() const {
    return form_.findChildren<QMessageBox*>(QStringLiteral("recordWarning"));
  }

  QTemporaryDir dir_;
  FakeSerialLine line_{{3}};
  FixedPortMap ports_{{{3, "/dev/ttyS2"}}};
  FakePortProbe probe_{{3}};
  MainWindow form_{line_, ports_, probe_};
};

TEST_F(RecordedWindow, EachOutcomeShownIsAppendedOnItsPort) {
  Record record(dir_.filePath(QStringLiteral("record.csv")));
  form_.SetRecord(&record);
  const QDateTime before = QDateTime::currentDateTime();
  QueryVoltage();
  form_.findChild<QPushButton*>(QStringLiteral("queryVoltageButton"))->click();
  form_.engine().TimeoutOf(Operation::kQueryVoltage).Expire();
  const QDateTime after = QDateTime::currentDateTime();

  const std::vector<RecordRow> rows = Record::Read(record.Path(), {}, {}, {});
  ASSERT_EQ(rows.size(), 2U);
  for (const RecordRow& row : rows) {
    EXPECT_EQ(row.port, "COM3");
    EXPECT_EQ(row.address, 5);
    EXPECT_EQ(row.operation, "voltage");
    EXPECT_EQ(row.sent, "05 03 00 0F 00 01 B5 8D");
    EXPECT_TRUE(row.time >= before.addMSecs(-1) && row.time <= after.addMSecs(1));
    EXPECT_EQ(row.time.offsetFromUtc(), before.offsetFromUtc());
  }
  EXPECT_EQ((std::vector<std::string>{rows[0].result, rows[0].value, rows[0].unit, rows[0].reply}),
            (std::vector<std::string>{"answered", "220", "V", "05 03 02 00 DC 48 1D"}));
  EXPECT_EQ((std::vector<std::string>{rows[1].result, rows[1].value, rows[1].reply}),
            (std::vector<std::string>{"no-reply", "", ""}));
  EXPECT_TRUE(Warnings().empty());

  form_.SetRecord(nullptr);  // no record: nothing more is appended
  QueryVoltage();
  EXPECT_EQ(Record::Read(record.Path(), {}, {}, {}).size(), 2U);
}

// The folder is a regular file, which root cannot write under either.
TEST_F(RecordedWindow, ARecordThatCannotBeWrittenWarnsOnceAndTheOperationsGoOn) {
  {
    QFile file(dir_.filePath(QStringLiteral("file.txt")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  Record record(dir_.filePath(QStringLiteral("file.txt/record.csv")));
  form_.SetRecord(&record);
  for (int i = 0; i < 3; ++i) {
    form_.SetLogText("");
    QueryVoltage();
    EXPECT_NE(form_.LogText().find("电压 = 220伏"), std::string::npos) << form_.LogText();
  }
  const auto warnings = Warnings();
  ASSERT_EQ(warnings.size(), 1U);
  EXPECT_TRUE(warnings[0]->text().contains(QStringLiteral("无法写入记录文件")));
  EXPECT_TRUE(warnings[0]->text().contains(QStringLiteral("file.txt")));
  EXPECT_FALSE(warnings[0]->isModal());
}

}  // namespace
}  // namespace karvello
