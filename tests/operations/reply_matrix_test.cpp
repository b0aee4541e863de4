// Every awaited reply, from detectors at addresses across the byte's range, with stray bytes in
// front, cut into two reads at every position and followed by noise: a good reply gives its
// report exactly once, a refusal its failure text once. And no corruption of a reply, down to a
// single bit, ever gives a success.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "operations/operations.h"
#include "serial/fake_serial_line.h"
#include "support/hex_bytes.h"
#include "support/recording_texts.h"

namespace karvello {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::HexText;
using testing::WithCrc;
// The log box, every write kept.
using LogRecorder = testing::LogRecordingTexts;

enum class Awaited { kSetEcho, kAddressRead, kResistanceRead, kVoltageRead, kRefusal };

struct Exchange {
  Bytes reply;
  std::string outcome;  // the log box's text after it
};

// One operation brought to the point where it awaits the reply of a detector at `address`.
struct Rig {
  explicit Rig(std::uint8_t address, Awaited awaited) : address(address), awaited(awaited) {
    line.Open(1);
    texts.SetAddressText(std::to_string(address));
    switch (awaited) {
      case Awaited::kSetEcho:
        ops.SetAddress();
        for (int tick = 0; tick < 3; ++tick) ops.CountdownOf(Clock::kSetDelay).Tick();
        break;
      case Awaited::kAddressRead:
        ops.QueryAddress();
        break;
      case Awaited::kResistanceRead:
        ops.QueryResistance();
        for (int tick = 0; tick < 19; ++tick) ops.CountdownOf(Clock::kMeasureDelay).Tick();
        break;
      case Awaited::kVoltageRead:
      case Awaited::kRefusal:
        ops.QueryVoltage();
        break;
    }
    texts.written.clear();
  }

  Exchange Expected() const {
    const std::uint8_t a = address;
    const Bytes broadcast = WithCrc({0x00, 0x06, 0x00, 0x12, 0x00, a});
    const Bytes confirm = WithCrc({a, 0x06, 0x00, 0x12, 0x00, a});
    switch (awaited) {
      case Awaited::kSetEcho:
        return {confirm, "设置成功！\r\n发送1：" + HexText(broadcast) + "\r\n发送2：" +
                             HexText(confirm) + "\r\n接收 ：" + HexText(confirm)};
      case Awaited::kAddressRead: {
        const Bytes reply = WithCrc({a, 0x03, 0x02, 0x00, a});
        return {reply, "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：" + HexText(reply) +
                           "\r\n地址：" + std::to_string(a)};
      }
      case Awaited::kResistanceRead: {
        const Bytes reply = WithCrc({a, 0x03, 0x04, 0x01, 0x59, 0x00, 0x01});
        return {reply, "查询成功！\r\n发送1：" +
                           HexText(WithCrc({a, 0x06, 0x00, 0x11, 0x00, 0x01})) + "\r\n发送2：" +
                           HexText(WithCrc({a, 0x03, 0x00, 0x0D, 0x00, 0x02})) + "\r\n接收 ：" +
                           HexText(reply) + "\r\n电阻 =  34.5欧姆"};
      }
      case Awaited::kVoltageRead: {
        const Bytes reply = WithCrc({a, 0x03, 0x02, 0x00, 0xDC});
        return {reply, "查询成功！\r\n发送：" +
                           HexText(WithCrc({a, 0x03, 0x00, 0x0F, 0x00, 0x01})) + "\r\n接收：" +
                           HexText(reply) + "\r\n电压 = 220伏"};
      }
      case Awaited::kRefusal:
        return {WithCrc({a, 0x83, 0x02}), "查询失败！"};
    }
    return {};
  }

  // Nothing more is heard: the line falls silent and the time-out has all its ticks.
  void RunOut() {
    line.FallSilent();
    for (Clock clock : {Clock::kSetTimeout, Clock::kAddressTimeout, Clock::kResistanceTimeout,
                        Clock::kVoltageTimeout}) {
      for (int tick = 0; tick < 13; ++tick) ops.CountdownOf(clock).Tick();
    }
  }

