// Following another program's time: which steps the followed timeline hands over, when, and
// with which moments, from a source whose grid the test writes; and the engine's Play, Stop
// and tempo as the source has them.

#include "engine/followed_timeline.h"
#include "engine/rhythm_engine.h"
#include "tests/engine/fake_frames.h"
#include "tests/engine/kit_trigger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

namespace tambrel::engine {
namespace {

using namespace std::chrono_literals;

// A source whose grid the test sets; it counts what it is told.
class ScriptedSource : public FollowedSource {
public:
    static constexpr std::int64_t kDelay = 1500;

    FollowedGrid grid() const noexcept override {
        const std::lock_guard lock(mutex_);
        return grid_;
    }
    const midiout::FrameClock& frames() const noexcept override { return frames_; }
    std::int64_t delayFrames() const noexcept override { return kDelay; }
    void setOwnTime(const midiout::OwnTime& own) noexcept override { own_ = own; }
    void playPressed() noexcept override { ++plays; }
    void stopPressed() noexcept override { ++stops; }
    void prepared(std::uint32_t epoch) noexcept override { preparedEpochs.push_back(epoch); }
    void look(midiout::Moment) noexcept override { looks.fetch_add(1); }
    std::uint32_t stillLookMs() const noexcept override { return stillLook; }
    void setOutputLatency(std::chrono::nanoseconds latency) noexcept override {
        outputLatency = latency;
    }
    bool tempoChosen(int tempo) noexcept override {
        chosen.push_back(tempo);
        return sharesTempo;
    }
    bool listen(midiout::Listener who, midiout::ChangeListener told) noexcept override {
        if (who == midiout::Listener::StepClock) {
            listener = told;
        }
        return tells;
    }

    void set(const FollowedGrid& grid) {
        const std::lock_guard lock(mutex_);
        grid_ = grid;
    }
    // A rolling grid whose step `step` falls `ahead` frames from now.
    FollowedGrid rollingAt(std::uint32_t epoch, std::int64_t step, std::int32_t ahead,
                           double framesPerStep) const {
        FollowedGrid g;
        g.epoch = epoch;
        g.rolling = true;
        g.anchorStep = step;
        g.anchorFrame =
            frames_.frameAt(midiout::MidiClock::now()) + static_cast<std::uint32_t>(ahead);
        g.framesPerStep = framesPerStep;
        return g;
    }

    testing::FakeFrames frames_{48000};
    midiout::OwnTime own_;
    int plays = 0;
    int stops = 0;
    std::vector<std::uint32_t> preparedEpochs;
    bool sharesTempo = false; // a Link session takes the spinner's tempo
    std::chrono::nanoseconds outputLatency{-1};
    std::atomic<int> looks{0};
    std::uint32_t stillLook = 0;
    std::vector<int> chosen;
    bool tells = false; // tells of its changes, as a Link session does
    midiout::ChangeListener listener;

private:
    mutable std::mutex mutex_;
    FollowedGrid grid_;
};

// The timeline polled by hand, its steps recorded.
class FollowedTimelineTest : public ::testing::Test {
protected:
    FollowedTimelineTest() {
        timeline.setSource(&source);
        timeline.attach(&FollowedTimelineTest::record, this);
    }
    static void record(void* self, const TimelineStep& step) noexcept {
        static_cast<FollowedTimelineTest*>(self)->steps.push_back(step);
    }
    // Polls every 2 ms from `from` for `span`.
    StepMoment pollFor(StepMoment from, std::chrono::nanoseconds span) {
        StepMoment now = from;
        for (; now < from + span; now += 2ms) {
            timeline.poll(now);
        }
        return now;
    }
    // The frame a step's notes are heard on.
    std::uint32_t heardOn(const TimelineStep& step) const {
        return source.frames_.frameAt(step.due) + ScriptedSource::kDelay;
    }

