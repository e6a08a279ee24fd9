// Our JACK client's frame line against a server whose estimate of each period's start
// jitters, whose card runs off the machine's clock, and which stalls.

#include "backends/jack/frame_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace tambrel::backends {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kPeriod = 256;

// A server's periods as its estimate reports them: period p starts at frame `first` +
// p x 256, at a moment that runs `ppm` off the machine's clock and jitters by up to
// `jitterNanos` either way.
struct Server {
    std::uint32_t first = 4294960000u; // wraps within the first second
    double ppm = 0;
    std::int64_t jitterNanos = 0;
    std::int64_t lostFrames = 0; // frames the server skipped so far
    std::mt19937 random{7};

    std::uint32_t frameOf(std::int64_t p) const {
        return first + static_cast<std::uint32_t>(p * kPeriod) +
               static_cast<std::uint32_t>(lostFrames);
    }
    std::int64_t nanosOf(std::int64_t p) {
        std::uniform_int_distribution<std::int64_t> jitter(-jitterNanos, jitterNanos);
        const double exact = p * kPeriod * 1e9 / kRate / (1 + ppm * 1e-6);
        return 1'000'000'000 + std::llround(exact) + jitter(random);
    }
    void period(FrameLine& line, std::int64_t p) { line.follow(frameOf(p), nanosOf(p)); }
};

// Steps 125 ms apart (6,000 frames), read off the line as the step clock's notes are.
// `p`: the server's next period, on return the one after the last step.
int worstStepError(FrameLine& line, Server& server, std::int64_t& p, int steps) {
    int worst = 0;
    const std::int64_t fromPeriod = p;
    std::uint32_t last = 0;
    for (int s = 0; s < steps; ++s) {
        const std::int64_t due = 1'000'000'000 + fromPeriod * 5'333'333 + s * 125'000'000LL;
        while (server.nanosOf(p) < due) {
            server.period(line, p++);
        }
        const std::uint32_t frame = line.frameAt(due);
        if (s > 0) {
            worst = std::max(worst, std::abs(static_cast<std::int32_t>(frame - last) - 6000));
        }
        last = frame;
    }
    return worst;
}

TEST(FrameLine, StepsKeepTheirFramesThroughJitterAndACardOffTheMachinesClock) {
    Server server;
    server.jitterNanos = 200'000; // 10 frames either way
    server.ppm = 60;
    FrameLine line(kRate, 0);
    const std::int64_t start = server.nanosOf(0);
    line.follow(server.frameOf(0), start);
    ASSERT_TRUE(line.ready());
    EXPECT_EQ(line.frameAt(start), server.frameOf(0)) << "the first period sets it";
    // 60 ppm is 0.36 frames a step: the spacing stays within the one frame of rounding.
    std::int64_t p = 1;
    EXPECT_LE(worstStepError(line, server, p, 4000), 1);
    // And the line stays with the server over the 8 minutes (drift of 60 ppm: 1,380 frames).
    server.jitterNanos = 0;
    const std::int64_t nanos = server.nanosOf(p);
    server.period(line, p);
    EXPECT_LE(std::abs(static_cast<std::int32_t>(line.frameAt(nanos) - server.frameOf(p))), 12);
}

TEST(FrameLine, AFirstEstimateFromAServerStillSettlingIsLeftWithinASecond) {
    Server server;
    server.jitterNanos = 200'000;
    FrameLine line(kRate, 0);
    line.follow(server.frameOf(0), server.nanosOf(0) + 3'000'000); // 144 frames off
    std::int64_t p = 1;
    for (; p < 188; ++p) { // one second
        server.period(line, p);
    }
    server.jitterNanos = 0;
    const std::int64_t nanos = server.nanosOf(p);
    server.period(line, p);
    EXPECT_LE(std::abs(static_cast<std::int32_t>(line.frameAt(nanos) - server.frameOf(p))), 12);
    server.jitterNanos = 200'000;
    ++p;
    EXPECT_LE(worstStepError(line, server, p, 400), 1) << "and then it keeps the spacing";
}

TEST(FrameLine, AStallIsFollowedAtOnceAndMomentsTurnBackIntoTheirFrames) {
    Server server;
    FrameLine line(kRate, 0);
    for (std::int64_t p = 0; p < 100; ++p) {
        server.period(line, p);
    }
    server.lostFrames = -4096; // the server fell 85 ms behind the machine's clock
    server.period(line, 100);
    EXPECT_LE(std::abs(static_cast<std::int32_t>(line.frameAt(server.nanosOf(100)) -
                                                 server.frameOf(100))),
              1);
    for (std::uint32_t frame : {server.frameOf(100), server.frameOf(100) + 47'999u,
                                server.frameOf(100) - 7u, server.frameOf(0)}) {
        const std::int64_t now = server.nanosOf(100);
        EXPECT_EQ(line.frameAt(line.momentOf(frame, now)), frame);
    }
}

} // namespace
} // namespace tambrel::backends
