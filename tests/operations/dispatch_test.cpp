// Replies through the receive event: the checks, the reports, and what the timers do after.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "operations/bench.h"

namespace karvello {
namespace {

using testing::Bench;
using testing::Hex;
using Bytes = std::vector<std::uint8_t>;

const std::string kSetFailed = "设置失败！";
const std::string kQueryFailed = "查询失败！";

// One operation brought to the point where it awaits its reply.
struct Operation {
  const char* name;
  std::function<void(Bench&)> start;
  int timer;
  std::int16_t FormState::*counter;
  std::string failure;
  const char* goodReply;
  std::string report;
};

const std::string kSetAddress5Report =
    "设置成功！\r\n"
    "发送1：00 06 00 12 00 05 E8 1D\r\n"
    "发送2：05 06 00 12 00 05 E8 48\r\n"
    "接收 ：05 06 00 12 00 05 E8 48";
const std::string kQueryAddress5Report =
    "查询成功！\r\n"
    "发送：00 03 00 12 00 01 25 DE\r\n"
    "接收：05 03 02 00 05 89 87\r\n"
    "地址：5";
const std::string kResistance1Report =
    "查询成功！\r\n"
    "发送1：01 06 00 11 00 01 18 0F\r\n"
    "发送2：01 03 00 0D 00 02 55 C8\r\n"
    "接收 ：01 03 04 01 59 00 01 EA 1C\r\n"
    "电阻 =  34.5欧姆";
const std::string kVoltage1Report =
    "查询成功！\r\n"
    "发送：01 03 00 0F 00 01 B4 09\r\n"
    "接收：01 03 02 00 DC B9 DD\r\n"
    "电压 = 220伏";

void StartSetAddress(Bench& b, const char* address) {
  b.Type(address);
  b.ops.SetAddress();
  b.Tick(4, 3);
}

void StartResistance(Bench& b, const char* address) {
  b.Type(address);
  b.ops.QueryResistance();
  b.Tick(6, 19);
}

const Operation kSetAddress{"set address",
                            [](Bench& b) { StartSetAddress(b, "5"); },
                            1,
                            &FormState::SetTimeoutTicks,
                            kSetFailed,
                            "05 06 00 12 00 05 E8 48",
                            kSetAddress5Report};
const Operation kQueryAddress{"query address",
                              [](Bench& b) { b.ops.QueryAddress(); },
                              2,
                              &FormState::AddrTimeoutTicks,
                              kQueryFailed,
                              "05 03 02 00 05 89 87",
                              kQueryAddress5Report};
const Operation kResistance{"resistance",
                            [](Bench& b) { StartResistance(b, "1"); },
                            3,
                            &FormState::ResTimeoutTicks,
                            kQueryFailed,
                            "01 03 04 01 59 00 01 EA 1C",
                            kResistance1Report};
const Operation kVoltage{"voltage",
                         [](Bench& b) {
                           b.Type("1");
                           b.ops.QueryVoltage();
                         },
                         5,
                         &FormState::VoltTimeoutTicks,
                         kQueryFailed,
                         "01 03 02 00 DC B9 DD",
                         kVoltage1Report};
const Operation* const kOperations[] = {&kSetAddress, &kQueryAddress, &kResistance, &kVoltage};

// Each line of a report is its own write: the status line replaces the log, the rest append.
std::vector<std::string> Prefixes(const std::string& report) {
  std::vector<std::string> out;
  for (std::size_t at = report.find("\r\n"); at != std::string::npos;
       at = report.find("\r\n", at + 2)) {
    out.push_back(report.substr(0, at + 2));
  }
  out.push_back(report);
  return out;
}

std::vector<std::string> LogWrites(const Bench& b) {
  std::vector<std::string> out;
  for (const auto& w : b.texts.Writes()) {
    if (w.box == 2) out.push_back(w.text);
  }
  return out;
}

TEST(Reports, GoodReplyGivesTheExactReportLineByLine) {
  for (const Operation* op : kOperations) {
    Bench b;
    op->start(b);
    b.texts.SetLogText("an earlier report");
    b.texts.Forget();
    b.Tick(op->timer, 5);
    b.Receive(op->goodReply);
    EXPECT_EQ(b.texts.LogText(), op->report) << op->name;
    EXPECT_EQ(LogWrites(b), Prefixes(op->report)) << op->name;
    EXPECT_FALSE(b.On(op->timer)) << op->name;
    EXPECT_EQ(b.S().*op->counter, 0) << op->name;
    EXPECT_EQ(b.S().RxBytes, Hex(op->goodReply)) << op->name;
  }
}

TEST(Reports, OtherAddressesAndValues) {
  const struct {
    std::function<void(Bench&)> start;
    const char* reply;
    std::string report;
  } cases[] = {
      {[](Bench& b) { StartSetAddress(b, "200"); }, "C8 06 00 12 00 C8 39 C0",
       "设置成功！\r\n发送1：00 06 00 12 00 C8 29 88\r\n发送2：C8 06 00 12 00 C8 39 C0\r\n"
       "接收 ：C8 06 00 12 00 C8 39 C0"},
      {[](Bench& b) { StartSetAddress(b, "10"); }, "0A 06 00 12 00 0A A8 B3",
       "设置成功！\r\n发送1：00 06 00 12 00 0A A8 19\r\n发送2：0A 06 00 12 00 0A A8 B3\r\n"
       "接收 ：0A 06 00 12 00 0A A8 B3"},
      {[](Bench& b) { b.ops.QueryAddress(); }, "0A 03 02 00 0A 9D 82",
       "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：0A 03 02 00 0A 9D 82\r\n地址：10"},
      {[](Bench& b) { b.ops.QueryAddress(); }, "FF 03 02 00 FF D1 D0",
       "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：FF 03 02 00 FF D1 D0\r\n地址：255"},
      {[](Bench& b) { StartResistance(b, "1"); }, "01 03 04 01 59 00 00 2B DC",
       "查询成功！\r\n发送1：01 06 00 11 00 01 18 0F\r\n发送2：01 03 00 0D 00 02 55 C8\r\n"
       "接收 ：01 03 04 01 59 00 00 2B DC\r\n电阻 = 345欧姆"},
      {[](Bench& b) { StartResistance(b, "1"); }, "01 03 04 01 59 00 03 6B DD",
       "查询成功！\r\n发送1：01 06 00 11 00 01 18 0F\r\n发送2：01 03 00 0D 00 02 55 C8\r\n"
       "接收 ：01 03 04 01 59 00 03 6B DD\r\n电阻 = OL欧姆"},
      {[](Bench& b) {
         b.Type("1");
         b.ops.QueryVoltage();
       },
       "01 03 02 00 00 B8 44",
       "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 00 00 B8 44\r\n电压 = 0伏"},
      {[](Bench& b) {
         b.Type("1");
         b.ops.QueryVoltage();
       },
       "01 03 02 FF FF B9 F4",
       "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 FF FF B9 F4\r\n电压 = "
       "65535伏"},
  };
  for (const auto& c : cases) {
    Bench b;
    c.start(b);
    b.Receive(c.reply);
    EXPECT_EQ(b.texts.LogText(), c.report) << c.reply;
  }
}

TEST(QueryAddress, PutsTheAddressFoundIntoTheAddressBoxAfterTheReport) {
  Bench b;
  b.ops.QueryAddress();
  b.Receive("FF 03 02 00 FF D1 D0");
  EXPECT_EQ(b.texts.AddressText(), "255");
  const auto& writes = b.texts.Writes();
  ASSERT_EQ(writes.size(), 6U);
  EXPECT_EQ(writes[3].box, 2);
  EXPECT_EQ(writes[4], (testing::RecordingTexts::Write{1, ""}));
  EXPECT_EQ(writes[5], (testing::RecordingTexts::Write{1, "255"}));
}

TEST(Dispatch, RejectedReplyGivesTheFailureAtOnceAndStopsTheTimer) {
  const struct {
    const Operation* op;
    const char* reply;
    bool thenSilence;  // a truncated reply is handed over when the line falls silent
  } cases[] = {
      {&kSetAddress, "05 06 00 12 00 05 00 00", false},  // wrong CRC
      {&kSetAddress, "05 06 00 12 00 05", true},
      {&kSetAddress, "06 06 00 12 00 06 A8 7A", false},  // another address
      {&kSetAddress, "05 86 02 82 60", false},
      {&kQueryAddress, "05 03 02 00 05 00 00", false},
      {&kQueryAddress, "05 03 02 00 05", true},
      {&kQueryAddress, "05 03 02 00 06 C9 86", false},
      {&kQueryAddress, "05 83 02 81 30", false},
      {&kResistance, "01 03 04 01 59 00 01 EA 1D", false},
      {&kResistance, "01 03 04 01 59 00 01", true},
      {&kResistance, "05 03 04 01 59 00 01 AF DC", false},
      {&kResistance, "01 03 02 00 DC B9 DD", false},  // two bytes of data, not four
      {&kResistance, "01 83 02 C0 F1", false},
      {&kVoltage, "01 03 02 00 DC B9 DE", false},
      {&kVoltage, "01 03 02 00", true},
      {&kVoltage, "06 03 02 00 DC 0C 1D", false},
      {&kVoltage, "01 83 02 C0 F1", false},
  };
  for (const auto& c : cases) {
    Bench b;
    c.op->start(b);
    b.Tick(c.op->timer, 4);
    b.Receive(c.reply);
    if (c.thenSilence) {
      EXPECT_TRUE(b.On(c.op->timer)) << c.reply;  // not judged before the silence
      b.comm.FallSilent();
    }
    EXPECT_EQ(b.texts.LogText(), c.op->failure) << c.op->name << ": " << c.reply;
    EXPECT_FALSE(b.On(c.op->timer)) << c.reply;
    EXPECT_EQ(b.S().*c.op->counter, 0) << c.reply;
  }
}

TEST(Dispatch, NoiseIsDroppedAndTheTimeOutRunsOn) {
  const std::pair<const Operation*, const char*> cases[] = {
      {&kSetAddress, "05 06 00 12 00"},
      {&kQueryAddress, "05 04 02 00"},
      {&kQueryAddress, "05"},
      {&kResistance, "01 03"},
      {&kVoltage, "01"},
      {&kVoltage, "01 03"},
  };
  for (const auto& [op, noise] : cases) {
    Bench b;
    op->start(b);
    const std::string before = b.texts.LogText();
    b.Tick(op->timer, 4);
    b.Receive(noise);
    b.comm.FallSilent();
    EXPECT_EQ(b.S().RxBytes, Hex(noise));
    EXPECT_EQ(b.texts.LogText(), before) << op->name << ": " << noise;
    EXPECT_TRUE(b.On(op->timer)) << noise;
    EXPECT_EQ(b.S().*op->counter, 4) << noise;
    b.Receive(op->goodReply);  // the real reply still counts
    EXPECT_EQ(b.texts.LogText(), op->report) << noise;
  }
}

TEST(Dispatch, EverySplitOfAGoodReplyIsAcceptedOnce) {
  for (const Operation* op : kOperations) {
    const Bytes reply = Hex(op->goodReply);
    for (unsigned cuts = 0; cuts < (1U << (reply.size() - 1)); ++cuts) {
      Bench b;
      op->start(b);
      b.texts.Forget();
      Bytes piece;
      for (std::size_t i = 0; i < reply.size(); ++i) {
        piece.push_back(reply[i]);
        const bool last = i + 1 == reply.size();
        if (!last && !(cuts >> i & 1U)) continue;
        b.comm.Receive(piece);
        piece.clear();
        if (!last) {
          ASSERT_TRUE(b.texts.Writes().empty()) << op->name << " cuts " << cuts;
          ASSERT_TRUE(b.On(op->timer));
        }
      }
      b.comm.FallSilent();  // nothing is left over
      EXPECT_EQ(b.texts.LogText(), op->report) << op->name << " cuts " << cuts;
      EXPECT_EQ(LogWrites(b), Prefixes(op->report)) << op->name << " cuts " << cuts;
      EXPECT_FALSE(b.On(op->timer));
    }
  }
}

TEST(Dispatch, StrayBytesAfterAGoodReplyLeaveTheReport) {
  for (const Operation* op : kOperations) {
    for (const char* stray : {"AA", "01 03", "05 06", "00 00"}) {
      Bench b;
      op->start(b);
      b.comm.Receive(Hex(std::string(op->goodReply) + " " + stray));
      b.comm.FallSilent();
      EXPECT_EQ(b.texts.LogText(), op->report) << op->name << " + " << stray;
      EXPECT_EQ(b.S().RxBytes, Hex(stray));
      EXPECT_FALSE(b.On(op->timer));
    }
  }
}

TEST(Dispatch, StrayBytesBeforeAGoodReplyLeaveTheReport) {
  for (const Operation* op : kOperations) {
    for (const char* stray : {"00", "FF", "00 FF 00"}) {
      Bench b;
      op->start(b);
      b.comm.Receive(Hex(stray));
      b.comm.Receive(Hex(op->goodReply));
      EXPECT_EQ(b.texts.LogText(), op->report) << stray << " + " << op->name;
      EXPECT_FALSE(b.On(op->timer));
      EXPECT_EQ(b.comm.Waiting(), 0U);
    }
  }
}

TEST(Dispatch, ALateReplyAfterATimeOutReplacesTheFailure) {
  for (const Operation* op : kOperations) {
    Bench b;
    op->start(b);
    b.Tick(op->timer, 13);
    ASSERT_EQ(b.texts.LogText(), op->failure) << op->name;
    b.Receive(op->goodReply);
    EXPECT_EQ(b.texts.LogText(), op->report) << op->name;
    EXPECT_FALSE(b.On(op->timer));
    EXPECT_EQ(b.S().*op->counter, 0);
  }
}

TEST(Dispatch, NothingIsAwaitedBeforeTheFirstCommand) {
  Bench b;
  b.Receive("01 03 02 00 DC B9 DD");
  EXPECT_EQ(b.S().RxBytes, Hex("01 03 02 00 DC B9 DD"));
  EXPECT_TRUE(b.texts.Writes().empty());
  for (int t = 1; t <= 6; ++t) EXPECT_FALSE(b.On(t));
}

TEST(Dispatch, RepliesDuringTheBroadcastAreDiscardedAndTheDelayRunsOn) {
  Bench b;
  b.Type("5");
  b.ops.SetAddress();
  b.Tick(4);
  b.Receive("00 06 00 12 00 05 E8 1D");
  b.Receive("05 86 02 82 60");
  EXPECT_EQ(b.S().RxBytes, Hex("05 86 02 82 60"));
  EXPECT_TRUE(b.texts.Writes().empty());
  EXPECT_EQ(b.S().SetDelayTicks, 1);
  b.Tick(4, 2);
  EXPECT_EQ(b.Sent(), 2U);
}

TEST(Dispatch, RepliesDuringTheMeasurementAreDiscardedAndTheWaitRunsOn) {
  Bench b;
  b.Type("5");
  b.ops.QueryResistance();
  b.Tick(6, 4);
  for (const char* bytes : {"05 06 00 11 00 01 19 8B", "05 86 02 82 60", "05 03 02 00 05 89 87"}) {
    b.Receive(bytes);
    EXPECT_EQ(b.S().RxBytes, Hex(bytes));
  }
  b.Receive("05");
  b.comm.FallSilent();
  EXPECT_EQ(b.texts.LogText(), "测试中...");
  EXPECT_TRUE(b.On(6));
  EXPECT_EQ(b.S().MeasureDelayTicks, 4);
  b.Tick(6, 14);
  EXPECT_EQ(b.Sent(), 1U);
  b.Tick(6);
  EXPECT_EQ(b.Sent(), 2U);
}

TEST(Dispatch, AnEventOfAnotherKindChangesNothing) {
  Bench b;
  kVoltage.start(b);
  b.Tick(5, 3);
  b.Receive("01");
  b.comm.FallSilent();  // noise: RxBytes holds it
  b.texts.Forget();
  b.comm.ForgetCalls();
  for (int kind : {1, 3, SerialControl::kEvError}) b.comm.RaiseEvent(kind);
  EXPECT_TRUE(b.comm.Calls().empty());
  EXPECT_TRUE(b.texts.Writes().empty());
  EXPECT_EQ(b.S().RxBytes, Hex("01"));
  EXPECT_TRUE(b.On(5));
  EXPECT_EQ(b.S().VoltTimeoutTicks, 3);
  EXPECT_EQ(b.S().PendingCommand, CMD_QUERY_VOLTAGE);
}

TEST(Dispatch, AnAddressTextThatIsNotWhollyANumberEndsSilently) {
  const struct {
    std::function<void(Bench&)> start;
    const char* reply;
    int timer;
    std::int16_t FormState::*counter;
  } cases[] = {
      {[](Bench& b) {
         b.Type("12abc");
         b.ops.QueryVoltage();
       },
       "0C 03 02 00 DC 94 1C", 5, &FormState::VoltTimeoutTicks},
      {[](Bench& b) { StartResistance(b, "12abc"); }, "0C 03 04 01 59 00 01 36 DC", 3,
       &FormState::ResTimeoutTicks},
      {[](Bench& b) {
         StartSetAddress(b, "12");
         b.Type("12abc");
       },
       "0C 06 00 12 00 0C 28 D7", 1, &FormState::SetTimeoutTicks},
  };
  for (const auto& c : cases) {
    Bench b;
    c.start(b);
    b.texts.SetLogText("earlier");
    b.texts.Forget();
    b.Tick(c.timer, 2);
    b.Receive(c.reply);
    EXPECT_TRUE(b.texts.Writes().empty()) << c.reply;
    EXPECT_EQ(b.texts.LogText(), "earlier");
    EXPECT_FALSE(b.On(c.timer)) << c.reply;
    EXPECT_EQ(b.S().*c.counter, 0) << c.reply;
  }
}

TEST(Operations, VoltageDuringTheMeasurementWaitRunsToItsEnd) {
  Bench b;
  b.Type("1");
  b.ops.QueryResistance();
  b.Tick(6, 5);
  b.ops.QueryVoltage();
  b.Tick(5, 2);
  b.Tick(6, 1);
  b.Receive("01 03 02 00 DC B9 DD");
  EXPECT_EQ(b.texts.LogText(), kVoltage1Report);
  EXPECT_FALSE(b.On(5));
  EXPECT_TRUE(b.On(6));
  b.Tick(6, 12);  // 18 ticks of the wait so far
  EXPECT_EQ(b.Sent(), 2U);
  b.Tick(6);
  ASSERT_EQ(b.Sent(), 3U);
  EXPECT_EQ(b.comm.Written()[2], Hex("01 03 00 0D 00 02 55 C8"));
  b.Receive("01 03 04 01 59 00 01 EA 1C");
  EXPECT_EQ(b.texts.LogText(), kResistance1Report);
  EXPECT_FALSE(b.On(3));
}

TEST(Operations, AQueriedAddressServesTheNextQuery) {
  Bench b;
  b.ops.QueryAddress();
  b.Receive("05 03 02 00 05 89 87");
  ASSERT_EQ(b.texts.LogText(), kQueryAddress5Report);
  b.ops.QueryVoltage();
  EXPECT_EQ(b.comm.Written().back(), Hex("05 03 00 0F 00 01 B5 8D"));
  b.Receive("05 03 02 00 DC 48 1D");
  EXPECT_EQ(
      b.texts.LogText(),
      "查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 00 DC 48 1D\r\n电压 = 220伏");
}

}  // namespace
}  // namespace karvello
