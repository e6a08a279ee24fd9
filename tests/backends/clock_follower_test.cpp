// Following an incoming MIDI clock: the tempo and the clocks' frames read through a sender's
// jitter and tempo changes, and the song's place after Start, Stop, Continue and the Song
// Position Pointer.

#include "midiout/clock_follower.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace tambrel::midiout {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr int kClocksPerQuarter = 24;
// How Tambrel counts steps in 4/4, 3/4, 12/8 and 6/8 (engine/time_signature.h), its own
// tempo at 100.
constexpr OwnTime kFourFour{16, 6, 150, 15000};
constexpr OwnTime kThreeFour{9, 8, 200, 20000};
constexpr OwnTime kTwelveEight{12, 12, 200, 20000};
constexpr OwnTime kSixEight{6, 12, 300, 30000};

double clockFramesAt(double quarters) {
    return 60.0 * kRate / (kClocksPerQuarter * quarters);
}

// A sender whose clocks lie on a steady grid, each moved off it by up to `jitter` of a clock
// either way; its frame counter starts near the end of its range, so that it wraps.
class Sender {
public:
    explicit Sender(double jitter, unsigned seed = 1) : jitter_(jitter), random_(seed) {}

    void at(double quarters) { period_ = clockFramesAt(quarters); }
    // Where clock `ahead` from now falls (1: the next): on the grid, on the frame it will
    // be sent on when there is no jitter.
    double onGrid(int ahead) const {
        const double frame = grid_ + (ahead - 1) * period_;
        return jitter_ == 0 ? std::round(frame) : frame;
    }
    // Sends the next clock; returns its grid frame.
    double send(ClockFollower& follower, double late = 0) {
        std::uniform_real_distribution<double> off(-jitter_, jitter_);
        const double onGrid = grid_;
        const double frame = onGrid + off(random_) * period_ + late;
        follower.clock(static_cast<std::uint32_t>(std::llround(frame)));
        grid_ += period_;
        return onGrid;
    }
    void rest(double frames) { grid_ += frames; }

private:
    double jitter_;
    std::mt19937 random_;
    double period_ = clockFramesAt(120);
    double grid_ = 4294967296.0 - 20000.0;
};

// The distance, in frames, from where the follower puts clock `ahead` from now (1: the next)
// to where it falls.
double clockError(const ClockFollower& follower, const Sender& sender, int ahead = 1) {
    const double predicted = static_cast<double>(follower.latestFrame()) +
                             follower.framesAfterLatest(follower.latestSongClock() + ahead);
    return std::remainder(predicted - sender.onGrid(ahead), 4294967296.0);
}

TEST(ClockFollowerTest, TempoReadsSteadilyThroughJitterAndFollowsAChangeWithinTwoBeats) {
    for (const double jitter : {0.0, 0.1}) {
        for (unsigned seed = 1; seed <= 5; ++seed) {
            SCOPED_TRACE(testing::Message() << "jitter " << jitter << " seed " << seed);
            ClockFollower follower;
            Sender sender(jitter, seed);
            follower.start();
            double squares = 0;
            for (int c = 0; c < 24 * 32; ++c) {
                sender.send(follower);
                const double tempo = clockTempo(follower.clockFrames(), kRate, kFourFour);
                if (c >= ClockFollower::kWindow) {
                    ASSERT_EQ(std::lround(tempo), 120) << "clock " << c << ": " << tempo;
                    // The grid is read through the jitter: the next clock is placed nearer
                    // its true place than the clocks themselves come.
                    const double error = clockError(follower, sender);
                    ASSERT_LT(std::abs(error), 0.08 * 1000) << "clock " << c;
                    squares += error * error;
                }
            }
            EXPECT_LT(std::sqrt(squares / (24 * 30)), 0.025 * 1000 + 0.5);
            sender.at(97.5);
            for (int c = 0; c < 24 * 16; ++c) {
                sender.send(follower);
                const double tempo = clockTempo(follower.clockFrames(), kRate, kFourFour);
                if (c >= 2 * kClocksPerQuarter) {
                    ASSERT_NEAR(tempo, 97.5, 0.3) << "clock " << c << " after the change";
                }
            }
        }
    }
}

TEST(ClockFollowerTest, WithoutJitterTheNextClockIsPlacedToTheFrame) {
    for (const double quarters : {120.0, 97.5, 30.0, 260.0, 97.0}) {
        SCOPED_TRACE(quarters);
        ClockFollower follower;
        Sender sender(0);
        sender.at(quarters);
        follower.start();
        for (int c = 0; c < 24 * 12; ++c) {
            sender.send(follower);
            // The next clock from the second on; the next step's (12 clocks ahead at the
            // most) once a step's clocks have come.
            ASSERT_LE(std::abs(clockError(follower, sender, 1)), c >= 1 ? 1.0 : 1e9) << c;
            ASSERT_LE(std::abs(clockError(follower, sender, 12)), c >= 12 ? 1.0 : 1e9) << c;
        }
        // A clock held back a JACK period by a stalled sender, among clocks on their grid.
        for (int c = 0; c < 24; ++c) {
            sender.send(follower, c % 12 == 5 ? 256 : 0);
            ASSERT_LE(std::abs(clockError(follower, sender, 12)), 1.0) << "after a late clock";
        }
        // A tempo change, then silence and a restart off the old grid.
        sender.at(quarters * 0.8);
        sender.send(follower);
        for (int c = 0; c < 8; ++c) {
            sender.send(follower);
        }
        EXPECT_LE(std::abs(clockError(follower, sender)), 1.0);
        sender.rest(kRate * 2.3);
        follower.start();
        sender.send(follower);
        sender.send(follower);
        EXPECT_LE(std::abs(clockError(follower, sender)), 1.0);
    }
}

