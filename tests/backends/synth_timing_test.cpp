// The built-in synth heard through real sound servers: the step clock's timer sends one
// note per step, the server's output is recorded, and the notes' onsets are spaced by the
// step period, however late the timer woke for each.

#include "backends/device_list.h"
#include "jack_audio_recorder.h"
#include "jack_test_server.h"
#include "pipewire_test_server.h"
#include "pulse_test_server.h"
#include "synth_timing_kit.h"
#include "tests/support/child_process.h"
#include "tests/support/needs.h"

#include "backends/synth/fluid_synth_device.h"
#include "midiout/midi_out.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

namespace tambrel::backends {

using namespace midiout;
namespace {

using namespace std::chrono_literals;

constexpr int kSteps = 20;
// A step at tempo 240. It is not a whole number of audio periods (256 frames through
// JACK, 128 through PulseAudio): placed at the start of the next period instead of at
// their stamps, the steps would land up to 2 to 3 ms off. FluidSynth's 64-frame grid
// itself moves every other step by 32 frames (0.67 ms).
constexpr std::uint32_t kStepMs = 62;
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer slows every callback several times over, so that the server's requests
// come bunched beyond the fixed latency: there the test looks for races and for each note
// heard once, and the spacing only has to stay within a period of the goal.
constexpr double kToleranceUs =
    1500 + PlacedSynth::kPeriodFrames * 1e6 / PlacedSynth::kStreamSampleRate;
#else
constexpr double kToleranceUs = 1500;
#endif
constexpr double kJackRate = testing::PrivateJackServer::kSampleRate;

// Device 0, the synth, opened from the device list as the program does, playing through
// `driver`; nullptr (and a failure) otherwise.
FluidSynthDevice* openSynth(MidiOut& out, MidiOutHandle* handle, const std::string& driver) {
    if (out.deviceCount() == 0 || out.deviceName(0) != kSynthDeviceName) {
        ADD_FAILURE() << "the synth is not device 0";
        return nullptr;
    }
    if (out.open(0, handle) != kMidiOk) {
        ADD_FAILURE() << "the synth did not open";
        return nullptr;
    }
    auto* synth = static_cast<FluidSynthDevice*>(out.device(0));
    if (synth->driverName() != driver) {
        ADD_FAILURE() << "the synth plays through " << synth->driverName() << ", not " << driver;
        return nullptr;
    }
    return synth;
}

// The first note after Play may stray this far from the grid that the notes after it keep.
constexpr double kFirstNoteToleranceUs = 3000;

// One attempt as heard: the worst spacing error against the step period in microseconds,
// or nothing when a note was lost or heard twice; the first note's offset from the grid of
// the rest; and how often the stream ran dry and how long the sink skipped.
struct Heard {
    std::optional<double> worstUs;
    double firstNoteUs = 0.0;
    std::uint64_t underflows = 0;
    double skippedMs = 0.0;

