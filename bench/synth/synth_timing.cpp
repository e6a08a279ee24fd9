// How evenly the built-in synth's notes are heard: the step clock's timer plays one note
// per step through the synth (device 0 of the device list, as the program uses it) on each
// server a Linux desktop plays through: a private JACK server, recorded sample for sample
// by a JACK client of ours; a private PulseAudio server; a private PipeWire server through
// pipewire-pulse and through PipeWire's libjack (this program runs itself again under
// pw-jack for that), each of those three recorded with parec from its null sink's monitor.
// Each path runs with notes placed at their stamps, with the old placement at the start of
// the next audio block (a synth of the benchmark's own, placed that way), and at their
// stamps again on a step timer that wakes every step a random 0 to 20 ms late on purpose.
// From the onsets in each recording it prints the spacing error |onset spacing - the step
// period|, and beside it how late the timer itself woke for the steps (|send spacing - the
// step period|), which placement at the stamp absorbs; and the time from the first step's
// due moment to the first sound in the recording.
//
//   synth_timing [--steps N] [--period-ms P]

#include "backends/device_list.h"
#include "jack_audio_recorder.h"
#include "jack_test_server.h"
#include "pipewire_test_server.h"
#include "pulse_test_server.h"
#include "synth_timing_kit.h"

#include "bench_stats.h"

#include "backends/synth/fluid_synth_device.h"
#include "midiout/midi_out.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace tambrel;
using backends::FluidSynthDevice;
using backends::PlacedSynth;

// The old placement, to measure against: each message at the start of the first audio
// block that sees it, wherever its stamp points.
std::int64_t atBlockStart(std::int64_t) noexcept {
    return 0;
}

// After open, as a user who starts the program and then presses Play: the stream's clock
// has settled by then.
constexpr auto kSettle = std::chrono::seconds(1);
// After the last step: its note has been heard and recorded.
constexpr auto kTail = std::chrono::milliseconds(400);

// The ways each path is played, in this order on every path, and the timer the steps are
// sent by: the late-waking one wakes 0 to 20 ms after each slot, the same every run.
struct Variant {
    const char* label;
    PlacedSynth::Placement placement;
    std::optional<testing::LateWakeups> late;
};
constexpr Variant kVariants[] = {
    {"at stamp", &PlacedSynth::atStamp, std::nullopt},
    {"block start", &atBlockStart, std::nullopt},
    {"late timer", &PlacedSynth::atStamp, testing::LateWakeups{20000, 20}},
};
constexpr std::size_t kVariantCount = std::size(kVariants);

struct Run {
    int onsets = 0;
    std::uint64_t late = 0;
    std::uint64_t underflows = 0;
    bench::Percentiles vsPeriod;
    bench::Percentiles sends;
    double firstSoundMs = std::nan(""); // from the first step's due moment
};
using Runs = Run[kVariantCount];

// What one pass of steps sent, and when the first was due.
struct Played {
    std::vector<testing::SteadyClock::time_point> sent;
    testing::SteadyClock::time_point firstDue;
};

Run analyse(const testing::Recording& heard, const Played& played, std::uint32_t periodMs,
            std::uint64_t late) {
    Run run;
    const std::vector<std::int64_t> onsets = testing::findClavesOnsets(heard.samples);
    run.onsets = static_cast<int>(onsets.size());
    run.late = late;
    const double periodUs = periodMs * 1000.0;
    run.vsPeriod =
        bench::percentilesOf(testing::spacingErrorsUs(onsets, periodUs, heard.sampleRate));
    run.sends = bench::percentilesOf(bench::sendErrorsUs(played.sent, periodUs));
    run.firstSoundMs = 1000.0 * testing::firstSoundAfter(heard, played.firstDue);
    return run;
}

