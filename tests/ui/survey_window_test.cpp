// The survey window driven through its widgets: the settings it refuses, a scan of a bus of
// simulated detectors and what its table shows, measurements in turn and all at once, a stop, a
// pulled port, a close during a run, the CSV export, and a scan over a pseudo-terminal; the
// record's trend chart and the resistance limit, the settings kept, and a line's address typed in.
#include "ui/survey_window.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#ifdef Q_OS_UNIX
#include "support/file_size_limit_posix.h"
#endif

#include "record/record.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/blocked_folder.h"
#include "support/event_loop.h"
#include "support/fake_port_probe.h"
#include "support/fake_serial_line.h"
#include "support/in_memory_bus.h"
#include "ui/trend_chart.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using sim::DetectorConfig;
using sim::Fault;
using testing::At;

const QString kMeasuring = QStringLiteral("测试中...");
const QString kSucceeded = QStringLiteral("查询成功！");

// The whole of the file at `path`, empty if it cannot be read.
QByteArray Contents(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The cells of `column`, row by row.
QStringList Cells(const SurveyWindow& window, SurveyWindow::Column column) {
  QStringList cells;
  for (int row = 0; row < window.RowCount(); ++row) cells << window.Cell(row, column);
  return cells;
}

class SurveyWindowTest : public ::testing::Test {
 protected:
  SurveyWindowTest()
      : SurveyWindowTest(
            {At(3, 345, 1, 220), At(7, 1200, 2, 12), At(50, 1, 0, 1), At(200, 8, 0, 0)}) {
    bus_.Detector(2).SetFault(Fault::BadCrc());       // 50 answers corrupt
    bus_.Detector(1).SetFault(Fault::Stray({0xA5}));  // a stray byte in front of 7's replies
  }
  explicit SurveyWindowTest(const std::vector<DetectorConfig>& bus) : bus_(line_, bus) {
    SurveySettings()->clear();  // each test starts as a first run
    window_ = std::make_unique<SurveyWindow>(line_, ports_, probe_);
    window_->show();
  }

  template <typename Widget>
  Widget* Find(const char* name) {
    auto* widget = window_->findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  void Click(const char* button) { QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton); }
  void SetBox(const char* name, int value) {
    QSpinBox* box = Find<QSpinBox>(name);
    box->selectAll();
    QTest::keyClicks(box, QString::number(value));
    ASSERT_EQ(box->value(), value) << name;
  }
  bool RunUntil(const std::function<bool()>& done) {
    return bus_.Run(window_->engine(), window_->survey(), done);
  }
  // The run ended, and the record's rows read afresh at its end are shown; the guard after its
  // last time-out has passed.
  bool RunToEnd() {
    const bool ended = RunUntil([this] { return !window_->survey().Running(); });
    if (window_->engine().Guard().IsRunning()) window_->engine().RunOutGuard();
    return ended && RecordShown();
  }
  bool RecordShown() {
    return QTest::qWaitFor([this] { return !window_->ReadingRecord(); }, 5000);
  }
  QStringList Column(SurveyWindow::Column column) const { return Cells(*window_, column); }
  // Presses `button` and carries the run it starts to its end.
  void Run(const char* button) {
    Click(button);
    ASSERT_TRUE(window_->survey().Running()) << button;
    ASSERT_TRUE(RunToEnd());
  }
  void Scan() { Run("scanButton"); }
  // A record in a folder of its own kept by the window, and the scan set to addresses 1 to `to`.
  Record& UseRecord(int to, const QString& file = "record.csv") {
    record_ = std::make_unique<Record>(dir_.filePath(file));
    window_->SetRecord(record_.get());
    SetBox("toBox", to);
    return *record_;
  }
  void ExpectPortPulled() {
    EXPECT_FALSE(window_->survey().Running());
    EXPECT_TRUE(window_->Message().startsWith("串口已断开")) << window_->Message().toStdString();
    EXPECT_FALSE(testing::InMemoryBus::ExpireOne(window_->engine(), window_->survey()));
  }

  FakeSerialLine line_{{1}};
  FakePortProbe probe_{{1}};
  FixedPortMap ports_;
  testing::InMemoryBus bus_;
  QTemporaryDir dir_;
  std::unique_ptr<Record> record_;
  std::unique_ptr<SurveyWindow> window_;
};

template <typename Case>
class SurveyWindowWith : public SurveyWindowTest, public ::testing::WithParamInterface<Case> {};

// Slave and register of each request: a read of the address register (0x12) per address, in
// order, and a read of the voltage (0x0F) after each detector found.
std::vector<int> ScanHeads(const std::vector<int>& detectors) {
  std::vector<int> heads;
  for (int address = 1; address <= 255; ++address) {
    heads.push_back(address * 100 + 0x12);
    if (std::ranges::count(detectors, address) != 0) heads.push_back(address * 100 + 0x0F);
  }
  return heads;
}
template <typename Frames>
std::vector<int> Heads(const Frames& frames) {
  std::vector<int> heads;
  for (const auto& frame : frames) heads.push_back(frame[0] * 100 + frame[3]);
  return heads;
}

struct RangeCase {
  int from;
  int to;
  int wait;
  bool accepted;
  const char* says;  // a part of the message
};

using SurveyWindowRanges = SurveyWindowWith<RangeCase>;

TEST_P(SurveyWindowRanges, AreRefusedWithAMessageAndNothingSent) {
  const RangeCase& c = GetParam();
  SetBox("fromBox", c.from);
  SetBox("toBox", c.to);
  SetBox("waitBox", c.wait);
  Click("scanButton");
  EXPECT_EQ(window_->survey().Running(), c.accepted);
  EXPECT_EQ(line_.Written().empty(), !c.accepted);
  EXPECT_TRUE(window_->Message().contains(QString::fromUtf8(c.says)))
      << window_->Message().toStdString();
  if (c.accepted) {
    EXPECT_EQ(window_->engine().TimeoutOf(Operation::kReadAddress).Duration(),
              std::chrono::milliseconds(c.wait));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SurveyWindowRanges,
    ::testing::Values(RangeCase{10, 9, 100, false, "起始地址 10 大于结束地址 9"},
                      RangeCase{9, 9, 100, true, "扫描中"},
                      RangeCase{1, 255, 19, false, "等待须在 20 至 1300 ms 之间"},
                      RangeCase{1, 255, 20, true, "扫描中"},
                      RangeCase{1, 255, 1300, true, "扫描中"},
                      RangeCase{1, 255, 1301, false, "等待须在 20 至 1300 ms 之间"}));

TEST_F(SurveyWindowTest, AScanShowsEachDetectorWithItsVoltageAndTheOddReplyForWhatItIs) {
  EXPECT_EQ(window_->windowTitle(), "总线巡检");
  Scan();
  EXPECT_EQ(Column(SurveyWindow::kAddress), QStringList({"3", "7", "50", "200"}));
  EXPECT_EQ(Column(SurveyWindow::kVoltage), QStringList({"220", "12", "", "0"}));
  EXPECT_EQ(Column(SurveyWindow::kState),
            QStringList({kSucceeded, kSucceeded, "回复损坏", kSucceeded}));
  EXPECT_EQ(window_->Detectors(), (std::vector<std::uint8_t>{3, 7, 200}));
  EXPECT_EQ(window_->Message(), "扫描完成：找到 3 个检测器。");
  EXPECT_EQ(Find<QProgressBar>("progress")->value(), 255);
  EXPECT_EQ(Find<QProgressBar>("progress")->maximum(), 255);
  EXPECT_TRUE(Find<QPushButton>("scanButton")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("stopButton")->isEnabled());
  EXPECT_EQ(Heads(line_.Written()), ScanHeads({3, 7, 200}));
}

TEST_F(SurveyWindowTest, MeasuresTheDetectorsInTurnOrAllAtOnceWithTheSecondsLeftShown) {
  Scan();
  for (const bool allAtOnce : {false, true}) {
    SCOPED_TRACE(allAtOnce);
    Find<QCheckBox>("allAtOnceBox")->setChecked(allAtOnce);
    line_.ForgetCalls();
    Click("measureButton");
    bus_.Deliver();
    if (allAtOnce) {
      // Every start echoed; the one wait runs for the three, each row says so.
      RunUntil([this] { return window_->survey().MeasurementWait().IsRunning(); });
      window_->survey().PassMeasurementSecond();
      EXPECT_EQ(Column(SurveyWindow::kState),
                QStringList({kMeasuring + " 18 秒", kMeasuring + " 18 秒", "回复损坏",
                             kMeasuring + " 18 秒"}));
    } else {
      ASSERT_EQ(window_->engine().PhaseOf(Operation::kQueryResistance), Phase::kDelaying);
      window_->engine().PassSecond(Operation::kQueryResistance);
      EXPECT_EQ(window_->Cell(0, SurveyWindow::kState), kMeasuring + " 18 秒");
      EXPECT_EQ(window_->Cell(1, SurveyWindow::kState), kSucceeded);
    }
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Column(SurveyWindow::kResistance), QStringList({"34.5", "12.00", "", "8"}));
    EXPECT_EQ(window_->Message(), "测量完成。");
    // Start (write 0x11) and read (0x0D) of each in turn, or every start, then every read.
    const std::vector<int> inTurn = {317, 313, 717, 713, 20017, 20013};
    const std::vector<int> atOnce = {317, 717, 20017, 313, 713, 20013};
    EXPECT_EQ(Heads(line_.Written()), allAtOnce ? atOnce : inTurn);
    EXPECT_FALSE(window_->Cell(2, SurveyWindow::kResistanceTime).isEmpty() &&
                 window_->Cell(0, SurveyWindow::kResistanceTime).isEmpty());
  }
}

TEST_F(SurveyWindowTest, MeasuresAndReadsOnlyTheSelectedDetectors) {
  Scan();
  auto* table = Find<QTableView>("table");
  table->selectRow(1);  // address 7
  line_.ForgetCalls();
  Run("voltageButton");
  ASSERT_EQ(line_.Written().size(), 1U);
  EXPECT_EQ(line_.Written()[0][0], 7);
  EXPECT_EQ(window_->Message(), "电压查询完成。");
  // A row that is no detector is never measured, selected or not.
  table->selectRow(2);
  line_.ForgetCalls();
  Click("measureButton");
  EXPECT_TRUE(line_.Written().empty());
  EXPECT_FALSE(window_->survey().Running());
}

TEST_F(SurveyWindowTest, WithNoDetectorOrNoPortNothingIsSent) {
  Click("measureButton");
  EXPECT_EQ(window_->Message(), "表中没有检测器，请先扫描。");
  line_.Close();
  Click("scanButton");
  EXPECT_EQ(window_->Message(), "串口未打开，请选择串口。");
  EXPECT_TRUE(line_.Written().empty());
}

TEST_F(SurveyWindowTest, StopEndsTheScanAfterTheExchangeInProgress) {
  Click("scanButton");
  RunUntil([this] { return line_.Written().size() == 10; });
  Click("stopButton");
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(line_.Written().size(), 10U);
  EXPECT_EQ(window_->Message(), "已停止。");
  EXPECT_EQ(Column(SurveyWindow::kAddress), QStringList({"3", "7"}));
  EXPECT_TRUE(Find<QPushButton>("scanButton")->isEnabled());
}

TEST_F(SurveyWindowTest, APulledPortEndsTheRunAtOnceAndTheRowsKeepWhatTheyHave) {
  // Mid-scan: the detectors at 3 and 7 are found, the scan is at address 10.
  Click("scanButton");
  RunUntil([this] { return line_.Written().size() == 12; });
  line_.Pull();
  ExpectPortPulled();
  EXPECT_EQ(Column(SurveyWindow::kVoltage), QStringList({"220", "12"}));
  EXPECT_EQ(Find<QProgressBar>("progress")->value(), 9);
  EXPECT_EQ(line_.Written().size(), 12U);

  // Mid-measurement, the adapter plugged in again.
  line_.SetAvailable({1});
  ASSERT_TRUE(line_.Open(1));
  Scan();
  Click("measureButton");  // in turn: 3 measured, then 7's measurement starts
  RunUntil([this] { return window_->Cell(1, SurveyWindow::kState).startsWith(kMeasuring); });
  const std::size_t sent = line_.Written().size();
  line_.Pull();
  ExpectPortPulled();
  EXPECT_EQ(Column(SurveyWindow::kResistance), QStringList({"34.5", "", "", ""}));
  EXPECT_EQ(window_->Cell(1, SurveyWindow::kState), "查询失败！");
  EXPECT_EQ(Column(SurveyWindow::kVoltage), QStringList({"220", "12", "", "0"}));
  EXPECT_EQ(line_.Written().size(), sent);

  // All at once, in the one wait: each detector started has failed; none was stopped.
  line_.SetAvailable({1});
  ASSERT_TRUE(line_.Open(1));
  Scan();
  Find<QCheckBox>("allAtOnceBox")->setChecked(true);
  Click("measureButton");
  RunUntil([this] { return window_->survey().MeasurementWait().IsRunning(); });
  line_.Pull();
  ExpectPortPulled();
  EXPECT_EQ(Column(SurveyWindow::kState),
            QStringList({"查询失败！", "查询失败！", "回复损坏", "查询失败！"}));
  EXPECT_EQ(Column(SurveyWindow::kResistance), QStringList({"", "", "", ""}));
}

TEST_F(SurveyWindowTest, ClosingDuringARunStopsItAndNothingCallsTheWindowAfterwards) {
  Click("scanButton");
  RunUntil([this] { return line_.Written().size() == 5; });
  window_->close();
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(line_.Written().size(), 5U);
  // A run going when the window goes: its line is left alone.
  window_->show();
  Click("scanButton");
  window_.reset();
  bus_.Deliver();
  line_.Pull();
  EXPECT_EQ(line_.Written().size(), 6U);
}

TEST_F(SurveyWindowTest, ExportsTheTableAsCsvWithAByteOrderMark) {
  Scan();
  const QString path = dir_.filePath("survey.csv");
  ASSERT_TRUE(window_->ExportCsv(path));
  const QByteArray csv = Contents(path);
  ASSERT_TRUE(csv.startsWith("\xEF\xBB\xBF"));
  // Each date and time to the second as TIME.
  const QString text =
      QString::fromUtf8(csv.mid(3))
          .replace(QRegularExpression(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"), "TIME");
  EXPECT_EQ(text.toStdString(),
            "地址,电压(V),电压时间,电阻(Ω),电阻时间,状态\r\n3,220,TIME,,,查询成功！\r\n"
            "7,12,TIME,,,查询成功！\r\n50,,,,,回复损坏\r\n200,0,TIME,,,查询成功！\r\n");
  EXPECT_TRUE(window_->Message().startsWith("已导出 4 行")) << window_->Message().toStdString();
}

#ifdef Q_OS_UNIX
// Both exports write the whole file or leave the one there as it was: into a folder that is not
// there, and cut off mid-write, each fails with its message and keeps the file that an export
// before it wrote.
TEST_F(SurveyWindowTest, AFailedExportSaysSoAndKeepsTheFileThatWasThere) {
  Scan();
  const std::pair<const char*, bool (SurveyWindow::*)(const QString&)> exports[] = {
      {"table", &SurveyWindow::ExportCsv}, {"record", &SurveyWindow::ExportRecord}};
  for (const auto& [name, exportTo] : exports) {
    SCOPED_TRACE(name);
    QTemporaryDir dir;
    const QString path = dir.filePath("x.csv");
    ASSERT_TRUE((window_.get()->*exportTo)(path));
    const QByteArray kept = Contents(path);
    ASSERT_FALSE(kept.isEmpty());
    EXPECT_FALSE((window_.get()->*exportTo)(dir.filePath("no/such/folder/x.csv")));
    EXPECT_TRUE(window_->Message().startsWith("导出失败：")) << window_->Message().toStdString();

    ASSERT_TRUE((window_.get()->*exportTo)(path));
    // 32 bytes: less than the byte-order mark and either header.
    EXPECT_FALSE(testing::UnderFileSizeLimit(32, [&] { return (window_.get()->*exportTo)(path); }));
    EXPECT_TRUE(window_->Message().startsWith("导出失败：")) << window_->Message().toStdString();
    EXPECT_EQ(Contents(path), kept);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"x.csv"});
  }
}
#endif

TEST_F(SurveyWindowTest, ThePortListIsMadeAfreshWhenOpenedAndKeepsThePortInUse) {
  auto* list = Find<QComboBox>("portList");
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->currentText(), "COM1");
  probe_.SetOpening({3, 4});
  list->showPopup();
  QStringList shown;
  for (int i = 0; i < list->count(); ++i) shown << list->itemText(i);
  EXPECT_EQ(shown, QStringList({"COM1", "COM3", "COM4"}));
  EXPECT_EQ(list->currentText(), "COM1");
  list->hidePopup();
}

