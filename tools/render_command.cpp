#include "render_command.h"

#include "backends/synth/gm_synth.h"
#include "export/render.h"
#include "platform/standard_streams.h"
#include "tools/progress.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace tambrel::tools {

namespace {

// Ctrl-C or a kill during a long render: the render stops at its next block and its
// temporary file is removed before the program ends by the same signal.
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signal) {
    stopSignal = signal;
}

class StopSignalsCaught {
public:
    StopSignalsCaught() {
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            previous_[i] = std::signal(kSignals[i], onStopSignal);
        }
    }
    ~StopSignalsCaught() {
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            std::signal(kSignals[i], previous_[i]);
        }
    }
    // Ends the program by the signal that stopped the render, as if it had not been caught.
    static void endByCaughtSignal() {
        if (stopSignal != 0) {
            std::signal(stopSignal, SIG_DFL);
            std::raise(stopSignal);
        }
    }

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM};
    void (*previous_[std::size(kSignals)])(int) = {};
};

// The synth with the soundfont asked for or found, or why not.
std::unique_ptr<backends::GmSynth> loadSynth(const RenderSettings& settings, std::string* reason) {
    std::string soundfont = settings.soundfont;
    if (soundfont.empty()) {
        const std::optional<std::string> found = backends::findGmSoundfont();
        if (!found) {
            *reason = "no General MIDI soundfont found: install Debian's timgm6mb-soundfont or "
                      "fluid-soundfont-gm, or give one with --soundfont SF2";
            return nullptr;
        }
        soundfont = *found;
    }
    std::error_code error;
    if (!std::filesystem::exists(soundfont, error)) {
        *reason = soundfont + ": " + (error ? error.message() : "No such file or directory");
        return nullptr;
    }
    std::unique_ptr<backends::GmSynth> synth =
        backends::GmSynth::create(soundfont, static_cast<double>(settings.rate));
    if (synth == nullptr) {
        *reason = soundfont + ": not a soundfont that FluidSynth can load";
    }
    return synth;
}

} // namespace

std::optional<std::string> renderLoopToWav(const exporting::Loop& loop,
                                           const RenderSettings& settings,
                                           const std::string& output) {
    std::string reason;
    std::unique_ptr<backends::GmSynth> synth = loadSynth(settings, &reason);
    if (synth == nullptr) {
        return reason;
    }
    exporting::RenderHooks hooks;
    std::optional<ProgressLine> progress;
    if (platform::standardErrorIsTerminal()) {
        progress.emplace(stderr, "tambrel-pattern: rendering " + output,
                         ProgressLine::Clock::now());
        hooks.progress = [&progress](double done) {
            progress->show(done, ProgressLine::Clock::now());
        };
    }
    hooks.cancelled = [] { return stopSignal != 0; };
    std::optional<std::string> failed;
    {
        const StopSignalsCaught caught;
        failed = exporting::renderWavFile(loop, *synth, output,
                                          settings.floatSamples ? exporting::SampleFormat::Float32
                                                                : exporting::SampleFormat::Pcm16,
                                          hooks);
    }
    if (progress) {
        progress->finish(!failed);
    }
    StopSignalsCaught::endByCaughtSignal();
    if (failed) {
        return output + ": " + *failed;
    }
    return std::nullopt;
}

} // namespace tambrel::tools
