// Where the JACK back end puts a stamped message in a period: one period after its stamp,
// never outside the period, never before the message ahead of it, and never lost.

#include "backends/jack/jack_placement.h"

#include <gtest/gtest.h>

#include <limits>

namespace tambrel::platform {
namespace {

constexpr std::uint32_t kFrames = 256;

TEST(JackPlacement, EveryMessageOnePeriodAfterItsStamp) {
    const std::uint32_t cycle = 10'000;
    // Stamped 10 frames into the period before: 10 frames into this one.
    EXPECT_EQ(placeInPeriod(cycle - kFrames + 10, cycle, kFrames, 0).offset, 10);
    EXPECT_FALSE(placeInPeriod(cycle - kFrames + 10, cycle, kFrames, 0).late);
    // Stamped during this period: it waits for the next one.
    EXPECT_TRUE(placeInPeriod(cycle + 3, cycle, kFrames, 0).hold);
    EXPECT_TRUE(placeInPeriod(cycle + 6 * kFrames, cycle, kFrames, 0).hold);
    // The frame counter wraps: only differences count.
    const std::uint32_t wrapped = std::numeric_limits<std::uint32_t>::max() - 100;
    EXPECT_EQ(placeInPeriod(wrapped - kFrames + 200, wrapped, kFrames, 0).offset, 200);
}

TEST(JackPlacement, LateOrJumpedMessagesStayInsideThePeriodAndInOrder) {
    const std::uint32_t cycle = 50'000;
    // A period missed (a stall): the message goes out at once, at the start, and counts
    // as late; after another message, no earlier than that one.
    const JackPlacement late = placeInPeriod(cycle - 3 * kFrames, cycle, kFrames, 0);
    EXPECT_TRUE(late.late);
    EXPECT_FALSE(late.hold);
    EXPECT_EQ(late.offset, 0);
    EXPECT_EQ(placeInPeriod(cycle - 3 * kFrames, cycle, kFrames, 40).offset, 40);
    // Stamped earlier than the message written before it: right after it, not before.
    EXPECT_EQ(placeInPeriod(cycle - kFrames + 5, cycle, kFrames, 90).offset, 90);
    // A clock that jumped far ahead: at the period's last frame rather than never.
    const JackPlacement jumped = placeInPeriod(cycle + 100 * kFrames, cycle, kFrames, 0);
    EXPECT_FALSE(jumped.hold);
    EXPECT_EQ(jumped.offset, kFrames - 1);
}

} // namespace
} // namespace tambrel::platform
