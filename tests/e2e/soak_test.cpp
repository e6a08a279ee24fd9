// The soak's short form: ten seconds of the step clock at its fastest under everything a
// user can do, with nothing lost or doubled at the JACK receiver and nothing allocated on
// the timer's thread. `make soak` runs the minute-long form and prints its figures.

#include "soak.h"

#include <gtest/gtest.h>

namespace tambrel::soak {
namespace {

TEST(Soak, TenSecondsUnderFireLoseNothing) {
    const SoakResult r = runSoak(10.0);
    ASSERT_EQ(r.failure, "");
    std::printf("%s\n", r.summary().c_str());
    EXPECT_GT(r.ticks, 50u);
    EXPECT_GT(r.expected, 0u) << "nothing was played to the JACK receiver";
    EXPECT_GT(r.userActions, 1000u);
    EXPECT_EQ(r.missed, 0u);
    EXPECT_EQ(r.duplicated, 0u);
    EXPECT_EQ(r.tickAllocations, 0);
}

} // namespace
} // namespace tambrel::soak
