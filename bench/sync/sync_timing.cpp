// sync_timing: Tambrel's MIDI clock out, read by programs that nobody here wrote, on a
// private JACK server: jack_midi_dump (every message's frame, the notes' and the clock's
// in one stream) and jack_mclk_dump (the tempo a receiver shows, through its own filter);
// and MIDI clock in, Tambrel following jack_midi_clock's clock.
//
//   sync_timing [--load] [--drift-minutes M]
//   sync_timing --clock-in       MIDI clock in alone
//   sync_timing --follow [--fault no-slow-sync]   JACK transport follow alone
//   sync_timing --report DIR     the clock out figures again from the readings a run kept in DIR
//
// Runs, in 4/4 with a note on every step: tempo 30, 97, 120 and 260 (8 beats each); a
// tempo change from 120 to 97 while stopped with clocks running (--clock-while-stopped),
// then 8 beats at 97; and M minutes at 97 (default 10) for the drift.
// - clock_out_p99_frames: |frames between consecutive clocks - the step's frames / its
//   clocks|, over every run (Start to Stop).
// - clock_out_drift_frames: in the long run, the last clock's frame against the first
//   clock's plus the clocks between times their exact interval.
// - mclk_bpm_err: from the third beat of each run on, the 99th percentile of |tempo that
//   jack_mclk_dump shows (filtered) - the quarter-note tempo Tambrel really plays|, over
//   every clock it read (the worst is printed beside it: a stall of the busy machine that
//   holds a clock back throws the reader's filter off for a while).
// - first_clock_frames: the worst distance of a run's first clock from its Start and from
//   the first step's note.
// MIDI clock in: jack_midi_clock turns the transport, rolled by jack_transport (its timebase
// master) at 120 and then, 8 beats on, at 97.5, into clock; Tambrel follows it with a note on
// every step, and jack_midi_dump hears the notes and the same transport's clock without
// jitter. Two rolls: the clock Tambrel follows without jitter (the one jack_midi_dump
// hears), then with jack_midi_clock's 10% jitter (a second jack_midi_clock, without, tells
// jack_midi_dump the transport's own beat grid).
// - clock_in_p99_frames: without jitter, |a step's note - its clock's frame|, every step but
//   the first of the roll.
// - clock_in_jitter_p99_us: with jitter, the same against the grid, in microseconds.
// - clock_in_first_step_frames: how long after its clock the first step of a roll, which no
//   clock before it foretells, is heard (the worst of the rolls).
// - follow_p99_frames: Tambrel following the JACK transport (--jack-transport=follow) with a
//   kick on step 1 of its bar, read by a receiver on the same server: |note - the bar start
//   that the timebase master tells|, 99th percentile, with klick -T as the master and then
//   with jack_transport's own. follow_first_note_frames: the worst |first note of a start -
//   the frame the transport rolled from|, over a start from bar 1 and one from bar 3 each.
//   --fault no-slow-sync: starts do not wait for Tambrel (the fault the wait is there for).
// - follow_ear_p99_us: Tambrel following klick -T with claves on the beats on its built-in
//   synth through JACK, both recorded where they are heard: |claves - klick's click|, 99th
//   percentile, microseconds. lead_ear_p99_us: the same with Tambrel leading (lead) and
//   `klick -j` following it. FluidSynth starts notes on its 64-frame grid (1.3 ms).
// --load: beside bench/busy_load, as synth_timing.

#include "backends/device_list.h"
#include "bench_load.h"
#include "bench_stats.h"
#include "follow_timing.h"
#include "jack_clock_sender.h"
#include "jack_test_server.h"

#include "engine/rhythm_engine.h"
#include "platform/periodic_timer.h"
#include "tests/support/child_process.h"

