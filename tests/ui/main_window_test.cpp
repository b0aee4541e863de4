// The main window driven through its real widgets: key presses, mouse clicks, focus changes.
#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFontInfo>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/address_entry_cases.h"
#include "record/record.h"
#include "serial/port_map.h"
#include "support/blocked_folder.h"
#include "support/fake_port_probe.h"
#include "support/fake_serial_line.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

const std::string kQueryFailed = "查询失败！";
const std::string kMeasuring = "测试中...";

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form_.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form_));
  }

  template <typename Widget>
  Widget* Find(const char* name) {
    auto* widget = form_.findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  QLineEdit* AddressText() { return Find<QLineEdit>("addressBox"); }
  QPlainTextEdit* LogText() { return Find<QPlainTextEdit>("logBox"); }
  QComboBox* PortCombo() { return Find<QComboBox>("portList"); }
  QPushButton* Button(int number) {
    static const char* const kNames[] = {"setAddressButton", "queryAddressButton",
                                         "queryResistanceButton", "queryVoltageButton"};
    return Find<QPushButton>(kNames[number - 1]);
  }
  QProgressBar* Progress() { return Find<QProgressBar>("measureProgress"); }

  // The measurement's delay: a second of it, and its end, as its timers give them.
  void MeasurementSecond() { form_.engine().PassSecond(Operation::kQueryResistance); }
  void MeasurementEnds() {
    form_.engine().RunOut(Operation::kQueryResistance, Engine::Wait::kDelay);
  }
  bool Measuring() {
    return form_.engine().PhaseOf(Operation::kQueryResistance) == Phase::kDelaying;
  }

  // Puts the focus into the address box and types `text` over whatever it held.
  void TypeAddress(const QString& text) {
    QTest::mouseClick(AddressText(), Qt::LeftButton);
    ASSERT_TRUE(AddressText()->hasFocus());
    QTest::keyClick(AddressText(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(AddressText(), Qt::Key_Backspace);
    QTest::keyClicks(AddressText(), text);
    ASSERT_EQ(AddressText()->text(), text);
  }

  // Opens the port list and chooses entry `index` with the keyboard.
  void Choose(int index) {
    PortCombo()->setFocus();
    PortCombo()->showPopup();
    QAbstractItemView* view = PortCombo()->view();
    view->setCurrentIndex(view->model()->index(index, 0));
    QTest::keyClick(view, Qt::Key_Return);
  }

  // The port list's entries as shown, and the list made afresh as opening it makes it.
  QStringList Listed() {
    QStringList listed;
    for (int i = 0; i < PortCombo()->count(); ++i) listed << PortCombo()->itemText(i);
    return listed;
  }
  void Reprobe() {
    PortCombo()->showPopup();
    PortCombo()->hidePopup();
  }

  // The frames written since the calls were last forgotten, " | " between them.
  std::string Sent() const {
    std::string sent;
    for (const auto& frame : line_.Written()) {
      sent += (sent.empty() ? "" : " | ") + testing::HexText(frame);
    }
    return sent;
  }

  // Turns the mouse wheel over the port list by one notch towards the user.
  void WheelDownOverThePortList() {
    const QPointF inside(PortCombo()->width() / 2.0, PortCombo()->height() / 2.0);
    QWheelEvent wheel(inside, PortCombo()->mapToGlobal(inside), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(PortCombo(), &wheel);
  }

  FakeSerialLine line_{{1, 3}};
  FixedPortMap ports_{{{1, "/dev/ttyUSB0"}, {3, "/dev/ttyS2"}}};
  FakePortProbe probe_{{1, 3}};
  MainWindow form_{line_, ports_, probe_};
};

TEST_F(MainWindowTest, FocusStartsInTheAddressBoxAndTabGoesRoundTheControls) {
  EXPECT_EQ(QApplication::focusWidget(), AddressText());
  const std::vector<QWidget*> order = {Button(1), Button(2), PortCombo(),  LogText(),
                                       Button(3), Button(4), AddressText()};
  for (QWidget* expected : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), expected) << expected->objectName().toStdString();
  }
  QTest::keyClick(AddressText(), Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(QApplication::focusWidget(), Button(4));
}

TEST_F(MainWindowTest, LeavingTheAddressBoxAppliesTheEntryRule) {
  for (const auto& [typed, kept] : test::kAddressEntryCases) {
    TypeAddress(QString::fromStdString(typed));
    QTest::keyClick(AddressText(), Qt::Key_Tab);
    EXPECT_EQ(AddressText()->text().toStdString(), kept) << "typed \"" << typed << "\"";
    EXPECT_EQ(form_.AddressText(), kept);
  }
}

TEST_F(MainWindowTest, ClickingAButtonAppliesTheRuleBeforeTheRequestIsBuilt) {
  // The untouched box is emptied first; the broadcast query does not need it.
  ASSERT_TRUE(AddressText()->hasFocus());
  ASSERT_EQ(AddressText()->text(), "(1-255)");
  QTest::mouseClick(Button(2), Qt::LeftButton);
  EXPECT_EQ(AddressText()->text(), "");
  EXPECT_EQ(Sent(), "00 03 00 12 00 01 25 DE");

  // 300 read as it stands gives no address byte (slave 0); cleaned up first, it is 255.
  TypeAddress("300");
  line_.ForgetCalls();
  QTest::mouseClick(Button(4), Qt::LeftButton);
  EXPECT_EQ(AddressText()->text(), "255");
  EXPECT_EQ(Sent(), "FF 03 00 0F 00 01 A1 D7");
}

TEST_F(MainWindowTest, ClickingTheListOrTheLogTakesTheFocusFromTheAddressBox) {
  TypeAddress("300");
  QTest::mouseClick(PortCombo(), Qt::LeftButton);
  PortCombo()->hidePopup();
  EXPECT_EQ(AddressText()->text(), "255");
  EXPECT_EQ(QApplication::focusWidget(), PortCombo());

  TypeAddress("-5");
  QTest::mouseClick(LogText()->viewport(), Qt::LeftButton);
  EXPECT_EQ(AddressText()->text(), "1");
  EXPECT_EQ(QApplication::focusWidget(), LogText());

  for (int number = 1; number <= 4; ++number) {
    QTest::mouseClick(AddressText(), Qt::LeftButton);
    QTest::mouseClick(Button(number), Qt::LeftButton);
    EXPECT_EQ(QApplication::focusWidget(), Button(number)) << "button " << number;
  }
}

// Each button, clicked or pressed with Return or Enter, sends its frames and shows its report in
// one update of the log box, byte for byte as kept and as lines as shown.
TEST_F(MainWindowTest, EachButtonSendsItsFramesAndShowsItsReport) {
  struct ButtonCase {
    int number;
    const char* frames;
    const char* reply;
    std::string report;
    const char* addressAfter;
  };
  const ButtonCase buttons[] = {
      {1, "00 06 00 12 00 05 E8 1D | 05 06 00 12 00 05 E8 48", "05 06 00 12 00 05 E8 48",
       "设置成功！\r\n发送1：00 06 00 12 00 05 E8 1D\r\n发送2：05 06 00 12 00 05 E8 48\r\n"
       "接收 ：05 06 00 12 00 05 E8 48",
       "5"},
      {2, "00 03 00 12 00 01 25 DE", "0A 03 02 00 0A 9D 82",
       "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：0A 03 02 00 0A 9D 82\r\n地址：10",
       "10"},
      {3, "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C", "05 03 04 01 2C 00 00 7F C6",
       "查询成功！\r\n发送1：05 06 00 11 00 01 19 8B\r\n发送2：05 03 00 0D 00 02 54 4C\r\n"
       "接收 ：05 03 04 01 2C 00 00 7F C6\r\n电阻 = 300欧姆",
       "5"},
      {4, "05 03 00 0F 00 01 B5 8D", "05 03 02 00 DC 48 1D",
       "查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 00 DC 48 1D\r\n电压 = 220伏",
       "5"},
  };
  const std::pair<const char*, std::function<void(QPushButton*)>> presses[] = {
      {"click", [](QPushButton* b) { QTest::mouseClick(b, Qt::LeftButton); }},
      {"Return", [](QPushButton* b) { QTest::keyClick(b, Qt::Key_Return); }},
      {"Enter", [](QPushButton* b) { QTest::keyClick(b, Qt::Key_Enter, Qt::KeypadModifier); }},
  };
  for (const auto& [how, press] : presses) {
    for (const ButtonCase& c : buttons) {
      SCOPED_TRACE(std::string(how) + " on button " + std::to_string(c.number));
      TypeAddress("5");
      Button(c.number)->setFocus(Qt::TabFocusReason);
      ASSERT_TRUE(Button(c.number)->hasFocus());
      line_.ForgetCalls();
      press(Button(c.number));
      form_.engine().RunOut(kOperations[c.number - 1], Engine::Wait::kDelay);
      EXPECT_EQ(Sent(), c.frames);

      QSignalSpy changes(LogText(), &QPlainTextEdit::textChanged);
      line_.Receive(testing::Hex(c.reply));
      EXPECT_EQ(changes.count(), 1);
      EXPECT_EQ(form_.LogText(), c.report);
      EXPECT_EQ(LogText()->toPlainText(), QString::fromStdString(c.report).replace("\r\n", "\n"));
      EXPECT_EQ(LogText()->document()->blockCount(), 4 + (c.number == 3 ? 1 : 0));
      EXPECT_EQ(AddressText()->text(), c.addressAfter);
      EXPECT_FALSE(Progress()->isVisible());
    }
  }
}

TEST_F(MainWindowTest, ReturnPressesNothingButAFocusedButton) {
  TypeAddress("5");
  line_.ForgetCalls();
  QTest::keyClick(AddressText(), Qt::Key_Return);  // no button is the window's default
  Button(4)->setFocus(Qt::TabFocusReason);
  QTest::keyClick(Button(4), Qt::Key_Return, Qt::ControlModifier);
  QTest::keyEvent(QTest::Press, Button(4), Qt::Key_Return, Qt::NoModifier, -1);
  QKeyEvent repeated(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
  QApplication::sendEvent(Button(4), &repeated);  // held down: pressed once
  QTest::keyEvent(QTest::Release, Button(4), Qt::Key_Return, Qt::NoModifier, -1);
  EXPECT_EQ(line_.Written().size(), 1U);
}

TEST_F(MainWindowTest, TheWheelChangesThePortOnlyWhenTheListHasTheFocus) {
  ASSERT_TRUE(AddressText()->hasFocus());
  line_.ForgetCalls();
  WheelDownOverThePortList();
  EXPECT_EQ(PortCombo()->currentText(), "COM1");
  EXPECT_TRUE(line_.Calls().empty());
  EXPECT_EQ(line_.Port(), 1);
  EXPECT_TRUE(AddressText()->hasFocus());

  PortCombo()->setFocus(Qt::TabFocusReason);
  WheelDownOverThePortList();
  EXPECT_EQ(PortCombo()->currentText(), "COM3");
  EXPECT_EQ(line_.Calls(), (std::vector<std::string>{"close", "open 3"}));
}

TEST_F(MainWindowTest, TheOpenPortStaysListedWhenItsDeviceLeavesTheMap) {
  ports_.Remove(1);
  probe_.SetOpening({3});
  Reprobe();
  EXPECT_EQ(Listed(), QStringList({"COM1", "COM3"}));
  EXPECT_EQ(PortCombo()->itemData(0, Qt::ToolTipRole).toString(), "/dev/ttyUSB0");
  EXPECT_EQ(PortCombo()->currentText(), "COM1");
  EXPECT_TRUE(line_.IsOpen());

  // Once the line has failed, the port is no longer in use, and its entry goes.
  line_.Pull();
  line_.ForgetCalls();
  Reprobe();
  EXPECT_EQ(Listed(), QStringList({"COM3"}));
  EXPECT_EQ(PortCombo()->currentIndex(), -1);
  EXPECT_TRUE(line_.Calls().empty());  // nothing is opened behind the user's back
}

TEST_F(MainWindowTest, EveryControlHasItsPlaceCaptionAndSongFont) {
  EXPECT_EQ(form_.windowTitle(), "Karvello");
  EXPECT_EQ(form_.size(), QSize(481, 396));  // 7215 x 5940 twips
  EXPECT_TRUE(form_.findChildren<QMenuBar*>().isEmpty());
  const QRect screen = form_.screen()->availableGeometry();
  // Centred; the window frame, if there is one, may shift the client area by its thickness.
  const QRect frame = form_.frameGeometry();
  const int frameThickness = frame.width() - form_.width() + frame.height() - form_.height();
  EXPECT_LE((form_.geometry().center() - screen.center()).manhattanLength(), frameThickness + 2);

  struct Placed {
    const char* name;
    QRect geometry;  // twips / 15; a label's size is its caption's
    const char* caption;
    double points;
    bool bold;
  };
  const Placed placed[] = {
      {"addressBox", {112, 72, 73, 25}, "(1-255)", 12, false},
      {"setAddressButton", {8, 312, 100, 41}, "设置地址", 15.75, true},
      {"queryAddressButton", {128, 312, 100, 41}, "查询地址", 15.75, true},
      {"portLabel", {32, 32, 0, 0}, "串口号:", 15.75, true},
      {"portList", {112, 32, 81, 24}, "", 12, false},  // its entries are the ports found
      {"addressLabel", {10, 73, 0, 0}, "设备地址:", 15.75, true},
      {"logBox", {40, 120, 393, 153}, "", 12, true},
      {"queryResistanceButton", {248, 312, 100, 41}, "查询电阻", 15.75, true},
      {"queryVoltageButton", {368, 312, 100, 41}, "查询电压", 15.75, true},
  };
  const QStringList song = {"宋体", "SimSun", "AR PL UMing CN", "AR PL UMing", "Noto Serif CJK SC"};
  for (const auto& [name, geometry, caption, points, bold] : placed) {
    QWidget* widget = Find<QWidget>(name);
    // The caption, or the text held (a combo box has none).
    const bool log = qobject_cast<QPlainTextEdit*>(widget) != nullptr;
    const QString text = widget->property(log ? "plainText" : "text").toString();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      EXPECT_EQ(label->pos(), geometry.topLeft()) << name;
      EXPECT_EQ(label->size(), label->sizeHint()) << name;
      EXPECT_EQ(label->focusPolicy(), Qt::NoFocus) << name;
    } else {
      EXPECT_EQ(widget->geometry(), geometry) << name;
    }
    EXPECT_EQ(text.toStdString(), caption) << name;

    const QFont font = widget->font();
    EXPECT_EQ(font.families().value(0), "宋体") << name;
    EXPECT_DOUBLE_EQ(font.pointSizeF(), points) << name;
    EXPECT_EQ(font.bold(), bold) << name;
    EXPECT_FALSE(font.italic() || font.underline() || font.strikeOut()) << name;
    // The face actually drawn is SimSun or one of its Song-style stand-ins.
    EXPECT_TRUE(song.contains(QFontInfo(font).family()))
        << name << " drawn in " << QFontInfo(font).family().toStdString();
  }
  EXPECT_TRUE(LogText()->isReadOnly());
  EXPECT_EQ(LogText()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(LogText()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

TEST_F(MainWindowTest, TheWindowCarriesTheApplicationIcon) {
  const QIcon icon = form_.windowIcon();
  ASSERT_FALSE(icon.isNull());
  for (const int size : {16, 32, 48, 64, 128, 256}) {
    EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
  }
  // The drawing: the blue tile, and on it the white stem of the earth symbol.
  const QImage image = icon.pixmap(QSize(64, 64), 1.0).toImage();
  ASSERT_EQ(image.size(), QSize(64, 64));
  EXPECT_EQ(image.pixelColor(6, 32).name(), "#1f5f7a");
  EXPECT_EQ(image.pixelColor(32, 20).name(), "#ffffff");
}

TEST_F(MainWindowTest, ThePortListShowsThePortsFoundAndEverySelectionReopens) {
  EXPECT_EQ(Listed(), QStringList({"COM1", "COM3"}));
  EXPECT_EQ(PortCombo()->itemData(0, Qt::ToolTipRole).toString(), "/dev/ttyUSB0");
  EXPECT_EQ(PortCombo()->itemData(1, Qt::ToolTipRole).toString(), "/dev/ttyS2");
  EXPECT_EQ(PortCombo()->currentIndex(), 0);
  EXPECT_TRUE(line_.IsOpen());
  EXPECT_EQ(line_.Port(), 1);

  const std::pair<int, std::vector<std::string>> choices[] = {
      {1, {"close", "open 3"}},
      {1, {"close", "open 3"}},  // the entry already chosen, again
      {0, {"close", "open 1"}}};
  for (const auto& [index, calls] : choices) {
    line_.ForgetCalls();
    Choose(index);
    EXPECT_EQ(line_.Calls(), calls) << index;
    EXPECT_EQ(PortCombo()->currentIndex(), index);
  }
  EXPECT_TRUE(line_.IsOpen());
  EXPECT_EQ(PortCombo()->toolTip(), "/dev/ttyUSB0");

  line_.ForgetCalls();
  QTest::keyClick(PortCombo(), Qt::Key_Down);
  EXPECT_EQ(line_.Calls(), (std::vector<std::string>{"close", "open 3"}));
  EXPECT_EQ(PortCombo()->toolTip(), "/dev/ttyS2");
}

TEST_F(MainWindowTest, TheProgressBarCountsTheMeasurementsSecondsThenShowsTheRead) {
  QProgressBar* bar = Progress();
  EXPECT_FALSE(bar->isVisible());
  EXPECT_EQ(bar->x(), LogText()->x());
  EXPECT_EQ(bar->width(), LogText()->width());
  EXPECT_GE(bar->y(), LogText()->geometry().bottom());
  EXPECT_LT(bar->geometry().bottom(), Button(3)->y());

  // Without an address no measurement starts, and there is nothing to wait for.
  QTest::mouseClick(Button(3), Qt::LeftButton);
  EXPECT_EQ(form_.LogText(), kQueryFailed);
  EXPECT_FALSE(bar->isVisible());

  TypeAddress("5");
  QTest::mouseClick(Button(3), Qt::LeftButton);
  EXPECT_EQ(form_.LogText(), kMeasuring);
  ASSERT_TRUE(bar->isVisible());
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 19);
  EXPECT_EQ(bar->value(), 0);
  for (int second = 1; second <= 19; ++second) {
    MeasurementSecond();
    EXPECT_TRUE(bar->isVisible()) << second;
    EXPECT_EQ(bar->value(), second);
    EXPECT_EQ(bar->maximum(), 19);
  }
  line_.ForgetCalls();
  MeasurementEnds();  // 19 s after the start the read goes out
  EXPECT_EQ(Sent(), "05 03 00 0D 00 02 54 4C");
  EXPECT_TRUE(bar->isVisible());
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 0);  // busy: the read is under way
  EXPECT_EQ(form_.LogText(), kMeasuring);

  form_.engine().RunOut(Operation::kQueryResistance,
                        Engine::Wait::kTimeout);  // the reply never came
  EXPECT_FALSE(bar->isVisible());
  EXPECT_EQ(form_.LogText(), kQueryFailed);
}

TEST_F(MainWindowTest, TheAddressBoxEditedDuringTheMeasurementLeavesTheReadAtTheFirstDetector) {
  TypeAddress("5");
  QTest::mouseClick(Button(3), Qt::LeftButton);
  for (int second = 1; second <= 10; ++second) MeasurementSecond();
  TypeAddress("2");
  QTest::keyClick(AddressText(), Qt::Key_Tab);
  MeasurementEnds();
  EXPECT_EQ(Sent(), "05 06 00 11 00 01 19 8B | 05 03 00 0D 00 02 54 4C");
  line_.Receive(testing::Hex("05 03 04 01 2C 00 00 7F C6"));
  EXPECT_EQ(form_.LogText(),
            "查询成功！\r\n发送1：05 06 00 11 00 01 19 8B\r\n发送2：05 03 00 0D 00 02 54 4C\r\n"
            "接收 ：05 03 04 01 2C 00 00 7F C6\r\n电阻 = 300欧姆");
  EXPECT_EQ(AddressText()->text(), "2");
}

TEST_F(MainWindowTest, APulledAdapterFailsTheMeasurementAtOnceAndItsEntryReopensIt) {
  TypeAddress("5");
  QTest::mouseClick(Button(3), Qt::LeftButton);
  for (int second = 1; second <= 4; ++second) MeasurementSecond();
  ASSERT_TRUE(Progress()->isVisible());
  line_.Pull();
  EXPECT_EQ(form_.LogText(), kQueryFailed);
  EXPECT_FALSE(Progress()->isVisible());
  EXPECT_FALSE(line_.IsOpen());
  EXPECT_FALSE(Measuring());
  line_.ForgetCalls();
  QTest::mouseClick(Button(2), Qt::LeftButton);  // nothing goes out on a closed port
  EXPECT_TRUE(line_.Written().empty());

  // Plugged in again: choosing its entry opens it, and the next press runs as usual.
  line_.SetAvailable({1, 3});
  Choose(0);
  EXPECT_EQ(line_.Calls(), (std::vector<std::string>{"open 1"}));
  EXPECT_TRUE(line_.IsOpen());
  QTest::mouseClick(Button(4), Qt::LeftButton);
  EXPECT_EQ(Sent(), "05 03 00 0F 00 01 B5 8D");
}

// karvello --port ADDRESS: the line is listed first and opened; the ports after it stay as they
// were (the given port not listed twice), and the list made afresh keeps it first.
TEST_F(MainWindowTest, ALineGivenByAddressIsListedFirstAndOpened) {
  line_.SetOpening({"rtu+tcp://127.0.0.1:4001"});
  const struct {
    const char* address;
    QStringList listed;
    std::vector<std::string> calls;  // from the given line on
  } cases[] = {
      {"rtu+tcp://127.0.0.1:4001",
       {"rtu+tcp://127.0.0.1:4001", "COM1", "COM3"},
       {"open rtu+tcp://127.0.0.1:4001"}},
      {"COM3", {"COM3", "COM1"}, {"open 3"}},
      {"tcp://10.0.0.7", {"tcp://10.0.0.7", "COM1", "COM3"}, {"open tcp://10.0.0.7"}},
      {"COM7", {"COM7", "COM1", "COM3"}, {"open 7"}},
      // The port in use stays listed until the list is made afresh.
      {"com1", {"COM1", "COM3", "COM7"}, {"open 1"}},
  };
  line_.SetAvailable({1, 3, 7});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    const auto address = ParseLineAddress(c.address);
    ASSERT_TRUE(address.has_value());
    line_.ForgetCalls();
    form_.OpenGiven(*address);
    EXPECT_EQ(Listed(), c.listed);
    EXPECT_EQ(PortCombo()->currentIndex(), 0);
    ASSERT_FALSE(line_.Calls().empty());
    const std::vector<std::string> last(line_.Calls().end() - static_cast<long>(c.calls.size()),
                                        line_.Calls().end());
    EXPECT_EQ(last, c.calls);
    // Another entry and back.
    Choose(1);
    EXPECT_EQ(QString::fromStdString(line_.Name()), c.listed[1]);
    Reprobe();
    EXPECT_EQ(PortCombo()->itemText(0), c.listed[0]);
    Choose(0);
    EXPECT_EQ(line_.Calls().back(), c.calls.back());
  }
}

// A Modbus TCP gateway passes no broadcast: set and query address fail with the reason, unsent.
TEST_F(MainWindowTest, ABroadcastOverModbusTcpFailsWithItsReasonAndNothingSent) {
  line_.SetOpening({"tcp://10.0.0.7"});
  line_.SetCarriesBroadcasts(false);
  form_.OpenGiven(*ParseLineAddress("tcp://10.0.0.7"));
  ASSERT_TRUE(line_.IsOpen());
  line_.ForgetCalls();
  const QString reason =
      QStringLiteral("未发送：Modbus TCP 网关（tcp://）不转发广播，请改用 rtu+tcp:// 或串口。");
  TypeAddress("5");
  QTest::mouseClick(Button(1), Qt::LeftButton);
  EXPECT_EQ(LogText()->toPlainText(), QStringLiteral("设置失败！\n") + reason);
  QTest::mouseClick(Button(2), Qt::LeftButton);
  EXPECT_EQ(LogText()->toPlainText(), QString::fromStdString(kQueryFailed) + "\n" + reason);
  EXPECT_TRUE(line_.Written().empty());
  // A read of one detector goes out as ever.
  QTest::mouseClick(Button(4), Qt::LeftButton);
  EXPECT_EQ(line_.Written().size(), 1U);
}

// A record that cannot be written is told beside the window, in Chinese, with its reason: the
// box is not modal and leaves the log box's report in sight. Each outage is told again, and its
// end with the rows it cost: two, then one.
TEST_F(MainWindowTest, EachOutageOfTheRecordIsToldBesideTheReportWithTheRowsNotKept) {
  QTemporaryDir dir;
  const QString folder = dir.filePath("data");
  Record record(folder + "/record.csv");
  form_.SetRecord(&record);
  line_.ForgetCalls();
  TypeAddress("5");
  const auto query = [&] {
    QTest::mouseClick(Button(4), Qt::LeftButton);
    line_.Receive({0x05, 0x03, 0x02, 0x00, 0xDC, 0x48, 0x1D});
    ASSERT_TRUE(LogText()->toPlainText().startsWith("查询成功！"));
  };
  // The box told, once it is closed: its text, beside the report.
  const auto told = [&] {
    auto* box = form_.findChild<QMessageBox*>("recordWarning");
    if (box == nullptr) return QString();
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    const QRect report(LogText()->mapToGlobal(QPoint(0, 0)), LogText()->size());
    EXPECT_FALSE(box->frameGeometry().intersects(report));
    const QString text = box->text();
    box->close();
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return text;
  };
  const QString failed = "无法写入记录文件：\n" + QDir::toNativeSeparators(record.Path()) + "\n（";
  ASSERT_TRUE(testing::BlockFolder(folder));
  query();
  QString text = told();
  EXPECT_TRUE(text.startsWith(failed)) << text.toStdString();
  EXPECT_TRUE(text.endsWith("）\n操作照常进行，但结果未记入记录。")) << text.toStdString();
  query();
  EXPECT_EQ(told(), "");  // the same outage
  ASSERT_TRUE(testing::UnblockFolder(folder));
  query();
  EXPECT_EQ(told(), "记录文件又可写入：\n" + QDir::toNativeSeparators(record.Path()) +
                        "\n其间 2 行结果未记入记录。");
  query();
  EXPECT_EQ(told(), "");

  ASSERT_TRUE(testing::BlockFolder(folder));
  query();
  EXPECT_TRUE(told().startsWith(failed));
  ASSERT_TRUE(testing::UnblockFolder(folder));
  query();
  EXPECT_TRUE(told().endsWith("\n其间 1 行结果未记入记录。"));
}

}  // namespace
}  // namespace karvello
