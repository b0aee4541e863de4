// What the line hands up, judged against the step in flight: the reports, the failures, noise,
// replies split or surrounded by stray bytes, answered steps, echoing lines and overlapping
// operations.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "operations/bench.h"

namespace karvello {
namespace {

using testing::Bench;
using testing::Hex;
using testing::RecordingTexts;
using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::string>;

const std::string kSetFailed = "设置失败！";
const std::string kQueryFailed = "查询失败！";
const std::string kMeasuring = "测试中...";

// One operation brought to the point where it awaits its reply.
struct Awaiting {
  const char* name;
  std::function<void(Bench&)> start;
  Clock timeout;
  std::string failure;
  const char* goodReply;
  std::string report;
  std::size_t judgedFrom;  // stray bytes fewer than this are noise
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
const std::string kVoltage5Report =
    "查询成功！\r\n发送：05 03 00 0F 00 01 B5 8D\r\n接收：05 03 02 00 DC 48 1D\r\n电压 = 220伏";
const std::string kResistance5Report =
    "查询成功！\r\n发送1：05 06 00 11 00 01 19 8B\r\n发送2：05 03 00 0D 00 02 54 4C\r\n"
    "接收 ：05 03 04 01 59 00 01 AF DC\r\n电阻 =  34.5欧姆";

void StartSetAddress(Bench& b, const char* address) {
  b.Type(address);
  b.ops.SetAddress();
  b.Tick(Clock::kSetDelay, 3);
}

void StartResistance(Bench& b, const char* address) {
  b.Type(address);
  b.ops.QueryResistance();
  b.Tick(Clock::kMeasureDelay, 19);
}

void StartVoltage(Bench& b, const char* address) {
  b.Type(address);
  b.ops.QueryVoltage();
}

const Awaiting kSetAddress{"set address",
                           [](Bench& b) { StartSetAddress(b, "5"); },
                           Clock::kSetTimeout,
                           kSetFailed,
                           "05 06 00 12 00 05 E8 48",
                           kSetAddress5Report,
                           6};
const Awaiting kQueryAddress{"query address",
                             [](Bench& b) { b.ops.QueryAddress(); },
                             Clock::kAddressTimeout,
                             kQueryFailed,
                             "05 03 02 00 05 89 87",
                             kQueryAddress5Report,
                             5};
const Awaiting kResistance{"resistance",
                           [](Bench& b) { StartResistance(b, "1"); },
                           Clock::kResistanceTimeout,
                           kQueryFailed,
                           "01 03 04 01 59 00 01 EA 1C",
                           kResistance1Report,
                           3};
const Awaiting kVoltage{"voltage",
                        [](Bench& b) { StartVoltage(b, "1"); },
                        Clock::kVoltageTimeout,
                        kQueryFailed,
                        "01 03 02 00 DC B9 DD",
                        kVoltage1Report,
                        3};
const Awaiting* const kAwaiting[] = {&kSetAddress, &kQueryAddress, &kResistance, &kVoltage};

std::string Repeat(const char* hex, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += std::string(i == 0 ? "" : " ") + hex;
  return out;
}

TEST(Reports, AGoodReplyGivesTheExactReportInOneWrite) {
  for (const Awaiting* op : kAwaiting) {
    Bench b;
    op->start(b);
    b.texts.SetLogText("an earlier report");
    b.texts.Forget();
    b.Tick(op->timeout, 5);
    b.Receive(op->goodReply);
    EXPECT_EQ(b.texts.LogWrites(), Texts{op->report}) << op->name;
    EXPECT_EQ(b.texts.LogText(), op->report) << op->name;
    EXPECT_FALSE(b.On(op->timeout)) << op->name;
    EXPECT_EQ(b.Count(op->timeout), 0) << op->name;
    EXPECT_FALSE(b.line.HasWaiting()) << op->name;
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
      {[](Bench& b) { b.ops.QueryAddress(); }, "00 03 02 00 00 85 84",
       "查询成功！\r\n发送：00 03 00 12 00 01 25 DE\r\n接收：00 03 02 00 00 85 84\r\n地址：0"},
      {[](Bench& b) { StartResistance(b, "1"); }, "01 03 04 01 59 00 00 2B DC",
       "查询成功！\r\n发送1：01 06 00 11 00 01 18 0F\r\n发送2：01 03 00 0D 00 02 55 C8\r\n"
       "接收 ：01 03 04 01 59 00 00 2B DC\r\n电阻 = 345欧姆"},
      {[](Bench& b) { StartResistance(b, "1"); }, "01 03 04 01 59 00 03 6B DD",
       "查询成功！\r\n发送1：01 06 00 11 00 01 18 0F\r\n发送2：01 03 00 0D 00 02 55 C8\r\n"
       "接收 ：01 03 04 01 59 00 03 6B DD\r\n电阻 = OL欧姆"},
      {[](Bench& b) { StartVoltage(b, "1"); }, "01 03 02 00 00 B8 44",
       "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 00 00 B8 44\r\n电压 = 0伏"},
      {[](Bench& b) { StartVoltage(b, "1"); }, "01 03 02 FF FF B9 F4",
       "查询成功！\r\n发送：01 03 00 0F 00 01 B4 09\r\n接收：01 03 02 FF FF B9 F4\r\n电压 = "
       "65535伏"},
  };
  for (const auto& c : cases) {
    Bench b;
    c.start(b);
    b.texts.Forget();
    b.Receive(c.reply);
    EXPECT_EQ(b.texts.LogWrites(), Texts{c.report}) << c.reply;
  }
}

TEST(QueryAddress, PutsTheAddressFoundIntoTheAddressBoxAfterTheReport) {
  Bench b;
  b.ops.QueryAddress();
  b.Receive("FF 03 02 00 FF D1 D0");
  EXPECT_EQ(b.texts.AddressText(), "255");
  const auto& writes = b.texts.Writes();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.front().box, RecordingTexts::Box::kLog);
  EXPECT_EQ(writes.back(), (RecordingTexts::Write{RecordingTexts::Box::kAddress, "255"}));
  EXPECT_EQ(b.texts.LogWrites().size(), 1U);
}

TEST(Dispatch, ARejectedReplyGivesTheFailureAndStopsTheTimeOut) {
  const struct {
    const Awaiting* op;
    const char* reply;
    bool atOnce;  // judged as soon as it is in; otherwise when the line falls silent
  } cases[] = {
      {&kSetAddress, "05 06 00 12 00 05 00 00", true},   // wrong CRC
      {&kSetAddress, "06 06 00 12 00 06 A8 7A", false},  // another address
      {&kSetAddress, "05 86 02 82 60", true},            // refused
      {&kQueryAddress, "05 03 02 00 06 C9 86", true},    // the address bytes differ
      {&kQueryAddress, "05 83 02 81 30", true},
      {&kResistance, "01 03 04 01 59 00 01 EA 1D", true},
      {&kResistance, "05 03 04 01 59 00 01 AF DC", false},
      {&kResistance, "01 03 02 00 DC B9 DD", false},  // two bytes of data, not four
      {&kResistance, "01 83 02 C0 F1", true},
      {&kVoltage, "01 03 02 00 DC B9 DE", true},
      {&kVoltage, "06 03 02 00 DC 0C 1D", false},
      {&kVoltage, "01 83 02 C0 F1", true},
  };
  for (const auto& c : cases) {
    Bench b;
    c.op->start(b);
    b.Tick(c.op->timeout, 4);
    b.texts.Forget();
    b.Receive(c.reply);
    if (!c.atOnce) {
      EXPECT_TRUE(b.texts.Writes().empty()) << c.reply;
      EXPECT_TRUE(b.On(c.op->timeout)) << c.reply;
    }
    b.line.FallSilent();
    EXPECT_EQ(b.texts.LogWrites(), Texts{c.op->failure}) << c.op->name << ": " << c.reply;
    EXPECT_FALSE(b.On(c.op->timeout)) << c.reply;
    EXPECT_EQ(b.Count(c.op->timeout), 0) << c.reply;
  }
}

TEST(Dispatch, AWrongCrcIsJudgedAtTheGapEvenWhenItsLastByteCouldBeginAReply) {
  // Each reply whole, its CRC wrong, its last byte one that a reply from the slave asked (any
  // slave, for the address query) could begin with. Once the line is silent, nothing waits for
  // a rest: the reply in front is whole.
  const std::pair<const Awaiting*, const char*> cases[] = {
      {&kSetAddress, "05 06 00 12 00 05 E8 05"}, {&kQueryAddress, "05 03 02 00 05 00 00"},
      {&kQueryAddress, "05 03 02 00 05 89 88"},  {&kResistance, "01 03 04 01 59 00 01 EA 01"},
      {&kVoltage, "01 03 02 00 DC B9 01"},
  };
  for (const auto& [op, reply] : cases) {
    Bench b;
    op->start(b);
    b.Tick(op->timeout, 4);
    b.texts.Forget();
    b.Receive(reply);
    b.line.FallSilent();
    EXPECT_EQ(b.texts.LogWrites(), Texts{op->failure}) << op->name << ": " << reply;
    EXPECT_FALSE(b.On(op->timeout)) << op->name << ": " << reply;
  }
}

TEST(Dispatch, AHeadWaitsForItsRestAcrossPausesUntilTheTimeOut) {
  const std::pair<const Awaiting*, std::size_t> cases[] = {
      {&kSetAddress, 6}, {&kQueryAddress, 5}, {&kResistance, 7}, {&kVoltage, 4},
      {&kSetAddress, 2}, {&kQueryAddress, 2}, {&kResistance, 1}, {&kVoltage, 1},
  };
  for (const auto& [op, headLength] : cases) {
    const Bytes reply = Hex(op->goodReply);
    const Bytes head(reply.begin(), reply.begin() + static_cast<long>(headLength));
    const Bytes rest(reply.begin() + static_cast<long>(headLength), reply.end());
    {
      // The rest comes after several pauses: the report.
      Bench b;
      op->start(b);
      b.texts.Forget();
      b.line.Receive(head);
      for (int pause = 0; pause < 3; ++pause) {
        b.line.FallSilent();
        b.Tick(op->timeout, 3);
      }
      EXPECT_TRUE(b.texts.Writes().empty()) << op->name << " " << headLength;
      b.line.Receive(rest);
      EXPECT_EQ(b.texts.LogWrites(), Texts{op->report}) << op->name << " " << headLength;
    }
    {
      // The rest never comes: the failure at the time-out, not before.
      Bench b;
      op->start(b);
      b.texts.Forget();
      b.line.Receive(head);
      b.line.FallSilent();
      b.Tick(op->timeout, 12);
      EXPECT_TRUE(b.texts.Writes().empty()) << op->name << " " << headLength;
      b.Tick(op->timeout);
      EXPECT_EQ(b.texts.LogWrites(), Texts{op->failure}) << op->name << " " << headLength;
    }
  }
}

TEST(Dispatch, NoiseIsDroppedAndTheTimeOutRunsOn) {
  const std::pair<const Awaiting*, const char*> cases[] = {
      {&kSetAddress, "05 06 00 12 00"},
      {&kSetAddress, "AA 00 FF"},
      {&kQueryAddress, "05 04 02 00"},
      {&kQueryAddress, "05"},
      {&kResistance, "01 03"},
      {&kResistance, "02 03"},
      {&kVoltage, "01"},
      {&kVoltage, "01 03"},
      {&kVoltage, "03 03"},
  };
  for (const auto& [op, noise] : cases) {
    Bench b;
    op->start(b);
    b.Tick(op->timeout, 4);
    b.texts.Forget();
    b.Receive(noise);
    b.line.FallSilent();
    EXPECT_TRUE(b.texts.Writes().empty()) << op->name << ": " << noise;
    EXPECT_TRUE(b.On(op->timeout)) << noise;
    EXPECT_EQ(b.Count(op->timeout), 4) << noise;
    b.Receive(op->goodReply);  // the real reply still counts
    EXPECT_EQ(b.texts.LogWrites(), Texts{op->report}) << op->name << ": " << noise;
  }
}

TEST(Dispatch, StrayBytesAreJudgedFromTheLengthOfTheStepsHeader) {
  for (const Awaiting* op : kAwaiting) {
    ASSERT_GT(op->judgedFrom, 1U);
    // One byte short of the header: noise.
    Bench b;
    op->start(b);
    b.texts.Forget();
    b.Receive(Repeat("AA", op->judgedFrom - 1));
    b.line.FallSilent();
    EXPECT_TRUE(b.texts.Writes().empty()) << op->name;
    EXPECT_TRUE(b.On(op->timeout)) << op->name;
    // As long as the header: a failure.
    Bench f;
    op->start(f);
    f.texts.Forget();
    f.Receive(Repeat("AA", op->judgedFrom));
    EXPECT_TRUE(f.texts.Writes().empty()) << op->name;  // not before the silence
    f.line.FallSilent();
    EXPECT_EQ(f.texts.LogWrites(), Texts{op->failure}) << op->name;
    EXPECT_FALSE(f.On(op->timeout)) << op->name;
  }
}

TEST(Dispatch, EverySplitOfAGoodReplyIsAcceptedOnceWithOrWithoutPauses) {
  for (const Awaiting* op : kAwaiting) {
    const Bytes reply = Hex(op->goodReply);
    for (bool pauses : {false, true}) {
      for (unsigned cuts = 0; cuts < (1U << (reply.size() - 1)); ++cuts) {
        Bench b;
        op->start(b);
        b.texts.Forget();
        Bytes piece;
        for (std::size_t i = 0; i < reply.size(); ++i) {
          piece.push_back(reply[i]);
          const bool last = i + 1 == reply.size();
          if (!last && !(cuts >> i & 1U)) continue;
          b.line.Receive(piece);
          piece.clear();
          // A single byte is a head only when it names the slave asked; the address query
          // asks every slave, so its reply waits across pauses from its second byte on.
          if (pauses && !last && (i > 0 || op != &kQueryAddress)) b.line.FallSilent();
          if (!last) {
            ASSERT_TRUE(b.texts.Writes().empty()) << op->name << " cuts " << cuts;
            ASSERT_TRUE(b.On(op->timeout));
          }
        }
        b.line.FallSilent();  // nothing is left over
        EXPECT_EQ(b.texts.LogWrites(), Texts{op->report})
            << op->name << " cuts " << cuts << (pauses ? " with pauses" : "");
        EXPECT_FALSE(b.On(op->timeout));
      }
    }
  }
}

TEST(Dispatch, StrayBytesBeforeAGoodReplyLeaveTheReport) {
  for (const Awaiting* op : kAwaiting) {
    for (const char* stray : {"00", "FF", "00 FF 00", "01 03 02", "05 06 00"}) {
      Bench b;
      op->start(b);
      b.texts.Forget();
      b.Receive(stray);
      b.Receive(op->goodReply);
      EXPECT_EQ(b.texts.LogWrites(), Texts{op->report}) << stray << " + " << op->name;
      EXPECT_FALSE(b.On(op->timeout));
      EXPECT_FALSE(b.line.HasWaiting());
    }
  }
}

TEST(Dispatch, BytesAfterAnAnswerAreNoise) {
  for (const Awaiting* op : kAwaiting) {
    const std::string reply = op->goodReply;
    const std::string corruptCopy = reply.substr(0, reply.size() - 2) + "00";
    for (const std::string& after :
         {std::string("AA"), std::string("01 03"), std::string("05 06"), std::string("00 00"),
          std::string("05 86 02 82 60"), std::string("01 83 02 C0 F1"), corruptCopy,
          Repeat("AA", 12)}) {
      Bench b;
      op->start(b);
      b.texts.Forget();
      b.Receive(reply + " " + after);
      b.line.FallSilent();
      b.Receive(after);
      b.line.FallSilent();
      EXPECT_EQ(b.texts.LogWrites(), Texts{op->report}) << op->name << " + " << after;
      EXPECT_FALSE(b.On(op->timeout));
    }
  }
}

TEST(Dispatch, BytesAfterAFailureOrATimeOutAreNoise) {
  for (const Awaiting* op : kAwaiting) {
    for (bool timedOut : {false, true}) {
      Bench b;
      op->start(b);
      if (timedOut) {
        b.Tick(op->timeout, 13);
      } else {
        b.Receive(Repeat("AA", op->judgedFrom));
        b.line.FallSilent();
      }
      ASSERT_EQ(b.texts.LogText(), op->failure) << op->name;
      b.texts.Forget();
      for (const char* after : {"AA AA AA AA AA AA AA AA AA", "05 86 02 82 60", "01 83 02 C0 F1"}) {
        b.Receive(after);
        b.line.FallSilent();
      }
      EXPECT_TRUE(b.texts.Writes().empty()) << op->name << (timedOut ? " timed out" : "");
    }
  }
}

TEST(Dispatch, AWholeDuplicateOfTheReplyShowsTheReportAgain) {
  for (const Awaiting* op : kAwaiting) {
    for (bool oneRead : {true, false}) {
      Bench b;
      op->start(b);
      b.texts.Forget();
      if (oneRead) {
        b.Receive(std::string(op->goodReply) + " " + op->goodReply);
      } else {
        b.Receive(op->goodReply);
        b.line.FallSilent();
        b.Receive(op->goodReply);
      }
      EXPECT_EQ(b.texts.LogWrites(), (Texts{op->report, op->report})) << op->name;
      EXPECT_TRUE(b.Running().empty()) << op->name;
    }
  }
}

TEST(Dispatch, ALateReplyAfterATimeOutReplacesTheFailure) {
  for (const Awaiting* op : kAwaiting) {
    Bench b;
    op->start(b);
    b.Tick(op->timeout, 13);
    ASSERT_EQ(b.texts.LogText(), op->failure) << op->name;
    b.Receive(op->goodReply);
    EXPECT_EQ(b.texts.LogText(), op->report) << op->name;
    EXPECT_FALSE(b.On(op->timeout));
    EXPECT_EQ(b.Count(op->timeout), 0);
  }
}

TEST(Dispatch, NothingIsAwaitedBeforeTheFirstPress) {
  Bench b;
  b.Receive("01 03 02 00 DC B9 DD");
  b.line.FallSilent();
  b.Receive("AA AA AA AA AA AA AA AA AA");
  b.line.FallSilent();
  EXPECT_TRUE(b.texts.Writes().empty());
  EXPECT_TRUE(b.Running().empty());
  EXPECT_EQ(b.ops.Pending(), std::nullopt);
}

TEST(Dispatch, SilenceWithNothingWaitingChangesNothing) {
  Bench b;
  kVoltage.start(b);
  b.Tick(Clock::kVoltageTimeout, 3);
  b.Receive("01");
  b.line.FallSilent();
  b.texts.Forget();
  b.line.ForgetCalls();
  for (int i = 0; i < 3; ++i) b.line.FallSilent();
  EXPECT_TRUE(b.line.Calls().empty());
  EXPECT_TRUE(b.texts.Writes().empty());
  EXPECT_TRUE(b.On(Clock::kVoltageTimeout));
  EXPECT_EQ(b.Count(Clock::kVoltageTimeout), 3);
  EXPECT_EQ(b.ops.Pending(), StepId::kQueryVoltage);
  // The byte that named the slave still waits for its rest.
  b.Receive("03 02 00 DC B9 DD");
  EXPECT_EQ(b.texts.LogWrites(), Texts{kVoltage1Report});
}

TEST(Dispatch, RepliesDuringTheBroadcastAreDiscardedAndTheDelayRunsOn) {
  Bench b;
  b.Type("5");
  b.ops.SetAddress();
  b.Tick(Clock::kSetDelay);
  b.Receive("05 86 02 82 60");
  b.Receive("05 06 00 12 00 05 E8 48");
  b.Receive("AA AA AA AA AA AA AA AA");
  b.line.FallSilent();
  EXPECT_TRUE(b.texts.Writes().empty());
  EXPECT_EQ(b.Count(Clock::kSetDelay), 1);
  EXPECT_FALSE(b.line.HasWaiting());
  b.Tick(Clock::kSetDelay, 2);
  EXPECT_EQ(b.Sent(), 2U);
  // The earlier bytes are gone: only the echo that follows the confirmation counts.
  b.Receive("05 06 00 12 00 05 E8 48");
  EXPECT_EQ(b.texts.LogWrites(), Texts{kSetAddress5Report});
}

TEST(Dispatch, RepliesDuringTheMeasurementAreDiscardedAndTheWaitRunsOn) {
  Bench b;
  b.Type("5");
  b.ops.QueryResistance();
  b.Tick(Clock::kMeasureDelay, 4);
  b.texts.Forget();
  for (const char* bytes : {"05 06 00 11 00 01 19 8B", "05 86 02 82 60", "05 03 02 00 05 89 87",
                            "05 03 04 01 59 00 01 AF DC", "05"}) {
    b.Receive(bytes);
  }
  b.line.FallSilent();
  EXPECT_TRUE(b.texts.Writes().empty());
  EXPECT_EQ(b.texts.LogText(), kMeasuring);
  EXPECT_TRUE(b.On(Clock::kMeasureDelay));
  EXPECT_EQ(b.Count(Clock::kMeasureDelay), 4);
  b.Tick(Clock::kMeasureDelay, 14);
  EXPECT_EQ(b.Sent(), 1U);
  b.Tick(Clock::kMeasureDelay);
  EXPECT_EQ(b.Sent(), 2U);
  b.Receive("05 03 04 01 59 00 01 AF DC");
  EXPECT_EQ(b.texts.LogWrites(), Texts{kResistance5Report});
}

TEST(Dispatch, ATextThatBeginsWithTheAddressGivesTheReportForThatSlave) {
  for (const char* text : {"5", "+5", "5.0", "5.", "5\n7", " 5 ", "5abc"}) {
    Bench v;
    v.Type(text);
    v.ops.QueryVoltage();
    v.texts.SetLogText("电压 = 220伏");  // the report of a minute ago must not stand
    v.texts.Forget();
    v.Receive("05 03 02 00 DC 48 1D");
    EXPECT_EQ(v.texts.LogWrites(), Texts{kVoltage5Report}) << "'" << text << "'";

    Bench r;
    StartResistance(r, text);
    r.texts.Forget();
    r.Receive("05 03 04 01 59 00 01 AF DC");
    EXPECT_EQ(r.texts.LogWrites(), Texts{kResistance5Report}) << "'" << text << "'";
  }
  Bench b;
  StartVoltage(b, "12abc");
  b.Receive("0C 03 02 00 DC 94 1C");
  EXPECT_EQ(
      b.texts.LogText(),
      "查询成功！\r\n发送：0C 03 00 0F 00 01 B5 14\r\n接收：0C 03 02 00 DC 94 1C\r\n电压 = 220伏");
}

TEST(Dispatch, AQueryToSlaveZeroTakesOnlySlaveZerosReply) {
  for (const char* text : {"", "(1-255)", "256"}) {
    Bench other;
    StartVoltage(other, text);
    other.Receive("05 03 02 00 DC 48 1D");
    other.line.FallSilent();
    EXPECT_EQ(other.texts.LogWrites(), Texts{kQueryFailed}) << "'" << text << "'";

    Bench zero;
    StartVoltage(zero, text);
    zero.Receive("00 03 02 00 DC 84 1D");
    EXPECT_EQ(zero.texts.LogWrites(),
              Texts{"查询成功！\r\n发送：00 03 00 0F 00 01 B5 D8\r\n接收：00 03 02 00 DC 84 1D\r\n"
                    "电压 = 220伏"})
        << "'" << text << "'";
  }
}

// A line that gives back the tool's own requests (an RS-485 adapter that hears itself).

TEST(EchoingLine, SetAddressWithNoDetectorFailsAtTheTimeOut) {
  Bench b;
  b.Type("5");
  b.ops.SetAddress();
  b.Receive("00 06 00 12 00 05 E8 1D");  // the broadcast's own copy
  b.Tick(Clock::kSetDelay, 3);
  ASSERT_EQ(b.Sent(), 2U);
  b.Receive("05 06 00 12 00 05 E8 48");  // the confirmation's own copy
  b.line.FallSilent();
  EXPECT_TRUE(b.line.Echoing());
  EXPECT_TRUE(b.texts.Writes().empty());
  b.Tick(Clock::kSetTimeout, 12);
  EXPECT_TRUE(b.texts.Writes().empty());
  b.Tick(Clock::kSetTimeout);
  EXPECT_EQ(b.texts.LogWrites(), Texts{kSetFailed});
}

TEST(EchoingLine, SetAddressWithADetectorShowsTheDetectorsEcho) {
  const std::string own = "05 06 00 12 00 05 E8 48";
  const Bytes both = Hex(own + " " + own);
  // The copy and the detector's echo in one read, or cut anywhere, with a pause at the cut.
  for (std::size_t cut = 0; cut < both.size(); ++cut) {
    Bench b;
    b.Type("5");
    b.ops.SetAddress();
    b.Receive("00 06 00 12 00 05 E8 1D");
    b.Tick(Clock::kSetDelay, 3);
    b.line.Receive(std::span(both).first(cut));
    b.line.FallSilent();
    EXPECT_TRUE(b.texts.Writes().empty()) << cut;
    b.line.Receive(std::span(both).subspan(cut));
    EXPECT_EQ(b.texts.LogWrites(), Texts{kSetAddress5Report}) << cut;
    EXPECT_FALSE(b.On(Clock::kSetTimeout)) << cut;
  }
}

TEST(EchoingLine, EveryQuerysOwnCopyIsPassedOver) {
  const struct {
    const Awaiting* op;
    const char* ownCopy;
  } cases[] = {
      {&kQueryAddress, "00 03 00 12 00 01 25 DE"},
      {&kResistance, "01 03 00 0D 00 02 55 C8"},
      {&kVoltage, "01 03 00 0F 00 01 B4 09"},
  };
  for (const auto& c : cases) {
    // The copy alone: no failure at the silence, only at the time-out.
    Bench alone;
    c.op->start(alone);
    alone.texts.Forget();
    alone.Receive(c.ownCopy);
    alone.line.FallSilent();
    EXPECT_TRUE(alone.texts.Writes().empty()) << c.op->name;
    alone.Tick(c.op->timeout, 13);
    EXPECT_EQ(alone.texts.LogWrites(), Texts{c.op->failure}) << c.op->name;
    // The copy, then the reply.
    Bench b;
    c.op->start(b);
    b.texts.Forget();
    b.Receive(std::string(c.ownCopy) + " " + c.op->goodReply);
    EXPECT_EQ(b.texts.LogWrites(), Texts{c.op->report}) << c.op->name;
  }
}

// Operations pressed while another runs.

TEST(Overlapping, VoltageDuringTheMeasurementWaitRunsToItsEnd) {
  Bench b;
  b.Type("1");
  b.ops.QueryResistance();
  b.Tick(Clock::kMeasureDelay, 5);
  b.ops.QueryVoltage();
  b.Tick(Clock::kVoltageTimeout, 2);
  b.Tick(Clock::kMeasureDelay, 1);
  b.Receive("01 03 02 00 DC B9 DD");
  EXPECT_EQ(b.texts.LogText(), kVoltage1Report);
  EXPECT_FALSE(b.On(Clock::kVoltageTimeout));
  EXPECT_TRUE(b.On(Clock::kMeasureDelay));
  b.Tick(Clock::kMeasureDelay, 12);  // 18 ticks of the wait so far
  EXPECT_EQ(b.Sent(), 2U);
  b.Tick(Clock::kMeasureDelay);
  ASSERT_EQ(b.Sent(), 3U);
  EXPECT_EQ(b.LastSent(), Hex("01 03 00 0D 00 02 55 C8"));
  b.Receive("01 03 04 01 59 00 01 EA 1C");
  EXPECT_EQ(b.texts.LogText(), kResistance1Report);
  EXPECT_TRUE(b.Running().empty());
}

TEST(Overlapping, VoltageDuringTheSetAddressDelayThenTheConfirmationLeavesOnTime) {
  Bench b;
  b.Type("5");
  b.ops.SetAddress();
  b.Tick(Clock::kSetDelay);
  b.Type("1");
  b.ops.QueryVoltage();
  b.Receive("01 03 02 00 DC B9 DD");
  EXPECT_EQ(b.texts.LogText(), kVoltage1Report);
  b.Tick(Clock::kSetDelay, 2);
  ASSERT_EQ(b.Sent(), 3U);
  EXPECT_EQ(b.LastSent(), Hex("05 06 00 12 00 05 E8 48"));
  b.Receive("05 06 00 12 00 05 E8 48");
  EXPECT_EQ(b.texts.LogText(), kSetAddress5Report);
  EXPECT_TRUE(b.Running().empty());
}

TEST(Overlapping, AQueriedAddressServesTheNextQuery) {
  Bench b;
  b.ops.QueryAddress();
  b.Receive("05 03 02 00 05 89 87");
  ASSERT_EQ(b.texts.LogText(), kQueryAddress5Report);
  b.ops.QueryVoltage();
  EXPECT_EQ(b.LastSent(), Hex("05 03 00 0F 00 01 B5 8D"));
  b.Receive("05 03 02 00 DC 48 1D");
  EXPECT_EQ(b.texts.LogText(), kVoltage5Report);
}

}  // namespace
}  // namespace karvello