// Over a pseudo-terminal, a simulated bus of detectors at 3, 7 and 200, a stray byte in front
// of 7's replies and a corrupt reply at 50: the scan finds exactly 3, 7 and 200 with their
// voltages and shows 50 as corrupt; the bus took one read per address, in order.
TEST(SurveyWindowOnPty, ScansTheBusOfDetectors) {
  sim::SimulatedDetector bus(
      {At(3, 345, 1, 220), At(7, 1280, 2, 218), At(50, 1, 0, 1), At(200, 52, 1, 221)}, {});
  ASSERT_EQ(bus.SetFault(7, Fault::Stray({0xA5})), 1U);
  ASSERT_EQ(bus.SetFault(50, Fault::BadCrc()), 1U);
  FixedPortMap ports({{1, bus.SlavePath()}});
  QtSerialLine line(ports);
  FakePortProbe probe({1});
  SurveyWindow window(line, ports, probe);
  ASSERT_TRUE(line.IsOpen());
  window.findChild<QSpinBox*>("waitBox")->setValue(20);
  QTest::mouseClick(window.findChild<QPushButton*>("scanButton"), Qt::LeftButton);
  ASSERT_TRUE(testing::RunUntil([&] { return !window.survey().Running(); }, 30s));
  EXPECT_EQ(window.Message(), "扫描完成：找到 3 个检测器。");
  EXPECT_EQ(Cells(window, SurveyWindow::kAddress), QStringList({"3", "7", "50", "200"}));
  EXPECT_EQ(Cells(window, SurveyWindow::kVoltage), QStringList({"220", "218", "", "221"}));
  EXPECT_EQ(Cells(window, SurveyWindow::kState),
            QStringList({kSucceeded, kSucceeded, "回复损坏", kSucceeded}));
  std::vector<std::vector<std::uint8_t>> requests;
  for (const auto& exchange : bus.ExchangesSince(0).exchanges) requests.push_back(exchange.request);
  EXPECT_EQ(Heads(requests), ScanHeads({3, 7, 200}));
}

