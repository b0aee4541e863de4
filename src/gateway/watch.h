#pragma once
// The site gateway's watch: rounds of readings of its detectors on a fixed grid (the n-th round
// due at the start plus n periods; a round whose time has passed is left out rather than run
// late), the resistance limit's alarm at each address, and a lost line ridden out (each reading
// while it is gone is a line-lost outcome, and the line is opened again before each one until it
// is back). A detector that stops answering is set aside (set_aside.h): read in fewer rounds,
// until it answers again, so that it does not hold up the others; after as many failed readings
// in a row (a lost line's included) its no-answer alarm is raised, and its next answer clears it.
// A detector set aside is read in a round it is due only when its readings' time-outs fit before
// the next round is due (else in the next, after waiting at most its gap again), so that the
// silent ones never push the next round out. It feeds the site's state, and tells its front end of
// each reading, each change of an alarm, each detector set aside or back, each round left out and
// each late reply, to print, record and publish.

#include <QDateTime>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/alarm_rule.h"
#include "engine/engine.h"
#include "gateway/set_aside.h"
#include "present/reading_fields.h"

namespace karvello {
class SerialLine;
}

namespace karvello::gateway {

class SiteState;

// The longest period between rounds: a week.
inline constexpr std::chrono::milliseconds kLongestWatchPeriod{7LL * 24 * 3600 * 1000};

struct WatchPlan {
  std::vector<std::uint8_t> addresses;
  std::vector<Operation> operations;  // each round reads each address for each, in this order
  std::chrono::milliseconds every{60000};
  long long rounds = 0;               // the watch ends after this many; 0: when stopped
  std::optional<AlarmLimit> limit;    // of the resistance readings
  std::set<int> raisedAtStart;        // addresses whose alarm stood when the watch last ran
  std::set<int> silentAtStart{};      // addresses whose no-answer alarm stood then
  int deadAfter = kDefaultDeadAfter;  // failed readings in a row that set a detector aside
  int deadRetry = kDefaultDeadRetry;  // the longest gap in rounds between its readings then
};

// The longest a round of `plan` takes on `engine`: each operation's delays and reply time-outs
// run out in full, with the guard after each time-out, at every address.
std::chrono::milliseconds LongestRound(const WatchPlan& plan, const Engine& engine);
// The least a round of `plan` takes, every detector answering at once: the measurements' delays.
std::chrono::milliseconds ShortestRound(const WatchPlan& plan);

class Watch {
 public:
  using ReadingHandler =
      std::function<void(const Outcome& outcome, int address, const QDateTime& when)>;
  using AlarmHandler = std::function<void(const AlarmChange& change)>;
  using LateHandler = std::function<void(const Outcome& outcome, const QDateTime& when)>;

  // The engine works `line`; both must outlive the watch, which takes the engine's handlers.
  // `state`, when given, is fed and must outlive it too.
  Watch(WatchPlan plan, Engine& engine, SerialLine& line, SiteState* state = nullptr);
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  // Each reading of a round as it ends, a line-lost one included.
  void SetOnReading(ReadingHandler handler) { onReading_ = std::move(handler); }
  // A change of an alarm, after the reading that made it.
  void SetOnAlarm(AlarmHandler handler) { onAlarm_ = std::move(handler); }
  // A late or repeated reply of a reading that had ended: for the record, never a reading.
  void SetOnLate(LateHandler handler) { onLate_ = std::move(handler); }
  // A detector set aside (`aside`) or read every round again, at `when`.
  void SetOnSetAside(std::function<void(int address, bool aside, const QDateTime& when)> handler) {
    onSetAside_ = std::move(handler);
  }
  // Rounds whose time passed while the one before ran, left out: told as the next one is due.
  void SetOnRoundsLeftOut(std::function<void(long long count)> handler) {
    onLeftOut_ = std::move(handler);
  }
  // The engine's progress of the reading in flight, at `address`.
  void SetOnProgress(std::function<void(const Progress&, int address)> handler) {
    onProgress_ = std::move(handler);
  }
  // The line went (once for each loss), and carried an exchange again.
  void SetOnLineLost(std::function<void()> handler) { onLineLost_ = std::move(handler); }
  void SetOnLineBack(std::function<void()> handler) { onLineBack_ = std::move(handler); }
  // Opens the line again at its address; true when it is open.
  void SetReopen(std::function<bool()> reopen) { reopen_ = std::move(reopen); }
  // The watch has ended: its rounds done, or stopped.
  void SetOnFinished(std::function<void()> handler) { onFinished_ = std::move(handler); }

  // The first round at once.
  void Start();
  // Ends after the reading in flight (a second call, or none in flight: at once).
  void Stop();

  // A reading was answered; the results of the failed ones, each kind once.
  bool Answered() const { return answered_; }
  const std::set<Result>& Failures() const { return failures_; }
  long long RoundsDone() const { return roundsDone_; }

 private:
  struct Step {
    Operation operation;
    std::uint8_t address;
  };
  using Clock = std::chrono::steady_clock;

  void StartNext();
  void OnOutcome(const Outcome& outcome);
  void Emit(const Outcome& outcome, int address);
  void JudgeAlarm(const Outcome& outcome, int address, const QDateTime& when);
  void JudgeAnswer(const Outcome& outcome, int address, const QDateTime& when);
  bool Due(std::uint8_t address) const;
  Clock::duration Period() const;
  void ScheduleRound();
  void OnRoundTimer();
  void LineGone();
  bool LineBack();
  void Finish();

  WatchPlan plan_;
  Engine& engine_;
  SerialLine& line_;
  SiteState* state_;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  std::map<int, AlarmRule> alarms_;
  struct Silence {
    AsideSchedule schedule;
    int failures = 0;  // in a row, a lost line's included, counted up to the plan's deadAfter
    bool alarm = false;
  };
  std::map<int, Silence> silences_;
  std::chrono::milliseconds longestReading_{0};  // of one address: its operations' waits in full
  QTimer roundTimer_;
  Clock::time_point start_;
  Clock::time_point due_;
  long long roundsDone_ = 0;
  long long slot_ =
      0;  // the current round's place on the grid: due at the start plus slot_ periods
  bool inFlight_ = false;
  bool stopping_ = false;
  bool finished_ = false;
  bool lineGone_ = false;
  bool answered_ = false;
  std::set<Result> failures_;

  ReadingHandler onReading_;
  AlarmHandler onAlarm_;
  LateHandler onLate_;
  std::function<void(const Progress&, int)> onProgress_;
  std::function<void(int, bool, const QDateTime&)> onSetAside_;
  std::function<void(long long)> onLeftOut_;
  std::function<void()> onLineLost_;
  std::function<void()> onLineBack_;
  std::function<bool()> reopen_;
  std::function<void()> onFinished_;
};

}  // namespace karvello::gateway
