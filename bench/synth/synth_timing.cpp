// How evenly the built-in synth's notes are heard: the step clock's timer plays one note
// per step through the synth (device 0 of the device list, as the program uses it) on each
// server a Linux desktop plays through: a private JACK server, recorded sample for sample
// by a JACK client of ours; a private PulseAudio server; a private PipeWire server on its
// own API, through pipewire-pulse (the native stream hidden) and through PipeWire's libjack
// (this program runs itself again under pw-jack for that), each of those four recorded with
// parec from its null sink's monitor, PipeWire's graph held at the quantum it settles on.
// Each path runs with notes placed at their stamps, with the old placement at the start of
// the next audio block (a synth of the benchmark's own, placed that way), and at their
// stamps again on a step timer that wakes every step a random 0 to 20 ms late on purpose.
// From the onsets in each recording it prints the spacing error |onset spacing - the step
// period|, and beside it how late the timer itself woke for the steps (|send spacing - the
// step period|), which placement at the stamp absorbs; and the time from the first step's
// due moment to the first sound in the recording; and how far the first note lies from the
// grid that the notes after it keep, from a running stream and from one at rest (the
// stream paths rest once the synth has rung out: then a short pass on the late timer, as
// Play after a pause on a busy machine).
//
//   synth_timing [--load] [--steps N] [--period-ms P]
//
// --load: the whole measurement beside bench/busy_load (two builds of a scratch copy of
// the tree), so that "a busy machine" is the same for anyone who repeats it.

#include "backends/device_list.h"
#include "jack_audio_recorder.h"
#include "jack_test_server.h"
#include "pipewire_test_server.h"
#include "pulse_test_server.h"
#include "synth_timing_kit.h"

#include "bench_load.h"
#include "bench_stats.h"

#include "backends/synth/fluid_synth_device.h"
#include "midiout/midi_out.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

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
    // The first note from the grid of the rest: this run's, and (at stamp, on a stream
    // that rests) a short pass's after a rest.
    double firstNoteUs = std::nan("");
    double restFirstNoteUs = std::nan("");
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
    run.firstNoteUs = testing::firstNoteOffsetUs(onsets, heard.sampleRate);
    return run;
}

