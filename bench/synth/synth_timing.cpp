// How evenly the built-in synth's notes are heard: the step clock's timer plays one note
// per step through the synth (device 0 of the device list, as the program uses it), first
// on a private JACK server, recorded sample for sample by a JACK client of ours, then on a
// private PulseAudio server, recorded with parec from its null sink's monitor. Each path
// runs twice: with notes placed at their stamps, and with the old placement at the start
// of the next audio block. From the onsets in each recording it prints the spacing error
// |onset spacing - the step period|, and beside it how late the timer itself woke for the
// steps (|send spacing - the step period|), which placement at the stamp absorbs.
//
//   synth_timing [--steps N] [--period-ms P]

#include "backends/device_list.h"
#include "jack_audio_recorder.h"
#include "jack_test_server.h"
#include "pulse_test_server.h"
#include "synth_timing_kit.h"

#include "bench_stats.h"

#include "backends/synth/fluid_synth_device.h"
#include "platform/midi_out.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace {

using namespace tambrel;
using platform::FluidSynthDevice;
using Placement = FluidSynthDevice::Placement;

constexpr double kRate = 48000.0;
// After open, as a user who starts the program and then presses Play: the stream's clock
// has settled by then.
constexpr auto kSettle = std::chrono::seconds(1);
// After the last step: its note has been heard and recorded.
constexpr auto kTail = std::chrono::milliseconds(400);

struct Run {
    int onsets = 0;
    std::uint64_t late = 0;
    bench::Percentiles vsPeriod;
    bench::Percentiles sends;
};

Run analyse(const std::vector<float>& level,
            const std::vector<testing::SteadyClock::time_point>& sent, std::uint32_t periodMs,
            std::uint64_t late) {
    Run run;
    const std::vector<std::int64_t> onsets = testing::findClavesOnsets(level);
    run.onsets = static_cast<int>(onsets.size());
    run.late = late;
    const double periodUs = periodMs * 1000.0;
    const std::vector<double> vsPeriod = testing::spacingErrorsUs(onsets, periodUs, kRate);
    run.vsPeriod = bench::percentilesOf(vsPeriod);
    run.sends = bench::percentilesOf(bench::sendErrorsUs(sent, periodUs));
    return run;
}

void print(const char* what, const Run& run, int steps) {
    std::printf("%-12s onsets %3d/%d, late %llu | spacing vs step period: p50 %7.1f  p99 %7.1f  "
                "max %7.1f us | the timer's wake-ups vs the period: p99 %6.1f  max %7.1f us\n",
                what, run.onsets, steps, static_cast<unsigned long long>(run.late),
                run.vsPeriod.p50, run.vsPeriod.p99, run.vsPeriod.max, run.sends.p99, run.sends.max);
}

// Device 0 opened: the synth, on whatever audio the environment offers.
FluidSynthDevice* openSynth(platform::MidiOut& out, platform::MidiOutHandle* handle) {
    if (out.deviceCount() == 0 || out.deviceName(0) != platform::kSynthDeviceName ||
        out.open(0, handle) != platform::kMidiOk) {
        return nullptr;
    }
    std::this_thread::sleep_for(kSettle);
    return static_cast<FluidSynthDevice*>(out.device(0));
}

// `steps` claves played through the synth, whose recording has begun, at `placement`, which
// it has been given; `recorded` gives back the recording's samples once the ring has ended.
template <class Recorded>
Run measured(platform::MidiOut& out, platform::MidiOutHandle handle, FluidSynthDevice& synth,
             Placement placement, int steps, std::uint32_t periodMs, Recorded recorded) {
    const std::uint64_t lateBefore = synth.lateCount();
    const auto sent = testing::playSteps(out, handle, testing::kClaves, steps, periodMs);
    std::this_thread::sleep_for(kTail);
    const Run run = analyse(recorded(), sent, periodMs, synth.lateCount() - lateBefore);
    print(placement == Placement::AtStamp ? "at stamp" : "block start", run, steps);
    return run;
}

// Why a measurement could not be made.
using Failure = std::optional<std::string>;

