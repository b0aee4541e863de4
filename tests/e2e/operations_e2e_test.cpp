// The four operations from the button to the report, over a real pseudo-terminal against the
// simulated detector, with the tool's own timers running in the event loop.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "operations/operations.h"
#include "serial/port_discovery.h"
#include "serial/qt_serial_control.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using sim::Fault;
using sim::SimulatedDetector;
using testing::RunUntil;
using Clock = std::chrono::steady_clock;

class OperationsOverPty : public ::testing::Test {
 protected:
  // A detector at `address`, with a measurement shortened to `measure` unless told otherwise.
  void Connect(sim::DetectorConfig config) {
    detector_ = std::make_unique<SimulatedDetector>(config);
    map_.Set(1, detector_->SlavePath());
    Start();
  }
  // No detector at all: COM1 is a terminal nobody answers on.
  void ConnectNothing() {
    silent_ = std::make_unique<sim::PtyPair>();
    map_.Set(1, silent_->SlavePath());
    Start();
  }
  void Start() {
    comm_ = std::make_unique<QtSerialControl>(map_);
    ops_ = std::make_unique<Operations>(*comm_, texts_);
    ports_.SetOnSelected([this] { OpenSelectedPort(*comm_, ports_); });
    DiscoverPorts(*comm_, map_, ports_);
    ASSERT_TRUE(comm_->PortOpen());
  }

  // Presses a button and runs the loop until the log shows something other than `before`.
  std::string AwaitLogChange(const std::string& before, std::chrono::milliseconds timeout) {
    RunUntil([&] { return texts_.LogText() != before; }, timeout);
    return texts_.LogText();
  }
  // Runs the loop until the operation's timers are all off (it has ended) or `timeout`.
  bool AwaitIdle(std::chrono::milliseconds timeout) {
    return RunUntil(
        [&] {
          for (int t = 1; t <= 6; ++t)
            if (ops_->Timer(t).IsOn()) return false;
          return true;
        },
        timeout);
  }
  double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  FixedPortMap map_;
  std::unique_ptr<SimulatedDetector> detector_;
  std::unique_ptr<sim::PtyPair> silent_;
  std::unique_ptr<QtSerialControl> comm_;
  PlainWindowTexts texts_;
  PortList ports_;
  std::unique_ptr<Operations> ops_;
};

TEST_F(OperationsOverPty, QueryAddressReportsTheDetectorsAddressAndPutsItInTheBox) {
  struct Case {
    std::uint8_t address;
    std::string report;
  };
  const Case cases[] = {
      {5, "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：05 03 02 00 05 89 87\r\n地址：5"},
      {255,
       "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：FF 03 02 00 FF D1 D0\r\n地址：255"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.address));
    ops_.reset();
    comm_.reset();
    ports_ = PortList();
    Connect({.address = c.address});
    texts_.SetAddressText("(1-255)");
    ops_->QueryAddress();
    EXPECT_TRUE(AwaitIdle(1s));
    EXPECT_EQ(texts_.LogText(), c.report);
    EXPECT_EQ(texts_.AddressText(), std::to_string(c.address));
  }
}

