// sync_timing: Tambrel's MIDI clock out, read by programs that nobody here wrote, on a
// private JACK server: jack_midi_dump (every message's frame, the notes' and the clock's
// in one stream) and jack_mclk_dump (the tempo a receiver shows, through its own filter).
//
//   sync_timing [--load] [--drift-minutes M]
//   sync_timing --report DIR     the figures again from the readings a run kept in DIR
//   sync_timing --follow [--fault no-slow-sync]   the transport follow figures alone
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
// Clock in is not built yet: the summary says so.

#include "backends/device_list.h"
#include "bench_load.h"
#include "bench_stats.h"
#include "follow_timing.h"
#include "jack_test_server.h"

#include "engine/rhythm_engine.h"
#include "platform/periodic_timer.h"
#include "tests/support/child_process.h"

#include <jack/jack.h>

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

// The figures of the runs whose readings are in `dir`.
int report(const std::string& dir,
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
                "mclk_bpm_err=%.3f first_clock_frames=%.0f clock_in_p99_frames=not_built "
                "clock_in_jitter_p99_us=not_built %s\n",
                intervals.p99, f.drift, bpm.p99, f.firstClock, follow.c_str());
    return 0;
}

int measure(double driftMinutes) {
    // Synchronous: a reader that the busy machine wakes late is waited for rather than
    // skipped, as jack_midi_dump and jack_mclk_dump count time by the periods they see.
    testing::PrivateJackServer server;
    server.makeSynchronous();
    if (!server.start()) {
        return fail("jackd did not start");
    }
    jack_client_t* client = jack_client_open("sync_timing", JackNoStartServer, nullptr);
    if (client == nullptr || jack_activate(client) != 0) {
        return fail("no client on the private server");
    }
    Readers readers;
    if (auto why = startReaders(readers, client)) {
        return fail(*why);
    }
    backends::Outputs outputs = backends::discoverOutputs(std::string("midi-monitor:input"));
    if (outputs.clockPort == nullptr) {
        return fail(outputs.clockWhy);
    }
    jack_connect(client, "Tambrel:clock out", "jack_mclk_dump:mclk_in");
    midiout::MidiOut out(std::move(outputs.devices));
    midiout::MidiOutHandle handle = 0;
    for (unsigned i = 0; i < out.deviceCount(); ++i) {
        if (out.deviceName(i) == "midi-monitor:input" && out.open(i, &handle) != midiout::kMidiOk) {
            return fail("jack_midi_dump's input did not open");
        }
    }
    if (handle == 0) {
        return fail("jack_midi_dump's input is not in the device list");
    }
    {
        platform::TimerService timers;
        engine::RhythmEngine engine(timers, &out);
        engine.trigger().setHandle(handle);
        engine.trigger().setKey(1, 37);
        engine.trigger().setVelocity(1, 100);
        for (int c = 1; c <= engine::kCells; ++c) {
            engine.grid().set(1, c, true);
        }
        playRuns(engine, *outputs.clockPort, driftMinutes);
    }
    (void)out.close(handle);
    jack_client_close(client);
    std::this_thread::sleep_for(300ms);

    std::printf("readings in %s\n", readers.dir.c_str());
    return report(readers.dir, measureFollowing(true));
}

} // namespace
} // namespace tambrel

int main(int argc, char** argv) {
    double driftMinutes = 10;
    bool load = false;
    bool followOnly = false;
    bool slowSync = true;
    std::vector<char*> rest;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--load") == 0) {
            load = true;
        } else if (std::strcmp(argv[i], "--drift-minutes") == 0 && i + 1 < argc) {
            rest.push_back(argv[i]);
            rest.push_back(argv[i + 1]);
            driftMinutes = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--report") == 0 && i + 1 == argc - 1) {
            return tambrel::report(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--follow") == 0) {
            followOnly = true;
        } else if (std::strcmp(argv[i], "--fault") == 0 && i + 1 < argc &&
                   std::strcmp(argv[i + 1], "no-slow-sync") == 0) {
            slowSync = false;
            ++i;
        } else {
            std::fprintf(stderr, "usage: sync_timing [--load] [--drift-minutes M] | --report DIR "
                                 "| --follow [--fault no-slow-sync]\n");
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
    std::printf("sync_timing: MIDI clock out on a private JACK server (%u frames a period), "
                "read by jack_midi_dump and jack_mclk_dump; load average %s\n",
                tambrel::testing::PrivateJackServer::kPeriodFrames,
                tambrel::bench::loadAverage().c_str());
    return tambrel::measure(driftMinutes);
}
