// The line's log keeps the newest exchanges and numbers all of them.

#include "sim/exchange_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "sim/simulated_detector.h"
#include "support/case_names.h"
#include "support/hex_bytes.h"

namespace karvello::sim {
namespace {

using test::PrintTo;
using namespace std::chrono_literals;

// A finished exchange whose request is its index, four bytes high first.
Exchange Numbered(std::size_t index) {
  Exchange e;
  for (int shift = 24; shift >= 0; shift -= 8) {
    e.request.push_back(static_cast<std::uint8_t>(index >> shift));
  }
  e.finished = true;
  return e;
}

struct KeptCase {
  const char* name;
  std::size_t kept;  // 0: the default
  std::size_t added;
  std::size_t since;
  std::size_t first;  // of the slice
  std::size_t size;   // of the slice
};

class KeptTest : public ::testing::TestWithParam<KeptCase> {};

TEST_P(KeptTest, KeepsTheNewestAndCountsAll) {
  const KeptCase& c = GetParam();
  ExchangeLog log = c.kept == 0 ? ExchangeLog() : ExchangeLog(c.kept);
  for (std::size_t i = 0; i < c.added; ++i) ASSERT_EQ(log.Add(Numbered(i)), i);
  EXPECT_EQ(log.Count(), c.added);
  EXPECT_TRUE(log.WaitForFinished(c.added, 0ms));
  EXPECT_FALSE(log.WaitForFinished(c.added + 1, 0ms));
  const ExchangeLog::Slice slice = log.Since(c.since);
  EXPECT_EQ(slice.first, c.first);
  ASSERT_EQ(slice.exchanges.size(), c.size);
  for (std::size_t i = 0; i < slice.exchanges.size(); i += std::max<std::size_t>(1, c.size / 7)) {
    EXPECT_EQ(slice.exchanges[i].request, Numbered(slice.first + i).request) << i;
  }
  if (c.size > 0) {
    EXPECT_EQ(slice.exchanges.back().request, Numbered(c.added - 1).request);
  }
}

const KeptCase kKept[] = {{"AllTheDefaultKeeps", 0, 10'000, 0, 0, 10'000},
                          {"OneMoreThanTheDefaultKeeps", 0, 10'001, 0, 1, 10'000},
                          {"FromAnExchangeLetGo", 3, 5, 1, 2, 3},
                          {"FromOneKept", 3, 5, 3, 3, 2},
                          {"FromTheNextToCome", 3, 5, 5, 5, 0},
                          {"FromBeyondTheNextToCome", 3, 5, 9, 5, 0},
                          {"FewerThanKept", 3, 2, 0, 0, 2}};
INSTANTIATE_TEST_SUITE_P(Log, KeptTest, ::testing::ValuesIn(kKept), test::CaseName{});

// The newest exchange, unfinished, takes its reply piece by piece; once it is let go, what it
// still gets is dropped, and the count of finished ones stays right.
TEST(ExchangeLog, TheNewestTakesItsReplyAndLetsGoWhenTold) {
  ExchangeLog log(2);
  log.Add(Numbered(0));
  const std::size_t open = log.Add(Exchange{});
  const std::vector<std::uint8_t> head{1, 3, 2};
  EXPECT_EQ(log.AddReply(open, head), 0U);
  EXPECT_EQ(log.AddReply(open, head), 3U);
  log.CutReply(open, 4);
  EXPECT_FALSE(log.WaitForFinished(2, 0ms));
  log.Finish(open);
  log.Finish(open);  // once only
  EXPECT_TRUE(log.WaitForFinished(2, 0ms));
  EXPECT_FALSE(log.WaitForFinished(3, 0ms));
  EXPECT_EQ(log.Since(open).exchanges.at(0).reply, (std::vector<std::uint8_t>{1, 3, 2, 1}));

  log.Keep(1);
  EXPECT_EQ(log.Since(0).first, 1U);
  log.Add(Numbered(2));
  EXPECT_EQ(log.AddReply(open, head), 0U);  // let go: nothing to add to
  EXPECT_EQ(log.Since(0).exchanges.at(0).request, Numbered(2).request);
  EXPECT_THROW(ExchangeLog(0), std::invalid_argument);
  EXPECT_THROW(log.Keep(0), std::invalid_argument);
}

// The detector's own log: more exchanges than it keeps, every one counted and waited for.
TEST(ExchangeLog, TheDetectorKeepsTheNewestOfMoreThanItKeeps) {
  SimulatedDetector detector(std::vector<DetectorConfig>{{}}, LineConfig{});
  const std::vector<std::uint8_t> voltage = testing::Hex("01 03 00 0F 00 01 B4 09");
  for (int i = 0; i < 10'001; ++i) detector.Respond(voltage);
  EXPECT_EQ(detector.ExchangeCount(), 10'001U);
  EXPECT_TRUE(detector.WaitForExchanges(10'001, 0ms));
  EXPECT_EQ(detector.Exchanges().size(), 10'000U);
  EXPECT_EQ(detector.ExchangesSince(0).first, 1U);
  EXPECT_EQ(detector.Exchanges().back().reply, testing::Hex("01 03 02 00 DC B9 DD"));
  detector.KeepExchanges(10);
  EXPECT_EQ(detector.ExchangesSince(0).first, 9'991U);
}

}  // namespace
}  // namespace karvello::sim
