// A Link session as Tambrel's source of time, without the network: the session's beats as
// steps and bars in each time signature, and a Link on a clock of the test's (1000 s from the
// steady clock, never enabled) followed by the step clock's timeline.

#include "backends/link/basic_link_source.h"
#include "backends/link/link_grid.h"
#include "engine/followed_timeline.h"
#include "tests/engine/fake_frames.h"

#include <ableton/Link.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

namespace tambrel::backends {
namespace {

using namespace std::chrono_literals;
using std::chrono::microseconds;

// 4/4, 12/8, 3/4 and 6/8 as the engine tells a followed source.
constexpr midiout::OwnTime kFourFour{16, 6, 0, 15000};
constexpr midiout::OwnTime kTwelveEight{12, 12, 0, 20000};
constexpr midiout::OwnTime kThreeFour{9, 8, 0, 20000};
constexpr midiout::OwnTime kSixEight{6, 12, 0, 30000};

TEST(LinkMeter, ABarIsTheQuantumAndOutOfRangeTemposAreFollowedAtDoubleOrHalfSpeed) {
    struct Case {
        midiout::OwnTime own;
        double bpm, quantum, beatsPerStep, tempo;
    };
    for (const Case& c : {
             Case{kFourFour, 120, 4, 0.25, 120},
             Case{kTwelveEight, 120, 6, 0.5, 80}, // the session runs 1.5 x Tambrel's tempo
             Case{kThreeFour, 90, 3, 1.0 / 3, 90}, Case{kSixEight, 100, 3, 0.5, 100},
             Case{kFourFour, 300, 4, 0.5, 150},    // half speed: a step is two of the session's
             Case{kFourFour, 20, 4, 0.125, 40},    // double speed
             Case{kTwelveEight, 999, 6, 2, 166.5}, // halved twice
         }) {
        const LinkMeter m = linkMeter(c.own, c.bpm);
        EXPECT_DOUBLE_EQ(m.quantum, c.quantum) << c.bpm;
        EXPECT_DOUBLE_EQ(m.beatsPerStep, c.beatsPerStep) << c.bpm;
        EXPECT_DOUBLE_EQ(m.tempo, c.tempo) << c.bpm;
        if (m.beatsPerStep == c.own.clocksPerStep / 24.0) {
            EXPECT_DOUBLE_EQ(sessionTempoFor(c.own, m.tempo), c.bpm) << "proposes what it shows";
        }
    }
    // Over Link's whole range: Tambrel's tempo is its spinner's, and is a step's length.
    for (const midiout::OwnTime& own : {kFourFour, kTwelveEight, kThreeFour, kSixEight}) {
        for (double bpm = 20; bpm <= 999; bpm += 0.7) {
            const LinkMeter m = linkMeter(own, bpm);
            ASSERT_GE(m.tempo, 30) << bpm;
            ASSERT_LE(m.tempo, 260) << bpm;
            ASSERT_NEAR(m.beatsPerStep * 60000 / bpm, own.tempoConstant / m.tempo, 1e-9) << bpm;
        }
    }
    // Steps count from the session's bars, both sides of beat 0; a hair under a step is on it.
    EXPECT_EQ(firstStepFrom(linkMeter(kFourFour, 120), 2.0 - 1e-9), 8);
    EXPECT_EQ(firstBarStepFrom(linkMeter(kFourFour, 120), -3.9), 0);
}

// Link's clock for the tests: the steady clock, 1000 s ahead, as CLOCK_MONOTONIC_RAW may be.
struct AheadClock {
    static constexpr microseconds kAhead = 1000s;
    microseconds micros() const {
        return std::chrono::duration_cast<microseconds>(
                   midiout::MidiClock::now().time_since_epoch()) +
               kAhead;
    }
};
using TestLink = ableton::BasicLink<AheadClock>;

std::size_t openSockets() {
    std::size_t sockets = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(fd.path(), error);
        sockets += !error && target.string().starts_with("socket:") ? 1 : 0;
    }
    return sockets;
}

// A session never enabled, followed by the step clock's timeline polled by hand.
struct LinkSession : ::testing::Test {
    static constexpr std::int64_t kDelay = 960; // 20 ms of output latency at 48 kHz