    ScriptedSource source;
    platform::TimerService timers;
    FollowedTimeline timeline{timers};
    std::vector<TimelineStep> steps;
};

// Where no server's frames are at hand, a followed session's frames are the steady clock's.
TEST(SteadyFramesTest, AFrameComesBackToItsMomentAndASecondIsTheRate) {
    const midiout::SteadyFrames frames(48000);
    const midiout::Moment now = midiout::MidiClock::now();
    for (const std::chrono::nanoseconds offset :
         std::vector<std::chrono::nanoseconds>{0ns, 1'234'567ns, -2s, 5h + 1ms}) {
        const midiout::Moment moment = now + offset;
        EXPECT_EQ(frames.frameAt(moment + 1s) - frames.frameAt(moment), 48000u);
        const auto back = frames.momentOf(frames.frameAt(moment)) - moment;
        EXPECT_LE(std::chrono::abs(back), 10417ns) << "within half a frame";
    }
}

// A still source that asks for a look every 20 ms gets about that many from the timer, not
// one every 5 ms; once it rolls, every poll looks.
TEST_F(FollowedTimelineTest, AStillSourceIsLookedAtAsSeldomAsItAsks) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows' multimedia timer keeps only its period: every poll looks there";
#endif
    source.stillLook = 20;
    ASSERT_TRUE(timeline.start(0, &FollowedTimelineTest::record, this));
    std::this_thread::sleep_for(400ms);
    const int still = source.looks.exchange(0);
    source.set(source.rollingAt(1, 0, 48000, 6000));
    std::this_thread::sleep_for(400ms);
    timeline.stop();
    const int rolling = source.looks.load();
    EXPECT_LE(still, 30) << "a look every 20 ms is 20 in 400 ms";
    EXPECT_GE(still, 8);
    EXPECT_GE(rolling, 50) << "a look every 5 ms is 80 in 400 ms";
}

// A still source that tells of its changes is looked at once at each, within a poll, and
// otherwise only as seldom as it asks; the step clock stops listening when it stops.
TEST_F(FollowedTimelineTest, AStillSourceThatTellsOfAChangeIsLookedAtAtOnce) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows' multimedia timer keeps only its period: every poll looks there";
#endif
    source.stillLook = 60'000;
    source.tells = true;
    ASSERT_TRUE(timeline.start(0, &FollowedTimelineTest::record, this));
    ASSERT_NE(source.listener.changed, nullptr);
    std::this_thread::sleep_for(100ms); // the first poll only
    EXPECT_EQ(source.looks.exchange(0), 1);
    std::chrono::nanoseconds slowest{0};
    for (int change = 1; change <= 20; ++change) {
        const auto told = std::chrono::steady_clock::now();
        source.listener.changed(source.listener.user);
        while (source.looks.load() < change && std::chrono::steady_clock::now() - told < 1s) {
            std::this_thread::yield();
        }
        slowest = std::max(slowest, std::chrono::steady_clock::now() - told);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(source.looks.load(), 20) << "one look a change, none between";
    EXPECT_LT(slowest, 50ms);
    timeline.stop();
    EXPECT_EQ(source.listener.changed, nullptr);
}

TEST_F(FollowedTimelineTest, StepsAreHeardOnTheGridsFramesOnceEachWithoutDrift) {
    // 119.7 quarter notes a minute in 4/4: 6015.04 frames a sixteenth at 48 kHz.
    const double perStep = 60.0 / 119.7 / 4 * 48000;
    const FollowedGrid grid = source.rollingAt(1, 0, 48000, perStep);
    source.set(grid);
    pollFor(midiout::MidiClock::now(), 1s + 1000 * 126ms);
    ASSERT_GE(steps.size(), 1000u);
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const auto want = grid.anchorFrame + static_cast<std::uint32_t>(std::llround(k * perStep));
        ASSERT_EQ(heardOn(steps[k]), want) << "step " << k;
        ASSERT_EQ(steps[k].stepInBar, static_cast<int>(k % 16) + 1) << "step " << k;
        ASSERT_EQ(steps[k].start, k == 0) << "step " << k;
    }
    EXPECT_NEAR(std::chrono::duration<double>(steps[0].length).count(), perStep / 48000, 1e-8);
    // Each step is handed over ahead of its moment, by no more than a poll.
    source.set(FollowedGrid{}); // stopped
    timeline.poll(midiout::MidiClock::now());
    const std::size_t before = steps.size();
    pollFor(midiout::MidiClock::now(), 200ms);
    EXPECT_EQ(steps.size(), before) << "a stopped source gets no steps";
}