TEST(ClockFollowerTest, TempoIsInTheLabelsUnits) {
    EXPECT_DOUBLE_EQ(clockTempo(clockFramesAt(120), kRate, kFourFour), 120);
    EXPECT_DOUBLE_EQ(clockTempo(clockFramesAt(120), kRate, kThreeFour), 120);
    EXPECT_DOUBLE_EQ(clockTempo(clockFramesAt(120), kRate, kSixEight), 120);
    EXPECT_DOUBLE_EQ(clockTempo(clockFramesAt(120), kRate, kTwelveEight), 80);
    EXPECT_EQ(clockTempo(0, kRate, kFourFour), 0);
}

// The song's clock of each clock sent, and the follower's changes, through a session.
class ClockSongTest : public ::testing::Test {
protected:
    std::int64_t tick() {
        sender.send(follower);
        return follower.rolling() ? follower.latestSongClock() : -1;
    }
    void message(std::uint8_t a, std::uint8_t b = 0, std::uint8_t c = 0) {
        const std::uint8_t bytes[3] = {a, b, c};
        follower.message(bytes, a == 0xF2 ? 3 : 1, 0);
    }

    ClockFollower follower;
    Sender sender{0};
};

TEST_F(ClockSongTest, StartStopContinueAndPointerPlaceTheSong) {
    EXPECT_EQ(tick(), -1) << "clocks alone do not play";
    const std::uint32_t before = follower.changes();
    message(0xFA);
    EXPECT_FALSE(follower.rolling()) << "Start plays from the next clock";
    EXPECT_EQ(tick(), 0);
    EXPECT_EQ(tick(), 1);
    EXPECT_GT(follower.changes(), before);
    for (int c = 2; c < 40; ++c) {
        tick();
    }
    std::uint32_t changes = follower.changes();
    message(0xFC);
    EXPECT_FALSE(follower.rolling());
    EXPECT_GT(follower.changes(), changes);
    EXPECT_EQ(tick(), -1) << "clocks while stopped do not play";
    message(0xFB);
    EXPECT_EQ(tick(), 40) << "Continue without a Pointer goes on where Stop left";

    message(0xFC);
    message(0xF2, 0x05, 0x01); // sixteenth 133: clock 798
    EXPECT_EQ(tick(), -1);
    message(0xFB);
    EXPECT_EQ(tick(), 798);
    EXPECT_TRUE(follower.latestStartsSong());
    EXPECT_EQ(tick(), 799);
    EXPECT_FALSE(follower.latestStartsSong());

    changes = follower.changes();
    message(0xF2, 16); // a jump while playing
    EXPECT_GT(follower.changes(), changes);
    EXPECT_EQ(tick(), 96);
    message(0xFA);
    EXPECT_EQ(tick(), 0) << "Start while playing starts over";
}

TEST_F(ClockSongTest, GridPutsEachStepOnItsClock) {
    const double own = clockFramesAt(100); // Tambrel's own tempo, before the clock's is known
    const auto gridAt = [&](const OwnTime& own, std::uint32_t earliest = 0) {
        return clockGrid(follower, own, kRate, earliest);
    };
    message(0xFA);
    const double first = sender.onGrid(1);
    tick();
    const auto startFrame = static_cast<std::uint32_t>(first);
    FollowedGrid grid = gridAt(kFourFour, startFrame + 700);
    EXPECT_TRUE(grid.rolling);
    EXPECT_EQ(grid.anchorStep, 0);
    EXPECT_EQ(grid.anchorFrame, startFrame + 700) << "the unforeseen step as soon as it can be";
    EXPECT_DOUBLE_EQ(grid.framesPerStep, own * 6);
    EXPECT_EQ(grid.tempo, 0);
    EXPECT_EQ(gridAt(kFourFour, startFrame - 5).anchorFrame, startFrame);

    for (int c = 1; c <= 6; ++c) {
        tick();
        grid = gridAt(kFourFour);
        EXPECT_EQ(grid.anchorStep, c < 6 ? 1 : 2) << "the next step whose clock is to come";
        EXPECT_EQ(grid.anchorFrame, startFrame + 6000 * grid.anchorStep);
        EXPECT_NEAR(grid.framesPerStep, 6000, 1e-6);
        EXPECT_NEAR(grid.tempo, 120, 1e-6);
    }
    EXPECT_NEAR(gridAt(kTwelveEight).tempo, 80, 1e-6);

    message(0xFC);
    EXPECT_FALSE(gridAt(kThreeFour).rolling);
    message(0xF2, 5); // sixteenth 5: clock 30, in the middle of 3/4's step 3 (clocks 24..31)
    message(0xFB);
    tick();
    grid = gridAt(kThreeFour, 0);
    EXPECT_EQ(grid.anchorStep, 4);
    EXPECT_EQ(grid.anchorFrame, static_cast<std::uint32_t>(sender.onGrid(2)));
    EXPECT_NEAR(grid.framesPerStep, 8000, 1e-6);
}

} // namespace
} // namespace tambrel::midiout