#include <jack/jack.h>
#include <jack/transport.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tambrel {
namespace {

using namespace std::chrono_literals;
constexpr double kRate = testing::PrivateJackServer::kSampleRate;

int fail(const std::string& why) {
    std::fprintf(stderr, "sync_timing: %s\n", why.c_str());
    return 1;
}

// One message as jack_midi_dump printed it.
struct Dumped {
    std::int64_t frame = 0;
    std::vector<unsigned> bytes;
};

std::vector<Dumped> readDump(const std::string& path) {
    std::vector<Dumped> all;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Dumped d;
        char colon = 0;
        if (!(fields >> d.frame >> colon) || colon != ':') {
            continue;
        }
        unsigned byte = 0;
        while (fields >> std::hex >> byte) {
            d.bytes.push_back(byte);
        }
        if (!d.bytes.empty()) {
            all.push_back(d);
        }
    }
    return all;
}

// One run, Start to Stop, as jack_midi_dump heard it.
struct Run {
    std::uint32_t periodMs = 0;
    std::vector<std::int64_t> clocks;
    std::int64_t start = -1;
    std::int64_t firstNote = -1;
};

// The runs in the dump, in order; `periods` gives each run's step period. The notes and the
// clock reach the reader from two ports: of those on one frame, either may come first.
std::vector<Run> splitRuns(const std::vector<Dumped>& dump,
                           const std::vector<std::uint32_t>& periods) {
    std::vector<Run> runs;
    Run* run = nullptr;
    std::int64_t lastNote = -1;
    for (const Dumped& d : dump) {
        const unsigned status = d.bytes[0];
        if (status == 0x99) {
            lastNote = d.frame;
        }
        if (status == 0xFA && runs.size() < periods.size()) {
            runs.push_back(
                Run{periods[runs.size()], {}, d.frame, lastNote == d.frame ? d.frame : -1});
            run = &runs.back();
        } else if (status == 0xFC) {
            run = nullptr;
        } else if (run != nullptr && status == 0xF8) {
            run->clocks.push_back(d.frame);
        } else if (run != nullptr && status == 0x99 && run->firstNote < 0) {
            run->firstNote = d.frame;
        }
    }
    return runs;
}

double clockFrames(std::uint32_t periodMs) {
    return periodMs * kRate / 1000.0 / engine::clocksPerStep(engine::TimeSig::FourFour);
}

double quarterBpm(std::uint32_t periodMs) {
    return 60000.0 / (periodMs * 4.0);
}

// |filtered tempo - the tempo played| as jack_mclk_dump showed it, at each clock from each
// run's third beat on.
std::vector<double> bpmErrors(const std::string& path, const std::vector<std::uint32_t>& periods) {
    std::ifstream in(path);
    std::string line;
    int run = -1;
    int clocks = 0;
    std::vector<double> errors;
    while (std::getline(in, line)) {
        if (line.find("(0xfa) start") != std::string::npos) {
            ++run;
            clocks = 0;
        } else if (line.find("(0xfc) stop") != std::string::npos) {
            clocks = -1; // the clocks while stopped are not a run's
        } else if (line.rfind("CLK", 0) == 0 && run >= 0 && clocks >= 0 &&
                   static_cast<std::size_t>(run) < periods.size()) {
            const std::size_t at = line.find("flt:");
            const double shown = at == std::string::npos ? 0 : std::atof(line.c_str() + at + 4);
            if (++clocks > 2 * engine::kClocksPerQuarter && shown > 0) {
                errors.push_back(std::fabs(shown - quarterBpm(periods[run])));
            }
        }
    }
    return errors;
}

struct Figures {
    std::vector<double> intervalErrors;
    double drift = 0;
    double firstClock = 0;
};

void measureRuns(const std::vector<Run>& runs, Figures& f) {
    for (const Run& run : runs) {
        const double exact = clockFrames(run.periodMs);
        for (std::size_t i = 1; i < run.clocks.size(); ++i) {
            f.intervalErrors.push_back(std::fabs((run.clocks[i] - run.clocks[i - 1]) - exact));
        }
        if (!run.clocks.empty()) {
            f.firstClock = std::max(f.firstClock, std::fabs(run.clocks[0] - run.start));
            f.firstClock = std::max(f.firstClock, std::fabs(run.clocks[0] - run.firstNote));
        }
    }
    const Run& longRun = runs.back();
    if (longRun.clocks.size() > 1) {
        const auto n = static_cast<double>(longRun.clocks.size() - 1);
        f.drift =
            (longRun.clocks.back() - longRun.clocks.front()) - n * clockFrames(longRun.periodMs);
    }
}

