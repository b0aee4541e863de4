// The window a user sees, on a real X display (Xvfb): the pointer clicks the buttons through
// the X server (xdotool), a simulated detector answers on a pseudo-terminal at COM1, and a
// screenshot of the window is kept with the build for the record. The survey window, with a bus
// of three detectors scanned and measured, is kept the same way, and with a month of their
// readings in the record and one detector over the resistance limit.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <string>

#include "record/record.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/child_program.h"
#include "support/fake_port_probe.h"
#include "support/fake_serial_line.h"
#include "support/in_memory_bus.h"
#include "support/screenshot.h"
#include "support/sim_process.h"
#include "ui/main_window.h"
#include "ui/survey_window.h"
#include "ui/trend_chart.h"

namespace karvello {
namespace {

// Moves the pointer onto the middle of `widget` and presses and releases the left button.
void ClickWithPointer(const QWidget& widget) {
  const QPoint at = widget.mapToGlobal(widget.rect().center());
  testing::ChildProgram xdotool(
      QStringLiteral(XDOTOOL_EXECUTABLE),
      {"mousemove", "--sync", QString::number(at.x()), QString::number(at.y()), "click", "1"});
  ASSERT_EQ(xdotool.Finish(), 0) << "xdotool: " << xdotool.Err().toStdString();
}

// The survey's button pressed with the pointer, and the run it starts carried to its end on `bus`,
// or without one on the real clock.
void RunWithPointer(SurveyWindow& window, testing::InMemoryBus* bus, const char* button) {
  ClickWithPointer(*window.findChild<QPushButton*>(button));
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.survey().Running(); }, 3000))
      << window.Message().toStdString();
  const auto ended = [&] { return !window.survey().Running(); };
  ASSERT_TRUE(bus != nullptr ? bus->Run(window.engine(), window.survey(), ended)
                             : QTest::qWaitFor(ended, 20000));
}

// The pixels of `widget` as the X server holds them.
QImage OnScreen(const QWidget& widget) {
  const QWidget& window = *widget.window();
  const QPoint at = widget.mapTo(&window, QPoint(0, 0));
  return window.screen()
      ->grabWindow(window.winId(), at.x(), at.y(), widget.width(), widget.height())
      .toImage()
      .convertToFormat(QImage::Format_RGB32);
}

// A survey window shown at 860 x 600, keeping its record in a folder of its own.
struct ShownWithRecord {
  ShownWithRecord(SerialLine& line, PortMap& ports, PortProbe& probe) : window(line, ports, probe) {
    window.SetRecord(&record);
    window.resize(860, 600);
    window.show();
  }
  QTemporaryDir dir;
  Record record{dir.filePath("record.csv")};
  SurveyWindow window;
};

int DifferingPixels(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return a.width() * a.height();
  int count = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) count += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
  }
  return count;
}

