// The PipeWire kit as the sound tests rely on it: PulseAudio clients of this process reach
// the private server and its null sink is the default one, a sound played there is in the
// monitor's recording, and stopping it leaves nothing behind: neither its folders nor its
// address in the environment of the tests that follow.

#include "child_process.h"
#include "pipewire_test_server.h"
#include "pulse_protocol.h"
#include "synth_timing_kit.h"
#include "tests/support/needs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tambrel::testing {
namespace {

// A fifth of a second of 440 Hz at half scale, as 48 kHz float stereo.
void writeTone(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 48000 / 5; ++i) {
        const float sample = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * i / 48000.0));
        out.write(reinterpret_cast<const char*>(&sample), sizeof sample);
        out.write(reinterpret_cast<const char*>(&sample), sizeof sample);
    }
}

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "(unset)";
}

TEST(ScopedEnvironmentTest, PutsBackTheFirstValueOfEachNameAndWhatWasUnset) {
    setenv("TAMBREL_KIT_A", "before", 1);
    unsetenv("TAMBREL_KIT_B");
    {
        ScopedEnvironment scoped;
        scoped.set("TAMBREL_KIT_A", "one");
        scoped.set("TAMBREL_KIT_A", "two");
        scoped.set("TAMBREL_KIT_B", "new");
        scoped.unset("TAMBREL_KIT_A");
        EXPECT_EQ(variable("TAMBREL_KIT_A"), "(unset)");
        EXPECT_EQ(variable("TAMBREL_KIT_B"), "new");
    }
    EXPECT_EQ(variable("TAMBREL_KIT_A"), "before");
    EXPECT_EQ(variable("TAMBREL_KIT_B"), "(unset)");
    unsetenv("TAMBREL_KIT_A");
}

// The first note's offset is taken from the grid of the notes after it, counted by the steps
// they span: a note lost among them moves neither the grid nor the figure.
TEST(SynthTimingKitTest, TheFirstNoteIsMeasuredAgainstTheGridOfTheNextOnes) {
    constexpr double kRate = 48000.0;
    std::vector<std::int64_t> onsets;
    for (int step = 0; step < 20; ++step) {
        if (step != 5) {                                            // lost
            onsets.push_back(1000 + step * 2976 + (step % 2) * 32); // FluidSynth's grid
        }
    }
    onsets[0] += 144; // 3 ms late
    EXPECT_NEAR(firstNoteOffsetUs(onsets, kRate), 3000.0, 400.0);
    onsets[0] -= 288; // 3 ms early
    EXPECT_NEAR(firstNoteOffsetUs(onsets, kRate), -3000.0, 400.0);
    EXPECT_TRUE(std::isnan(firstNoteOffsetUs({1, 2}, kRate)));
}

TEST(PipeWireKitTest, ClientsReachItsNullSinkAndNothingStaysBehind) {
    setenv("PULSE_SERVER", "unix:/nowhere", 1);
    unsetenv("PIPEWIRE_RUNTIME_DIR");
    std::string runtime;
    {
        PrivatePipeWireServer server;
        if (!server.start()) {
            TAMBREL_MISSING_NEED("PipeWire could not start here: " << server.failure());
        }
        runtime = variable("PIPEWIRE_RUNTIME_DIR");
        EXPECT_TRUE(std::filesystem::exists(runtime + "/pipewire-0"));
        std::string said;
        ASSERT_EQ(runPactl({"info"}, &said), 0);
        EXPECT_NE(said.find("on PipeWire"), std::string::npos) << said;
        EXPECT_NE(said.find("Default Sink: out\n"), std::string::npos) << said;

        // A tone played into the default sink by a PulseAudio client is in the recording.
        ASSERT_TRUE(server.startRecording());
        const std::string tone = runtime + "/tone.raw";
        writeTone(tone);
        const pid_t pacat = spawnChild(
            {"pacat", "--raw", "--format=float32le", "--channels=2", "--rate=48000", tone});
        EXPECT_EQ(reapChild(pacat, std::chrono::seconds(5)), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const Recording heard = server.stopRecording();
        EXPECT_GT(heard.samples.size(), std::size_t(0.3 * PrivatePipeWireServer::kSampleRate));
        EXPECT_NEAR(heard.peak(), 0.5f, 0.05f);
    }
    EXPECT_EQ(variable("PULSE_SERVER"), "unix:/nowhere");
    EXPECT_EQ(variable("PIPEWIRE_RUNTIME_DIR"), "(unset)");
    EXPECT_FALSE(std::filesystem::exists(runtime));
    unsetenv("PULSE_SERVER");
}

} // namespace
} // namespace tambrel::testing
