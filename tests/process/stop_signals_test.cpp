// The requests to stop on POSIX systems: each of SIGINT, SIGTERM and SIGHUP is noted and told to
// the event loop once (one that came before it was listened for, too), and when the catcher goes
// the system handles them again as it did before.

#include "process/stop_signals.h"

#include <gtest/gtest.h>

#include <QObject>
#include <chrono>
#include <csignal>

#include "support/event_loop.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;

// The handler of `signal` as the system has it now.
void (*HandlerOf(int signal))(int) {
  struct sigaction now {};
  sigaction(signal, nullptr, &now);
  return now.sa_handler;
}

class StopSignalsTest : public ::testing::TestWithParam<int> {};

TEST_P(StopSignalsTest, EachIsToldOnceAndIsTheSystemsAgainOnceTheCatcherGoes) {
  const int signal = GetParam();
  const auto before = HandlerOf(signal);  // the default, or ignored under nohup
  {
    StopSignals stop;
    ASSERT_TRUE(stop.Catching());
    EXPECT_FALSE(stop.Came());
    std::raise(signal);  // before anyone listens: kept
    EXPECT_TRUE(stop.Came());
    QObject context;
    int told = 0;
    stop.OnEach(&context, [&told] { ++told; });
    EXPECT_TRUE(testing::RunUntil([&told] { return told == 1; }, 2s));
    std::raise(signal);
    EXPECT_TRUE(testing::RunUntil([&told] { return told == 2; }, 2s));
    testing::RunFor(50ms);
    EXPECT_EQ(told, 2);  // each once, not again while the loop runs on
  }
  EXPECT_EQ(HandlerOf(signal), before);
}

INSTANTIATE_TEST_SUITE_P(Each, StopSignalsTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

}  // namespace
}  // namespace karvello
