// MIDI clock out from the running step clock: what a receiver is sent and when each message
// is due, against the notes of the same steps.

#include "engine/rhythm_engine.h"
#include "tests/engine/fake_frames.h"
#include "tests/engine/kit_trigger.h"
#include "tests/support/memory_midi.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace tambrel::engine {
namespace {

using namespace std::chrono_literals;
using testing::MemoryClockSink;
using testing::RecordedMessage;

class ClockOutTest : public ::testing::Test, protected testing::MemoryEngineRig {
protected:
    ClockOutTest() {
        for (int c = 1; c <= kCells; ++c) {
            engine.grid().set(1, c, true); // a note on every step marks its moment
        }
        atTempo(kTempoMax);
    }

    // The sink goes before the engine: no clock may reach it after.
    ~ClockOutTest() override { engine.setClockOut(nullptr, false); }

    void atTempo(int tempo) {
        engine.tempoSelector().setPosition(tempo);
        engine.UpdateStepPeriod();
    }

    // Plays until `notes` steps have sounded, then stops.
    void playSteps(std::size_t steps) {
        engine.StartPlayback();
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (of(0).size() < steps && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
        engine.StopPlayback();
    }

    // What device `device` was sent, oldest first (the notes: 0; the clock: its own).
    std::vector<RecordedMessage> of(unsigned device) const {
        std::vector<RecordedMessage> sent;
        for (const RecordedMessage& m : recorder.messages()) {
            if (m.device == device) {
                sent.push_back(m);
            }
        }
        return sent;
    }
    std::vector<RecordedMessage> clock() const { return of(MemoryClockSink::kClockDevice); }

    MemoryClockSink sink{recorder};
};

TEST_F(ClockOutTest, PlaySendsStartThenEvenClocksFromEachStepAndStopWhereTheNextWouldBe) {
    engine.setClockOut(&sink, false);
    for (TimeSig sig :
         {TimeSig::FourFour, TimeSig::TwelveEight, TimeSig::ThreeFour, TimeSig::SixEight}) {
        SCOPED_TRACE(timeSignatureText(sig));
        engine.SelectTimeSignature(sig);
        recorder.clear();
        playSteps(3);
        const std::vector<RecordedMessage> notes = of(0);
        const std::vector<RecordedMessage> sent = clock();
        const int n = clocksPerStep(sig);
        const auto period = std::chrono::milliseconds(engine.stepPeriod());
        ASSERT_GE(notes.size(), 3u);
        ASSERT_EQ(sent.size(), 3 + notes.size() * static_cast<std::size_t>(n));
        EXPECT_EQ(sent[0].message, 0xF2u) << "Song Position Pointer 0 first";
        EXPECT_EQ(sent[1].message, midiout::kStart);
        EXPECT_EQ(sent[1].due, notes[0].due) << "Start with the first step's notes";
        for (std::size_t step = 0; step < notes.size(); ++step) {
            for (int c = 0; c < n; ++c) {
                const RecordedMessage& tick = sent[2 + step * n + static_cast<std::size_t>(c)];
                EXPECT_EQ(tick.message, midiout::kTimingClock);
                // From the step's own moment, a share of the step each: never summed.
                const auto expected = notes[step].due + std::chrono::nanoseconds(period) * c / n;
                EXPECT_LE(std::chrono::abs(tick.due - expected), 1ns) << step << "." << c;
            }
        }
        EXPECT_EQ(sent.back().message, midiout::kStop);
        EXPECT_EQ(sent.back().due, notes.back().due + period);
    }
}

TEST_F(ClockOutTest, StopOnlyAfterAStartAndOnceForAHaltAndItsStop) {
    engine.setClockOut(&sink, false);
    atTempo(kTempoMin); // no step before Stop
    engine.StartPlayback();
    engine.StopPlayback();
    EXPECT_TRUE(clock().empty()) << "a receiver never started is not stopped";

    atTempo(kTempoMax);
    engine.StartPlayback();
    while (of(0).empty()) {
        std::this_thread::sleep_for(1ms);
    }
    engine.haltClock(); // a device switch ends the clock: the receiver stops with it
    const std::size_t atHalt = clock().size();
    EXPECT_EQ(clock().back().message, midiout::kStop);
    engine.StopPlayback();
    EXPECT_EQ(clock().size(), atHalt) << "Stop after a halt sent a second Stop";

    engine.setClockOut(nullptr, false);
    recorder.clear();
    playSteps(2);
    EXPECT_TRUE(clock().empty()) << "clock out that was turned off still sends";
}

// A device switch halts the steps: gear shown the tempo by the clocks while stopped keeps
// getting them, without a Start, until Play.
TEST_F(ClockOutTest, ClocksWhileStoppedRunOnAfterADeviceSwitch) {
    engine.setClockOut(&sink, true);
    engine.StartPlayback();
    while (of(0).empty()) {
        std::this_thread::sleep_for(1ms);
    }
    engine.haltClock();
    engine.resumeAfterSwitch();
    const std::size_t atHalt = clock().size();
    ASSERT_EQ(clock().back().message, midiout::kStop);
    std::this_thread::sleep_for(300ms);
    const std::vector<RecordedMessage> after = clock();
    ASSERT_GT(after.size(), atHalt + 6) << "no clocks after the switch";
    for (std::size_t i = atHalt; i < after.size(); ++i) {
        EXPECT_EQ(after[i].message, midiout::kTimingClock) << i;
    }
}

TEST_F(ClockOutTest, ClocksRunWhileStoppedOnlyWhenAskedAndNeverGoBack) {
    engine.setClockOut(&sink, false);
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(clock().empty()) << "clocks while stopped without being asked";

    atTempo(kTempoMin); // 500 ms steps: the idle clocks run far ahead of a change
    engine.setClockOut(&sink, true);
    std::this_thread::sleep_for(750ms);
    const std::size_t slow = clock().size();
    EXPECT_EQ(slow, 6u) << "one step of idle clocks, and no Start";
    atTempo(kTempoMax); // anew at the new period, once the slow step's clocks have gone
    std::this_thread::sleep_for(400ms);
    EXPECT_GT(clock().size(), slow);
    playSteps(2);
    std::this_thread::sleep_for(150ms); // and on again after Stop

    const std::vector<RecordedMessage> sent = clock();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().message, midiout::kTimingClock);
    int starts = 0;
    for (std::size_t i = 1; i < sent.size(); ++i) {
        starts += sent[i].message == midiout::kStart;
        if (sent[i].message == midiout::kTimingClock &&
            sent[i - 1].message == midiout::kTimingClock) {
            EXPECT_GT(sent[i].due, sent[i - 1].due) << "clock " << i << " goes back";
        }
    }
    EXPECT_EQ(starts, 1);
}

TEST(OwnClockPacing, StepsFallOnWholePeriodsOfTheServersFramesNotOfTheMachinesClock) {
    // A server at 44.1 kHz whose clock runs 0.2 % slow against the machine's.
    testing::FakeFrames frames(44100, 1 / 1.002);
    platform::TimerService timers;
    OwnClockTimeline clock(timers);
    clock.setPace(&frames);
    static std::array<std::atomic<StepMoment::rep>, 12> dues{};
    static std::atomic<int> count{0};
    count = 0;
    ASSERT_TRUE(clock.start(
        20, // 882 frames at 44.1 kHz
        [](void*, const TimelineStep& step) noexcept {
            const int n = count.load();
            if (n < 12) {
                dues[static_cast<std::size_t>(n)] = step.due.time_since_epoch().count();
                count = n + 1;
            }
        },
        nullptr));
    while (count.load() < 12) {
        std::this_thread::sleep_for(1ms);
    }
    clock.stop();
#ifdef _WIN32
    // Windows' multimedia timer keeps its own period only: the machine's clock paces it.
    EXPECT_EQ(dues[11] - dues[0], 220'000'000);
    return;
#endif
    auto frameOf = [&](int n) {
        return frames.frameAt(StepMoment(StepMoment::duration(dues[static_cast<std::size_t>(n)])));
    };
    for (int n = 1; n < 12; ++n) {
        EXPECT_EQ(frameOf(n) - frameOf(0), 882u * static_cast<unsigned>(n)) << n;
    }
    // 11 periods of the server's frames are 220.44 ms of the machine's clock, not 220.
    const double spanMs = static_cast<double>(dues[11] - dues[0]) / 1e6;
    EXPECT_NEAR(spanMs, 220.44, 0.01);
}

} // namespace
} // namespace tambrel::engine
