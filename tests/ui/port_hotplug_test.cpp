// Adapters plugged in and pulled while the window runs, played by simulated detectors on
// pseudo-terminals: the window's real serial line and its own QSerialPort probe, the ports
// numbered by a map that gains and loses devices.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/in_memory_bus.h"
#include "ui/main_window.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;

sim::DetectorConfig Detector(std::uint8_t address, std::uint16_t voltage) {
  return testing::At(address, 345, 1, voltage);
}

// The voltage report of a detector at address 5 (220 V) and at address 7 (231 V).
const std::string kVoltage5 =
    "查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 00 DC 48 1D\r\n电压 = 220伏";
const std::string kVoltage7 =
    "查询成功！\r\n发送：07 03 00 0F 00 01 B4 6F\r\n接收：07 03 02 00 E7 70 0E\r\n电压 = 231伏";

class PortHotPlugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Start();
    ASSERT_TRUE(line_.IsOpen());
    ASSERT_EQ(line_.Name(), "COM1");
  }

  void Start() {
    form_ = std::make_unique<MainWindow>(line_, map_);
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  }

  QComboBox* List() { return form_->findChild<QComboBox*>("portList"); }

  // The entries as "COMn device", in the list's order.
  std::vector<std::string> Listed() {
    std::vector<std::string> out;
    for (int i = 0; i < List()->count(); ++i) {
      out.push_back(List()->itemText(i).toStdString() + " " +
                    List()->itemData(i, Qt::ToolTipRole).toString().toStdString());
    }
    return out;
  }

  // Opens the list with the mouse, as the user does, and closes it again. An empty list shows
  // no drop-down.
  void OpenTheList() {
    QTest::mouseClick(List(), Qt::LeftButton);
    EXPECT_EQ(List()->view()->isVisible(), List()->count() > 0);
    List()->hidePopup();
  }

  void Choose(int index) {
    QTest::mouseClick(List(), Qt::LeftButton);
    QAbstractItemView* view = List()->view();
    view->setCurrentIndex(view->model()->index(index, 0));
    QTest::keyClick(view, Qt::Key_Return);
  }

  // Types `address` and presses 查询电压.
  void PressQueryVoltage(const char* address) {
    auto* box = form_->findChild<QLineEdit*>("addressBox");
    box->selectAll();
    QTest::keyClicks(box, address);
    QTest::mouseClick(form_->findChild<QPushButton*>("queryVoltageButton"), Qt::LeftButton);
  }
  // Whether `report` comes into the log box within 3 s.
  bool Reports(const std::string& report) {
    return QTest::qWaitFor([&] { return form_->LogText() == report; }, 3000);
  }
  // Presses 查询电压 at `address`; returns whether `report` comes.
  bool QueryVoltage(const char* address, const std::string& report) {
    PressQueryVoltage(address);
    return Reports(report);
  }

  sim::SimulatedDetector first_{Detector(5, 220)};
  FixedPortMap map_{{{1, first_.SlavePath()}}};
  QtSerialLine line_{map_};
  std::unique_ptr<MainWindow> form_;
};

TEST_F(PortHotPlugTest, AnAdapterPluggedInWhileRunningIsListedWhenTheListOpensAndAnswers) {
  const std::string one = "COM1 " + first_.SlavePath();
  ASSERT_EQ(Listed(), std::vector<std::string>{one});

  sim::SimulatedDetector second(Detector(7, 231));
  sim::SimulatedDetector third(Detector(9, 230));
  map_.Set(3, third.SlavePath());
  EXPECT_EQ(Listed(), std::vector<std::string>{one});  // not looked at until the list opens
  OpenTheList();
  EXPECT_EQ(Listed(), (std::vector<std::string>{one, "COM3 " + third.SlavePath()}));

  // A device plugged in later takes a free number below a listed one; nothing listed moves.
  map_.Set(2, second.SlavePath());
  OpenTheList();
  const std::string two = "COM2 " + second.SlavePath();
  EXPECT_EQ(Listed(), (std::vector<std::string>{one, two, "COM3 " + third.SlavePath()}));
  EXPECT_EQ(List()->currentText(), "COM1");
  EXPECT_EQ(line_.Name(), "COM1");
  EXPECT_TRUE(line_.IsOpen());

  Choose(1);
  EXPECT_EQ(List()->currentText(), "COM2");
  EXPECT_EQ(line_.Name(), "COM2");
  ASSERT_TRUE(line_.IsOpen());
  EXPECT_TRUE(QueryVoltage("7", kVoltage7)) << form_->LogText();
  EXPECT_TRUE(second.WaitForExchanges(1, 1s));
  EXPECT_EQ(first_.ExchangeCount(), 0U);
}