// The readers, started on the private server with their output in files.
struct Readers {
    std::string dir;
    pid_t dump = -1;
    pid_t mclk = -1;
    std::string dumpPath() const { return dir + "/midi_dump.txt"; }
    std::string mclkPath() const { return dir + "/mclk_dump.txt"; }
    ~Readers() {
        for (pid_t pid : {dump, mclk}) {
            if (pid > 0) {
                kill(pid, SIGINT);
                testing::reapChild(pid, 2000ms);
            }
        }
    }
};

bool waitForPort(jack_client_t* client, const char* name) {
    for (int i = 0; i < 500; ++i) {
        if (jack_port_by_name(client, name) != nullptr) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// `stdbuf -oL` keeps each reader's lines whole in its file when it is ended.
std::optional<std::string> startReaders(Readers& r, jack_client_t* client) {
    char pattern[] = "/tmp/sync_timing-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return "no temporary folder";
    }
    r.dir = pattern;
    r.dump = testing::spawnChild({"stdbuf", "-oL", "jack_midi_dump", "-a"},
                                 {r.dumpPath(), r.dir + "/midi_dump.err"});
    r.mclk = testing::spawnChild({"stdbuf", "-oL", "jack_mclk_dump", "-n"},
                                 {r.mclkPath(), r.dir + "/mclk_dump.err"});
    if (!waitForPort(client, "midi-monitor:input") ||
        !waitForPort(client, "jack_mclk_dump:mclk_in")) {
        return "jack_midi_dump or jack_mclk_dump did not start (package jack-midi-clock)";
    }
    return std::nullopt;
}

void playBeats(engine::RhythmEngine& engine, int tempo, double beats) {
    engine.tempoSelector().setPosition(tempo);
    engine.UpdateStepPeriod();
    engine.StartPlayback();
    std::this_thread::sleep_for(std::chrono::duration<double>(beats * 60.0 / tempo));
    engine.StopPlayback();
    std::this_thread::sleep_for(1200ms); // the Stop, a step ahead at the most, goes out
}

// The tempo of each run, in order: four on their own, a change from 120 to 97 while the
// clocks run on stopped, and the long one.
constexpr int kRunTempos[] = {30, 97, 120, 260, 120, 97, 97};

std::vector<std::uint32_t> runPeriods() {
    std::vector<std::uint32_t> periods;
    for (int tempo : kRunTempos) {
        periods.push_back(
            static_cast<std::uint32_t>(engine::stepPeriodMs(engine::TimeSig::FourFour, tempo)));
    }
    return periods;
}

void playRuns(engine::RhythmEngine& engine, midiout::ClockSink& port, double driftMinutes) {
    engine.setClockOut(&port, false);
    for (int tempo : {kRunTempos[0], kRunTempos[1], kRunTempos[2], kRunTempos[3]}) {
        playBeats(engine, tempo, 8);
    }
    engine.setClockOut(&port, true);
    playBeats(engine, kRunTempos[4], 4);
    engine.tempoSelector().setPosition(kRunTempos[5]); // while stopped: the clocks run on
    engine.UpdateStepPeriod();
    std::this_thread::sleep_for(2500ms);
    playBeats(engine, kRunTempos[5], 8);
    engine.setClockOut(&port, false);
    playBeats(engine, kRunTempos[6], driftMinutes * kRunTempos[6]);
}

// The device list's port `port`, opened; 0 when it is not listed or does not open.
midiout::MidiOutHandle openListed(midiout::MidiOut& out, const std::string& port) {
    midiout::MidiOutHandle handle = 0;
    for (unsigned i = 0; i < out.deviceCount(); ++i) {
        if (out.deviceName(i) == port && out.open(i, &handle) != midiout::kMidiOk) {
            return 0;
        }
    }
    return handle;
}

// A note on every step, to `handle`.
void everyStep(engine::RhythmEngine& engine, midiout::MidiOutHandle handle) {
    engine.trigger().setHandle(handle);
    engine.trigger().setKey(1, 37);
    engine.trigger().setVelocity(1, 100);
    for (int c = 1; c <= engine::kCells; ++c) {
        engine.grid().set(1, c, true);
    }
}

// --- MIDI clock in ---

// A roll as jack_midi_dump heard it: the grid's clocks from Start on, and Tambrel's notes
// (one on every step) until the next Start.
struct ClockInRoll {
    std::vector<std::int64_t> clocks;
    std::vector<std::int64_t> notes;
    std::int64_t start = 0; // the Start's frame
};

std::vector<ClockInRoll> clockInRolls(const std::vector<Dumped>& dump) {
    std::vector<ClockInRoll> rolls;
    bool rolling = false;
    for (const Dumped& d : dump) {
        const unsigned status = d.bytes[0];
        if (status == 0xFA) {
            rolls.push_back({{}, {}, d.frame});
            rolling = true;
        } else if (status == 0xFC) {
            rolling = false;
        } else if (!rolls.empty() && status == 0xF8 && rolling) {
            rolls.back().clocks.push_back(d.frame);
        } else if (!rolls.empty() && status == 0x99) {
            rolls.back().notes.push_back(d.frame);
        }
    }
    return rolls;
}

struct ClockInFigures {
    std::vector<double> steady;     // frames
    std::vector<double> jittered;   // frames
    std::vector<double> wander;     // frames: the jittered clock's own steps from the grid
    std::vector<double> onFollowed; // frames: the notes from the jittered clock's steps
    double atChange = 0;            // frames: the worst step in the beat from the new tempo on
    double firstStep = 0;
};

// The first clock at a new tempo (the clocks' own spacing changes there); none: past the end.
std::size_t tempoChange(const std::vector<std::int64_t>& clocks) {
    for (std::size_t c = 2; c < clocks.size(); ++c) {
        if (std::llabs((clocks[c] - clocks[c - 1]) - (clocks[1] - clocks[0])) > 2) {
            return c;
        }
    }
    return clocks.size();
}

// Each step after the first against the note nearest its clock (a step without its note
// shows as a step's distance), but for the beat from a new tempo on: a step handed over
// before the new tempo showed in the clocks cannot be on its clock, and goes to `atChange`.
// The first step's distance from its clock goes to `firstStep`.
void measureRoll(const ClockInRoll& roll, std::vector<double>& errors, double& atChange,
                 double& firstStep) {
    constexpr std::size_t kClocks = 6; // a step in 4/4
    if (roll.clocks.size() < 2 || roll.notes.empty()) {
        errors.push_back(1e9);
        return;
    }
    firstStep = std::max(firstStep, static_cast<double>(roll.notes[0] - roll.clocks[0]));
    const std::size_t change = tempoChange(roll.clocks);
    for (std::size_t c = kClocks; c < roll.clocks.size(); c += kClocks) {
        const auto near = std::lower_bound(roll.notes.begin(), roll.notes.end(), roll.clocks[c]);
        double error = 1e9;
        if (near != roll.notes.end()) {
            error = static_cast<double>(*near - roll.clocks[c]);
        }
        if (near != roll.notes.begin()) {
            error = std::min(error, static_cast<double>(roll.clocks[c] - *(near - 1)));
        }
        if (c >= change && c < change + engine::kClocksPerQuarter) {
            atChange = std::max(atChange, error);
        } else {
            errors.push_back(error);
        }
    }
}

// The window's polling while the transport rolls: every 5 ms for `seconds`.
void followFor(engine::RhythmEngine& engine, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        engine.followTick();
        std::this_thread::sleep_for(5ms);
    }
}

