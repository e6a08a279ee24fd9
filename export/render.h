#pragma once
// A loop rendered offline through the built-in synth, as fast as the machine can: each
// note applied at the sample of its step, as the clock would play it, and after the last
// bar the sound left to ring out. Written as a WAV file through libsndfile. Linux only,
// like the built-in synth.

#include "export/loop.h"

#include "backends/synth/gm_synth.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tambrel::exporting {

// The ring after the last bar ends when a 20 ms stretch stays below -90 dBFS (under the
// smallest step of 16-bit audio), or after 3 s, whichever comes first.
inline constexpr double kRingOutMaxSeconds = 3.0;
inline constexpr double kSilenceDbfs = -90.0;
inline constexpr int kSilenceWindowsPerSecond = 50;

// The frame at which a step starts: the clock's whole-millisecond period, rounded to the
// nearest sample once per step, so that the error never adds up.
std::int64_t frameOfStep(std::int64_t step, int stepPeriodMs, int sampleRate) noexcept;

struct RenderHooks {
    // From 0 to 1, after each block.
    std::function<void(double done)> progress;
    // Asked after each block; true stops the render.
    std::function<bool()> cancelled;
};

// Renders the loop and hands each block on, stereo interleaved, to `write`; stops when
// `write` returns false. The synth must be fresh (nothing rendered yet). Returns false
// when stopped by `write` or by the hooks.
[[nodiscard]] bool renderLoop(const Loop& loop, backends::GmSynth& synth,
                              const std::function<bool(const float* frames, int count)>& write,
                              const RenderHooks& hooks = {});

enum class SampleFormat { Pcm16, Float32 };

// The rendered loop as a stereo WAV file at `path`, whole or not at all: written beside it
// and renamed over it when complete. Nothing on success, else the reason.
[[nodiscard]] std::optional<std::string> renderWavFile(const Loop& loop, backends::GmSynth& synth,
                                                       const std::string& path, SampleFormat format,
                                                       const RenderHooks& hooks = {});

} // namespace tambrel::exporting
