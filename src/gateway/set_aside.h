#pragma once
// When a detector that stops answering is read: after `after` failed readings in a row it is set
// aside and read only every 2nd round, then every 4th, the gap doubling up to `longest` rounds;
// the first reading it answers brings it back to every round. A failed reading is one that the
// detector did not answer (no reply, a corrupt, cut or wrong reply); a refusal is an answer, and
// a reading the line could not carry (lost) counts for neither side.

#include <cstdint>

namespace karvello::gateway {

// The failed readings in a row that set a detector aside unless told otherwise, and their range.
inline constexpr int kDefaultDeadAfter = 5;
inline constexpr int kLongestDeadAfter = 1000;
// The longest gap, in rounds, between the readings of a detector set aside, and its range.
inline constexpr int kDefaultDeadRetry = 64;
inline constexpr int kLongestDeadRetry = 100000;

class AsideSchedule {
 public:
  enum class Change { kNone, kSetAside, kBack };

  // `after` from 1, `longest` from 1 (1: set aside, yet read every round).
  AsideSchedule(int after, int longest);

  // Whether the detector is read in round `round` (the rounds counted from 0 as they run).
  bool Due(long long round) const { return !aside_ || round >= nextDue_; }
  // The next reading of the detector, made in round `round`: answered, or failed.
  Change Take(bool answered, long long round);
  bool Aside() const { return aside_; }
  // The gap in rounds before its next reading while set aside, and the round it is due.
  long long Gap() const { return gap_; }
  long long NextDue() const { return nextDue_; }

 private:
  int after_;
  long long longest_;
  int failures_ = 0;  // in a row, counted up to `after_`
  bool aside_ = false;
  long long gap_ = 1;
  long long nextDue_ = 0;
  long long lastFailedRound_ = -1;  // the round whose failure set the gap
};

}  // namespace karvello::gateway