// Every outcome of the window goes into the record; the window shows the record's rows of the
// period chosen for the detectors in its table, and exports them.
TEST_F(SurveyWindowTest, KeepsEveryOutcomeInTheRecordAndShowsAndExportsAPeriodOfIt) {
  Record& record = UseRecord(60);
  Scan();
  Run("measureButton");
  // 60 address reads, 2 voltages (3 and 7), 2 measurements.
  const auto all = Record::Read(record.Path(), {}, {}, {});
  ASSERT_EQ(all.size(), 64U);
  EXPECT_TRUE(Contents(record.Path()).startsWith("\xEF\xBB\xBF"));

  const std::vector<RecordRow> shown = window_->RecordRows();
  ASSERT_EQ(window_->RecordRowCount(), static_cast<int>(shown.size()));
  QStringList rows;
  for (const RecordRow& row : shown) {
    // (The record writes no value for the survey's read of the address register.)
    const std::string value = row.operation == Operation::kReadAddress
                                  ? ""
                                  : " " + ValueText(row) + std::string(UnitText(row));
    rows << QString::fromStdString(row.port + " " + std::to_string(row.address) + " " +
                                   std::string(OperationText(row)) + " " +
                                   std::string(ResultText(row)) + value);
  }
  // The table's detectors only: 50, corrupt, is no detector.
  EXPECT_EQ(rows,
            QStringList({"COM1 3 read-address answered", "COM1 3 voltage answered 220V",
                         "COM1 7 read-address answered", "COM1 7 voltage answered 12V",
                         "COM1 3 resistance answered 34.5Ω", "COM1 7 resistance answered 12.00Ω"}));

  const QString path = dir_.filePath("period.csv");
  ASSERT_TRUE(window_->ExportRecord(path));
  EXPECT_TRUE(Contents(path).startsWith(QByteArray("\xEF\xBB\xBF") + kRecordHeader.data()));
  EXPECT_EQ(Record::Read(path, {}, {}, {}), shown);
  // A period that ends before the runs holds none of them.
  const QDateTime earlier = QDateTime::currentDateTime().addSecs(-3600);
  window_->SetRecordPeriod(earlier.addDays(-1), earlier);
  window_->ShowRecord();
  EXPECT_EQ(window_->RecordRowCount(), 0);
  ASSERT_TRUE(window_->ExportRecord(path));
  EXPECT_TRUE(Record::Read(path, {}, {}, {}).empty());
}