// One roll from the transport's start, Tambrel following the clock of jack_midi_clock with
// `jitter` percent, jack_midi_dump hearing a clock without and `followed` (when given) the
// clock Tambrel follows.
std::optional<std::string> rollOnce(jack_client_t* client, engine::RhythmEngine& engine, int jitter,
                                    const testing::JackMidiReceiver* followedClock) {
    jack_transport_locate(client, 0);
    std::this_thread::sleep_for(300ms);
    testing::JackClockSender followed(client, 120, jitter);
    std::optional<testing::JackClockSender> grid;
    if (jitter > 0) {
        grid.emplace(client, 0);
    }
    const testing::JackClockSender& heard = grid ? *grid : followed;
    if (!followed.ok() || !heard.ok()) {
        return "jack_midi_clock did not start (package jack-midi-clock)";
    }
    if (!followed.connect(client, "Tambrel:clock in") ||
        !heard.connect(client, "midi-monitor:input") ||
        (followedClock != nullptr && !followed.connect(client, followedClock->portName()))) {
        return "jack_midi_clock could not be connected";
    }
    followFor(engine, 0.5);
    followed.command("play");
    followFor(engine, 8 * 60 / 120.0);
    followed.command("tempo 97.5");
    followFor(engine, 8 * 60 / 97.5);
    followed.command("stop");
    followFor(engine, 1.0);
    return std::nullopt;
}