TEST_F(FollowedTimelineTest, ARelocateStartsFromTheFirstStepInReachAndAStallDropsLateSteps) {
    const double perStep = 6000;
    source.set(source.rollingAt(1, 0, 4800, perStep));
    StepMoment now = pollFor(midiout::MidiClock::now(), 500ms);
    ASSERT_FALSE(steps.empty());
    // Located to bar 5 (step 64), whose start was 10,000 frames ago: the steps that can no
    // longer be heard on their frames are left out, and the run goes on from there.
    const FollowedGrid located = [&] {
        FollowedGrid g = source.rollingAt(2, 64, 0, perStep);
        g.anchorFrame = source.frames_.frameAt(now) - 10000;
        return g;
    }();
    source.set(located);
    steps.clear();
    now = pollFor(now, 300ms);
    ASSERT_FALSE(steps.empty());
    // The first step whose moment (its frame less the delay) is at most 20 ms (960 frames)
    // past: 10000 - 1500 + 960 frames past the anchor's, so step 64 + 2.
    EXPECT_EQ(steps[0].stepInBar, 3);
    EXPECT_FALSE(steps[0].start) << "a relocate while rolling is no new start";
    EXPECT_EQ(heardOn(steps[0]), located.anchorFrame + 2 * 6000);
    // The machine stands still for 400 ms: the steps it missed are not played in a burst.
    steps.clear();
    const StepMoment late = now + 400ms;
    pollFor(late, 100ms);
    for (const TimelineStep& step : steps) {
        EXPECT_GE(step.due, late - 20ms) << "a step long past its moment was played";
    }
    EXPECT_GE(steps.size(), 1u);
}

TEST_F(FollowedTimelineTest, AStartAwaitingItsReleaseSendsItsFirstStepAheadThenFollowsTheRelease) {
    FollowedGrid waiting;
    waiting.epoch = 3;
    waiting.rolling = true;
    waiting.awaitingRelease = true;
    waiting.anchorStep = 16; // the transport starts from bar 2
    waiting.framesPerStep = 6000;
    source.set(waiting);
    StepMoment now = pollFor(midiout::MidiClock::now(), 50ms);
    ASSERT_EQ(steps.size(), 1u) << "only the first step goes ahead of the release";
    EXPECT_TRUE(midiout::awaitsRelease(steps[0].due));
    EXPECT_EQ(midiout::releaseOffset(steps[0].due), 0ns);
    EXPECT_EQ(steps[0].stepInBar, 1);
    EXPECT_TRUE(steps[0].start);
    EXPECT_EQ(source.preparedEpochs, std::vector<std::uint32_t>{3});
    // Released: the same epoch, now on the frame the transport rolled from.
    FollowedGrid rolled = waiting;
    rolled.awaitingRelease = false;
    rolled.anchorFrame = source.frames_.frameAt(now);
    source.set(rolled);
    pollFor(now, 300ms);
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(steps[1].stepInBar, 2);
    EXPECT_EQ(heardOn(steps[1]), rolled.anchorFrame + 6000);
    EXPECT_EQ(source.preparedEpochs.size(), 1u);
}

// The engine following a source, its timeline on its own timer.
struct FollowingEngine : ::testing::Test {
    FollowingEngine() {
        for (int c = 1; c <= kCells; ++c) {
            rig.engine.grid().set(1, c, true); // a note on every step
        }
        rig.engine.setFollowedSource(&source);
    }
    ~FollowingEngine() override { rig.engine.setFollowedSource(nullptr); }

    ScriptedSource source;
    testing::MemoryEngineRig rig;
};