TEST(MainWindowOnScreen, PointerClicksQueryTheDetectorAndTheCaptionsShowAsGlyphs) {
  ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "run under xvfb-run";

  sim::SimulatedDetector detector(testing::At(5, 345, 1, 220));
  FixedPortMap ports({{1, detector.SlavePath()}});
  QtSerialLine line(ports);
  MainWindow form(line, ports);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  // With no window manager on the display, nothing else gives the window the keyboard.
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  EXPECT_TRUE(form.findChild<QLineEdit*>("addressBox")->hasFocus());

  auto* list = form.findChild<QComboBox*>("portList");
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->currentText(), "COM1");
  EXPECT_EQ(list->itemData(0, Qt::ToolTipRole).toString().toStdString(), detector.SlavePath());
  ASSERT_TRUE(line.IsOpen());

  // Query address: the broadcast read finds the detector at 5, which goes into the address box.
  ClickWithPointer(*form.findChild<QPushButton*>("queryAddressButton"));
  const std::string addressLog =
      "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：05 03 02 00 05 89 87\r\n地址：5";
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.LogText() == addressLog; }, 3000))
      << form.LogText();
  EXPECT_EQ(form.findChild<QLineEdit*>("addressBox")->text(), "5");

  // Query voltage from the address found.
  ClickWithPointer(*form.findChild<QPushButton*>("queryVoltageButton"));
  const std::string voltageLog =
      "查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 00 DC 48 1D\r\n电压 = 220伏";
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.LogText() == voltageLog; }, 3000))
      << form.LogText();
  ASSERT_EQ(detector.ExchangeCount(), 2U);

  // A picture of the window once the last report reached the screen.
  EXPECT_EQ(testing::Screenshot(form, "main_window.png"), "");

  // Every Chinese caption is drawn from a face that has its characters...
  const QStringList song = {"宋体", "SimSun", "AR PL UMing CN", "AR PL UMing", "Noto Serif CJK SC"};
  for (const char* name : {"addressLabel", "portLabel", "setAddressButton", "queryAddressButton",
                           "queryResistanceButton", "queryVoltageButton"}) {
    auto* widget = form.findChild<QWidget*>(name);
    const QString caption = widget->property("text").toString();
    const QFontInfo resolved(widget->font());
    EXPECT_TRUE(song.contains(resolved.family()))
        << name << ": " << resolved.family().toStdString();
    const QFontMetrics metrics(widget->font());
    for (const QChar c : caption)
      EXPECT_TRUE(metrics.inFont(c)) << name << " U+" << static_cast<int>(c.unicode());
  }
  // ... and the label on screen is not the row of boxes that characters without a glyph give.
  auto* label = form.findChild<QLabel*>("addressLabel");
  QLabel boxes;
  boxes.setFont(label->font());
  boxes.setText(QString(4, QChar(0x0378)) + ":");  // no face has a glyph for U+0378
  boxes.setFixedSize(label->size());
  const QImage shown = OnScreen(*label);
  const QImage rendered = label->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QImage boxed = boxes.grab().toImage().convertToFormat(QImage::Format_RGB32);
  boxed.save(testing::ArtifactDir() + "/address_label_as_boxes.png");
  shown.save(testing::ArtifactDir() + "/address_label_on_screen.png");
  EXPECT_EQ(DifferingPixels(shown, rendered), 0);  // the screen shows what the label paints
  EXPECT_GT(DifferingPixels(shown, boxed), shown.width() * shown.height() / 20);
}

// Three detectors found and measured all at once, on an in-memory line whose time is run out
// rather than waited for; the picture is the one the README shows.
TEST(SurveyWindowOnScreen, ThreeDetectorsScannedAndMeasured) {
  ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "run under xvfb-run";
  FakeSerialLine line({1});
  FakePortProbe probe({1});
  FixedPortMap ports({{1, "/dev/ttyUSB0"}});
  testing::InMemoryBus detectors(line, {testing::At(3, 345, 1, 220), testing::At(7, 1280, 2, 218),
                                        testing::At(200, 52, 1, 221)});
  ShownWithRecord shown(line, ports, probe);
  SurveyWindow& window = shown.window;
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  RunWithPointer(window, &detectors, "scanButton");
  ASSERT_EQ(window.Detectors(), (std::vector<std::uint8_t>{3, 7, 200}));
  window.findChild<QCheckBox*>("allAtOnceBox")->setChecked(true);
  RunWithPointer(window, &detectors, "measureButton");
  EXPECT_EQ(window.Cell(1, SurveyWindow::kResistance), "12.80");

  EXPECT_EQ(testing::Screenshot(window, "survey_window.png"), "");
}