// The clock Tambrel followed in the jittered roll, as the in-process receiver heard it:
// against the grid, step by step, and against Tambrel's notes; its frames kept in `dir`.
// jack_midi_dump counts frames from its own start: both clocks' Start, on the transport's
// first frame, line the two up.
void measureFollowed(const testing::JackMidiReceiver& jittered, const ClockInRoll& grid,
                     const std::string& dir, ClockInFigures& figures) {
    ClockInRoll followed{{}, grid.notes};
    std::int64_t start = 0;
    for (const testing::ReceivedEvent& event : jittered.events()) {
        if (event.bytes[0] == 0xFA) {
            followed.clocks.clear();
            start = event.frame;
        } else if (event.bytes[0] == 0xF8) {
            followed.clocks.push_back(event.frame - start + grid.start);
        }
    }
    if (std::FILE* kept = std::fopen((dir + "/followed_clock.txt").c_str(), "w")) {
        for (const std::int64_t frame : followed.clocks) {
            std::fprintf(kept, "%lld\n", static_cast<long long>(frame));
        }
        std::fclose(kept);
    }
    for (std::size_t c = 6; c < std::min(followed.clocks.size(), grid.clocks.size()); c += 6) {
        figures.wander.push_back(
            std::fabs(static_cast<double>(followed.clocks[c] - grid.clocks[c])));
    }
    double unused = 0;
    measureRoll(followed, figures.onFollowed, unused, unused);
}

// Both rolls, with the notes to jack_midi_dump; the figures from what it heard.
std::optional<std::string> followRolls(jack_client_t* client, ClockInFigures& figures) {
    Readers readers;
    if (auto why = startReaders(readers, client)) {
        return why;
    }
    const testing::JackMidiReceiver jittered("jittered-clock");
    backends::Outputs outputs = backends::discoverOutputs(std::nullopt, false, std::string());
    if (outputs.followed == nullptr) {
        return outputs.followWhy;
    }
    midiout::MidiOut out(std::move(outputs.devices));
    const midiout::MidiOutHandle handle = openListed(out, "midi-monitor:input");
    if (handle == 0) {
        return "jack_midi_dump's input is not in the device list";
    }
    {
        platform::TimerService timers;
        engine::RhythmEngine engine(timers, &out);
        everyStep(engine, handle);
        engine.setFollowedSource(outputs.followed.get());
        if (auto why = rollOnce(client, engine, 0, nullptr)) {
            return why;
        }
        if (auto why = rollOnce(client, engine, 10, &jittered)) {
            return why;
        }
        engine.setFollowedSource(nullptr);
    }
    (void)out.close(handle);
    std::this_thread::sleep_for(300ms);
    const std::vector<ClockInRoll> rolls = clockInRolls(readDump(readers.dumpPath()));
    if (rolls.size() != 2) {
        return "jack_midi_dump heard " + std::to_string(rolls.size()) +
               " rolls of 2 (its output: " + readers.dir + ")";
    }
    measureRoll(rolls[0], figures.steady, figures.atChange, figures.firstStep);
    double jitteredAtChange = 0;
    measureRoll(rolls[1], figures.jittered, jitteredAtChange, figures.firstStep);
    measureFollowed(jittered, rolls[1], readers.dir, figures);
    std::printf("clock in readings in %s\n", readers.dir.c_str());
    return std::nullopt;
}