TEST_F(PortHotPlugTest, TheOpenPortSurvivesAProbeWithItsQueryInFlight) {
  sim::SimulatedDetector second(Detector(7, 231));
  map_.Set(2, second.SlavePath());
  first_.SetFault(sim::Fault::Delay(300ms), 1);  // the reply comes 0.3 s late

  PressQueryVoltage("5");
  ASSERT_EQ(form_->LogText(), "");  // no reply yet
  OpenTheList();
  EXPECT_EQ(Listed(),
            (std::vector<std::string>{"COM1 " + first_.SlavePath(), "COM2 " + second.SlavePath()}));
  EXPECT_EQ(List()->currentText(), "COM1");
  EXPECT_TRUE(line_.IsOpen());
  EXPECT_EQ(line_.Name(), "COM1");
  EXPECT_TRUE(Reports(kVoltage5)) << form_->LogText();
  EXPECT_EQ(second.ExchangeCount(), 0U);
}

TEST_F(PortHotPlugTest, APulledAdapterLeavesTheListAtItsNextOpening) {
  auto second = std::make_unique<sim::SimulatedDetector>(Detector(7, 231));
  map_.Set(2, second->SlavePath());
  OpenTheList();
  ASSERT_EQ(List()->count(), 2);

  second->Unplug();
  OpenTheList();
  EXPECT_EQ(Listed(), std::vector<std::string>{"COM1 " + first_.SlavePath()});

  // Its number stays free of other devices while the map keeps it; here the map lets it go.
  map_.Remove(2);
  OpenTheList();
  EXPECT_EQ(Listed(), std::vector<std::string>{"COM1 " + first_.SlavePath()});
  EXPECT_TRUE(QueryVoltage("5", kVoltage5)) << form_->LogText();

  // The open one pulled goes at the next opening of the list.
  first_.Unplug();
  // The line notices the hang-up and closes the port.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !line_.IsOpen(); }, 3000));
  OpenTheList();
  EXPECT_EQ(List()->count(), 0);
  EXPECT_EQ(List()->currentIndex(), -1);
}

// The usual order at the bench: the program first, then the adapter.
class PortHotPlugFromNothingTest : public PortHotPlugTest {
 protected:
  void SetUp() override {
    map_.Remove(1);
    Start();
  }
};

TEST_F(PortHotPlugFromNothingTest, AnAdapterPluggedInAfterAStartWithoutPortsCanBeChosen) {
  ASSERT_EQ(List()->count(), 0);
  ASSERT_FALSE(line_.IsOpen());
  map_.Set(1, first_.SlavePath());
  OpenTheList();
  EXPECT_EQ(Listed(), std::vector<std::string>{"COM1 " + first_.SlavePath()});
  EXPECT_FALSE(line_.IsOpen());  // listed, not opened behind the user's back
  Choose(0);
  EXPECT_EQ(List()->currentText(), "COM1");
  ASSERT_TRUE(line_.IsOpen());
  EXPECT_TRUE(QueryVoltage("5", kVoltage5)) << form_->LogText();
}

}  // namespace
}  // namespace karvello
