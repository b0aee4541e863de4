// The tool's window served by karvello-sim: the window is given COM1 as the pseudo-terminal the
// program prints, an address is typed and a button pressed through the widgets, and the log box
// shows what the program's detector (or the line without one) gave.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "support/case_names.h"
#include "support/sim_process.h"
#include "ui/main_window.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using test::PrintTo;

// The tool's window on the line karvello-sim serves: a pseudo-terminal as COM1, or the network
// address it prints given to the window.
struct WindowOnSim {
  WindowOnSim(const testing::SimProcess& sim, bool given)
      : ports(given ? FixedPortMap() : FixedPortMap({{1, sim.Path()}})) {
    if (given) form.OpenGiven(*ParseLineAddress(sim.Path()));
    form.show();
  }
  // The window on screen with its line open.
  bool Ready() { return QTest::qWaitForWindowExposed(&form) && line.IsOpen(); }
  // `address` typed into the address box.
  void Type(const char* address) {
    auto* box = form.findChild<QLineEdit*>("addressBox");
    box->selectAll();
    QTest::keyClicks(box, address);
  }
  void Press(const char* button) {
    QTest::mouseClick(form.findChild<QPushButton*>(button), Qt::LeftButton);
  }
  FixedPortMap ports;
  QtSerialLine line{ports};
  MainWindow form{line, ports};
};

// Over the network the log shows the frames as they crossed the wire: RTU frames to a serial
// server, the MBAP request and reply to a Modbus TCP gateway.
TEST(SimProgramAndWindow, TheLogShowsTheBytesThatCrossedTheWire) {
  const struct {
    QStringList options;
    const char* frames;
  } cases[] = {
      {{}, "发送：07 03 00 0F 00 01 B4 6F\r\n接收：07 03 02 00 E7 70 0E"},
      {{"--modbus-tcp"},
       "发送：00 01 00 00 00 06 07 03 00 0F 00 01\r\n接收：00 01 00 00 00 05 07 03 02 00 E7"},
  };
  for (const auto& c : cases) {
    testing::SimProcess sim(
        QStringList{"--address", "7", "--voltage", "231", "--listen", "127.0.0.1:0"} << c.options);
    ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
    SCOPED_TRACE(sim.Path());
    WindowOnSim window(sim, true);
    ASSERT_TRUE(window.Ready());
    window.Type("7");
    window.Press("queryVoltageButton");
    const std::string report = "查询成功！\r\n" + std::string(c.frames) + "\r\n电压 = 231伏";
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.form.LogText() == report; }, 3000))
        << window.form.LogText();
  }
}

struct LineCase {
  const char* name;
  QStringList options;  // karvello-sim's
  const char* typed;
  const char* button;
  std::string outcome;  // the log box once the operation has ended
  int presses = 1;      // the button pressed again once each outcome is in
};

const std::string kSetAddress5Report =
    "设置成功！\r\n发送1：00 06 00 12 00 05 E8 1D\r\n发送2：05 06 00 12 00 05 E8 48\r\n"
    "接收 ：05 06 00 12 00 05 E8 48";
const std::string kVoltage200Report =
    "查询成功！\r\n发送：C8 03 00 0F 00 01 A5 90\r\n接收：C8 03 02 00 DC 65 CD\r\n电压 = 220伏";

class SimProgramLines : public ::testing::TestWithParam<LineCase> {};

// Every text the log box shows on the way is kept: a success shown for a moment and replaced
// would be as wrong as one that stays.
TEST_P(SimProgramLines, TheLogShowsOnlyTheRightOutcome) {
  const LineCase& c = GetParam();
  testing::SimProcess sim(c.options);
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  WindowOnSim window(sim, false);
  ASSERT_TRUE(window.Ready());
  std::vector<std::string> shown;
  QObject::connect(window.form.findChild<QPlainTextEdit*>("logBox"), &QPlainTextEdit::textChanged,
                   [&] { shown.push_back(window.form.LogText()); });
  window.Type(c.typed);
  for (int press = 1; press <= c.presses; ++press) {
    const std::size_t before = shown.size();
    window.Press(c.button);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown.size() > before; }, 4000))
        << c.name << ", press " << press << "\n"
        << sim.Output().toStdString();
    // Whatever the line still brings changes nothing.
    QTest::qWait(300);
  }
  EXPECT_EQ(shown, std::vector<std::string>(static_cast<std::size_t>(c.presses), c.outcome))
      << c.name;
}

const char* const kSet = "setAddressButton";
const char* const kVoltage = "queryVoltageButton";
const LineCase kLineCases[] = {
    // An adapter that hears itself, with the detector (at 1 until it takes 5) and without.
    {"echoing line with a detector", {"--fault", "echo"}, "5", kSet, kSetAddress5Report, 3},
    {"echoing line, no detector", {"--fault", "echo-only"}, "5", kSet, "设置失败！", 3},
    // A stray 00 in front, the reply in two reads 16 ms apart.
    {"stray byte and a split reply at 200",
     {"--address", "200", "--fault", "split", "--split-after", "5", "--stray-bytes", "00",
      "--fault-pause-ms", "16"},
     "200",
     kVoltage,
     kVoltage200Report},
    // Noise within the gap after a good reply.
    {"noise after the reply",
     {"--address", "200", "--fault", "noise", "--noise-bytes", "01 03 02"},
     "200",
     kVoltage,
     kVoltage200Report},
};

INSTANTIATE_TEST_SUITE_P(Faults, SimProgramLines, ::testing::ValuesIn(kLineCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
}  // namespace karvello