// What MIDI clock in measured, as the summary gives it (not measured: not_built).
std::string clockInSummary(const ClockInFigures* in) {
    if (in == nullptr) {
        return "clock_in_p99_frames=not_built clock_in_jitter_p99_us=not_built";
    }
    char text[200];
    std::snprintf(text, sizeof text,
                  "clock_in_p99_frames=%.1f clock_in_jitter_p99_us=%.0f "
                  "clock_in_first_step_frames=%.0f",
                  bench::percentilesOf(in->steady).p99,
                  bench::percentilesOf(in->jittered).p99 * 1e6 / kRate, in->firstStep);
    return text;
}

void printClockIn(const ClockInFigures& in) {
    const bench::Percentiles steady = bench::percentilesOf(in.steady);
    const bench::Percentiles jittered = bench::percentilesOf(in.jittered);
    const bench::Percentiles wander = bench::percentilesOf(in.wander);
    const auto us = [](double frames) { return frames * 1e6 / kRate; };
    std::printf("clock in, each step's note from its clock: p50 %.1f p99 %.1f max %.1f frames "
                "(%zu steps; in the beat from 120 to 97.5, the worst %.0f); first step %.0f "
                "frames after its clock\n",
                steady.p50, steady.p99, steady.max, in.steady.size(), in.atChange, in.firstStep);
    const bench::Percentiles onFollowed = bench::percentilesOf(in.onFollowed);
    std::printf("clock in with 10%% jitter, from the transport's grid: notes p50 %.0f p99 %.0f "
                "max %.0f us (%zu steps); the jittered step clocks themselves p50 %.0f p99 %.0f "
                "max %.0f us; the notes from those clocks p50 %.0f p99 %.0f max %.0f us\n",
                us(jittered.p50), us(jittered.p99), us(jittered.max), in.jittered.size(),
                us(wander.p50), us(wander.p99), us(wander.max), us(onFollowed.p50),
                us(onFollowed.p99), us(onFollowed.max));
}