// A record that cannot be written is told in the message line, after the run's message, in
// Chinese with its reason, and the survey goes on; no box comes over the table. Each outage is
// told again, and its end with the rows it cost.
TEST_F(SurveyWindowTest, EachOutageOfTheRecordIsToldInTheMessageLineWithTheRowsNotKept) {
  Record& record = UseRecord(10, "data/record.csv");
  const QString folder = dir_.filePath("data");
  const QString found = "扫描完成：找到 2 个检测器。";
  const QString failed =
      found + " 无法写入记录文件：" + QDir::toNativeSeparators(record.Path()) + "（";
  const QString again = found + " 记录文件又可写入：" + QDir::toNativeSeparators(record.Path()) +
                        "其间 %1 行结果未记入记录。";
  for (int outage = 0; outage < 2; ++outage) {
    SCOPED_TRACE(outage);
    ASSERT_TRUE(testing::BlockFolder(folder));
    for (int scan = 0; scan <= outage; ++scan) {
      Scan();
      EXPECT_TRUE(window_->Message().startsWith(failed)) << window_->Message().toStdString();
      EXPECT_TRUE(window_->Message().endsWith("）操作照常进行，但结果未记入记录。"));
      EXPECT_TRUE(record.Failed());
    }
    ASSERT_TRUE(testing::UnblockFolder(folder));
    Scan();
    // A scan of ten addresses: ten reads of the address and the two detectors' voltages.
    EXPECT_EQ(window_->Message().toStdString(), again.arg(12 * (outage + 1)).toStdString());
    Scan();
    EXPECT_EQ(window_->Message(), found);
  }
  EXPECT_TRUE(window_->findChildren<QMessageBox*>("recordWarning").empty());
}

