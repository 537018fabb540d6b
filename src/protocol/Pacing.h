#pragma once
// Pauses between writes that the target needs: the next write must leave no
// earlier than the pause, and not much later either, since the pauses add up
// over a download.
#include <chrono>
#include <cstdint>

// Blocks the calling thread for at least ms milliseconds: sleeps for most of
// it, then spins on the steady clock for the rest, so scheduler wake-up lag
// does not stretch a 1 ms pause to several.
void WaitAtLeast(int ms);

// Milliseconds on the steady clock: the time base of the stall watch, for
// stamps written on one thread and compared on another.
std::int64_t SteadyNowMs();

// Percentage of done in total, truncated, computed in 64 bits; 0 for a total of 0.
int PercentOf(std::int64_t done, std::int64_t total);

// Microseconds of the wait given to the scheduler; the rest is spun.
inline constexpr std::chrono::microseconds PACING_SPIN_MARGIN{1500};
