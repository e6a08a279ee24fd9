// The built-in synth's audio outputs, tried in their order on real servers: the first that
// opens plays, and one that cannot play is passed over without leaving anything behind.

#include "jack_audio_recorder.h"
#include "jack_test_server.h"
#include "pulse_test_server.h"
#include "synth_timing_kit.h"
#include "tests/support/needs.h"

#include "backends/synth/fluid_synth_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace tambrel::backends {
namespace {

using namespace std::chrono_literals;

// With PulseAudio running too, a JACK server comes first; one that reaches no playback
// port is passed over, its client keeps no port of the synth, and PulseAudio plays the
// notes.
TEST(SynthOutputs, TheFirstOutputThatOpensPlays) {
    const std::optional<std::string> soundfont = findGmSoundfont();
    if (!soundfont) {
        TAMBREL_MISSING_NEED("no General MIDI soundfont on this machine");
    }
    testing::PrivatePulseServer pulse;
    if (!pulse.start()) {
        TAMBREL_MISSING_NEED("PulseAudio could not start here: " << pulse.failure());
    }
    {
        testing::PrivateJackServer jack;
        ASSERT_TRUE(jack.start()) << "jackd did not come up";
        FluidSynthDevice synth(*soundfont);
        ASSERT_TRUE(synth.open());
        EXPECT_EQ(synth.driverName(), "jack");
        synth.close();
    }
    testing::PrivateJackServer jack;
    jack.removePlayback();
    ASSERT_TRUE(jack.start()) << "jackd did not come up";
    FluidSynthDevice synth(*soundfont);
    ASSERT_TRUE(synth.open());
    EXPECT_EQ(synth.driverName(), "pulseaudio");
    testing::JackAudioRecorder listener;
    ASSERT_TRUE(listener.ok());
    EXPECT_EQ(listener.listenTo(std::string(":") + kSynthDeviceName), 0)
        << "the synth's ports stayed on the JACK server";

    ASSERT_TRUE(pulse.startRecording());
    synth.send(
        midiout::TimedMessage::fromShort(testing::kClaves, std::chrono::steady_clock::now()));
    // parec hands the recording over in batches of its own.
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (pulse.recording().peak() < 0.01f && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(pulse.stopRecording().peak(), 0.01f) << "the claves were not heard at the sink";
    // The stream's latency as the server reports it comes on top of the fixed one.
    const auto fixed = std::chrono::nanoseconds(static_cast<std::int64_t>(
        PlacedSynth::kClockLatencyFrames * 1e9 / PlacedSynth::kStreamSampleRate));
    EXPECT_GT(synth.latency(), fixed + 1ms);
    EXPECT_LT(synth.latency(), fixed + 200ms);
    synth.close();
    EXPECT_EQ(synth.driverName(), "");
}

} // namespace
} // namespace tambrel::backends
