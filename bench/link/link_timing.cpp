// link_timing: Tambrel playing in an Ableton Link session beside LinkHut (Ableton's own
// example peer), on a private JACK server, inside a network of its own where only loopback
// is: the program runs itself again there (as root) before anything joins a session.
//
//   link_timing [--seconds N] [--no-compensation] [--load] [--only beat|pulse|tempo|start|cpu]
//               [--trace FILE]     FILE: the beats run's every sound and server stall
//
// - beat_p99_us: N seconds (default 120) at 120 bpm, Tambrel started by Play at the
//   session's next bar, a claves on every beat on its built-in synth through JACK, against
//   LinkHut's clicks, both recorded where they are heard: |claves - click| at the 99th
//   percentile. --no-compensation (this figure only): the session is never told the
//   synth's latency, and Tambrel's notes leave at the beat itself rather than that much
//   before it.
// - beat_pulse_p99_us: the same between two Tambrels (N seconds, a minute at most), one on
//   the synth through JACK, the other (this program again, --pulse-peer, where it finds no
//   JACK server) through a private PulseAudio server that plays into the JACK server
//   (pulseaudio-module-jack): the second's claves against the first's.
// - tempo_follow_ms: LinkHut's + pressed ten times: the longest until Tambrel's session
//   grid and its tempo label (the window's 20 ms follow timer) both show the new tempo.
// - start_p99_us: with start-stop sync on both sides, LinkHut started by its space key
//   eight times: |Tambrel's first claves - LinkHut's first click| of each start. A start
//   whose bar LinkHut clicked sooner after its key than Tambrel's output latency and one
//   still look (20 ms) cannot be heard on that bar through that output: it is left out of
//   the figure and printed apart (near_bar_*), Tambrel's first claves against LinkHut's
//   click nearest it, which shows whether it joined the bar in phase.
// - stopped_cpu_pct: the window (tambrel --link, offscreen) standing stopped beside two
//   LinkHuts with Link on, its synth on a private PulseAudio server as bench/window_cost
//   has it: its processor over 10 s, as a percentage of one core. Beside it in the detail
//   line: the same window without --link, and with its synth on JACK, and the window's
//   threads that took the processor (milliseconds, the scheduler's exact count).
// A figure that could not be measured is n/a, with the reason on stderr.

#include "bench_load.h"
#include "jack_test_server.h"
#include "link_figures.h"
#include "private_network.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace tambrel::bench {
namespace {

struct Options {
    double seconds = 120;
    bool compensate = true;
    bool load = false;
    std::string only;        // one figure alone, for trials
    std::string trace;       // where the beats' sounds and the server's stalls go, for a plot
    bool pulsePeer = false;  // the second Tambrel of beat_pulse, started by the first
    std::vector<char*> rest; // all but --load, for the run beside the load
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--load") == 0) {
            o.load = true;
            continue;
        }
        o.rest.push_back(argv[i]);
        if (std::strcmp(argv[i], "--no-compensation") == 0) {
            o.compensate = false;
        } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
            o.rest.push_back(argv[++i]);
            o.seconds = std::atof(argv[i]);
        } else if (std::strcmp(argv[i], "--pulse-peer") == 0 && hasValue) {
            o.pulsePeer = true;
            o.seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--trace") == 0 && hasValue) {
            o.rest.push_back(argv[++i]);
            o.trace = argv[i];
        } else if (std::strcmp(argv[i], "--only") == 0 && hasValue) {
            o.rest.push_back(argv[++i]);
            o.only = argv[i];
        } else {
            return false;
        }
    }
    return o.seconds >= 5;
}

// A figure as the summary prints it: the value, or n/a with the reason on stderr.
struct Figure {
    std::optional<double> value;
    std::string why = "not measured in this run";
    std::string text(const char* format) const {
        if (!value) {
            return "n/a";
        }
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, format, *value);
        return buffer;
    }
};

