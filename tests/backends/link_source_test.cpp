// A Link session as Tambrel's source of time, without the network: the session's beats as
// steps and bars in each time signature, the clocks mapped, and a Link on a clock the test
// moves (never enabled) followed by the step clock's timeline.

#include "backends/link/basic_link_source.h"
#include "backends/link/link_grid.h"
#include "engine/followed_timeline.h"
#include "tests/engine/fake_frames.h"

#include <ableton/Link.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace tambrel::backends {
namespace {

using namespace std::chrono_literals;
using std::chrono::microseconds;
using std::chrono::nanoseconds;

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
}

TEST(LinkMeter, StepsCountFromTheSessionsBarsBothSidesOfBeatZero) {
    const LinkMeter fourFour = linkMeter(kFourFour, 120);
    EXPECT_EQ(firstStepFrom(fourFour, 0), 0);
    EXPECT_EQ(firstStepFrom(fourFour, 0.01), 1);
    EXPECT_EQ(firstStepFrom(fourFour, 2.0 - 1e-9), 8) << "a hair under a boundary is on it";
    EXPECT_EQ(firstStepFrom(fourFour, -0.3), -1);
    EXPECT_EQ(firstBarStepFrom(fourFour, 4.1), 32);
    EXPECT_EQ(firstBarStepFrom(fourFour, -3.9), 0);
    EXPECT_EQ(firstBarStepFrom(fourFour, -4.0), -16);
    // 12/8: a bar is six beats, twelve steps.
    EXPECT_EQ(firstBarStepFrom(linkMeter(kTwelveEight, 120), 6.5), 24);
    // Half speed in 4/4: Tambrel's bar is two of the session's, begun on one of its bars.
    const LinkMeter half = linkMeter(kFourFour, 400);
    EXPECT_EQ(firstBarStepFrom(half, 4.5), 16);
    EXPECT_DOUBLE_EQ(16 * half.beatsPerStep, 8.0);
}

TEST(RawClockMap, LinksClockAndTheSteadyClockMapBothWaysOnThisMachine) {
    const auto read = [](clockid_t clock) {
        timespec ts{};
        ::clock_gettime(clock, &ts);
        return std::chrono::seconds(ts.tv_sec) + nanoseconds(ts.tv_nsec);
    };
    RawClockMap map;
    map.sample(read(CLOCK_MONOTONIC), read(CLOCK_MONOTONIC_RAW), read(CLOCK_MONOTONIC));
    // What Link's own clock says now is now on the steady clock, and back.
    const microseconds linkNow = ableton::link::platform::Clock{}.micros();
    const midiout::Moment steadyNow = midiout::MidiClock::now();
    EXPECT_NEAR(std::chrono::duration<double>(map.momentOf(linkNow) - steadyNow).count(), 0,
                200e-6);
    EXPECT_NEAR(static_cast<double>((map.linkTimeOf(steadyNow) - linkNow).count()), 0, 200);
    const microseconds later = linkNow + 3'600'000'000us;
    EXPECT_EQ(map.linkTimeOf(map.momentOf(later)), later);
}

TEST(LinkGrid, AnchorAndStepLengthOnTheFramesAndTheCountGoesOnThroughATempoChange) {
    testing::FakeFrames frames{48000};
    RawClockMap map;
    // Link's clock runs 5 s ahead of the steady clock.
    const nanoseconds steady = frames.origin.time_since_epoch();
    map.sample(steady, steady + 5s, steady);
    LinkLook look;
    look.bpm = 125;
    look.meter = linkMeter(kFourFour, 125);
    look.step = 7;
    look.stepTime = std::chrono::duration_cast<microseconds>(steady + 5s + 250ms);
    const midiout::FollowedGrid grid = gridOf(look, map, frames);
    EXPECT_EQ(grid.anchorStep, 7);
    EXPECT_EQ(grid.anchorFrame, frames.frameAt(frames.origin + 250ms));
    EXPECT_DOUBLE_EQ(grid.framesPerStep, 5760); // a sixteenth at 125 bpm, 48 kHz
    EXPECT_DOUBLE_EQ(grid.tempo, 125);

    LinkLook next = look;
    next.time = look.time + 2ms;
    next.beat = look.beat + 2.0 / 60000 * 125;
    next.bpm = 90; // a peer's new tempo: the beat where it was
    EXPECT_TRUE(continues(look, next));
    next.beat += 1; // a join: the session's beats won
    EXPECT_FALSE(continues(look, next));
    next.beat -= 1;
    next.meter = linkMeter(kTwelveEight, 90); // a new bar counts the steps anew
    EXPECT_FALSE(continues(look, next));
}