void print(const char* what, const Run& run, int steps) {
    std::printf("%-12s onsets %3d/%d, late %llu, underflows %llu | spacing vs step period: p50 "
                "%7.1f  p99 %7.1f  "
                "max %7.1f us | the timer's wake-ups vs the period: p99 %6.1f  max %7.1f us | "
                "first sound %5.1f ms after due\n",
                what, run.onsets, steps, static_cast<unsigned long long>(run.late),
                static_cast<unsigned long long>(run.underflows), run.vsPeriod.p50, run.vsPeriod.p99,
                run.vsPeriod.max, run.sends.p99, run.sends.max, run.firstSoundMs);
}

// The synth as `variant` places its notes, opened on whatever audio the environment offers:
// placed at their stamps, device 0 of the device list, as the program uses it; otherwise a
// synth of the benchmark's own, alone in its list.
struct OpenSynth {
    std::unique_ptr<midiout::MidiOut> out;
    midiout::MidiOutHandle handle = 0;
    FluidSynthDevice* synth = nullptr;

    explicit OpenSynth(const Variant& variant) {
        if (variant.placement == &PlacedSynth::atStamp) {
            out = std::make_unique<midiout::MidiOut>(backends::discoverMidiOutDevices());
        } else if (const auto soundfont = backends::findGmSoundfont()) {
            midiout::MidiOutDeviceList own;
            own.push_back(
                std::make_unique<FluidSynthDevice>(*soundfont, nullptr, variant.placement));
            out = std::make_unique<midiout::MidiOut>(std::move(own));
        }
        if (out == nullptr || out->deviceCount() == 0 ||
            out->deviceName(0) != backends::kSynthDeviceName ||
            out->open(0, &handle) != midiout::kMidiOk) {
            return;
        }
        std::this_thread::sleep_for(kSettle);
        synth = static_cast<FluidSynthDevice*>(out->device(0));
    }
    ~OpenSynth() {
        if (synth != nullptr) {
            out->close(handle);
        }
    }
    OpenSynth(const OpenSynth&) = delete;
    OpenSynth& operator=(const OpenSynth&) = delete;

    // Why it does not play through `driver`, if it does not.
    std::optional<std::string> notThrough(const std::string& driver) const {
        if (synth == nullptr || synth->driverName() != driver) {
            return "the synth did not open on the private server through " + driver;
        }
        return std::nullopt;
    }
};

// `steps` claves played through the synth, whose recording has begun, as `variant` says;
// `recorded` gives back the recording once the ring has ended.
template <class Recorded>
Run measured(OpenSynth& open, const Variant& variant, int steps, std::uint32_t periodMs,
             Recorded recorded) {
    const std::uint64_t lateBefore = open.synth->lateCount();
    const std::uint64_t underflowsBefore = open.synth->underflows();
    Played played;
    played.sent = testing::playSteps(*open.out, open.handle, testing::kClaves, steps, periodMs,
                                     &played.firstDue, variant.late);
    std::this_thread::sleep_for(kTail);
    Run run = analyse(recorded(), played, periodMs, open.synth->lateCount() - lateBefore);
    run.underflows = open.synth->underflows() - underflowsBefore;
    print(variant.label, run, steps);
    return run;
}

// Why a measurement could not be made.
using Failure = std::optional<std::string>;

// Every variant through a private JACK server, recorded by our own JACK client.
Failure measureJack(int steps, std::uint32_t periodMs, double recordSeconds, Runs& runs) {
    testing::PrivateJackServer server;
    if (!server.start()) {
        return "jackd did not start";
    }
    std::printf("-- JACK: private jackd -d dummy -r %u -p %u, recorded by a JACK client\n",
                testing::PrivateJackServer::kSampleRate, testing::PrivateJackServer::kPeriodFrames);
    for (std::size_t v = 0; v < kVariantCount; ++v) {
        OpenSynth open(kVariants[v]);
        if (open.notThrough("jack")) {
            return "the synth did not open on the private JACK server";
        }
        testing::JackAudioRecorder recorder(
            static_cast<std::size_t>(recordSeconds * testing::PrivateJackServer::kSampleRate));
        if (!recorder.ok() ||
            recorder.listenTo(std::string(":") + backends::kSynthDeviceName) != 2) {
            return "no recorder on the synth's JACK ports";
        }
        recorder.startRecording();
        runs[v] =
            measured(open, kVariants[v], steps, periodMs, [&] { return recorder.recording(); });
    }
    return std::nullopt;
}