// Both placements through a private JACK server, recorded by our own JACK client.
Failure measureJack(int steps, std::uint32_t periodMs, std::size_t recordFrames, Run runs[2]) {
    testing::PrivateJackServer server;
    if (!server.start()) {
        return "jackd did not start";
    }
    platform::MidiOut out(platform::discoverMidiOutDevices());
    platform::MidiOutHandle handle = 0;
    FluidSynthDevice* synth = openSynth(out, &handle);
    if (synth == nullptr || synth->driverName() != "jack") {
        return "the synth did not open on the private JACK server";
    }
    std::printf("-- JACK: private jackd -d dummy -r %u -p %u, recorded by a JACK client\n",
                testing::PrivateJackServer::kSampleRate, testing::PrivateJackServer::kPeriodFrames);
    for (const Placement placement : {Placement::AtStamp, Placement::AtBlockStart}) {
        testing::JackAudioRecorder recorder(recordFrames);
        if (!recorder.ok() ||
            recorder.listenTo(std::string(":") + platform::kSynthDeviceName) != 2) {
            return "no recorder on the synth's JACK ports";
        }
        synth->usePlacement(placement);
        recorder.startRecording();
        runs[placement == Placement::AtStamp ? 0 : 1] =
            measured(out, handle, *synth, placement, steps, periodMs,
                     [&] { return recorder.recording().samples; });
    }
    out.close(handle);
    return std::nullopt;
}

// Both placements through a private PulseAudio server, recorded from its null sink.
Failure measurePulse(int steps, std::uint32_t periodMs, std::size_t recordFrames, Run runs[2]) {
    testing::PrivatePulseServer server;
    if (!server.start()) {
        return "PulseAudio did not start: " + server.failure();
    }
    platform::MidiOut out(platform::discoverMidiOutDevices());
    platform::MidiOutHandle handle = 0;
    FluidSynthDevice* synth = openSynth(out, &handle);
    if (synth == nullptr || synth->driverName() != "pulseaudio") {
        return "the synth did not open on the private PulseAudio server";
    }
    std::printf("-- PulseAudio: private server, null sink at %u Hz, recorded with parec from "
                "its monitor\n",
                testing::PrivatePulseServer::kSampleRate);
    for (const Placement placement : {Placement::AtStamp, Placement::AtBlockStart}) {
        synth->usePlacement(placement);
        if (!server.startRecording(recordFrames)) {
            return "parec did not record";
        }
        runs[placement == Placement::AtStamp ? 0 : 1] =
            measured(out, handle, *synth, placement, steps, periodMs,
                     [&] { return server.stopRecording().samples; });
    }
    out.close(handle);
    return std::nullopt;
}

int fail(const char* why, const std::string& more = {}) {
    std::fflush(stdout);
    std::fprintf(stderr, "synth_timing: %s%s\n", why, more.c_str());
    return 1;
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
    if (!platform::findGmSoundfont()) {
        return fail("no General MIDI soundfont on this machine (scripts/install-deps)");
    }
    const auto recordFrames = static_cast<std::size_t>((steps * periodMs / 1000.0 + 2.0) * kRate);
    std::printf("synth_timing: %d steps every %u ms, claves through the built-in synth; "
                "latency through PulseAudio %d frames, through JACK one period\n",
                steps, periodMs, FluidSynthDevice::kClockLatencyFrames);

    Run jackRuns[2];
    Run pulseRuns[2];
    if (Failure why = measureJack(steps, periodMs, recordFrames, jackRuns)) {
        return fail(why->c_str());
    }
    if (Failure why = measurePulse(steps, periodMs, recordFrames, pulseRuns)) {
        return fail(why->c_str());
    }

    std::printf("synth_timing: jack_p99_us=%.1f pulse_p99_us=%.1f blockstart_jack_p99_us=%.1f "
                "blockstart_pulse_p99_us=%.1f\n",
                jackRuns[0].vsPeriod.p99, pulseRuns[0].vsPeriod.p99, jackRuns[1].vsPeriod.p99,
                pulseRuns[1].vsPeriod.p99);
    return 0;
}
