// Where the JACK back end puts a stamped message in a period: its delay after its stamp,
// never outside the period, never before the message ahead of it, and never lost.

#include "backends/jack/jack_placement.h"

#include <gtest/gtest.h>

#include <limits>

namespace tambrel::backends {
namespace {

constexpr std::uint32_t kFrames = 256;
constexpr std::uint32_t kRate = 48000;
const std::int64_t kDelay = jackDelayFrames(kFrames, kRate);

JackPlacement place(std::uint32_t stamp, std::uint32_t cycle, std::int64_t lastOffset = 0) {
    return placeInPeriod(stamp, cycle, kFrames, kDelay, lastOffset);
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

} // namespace
} // namespace tambrel::backends