// Every variant through `server`, already started, with the synth on `driver`, recorded
// from the server's null sink.
template <class Server>
Failure measureAtSink(Server& server, const char* driver, int steps, std::uint32_t periodMs,
                      double recordSeconds, Runs& runs) {
    for (std::size_t v = 0; v < kVariantCount; ++v) {
        OpenSynth open(kVariants[v]);
        if (Failure why = open.notThrough(driver)) {
            return why;
        }
        if (!server.startRecording(static_cast<std::size_t>(recordSeconds * Server::kSampleRate))) {
            return "parec did not record";
        }
        runs[v] =
            measured(open, kVariants[v], steps, periodMs, [&] { return server.stopRecording(); });
    }
    return std::nullopt;
}

// No JACK server: the synth goes to the desktop's sound server.
void withoutJack() {
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", "tambrel-nobody", 1);
}

Failure measurePulse(int steps, std::uint32_t periodMs, double recordSeconds, Runs& runs) {
    testing::PrivatePulseServer server;
    if (!server.start()) {
        return "PulseAudio did not start: " + server.failure();
    }
    std::printf("-- PulseAudio: private server, null sink at %u Hz, recorded with parec from "
                "its monitor\n",
                testing::PrivatePulseServer::kSampleRate);
    withoutJack();
    return measureAtSink(server, "pulseaudio", steps, periodMs, recordSeconds, runs);
}

// PipeWire through pipewire-pulse here, or through its libjack when this run is under
// pw-jack.
Failure measurePipeWire(int steps, std::uint32_t periodMs, double recordSeconds, Runs& runs) {
    testing::PrivatePipeWireServer server;
    if (!server.start()) {
        return "PipeWire did not start: " + server.failure();
    }
    const bool jack = testing::usesPipeWireJack();
    std::printf("-- PipeWire: private session, null sink at %u Hz, the synth through %s, "
                "recorded with parec from its monitor\n",
                testing::PrivatePipeWireServer::kSampleRate,
                jack ? "PipeWire's libjack" : "pipewire-pulse");
    if (!jack) {
        withoutJack();
    }
    return measureAtSink(server, jack ? "jack" : "pulseaudio", steps, periodMs, recordSeconds,
                         runs);
}

// Under pw-jack, as run by measurePipeWireJack: the one path, and its figures on a line of
// their own for the first run to read: each variant's spacing p99 and first sound.
constexpr const char* kPipeWireJackLine = "synth_timing_pwjack:";

int reportPipeWireJack(int steps, std::uint32_t periodMs, double recordSeconds) {
    Runs runs;
    if (Failure why = measurePipeWire(steps, periodMs, recordSeconds, runs)) {
        std::fprintf(stderr, "synth_timing: %s\n", why->c_str());
        return 1;
    }
    std::printf("%s", kPipeWireJackLine);
    for (const Run& run : runs) {
        std::printf(" %.1f %.1f", run.vsPeriod.p99, run.firstSoundMs);
    }
    std::printf("\n");
    return 0;
}

// PipeWire through its libjack: this program again under pw-jack, its output passed on.
Failure measurePipeWireJack(int steps, std::uint32_t periodMs, Runs& runs) {
    std::fflush(stdout);
    const testing::PipeWireJackRun run = testing::rerunUnderPipeWireJack(
        {"--steps", std::to_string(steps), "--period-ms", std::to_string(periodMs)});
    const std::size_t figures = run.output.find(kPipeWireJackLine);
    std::printf("%s", run.output.substr(0, figures).c_str());
    if (run.status != 0 || figures == std::string::npos) {
        return "the run under pw-jack failed:\n" + run.output;
    }
    std::istringstream line(run.output.substr(figures + std::string(kPipeWireJackLine).size()));
    for (Run& each : runs) {
        line >> each.vsPeriod.p99 >> each.firstSoundMs;
    }
    return line ? Failure{} : Failure{"the run under pw-jack printed no figures"};
}