// A bus behind a transparent serial server: the simulator serves RTU over TCP, the address is
// typed into the port box, and the detectors are scanned over the network on the real line and
// the real clock. The picture is the one the README shows under "Over the network".
TEST(SurveyWindowOnScreen, ScannedOverATransparentSerialServer) {
  ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "run under xvfb-run";
  testing::SimProcess sim({"--bus", "3,7", "--listen", "127.0.0.1:0"});
  const QString address = QString::fromStdString(sim.Path());
  ASSERT_TRUE(address.startsWith("rtu+tcp://127.0.0.1:")) << sim.Path();
  FixedPortMap ports;
  FakePortProbe probe;
  QtSerialLine line(ports);
  ShownWithRecord shown(line, ports, probe);
  SurveyWindow& window = shown.window;
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  auto* box = window.findChild<QComboBox*>("portList");
  box->lineEdit()->selectAll();
  QTest::keyClicks(box->lineEdit(), address);
  QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  ASSERT_TRUE(line.IsOpen()) << window.Message().toStdString();
  EXPECT_EQ(QString::fromStdString(line.Name()), address);
  window.findChild<QSpinBox*>("fromBox")->setValue(1);
  window.findChild<QSpinBox*>("toBox")->setValue(10);
  RunWithPointer(window, nullptr, "scanButton");
  EXPECT_EQ(window.Detectors(), (std::vector<std::uint8_t>{3, 7}))
      << window.Message().toStdString();
  RunWithPointer(window, nullptr, "voltageButton");
  EXPECT_EQ(window.Cell(0, SurveyWindow::kVoltage), "220");

  EXPECT_EQ(testing::Screenshot(window, "survey_network.png"), "");
}

// A month of readings of three detectors, every four hours, in the record: 3 and 7 well below
// 4 Ω, 200 drying out above it in the last week, one reading of 7 unanswered. The detectors are
// then scanned and measured with the limit at 4 Ω; the picture is the one the README shows.
TEST(SurveyWindowOnScreen, AMonthOfReadingsWithOneDetectorOverItsLimit) {
  ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "run under xvfb-run";
  QTemporaryDir dir;
  Record record(dir.filePath("record.csv"));
  const QDateTime now = QDateTime::currentDateTime();
  const int addresses[] = {3, 7, 200};
  const double base[] = {1.6, 2.5, 3.1};
  const double rise[] = {0.3, 0.2, 2.1};  // over the month
  constexpr int kReadings = 30 * 6;
  for (int i = 0; i < kReadings; ++i) {
    const QDateTime when = now.addSecs(-3600LL * 4 * (kReadings - i));
    const double daily = std::sin(when.time().hour() * 3.14159 / 12);
    for (int d = 0; d < 3; ++d) {
      RecordRow row;
      row.time = when;
      row.port = "COM1";
      row.address = addresses[d];
      row.operation = Operation::kQueryResistance;
      if (d == 1 && i == 100) {
        row.result = Result::kNoReply;
      } else {
        const double ohms = base[d] + rise[d] * i / kReadings + 0.08 * daily + 0.03 * (i % 5);
        row.value = ReadingOf(QString::number(ohms, 'f', 2).toStdString());
      }
      ASSERT_TRUE(record.Append(row));
      row.operation = Operation::kQueryVoltage;
      row.result = Result::kAnswered;
      row.value = ReadingOf(std::to_string(218 + (i + d) % 4));
      ASSERT_TRUE(record.Append(row));
    }
  }
  FakeSerialLine line({1});
  FakePortProbe probe({1});
  FixedPortMap ports({{1, "/dev/ttyUSB0"}});
  std::vector<sim::DetectorConfig> bus = {testing::At(3, 188, 2, 220), testing::At(7, 271, 2, 219),
                                          testing::At(200, 524, 2, 221)};
  testing::InMemoryBus detectors(line, bus);
  SurveyWindow window(line, ports, probe);
  window.SetRecord(&record);
  window.findChild<QComboBox*>("limitBox")->setEditText("4");
  window.resize(1000, 700);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  RunWithPointer(window, &detectors, "scanButton");
  window.findChild<QCheckBox*>("allAtOnceBox")->setChecked(true);
  RunWithPointer(window, &detectors, "measureButton");
  EXPECT_EQ(window.AboveLimit(), (std::vector<std::uint8_t>{200}));
  EXPECT_EQ(window.Message(), "测量完成。1 个检测器的接地电阻高于上限 4 Ω。");
  ASSERT_EQ(window.chart().series(Quantity::kResistance).size(), 3U);
  EXPECT_EQ(window.chart().series(Quantity::kResistance)[1].points.size(), kReadings + 1U);

  EXPECT_EQ(testing::Screenshot(window, "survey_trend.png"), "");
}

}  // namespace
}  // namespace karvello
