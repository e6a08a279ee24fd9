// How fast a render is: 64 bars of a busy rhythm through tambrel-pattern render, and the
// same bars as the MIDI file of tambrel-pattern midi through FluidSynth's own file renderer
// (same soundfont, gain and rate), run in turns in the same run. Each is a whole program
// run: start, soundfont load, render, WAV file written. Prints the median wall time of
// each as times real time, their ratio (ours / theirs: below 1 is faster), and the same
// in CPU time, which a busy machine disturbs less.

#include "backends/synth/gm_synth.h"
#include "child_process.h"
#include "export/render_rates.h"

#include <sndfile.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* kPreset = "Bongo Funky";
constexpr int kBars = 64;
constexpr int kRuns = 5;

struct Run {
    double wallSeconds = 0;
    double cpuSeconds = 0;
};

// Runs a program to the end, its output thrown away; exits the benchmark if it fails.
Run timed(const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    rusage usage{};
    const int status = tambrel::testing::waitChild(tambrel::testing::spawnChild(args), &usage);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "render_speed: %s failed\n", args.front().c_str());
        std::exit(1);
    }
    Run run;
    run.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return run;
}

double audioSeconds(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "render_speed: cannot read %s\n", path.c_str());
        std::exit(1);
    }
    sf_close(file);
    return static_cast<double>(info.frames) / info.samplerate;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main() {
    const std::optional<std::string> soundfont = tambrel::backends::findGmSoundfont();
    if (!soundfont) {
        std::fprintf(stderr, "render_speed: no General MIDI soundfont\n");
        return 1;
    }
    const fs::path dir =
        fs::temp_directory_path() / ("tambrel-render-speed-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string mid = (dir / "loop.mid").string();
    const std::string ours = (dir / "ours.wav").string();
    const std::string theirs = (dir / "theirs.wav").string();
    const std::string bars = std::to_string(kBars);
    timed({TAMBREL_PATTERN_TOOL, "midi", "--preset", kPreset, mid, "--bars", bars});

    std::vector<double> ourWall, theirWall, ourCpu, theirCpu;
    for (int i = 0; i < kRuns; ++i) {
        const Run a = timed({TAMBREL_PATTERN_TOOL, "render", "--preset", kPreset, ours, "--bars",
                             bars, "--soundfont", *soundfont});
        const Run b = timed({"fluidsynth", "-ni", "-F", theirs, "-r",
                             std::to_string(tambrel::exporting::kDefaultRenderRate), "-g",
                             std::to_string(tambrel::backends::GmSynth::kGain), *soundfont, mid});
        ourWall.push_back(a.wallSeconds);
        ourCpu.push_back(a.cpuSeconds);
        theirWall.push_back(b.wallSeconds);
        theirCpu.push_back(b.cpuSeconds);
    }
    const double ourAudio = audioSeconds(ours);
    const double theirAudio = audioSeconds(theirs);
    fs::remove_all(dir);

    std::printf("render_speed: %d bars of \"%s\", %g kHz 16-bit, %s; median of %d runs\n", kBars,
                kPreset, tambrel::exporting::kDefaultRenderRate / 1000.0, soundfont->c_str(),
                kRuns);
    std::printf("  ours:       %.1f s of audio, wall %.3f s, cpu %.3f s\n", ourAudio,
                median(ourWall), median(ourCpu));
    std::printf("  fluidsynth: %.1f s of audio, wall %.3f s, cpu %.3f s\n", theirAudio,
                median(theirWall), median(theirCpu));
    // The same work per second of audio: each side's own length, ring included.
    const double ourRate = ourAudio / median(ourWall);
    const double theirRate = theirAudio / median(theirWall);
    std::printf("render: ours_x_realtime=%.0f fluidsynth_x_realtime=%.0f ratio=%.2f\n", ourRate,
                theirRate, theirRate / ourRate);
    const double ourCpuRate = ourAudio / median(ourCpu);
    const double theirCpuRate = theirAudio / median(theirCpu);
    std::printf("render cpu: ours_x_realtime=%.0f fluidsynth_x_realtime=%.0f ratio=%.2f\n",
                ourCpuRate, theirCpuRate, theirCpuRate / ourCpuRate);
    return 0;
}