    // The machine stood still for longer than the spacing may stray.
    bool stoodStill() const { return underflows > 0 || skippedMs * 1000.0 > kToleranceUs; }
    bool onTheGrid() const {
        return worstUs && *worstUs <= kToleranceUs &&
               std::fabs(firstNoteUs) <= kFirstNoteToleranceUs;
    }
};

// `underflows`: how often the synth's stream ran dry during the attempt. The spacing is
// taken from note `from` on (from the second note, 1); the first note is held to the grid
// only from the second note.
Heard heardIn(const testing::Recording& recording, std::uint64_t underflows = 0,
              std::size_t from = 1) {
    Heard heard;
    heard.underflows = underflows;
    heard.skippedMs = recording.skippedSeconds() * 1000.0;
    const std::vector<std::int64_t> onsets = testing::findClavesOnsets(recording.samples);
    if (onsets.size() == static_cast<std::size_t>(kSteps)) {
        const std::vector<double> errors =
            testing::spacingErrorsUs(onsets, kStepMs * 1000.0, recording.sampleRate);
        heard.worstUs = *std::max_element(errors.begin() + std::ptrdiff_t(from - 1), errors.end());
        if (from == 1) {
            heard.firstNoteUs = testing::firstNoteOffsetUs(onsets, recording.sampleRate);
        }
    }
    return heard;
}

// A shared two-core machine sometimes keeps a sound server waiting for a few milliseconds
// (another program's build, the host): up to five attempts, the best of them must meet the
// goal (every spacing, and the first note on the grid of the rest), and every attempt must
// hear each note once. This machine's host also stops the
// whole machine now and then for 10-40 ms. Then the synth's stream may run dry (the gap's
// audio is lost), or the server's sink, driven by a timer, skips the time it stood still
// (the recording has no frames for it): a note in the gap is cut late, split in two or not
// heard, and the notes around it are that much farther apart. Such an attempt says nothing
// of where the synth placed its notes and is made again, up to ten attempts in all; an
// output that runs dry every time fails.
template <class Attempt> void expectSpacingInOneOfFive(Attempt attempt) {
    std::vector<std::string> heardInEach;
    bool met = false;
    int stood = 0; // attempts in which the machine stood still
    for (int i = 0; i < 10 && heardInEach.size() < 5 && !met; ++i) {
        const Heard heard = attempt();
        const std::string figures =
            (heard.worstUs ? std::to_string(*heard.worstUs) + " us" : "(a note lost)") +
            ", first note " + std::to_string(heard.firstNoteUs) + " us";
        std::cout << "attempt " << i + 1 << ": worst spacing error " << figures
                  << ", the stream ran dry " << heard.underflows << " times, the sink skipped "
                  << heard.skippedMs << " ms" << std::endl;
        if (::testing::Test::HasFailure()) {
            return;
        }
        if (heard.stoodStill()) {
            ++stood;
            continue;
        }
        ASSERT_TRUE(heard.worstUs.has_value()) << "a note was lost or heard twice";
        heardInEach.push_back(figures);
        met = heard.onTheGrid();
    }
    ASSERT_FALSE(heardInEach.empty()) << "the machine stood still in all " << stood << " attempts";
    EXPECT_TRUE(met) << "each attempt's worst spacing error and first note: "
                     << ::testing::PrintToString(heardInEach) << "; the machine stood still in "
                     << stood << " more";
}

// Far more than the slowest path takes beside a heavy load with all its attempts, well
// within ctest's timeout.
constexpr auto kTestDeadline = std::chrono::seconds(200);

class SynthTimingTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!findGmSoundfont()) {
            TAMBREL_MISSING_NEED("no General MIDI soundfont on this machine");
        }
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        deadline_.emplace(kTestDeadline, std::string(test->name()) +
                                             " (a server, the synth's stream or a recording)");
    }
    void TearDown() override { deadline_.reset(); }

private:
    std::optional<testing::Deadline> deadline_;
};

// Through JACK the synth plays in our own client's periods, each note at its step's due
// frame on the server's frame clock plus one period.
TEST_F(SynthTimingTest, ThroughJackEveryStepKeepsItsSpacing) {
    testing::PrivateJackServer server;
    ASSERT_TRUE(server.start()) << "jackd did not come up";
    MidiOut out(discoverMidiOutDevices());
    MidiOutHandle handle = 0;
    ASSERT_NE(openSynth(out, &handle, "jack"), nullptr);

    expectSpacingInOneOfFive([&] {
        testing::JackAudioRecorder recorder(static_cast<std::size_t>(kJackRate * 4));
        EXPECT_TRUE(recorder.ok());
        EXPECT_EQ(recorder.listenTo(std::string(":") + kSynthDeviceName), 2);
        recorder.startRecording();
        testing::playSteps(out, handle, testing::kClaves, kSteps, kStepMs);
        std::this_thread::sleep_for(300ms + 2 * server.kPeriodFrames * 1000ms / kJackRate);
        return heardIn(recorder.recording());
    });
    EXPECT_EQ(out.close(handle), kMidiOk);
}

// Through a server that speaks PulseAudio's protocol, or through PipeWire's JACK, the
// synth plays on `driver`; each attempt is recorded from the server's null sink.
// `afterRest`: each attempt first waits until the synth has rung out and its stream rests,
// and plays on a timer that wakes late, as Play after a pause does on a busy machine: the
// notes wake the stream, and the first of them is as close to its due moment as the rest.
// `settling`: after a rest, the spacing of the first notes is not held to the goal (see
// below).
template <class Server>
void expectSpacingAtSink(Server& server, const char* driver, bool afterRest = false,
                         std::size_t settling = 0) {
    MidiOut out(discoverMidiOutDevices());
    MidiOutHandle handle = 0;
    FluidSynthDevice* synth = openSynth(out, &handle, driver);
    ASSERT_NE(synth, nullptr);

    expectSpacingInOneOfFive([&] {
        std::optional<testing::LateWakeups> late;
        if (afterRest) {
            const std::uint64_t rests = synth->rests();
            std::this_thread::sleep_for(std::chrono::duration<double>(GmSynth::kRingOutSeconds) +
                                        1s);
            EXPECT_GT(synth->rests(), rests) << "the stream did not rest";
            late = testing::LateWakeups{20000, 7};
        }
        EXPECT_TRUE(server.startRecording());
        const std::uint64_t underflows = synth->underflows();
        testing::SteadyClock::time_point firstDue;
        testing::playSteps(out, handle, testing::kClaves, kSteps, kStepMs, &firstDue, late);
        std::this_thread::sleep_for(300ms);
        const testing::Recording recording = server.stopRecording();
        const Heard heard = heardIn(recording, synth->underflows() - underflows, 1 + settling);
        if (afterRest && !heard.stoodStill()) {
            EXPECT_LT(testing::firstSoundAfter(recording, firstDue), 0.075)
                << "the first note after a rest came late";
        }
        return heard;
    });
    EXPECT_EQ(out.close(handle), kMidiOk);
}

