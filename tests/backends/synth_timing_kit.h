#pragma once
// What the synth timing tests and the synth timing benchmark share: one note per step sent
// by the step clock's own timer, the onsets of those notes found in a recording of the
// synth, and the spacing errors between them.

#include "sound_recording.h"

#include "platform/midi_out.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace tambrel::testing {

using SteadyClock = std::chrono::steady_clock;

// Claves at velocity 100: it starts within a millisecond and has died down to a fortieth of
// its peak before the next step at tempo 240, so every step's onset stands out.
inline constexpr std::uint32_t kClaves = 0x99 | (75 << 8) | (100 << 16);

// One step's send as the timer saw it: the moment just before, and a frame clock (JACK's)
// read just before and just after, when one was given.
struct StepSend {
    SteadyClock::time_point at;
    std::uint32_t frameBefore = 0;
    std::uint32_t frameAfter = 0;
};
using FrameClock = std::uint32_t (*)(void* source) noexcept;

// Sends `note` on `handle` once per expiry of a `periodMs` timer, `steps` times. Returns once
// all are sent.
std::vector<StepSend> playSteps(platform::MidiOut& out, platform::MidiOutHandle handle,
                                std::uint32_t note, int steps, std::uint32_t periodMs,
                                FrameClock frameClock = nullptr, void* source = nullptr);

// The onset finder's settings for kClaves steps at 48 kHz: above the reverb's wash and
// the previous step's tail, and quiet for 20 ms before.
std::vector<std::int64_t> findClavesOnsets(const std::vector<float>& level);

// |spacing of consecutive onsets - the spacing expected for that pair| in microseconds.
// `expectedUs[i]` is for the pair (i, i + 1).
std::vector<double> spacingErrorsUs(const std::vector<std::int64_t>& onsets,
                                    const std::vector<double>& expectedUs, double sampleRate);
// The spacing of consecutive sends in microseconds: by the monotonic clock, or by the
// frame clock (the middle of each send's bracket).
std::vector<double> spacingUs(const std::vector<StepSend>& sends);
std::vector<double> frameSpacingUs(const std::vector<StepSend>& sends, double sampleRate);

} // namespace tambrel::testing
