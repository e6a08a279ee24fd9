#pragma once
// The built-in General MIDI synth: FluidSynth in this process, playing a GM soundfont to
// the desktop's audio. Linux has no synth of its own, and without one a new user would
// hear nothing.
//
// Sends never touch the synth: they go through a lock-free ring to the audio thread,
// which applies them just before it renders the next period. The synth is then only
// ever used by one thread at a time, so its own locking is switched off.

#include "platform/midi_out.h"
#include "platform/spsc_ring.h"

#include <atomic>
#include <optional>
#include <string>

struct _fluid_hashtable_t;
struct _fluid_synth_t;
struct _fluid_audio_driver_t;

namespace tambrel::platform {

inline constexpr const char* kSynthDeviceName = "Tambrel GM Synth";

// The first General MIDI soundfont found in the usual places, or nothing.
std::optional<std::string> findGmSoundfont();

// Keeps FluidSynth from printing its log on the terminal (process-wide).
void silenceFluidSynth() noexcept;

class FluidSynthDevice : public MidiOutDevice {
public:
    enum class Output {
        Audio,   // to the desktop's audio through JACK, PulseAudio/PipeWire or ALSA
        Offline, // no driver: the caller pulls samples with render()
    };

    // Output gain of the synth: a single drum at velocity 100 is clearly heard and eight
    // at full velocity together stay below full scale (measured in tests/backends).
    static constexpr float kGain = 0.4f;
    // Audio period and number of periods asked of PulseAudio and ALSA: 128 frames is
    // 2.7 ms at 48 kHz, which is how late a step can be heard after its tick.
    static constexpr int kPeriodFrames = 128;
    static constexpr int kPeriods = 3;
    static constexpr double kOfflineSampleRate = 48000.0;

    explicit FluidSynthDevice(std::string soundfont, Output output = Output::Audio);
    ~FluidSynthDevice() override;
    FluidSynthDevice(const FluidSynthDevice&) = delete;
    FluidSynthDevice& operator=(const FluidSynthDevice&) = delete;

    std::string name() const override { return kSynthDeviceName; }
    // Audio: false when no audio output works on this machine.
    bool open() override;
    void send(std::uint32_t message) noexcept override;
    void close() noexcept override;

    // Offline, while open: applies the messages sent so far, then renders `frames` stereo
    // frames into the two buffers (overwritten). False when not open offline.
    bool render(float* left, float* right, int frames) noexcept;

    // The audio driver in use while open ("jack", "pulseaudio", ...); empty offline.
    std::string driverName() const { return driver_; }
    double sampleRate() const noexcept { return sampleRate_; }
    // Messages dropped because the ring was full.
    std::uint64_t droppedCount() const noexcept { return dropped_.load(); }

private:
    static int onAudio(void* self, int frames, int effects, float* fx[], int outputs,
                       float* out[]) noexcept;
    bool buildSynth(double sampleRate);
    bool startDriver(const std::string& driver);
    void applyPending() noexcept;
    void renderInto(int frames, float* left, float* right) noexcept;
    void teardown() noexcept;

    std::string soundfont_;
    Output output_;
    _fluid_hashtable_t* settings_ = nullptr;
    _fluid_synth_t* synth_ = nullptr;
    _fluid_audio_driver_t* audioDriver_ = nullptr;
    std::string driver_;
    double sampleRate_ = 0.0;
    SpscRing<std::uint32_t, 1024> pending_;
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> periods_{0};
};

} // namespace tambrel::platform