const char* okOrFail(bool ok) {
    return ok ? "ok" : "FAIL";
}

Figure beats(const Options& o) {
    Figure f;
    const auto a = measureBeats(o.seconds, o.compensate, o.trace, f.why);
    if (a) {
        std::printf("link_timing: beats mode=%s seconds=%.0f beats=%zu median_offset_us=%.0f "
                    "p99_us=%.0f max_us=%.0f synth_latency_ms=%.2f (offset > 0: Tambrel late)\n",
                    o.compensate ? "compensated" : "no-compensation", o.seconds,
                    a->offsetsUs.size(), a->medianUs, a->p99Us, a->maxUs, a->latencyMs);
        std::printf("link_timing: beats steadiness tambrel_spacing_p99_us=%.0f "
                    "linkhut_spacing_p99_us=%.0f vs_linkhut_line_median_us=%.0f "
                    "vs_linkhut_line_p99_us=%.0f jack_longest_stall_ms=%.1f\n",
                    a->ourSpacingP99Us, a->theirSpacingP99Us, a->lineMedianUs, a->lineP99Us,
                    a->stallMs);
        std::fflush(stdout);
        f.value = a->p99Us;
    }
    return f;
}

Figure tempo() {
    Figure f;
    const auto t = measureTempo(10, f.why);
    if (t) {
        std::printf("link_timing: tempo changes=%d follow_max_ms=%.1f linkhut_screen_max_ms=%.1f "
                    "tempo_to_peer=%s joined_kept_tempo=%s\n",
                    t->changes, t->followMaxMs, t->linkHutMaxMs, okOrFail(t->toPeer),
                    okOrFail(t->joinedKept));
        if (!t->notes.empty()) {
            std::fprintf(stderr, "link_timing: %s\n", t->notes.c_str());
        }
        std::fflush(stdout);
        f.value = t->followMaxMs;
    }
    return f;
}

Figure starts() {
    Figure f;
    const auto a = measureStarts(8, f.why);
    if (a) {
        const auto listOf = [](const std::vector<double>& values) {
            std::string list;
            for (const double value : values) {
                list += (list.empty() ? "" : ",") + std::to_string(std::lround(value));
            }
            return list;
        };
        std::printf("link_timing: starts starts=%zu offsets_us=%s median_offset_us=%.0f "
                    "p99_us=%.0f press_to_click_ms=%s near_bar_starts=%zu "
                    "near_bar_offsets_us=%s jack_longest_stall_ms=%.1f\n",
                    a->offsetsUs.size(), listOf(a->offsetsUs).c_str(), a->medianUs, a->p99Us,
                    listOf(a->pressToClickMs).c_str(), a->nearBarOffsetsUs.size(),
                    listOf(a->nearBarOffsetsUs).c_str(), a->stallMs);
        std::fflush(stdout);
        f.value = a->p99Us;
    }
    return f;
}

// Two Tambrels hold each other's beats for a minute at most: beats' 2 minutes again would
// add little but time.
constexpr double kPulseSeconds = 60;

Figure pulseBeats(const Options& o) {
    Figure f;
    const auto a = measurePulseBeats(std::min(o.seconds, kPulseSeconds), f.why);
    if (a) {
        std::printf("link_timing: pulse_beats beats=%zu median_offset_us=%.0f p99_us=%.0f "
                    "max_us=%.0f jack_longest_stall_ms=%.1f jack_playback_latency_ms=%.2f "
                    "(offset > 0: the one on PulseAudio late)\n",
                    a->offsetsUs.size(), a->medianUs, a->p99Us, a->maxUs, a->stallMs,
                    a->playbackMs);
        std::fflush(stdout);
        f.value = a->p99Us;
    }
    return f;
}