// The chart draws the record's readings of the period for the selected detectors, and a reading
// appears on it as it is made, before the run ends.
TEST_F(SurveyWindowTest, TheChartDrawsTheRecordsReadingsAndFollowsEachNewOne) {
  UseRecord(10);
  Scan();
  const TrendChart& chart = window_->chart();
  const auto addresses = [&chart](Quantity quantity) {
    std::vector<int> shown;
    for (const trend::Series& series : chart.series(quantity)) shown.push_back(series.address);
    return shown;
  };
  EXPECT_EQ(addresses(Quantity::kVoltage), (std::vector<int>{3, 7}));
  EXPECT_TRUE(chart.series(Quantity::kResistance).empty());

  const int before = window_->RecordRowCount();
  Click("measureButton");  // in turn: 3, then 7
  ASSERT_TRUE(RunUntil([this] { return !window_->Cell(0, SurveyWindow::kResistance).isEmpty(); }));
  ASSERT_TRUE(window_->survey().Running());
  // The record's table follows too, with what a read of the period gives.
  EXPECT_GT(window_->RecordRowCount(), before);
  EXPECT_EQ(window_->RecordRowCount(), static_cast<int>(window_->RecordRows().size()));
  ASSERT_EQ(chart.series(Quantity::kResistance).size(), 1U);
  EXPECT_EQ(chart.series(Quantity::kResistance)[0].address, 3);
  ASSERT_EQ(chart.series(Quantity::kResistance)[0].points.size(), 1U);
  EXPECT_EQ(chart.series(Quantity::kResistance)[0].points[0].value, 34.5);
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(addresses(Quantity::kResistance), (std::vector<int>{3, 7}));

  // A selected row: its detector alone, and its new readings alone.
  Find<QTableView>("table")->selectRow(1);
  EXPECT_EQ(addresses(Quantity::kVoltage), (std::vector<int>{7}));
  Run("voltageButton");
  ASSERT_EQ(chart.series(Quantity::kVoltage).size(), 1U);
  EXPECT_EQ(chart.series(Quantity::kVoltage)[0].points.size(), 2U);
}

