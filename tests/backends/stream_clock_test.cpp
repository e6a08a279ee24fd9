// The line from the monotonic clock to a sound server's stream frames, fed as the built-in
// synth feeds it: one update per request of the server, at the request's moment, with the
// frames handed over by its end. A note's place is read off this line, so every frame it is
// off moves a note by as much.

#include "backends/synth/stream_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace tambrel::backends {
namespace {

constexpr double kNominalRate = 48000.0;
// What the server keeps queued: each request tops the stream up to this many frames ahead
// of what is being played, so the line the clock should find is played + this.
constexpr std::int64_t kQueuedFrames = 2048;

struct Stream {
    double rateError = 0.0;    // the sound card's crystal against the nominal rate
    std::int64_t burst = 128;  // frames per request
    double jitterNanos = 0.0;  // each request comes up to this much early or late
    double lockInSeconds = 10; // from then on the line is checked
    double checkedSeconds = 60;
};

// The largest distance in frames between the clock's line and the stream's true frames,
// from lock-in to the end, probed half-way between requests and at each request.
double worstFramesOff(const Stream& stream) {
    StreamClock clock = StreamClock::forSoundServer(kNominalRate);
    const double rate = kNominalRate * (1.0 + stream.rateError);
    const double t0 = 1000e9;
    std::mt19937 random(20);
    std::uniform_real_distribution<double> jitter(-stream.jitterNanos, stream.jitterNanos);
    auto trueFrame = [&](double nanos) { return (nanos - t0) * rate / 1e9 + kQueuedFrames; };
    // The first request fills the whole queue.
    clock.update(static_cast<std::int64_t>(t0), kQueuedFrames);
    std::int64_t handed = kQueuedFrames;
    double worst = 0.0;
    const double end = t0 + (stream.lockInSeconds + stream.checkedSeconds) * 1e9;
    for (double due = t0; due < end;) {
        // The next request comes once the stream has played down to a burst below the queue.
        due = t0 + static_cast<double>(handed + stream.burst - kQueuedFrames) / rate * 1e9;
        const auto at = static_cast<std::int64_t>(due + jitter(random));
        const double before = static_cast<double>(at) - stream.burst / rate * 0.5e9;
        handed += stream.burst;
        clock.update(at, handed);
        if (due - t0 >= stream.lockInSeconds * 1e9) {
            for (const double probe : {before, static_cast<double>(at)}) {
                const double off =
                    clock.frameAt(static_cast<std::int64_t>(probe)) - trueFrame(probe);
                worst = std::max(worst, std::fabs(off));
            }
        }
    }
    EXPECT_EQ(clock.restarts(), 0u);
    return worst;
}

// A stream 0.05 % off its nominal rate (fast and slow), its requests a little early or late
// each, one by one (PulseAudio) or in bunches of 768 and 1024 frames (PipeWire's quantum):
// once locked on, the line stays within one frame of the stream for a minute. A line that
// kept the nominal rate would lag the stream by about nine frames, and a note by as much.
// (The line's own wobble grows with the requests' jitter: about a frame for every 50 us of
// jitter at 1024-frame bunches, which keeps notes on FluidSynth's 64-frame grid.)
TEST(StreamClock, FollowsAStreamOffItsNominalRateWithinOneFrameForAMinute) {
    for (const double rateError : {5e-4, -5e-4}) {
        for (const std::int64_t burst : {128, 768, 1024}) {
            Stream stream;
            stream.rateError = rateError;
            stream.burst = burst;
            stream.jitterNanos = 25e3;
            EXPECT_LE(worstFramesOff(stream), 1.0)
                << "rate off by " << rateError * 100 << " %, bursts of " << burst;
        }
    }
}

} // namespace
} // namespace tambrel::backends