void print(const char* what, const Run& run, int steps) {
    std::printf("%-12s onsets %3d/%d, late %llu, underflows %llu | spacing vs step period: p50 "
                "%7.1f  p99 %7.1f  "
                "max %7.1f us | the timer's wake-ups vs the period: p99 %6.1f  max %7.1f us | "
                "first sound %5.1f ms after due, first note %+7.1f us off the grid\n",
                what, run.onsets, steps, static_cast<unsigned long long>(run.late),
                static_cast<unsigned long long>(run.underflows), run.vsPeriod.p50, run.vsPeriod.p99,
                run.vsPeriod.max, run.sends.p99, run.sends.max, run.firstSoundMs, run.firstNoteUs);
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

// On a stream that has rested since its last note (the synth rung out): a short pass on
// the late timer, its first note's offset from the grid of the rest, or NaN.
template <class Server> double firstNoteAfterRest(Server& server, OpenSynth& open) {
    constexpr int kSteps = 16;
    constexpr std::uint32_t kPeriodMs = 62;
    const std::uint64_t rests = open.synth->rests();
    std::this_thread::sleep_for(std::chrono::duration<double>(backends::GmSynth::kRingOutSeconds) +
                                std::chrono::seconds(1));
    if (open.synth->rests() == rests ||
        !server.startRecording(static_cast<std::size_t>(5 * Server::kSampleRate))) {
        return std::nan("");
    }
    testing::playSteps(*open.out, open.handle, testing::kClaves, kSteps, kPeriodMs, nullptr,
                       testing::LateWakeups{20000, 7});
    std::this_thread::sleep_for(kTail);
    const testing::Recording heard = server.stopRecording();
    return testing::firstNoteOffsetUs(testing::findClavesOnsets(heard.samples), heard.sampleRate);
}

// Every variant through `server`, already started, with the synth on `driver`, recorded
// from the server's null sink; after the notes at their stamps, a pass after a rest.
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
        if (v == 0 && std::string(driver) != "jack") { // JACK clients never rest
            runs[v].restFirstNoteUs = firstNoteAfterRest(server, open);
            std::printf("%-12s first note %+7.1f us off the grid after a rest\n", "",
                        runs[v].restFirstNoteUs);
        }
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

// PipeWire on its own API (`native`) or through pipewire-pulse here, or through its libjack
// when this run is under pw-jack.
Failure measurePipeWire(bool native, int steps, std::uint32_t periodMs, double recordSeconds,
                        Runs& runs) {
    testing::PrivatePipeWireServer server;
    if (!server.start()) {
        return "PipeWire did not start: " + server.failure();
    }
    if (!server.holdQuantum(testing::PrivatePipeWireServer::kSettledQuantum)) {
        return "pw-metadata could not hold PipeWire's quantum";
    }
    const bool jack = testing::usesPipeWireJack();
    const char* driver = jack ? "jack" : native ? "pipewire" : "pulseaudio";
    std::printf("-- PipeWire: private session, null sink at %u Hz, quantum %d, the synth "
                "through %s, recorded with parec from its monitor\n",
                testing::PrivatePipeWireServer::kSampleRate,
                testing::PrivatePipeWireServer::kSettledQuantum,
                jack     ? "PipeWire's libjack"
                : native ? "its own API"
                         : "pipewire-pulse");
    if (!jack) {
        withoutJack();
    }
    if (!jack && !native) {
        server.hideNativeApi();
    }
    return measureAtSink(server, driver, steps, periodMs, recordSeconds, runs);
}

// Under pw-jack, as run by measurePipeWireJack: the one path, and its figures on a line of
// their own for the first run to read: each variant's spacing p99 and max, notes late,
// first sound and first note.
constexpr const char* kPipeWireJackLine = "synth_timing_pwjack:";

int reportPipeWireJack(int steps, std::uint32_t periodMs, double recordSeconds) {
    Runs runs;
    if (Failure why = measurePipeWire(false, steps, periodMs, recordSeconds, runs)) {
        std::fprintf(stderr, "synth_timing: %s\n", why->c_str());
        return 1;
    }
    std::printf("%s", kPipeWireJackLine);
    for (const Run& run : runs) {
        std::printf(" %.1f %.1f %llu %.1f %.1f", run.vsPeriod.p99, run.vsPeriod.max,
                    static_cast<unsigned long long>(run.late), run.firstSoundMs, run.firstNoteUs);
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
        unsigned long long late = 0;
        line >> each.vsPeriod.p99 >> each.vsPeriod.max >> late >> each.firstSoundMs >>
            each.firstNoteUs;
        each.late = late;
    }
    return line ? Failure{} : Failure{"the run under pw-jack printed no figures"};
}

int fail(const char* why, const std::string& more = {}) {
    std::fflush(stdout);
    std::fprintf(stderr, "synth_timing: %s%s\n", why, more.c_str());
    return 1;
}

// Every path, in the order measured.
struct AllRuns {
    Runs jack;
    Runs pulse;
    Runs pwnative;
    Runs pipewire; // through pipewire-pulse
    Runs pwjack;
};

Failure measureAll(int steps, std::uint32_t periodMs, double recordSeconds, AllRuns& all) {
    if (Failure why = measureJack(steps, periodMs, recordSeconds, all.jack)) {
        return why;
    }
    if (Failure why = measurePulse(steps, periodMs, recordSeconds, all.pulse)) {
        return why;
    }
    if (Failure why = measurePipeWire(true, steps, periodMs, recordSeconds, all.pwnative)) {
        return why;
    }
    if (Failure why = measurePipeWire(false, steps, periodMs, recordSeconds, all.pipewire)) {
        return why;
    }
    return measurePipeWireJack(steps, periodMs, all.pwjack);
}

// The larger of two figures, NaN (not measured) when either is.
double worse(double a, double b) {
    return std::isnan(a) || std::isnan(b) ? std::nan("") : std::max(a, b);
}

// The first note's worst offset on a path, running or after a rest (where it rests).
double firstNoteOf(const Runs& runs) {
    const double running = std::fabs(runs[0].firstNoteUs);
    return std::isnan(runs[0].restFirstNoteUs) ? running
                                               : worse(running, std::fabs(runs[0].restFirstNoteUs));
}

// The first sound of each path with notes at their stamps, and the summary line. `max_us`
// and `late_notes` take the notes at their stamps and on the late timer, every path.
void printSummary(const AllRuns& all) {
    const Runs* paths[] = {&all.jack, &all.pulse, &all.pwnative, &all.pipewire, &all.pwjack};
    double worstFirst = 0.0;
    double maxUs = 0.0;
    unsigned long long lateNotes = 0;
    for (const Runs* runs : paths) {
        worstFirst = worse(worstFirst, (*runs)[0].firstSoundMs);
        for (const std::size_t v : {std::size_t{0}, std::size_t{2}}) {
            maxUs = std::max(maxUs, (*runs)[v].vsPeriod.max);
            lateNotes += (*runs)[v].late;
        }
    }
    std::printf("first sound after the first step's due moment, at stamp (ms): jack %.1f, "
                "pulse %.1f, pwnative %.1f, pipewire %.1f, pwjack %.1f\n",
                all.jack[0].firstSoundMs, all.pulse[0].firstSoundMs, all.pwnative[0].firstSoundMs,
                all.pipewire[0].firstSoundMs, all.pwjack[0].firstSoundMs);
    std::printf("synth_timing: jack_p99_us=%.1f pulse_p99_us=%.1f pwnative_p99_us=%.1f "
                "pipewire_p99_us=%.1f pwjack_p99_us=%.1f late_jack_p99_us=%.1f "
                "late_pulse_p99_us=%.1f late_pwnative_p99_us=%.1f late_pipewire_p99_us=%.1f "
                "late_pwjack_p99_us=%.1f blockstart_jack_p99_us=%.1f "
                "blockstart_pulse_p99_us=%.1f max_us=%.1f late_notes=%llu "
                "first_note_jack_us=%.1f first_note_pulse_us=%.1f first_note_pwnative_us=%.1f "
                "first_note_pipewire_us=%.1f first_note_pwjack_us=%.1f first_sound_ms=%.1f\n",
                all.jack[0].vsPeriod.p99, all.pulse[0].vsPeriod.p99, all.pwnative[0].vsPeriod.p99,
                all.pipewire[0].vsPeriod.p99, all.pwjack[0].vsPeriod.p99, all.jack[2].vsPeriod.p99,
                all.pulse[2].vsPeriod.p99, all.pwnative[2].vsPeriod.p99,
                all.pipewire[2].vsPeriod.p99, all.pwjack[2].vsPeriod.p99, all.jack[1].vsPeriod.p99,
                all.pulse[1].vsPeriod.p99, maxUs, lateNotes, firstNoteOf(all.jack),
                firstNoteOf(all.pulse), firstNoteOf(all.pwnative), firstNoteOf(all.pipewire),
                firstNoteOf(all.pwjack), worstFirst);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest; // the arguments but --load
    bool load = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--load") == 0) {
            load = true;
        } else {
            rest.push_back(argv[i]);
        }
    }
    int steps = 400;
    std::uint32_t periodMs = 62; // a step at tempo 240 in 4/4: 15000 / 240 whole ms
    std::vector<char*> parsed{argv[0]};
    parsed.insert(parsed.end(), rest.begin(), rest.end());
    if (!bench::parseStepsAndPeriod(static_cast<int>(parsed.size()), parsed.data(), steps,
                                    periodMs)) {
        std::fprintf(stderr, "usage: synth_timing [--load] [--steps N] [--period-ms P]\n");
        return 2;
    }
    if (steps < 3 || steps > 100000 || periodMs < 40) {
        std::fprintf(stderr, "synth_timing: 3 to 100000 steps, a period of 40 ms or more\n");
        return 2;
    }
    if (load) {
        return bench::rerunWithLoad(argv, rest, "synth_timing");
    }
    if (!backends::findGmSoundfont()) {
        return fail("no General MIDI soundfont on this machine (scripts/install-deps)");
    }
    const double recordSeconds = steps * periodMs / 1000.0 + 2.0;
    if (testing::usesPipeWireJack()) {
        return reportPipeWireJack(steps, periodMs, recordSeconds);
    }
    std::printf("synth_timing: %d steps every %u ms, claves through the built-in synth; "
                "latency on a stream %d frames, through JACK one period + %.0f ms; load "
                "average %s\n",
                steps, periodMs, PlacedSynth::kClockLatencyFrames,
                backends::kLateWakeAllowanceSeconds * 1000.0, bench::loadAverage().c_str());
    AllRuns all;
    if (Failure why = measureAll(steps, periodMs, recordSeconds, all)) {
        return fail(why->c_str());
    }
    printSummary(all);
    return 0;
}
