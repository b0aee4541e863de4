#pragma once
// The tool's timers: intervals, and the counts at which a delay or a time-out runs out. A timer
// acts on the tick after its counter has reached its limit, so on tick number limit + 1.

#include <chrono>
#include <cstdint>

namespace karvello::timing {

inline constexpr std::chrono::milliseconds kShortTick{100};
inline constexpr std::chrono::milliseconds kMeasureTick{1000};

// A reply is due within 1.3 s of its request: the failure text comes on the 13th tick.
inline constexpr std::int16_t kReplyTimeoutLimit = 12;
// The detector takes the broadcast address before the confirming write, 0.3 s later.
inline constexpr std::int16_t kSetDelayLimit = 2;
// A measurement is finished 19 s after its start.
inline constexpr std::int16_t kMeasureDelayLimit = 18;

}  // namespace karvello::timing
