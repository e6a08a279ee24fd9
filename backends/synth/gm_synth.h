#pragma once
// The built-in synth's set-up, in one place: FluidSynth with a General MIDI soundfont at
// our gain, and the short MIDI messages that the drum machine sends turned into its
// calls. The device that plays to the desktop builds it here, and so does anything that
// renders a pattern offline, so that both sound the same.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

struct _fluid_hashtable_t;
struct _fluid_synth_t;

namespace tambrel::backends {

// The first General MIDI soundfont found in the usual places, or nothing.
std::optional<std::string> findGmSoundfont();

// Keeps FluidSynth from printing its log on the terminal (process-wide).
void silenceFluidSynth() noexcept;

class GmSynth {
public:
    // Output gain: a single drum at velocity 100 is clearly heard and eight at full
    // velocity together stay below full scale (measured in tests/backends).
    static constexpr float kGain = 0.4f;
    // FluidSynth starts a note only at the start of one of its internal blocks of this many
    // frames, counted from the first frame it rendered (a constant of its build): a message
    // applied anywhere inside a block sounds from the next block on.
    static constexpr int kBlockFrames = 64;

    // Nothing when FluidSynth or the soundfont cannot be loaded. Silent.
    static std::unique_ptr<GmSynth> create(const std::string& soundfont, double sampleRate);
    ~GmSynth();
    GmSynth(const GmSynth&) = delete;
    GmSynth& operator=(const GmSynth&) = delete;

    // How long after its last voice has ended the synth still renders: reverb and chorus
    // ring out meanwhile. After that, until the next note, it renders only what keeps its
    // grid in step with the frames asked for, and costs almost nothing while stopped.
    static constexpr double kRingOutSeconds = 3.0;

    // One thread at a time, the one that renders: FluidSynth's own lock is off.
    // Renders the next `frames` frames and adds them to the two buffers, reverb and
    // chorus mixed in.
    void renderAdd(int frames, float* left, float* right) noexcept;
    // Rung out: nothing sounds, and nothing will until the next note.
    bool rungOut() const noexcept {
        return quietFrames_ >= static_cast<std::int64_t>(kRingOutSeconds * sampleRate_);
    }
    // Applies one short message: its status byte and the data bytes that come with it (as
    // many as it has; missing ones count as 0). Velocity 0 is a note-off.
    void apply(std::span<const std::uint8_t> bytes) noexcept;

    double sampleRate() const noexcept { return sampleRate_; }
    // For an audio driver that plays this synth: its settings live with the synth.
    _fluid_hashtable_t* settings() const noexcept { return settings_; }

private:
    GmSynth() = default;
    _fluid_hashtable_t* settings_ = nullptr;
    _fluid_synth_t* synth_ = nullptr;
    double sampleRate_ = 0.0;
    // Frames rendered since the last voice ended (the rendering thread's).
    std::int64_t quietFrames_ = 0;
};

} // namespace tambrel::backends