// Detectors reading at, just above and over the range of the limits offered.
class SurveyWindowLimits : public SurveyWindowTest {
 protected:
  SurveyWindowLimits()
      : SurveyWindowTest(
            {At(3, 100, 1, 220), At(7, 1001, 2, 220), At(9, 0, 3, 220), At(11, 4, 0, 220)}) {}
  void SetLimit(const QString& text) {
    auto* box = Find<QComboBox>("limitBox");
    box->setEditText(text);
    ASSERT_EQ(box->currentText(), text);
  }
  // The detectors above the limit, as said and as the rows are marked.
  void ExpectAbove(const std::vector<std::uint8_t>& above) {
    EXPECT_EQ(window_->AboveLimit(), above);
    std::vector<std::uint8_t> marked;
    for (int row = 0; row < window_->RowCount(); ++row) {
      if (window_->RowMarked(row)) {
        marked.push_back(
            static_cast<std::uint8_t>(window_->Cell(row, SurveyWindow::kAddress).toInt()));
      }
    }
    EXPECT_EQ(marked, above) << "marked";
  }
};

struct LimitCase {
  const char* limit;
  std::vector<std::uint8_t> above;  // of 3 (10.0 Ω), 7 (10.01 Ω), 9 (OL), 11 (4 Ω)
  const char* says;
};

TEST_F(SurveyWindowLimits, MarkTheRowsAboveTheLimitAndCountThem) {
  Scan();
  // Two readings each: the rule marks a detector after two in a row above the limit.
  Run("measureButton");
  Run("measureButton");
  ASSERT_EQ(Column(SurveyWindow::kResistance), QStringList({"10.0", "10.01", "OL", "4"}));
  EXPECT_EQ(Find<QComboBox>("limitBox")->currentText(), "");  // none until one is chosen
  const LimitCase cases[] = {
      {"10", {7, 9}, "2 个检测器的接地电阻高于上限 10 Ω。"},
      {"10.01", {9}, "1 个检测器的接地电阻高于上限 10.01 Ω。"},
      {"4", {3, 7, 9}, "3 个检测器的接地电阻高于上限 4 Ω。"},
      {"3.99", {3, 7, 9, 11}, "4 个检测器的接地电阻高于上限 3.99 Ω。"},
      {"0.01", {3, 7, 9, 11}, "4 个检测器的接地电阻高于上限 0.01 Ω。"},
      {"0", {3, 7, 9, 11}, "4 个检测器的接地电阻高于上限 0 Ω。"},
      {"3.999", {}, "接地电阻上限须为至多两位小数的欧姆数，未设上限。"},
      {"-1", {}, "接地电阻上限须为至多两位小数的欧姆数，未设上限。"},
      {"四", {}, "接地电阻上限须为至多两位小数的欧姆数，未设上限。"},
      {"", {}, nullptr},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.limit);
    SetLimit(QString::fromUtf8(c.limit));
    ExpectAbove(c.above);
    if (c.says != nullptr) {
      EXPECT_EQ(window_->Message(), QString::fromUtf8(c.says));
    }
    EXPECT_EQ(window_->Limit().has_value(), !c.above.empty());
  }
  // The count comes with the end of a measurement too.
  SetLimit("10");
  Run("measureButton");
  EXPECT_EQ(window_->Message(), "测量完成。2 个检测器的接地电阻高于上限 10 Ω。");
  // The limits offered.
  auto* box = Find<QComboBox>("limitBox");
  QStringList offered;
  for (int i = 0; i < box->count(); ++i) offered << box->itemText(i);
  EXPECT_EQ(offered, QStringList({"", "1", "4", "10"}));
}

// With a record, the rule takes the period's readings from it: a reading above the limit made an
// hour ago and one above it now are two in a row.
TEST_F(SurveyWindowLimits, TheRuleTakesThePeriodsReadingsFromTheRecord) {
  QTemporaryDir dir;
  Record record(dir.filePath("record.csv"));
  const QDateTime hourAgo = QDateTime::currentDateTime().addSecs(-3600);
  for (const auto& [address, value] :
       std::vector<std::pair<int, std::string>>{{3, "11"}, {7, "10.5"}, {11, "12"}}) {
    RecordRow row;
    row.time = hourAgo;
    row.port = "COM1";
    row.address = address;
    row.operation = Operation::kQueryResistance;
    row.value = ReadingOf(value);
    ASSERT_TRUE(record.Append(row));
  }
  window_->SetRecord(&record);
  Scan();
  Run("measureButton");  // 3 equal to the limit, 7 above, 9 over range once, 11 below
  SetLimit("10");
  ExpectAbove({7});
  EXPECT_EQ(window_->Message(), "1 个检测器的接地电阻高于上限 10 Ω。");
  Run("measureButton");
  EXPECT_EQ(window_->Message(), "测量完成。2 个检测器的接地电阻高于上限 10 Ω。");
  ExpectAbove({7, 9});
  // A period that begins after the reading of an hour ago: 7 has two readings above still.
  window_->SetRecordPeriod(hourAgo.addSecs(60), QDateTime::currentDateTime().addDays(1));
  ASSERT_TRUE(RecordShown());
  ExpectAbove({7, 9});
}