std::string figure(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// An ear figure, printed, or why there is none.
std::string heard(const char* what, std::optional<double> (*measure)(std::string&)) {
    std::string why;
    const std::optional<double> us = measure(why);
    std::printf("%s: %s\n", what,
                us ? (figure(*us) + " us at the 99th percentile").c_str() : why.c_str());
    return us ? figure(*us) : "failed";
}

// Following the transport with each master: the figures printed, and the summary's part.
std::string measureFollowing(bool slowSync) {
    double p99 = 0;
    double first = 0;
    for (const auto master : {bench::FollowMaster::Klick, bench::FollowMaster::JackTransport}) {
        const char* name = master == bench::FollowMaster::Klick ? "klick -T" : "jack_transport";
        std::string why;
        const auto f = bench::measureFollow(master, slowSync, why);
        if (!f) {
            std::printf("follow with %s: %s\n", name, why.c_str());
            return "follow_p99_frames=failed follow_first_note_frames=failed";
        }
        std::printf("follow with %s%s: step-1 notes against its bar starts p99 %.1f max %.1f "
                    "frames (%d bars); first note of %d starts at most %.0f frames from the "
                    "roll; %d notes after a stop\n",
                    name, slowSync ? "" : " (fault: no slow sync)", f->barP99Frames,
                    f->barMaxFrames, f->bars, f->starts, f->firstNoteFrames, f->afterStop);
        p99 = std::max(p99, f->barP99Frames);
        first = std::max(first, f->firstNoteFrames);
    }
    // The worse master's: each is printed above.
    const std::string follow =
        "follow_p99_frames=" + figure(p99) + " follow_first_note_frames=" + figure(first);
    if (!slowSync) {
        return follow + " (fault: no slow sync)";
    }
    return follow +
           " follow_ear_p99_us=" + heard("follow heard beside klick -T", bench::measureFollowEar) +
           " lead_ear_p99_us=" + heard("lead heard beside klick -j", bench::measureLeadEar);
}

// The figures of the runs whose readings are in `dir`, and those of clock in and of the
// transport's follow and lead when measured.
int report(const std::string& dir, const ClockInFigures* clockIn = nullptr,
           const std::string& follow = "follow_p99_frames=not_kept follow_first_note_frames="
                                       "not_kept follow_ear_p99_us=not_kept "
                                       "lead_ear_p99_us=not_kept") {
    const std::vector<std::uint32_t> periods = runPeriods();
    const std::vector<Run> runs = splitRuns(readDump(dir + "/midi_dump.txt"), periods);
    if (runs.size() != periods.size()) {
        return fail("jack_midi_dump heard " + std::to_string(runs.size()) + " runs of " +
                    std::to_string(periods.size()) + " (its output: " + dir + ")");
    }
    Figures f;
    measureRuns(runs, f);
    const bench::Percentiles intervals = bench::percentilesOf(f.intervalErrors);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        std::printf("run %zu: step %u ms, %zu clocks\n", i + 1, runs[i].periodMs,
                    runs[i].clocks.size());
    }
    std::printf("clock intervals: p50 %.1f p99 %.1f max %.1f frames (%zu intervals)\n",
                intervals.p50, intervals.p99, intervals.max, f.intervalErrors.size());
    const std::vector<double> readings = bpmErrors(dir + "/mclk_dump.txt", periods);
    const bench::Percentiles bpm = bench::percentilesOf(readings);
    std::printf("jack_mclk_dump's tempo from the third beat: error p50 %.3f p99 %.3f max %.3f "
                "(%zu clocks)\n",
                bpm.p50, bpm.p99, bpm.max, readings.size());
    std::printf("sync_timing: clock_out_p99_frames=%.1f clock_out_drift_frames=%.0f "
                "mclk_bpm_err=%.3f first_clock_frames=%.0f %s %s\n",
                intervals.p99, f.drift, bpm.p99, f.firstClock, clockInSummary(clockIn).c_str(),
                follow.c_str());
    return 0;
}

// Clock out's runs, with their readings in `dir`.
std::optional<std::string> clockOutRuns(jack_client_t* client, double driftMinutes,
                                        std::string& dir) {
    Readers readers;
    if (auto why = startReaders(readers, client)) {
        return why;
    }
    dir = readers.dir;
    backends::Outputs outputs = backends::discoverOutputs(std::string("midi-monitor:input"));
    if (outputs.clockPort == nullptr) {
        return outputs.clockWhy;
    }
    jack_connect(client, "Tambrel:clock out", "jack_mclk_dump:mclk_in");
    midiout::MidiOut out(std::move(outputs.devices));
    const midiout::MidiOutHandle handle = openListed(out, "midi-monitor:input");
    if (handle == 0) {
        return "jack_midi_dump's input is not in the device list, or did not open";
    }
    {
        platform::TimerService timers;
        engine::RhythmEngine engine(timers, &out);
        everyStep(engine, handle);
        playRuns(engine, *outputs.clockPort, driftMinutes);
    }
    (void)out.close(handle);
    std::this_thread::sleep_for(300ms);
    std::printf("readings in %s\n", readers.dir.c_str());
    return std::nullopt;
}

