// How tightly the step clock keeps time: runs the real step tick on the real timer
// against the in-memory MIDI back end, and in the same run two references with the same
// period, count and load: the platform's bare periodic wake-up doing no work (the floor of
// this machine: an absolute-deadline loop on Linux, the multimedia timer on Windows) and a
// loop of relative sleeps (what a naive clock does). The step clock and the floor take turns
// in ten rounds, each round against its own start.
//
//   step_clock_jitter [--ticks N] [--period-ms P] [--load K]

#include "bench_rig.h"
#include "bench_stats.h"
#include "floor.h"
#include "platform/periodic_timer.h"
#include "tests/support/memory_midi.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace tambrel;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures : bench::Percentiles { // lateness, microseconds
    long long drift = 0;              // last tick's lateness (of the last round), microseconds
    long long dropped = 0;            // steps skipped after a stall
};

// The step clock's timer drops the expiries it overran once it is this late (a whole
// period, and at least 50 ms); the slot it then serves is the last one already due.
constexpr double kDropLateAfterUs = 50000.0;

// The lateness of the ticks of one or more runs, each against its own start.
struct Lateness {
    std::vector<double> us;
    long long dropped = 0;

    void add(const bench::FloorRun& run, int periodMs, bool dropsAfterStalls) {
        const double periodUs = periodMs * 1000.0;
        long long slot = 0; // the schedule's slot the tick serves: start + slot x period
        for (const Clock::time_point tick : run.ticks) {
            const double sinceStart =
                std::chrono::duration<double, std::micro>(tick - run.start).count();
            ++slot;
            if (dropsAfterStalls &&
                sinceStart - slot * periodUs >= std::max(periodUs, kDropLateAfterUs)) {
                const auto served = static_cast<long long>(sinceStart / periodUs);
                dropped += served - slot;
                slot = served;
            }
            us.push_back(sinceStart - slot * periodUs);
        }
    }

    Figures figures() const {
        Figures f;
        f.dropped = dropped;
        if (!us.empty()) {
            f.drift = static_cast<long long>(us.back());
            static_cast<bench::Percentiles&>(f) = bench::percentilesOf(us);
        }
        return f;
    }
};

bench::FloorRun runStepClock(int ticks, int periodMs) {
    tambrel::testing::MidiRecorder recorder(static_cast<std::size_t>(ticks) * 8 + 64);
    bench::FullPatternRig rig(
        std::make_unique<tambrel::testing::MemoryMidiDevice>(0, "bench", recorder));
    // The engine's own period comes from the tempo (57 ms at the fastest); the bench
    // drives the very same tick from the very same timer at a finer period, to gather
    // many ticks in little time.
    bench::FloorRun run;
    run.start = Clock::now();
    const std::uint32_t id = rig.timers.start(
        static_cast<std::uint32_t>(periodMs),
        [](void* engine, Clock::time_point due) noexcept {
            static_cast<engine::RhythmEngine*>(engine)->StepTick(due);
        },
        &rig.engine);
    const std::size_t wanted = static_cast<std::size_t>(ticks) * 8;
    while (recorder.size() < wanted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(periodMs * 10));
    }
    rig.timers.kill(id);
    const auto messages = recorder.messages();
    for (std::size_t i = 0; i + 7 < messages.size() && run.ticks.size() < std::size_t(ticks);
         i += 8) {
        run.ticks.push_back(messages[i].at);
    }
    return run;
}

void print(const char* what, const Figures& f) {
    std::printf("%-28s lateness p50 %8.1f us  p99 %8.1f us  max %8.1f us  drift %lld us", what,
                f.p50, f.p99, f.max, f.drift);
    if (f.dropped > 0) {
        std::printf("  (%lld steps dropped after stalls)", f.dropped);
    }
    std::printf("\n");
}

struct Options {
    int ticks = 2000;
    int periodMs = 5;
    int load = 0;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 < argc && arg == "--ticks") {
            o.ticks = std::atoi(argv[++i]);
        } else if (i + 1 < argc && arg == "--period-ms") {
            o.periodMs = std::atoi(argv[++i]);
        } else if (i + 1 < argc && arg == "--load") {
            o.load = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    return o.ticks >= 1 && o.periodMs >= 1 && o.load >= 0;
}

// Ours and the floor take turns, a tenth of the ticks at a time: on a machine shared with
// other work, a burst of load from elsewhere then falls on both alike instead of on
// whichever of them ran at the time.
constexpr int kRounds = 10;

void runTakingTurns(const Options& o, Figures& ours, Figures& floor) {
    Lateness oursLate;
    Lateness floorLate;
    for (int round = 0; round < kRounds; ++round) {
        const int ticks = o.ticks / kRounds + (round < o.ticks % kRounds ? 1 : 0);
        if (ticks > 0) {
            oursLate.add(runStepClock(ticks, o.periodMs), o.periodMs, true);
            floorLate.add(bench::runFloor(ticks, o.periodMs), o.periodMs, false);
        }
    }
    ours = oursLate.figures();
    floor = floorLate.figures();
}

Figures runNaive(int ticks, int periodMs) {
    std::vector<Clock::time_point> woke(static_cast<std::size_t>(ticks));
    Clock::time_point start;
    std::thread thread([&] {
        platform::raiseTimerThreadPriority();
        start = Clock::now();
        for (int i = 0; i < ticks; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
            woke[static_cast<std::size_t>(i)] = Clock::now();
        }
    });
    thread.join();
    Lateness late;
    late.add({start, std::move(woke)}, periodMs, false);
    return late.figures();
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: step_clock_jitter [--ticks N] [--period-ms P] [--load K] "
                             "(N and P at least 1)\n");
        return 2;
    }
    Figures ours;
    Figures floor;
    Figures naive;
    {
        const bench::BusyLoad busy(o.load);
        std::printf(
            "step_clock_jitter: %d ticks at %d ms, %d busy threads, real-time priority %s\n",
            o.ticks, o.periodMs, o.load,
            platform::raiseTimerThreadPriority() ? "granted" : "not granted");
        runTakingTurns(o, ours, floor);
        naive = runNaive(o.ticks, o.periodMs);
    }
    print("step clock (ours)", ours);
    print(bench::kFloorName, floor);
    print("relative sleeps (naive)", naive);
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("summary: p99_vs_floor=%.2f max_vs_floor=%.2f p99_vs_naive=%.2f drift_us=%lld "
                "naive_drift_us=%lld\n",
                ratio(ours.p99, floor.p99), ratio(ours.max, floor.max), ratio(ours.p99, naive.p99),
                ours.drift, naive.drift);
    return 0;
}