// The readings in a row that mark a detector and clear its mark: 2 at first, 1 to 9; they, the
// limit and the record's period are kept for the next window.
TEST_F(SurveyWindowLimits, TheReadingsInARowAreChosenAndKeptForTheNextWindow) {
  auto* after = Find<QSpinBox>("alarmAfterBox");
  EXPECT_EQ(after->value(), 2);
  after->setValue(0);
  EXPECT_EQ(after->value(), 1);
  after->setValue(9);
  EXPECT_EQ(after->value(), 9);
  after->setValue(10);
  EXPECT_EQ(after->value(), 9);
  after->setValue(2);
  Scan();
  Run("measureButton");
  SetLimit("10");
  ExpectAbove({});
  EXPECT_EQ(window_->Message(), "0 个检测器的接地电阻高于上限 10 Ω。");
  after->setValue(1);
  ExpectAbove({7, 9});
  EXPECT_EQ(window_->Message(), "2 个检测器的接地电阻高于上限 10 Ω。");
  Run("measureButton");
  after->setValue(3);
  ExpectAbove({});
  after->setValue(2);
  ExpectAbove({7, 9});
  after->setValue(3);
  SetLimit("4");
  const QDateTime from(QDate(2026, 11, 2), QTime(8, 30));
  const QDateTime to(QDate(2026, 12, 1), QTime(17, 45));
  window_->SetRecordPeriod(from, to);
  window_.reset();
  SurveyWindow next(line_, ports_, probe_);
  EXPECT_EQ(next.findChild<QSpinBox*>("alarmAfterBox")->value(), 3);
  EXPECT_EQ(next.findChild<QComboBox*>("limitBox")->currentText(), "4");
  EXPECT_EQ(next.Limit(), 4.0);
  EXPECT_EQ(next.findChild<QDateTimeEdit*>("recordFrom")->dateTime(), from);
  EXPECT_EQ(next.findChild<QDateTimeEdit*>("recordTo")->dateTime(), to);
}

TEST_F(SurveyWindowTest, ExportsTheChartAsAPngAtItsSizeOnScreenOrLarger) {
  UseRecord(10);
  Scan();
  const QSize shown = window_->chart().size();
  ASSERT_TRUE(window_->ExportChart(dir_.filePath("chart.png")));
  EXPECT_EQ(QImage(dir_.filePath("chart.png")).size(), shown);
  EXPECT_EQ(window_->Message(), "已导出图表到 " + dir_.filePath("chart.png"));
  ASSERT_TRUE(window_->ExportChart(dir_.filePath("large.png"), shown * 2));
  EXPECT_EQ(QImage(dir_.filePath("large.png")).size(), shown * 2);
  // Smaller than on screen: at the size on screen.
  ASSERT_TRUE(window_->ExportChart(dir_.filePath("small.png"), shown / 2));
  EXPECT_EQ(QImage(dir_.filePath("small.png")).size(), shown);
  EXPECT_FALSE(window_->ExportChart(dir_.filePath("no/such/folder/chart.png")));
  EXPECT_TRUE(window_->Message().startsWith("导出图表失败：")) << window_->Message().toStdString();
}

struct AddressCase {
  const char* typed;
  bool opens;
  const char* says;  // the start of the message
};

using SurveyWindowAddresses = SurveyWindowWith<AddressCase>;