// Clock out's and clock in's runs, on a private server of their own that is gone when this
// returns: the following's measures start theirs, and a process holds the machine's JACK
// lock for one server at a time.
std::optional<std::string> clockRuns(double driftMinutes, bool clockInOnly, std::string& dir,
                                     ClockInFigures& clockIn) {
    // Synchronous: a reader that the busy machine wakes late is waited for rather than
    // skipped, as jack_midi_dump and jack_mclk_dump count time by the periods they see.
    testing::PrivateJackServer server;
    server.makeSynchronous();
    if (!server.start()) {
        return "jackd did not start";
    }
    jack_client_t* client = jack_client_open("sync_timing", JackNoStartServer, nullptr);
    if (client == nullptr || jack_activate(client) != 0) {
        return "no client on the private server";
    }
    std::optional<std::string> why;
    if (!clockInOnly) {
        why = clockOutRuns(client, driftMinutes, dir);
    }
    if (!why) {
        why = followRolls(client, clockIn);
    }
    jack_client_close(client);
    return why;
}

int measure(double driftMinutes, bool clockInOnly) {
    std::string dir;
    ClockInFigures clockIn;
    if (const std::optional<std::string> why = clockRuns(driftMinutes, clockInOnly, dir, clockIn)) {
        return fail(*why);
    }
    printClockIn(clockIn);
    if (clockInOnly) {
        std::printf("sync_timing: %s\n", clockInSummary(&clockIn).c_str());
        return 0;
    }
    return report(dir, &clockIn, measureFollowing(true));
}

} // namespace
} // namespace tambrel

int main(int argc, char** argv) {
    double driftMinutes = 10;
    bool load = false;
    bool clockInOnly = false;
    bool followOnly = false;
    bool slowSync = true;
    std::vector<char*> rest;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--load") == 0) {
            load = true;
        } else if (std::strcmp(argv[i], "--clock-in") == 0) {
            rest.push_back(argv[i]);
            clockInOnly = true;
        } else if (std::strcmp(argv[i], "--drift-minutes") == 0 && i + 1 < argc) {
            rest.push_back(argv[i]);
            rest.push_back(argv[i + 1]);
            driftMinutes = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--report") == 0 && i + 1 == argc - 1) {
            return tambrel::report(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--follow") == 0) {
            rest.push_back(argv[i]); // the run under load measures the same
            followOnly = true;
        } else if (std::strcmp(argv[i], "--fault") == 0 && i + 1 < argc &&
                   std::strcmp(argv[i + 1], "no-slow-sync") == 0) {
            rest.push_back(argv[i]);
            rest.push_back(argv[i + 1]);
            slowSync = false;
            ++i;
        } else {
            std::fprintf(stderr, "usage: sync_timing [--load] [--drift-minutes M] [--clock-in] | "
                                 "--report DIR | --follow [--fault no-slow-sync]\n");
            return 2;
        }
    }
    if (driftMinutes <= 0 || driftMinutes > 120) {
        std::fprintf(stderr, "sync_timing: --drift-minutes between 0 and 120\n");
        return 2;
    }
    if (load) {
        return tambrel::bench::rerunWithLoad(argv, rest, "sync_timing");
    }
    if (followOnly || !slowSync) {
        std::printf("sync_timing: following the JACK transport on a private JACK server (%u "
                    "frames a period); load average %s\n",
                    tambrel::testing::PrivateJackServer::kPeriodFrames,
                    tambrel::bench::loadAverage().c_str());
        std::printf("sync_timing: %s\n", tambrel::measureFollowing(slowSync).c_str());
        return 0;
    }
    std::printf("sync_timing: MIDI clock out and in on a private JACK server (%u frames a "
                "period), read by jack_midi_dump and jack_mclk_dump; load average %s\n",
                tambrel::testing::PrivateJackServer::kPeriodFrames,
                tambrel::bench::loadAverage().c_str());
    return tambrel::measure(driftMinutes, clockInOnly);
}