int fail(const char* why, const std::string& more = {}) {
    std::fflush(stdout);
    std::fprintf(stderr, "synth_timing: %s%s\n", why, more.c_str());
    return 1;
}

struct AllRuns {
    Runs jack;
    Runs pulse;
    Runs pipewire;
    Runs pwjack;
};

Failure measureAll(int steps, std::uint32_t periodMs, double recordSeconds, AllRuns& all) {
    if (Failure why = measureJack(steps, periodMs, recordSeconds, all.jack)) {
        return why;
    }
    if (Failure why = measurePulse(steps, periodMs, recordSeconds, all.pulse)) {
        return why;
    }
    if (Failure why = measurePipeWire(steps, periodMs, recordSeconds, all.pipewire)) {
        return why;
    }
    return measurePipeWireJack(steps, periodMs, all.pwjack);
}

// The first sound of each path with notes at their stamps, and the summary line.
void printSummary(const AllRuns& all) {
    const double first[] = {all.jack[0].firstSoundMs, all.pulse[0].firstSoundMs,
                            all.pipewire[0].firstSoundMs, all.pwjack[0].firstSoundMs};
    double worst = 0.0;
    for (const double ms : first) {
        worst = std::isnan(ms) || std::isnan(worst) ? std::nan("") : std::max(worst, ms);
    }
    std::printf("first sound after the first step's due moment, at stamp (ms): jack %.1f, "
                "pulse %.1f, pipewire %.1f, pwjack %.1f\n",
                first[0], first[1], first[2], first[3]);
    std::printf("synth_timing: jack_p99_us=%.1f pulse_p99_us=%.1f pipewire_p99_us=%.1f "
                "pwjack_p99_us=%.1f late_jack_p99_us=%.1f late_pulse_p99_us=%.1f "
                "late_pipewire_p99_us=%.1f late_pwjack_p99_us=%.1f blockstart_jack_p99_us=%.1f "
                "blockstart_pulse_p99_us=%.1f first_sound_ms=%.1f\n",
                all.jack[0].vsPeriod.p99, all.pulse[0].vsPeriod.p99, all.pipewire[0].vsPeriod.p99,
                all.pwjack[0].vsPeriod.p99, all.jack[2].vsPeriod.p99, all.pulse[2].vsPeriod.p99,
                all.pipewire[2].vsPeriod.p99, all.pwjack[2].vsPeriod.p99, all.jack[1].vsPeriod.p99,
                all.pulse[1].vsPeriod.p99, worst);
}

} // namespace

int main(int argc, char** argv) {
    int steps = 400;
    std::uint32_t periodMs = 62; // a step at tempo 240 in 4/4: 15000 / 240 whole ms
    if (!bench::parseStepsAndPeriod(argc, argv, steps, periodMs)) {
        std::fprintf(stderr, "usage: synth_timing [--steps N] [--period-ms P]\n");
        return 2;
    }
    if (steps < 3 || steps > 100000 || periodMs < 40) {
        std::fprintf(stderr, "synth_timing: 3 to 100000 steps, a period of 40 ms or more\n");
        return 2;
    }
    if (!backends::findGmSoundfont()) {
        return fail("no General MIDI soundfont on this machine (scripts/install-deps)");
    }
    const double recordSeconds = steps * periodMs / 1000.0 + 2.0;
    if (testing::usesPipeWireJack()) {
        return reportPipeWireJack(steps, periodMs, recordSeconds);
    }
    std::printf("synth_timing: %d steps every %u ms, claves through the built-in synth; "
                "latency through PulseAudio %d frames, through JACK one period + %.0f ms\n",
                steps, periodMs, PlacedSynth::kClockLatencyFrames,
                backends::kLateWakeAllowanceSeconds * 1000.0);
    AllRuns all;
    if (Failure why = measureAll(steps, periodMs, recordSeconds, all)) {
        return fail(why->c_str());
    }
    printSummary(all);
    return 0;
}