    LinkSession() {
        source.setOwnTime(kFourFour);
        timeline.setSource(&source);
        timeline.setStepsPerBar(16);
        timeline.attach(&LinkSession::record, this);
    }
    static void record(void* self, const engine::TimelineStep& step) noexcept {
        static_cast<LinkSession*>(self)->steps.push_back(step);
    }
    // The session's beat at a steady moment, at a quantum.
    double beatAt(midiout::Moment moment, double quantum) {
        const auto session = source.link().captureAppSessionState();
        return session.beatAtTime(
            std::chrono::duration_cast<microseconds>(moment.time_since_epoch()) +
                AheadClock::kAhead,
            quantum);
    }
    midiout::Moment momentOfBeat(double beat, double quantum) {
        const auto session = source.link().captureAppSessionState();
        return midiout::Moment(session.timeAtBeat(beat, quantum) - AheadClock::kAhead);
    }
    void setSessionTempo(double bpm) {
        auto session = source.link().captureAppSessionState();
        session.setTempo(bpm, AheadClock{}.micros());
        source.link().commitAppSessionState(session);
        settle();
    }
    // Link's own thread takes in each commit a moment later: one made before it has may be
    // put back over the next.
    static void settle() { std::this_thread::sleep_for(30ms); }

    testing::FakeFrames frames{48000};
    BasicLinkSource<TestLink> source{frames, kDelay, 120};
    platform::TimerService timers;
    engine::FollowedTimeline timeline{timers};
    std::vector<engine::TimelineStep> steps;
};

TEST_F(LinkSession, PlayStartsOnTheSessionsNextBarAndEachStepIsHeardOnItsBeat) {
    struct Case {
        midiout::OwnTime own;
        double bpm, tempo;
    };
    midiout::Moment now = midiout::MidiClock::now();
    // In 12/8 a bar is six beats, and the session runs 1.5 x Tambrel's tempo.
    for (const Case& c : {Case{kFourFour, 131.3, 131.3}, Case{kTwelveEight, 150, 100}}) {
        source.setOwnTime(c.own);
        timeline.setStepsPerBar(c.own.stepsPerBar);
        setSessionTempo(c.bpm);
        timeline.poll(now);
        EXPECT_DOUBLE_EQ(source.grid().tempo, c.tempo) << "Tambrel takes the session's tempo";
        const LinkMeter meter = linkMeter(c.own, c.bpm);
        // The first bar whose first step can still be heard on it: 20 ms of the output's
        // latency ahead, less the 15 ms that a start's first step may be handed over late.
        const double barBeat =
            std::ceil(beatAt(now + 5ms, meter.quantum) / meter.quantum) * meter.quantum;
        steps.clear();
        source.playPressed();
        // Up to a bar's wait for the start (2.4 s at most), then a bar and more.
        for (int poll = 0; poll < 3000; ++poll, now += 2ms) {
            timeline.poll(now);
        }
        ASSERT_GT(steps.size(), static_cast<std::size_t>(c.own.stepsPerBar));
        EXPECT_TRUE(steps[0].start);
        for (std::size_t k = 0; k < steps.size(); ++k) {
            // Heard on the frame of its beat: its moment is that less the output's delay.
            const double beat = barBeat + meter.beatsPerStep * static_cast<double>(k);
            const auto heard =
                static_cast<std::int32_t>(frames.frameAt(steps[k].due) + kDelay -
                                          frames.frameAt(momentOfBeat(beat, meter.quantum)));
            ASSERT_LE(std::abs(heard), 2) << "step " << k;
            ASSERT_EQ(steps[k].stepInBar, static_cast<int>(k) % c.own.stepsPerBar + 1) << k;
        }
        const std::uint32_t epoch = source.grid().epoch;
        source.stopPressed();
        timeline.poll(now);
        EXPECT_FALSE(source.grid().rolling);
        EXPECT_NE(source.grid().epoch, epoch);
    }
}

TEST_F(LinkSession, TheSpinnersTempoIsProposedAtTambrelsOwnSpeedAndAPeersOvertakesIt) {
    setSessionTempo(300);
    timeline.poll(midiout::MidiClock::now());
    EXPECT_DOUBLE_EQ(source.grid().tempo, 150) << "followed at half speed";
    EXPECT_TRUE(source.tempoChosen(100));
    EXPECT_DOUBLE_EQ(source.grid().tempo, 100) << "before the next look";
    settle();
    EXPECT_DOUBLE_EQ(source.link().captureAppSessionState().tempo(), 100);
    timeline.poll(midiout::MidiClock::now());
    EXPECT_DOUBLE_EQ(source.grid().tempo, 100);
    // A peer's tempo comes before the proposal was seen: within a few looks it is shown.
    const std::uint32_t epoch = source.grid().epoch;
    EXPECT_TRUE(source.tempoChosen(110));
    setSessionTempo(90);
    for (int look = 0; look < 60; ++look) {
        timeline.poll(midiout::MidiClock::now());
    }
    EXPECT_DOUBLE_EQ(source.grid().tempo, 90);
    EXPECT_EQ(source.grid().epoch, epoch) << "a new tempo goes on counting the same steps";
}

TEST_F(LinkSession, BeatsThatJumpBeforeTheStartMoveItToTheNewBarAndNoSocketIsOpened) {
    const std::size_t socketsBefore = openSockets();
    midiout::Moment now = midiout::MidiClock::now();
    source.playPressed();
    timeline.poll(now);
    const midiout::FollowedGrid waiting = source.grid();
    // The session's count moves by a beat and a half (a peer's timeline won), still before
    // the start: the start is the next bar as the session now counts.
    auto session = source.link().captureAppSessionState();
    const microseconds t = AheadClock{}.micros();
    session.forceBeatAtTime(session.beatAtTime(t, 4) + 1.5, t, 4);
    source.link().commitAppSessionState(session);
    timeline.poll(now + 2ms);
    const midiout::FollowedGrid moved = source.grid();
    EXPECT_NE(moved.epoch, waiting.epoch);
    EXPECT_EQ(moved.anchorStep % 16, 0);
    EXPECT_EQ(moved.anchorStep,
              firstBarStepFrom(linkMeter(kFourFour, 120), beatAt(now + 2ms + 5ms, 4)));
    EXPECT_EQ(openSockets(), socketsBefore) << "a Link that is not enabled opens no socket";
    EXPECT_FALSE(source.link().isEnabled());
}

// A source whose start and stop are the session's, followed by a timeline of its own whose
// steps the test records.
struct SharedStartStop {
    explicit SharedStartStop(LinkSession& test)
        : source{test.frames, LinkSession::kDelay, 120, true}, follow{test.timers} {
        source.setOwnTime(kFourFour);
        follow.setSource(&source);
        follow.setStepsPerBar(16);
        follow.attach(&LinkSession::record, &test);
    }
    BasicLinkSource<TestLink> source;
    engine::FollowedTimeline follow;
};

// With start and stop shared, the session's playing state is Play and Stop: a peer's start
// starts Tambrel at the first bar from that start, heard on its beat less the output's
// latency as the window reports it; Tambrel's own Stop and Play start and stop the session.
TEST_F(LinkSession, ASharedStartBeginsOnTheBarAfterItAndTheOutputsLatencyIsTakenOff) {
    SharedStartStop rig{*this};
    auto& shared = rig.source;
    auto& follow = rig.follow;
    EXPECT_EQ(shared.delayFrames(), kDelay) << "until the window says the output's latency";
    shared.setOutputLatency(5ms);
    EXPECT_EQ(shared.delayFrames(), 240);

    // A peer starts the session a beat and a half from now.
    midiout::Moment now = midiout::MidiClock::now();
    const microseconds startTime = AheadClock{}.micros() + 750ms;
    auto session = shared.link().captureAppSessionState();
    session.setIsPlaying(true, startTime);
    shared.link().commitAppSessionState(session);
    settle();
    now = midiout::MidiClock::now();
    follow.poll(now);
    ASSERT_TRUE(shared.grid().rolling);
    const double startBeat = shared.link().captureAppSessionState().beatAtTime(startTime, 4);
    const double barBeat = std::ceil(startBeat / 4) * 4;
    EXPECT_EQ(shared.grid().anchorStep, static_cast<std::int64_t>(barBeat) * 4);
    for (int poll = 0; poll < 1500 && steps.size() < 5; ++poll, now += 2ms) {
        follow.poll(now);
    }
    ASSERT_GE(steps.size(), 5u);
    const auto session2 = shared.link().captureAppSessionState();
    for (std::size_t k = 0; k < 5; ++k) {
        const midiout::Moment beat(session2.timeAtBeat(barBeat + 0.25 * static_cast<double>(k), 4) -
                                   AheadClock::kAhead);
        const auto heard =
            static_cast<std::int32_t>(frames.frameAt(steps[k].due) + 240 - frames.frameAt(beat));
        EXPECT_LE(std::abs(heard), 2) << "step " << k;
    }

    // Tambrel's Stop stops the session for every peer, and its Play starts it again, on a bar.
    shared.stopPressed();
    settle();
    EXPECT_FALSE(shared.link().captureAppSessionState().isPlaying());
    follow.poll(now);
    EXPECT_FALSE(shared.grid().rolling);
    shared.playPressed();
    settle();
    EXPECT_TRUE(shared.link().captureAppSessionState().isPlaying());
    follow.poll(now + 2ms);
    EXPECT_TRUE(shared.grid().rolling);
    EXPECT_EQ(shared.grid().anchorStep % 16, 0);
}

// Every peer starts on the bar after the session's start. One that reaches Tambrel too near
// that bar for its first step to be heard on it is joined at the first step that can be,
// each heard on its beat: in phase with the peers, not a whole bar after them.
TEST_F(LinkSession, ASharedStartTooNearItsBarJoinsThatBarInPhase) {
    SharedStartStop rig{*this};
    auto& shared = rig.source;
    auto& follow = rig.follow;
    shared.setOutputLatency(400ms);
    const std::int64_t delay = shared.delayFrames();

    // The session's bar 200 ms from now, started at once by a peer.
    auto session = shared.link().captureAppSessionState();
    const microseconds t = AheadClock{}.micros();
    session.forceBeatAtTime(0, t + 200ms, 4);
    session.setIsPlaying(true, t);
    shared.link().commitAppSessionState(session);
    settle();
    midiout::Moment now = midiout::MidiClock::now();
    follow.poll(now);
    ASSERT_TRUE(shared.grid().rolling);
    const std::int64_t first = shared.grid().anchorStep;
    EXPECT_GT(first, 0) << "the bar's first step cannot be heard on it";
    EXPECT_LT(first, 16) << "the same bar, not the next";
    const auto state = shared.link().captureAppSessionState();
    const auto linkTime = [](midiout::Moment m) {
        return std::chrono::duration_cast<microseconds>(m.time_since_epoch()) + AheadClock::kAhead;
    };
    EXPECT_EQ(first,
              firstStepFrom(linkMeter(kFourFour, 120), state.beatAtTime(linkTime(now + 385ms), 4)));
    for (int poll = 0; poll < 1500 && steps.size() < 3; ++poll, now += 2ms) {
        follow.poll(now);
    }
    ASSERT_GE(steps.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        const double beat = 0.25 * static_cast<double>(first + static_cast<std::int64_t>(k));
        const midiout::Moment onBeat(state.timeAtBeat(beat, 4) - AheadClock::kAhead);
        const auto heard = static_cast<std::int32_t>(frames.frameAt(steps[k].due) + delay -
                                                     frames.frameAt(onBeat));
        EXPECT_LE(std::abs(heard), 2) << "step " << k;
        EXPECT_EQ(steps[k].stepInBar, static_cast<int>(first + static_cast<std::int64_t>(k)) + 1);
    }
}

} // namespace
} // namespace tambrel::backends
