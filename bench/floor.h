#pragma once
// The floor of this machine for step_clock_jitter: the platform's own periodic wake-up
// doing no work, run with the same period and count as the step clock.

#include <chrono>
#include <vector>

namespace tambrel::bench {

struct FloorRun {
    std::chrono::steady_clock::time_point start;
    std::vector<std::chrono::steady_clock::time_point> ticks; // when each wake-up came
};

// What the floor is, as the benchmark's report names it.
extern const char* const kFloorName;

FloorRun runFloor(int ticks, int periodMs);

} // namespace tambrel::bench
