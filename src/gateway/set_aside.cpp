#include "gateway/set_aside.h"

#include <algorithm>

namespace karvello::gateway {

AsideSchedule::AsideSchedule(int after, int longest)
    : after_(std::max(after, 1)), longest_(std::max(longest, 1)) {}

AsideSchedule::Change AsideSchedule::Take(bool answered, long long round) {
  if (answered) {
    failures_ = 0;
    gap_ = 1;
    if (!aside_) return Change::kNone;
    aside_ = false;
    return Change::kBack;
  }
  failures_ = std::min(failures_ + 1, after_);
  if (!aside_) {
    if (failures_ < after_) return Change::kNone;
    aside_ = true;
    gap_ = std::min<long long>(2, longest_);
    nextDue_ = round + gap_;
    lastFailedRound_ = round;
    return Change::kSetAside;
  }
  // The readings of one round (a detector read for two quantities) widen the gap once.
  if (round != lastFailedRound_) {
    gap_ = std::min(gap_ * 2, longest_);
    nextDue_ = round + gap_;
    lastFailedRound_ = round;
  }
  return Change::kNone;
}

}  // namespace karvello::gateway
