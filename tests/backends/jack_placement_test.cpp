// Where the JACK back end puts a stamped message in a period: its delay after its stamp,
// never outside the period, never before the message ahead of it, and never lost. And the
// bar, beat and tick that the transport's lead tells for a frame.

#include "backends/jack/jack_placement.h"
#include "backends/jack/jack_transport_lead.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>

namespace tambrel::backends {
namespace {

constexpr std::uint32_t kFrames = 256;
constexpr std::uint32_t kRate = 48000;
const std::int64_t kDelay = jackDelayFrames(kFrames, kRate);
const std::int64_t kHold = jackHoldFrames(kFrames, kRate);

JackPlacement place(std::uint32_t stamp, std::uint32_t cycle, std::int64_t lastOffset = 0) {
    return placeInPeriod(stamp, cycle, kFrames, kDelay, kHold, lastOffset);
}

TEST(JackPlacement, EveryMessageItsDelayAfterItsStamp) {
    // The delay covers the period in which a message is first seen and a late wake-up of
    // the step clock's thread, at any period.
    EXPECT_GE(kDelay, kFrames + 0.02 * kRate);
    EXPECT_GE(jackDelayFrames(2048, 44100), 2048 + 0.02 * 44100);
    const std::uint32_t cycle = 10'000;
    const auto delay = static_cast<std::uint32_t>(kDelay);
    // Stamped its delay less 10 frames ago: 10 frames into this period.
    EXPECT_EQ(place(cycle - delay + 10, cycle).offset, 10);
    EXPECT_FALSE(place(cycle - delay + 10, cycle).late);
    // Stamped during the period before, or during this one: its delay still runs.
    EXPECT_TRUE(place(cycle - kFrames + 3, cycle).hold);
    EXPECT_TRUE(place(cycle + 3, cycle).hold);
    EXPECT_TRUE(place(cycle + 6 * kFrames, cycle).hold);
    // A server making up for a stall writes periods far behind our line: a note stamped
    // 300 ms ahead of the period still waits for its own frame.
    EXPECT_TRUE(place(cycle + 300 * kRate / 1000, cycle).hold);
    // The frame counter wraps: only differences count.
    const std::uint32_t wrapped = std::numeric_limits<std::uint32_t>::max() - 100;
    EXPECT_EQ(place(wrapped - delay + 200, wrapped).offset, 200);
}

TEST(JackPlacement, LateOrJumpedMessagesStayInsideThePeriodAndInOrder) {
    const std::uint32_t cycle = 50'000;
    // A period missed (a stall): the message goes out at once, at the start, and counts
    // as late; after another message, no earlier than that one.
    const auto delay = static_cast<std::uint32_t>(kDelay);
    const JackPlacement late = place(cycle - delay - 3 * kFrames, cycle);
    EXPECT_TRUE(late.late);
    EXPECT_FALSE(late.hold);
    EXPECT_EQ(late.offset, 0);
    EXPECT_EQ(place(cycle - delay - 3 * kFrames, cycle, 40).offset, 40);
    // Stamped earlier than the message written before it: right after it, not before.
    EXPECT_EQ(place(cycle - delay + 5, cycle, 90).offset, 90);
    // A clock that jumped far ahead: at the period's last frame rather than never.
    const JackPlacement jumped = place(cycle + 100 * kFrames, cycle);
    EXPECT_FALSE(jumped.hold);
    EXPECT_EQ(jumped.offset, kFrames - 1);
}

// A followed transport's start: its first steps wait while it is starting, land on the
// release frame plus their own offset (no delay added) in whichever period holds that frame,
// and are thrown away when it stopped before rolling.
TEST(JackPlacement, AStartsStepsWaitForTheRollThenLandOnTheirFramesUndelayed) {
    const std::uint32_t roll = 70'000;
    const JackRelease released{ReleasePhase::Released, roll};
    const auto at = [&](std::int64_t offset, std::uint32_t cycle, std::int64_t last = 0) {
        return placeReleased(offset, 0, released, cycle, kFrames, last);
    };
    EXPECT_TRUE(placeReleased(0, 0, {ReleasePhase::Awaiting, 0}, roll, kFrames, 0).hold);
    for (const ReleasePhase gone : {ReleasePhase::Cancelled, ReleasePhase::None}) {
        const JackPlacement dropped = placeReleased(0, 0, {gone, roll}, roll, kFrames, 0);
        EXPECT_TRUE(dropped.drop);
        EXPECT_FALSE(dropped.hold);
    }
    // The step of a start that another replaced before it rolled is not played with it.
    EXPECT_TRUE(placeReleased(0, 1, {ReleasePhase::Released, roll, 2}, roll, kFrames, 0).drop);
    EXPECT_TRUE(placeReleased(0, 1, {ReleasePhase::Awaiting, 0, 2}, roll, kFrames, 0).drop);
    // The anchor step on the roll frame itself, in the period that rolls.
    EXPECT_EQ(at(0, roll).offset, 0);
    EXPECT_FALSE(at(0, roll).late);
    // A step 6000 frames on (the next sixteenth at 120) waits for its period, then lands
    // exactly: 6000 = 23 periods and 112 frames.
    EXPECT_TRUE(at(6000, roll).hold);
    EXPECT_TRUE(at(6000, roll + 22 * kFrames).hold);
    EXPECT_EQ(at(6000, roll + 23 * kFrames).offset, 112);
    // A roll that the outputs see only a period later: overdue, at once and in order.
    const JackPlacement overdue = at(0, roll + kFrames, 0);
    EXPECT_TRUE(overdue.late);
    EXPECT_EQ(overdue.offset, 0);
    EXPECT_EQ(at(10, roll + kFrames, 30).offset, 30);
    // Across the frame counter's wrap.
    const std::uint32_t wrapRoll = std::numeric_limits<std::uint32_t>::max() - 50;
    EXPECT_EQ(
        placeReleased(120, 0, {ReleasePhase::Released, wrapRoll}, wrapRoll + 64, kFrames, 0).offset,
        56);
    // A leftover far beyond any first step does not block what is behind it.
    EXPECT_FALSE(at(kReleaseHoldFrames + 10 * kFrames, roll).hold);
    // The offset as the step clock gives it, in nanoseconds, to frames.
    EXPECT_EQ(releaseFrames(midiout::releaseMoment(std::chrono::milliseconds(125)), kRate), 6000u);
    EXPECT_EQ(releaseFrames(midiout::releaseMoment({}), kRate), 0u);
}

// A followed transport that stopped at a frame: the notes handed over just before, due on
// or after it, are cut; what is due before it, what is not a note and what comes well after
// the stop go out.
TEST(JackPlacement, NotesHandedOverBeforeATransportStopAndDueAfterItAreCut) {
    const std::uint32_t stop = 90'000;
    const JackRelease stopped{ReleasePhase::Stopped, stop};
    const std::array<std::uint8_t, 3> kick{0x99, 36, 100};
    const auto cut = [&](std::int64_t sinceStop, std::array<std::uint8_t, 3> bytes,
                         JackRelease release) {
        return cutByStop(stop + static_cast<std::uint32_t>(sinceStop), kDelay, kHold, release,
                         bytes);
    };
    EXPECT_TRUE(cut(-kDelay, kick, stopped)) << "due on the stop frame itself";
    EXPECT_TRUE(cut(-1, kick, stopped));
    EXPECT_FALSE(cut(-kDelay - 1, kick, stopped)) << "due the frame before the stop";
    // A server lagging behind our line (a stall, long periods) stops on a frame our stamps
    // have passed already: what was handed over before the stop could be seen is cut too.
    EXPECT_TRUE(cut(kDelay + kHold - 1, kick, stopped));
    EXPECT_FALSE(cut(kDelay + kHold, kick, stopped)) << "sent well after the stop";
    EXPECT_FALSE(cut(-1, {0x89, 36, 0}, stopped)) << "a note-off";
    EXPECT_FALSE(cut(-1, {0x99, 36, 0}, stopped)) << "a note-on of velocity 0 is a note-off";
    EXPECT_FALSE(cut(-1, {0xF8, 0, 0}, stopped)) << "a clock";
    EXPECT_FALSE(cut(-1, kick, {ReleasePhase::Released, stop})) << "still rolling";
    // A stopped start's steps still waiting for their frames are dropped with it.
    EXPECT_TRUE(placeReleased(6000, 0, stopped, stop, kFrames, 0).drop);
}

// 12/8 at 120: eighths of 166 ms, 7968 frames, 4.15 frames a tick.
TEST(BarPosition, BarOneUntilItsFrameThenWholeBeatsAndBarsOnTheirFrames) {
    auto at = [](std::int64_t elapsed) {
        const BarPosition p = barPosition(elapsed, kRate, 166, 12);
        return std::array{p.bar, p.beat, p.tick, static_cast<int>(p.barStartTick)};
    };
    EXPECT_EQ(at(-5000), (std::array{1, 1, 0, 0}));
    EXPECT_EQ(at(0), (std::array{1, 1, 0, 0}));
    EXPECT_EQ(at(7967), (std::array{1, 1, 1919, 0}));
    EXPECT_EQ(at(7968), (std::array{1, 2, 0, 0}));
    EXPECT_EQ(at(11 * 7968 + 4), (std::array{1, 12, 0, 0})); // less than a tick past
    EXPECT_EQ(at(12 * 7968), (std::array{2, 1, 0, 12 * 1920}));
    EXPECT_EQ(at(1000 * 12 * 7968 + 3 * 7968), (std::array{1001, 4, 0, 1000 * 12 * 1920}));
    // No meter yet (before the first Play): bar 1.
    EXPECT_EQ(barPosition(48000, kRate, 0, 4).bar, 1);
}

} // namespace
} // namespace tambrel::backends