// A bad address typed into the port box is refused and leaves the line as it was; nothing is sent.
TEST_P(SurveyWindowAddresses, AreOpenedOrRefusedWithAMessage) {
  const AddressCase& c = GetParam();
  line_.SetAvailable({1, 5});
  line_.SetOpening({"rtu+tcp://127.0.0.1:4001"});
  auto* box = Find<QComboBox>("portList");
  ASSERT_TRUE(box->isEditable());
  box->lineEdit()->selectAll();
  QTest::keyClicks(box->lineEdit(), QString::fromUtf8(c.typed));
  QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  EXPECT_TRUE(window_->Message().startsWith(QString::fromUtf8(c.says)))
      << window_->Message().toStdString();
  EXPECT_TRUE(line_.Written().empty());
  if (c.opens) {
    EXPECT_EQ(line_.Name(), c.typed);
    // The list made afresh leaves the line and its name in the box.
    box->showPopup();
    box->hidePopup();
    EXPECT_EQ(box->currentText(), c.typed);
    EXPECT_EQ(line_.Name(), c.typed);
  } else if (std::string(c.says).starts_with("线路地址无效")) {
    EXPECT_EQ(line_.Port(), 1);  // untouched
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SurveyWindowAddresses,
    ::testing::Values(
        AddressCase{"COM5", true, "已打开 COM5"},
        AddressCase{"COM257", false, "线路地址无效，未打开：ports are COM1 to COM256"},
        AddressCase{"rtu+tcp://127.0.0.1:4001", true, "已打开 rtu+tcp://127.0.0.1:4001"},
        AddressCase{"rtu+tcp://10.0.0.7", false, "线路地址无效"},
        AddressCase{"ftp://10.0.0.7", false, "线路地址无效"},
        AddressCase{"serial3", false, "线路地址无效"},
        // This line carries no network line: refused as it opens.
        AddressCase{"tcp://127.0.0.1:1502", false, "无法打开 tcp://127.0.0.1:1502"}));

// 查看记录 reads on another thread while the window goes on, and tells the rows read.
TEST_F(SurveyWindowTest, TheRecordIsReadInTheBackgroundAndItsRowsTold) {
  UseRecord(10);
  Scan();
  const int rows = window_->RecordRowCount();
  ASSERT_GT(rows, 0);
  window_->SetRecordPeriod(QDateTime::currentDateTime().addDays(-1),
                           QDateTime::currentDateTime().addDays(1));
  Click("showRecordButton");
  EXPECT_TRUE(window_->ReadingRecord());
  EXPECT_EQ(window_->Message(), "正在读取记录 ...");
  ASSERT_TRUE(RecordShown());
  EXPECT_EQ(window_->RecordRowCount(), rows);
  EXPECT_EQ(window_->Message(), QStringLiteral("记录 %1 行。").arg(rows));
  // A read overtaken by another is not shown.
  Click("showRecordButton");
  window_->SetRecordPeriod(QDateTime::currentDateTime().addDays(-3),
                           QDateTime::currentDateTime().addDays(-2));
  window_->ShowRecord();
  EXPECT_FALSE(window_->ReadingRecord());
  QTest::qWait(200);
  EXPECT_EQ(window_->RecordRowCount(), 0);
}

// The record's view and the chart follow a change of period by themselves, read off the window's
// thread as at the end of each run; a reading made during such a read is shown with it.
TEST_F(SurveyWindowTest, TheRecordFollowsAChangeOfPeriodAndLosesNoReadingMadeMeanwhile) {
  UseRecord(10);
  Click("scanButton");
  ASSERT_TRUE(RunUntil([this] { return !window_->survey().Running(); }));
  EXPECT_TRUE(window_->ReadingRecord());  // the end of the run reads in the background
  ASSERT_TRUE(RecordShown());
  const int rows = window_->RecordRowCount();
  ASSERT_EQ(rows, static_cast<int>(window_->RecordRows().size()));
  ASSERT_GT(rows, 0);
  const TrendChart& chart = window_->chart();
  ASSERT_EQ(chart.series(Quantity::kVoltage).size(), 2U);

  // A period that ends an hour ago: nothing in the view nor on the chart, no button pressed.
  auto* from = Find<QDateTimeEdit>("recordFrom");
  auto* to = Find<QDateTimeEdit>("recordTo");
  const QDateTime now = QDateTime::currentDateTime();
  to->setDateTime(now.addSecs(-3600));
  EXPECT_TRUE(window_->ReadingRecord());
  ASSERT_TRUE(RecordShown());
  EXPECT_EQ(window_->RecordRowCount(), 0);
  EXPECT_TRUE(chart.series(Quantity::kVoltage).empty());

  // Two changes in a row: the second read is the one shown.
  from->setDateTime(now.addDays(-2));
  to->setDateTime(now.addDays(1));
  ASSERT_TRUE(RecordShown());
  EXPECT_EQ(window_->RecordRowCount(), rows);
  EXPECT_EQ(chart.series(Quantity::kVoltage).size(), 2U);

  // A read done but not yet shown when the first measurement starts: that row is shown with it.
  to->setDateTime(now.addDays(2));
  QThreadPool::globalInstance()->waitForDone();
  Click("measureButton");
  ASSERT_TRUE(RunUntil([&] { return window_->RecordRowCount() > rows; }));
  ASSERT_TRUE(RecordShown());
  EXPECT_EQ(window_->RecordRowCount(), rows + 1);
  EXPECT_EQ(window_->RecordRowCount(), static_cast<int>(window_->RecordRows().size()));
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(chart.series(Quantity::kResistance).size(), 2U);
  EXPECT_EQ(window_->RecordRowCount(), static_cast<int>(window_->RecordRows().size()));

  // A scan that begins while a read waits for the one before: the table has no detector left,
  // and no address's rows are shown for it.
  from->setDateTime(now.addDays(-3));
  to->setDateTime(now.addDays(3));
  Click("scanButton");
  ASSERT_TRUE(RecordShown());
  EXPECT_EQ(window_->RecordRowCount(), 0);
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(window_->RecordRowCount(), static_cast<int>(window_->RecordRows().size()));
}

}  // namespace
}  // namespace karvello
