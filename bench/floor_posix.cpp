// Linux: a bare absolute-deadline loop (clock_nanosleep, TIMER_ABSTIME) on a thread with
// the step clock's priority.

#include "floor.h"
#include "platform/periodic_timer.h"

#include <cerrno>
#include <ctime>
#include <thread>

namespace tambrel::bench {

const char* const kFloorName = "bare absolute loop (floor)";

FloorRun runFloor(int ticks, int periodMs) {
    FloorRun run;
    run.ticks.resize(static_cast<std::size_t>(ticks));
    std::thread thread([&] {
        platform::raiseTimerThreadPriority();
        run.start = std::chrono::steady_clock::now();
        timespec base{};
        clock_gettime(CLOCK_MONOTONIC, &base);
        for (int i = 0; i < ticks; ++i) {
            const long long ns =
                static_cast<long long>(base.tv_nsec) + (i + 1) * periodMs * 1000000LL;
            const timespec due{base.tv_sec + static_cast<time_t>(ns / 1000000000LL),
                               static_cast<long>(ns % 1000000000LL)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
            }
            run.ticks[static_cast<std::size_t>(i)] = std::chrono::steady_clock::now();
        }
    });
    thread.join();
    return run;
}

} // namespace tambrel::bench
