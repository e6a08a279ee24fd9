#include "export/render.h"

#include "export/render_rates.h"
#include "midiout/midi_bytes.h"
#include "platform/file_beside.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace tambrel::exporting {

namespace {

// The most frames rendered between two looks at the notes, the progress and a cancel.
constexpr int kBlockFrames = 4096;

// The longest loop (999 bars at tempo 30: 8 s a bar in 4/4 and 12/8) with its ring, as
// 32-bit float stereo at the highest rate (48 kHz), is 3.1 GB: within the 4 GB that a WAV
// file can hold.
constexpr std::int64_t longestWavBytes() {
    std::int64_t longestBarMs = 0;
    for (const engine::TimeSignatureInfo& info : engine::kTimeSignatures) {
        longestBarMs =
            std::max<std::int64_t>(longestBarMs, std::int64_t{info.stepsPerBar} *
                                                     (info.tempoConstant / engine::kTempoMin));
    }
    const std::int64_t seconds = kMaxBars * longestBarMs / 1000 + 4;
    return seconds * kHighestRenderRate * 2 * 4;
}
static_assert(longestWavBytes() < (std::int64_t{1} << 32));

class Renderer {
public:
    Renderer(backends::GmSynth& synth,
             const std::function<bool(const float* frames, int count)>& write,
             const RenderHooks& hooks, std::int64_t expectedFrames)
        : synth_(synth), write_(write), hooks_(hooks), expected_(expectedFrames) {}

    // Renders `frames` (at most kBlockFrames) and hands them on; false to stop.
    bool render(int frames) {
        std::fill_n(left_.begin(), frames, 0.0f);
        std::fill_n(right_.begin(), frames, 0.0f);
        synth_.renderAdd(frames, left_.data(), right_.data());
        peak_ = 0.0f;
        for (int i = 0; i < frames; ++i) {
            interleaved_[2 * i] = left_[i];
            interleaved_[2 * i + 1] = right_[i];
            peak_ = std::max({peak_, std::fabs(left_[i]), std::fabs(right_[i])});
        }
        done_ += frames;
        if (!write_(interleaved_.data(), frames)) {
            return false;
        }
        if (hooks_.progress) {
            hooks_.progress(std::min(1.0, static_cast<double>(done_) / expected_));
        }
        return !(hooks_.cancelled && hooks_.cancelled());
    }

    std::int64_t done() const noexcept { return done_; }
    // The peak of the last block rendered, both channels.
    float peak() const noexcept { return peak_; }

private:
    backends::GmSynth& synth_;
    const std::function<bool(const float*, int)>& write_;
    const RenderHooks& hooks_;
    std::int64_t expected_;
    std::int64_t done_ = 0;
    float peak_ = 0.0f;
    std::array<float, kBlockFrames> left_{};
    std::array<float, kBlockFrames> right_{};
    std::array<float, 2 * kBlockFrames> interleaved_{};
};

} // namespace

std::int64_t frameOfStep(std::int64_t step, int stepPeriodMs, int sampleRate) noexcept {
    return (step * stepPeriodMs * sampleRate + 500) / 1000;
}

bool renderLoop(const Loop& loop, backends::GmSynth& synth,
                const std::function<bool(const float* frames, int count)>& write,
                const RenderHooks& hooks) {
    const int rate = static_cast<int>(synth.sampleRate());
    const std::int64_t end = frameOfStep(loop.steps(), loop.stepPeriodMs, rate);
    const auto ringMax = static_cast<std::int64_t>(kRingOutMaxSeconds * rate);
    Renderer renderer(synth, write, hooks, end + ringMax);

    // The bars: render up to each note's frame, apply it, go on.
    auto note = loop.notes.begin();
    while (renderer.done() < end) {
        while (note != loop.notes.end() &&
               frameOfStep(note->step, loop.stepPeriodMs, rate) <= renderer.done()) {
            std::uint8_t bytes[3];
            synth.apply({bytes, midiout::unpackShortMessage(note->message, bytes)});
            ++note;
        }
        std::int64_t until = std::min(end, renderer.done() + kBlockFrames);
        if (note != loop.notes.end()) {
            until = std::min(until, frameOfStep(note->step, loop.stepPeriodMs, rate));
        }
        if (!renderer.render(static_cast<int>(until - renderer.done()))) {
            return false;
        }
    }

    // The ring: 20 ms at a time until one of them is silent, or the most there may be.
    const float silence = static_cast<float>(std::pow(10.0, kSilenceDbfs / 20.0));
    const int window = rate / kSilenceWindowsPerSecond;
    for (std::int64_t rung = 0; rung < ringMax;) {
        const auto frames = static_cast<int>(std::min<std::int64_t>(window, ringMax - rung));
        if (!renderer.render(frames)) {
            return false;
        }
        rung += frames;
        if (renderer.peak() < silence) {
            break;
        }
    }
    if (hooks.progress) {
        hooks.progress(1.0);
    }
    return true;
}

std::optional<std::string> renderWavFile(const Loop& loop, backends::GmSynth& synth,
                                         const std::string& path, SampleFormat format,
                                         const RenderHooks& hooks) {
    platform::FileBeside file(path);
    if (file.descriptor() < 0) {
        return file.error();
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(synth.sampleRate());
    info.channels = 2;
    info.format =
        SF_FORMAT_WAV | (format == SampleFormat::Float32 ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
    SNDFILE* sound = sf_open_fd(file.descriptor(), SFM_WRITE, &info, SF_FALSE);
    if (sound == nullptr) {
        return std::string(sf_strerror(nullptr));
    }
    // Louder than full scale becomes full scale in 16 bits, not a wrap to the other side.
    sf_command(sound, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    std::string failure;
    const auto write = [&](const float* frames, int count) {
        errno = 0;
        if (sf_writef_float(sound, frames, count) == count) {
            return true;
        }
        // The system's own words where a write failed ("No space left on device").
        failure = errno != 0 ? std::strerror(errno) : sf_strerror(sound);
        return false;
    };
    const bool rendered = renderLoop(loop, synth, write, hooks);
    errno = 0;
    if (sf_close(sound) != 0 && failure.empty()) {
        failure = errno != 0 ? std::strerror(errno) : "could not finish the WAV file";
    }
    if (!rendered) {
        return failure.empty() ? "interrupted" : failure;
    }
    if (!failure.empty()) {
        return failure;
    }
    return file.commit();
}

} // namespace tambrel::exporting
