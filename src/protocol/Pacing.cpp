#include "protocol/Pacing.h"

#include <thread>

void WaitAtLeast(int ms)
{
    using Clock = std::chrono::steady_clock;
    if (ms <= 0)
        return;
    const auto wait = std::chrono::milliseconds(ms);
    const auto until = Clock::now() + wait;
    const auto sleepFor = wait - PACING_SPIN_MARGIN;
    if (sleepFor.count() > 0)
        std::this_thread::sleep_for(sleepFor);
    while (Clock::now() < until)
        std::this_thread::yield();
}

std::int64_t SteadyNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int PercentOf(std::int64_t done, std::int64_t total)
{
    if (total <= 0)
        return 0;
    return static_cast<int>(done * 100 / total);
}