  std::uint8_t address;
  Awaited awaited;
  FakeSerialLine line;
  LogRecorder texts;
  Operations ops{line, texts};
};

const std::uint8_t kAddresses[] = {1, 3, 6, 0x80, 0xC8, 0xFF};
const Bytes kStrays[] = {{}, {0x00}, {0x00, 0xFF}, {0xFF, 0x00, 0x00}};

std::vector<Bytes> NoisesAfter(std::uint8_t address) {
  return {{},
          {0xA5},
          {0xA5, 0xA5},
          {0xA5, 0xA5, 0xA5},
          {0x01, 0x03, 0x02},
          {address, 0x03},
          {address, 0x06, 0x00}};
}

class ReplyMatrix : public ::testing::TestWithParam<Awaited> {};

TEST_P(ReplyMatrix, AGoodReplyGivesItsReportOnce) {
  int cases = 0;
  for (std::uint8_t address : kAddresses) {
    const Exchange expected = Rig(address, GetParam()).Expected();
    for (const Bytes& stray : kStrays) {
      for (const Bytes& noise : NoisesAfter(address)) {
        Bytes arriving = stray;
        arriving.insert(arriving.end(), expected.reply.begin(), expected.reply.end());
        const std::size_t replyEnd = arriving.size();
        arriving.insert(arriving.end(), noise.begin(), noise.end());
        // Cut into two reads at every position of the reply, and not cut at all.
        for (std::size_t cut = stray.size(); cut <= replyEnd; ++cut) {
          Rig rig(address, GetParam());
          rig.line.Receive(std::span(arriving).first(cut));
          rig.line.Receive(std::span(arriving).subspan(cut));
          rig.RunOut();
          SCOPED_TRACE("address " + std::to_string(address) + ", stray " + HexText(stray) +
                       ", cut at " + std::to_string(cut) + ", noise " + HexText(noise));
          ASSERT_EQ(rig.texts.written, std::vector<std::string>{expected.outcome});
          ++cases;
        }
      }
    }
  }
  EXPECT_GT(cases, 1000);
}

TEST_P(ReplyMatrix, NoCorruptionOfTheReplyGivesASuccess) {
  for (std::uint8_t address : kAddresses) {
    Rig model(address, GetParam());
    const Bytes reply = model.Expected().reply;
    for (std::size_t bit = 0; bit < reply.size() * 8; ++bit) {
      Rig rig(address, GetParam());
      Bytes flipped = reply;
      flipped[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
      rig.line.Receive(flipped);
      rig.RunOut();
      SCOPED_TRACE("address " + std::to_string(address) + ", bit " + std::to_string(bit));
      for (const std::string& written : rig.texts.written) {
        EXPECT_EQ(written.find("成功"), std::string::npos) << written;
      }
      // The operation ends all the same: with its failure text at once or at its time-out.
      ASSERT_FALSE(rig.texts.written.empty());
      EXPECT_EQ(rig.texts.LogText(), GetParam() == Awaited::kSetEcho ? "设置失败！" : "查询失败！");
    }
  }
}

// A box without a usable address sends the reads to slave 0, which no detector is; only the
// address query is answered by whoever is there.
TEST(ReplyFromAnotherSlave, IsNoAnswerEvenToARequestForSlave0) {
  for (const char* box : {"(1-255)", "", "256", "0.4"}) {
    FakeSerialLine line;
    line.Open(1);
    LogRecorder texts;
    Operations ops(line, texts);
    texts.SetAddressText(box);
    ops.QueryVoltage();
    ASSERT_EQ(line.Written().back(), WithCrc({0x00, 0x03, 0x00, 0x0F, 0x00, 0x01})) << box;
    line.Receive(WithCrc({0x01, 0x03, 0x02, 0xFF, 0xFF}));
    line.FallSilent();
    EXPECT_EQ(texts.written, std::vector<std::string>{"查询失败！"}) << box;
  }
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyMatrix,
                         ::testing::Values(Awaited::kSetEcho, Awaited::kAddressRead,
                                           Awaited::kResistanceRead, Awaited::kVoltageRead,
                                           Awaited::kRefusal),
                         [](const auto& info) {
                           switch (info.param) {
                             case Awaited::kSetEcho:
                               return std::string("SetAddressEcho");
                             case Awaited::kAddressRead:
                               return std::string("AddressRead");
                             case Awaited::kResistanceRead:
                               return std::string("ResistanceRead");
                             case Awaited::kVoltageRead:
                               return std::string("VoltageRead");
                             case Awaited::kRefusal:
                               return std::string("Refusal");
                           }
                           return std::string();
                         });

}  // namespace
}  // namespace karvello