TEST(PublishedGrid, AReaderNeverSeesHalfAWrite) {
    PublishedGrid published;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::int64_t n = 1; n < 200000; ++n) {
            midiout::FollowedGrid g;
            g.epoch = static_cast<std::uint32_t>(n);
            g.rolling = (n & 1) != 0;
            g.anchorStep = n;
            g.anchorFrame = static_cast<std::uint32_t>(n * 3);
            g.framesPerStep = static_cast<double>(n) / 2;
            g.tempo = static_cast<double>(n) + 0.5;
            published.write(g);
        }
        done.store(true);
    });
    while (!done.load()) {
        const midiout::FollowedGrid g = published.read();
        const auto n = static_cast<std::int64_t>(g.epoch);
        ASSERT_EQ(g.anchorStep, n);
        ASSERT_EQ(g.rolling, (n & 1) != 0);
        ASSERT_EQ(g.anchorFrame, static_cast<std::uint32_t>(n * 3));
        ASSERT_DOUBLE_EQ(g.framesPerStep, static_cast<double>(n) / 2);
        ASSERT_DOUBLE_EQ(g.tempo, n == 0 ? 0.0 : static_cast<double>(n) + 0.5);
    }
    writer.join();
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
    }

    testing::FakeFrames frames{48000};
    BasicLinkSource<TestLink> source{frames, kDelay, 120};
    platform::TimerService timers;
    engine::FollowedTimeline timeline{timers};
    std::vector<engine::TimelineStep> steps;
};

TEST_F(LinkSession, PlayStartsOnTheSessionsNextBarAndEachStepIsHeardOnItsBeat) {
    setSessionTempo(131.3);
    midiout::Moment now = midiout::MidiClock::now();
    timeline.poll(now);
    EXPECT_FALSE(source.grid().rolling);
    EXPECT_DOUBLE_EQ(source.grid().tempo, 131.3) << "Tambrel takes the session's tempo";
    source.playPressed();
    const double barBeat = std::ceil(beatAt(now, 4) / 4) * 4;
    // 6 s: up to a bar's wait for the start (1.8 s at 131.3), then two bars and more.
    for (int poll = 0; poll < 3000; ++poll, now += 2ms) {
        timeline.poll(now);
    }
    EXPECT_TRUE(source.grid().rolling);
    ASSERT_GE(steps.size(), 32u);
    for (std::size_t k = 0; k < steps.size(); ++k) {
        // Heard on the frame of its beat: its moment is that less the output's delay.
        const midiout::Moment beat = momentOfBeat(barBeat + 0.25 * static_cast<double>(k), 4);
        const auto heard =
            static_cast<std::int32_t>(frames.frameAt(steps[k].due) + kDelay - frames.frameAt(beat));
        ASSERT_LE(std::abs(heard), 2) << "step " << k;
        ASSERT_EQ(steps[k].stepInBar, static_cast<int>(k % 16) + 1) << "step " << k;
    }
    EXPECT_TRUE(steps[0].start);
    const std::uint32_t epoch = source.grid().epoch;
    source.stopPressed();
    timeline.poll(now);
    EXPECT_FALSE(source.grid().rolling);
    EXPECT_NE(source.grid().epoch, epoch);
}

TEST_F(LinkSession, InTwelveEightTheBarIsSixBeatsAndTheSpinnerProposesTheSessionsTempo) {
    source.setOwnTime(kTwelveEight);
    timeline.setStepsPerBar(12);
    source.proposeTempo(100);
    EXPECT_DOUBLE_EQ(source.link().captureAppSessionState().tempo(), 150);
    midiout::Moment now = midiout::MidiClock::now();
    source.playPressed();
    const double barBeat = std::ceil(beatAt(now, 6) / 6) * 6;
    // 6 s: up to a bar's wait (2.4 s at 150), then the first step of the second bar.
    for (int poll = 0; poll < 3000; ++poll, now += 2ms) {
        timeline.poll(now);
    }
    EXPECT_DOUBLE_EQ(source.grid().tempo, 100);
    ASSERT_GE(steps.size(), 13u);
    EXPECT_EQ(steps[0].stepInBar, 1);
    EXPECT_EQ(steps[12].stepInBar, 1);
    const auto heard = static_cast<std::int32_t>(frames.frameAt(steps[12].due) + kDelay -
                                                 frames.frameAt(momentOfBeat(barBeat + 6, 6)));
    EXPECT_LE(std::abs(heard), 2) << "the second bar begins six beats after the first";
}

TEST_F(LinkSession, TheSpinnersTempoIsProposedAtTambrelsOwnSpeedAndAPeersOvertakesIt) {
    setSessionTempo(300);
    timeline.poll(midiout::MidiClock::now());
    EXPECT_DOUBLE_EQ(source.grid().tempo, 150) << "followed at half speed";
    EXPECT_TRUE(source.tempoChosen(100));
    EXPECT_DOUBLE_EQ(source.grid().tempo, 100) << "before the next look";
    EXPECT_DOUBLE_EQ(source.link().captureAppSessionState().tempo(), 100);
    timeline.poll(midiout::MidiClock::now());
    EXPECT_DOUBLE_EQ(source.grid().tempo, 100);
    // A peer's tempo comes before the proposal was seen: within a few looks it is shown.
    EXPECT_TRUE(source.tempoChosen(110));
    setSessionTempo(90);
    for (int look = 0; look < 60; ++look) {
        timeline.poll(midiout::MidiClock::now());
    }
    EXPECT_DOUBLE_EQ(source.grid().tempo, 90);
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
    EXPECT_EQ(moved.anchorStep, firstBarStepFrom(linkMeter(kFourFour, 120), beatAt(now + 2ms, 4)));
    EXPECT_EQ(openSockets(), socketsBefore) << "a Link that is not enabled opens no socket";
    EXPECT_FALSE(source.link().isEnabled());
}

} // namespace
} // namespace tambrel::backends
