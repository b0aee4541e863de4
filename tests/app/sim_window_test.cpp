// The tool's window served by karvello-sim: the window is given COM1 as the pseudo-terminal the
// program prints, and the query-voltage button is pressed through the widgets.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <chrono>

#include "app/sim_process.h"
#include "serial/port_map.h"
#include "serial/qt_serial_control.h"
#include "ui/main_window.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;

TEST(SimProgramAndWindow, QueryVoltageReportsWhatTheProgramServes) {
  testing::SimProcess sim({"--address", "7", "--voltage", "231"});
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  FixedPortMap ports({{1, sim.Path()}});
  QtSerialControl comm(ports);
  MainWindow form(comm, ports);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  ASSERT_TRUE(comm.PortOpen());

  auto* box = form.findChild<QLineEdit*>("addressBox");
  ASSERT_NE(box, nullptr);
  box->selectAll();
  QTest::keyClicks(box, "7");
  QTest::mouseClick(form.findChild<QPushButton*>("queryVoltageButton"), Qt::LeftButton);
  const std::string report =
      "查询成功！\r\n发送：07 03 00 0F 00 01 B4 6F\r\n接收：07 03 02 00 E7 70 0E\r\n电压 = 231伏";
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.LogText() == report; }, 3000)) << form.LogText();

  EXPECT_TRUE(sim.WaitForOutput(QRegularExpression(QStringLiteral(
                                    "recv  07 03 00 0F 00 01 B4 6F\n"
                                    "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}  send  07 03 02 00 E7 70 0E\n")),
                                2s))
      << sim.Output().toStdString();
}

}  // namespace
}  // namespace karvello