TEST_F(FollowingEngine, PlayStopAndTheTempoAreTheSourcesAndPressesGoToIt) {
    RhythmEngine& engine = rig.engine;
    FollowedGrid stopped;
    stopped.tempo = 97.4;
    source.set(stopped);
    auto* device = dynamic_cast<testing::MemoryMidiDevice*>(rig.out.device(0));
    ASSERT_NE(device, nullptr);
    device->setLatency(27ms);
    EXPECT_TRUE(engine.followTick());
    EXPECT_EQ(engine.tempo(), 97);
    EXPECT_EQ(source.own_, (midiout::OwnTime{16, 6, 154, 15000}));
    EXPECT_EQ(source.outputLatency, 27ms) << "each look says the open output's latency";
    // The spinner goes back to the source's tempo.
    engine.tempoSelector().setPosition(150);
    engine.UpdateStepPeriod();
    EXPECT_EQ(engine.tempo(), 97);
    // Play goes to the source, which starts when it will.
    engine.StartPlayback();
    EXPECT_EQ(source.plays, 1);
    EXPECT_EQ(engine.playState(), PlayState::Stopped);
    FollowedGrid rolling = source.rollingAt(1, 0, 4800, 6000);
    rolling.tempo = 120.2;
    source.set(rolling);
    EXPECT_TRUE(engine.followTick());
    EXPECT_EQ(engine.playState(), PlayState::Playing);
    EXPECT_EQ(engine.tempo(), 120);
    // A reading that wavers about 120.5 keeps showing 120.
    for (const double reading : {120.51, 120.49, 120.55, 120.5}) {
        rolling.tempo = reading;
        source.set(rolling);
        EXPECT_FALSE(engine.followTick()) << reading;
        EXPECT_EQ(engine.tempo(), 120);
    }
    for (int i = 0; i < 200 && rig.recorder.size() < 2; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_GE(rig.recorder.size(), 2u) << "the source's steps were not played";
    engine.StopPlayback();
    EXPECT_EQ(source.stops, 1);
    source.set(stopped);
    EXPECT_TRUE(engine.followTick());
    EXPECT_EQ(engine.playState(), PlayState::Stopped);
    EXPECT_FALSE(engine.followTick()) << "nothing changed";
}

TEST_F(FollowingEngine, TheSpinnerGoesBackToTheSourcesTempoUnlessTheSourceSharesItsTempo) {
    RhythmEngine& engine = rig.engine;
    FollowedGrid stopped;
    stopped.tempo = 97.4;
    source.set(stopped);
    EXPECT_TRUE(engine.followTick());
    engine.tempoSelector().setPosition(150);
    engine.UpdateStepPeriod();
    EXPECT_EQ(engine.tempo(), 97);
    source.sharesTempo = true;
    engine.tempoSelector().setPosition(140);
    engine.UpdateStepPeriod();
    EXPECT_EQ(engine.tempo(), 140) << "a session that shares its tempo takes the spinner's";
    EXPECT_EQ(source.own_.periodMs, 107u);
    EXPECT_EQ(source.chosen, (std::vector<int>{150, 140}));
    engine.UpdateStepPeriod();
    EXPECT_EQ(source.chosen.size(), 2u) << "the same tempo is not proposed again";
    stopped.tempo = 140.2; // the session's tempo as the proposal left it
    source.set(stopped);
    EXPECT_FALSE(engine.followTick());
    EXPECT_EQ(engine.tempo(), 140);
}

TEST_F(FollowingEngine, ADeviceSwitchHaltsTheStepsUntilStopAndTheOwnClockReturnsWithoutASource) {
    RhythmEngine& engine = rig.engine;
    source.set(source.rollingAt(1, 0, 4800, 6000));
    EXPECT_TRUE(engine.followTick());
    engine.haltClock();
    EXPECT_EQ(engine.playState(), PlayState::Halted);
    const std::size_t heard = rig.recorder.size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.recorder.size(), heard) << "a halted follower played on";
    engine.StopPlayback(); // looks again; the source decides the rest
    EXPECT_EQ(source.stops, 1);
    EXPECT_EQ(engine.playState(), PlayState::Stopped);
    EXPECT_TRUE(engine.followTick()) << "a source still rolling plays on";
    EXPECT_EQ(engine.playState(), PlayState::Playing);
    engine.setFollowedSource(nullptr);
    EXPECT_FALSE(engine.following());
    EXPECT_EQ(engine.playState(), PlayState::Stopped);
    engine.StartPlayback();
    EXPECT_EQ(engine.playState(), PlayState::Playing) << "the own clock plays again";
    engine.StopPlayback();
}

} // namespace
} // namespace tambrel::engine