// The window on PulseAudio as bench/window_cost measures it, and beside it, for what Link
// adds, without --link and with the synth on JACK.
Figure stoppedCpu() {
    Figure f;
    int peers = 0;
    std::string threads;
    f.value = measureStoppedCpu(TAMBREL_WINDOW_PROGRAM, {true, true}, 10, peers, threads, f.why);
    if (!f.value) {
        return f;
    }
    const auto other = [](const WindowSetup& setup) {
        int unused = 0;
        std::string threads, why;
        const Figure cpu{measureStoppedCpu(TAMBREL_WINDOW_PROGRAM, setup, 10, unused, threads, why),
                         why};
        return cpu.value ? cpu.text("%.2f") : "n/a (" + why + ")";
    };
    std::printf("link_timing: window stopped_cpu_pct=%.2f (synth on PulseAudio) linkhut_peers=%d "
                "without_link_cpu_pct=%s link_on_jack_cpu_pct=%s busiest_threads=%s\n",
                *f.value, peers, other({false, true}).c_str(), other({true, false}).c_str(),
                threads.c_str());
    std::fflush(stdout);
    if (peers < 2) {
        f.why = "LinkHut counted " + std::to_string(peers) + " peers: the window did not join";
        f.value.reset();
    }
    return f;
}

int measure(const Options& o) {
    std::printf("link_timing: mode=%s, LinkHut and Tambrel on a private JACK server (%u frames "
                "a period) in a private network; load average %s\n",
                o.compensate ? "compensated" : "no-compensation",
                testing::PrivateJackServer::kPeriodFrames, loadAverage().c_str());
    std::fflush(stdout);
    const auto wanted = [&](const char* name) { return o.only.empty() || o.only == name; };
    Figure beat, pulse, follow, start, cpu;
    if (wanted("beat")) {
        beat = beats(o);
    }
    if (wanted("pulse")) {
        pulse = pulseBeats(o);
    }
    if (wanted("tempo")) {
        follow = tempo();
    }
    if (wanted("start")) {
        start = starts();
    }
    if (wanted("cpu")) {
        cpu = stoppedCpu();
    }
    const std::pair<const char*, const Figure*> all[] = {{"beat_p99_us", &beat},
                                                         {"beat_pulse_p99_us", &pulse},
                                                         {"tempo_follow_ms", &follow},
                                                         {"start_p99_us", &start},
                                                         {"stopped_cpu_pct", &cpu}};
    for (const auto& [name, figure] : all) {
        if (!figure->value) {
            std::fprintf(stderr, "link_timing: %s n/a: %s\n", name, figure->why.c_str());
        }
    }
    std::printf("link_timing: beat_p99_us=%s beat_pulse_p99_us=%s tempo_follow_ms=%s "
                "start_p99_us=%s stopped_cpu_pct=%s\n",
                beat.text("%.0f").c_str(), pulse.text("%.0f").c_str(), follow.text("%.0f").c_str(),
                start.text("%.0f").c_str(), cpu.text("%.2f").c_str());
    return 0;
}

} // namespace
} // namespace tambrel::bench

int main(int argc, char** argv) {
    using namespace tambrel;
    bench::Options options;
    if (!bench::parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: link_timing [--seconds N (>= 5)] [--no-compensation] "
                             "[--load] [--only beat|pulse|tempo|start|cpu] [--trace FILE]\n");
        return 2;
    }
    if (options.load) {
        return bench::rerunWithLoad(argv, options.rest, "link_timing");
    }
    if (!testing::startedForPrivateNetwork()) {
        // Link multicasts on every interface: never from here, only from the namespace.
        if (const auto why = testing::whyNoPrivateNetwork()) {
            std::fprintf(stderr, "link_timing: no private network for Link: %s\n", why->c_str());
            return 2;
        }
        return testing::rerunProgramInPrivateNetwork(argc, argv);
    }
    if (!testing::insidePrivateNetwork()) {
        std::fprintf(stderr, "link_timing: more than loopback in sight: no Link here\n");
        return 2;
    }
    return options.pulsePeer ? bench::runPulsePeer(options.seconds) : bench::measure(options);
}
