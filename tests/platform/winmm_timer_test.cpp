// The step clock's timer on the Windows multimedia timer: the schedule, the kill from
// every thread it can come from, and the stall rule at the benchmark's period.

#include "platform/periodic_timer.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <mmsystem.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace tambrel::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls every millisecond until `done()` holds or `limit` has passed; whether it holds.
template <class Done> bool waitUntil(Done done, std::chrono::milliseconds limit = 3s) {
    const auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// The expiries of one timer: when each came, and whether two ever ran at once.
struct Expiries {
    static constexpr std::size_t kKept = 256;
    std::atomic<int> count{0};
    std::atomic<bool> inside{false};
    std::atomic<bool> overlapped{false};
    std::array<Clock::time_point, kKept> at{};
    // Expiry number `stallAt` (0-based) takes this long, as a stalled machine would.
    int stallAt = -1;
    std::chrono::milliseconds stall{0};

    static void note(void* self, TimerClock::time_point) noexcept {
        auto* e = static_cast<Expiries*>(self);
        if (e->inside.exchange(true)) {
            e->overlapped.store(true);
        }
        const int i = e->count.load();
        if (static_cast<std::size_t>(i) < kKept) {
            e->at[static_cast<std::size_t>(i)] = Clock::now();
        }
        if (i == e->stallAt) {
            std::this_thread::sleep_for(e->stall);
        }
        e->count.store(i + 1);
        e->inside.store(false);
    }

    bool waitFor(int n, std::chrono::milliseconds limit) const {
        return waitUntil([&] { return count.load() >= n; }, limit);
    }
};

TEST(WinMmTimer, TwoHundredTicksAtFiveMillisecondsOnTheSchedule) {
    TimerService timers;
    const TimerCaps caps = timers.caps();
    EXPECT_GE(caps.periodMin, 1U);
    EXPECT_LE(caps.periodMin, 5U);
    EXPECT_GE(caps.periodMax, 1000U);
    timers.requestResolution(caps.periodMin);

    Expiries e;
    const auto start = Clock::now();
    const std::uint32_t id = timers.start(5, &Expiries::note, &e);
    ASSERT_NE(id, 0U);
    EXPECT_TRUE(timers.isRunning(id));
    ASSERT_TRUE(e.waitFor(200, 5s));
    timers.kill(id);
    EXPECT_FALSE(timers.isRunning(id));
    const int atKill = e.count.load();
    EXPECT_FALSE(e.overlapped.load());

    // The first expiry comes a period after the start of the millisecond the timer was
    // started in (the service counts whole milliseconds), and the 200th keeps to
    // start + 200 x 5 ms rather than drifting by what each expiry cost.
    EXPECT_GE(e.at[0] - start, 4ms);
    const auto last = e.at[199] - start;
    EXPECT_GE(last, 999ms);
    EXPECT_LT(last, 1100ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(e.count.load(), atKill) << "an expiry came after the kill";
}

TEST(WinMmTimer, KillFromAnotherThreadWaitsForTheRunningExpiry) {
    TimerService timers;
    Expiries e;
    e.stallAt = 0;
    e.stall = 100ms;
    const std::uint32_t id = timers.start(5, &Expiries::note, &e);
    ASSERT_NE(id, 0U);
    ASSERT_TRUE(waitUntil([&] { return e.inside.load(); }));
    timers.kill(id);
    EXPECT_FALSE(e.inside.load()) << "kill returned while an expiry still ran";
    EXPECT_EQ(e.count.load(), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(e.count.load(), 1);
}

// A bare multimedia timer beside ours: each expiry only notes the time.
struct BareTimer {
    std::array<Clock::time_point, Expiries::kKept> at{};
    std::atomic<int> count{0};
    MMRESULT id = 0;

    static void CALLBACK note(UINT, UINT, DWORD_PTR self, DWORD_PTR, DWORD_PTR) {
        auto* b = reinterpret_cast<BareTimer*>(self);
        const int i = b->count.load();
        if (static_cast<std::size_t>(i) < Expiries::kKept) {
            b->at[static_cast<std::size_t>(i)] = Clock::now();
        }
        b->count.store(i + 1);
    }
};

// Starts the bare timer and then ours at 5 ms, both late in one millisecond, as Play may
// be pressed. Returns our timer's identifier, or 0 (and neither runs) when they did not
// start in the same millisecond.
std::uint32_t startLateInOneMillisecond(TimerService& timers, BareTimer& bare, Expiries& ours) {
    const DWORD before = timeGetTime();
    while (timeGetTime() == before) {
    }
    const DWORD ms = timeGetTime();
    const auto late = Clock::now() + 700us;
    while (Clock::now() < late) {
    }
    bare.id = timeSetEvent(5, 1, &BareTimer::note, reinterpret_cast<DWORD_PTR>(&bare),
                           TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    const std::uint32_t id = timers.start(5, &Expiries::note, &ours);
    if (timeGetTime() == ms && bare.id != 0 && id != 0) {
        return id;
    }
    timers.kill(id);
    timeKillEvent(bare.id);
    return 0;
}

TEST(WinMmTimer, AnExpiryRunsWhenTheServiceFiresIt) {
    // Set in the same millisecond, the two timers share the service's schedule, and Wine's
    // service (these tests run on it) runs the one set first and then ours right after it.
    // Slots counted from the moment of the start would come most of a millisecond after
    // the service fires, and most expiries would wait for theirs.
    TimerService timers;
    std::unique_ptr<BareTimer> bare;
    std::unique_ptr<Expiries> ours;
    std::uint32_t id = 0;
    for (int attempt = 0; attempt < 20 && id == 0; ++attempt) {
        bare = std::make_unique<BareTimer>();
        ours = std::make_unique<Expiries>();
        id = startLateInOneMillisecond(timers, *bare, *ours);
    }
    ASSERT_NE(id, 0U);
    ASSERT_TRUE(ours->waitFor(100, 3s));
    timers.kill(id);
    timeKillEvent(bare->id);
    int held = 0;
    std::string gaps; // for the failure message: ours after the bare one, microseconds
    for (std::size_t i = 0; i < 100; ++i) {
        const auto gap = ours->at[i] - bare->at[i];
        held += gap > 250us ? 1 : 0;
        gaps += std::to_string(gap / 1us) + " ";
    }
    EXPECT_LE(held, 10) << "expiries held back after the service fired them: " << gaps;
}

// A timer that kills itself, or another one, from inside an expiry: the multimedia timer
// runs every expiry of the process on one thread, so neither may wait for that thread.
struct Killer {
    TimerService* timers = nullptr;
    std::atomic<std::uint32_t> victim{0};
    std::atomic<int> calls{0};

    static void killVictim(void* self, TimerClock::time_point) noexcept {
        auto* k = static_cast<Killer*>(self);
        k->calls.fetch_add(1);
        if (const std::uint32_t id = k->victim.exchange(0)) {
            k->timers->kill(id);
        }
    }
};

TEST(WinMmTimer, KillFromAnExpiryEndsTheTimerWithoutDeadlock) {
    TimerService timers;
    Killer self{&timers};
    const std::uint32_t id = timers.start(5, &Killer::killVictim, &self);
    ASSERT_NE(id, 0U);
    self.victim.store(id);
    EXPECT_TRUE(waitUntil([&] { return !timers.isRunning(id); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_LE(self.calls.load(), 2); // one already begun when the kill came, at most
    const int calls = self.calls.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(self.calls.load(), calls);

    // One timer's expiry ends another; both run on the service's one thread.
    Expiries other;
    const std::uint32_t otherId = timers.start(5, &Expiries::note, &other);
    Killer killer{&timers};
    killer.victim.store(otherId);
    const std::uint32_t killerId = timers.start(7, &Killer::killVictim, &killer);
    ASSERT_NE(killerId, 0U);
    EXPECT_TRUE(waitUntil([&] { return !timers.isRunning(otherId); }));
    const int otherCount = other.count.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(other.count.load(), otherCount);
    EXPECT_TRUE(timers.isRunning(killerId));
    timers.kill(killerId);
}

TEST(WinMmTimer, AfterAStallTheMissedExpiriesAreDroppedNotBurst) {
    // The third expiry stalls for 20 periods; the service would then fire the 20 it
    // missed back to back.
    TimerService timers;
    Expiries e;
    e.stallAt = 2;
    e.stall = 100ms;
    const std::uint32_t id = timers.start(5, &Expiries::note, &e);
    ASSERT_NE(id, 0U);
    ASSERT_TRUE(e.waitFor(30, 3s));
    timers.kill(id);
    // From the first expiry after the stall: played late, the 20 missed would come back
    // to back and the next 26 expiries would take about 30 ms; dropped, they keep to the
    // schedule, 5 ms apart (a loaded machine may bunch one now and then).
    int bunched = 0;
    for (std::size_t i = 4; i < 30; ++i) {
        if (e.at[i] - e.at[i - 1] < 1ms) {
            ++bunched;
        }
    }
    std::string times; // for the failure message: each expiry's time after the first, ms
    for (std::size_t i = 0; i < 30; ++i) {
        times += std::to_string((e.at[i] - e.at[0]) / 100us / 10.0) + " ";
    }
    EXPECT_LE(bunched, 5) << "missed expiries were played back to back: " << times;
    EXPECT_GE(e.at[29] - e.at[3], 100ms) << times;
}

} // namespace
} // namespace tambrel::platform
