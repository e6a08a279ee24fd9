// Windows: a bare multimedia timer (timeSetEvent, TIME_PERIODIC, resolution raised to
// 1 ms) whose callback only notes the time.

#include "floor.h"

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <thread>

namespace tambrel::bench {

const char* const kFloorName = "bare WinMM timer (floor)";

namespace {

struct Wakeups {
    std::vector<std::chrono::steady_clock::time_point>* at;
    std::atomic<std::size_t> count{0};
};

void CALLBACK noteTime(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    auto* w = reinterpret_cast<Wakeups*>(user);
    const std::size_t i = w->count.load(std::memory_order_relaxed);
    if (i < w->at->size()) {
        (*w->at)[i] = std::chrono::steady_clock::now();
        w->count.store(i + 1, std::memory_order_release);
    }
}

} // namespace

FloorRun runFloor(int ticks, int periodMs) {
    FloorRun run;
    run.ticks.resize(static_cast<std::size_t>(ticks));
    Wakeups wakeups{&run.ticks};
    timeBeginPeriod(1);
    run.start = std::chrono::steady_clock::now();
    const MMRESULT id = timeSetEvent(
        static_cast<UINT>(periodMs), 1, &noteTime, reinterpret_cast<DWORD_PTR>(&wakeups),
        TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    if (id != 0) {
        while (wakeups.count.load(std::memory_order_acquire) < run.ticks.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(periodMs * 10));
        }
        timeKillEvent(id);
    }
    timeEndPeriod(1);
    run.ticks.resize(wakeups.count.load());
    return run;
}

} // namespace tambrel::bench