// No JACK server: the synth goes to the desktop's sound server.
void withoutJack() {
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", ("tambrel-nobody-" + std::to_string(getpid())).c_str(), 1);
}

// Through PulseAudio the synth plays in the server's own requests; the stream clock maps
// each step's due moment onto the stream.
TEST_F(SynthTimingTest, ThroughPulseAudioEveryStepKeepsItsSpacing) {
    testing::PrivatePulseServer server;
    if (!server.start()) {
        TAMBREL_MISSING_NEED("PulseAudio could not start here: " << server.failure());
    }
    testing::JackTestLock lock; // discovery opens JACK's shared database
    withoutJack();
    expectSpacingAtSink(server, "pulseaudio");
    expectSpacingAtSink(server, "pulseaudio", true);
}

// Through a private PipeWire server whose quantum is held: at the synth's own small one the
// recorder (parec through pipewire-pulse) loses frames on this machine when it stands still,
// and every note after the loss seems early; and each change of it (the recorder joining with
// its short latency) throws a stream clock off its line for a while.
void expectSpacingThroughPipeWire(bool native) {
    testing::PrivatePipeWireServer server;
    if (!server.start()) {
        TAMBREL_MISSING_NEED("PipeWire could not start here: " << server.failure());
    }
    ASSERT_TRUE(server.holdQuantum(testing::PrivatePipeWireServer::kSettledQuantum));
    if (!native) {
        server.hideNativeApi();
    }
    testing::JackTestLock lock;
    withoutJack();
    const char* output = native ? "pipewire" : "pulseaudio";
    expectSpacingAtSink(server, output);
    // A fault not mended yet: after a rest PipeWire's PulseAudio service makes the requests
    // of a stream just woken in a burst, the stream clock starts its line anew from them,
    // and the first four notes land up to 11 ms off while the line settles. Their spacing
    // is left out there; the rest must keep the goal.
    expectSpacingAtSink(server, output, true, native ? 0 : 4);
}

// Through PipeWire's own API the synth is a node of the graph, rendering each cycle's
// quantum on the server's clock, the line fed with the server's own times.
TEST_F(SynthTimingTest, ThroughPipeWireEveryStepKeepsItsSpacing) {
    expectSpacingThroughPipeWire(true);
}

// Through PipeWire's PulseAudio face (where the native stream cannot open), which asks for
// audio in bunches of its quantum rather than at the stream's own pace.
TEST_F(SynthTimingTest, ThroughPipeWirePulseEveryStepKeepsItsSpacing) {
    expectSpacingThroughPipeWire(false);
}

// This test once more as its own program under pw-jack; fails when that run fails.
void passesUnderPipeWireJack() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const testing::PipeWireJackRun run = testing::rerunUnderPipeWireJack(
        {std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()});
    std::cout << run.output << std::flush;
    if (run.status == 0 && run.output.find("[  SKIPPED ] 1 test") != std::string::npos) {
        GTEST_SKIP() << "skipped under pw-jack";
    }
    EXPECT_EQ(run.status, 0) << "under pw-jack";
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test."), std::string::npos) << "under pw-jack";
}

// Through PipeWire's JACK the synth is a JACK client whose periods are the graph's quantum,
// placed by the frame clock PipeWire keeps for JACK clients.
TEST_F(SynthTimingTest, ThroughPipeWireJackEveryStepKeepsItsSpacing) {
    if (!testing::usesPipeWireJack()) {
        ASSERT_FALSE(testing::isPipeWireJackRerun()) << "pw-jack left JACK's own libjack in place";
        passesUnderPipeWireJack();
        return;
    }
    testing::PrivatePipeWireServer server;
    if (!server.start()) {
        TAMBREL_MISSING_NEED("PipeWire could not start here: " << server.failure());
    }
    expectSpacingAtSink(server, "jack");
}

} // namespace
} // namespace tambrel::backends