TEST_F(OperationsOverPty, WithNoDetectorEachOperationFailsAtItsTimeOut) {
  ConnectNothing();
  struct Case {
    const char* name;
    void (Operations::*click)();
    const char* failure;
    double seconds;
  };
  const Case cases[] = {
      {"query address", &Operations::QueryAddress, "查询失败！", 1.3},
      {"query voltage", &Operations::QueryVoltage, "查询失败！", 1.3},
      {"set address", &Operations::SetAddress, "设置失败！", 1.6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    texts_.SetAddressText("5");
    texts_.SetLogText("");
    const auto start = Clock::now();
    (ops_.get()->*c.click)();
    EXPECT_EQ(AwaitLogChange("", 3s), c.failure);
    const double took = SecondsSince(start);
    EXPECT_NEAR(took, c.seconds, 0.1);
    EXPECT_TRUE(AwaitIdle(100ms));
  }
}

TEST_F(OperationsOverPty, SetAddressGivesTheDetectorItsNewAddress) {
  Connect({.address = 1});
  struct Case {
    const char* address;
    std::uint8_t value;
    std::string report;
  };
  const Case cases[] = {
      {"5", 5,
       "设置成功！\r\n发送1：00 06 00 12 00 05 E8 1D\r\n发送2：05 06 00 12 00 05 E8 48\r\n"
       "接收 ：05 06 00 12 00 05 E8 48"},
      {"200", 200,
       "设置成功！\r\n发送1：00 06 00 12 00 C8 29 88\r\n发送2：C8 06 00 12 00 C8 39 C0\r\n"
       "接收 ：C8 06 00 12 00 C8 39 C0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    const std::size_t before = detector_->ExchangeCount();
    texts_.SetAddressText(c.address);
    ops_->SetAddress();
    EXPECT_TRUE(AwaitIdle(2s));
    EXPECT_EQ(texts_.LogText(), c.report);
    EXPECT_EQ(detector_->Address(), c.value);
    // The confirmation leaves on the third 100 ms tick after the broadcast.
    ASSERT_TRUE(detector_->WaitForExchanges(before + 2, 1s));
    const auto log = detector_->Exchanges();
    const auto& broadcast = log[before];
    const auto& confirm = log[before + 1];
    EXPECT_EQ(broadcast.request[0], 0);
    EXPECT_EQ(confirm.request[0], c.value);
    const double gap = std::chrono::duration<double, std::milli>(confirm.requestLastByte -
                                                                 broadcast.requestLastByte)
                           .count();
    EXPECT_NEAR(gap, 300.0, 40.0);
  }
}

TEST_F(OperationsOverPty, QueryVoltageReportsVolts) {
  Connect({.address = 1, .voltage = 220});
  texts_.SetAddressText("1");
  ops_->QueryVoltage();
  EXPECT_TRUE(AwaitIdle(1s));
  EXPECT_EQ(
      texts_.LogText(),
      "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 00 DC B9 DD\r\n电压 = 220伏");
}

// Every way a reply can be wrong shows the failure text at once, never a success.
TEST_F(OperationsOverPty, AWrongReplyShowsTheFailureTextAtOnce) {
  Connect({.address = 1, .measurementTime = 0ms});
  struct Case {
    const char* name;
    Fault fault;
  };
  const Case cases[] = {
      {"wrong CRC", Fault::BadCrc()},
      {"truncated", Fault::Truncate(2)},
      {"exception", Fault::Exception(0x04)},
      {"another address", Fault::FromAddress(2)},
  };
  struct Op {
    const char* name;
    void (Operations::*click)();
    const char* failure;
  };
  const Op ops[] = {
      {"query address", &Operations::QueryAddress, "查询失败！"},
      {"query voltage", &Operations::QueryVoltage, "查询失败！"},
      {"set address", &Operations::SetAddress, "设置失败！"},
  };
  for (const auto& op : ops) {
    for (const auto& c : cases) {
      if (std::string(op.name) == "query address" && std::string(c.name) == "another address") {
        continue;  // the query goes to every detector: any address answers it
      }
      SCOPED_TRACE(std::string(op.name) + ", " + c.name);
      texts_.SetAddressText("1");
      texts_.SetLogText("");
      detector_->SetFault(c.fault, 1);
      const auto start = Clock::now();
      (ops_.get()->*op.click)();
      EXPECT_EQ(AwaitLogChange("", 2s), op.failure);
      // Set address waits 0.3 s before its confirmation draws the reply.
      EXPECT_LT(SecondsSince(start), std::string(op.name) == "set address" ? 0.6 : 0.3);
      EXPECT_TRUE(AwaitIdle(200ms));
      detector_->ClearFault();
      detector_->SetAddress(1);
    }
  }
}

// The detector's real measurement time, and the tool's real 19 ticks: a voltage query pressed
// during the wait runs to its end, and the resistance read still leaves on the 19th tick.
TEST_F(OperationsOverPty, QueryResistanceWaitsNineteenSecondsAndReportsWhileOtherQueriesRun) {
  Connect({.address = 1,
           .resistance = 345,
           .decimalCount = 1,
           .voltage = 220,
           .measurementTime = 19'000ms});
  texts_.SetAddressText("1");
  const auto start = Clock::now();
  ops_->QueryResistance();
  EXPECT_EQ(texts_.LogText(), "测试中...");
  RunUntil([] { return false; }, 2s);
  EXPECT_EQ(texts_.LogText(), "测试中...");

  ops_->QueryVoltage();
  RunUntil([&] { return !ops_->Timer(5).IsOn(); }, 1500ms);
  EXPECT_EQ(
      texts_.LogText(),
      "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 00 DC B9 DD\r\n电压 = 220伏");
  EXPECT_TRUE(ops_->Timer(6).IsOn());

  ASSERT_TRUE(RunUntil([&] { return texts_.LogText().starts_with("查询成功！\r\n发送1"); }, 20s));
  EXPECT_NEAR(SecondsSince(start), 19.0, 0.25);
  EXPECT_EQ(texts_.LogText(),
            "查询成功！\r\n发送1：01 06 00 11 00 01 18 0F\r\n发送2：01 03 00 0D 00 02 55 C8\r\n"
            "接收 ：01 03 04 01 59 00 01 EA 1C\r\n电阻 =  34.5欧姆");
  // The read left the tool 19 s after the start request.
  const auto log = detector_->Exchanges();
  ASSERT_GE(log.size(), 3U);
  const double wait =
      std::chrono::duration<double>(log.back().requestLastByte - log.front().requestLastByte)
          .count();
  EXPECT_NEAR(wait, 19.0, 0.05);
}

TEST_F(OperationsOverPty, QueryResistanceWithNoDetectorFailsAfterTheWaitAndTheTimeOut) {
  ConnectNothing();
  texts_.SetAddressText("1");
  const auto start = Clock::now();
  ops_->QueryResistance();
  EXPECT_EQ(texts_.LogText(), "测试中...");
  EXPECT_EQ(AwaitLogChange("测试中...", 22s), "查询失败！");
  EXPECT_NEAR(SecondsSince(start), 20.3, 0.25);
}

}  // namespace
}  // namespace karvello
